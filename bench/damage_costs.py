#!/usr/bin/env python3
"""What each kind of damage costs: reelwright-fix against an ffmpeg remux.

Makes small recordings with ffmpeg (320x240, 25 fps), damages each in one
way, repairs it with reelwright-fix (a new file; in place too where the row
says so), remuxes it with `ffmpeg -c copy -map 0`, and prints one Markdown
table: the video frames that decode, the error lines of
`ffmpeg -v error -i FILE -f null -`, whether `ffmpeg -ss T` shows the
original's picture at three times, and whether `reelwright-fix --check`
finds the repaired file clean.

    python3 bench/damage_costs.py --bin build/bin/reelwright-fix [--work DIR] [--rows 1,5]

The unreadable stretch needs /dev/fuse, fusermount and a Python with the
Debian package python3-fuse; without them its row says n/a.
"""

import argparse
import errno
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

FPS = 25
SEED = 20261210
# Where the seek test looks, as fractions of the time the damaged file still
# holds: away from the start and the end, not on a key frame.
SEEK_AT = (0.23, 0.51, 0.77)
BITEXACT = ["-threads", "1", "-fflags", "+bitexact", "-flags:v", "+bitexact", "-flags:a", "+bitexact"]

# The undamaged recordings, made once per run. {sec} is their length.
RECORDINGS = {
    "xvid": (30, ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration={sec}",
                  "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration={sec}",
                  "-c:v", "libxvid", "-bf", "2", "-q:v", "5", "-c:a", "libmp3lame", "-b:a", "96k"]),
    "mjpeg": (30, ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration={sec}",
                   "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration={sec}",
                   "-c:v", "mjpeg", "-q:v", "6", "-pix_fmt", "yuvj420p", "-c:a", "pcm_s16le"]),
    # 441 samples of 8-bit mono per audio chunk: every audio chunk is odd-sized.
    "mjpeg_u8": (30, ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration={sec}",
                      "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:samples_per_frame=441:duration={sec}",
                      "-c:v", "mjpeg", "-q:v", "6", "-pix_fmt", "yuvj420p", "-c:a", "pcm_u8"]),
    "h264": (60, ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration={sec}",
                  "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration={sec}",
                  "-c:v", "libx264", "-preset", "fast", "-pix_fmt", "yuv420p", "-c:a", "libmp3lame", "-b:a", "96k"]),
    # A busier picture: 10 MiB, so that the random stretches hit a few per
    # cent of it, as in a real recording.
    "mpeg4": (60, ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration={sec}",
                   "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration={sec}",
                   "-c:v", "mpeg4", "-q:v", "3", "-g", "50", "-c:a", "libmp3lame", "-b:a", "96k"]),
}


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, **kw)


def le32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def padded(size):
    return size + (size & 1)


# ------------------------------------------------------------------ AVI layout

class Avi:
    """The layout of a well-formed AVI as ffmpeg writes it (padded chunks,
    idx1 offsets from the "movi" type field)."""

    def __init__(self, data):
        self.data = data
        self.movi = self.idx1 = None
        pos = 12
        while pos + 8 <= len(data):
            ckid, size = data[pos:pos + 4], le32(data, pos + 4)
            if ckid == b"LIST" and data[pos + 8:pos + 12] == b"movi":
                self.movi = pos  # the LIST header
            elif ckid == b"idx1":
                self.idx1 = pos
            pos += 8 + padded(size)
        if self.movi is None:
            sys.exit("no movi list")
        self.movi_type = self.movi + 8  # idx1 offsets count from here
        self.movi_end = self.movi + 8 + le32(data, self.movi + 4)

    def chunks(self):
        """(offset of the chunk header, id, size) of each chunk in movi."""
        pos = self.movi + 12
        while pos + 8 <= self.movi_end:
            size = le32(self.data, pos + 4)
            yield pos, bytes(self.data[pos:pos + 4]), size
            pos += 8 + padded(size)

    def index(self):
        """idx1 entries as (id, flags, offset, size)."""
        if self.idx1 is None:
            return []
        n = le32(self.data, self.idx1 + 4) // 16
        return [struct.unpack_from("<4sIII", self.data, self.idx1 + 8 + 16 * i) for i in range(n)]

    def with_movi(self, body, entries):
        """The same headers around a new movi body (after its type field) and
        a new idx1; RIFF and LIST sizes follow."""
        head = bytearray(self.data[:self.movi])
        out = head + b"LIST" + struct.pack("<I", 4 + len(body)) + b"movi" + body
        if len(body) & 1:
            out += b"\0"
        out += b"idx1" + struct.pack("<I", 16 * len(entries))
        out += b"".join(struct.pack("<4sIII", *e) for e in entries)
        struct.pack_into("<I", out, 4, len(out) - 8)
        return bytes(out)


def is_video(ckid):
    return ckid[2:4] in (b"dc", b"db")


# ---------------------------------------------------------------- the damage

def cut_at_idx1(data):
    at = data.rfind(b"idx1")
    if at < 0:
        sys.exit("no idx1")
    return data[:at], "cut at idx1 (offset %d), %d bytes of index left out" % (at, len(data) - at)


def rec_lists(data):
    """Each video chunk and the audio chunks after it in a "LIST rec " list,
    as capture programs group them; idx1 gets an entry for each list
    (AVIIF_LIST) before the entries of its chunks."""
    avi = Avi(data)
    flags = {avi.movi_type + off: fl for _, fl, off, _ in avi.index()}
    groups, current = [], []
    for pos, ckid, size in avi.chunks():
        if is_video(ckid) and any(is_video(c[1]) for c in current):
            groups.append(current)
            current = []
        current.append((pos, ckid, size))
    if current:
        groups.append(current)
    body, entries = bytearray(), []
    for group in groups:
        list_at = len(body) + 4  # from the movi type field
        inner = b"rec " + b"".join(bytes(data[p:p + 8 + padded(s)]) for p, _, s in group)
        entries.append((b"rec ", 0x1, list_at, len(inner)))
        at = list_at + 12
        for p, ckid, size in group:
            entries.append((ckid, flags.get(p, 0), at, size))
            at += 8 + padded(size)
        body += b"LIST" + struct.pack("<I", len(inner)) + inner
    return avi.with_movi(bytes(body), entries), "%d rec lists" % len(groups)


def drop_pads(data):
    """The pad byte after each odd-sized chunk left out, idx1 moved to match."""
    avi = Avi(data)
    body, moved, odd, count = bytearray(), {}, 0, 0
    for pos, ckid, size in avi.chunks():
        moved[pos - avi.movi_type] = len(body) + 4
        body += data[pos:pos + 8 + size]
        odd += size & 1
        count += 1
    entries = [(ckid, fl, moved[off], size) for ckid, fl, off, size in avi.index()]
    out = avi.with_movi(bytes(body), entries)
    # with_movi pads the movi list itself; a writer that leaves pads out does not.
    if len(body) & 1:
        out = bytearray(out)
        idx = avi.movi + 12 + len(body)
        del out[idx]
        struct.pack_into("<I", out, 4, len(out) - 8)
        out = bytes(out)
    return out, "%d of %d chunks odd-sized, %d pad bytes left out" % (odd, count, odd)


def flip_size(data):
    """The low two bytes of the size field of the video chunk 35 % into the
    movi data inverted: a wrong size that still points inside the file."""
    avi = Avi(data)
    target = avi.movi + int((avi.movi_end - avi.movi) * 0.35)
    out = bytearray(data)
    for pos, ckid, size in avi.chunks():
        if pos >= target and is_video(ckid):
            out[pos + 4] ^= 0xFF
            out[pos + 5] ^= 0xFF
            return bytes(out), "size of %s at offset %d: %d -> %d" % (
                ckid.decode(), pos, size, le32(out, pos + 4))
    sys.exit("no video chunk past 35 %")


STRETCHES = 10


def random_stretches(data):
    """STRETCHES stretches of 4-64 KiB of random bytes, one in each tenth of
    the movi data, idx1 left intact."""
    avi = Avi(data)
    rng = random.Random(SEED)
    out = bytearray(data)
    start, end = avi.movi + 12, avi.movi_end
    slot = (end - start) // STRETCHES
    spots = []
    for k in range(STRETCHES):
        length = rng.randint(4, 64) * 1024
        at = start + k * slot + rng.randrange(max(1, slot - length))
        out[at:at + length] = rng.randbytes(length)
        spots.append("%d+%dK" % (at, length // 1024))
    return bytes(out), "seed %d: %s" % (SEED, " ".join(spots))


def cut_mid_chunk(data):
    """Cut in the middle of the first video chunk past 60 % of the file."""
    avi = Avi(data)
    for pos, ckid, size in avi.chunks():
        if pos >= len(data) * 0.6 and is_video(ckid):
            at = pos + 8 + size // 2
            return data[:at], "cut at %d, in the middle of %s at %d (%d bytes)" % (at, ckid.decode(), pos, size)
    sys.exit("no video chunk past 60 %")


def zero_riff_header(data):
    return bytes(16) + data[16:], "first 16 bytes zeroed"


UNREADABLE = 64 * 1024


def unreadable_range(data):
    """64 KiB, page-aligned, 40 % into the movi data."""
    avi = Avi(data)
    at = (avi.movi + int((avi.movi_end - avi.movi) * 0.4)) & ~4095
    return at, at + UNREADABLE


# ------------------------------------------------------ the unreadable stretch

def fuse_python():
    """A Python that can import the fuse binding (Debian's python3-fuse is
    built for the system Python, which may not be the one running us)."""
    for exe in (sys.executable, "/usr/bin/python3"):
        if exe and os.path.exists(exe) and run([exe, "-c", "import fuse"]).returncode == 0:
            return exe
    return None


def serve_eio(backing, start, end, mount):
    """A read-only FUSE file system holding one file, the backing file, whose
    reads fail with EIO where they touch [start, end)."""
    import fuse
    fuse.fuse_python_api = (0, 2)
    name = "/" + os.path.basename(backing)

    class Fs(fuse.Fuse):
        def getattr(self, path):
            if path == "/":
                return os.stat(os.path.dirname(os.path.abspath(backing)))
            return os.stat(backing) if path == name else -errno.ENOENT

        def readdir(self, path, offset):
            for n in (".", "..", name[1:]):
                yield fuse.Direntry(n)

        def open(self, path, flags):
            if path != name:
                return -errno.ENOENT
            return -errno.EROFS if flags & (os.O_WRONLY | os.O_RDWR) else 0

        def read(self, path, size, offset):
            if offset < end and offset + size > start:
                return -errno.EIO
            with open(backing, "rb") as f:
                f.seek(offset)
                return f.read(size)

    fs = Fs(version="damage_costs", usage="", dash_s_do="setsingle")
    fs.parse([mount, "-f", "-s", "-o", "ro"], errex=1)
    fs.main()


class Unreadable:
    """The file mounted with an unreadable range; `path` is a link to it in
    the work folder, so the repair writes its new file beside the link."""

    def __init__(self, work, backing, start, end):
        self.mount = work / "eio.mnt"
        self.link = work / ("7." + backing.name)
        self.proc = None
        self.why = None
        exe = fuse_python()
        if not os.path.exists("/dev/fuse"):
            self.why = "no /dev/fuse"
        elif not shutil.which("fusermount"):
            self.why = "no fusermount"
        elif not exe:
            self.why = "no Python fuse binding (Debian package python3-fuse)"
        if self.why:
            return
        if os.path.ismount(self.mount):
            run(["fusermount", "-u", str(self.mount)])
        self.mount.mkdir(exist_ok=True)
        self.proc = subprocess.Popen([exe, str(Path(__file__).resolve()), "--serve-eio", str(backing),
                                      str(start), str(end), str(self.mount)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        inside = self.mount / backing.name
        for _ in range(100):
            if inside.exists() or self.proc.poll() is not None:
                break
            time.sleep(0.05)
        if not inside.exists():
            self.why = "mount failed: %s" % (self.proc.stderr.read().decode(errors="replace").strip()[:200]
                                              if self.proc.poll() is not None else "timed out")
            self.close()
            return
        self.link.unlink(missing_ok=True)
        self.link.symlink_to(inside)

    def close(self):
        self.link.unlink(missing_ok=True)
        if self.proc:
            if os.path.ismount(self.mount):
                run(["fusermount", "-u", str(self.mount)])
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


# ------------------------------------------------------------- measurements

def decoded_video(path):
    """The checksum of every video frame that decodes, in order."""
    out = run(["ffmpeg", "-nostdin", "-v", "quiet", "-i", str(path), "-map", "0:v:0", "-fps_mode", "passthrough",
               "-f", "framemd5", "-"]).stdout
    return [line.rsplit(",", 1)[-1].strip() for line in out.splitlines() if line and not line.startswith("#")]


def decode_errors(path):
    err = run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-f", "null", "-"]).stderr
    return sum(1 for line in err.splitlines() if line.strip())


def picture_at(path, t):
    out = run(["ffmpeg", "-nostdin", "-v", "quiet", "-ss", "%.3f" % t, "-i", str(path), "-map", "0:v:0",
               "-frames:v", "1", "-f", "framemd5", "-"]).stdout
    lines = [line for line in out.splitlines() if line and not line.startswith("#")]
    return lines[0].rsplit(",", 1)[-1].strip() if lines else None


def audio_packets(path):
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets",
               "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", str(path)]).stdout.strip()
    return int(out) if out.isdigit() else 0


def check_clean(fix, path):
    return run([fix, "--check", str(path)]).returncode == 0


class Result:
    def __init__(self, label, path, fix, times, reference, original_frames, check=True):
        self.label = label
        self.exists = path is not None and path.exists()
        if not self.exists:
            return
        frames = decoded_video(path)
        self.frames = len(frames)
        self.identical = sum(1 for f in frames if f in original_frames)
        self.audio = audio_packets(path)
        self.errors = decode_errors(path)
        self.pictures = sum(1 for t, want in zip(times, reference) if want and picture_at(path, t) == want)
        self.clean = check_clean(fix, path) if check else None

    def cells(self, with_check=True):
        if not self.exists:
            return ["no file", "", ""] + ([""] if with_check else [])
        cells = [str(self.frames), str(self.errors), "%d/%d" % (self.pictures, len(SEEK_AT))]
        if with_check:
            cells.append("yes" if self.clean else "no")
        return cells

    def raw(self):
        if not self.exists:
            return "%s: no file" % self.label
        return "%s: frames %d (identical to the original's %d), audio packets %d, errors %d, pictures %d/%d%s" % (
            self.label, self.frames, self.identical, self.audio, self.errors, self.pictures, len(SEEK_AT),
            "" if self.clean is None else ", --check %s" % ("clean" if self.clean else "finds problems"))


# --------------------------------------------------------------------- rows

# (number, damage, recording, damage function, repaired in place too)
ROWS = [
    (1, "packed B-frames (Xvid -bf 2) + MP3, index cut off", "xvid", cut_at_idx1, False),
    (2, "`LIST rec ` lists, healthy (MJPEG + PCM)", "mjpeg", rec_lists, False),
    (3, "`LIST rec ` lists, index cut off", "mjpeg", lambda d: chain(d, rec_lists, cut_at_idx1), False),
    (4, "pad bytes left out (MJPEG + 8-bit PCM)", "mjpeg_u8", drop_pads, False),
    (5, "a flipped size field 35 % in (H.264 + MP3)", "h264", flip_size, False),
    (6, "%d stretches of random bytes (MPEG-4 + MP3)" % STRETCHES, "mpeg4", random_stretches, False),
    (7, "an unreadable stretch (EIO, 64 KiB)", "mpeg4", None, False),
    (8, "cut mid-chunk (MJPEG + PCM)", "mjpeg", cut_mid_chunk, True),
    (9, "zeroed `RIFF` header (MPEG-4 + MP3)", "mpeg4", zero_riff_header, False),
]


def chain(data, *steps):
    notes = []
    for step in steps:
        data, note = step(data)
        notes.append(note)
    return data, "; ".join(notes)


def make_recording(work, name):
    seconds, args = RECORDINGS[name]
    out = work / ("%s.avi" % name)
    argv = ["ffmpeg", "-nostdin", "-v", "error", "-y", *[a.format(sec=seconds) for a in args], *BITEXACT, str(out)]
    run(argv, check=True)
    return out


def held_seconds(data, damage, damaged_bytes):
    """The playing time of the video frames the damaged file still holds
    whole: all of them unless it was cut short in its movi data."""
    avi = Avi(data)
    left = len(damaged_bytes) if damage is cut_mid_chunk else len(data)
    frames = [pos for pos, ckid, size in avi.chunks() if is_video(ckid) and pos + 8 + size <= left]
    return len(frames) / FPS, len(frames)


def repair(fix, src, in_place=False):
    argv = [fix, "--in-place", str(src)] if in_place else [fix, str(src)]
    out = run(argv)
    found = re.search(r"Damaged places found: (\d+)", out.stdout)
    places = found.group(1) if found else "-"
    if out.returncode != 0:
        errors = [line[1:].strip() for line in out.stdout.splitlines() if line.startswith("E")]
        places += ", says: " + (" / ".join(errors) or out.stderr.strip() or "nothing")
    target = src if in_place else src.with_name("Fixed." + src.name)
    return out.returncode, places, target if (in_place or target.exists()) else None


def remux(src, dst):
    dst.unlink(missing_ok=True)
    run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(src), "-c", "copy", "-map", "0", str(dst)])
    return dst if dst.exists() else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin")
    parser.add_argument("--work", default="/tmp/reelwright-damage")
    parser.add_argument("--rows", help="only these rows, e.g. 1,5")
    parser.add_argument("--serve-eio", nargs=4, metavar=("FILE", "START", "END", "MOUNT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve_eio:
        backing, start, end, mount = args.serve_eio
        serve_eio(backing, int(start), int(end), mount)
        return
    if not args.bin:
        parser.error("--bin is required")
    os.nice(10)
    began = time.monotonic()
    fix = str(Path(args.bin).resolve())
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    wanted = {int(r) for r in args.rows.split(",")} if args.rows else None
    rows = [r for r in ROWS if wanted is None or r[0] in wanted]

    print("making the recordings in %s ..." % work, flush=True)
    recordings = {}
    for name in sorted({r[2] for r in rows}):
        path = make_recording(work, name)
        frames = decoded_video(path)
        recordings[name] = (path, frames, set(frames))
        print("  %-13s %2d s, %4d video frames, %4d audio packets, %5.1f MiB" % (
            path.name, RECORDINGS[name][0], len(frames), audio_packets(path), path.stat().st_size / 2 ** 20),
            flush=True)

    table, raw = [], []
    for number, label, name, damage, in_place in rows:
        original, original_list, original_frames = recordings[name]
        data = original.read_bytes()
        damaged = work / ("%d.%s.avi" % (number, name))
        unreadable = None
        if number == 7:
            start, end = unreadable_range(data)
            note = "reads of %d-%d fail with EIO" % (start, end)
            unreadable = Unreadable(work, original, start, end)
            if unreadable.why:
                table.append(["%d. %s" % (number, label), str(len(original_list)), "n/a"] + ["n/a"] * 7)
                raw.append("%d. n/a: %s" % (number, unreadable.why))
                continue
            damaged = unreadable.link
            bad = data
        else:
            bad, note = damage(data)
            damaged.write_bytes(bad)
        try:
            seconds, whole = held_seconds(data, damage, bad)
            times = [seconds * f for f in SEEK_AT]
            reference = [picture_at(original, t) for t in times]
            measured = []
            fixed_path = work / ("Fixed." + damaged.name)
            fixed_path.unlink(missing_ok=True)
            rc, places, out = repair(fix, damaged)
            measured.append(("new file", rc, places, Result("repair, new file", out, fix, times, reference,
                                                              original_frames)))
            if in_place:
                copy = work / ("inplace.%d.%s.avi" % (number, name))
                shutil.copyfile(damaged, copy)
                rc, places, out = repair(fix, copy, in_place=True)
                measured.append(("in place", rc, places, Result("repair, in place", out, fix, times, reference,
                                                                  original_frames)))
            remuxed = Result("ffmpeg -c copy", remux(damaged, work / ("remux.%d.%s.avi" % (number, name))), fix,
                             times, reference, original_frames, check=False)
            source_clean = check_clean(fix, damaged)
        finally:
            if unreadable:
                unreadable.close()
        for i, (mode, rc, places, result) in enumerate(measured):
            first = i == 0
            table.append(["%d. %s" % (number, label) if first else "",
                          str(len(original_list)) if first else "", mode] + result.cells()
                         + (remuxed.cells(with_check=False) if first else ["", "", ""]))
        raw.append("%d. %s: %s; %d whole video frames left; --check on the damaged file %s" % (
            number, name, note, whole, "clean" if source_clean else "finds problems"))
        for mode, rc, places, result in measured:
            raw.append("   %s (exit %d, damaged places %s)" % (result.raw(), rc, places))
        raw.append("   %s" % remuxed.raw())
        print("  row %d done (%.0f s)" % (number, time.monotonic() - began), flush=True)

    head = ["damage", "frames in the original", "repair", "frames kept", "decode errors", "right picture at 3 times",
            "`--check` clean", "`ffmpeg -c copy`: frames kept", "decode errors", "right picture at 3 times"]
    print()
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join("---" if i < 3 else "--:" for i in range(len(head))) + "|")
    for row in table:
        print("| " + " | ".join(row) + " |")
    print()
    for line in raw:
        print(line)
    print("\nright picture: ffmpeg -ss T -frames:v 1 gives the original's frame at T = %s of the time the "
          "damaged file holds; %.0f s in all" % (", ".join("%d %%" % (f * 100) for f in SEEK_AT),
                                                   time.monotonic() - began))


if __name__ == "__main__":
    main()
