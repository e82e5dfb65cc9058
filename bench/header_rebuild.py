#!/usr/bin/env python3
"""What a lost start costs: reelwright-fix with and without --reference
against an ffmpeg remux.

Makes a short recording per writer (ffmpeg MJPEG + PCM, MPEG-4 + MP3,
H.264 + AC-3, DV + PCM; mencoder Xvid + MP3) and a reference recording of
the same writer (another test pattern, another length), loses the start of
the recording in four ways (the first 16 KiB, 256 KiB or 4 MiB zeroed; a
fragment carved back from the middle of the movi data to the end), repairs
each with `reelwright-fix --reference`, with plain `reelwright-fix` (a
header made from the data), and remuxes it with `ffmpeg -c copy -map 0`,
and prints one Markdown table: the video frames after the lost start (that
decode in the original), the frames each result decodes, whether `ffmpeg -ss T` shows the original's
picture at three times, and the frame rate the result plays at.

    python3 bench/header_rebuild.py --bin build/bin/reelwright-fix [--work DIR] [--writers mjpeg,dv]
"""

import argparse
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

SEEK_AT = (0.3, 0.55, 0.8)
BITEXACT = ["-threads", "1", "-fflags", "+bitexact", "-flags:v", "+bitexact", "-flags:a", "+bitexact"]
NOISE = "testsrc=size=640x480:rate=25:duration={sec},noise=alls=20:allf=t"
SINE = "sine=frequency=440:sample_rate=48000:duration={sec}"


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, **kw)


def ffmpeg(*args):
    r = run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args])
    if r.returncode != 0:
        sys.exit("ffmpeg %s: %s" % (" ".join(args), r.stderr))


# (label, seconds, ffmpeg arguments after the inputs; None: mencoder)
WRITERS = {
    "mjpeg": ("ffmpeg MJPEG + PCM", 5, ["-c:v", "mjpeg", "-q:v", "2", "-pix_fmt", "yuvj420p", "-c:a", "pcm_s16le"]),
    "mpeg4": ("ffmpeg MPEG-4 + MP3", 5, ["-c:v", "mpeg4", "-q:v", "2", "-g", "25", "-c:a", "libmp3lame", "-b:a", "96k"]),
    "h264": ("ffmpeg H.264 + AC-3", 5, ["-c:v", "libx264", "-preset", "ultrafast", "-qp", "20", "-g", "25",
                                        "-c:a", "ac3"]),
    "dv": ("ffmpeg DV + PCM", 4, ["-c:v", "dvvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"]),
    "xvid": ("mencoder Xvid + MP3", 8, None),
}


def record(writer, path, sec, pattern):
    label, _, args = WRITERS[writer]
    size = "720x576" if writer == "dv" else "640x480"
    video = NOISE.replace("testsrc", pattern).replace("640x480", size).format(sec=sec)
    if args is not None:
        ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", SINE.format(sec=sec), *args, str(path))
        return
    raw = path.with_suffix(".raw.avi")
    ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", SINE.format(sec=sec), "-c:v", "rawvideo",
           "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", str(raw))
    r = run(["mencoder", "-really-quiet", str(raw), "-ovc", "xvid", "-xvidencopts", "fixed_quant=2:max_key_interval=25",
             "-oac", "mp3lame", "-o", str(path)])
    raw.unlink()
    if r.returncode != 0:
        sys.exit("mencoder: " + r.stderr)


def le32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def video_chunks(data):
    """The offsets of the video chunks of a well-formed AVI, walked by size."""
    pos, movi = 12, None
    while pos + 12 <= len(data):
        if data[pos:pos + 4] == b"LIST" and data[pos + 8:pos + 12] == b"movi":
            movi = pos
            break
        pos += 8 + le32(data, pos + 4) + (le32(data, pos + 4) & 1)
    end = movi + 8 + le32(data, movi + 4)
    pos, found = movi + 12, []
    while pos + 8 <= end:
        size = le32(data, pos + 4)
        if data[pos + 2:pos + 4] in (b"dc", b"db"):
            found.append(pos)
        pos += 8 + size + (size & 1)
    # The key frames, by their number, from the index after the movi list.
    idx1 = end + (end & 1)
    entries = [struct.unpack_from("<4sIII", data, idx1 + 8 + 16 * i) for i in range(le32(data, idx1 + 4) // 16)]
    keys = [n for n, e in enumerate(e for e in entries if e[0][2:4] in (b"dc", b"db")) if e[1] & 0x10]
    return movi, end, found, keys


# Each damage: (label, function of the bytes giving the damaged bytes and where the kept data begin)
def zeroed(n):
    return lambda data, movi, end: (bytes(n) + data[n:], n)


def carved(data, movi, end):
    at = movi + (end - movi) * 45 // 100 + 3
    return data[at:], at


DAMAGES = [("16 KiB zeroed", zeroed(16 << 10)), ("256 KiB zeroed", zeroed(256 << 10)),
           ("4 MiB zeroed", zeroed(4 << 20)), ("carved from the middle", carved)]


def frames(path):
    """The checksum of each video frame that decodes, by its time stamp (in
    frames: AVI has no other); a frame the encoder did not code has none."""
    out = run(["ffmpeg", "-nostdin", "-v", "quiet", *BITEXACT, "-i", str(path), "-map", "0:v:0",
               "-fps_mode", "passthrough", "-f", "framemd5", "-"]).stdout
    fields = [line.split(",") for line in out.splitlines() if line and not line.startswith("#")]
    return {int(f[2]): f[-1].strip() for f in fields}


def picture_at(path, t):
    out = run(["ffmpeg", "-nostdin", "-v", "quiet", *BITEXACT, "-ss", "%.3f" % t, "-i", str(path), "-map", "0:v:0",
               "-frames:v", "1", "-f", "framemd5", "-"]).stdout
    lines = [line for line in out.splitlines() if line and not line.startswith("#")]
    return lines[0].rsplit(",", 1)[-1].strip() if lines else None


def frame_rate(path):
    """The rate the header gives (ffprobe's r_frame_rate is a guess of its own)."""
    out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=avg_frame_rate",
               "-of", "csv=p=0", str(path)]).stdout.strip()
    if "/" not in out:
        return "-"
    n, d = out.split("/")
    return "%.4g" % (int(n) / int(d)) if int(d) else "-"


def measure(path, original, first, kept, first_key):
    """Frames decoded, seek results (the original's frame `first` + t * 25
    at t), the frame rate; None when there is no file. The times lie after
    the first key frame kept (`first_key` frames in): ffmpeg cannot seek to
    a file's first key frame when the video has B-frames."""
    if path is None or not path.exists():
        return None
    decoded = frames(path)
    right = 0
    for f in SEEK_AT:
        # (Past a frame the encoder left uncoded, which shows the one before.)
        n = max(round(kept * f), first_key + 1)
        while first + n not in original and n < kept:
            n += 1
        right += picture_at(path, n / 25) == original.get(first + n)
    return len(decoded), right, frame_rate(path)


def cells(result):
    if result is None:
        return ["no file", "", ""]
    decoded, right, rate = result
    return [str(decoded), "%d/%d" % (right, len(SEEK_AT)), rate]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", required=True, help="reelwright-fix")
    ap.add_argument("--work", help="folder for the files (default: a temporary one)")
    ap.add_argument("--writers", default=",".join(WRITERS), help="comma-separated: " + ",".join(WRITERS))
    args = ap.parse_args()
    fix = str(Path(args.bin).resolve())
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="header_rebuild."))
    work.mkdir(parents=True, exist_ok=True)

    print("| writer | damage | frames after the lost start | `--reference`: frames | right picture | frame rate "
          "| from the data: frames | right picture | frame rate | `ffmpeg -c copy`: frames | right picture | frame rate |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for writer in args.writers.split(","):
        label, sec, _ = WRITERS[writer]
        original_path = work / (writer + ".avi")
        reference = work / (writer + ".reference.avi")
        record(writer, original_path, sec, "testsrc")
        record(writer, reference, 2, "testsrc2")
        data = original_path.read_bytes()
        original = frames(original_path)
        movi, end, video, keys = video_chunks(data)
        for name, damage in DAMAGES:
            damaged, hole_end = damage(data, movi, end)
            first = sum(1 for p in video if p < hole_end)
            kept = len(video) - first
            if kept < 25:
                continue
            first_key = min(k for k in keys if k >= first) - first
            row = [label, name, str(sum(1 for pts in original if pts >= first))]
            for mode in ("reference", "data", "ffmpeg"):
                folder = work / ("%s.%s.%s" % (writer, name.split()[0], mode))
                shutil.rmtree(folder, ignore_errors=True)
                folder.mkdir()
                source = folder / "lost.avi"
                source.write_bytes(damaged)
                out = folder / "Fixed.lost.avi"
                if mode == "ffmpeg":
                    run(["ffmpeg", "-nostdin", "-v", "quiet", "-y", "-i", str(source), "-c", "copy", "-map", "0",
                         str(out)])
                else:
                    run([fix, *(["--reference", str(reference)] if mode == "reference" else []), str(source)])
                row += cells(measure(out, original, first, kept, first_key))
            print("| " + " | ".join(row) + " |", flush=True)
    if not args.work:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
