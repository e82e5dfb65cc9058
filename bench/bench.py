"""Benchmark of reelwright-fix; started by bench/run, which builds the binary.

Times (wall clock, warm cache, commands interleaved, median of N runs) cat,
reelwright-fix in both modes, an ffmpeg remux and mencoder -idx on files that
ffmpeg makes once per recipe, checks the repaired files byte for byte against
the file ffmpeg wrote, measures peak memory, and exits 1 when a target is
missed.
"""

import argparse
import filecmp
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

MIB = 1024 * 1024

# Targets: reelwright-fix against cat on the same input, and its peak memory.
NEW_FILE_MAX = 1.15
IN_PLACE_MAX = 0.2
# In place against the block walk: reading the bytes once, the floor.
IN_PLACE_WALK_MAX = 1.3
WINDOW_MAX = 1.5  # the window's Fix against reelwright-fix on the same file
RSS_MAX_MIB = 8.0
# "About the same for both sizes": the big file may take this much more.
RSS_SPREAD_MIB = 2.0

# One encoding for both sizes; only the duration differs.
ENCODE = [
    "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration={sec}",
    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration={sec}",
    "-c:v", "mpeg4", "-b:v", "1800k", "-g", "250",
    "-c:a", "libmp3lame", "-b:a", "128k",
]
BIG_SECONDS = 600
SMALL_SECONDS = 60
# A long recording past 1 GiB, which ffmpeg writes in the OpenDML form (a
# further RIFF "AVIX" chunk, standard index chunks, super indexes).
LONG_ENCODE = [
    "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25",
    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
    "-t", "50", "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-c:a", "pcm_s16le",
]
# Stretches of garbage in the big file's movi data: (fraction of the movi
# span where the stretch starts, length in bytes). Seeded, so reproducible.
GARBAGE = [(0.21, 3 * 1024), (0.48, 6 * 1024), (0.77, 4 * 1024)]
GARBAGE_SEED = 20240601


def log(text=""):
    print(text, flush=True)


def run_quiet(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **kwargs)


# ---------------------------------------------------------------- test files

def ffmpeg_version():
    out = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout
    return out.splitlines()[0] if out else "ffmpeg (unknown version)"


def encode_argv(seconds, out):
    args = [a.format(sec=seconds) for a in ENCODE]
    return ["ffmpeg", "-nostdin", "-v", "error", "-y", *args, str(out)]


def recipe_text():
    lines = [
        ffmpeg_version(),
        "big.avi:   " + " ".join(encode_argv(BIG_SECONDS, "big.avi")),
        "small.avi: " + " ".join(encode_argv(SMALL_SECONDS, "small.avi")),
        "long.avi:  " + " ".join(["ffmpeg", "-nostdin", "-v", "error", "-y", *LONG_ENCODE, "long.avi"]),
        "*.noidx.avi: cut at the last \"idx1\"",
        "long.noix.avi: cut at the last part's first standard index chunk (\"ix00\")",
        "big.damaged.avi: big.noidx.avi with random bytes (seed %d) over the movi data at %s"
        % (GARBAGE_SEED, ", ".join("%.0f%% (%d KiB)" % (f * 100, n // 1024) for f, n in GARBAGE)),
    ]
    return "\n".join(lines) + "\n"


def cut_index(src, dst):
    data = src.read_bytes()
    at = data.rfind(b"idx1")
    if at < 0:
        sys.exit("no idx1 in %s" % src)
    dst.write_bytes(data[:at])
    return at


def cut_index_chunks(src, dst):
    """The long recording as a recorder leaves it that stops before writing
    the index chunks of its last part: cut at the last "ix00"."""
    size = src.stat().st_size
    with open(src, "rb") as f:
        f.seek(max(0, size - 4 * MIB))
        tail = f.read()
    at = size - len(tail) + tail.rfind(b"ix00")
    if tail.rfind(b"ix00") < 0:
        sys.exit("no ix00 near the end of %s" % src)
    # The last part's ix00 comes before its ix01: the first of them.
    with open(src, "rb") as f, open(dst, "wb") as out:
        left = at
        while left > 0:
            block = f.read(min(left, 16 * MIB))
            out.write(block)
            left -= len(block)
    return at


def add_garbage(src, dst):
    data = bytearray(src.read_bytes())
    movi = data.find(b"movi")
    if movi < 0:
        sys.exit("no movi list in %s" % src)
    start, end = movi + 4, len(data)
    rng = random.Random(GARBAGE_SEED)
    for fraction, length in GARBAGE:
        at = start + int((end - start) * fraction)
        data[at:at + length] = rng.randbytes(length)
    dst.write_bytes(bytes(data))


def probe_decodes(path):
    """Quick check: streams and duration as expected, the first seconds decode."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-read_intervals", "%+3",
         "-show_entries", "stream=codec_name,nb_read_frames:format=duration",
         "-of", "default=nw=1", str(path)],
        capture_output=True, text=True)
    fields = re.findall(r"^(\w+)=(.*)$", out.stdout, re.M)
    codecs = [v for k, v in fields if k == "codec_name"]
    frames = [int(v) for k, v in fields if k == "nb_read_frames" and v.isdigit()]
    duration = next((float(v) for k, v in fields if k == "duration"), 0.0)
    ok = (out.returncode == 0 and not out.stderr.strip() and codecs == ["mpeg4", "mp3"]
          and frames and frames[0] > 0 and abs(duration - BIG_SECONDS) < 2)
    return ok, "codecs %s, %.1f s, %s video frames decoded in the first 3 s%s" % (
        "+".join(codecs), duration, frames[0] if frames else 0,
        "" if not out.stderr.strip() else ", errors: " + out.stderr.strip()[:200])


def make_files(work):
    work.mkdir(parents=True, exist_ok=True)
    recipe = recipe_text()
    log("recipe (%s):" % work)
    for line in recipe.splitlines():
        log("  " + line)
    names = ["big.avi", "big.noidx.avi", "big.damaged.avi", "small.avi", "small.noidx.avi",
             "long.avi", "long.noix.avi"]
    stamp = work / "recipe.txt"
    if stamp.exists() and stamp.read_text() == recipe and all((work / n).exists() for n in names):
        log("  -> reusing the files made with this recipe")
    else:
        stamp.unlink(missing_ok=True)
        for seconds, name in ((BIG_SECONDS, "big"), (SMALL_SECONDS, "small")):
            log("  encoding %s.avi (%d s) ..." % (name, seconds))
            began = time.monotonic()
            subprocess.run(encode_argv(seconds, work / (name + ".avi")), check=True)
            log("    %.0f s" % (time.monotonic() - began))
            cut_index(work / (name + ".avi"), work / (name + ".noidx.avi"))
        add_garbage(work / "big.noidx.avi", work / "big.damaged.avi")
        log("  encoding long.avi ...")
        began = time.monotonic()
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *LONG_ENCODE, str(work / "long.avi")], check=True)
        log("    %.0f s" % (time.monotonic() - began))
        cut_index_chunks(work / "long.avi", work / "long.noix.avi")
        # Written last: a folder left half made is made again next time.
        stamp.write_text(recipe)
    ok, text = probe_decodes(work / "big.avi")
    log("  ffprobe big.avi: %s: %s" % ("OK" if ok else "FAIL", text))
    if not ok:
        sys.exit("big.avi does not decode; remove %s and run again" % work)
    for n in names:
        log("  %-16s %7.1f MiB" % (n, (work / n).stat().st_size / MIB))
    return ok


# ------------------------------------------------------------------ timing

class Command:
    """One timed command on one input; prepare and clean up are not timed."""

    def __init__(self, label, argv, prepare=None, cleanup=None, role=None, self_timed=False):
        self.label = label
        # The program prints "fix_ns N", the time of the work itself.
        self.self_timed = self_timed
        self.argv = argv
        self.prepare = prepare or (lambda: None)
        self.cleanup = cleanup or (lambda: None)
        self.role = role  # "cat", "new", "inplace" or None
        self.times = []
        self.failures = []

    def run_once(self, timed):
        # No sync here: a sync before each run leaves the flusher and journal
        # busy on the other core and made the times of short runs scatter
        # several-fold. The outputs are deleted long before writeback starts.
        self.prepare()
        began = time.perf_counter()
        proc = (subprocess.run(self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL) if self.self_timed else run_quiet(self.argv))
        took = time.perf_counter() - began
        if self.self_timed:
            for line in proc.stdout.decode(errors="replace").splitlines():
                if line.startswith("fix_ns "):
                    took = int(line.split()[1]) / 1e9
        self.cleanup()
        if proc.returncode != 0:
            self.failures.append(proc.returncode)
        if timed:
            self.times.append(took)


def remove(*paths):
    def go():
        for p in paths:
            Path(p).unlink(missing_ok=True)
    return go


def copy_to(src, dst):
    return lambda: shutil.copyfile(src, dst)


def fixed_name(src):
    return src.parent / ("Fixed." + src.name)


def commands_for(src, binary, full, tmp, window=None, walk=None):
    cat_dst = tmp / ("cat." + src.name)
    copy = tmp / ("copy." + src.name)
    remux = tmp / ("remux." + src.name)
    menc = tmp / ("mencoder." + src.name)
    cmds = [
        Command("cat src > dst", ["sh", "-c", 'cat "$1" > "$2"', "sh", str(src), str(cat_dst)],
                cleanup=remove(cat_dst), role="cat"),
        Command("reelwright-fix src", [binary, str(src)],
                cleanup=remove(fixed_name(src)), role="new"),
        Command("reelwright-fix --in-place copy", [binary, "--in-place", str(copy)],
                prepare=copy_to(src, copy), cleanup=remove(copy), role="inplace"),
    ]
    if walk:
        # Only visiting every chunk header, as any repair must: the floor.
        cmds.append(Command("header walk alone (pread)", [walk, str(src), "pread"]))
        cmds.append(Command("header walk alone (mmap)", [walk, str(src), "mmap"]))
        cmds.append(Command("header walk alone (block, 256 KiB)", [walk, str(src), "block", str(256 * 1024)],
                            role="walk"))
        # The block walk with the kernel copying what it walked on a second
        # thread: the floor under a new file.
        walk_copy = tmp / ("walkcopy." + src.name)
        cmds.append(Command("header walk + copy (block, thread)", [walk, str(src), "copy", str(walk_copy)],
                            cleanup=remove(walk_copy), role="walkcopy"))
    if window:
        # The same Fix through the window's sink, headless; its own time,
        # without the start of a Qt application.
        cmds.append(Command("window Fix (headless)", [window, str(src)],
                            cleanup=remove(fixed_name(src)), role="window", self_timed=True))
        cmds.append(Command("window Fix, events every call", [window, str(src), "--every-call"],
                            cleanup=remove(fixed_name(src)), self_timed=True))
    if full:
        # What any run pays before touching the file: exec, libraries, the
        # language module. It dominates on small files.
        cmds.append(Command("reelwright-fix --version (start-up)", [binary, "--version"]))
        cmds.append(Command("ffmpeg -c copy -map 0 (remux)",
                            ["ffmpeg", "-nostdin", "-y", "-i", str(src), "-c", "copy",
                             "-map", "0", str(remux)], cleanup=remove(remux)))
        if shutil.which("mencoder"):
            cmds.append(Command("mencoder -idx -ovc copy -oac copy",
                                ["mencoder", str(src), "-idx", "-ovc", "copy", "-oac", "copy",
                                 "-o", str(menc)], cleanup=remove(menc)))
    return cmds


def warm(path):
    with open(path, "rb") as f:
        while f.read(8 * MIB):
            pass


def measure(cmds, runs):
    # One untimed round first (binaries and libraries into the cache too),
    # then round robin: one run of each command per repetition.
    for c in cmds:
        c.run_once(timed=False)
    for _ in range(runs):
        for c in cmds:
            c.run_once(timed=True)


def peak_rss_mib(argv, prepare=None, cleanup=None):
    if prepare:
        prepare()
    out = subprocess.run(["/usr/bin/time", "-v", *argv], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", out.stderr)
    result = (int(match.group(1)) / 1024.0 if match else float("nan"), out.returncode)
    if cleanup:
        cleanup()
    return result


# ------------------------------------------------------------------ report

def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
    return model, mem_kib / MIB


def filesystem(path):
    out = subprocess.run(["df", "--output=fstype,source", str(path)],
                         capture_output=True, text=True).stdout.split()
    return "%s (%s)" % (out[-2], out[-1]) if len(out) >= 4 else "?"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--work", default="/tmp/reelwright-bench")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--window", default=None, help="the window_batch program, to time the window's Fix")
    ap.add_argument("--walk", default=None, help="the header_walk program, to time the bare header walk")
    args = ap.parse_args()
    binary = str(Path(args.bin).resolve())
    work = Path(args.work).resolve()

    work.mkdir(parents=True, exist_ok=True)
    model, mem_gib = machine()
    log("machine: nproc %d, %s, %.1f GiB memory, kernel %s, work folder on %s"
        % (len(os.sched_getaffinity(0)), model, mem_gib, platform.release(), filesystem(work)))
    log("binary:  %s" % binary)
    log("tools:   %s; mencoder %s" % (ffmpeg_version(),
                                       "present" if shutil.which("mencoder") else "missing (rows left out)"))
    make_files(work)
    tmp = work / "out"
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir()
    # Outputs go beside the inputs, in the same file system and folder tree;
    # reelwright-fix writes its Fixed. file beside the source by design.
    big, noidx, damaged = work / "big.avi", work / "big.noidx.avi", work / "big.damaged.avi"
    small, small_noidx = work / "small.avi", work / "small.noidx.avi"
    long_avi, long_noix = work / "long.avi", work / "long.noix.avi"

    inputs = [
        ("big.noidx.avi", noidx, True),
        ("big.damaged.avi", damaged, False),
        ("small.noidx.avi", small_noidx, True),
        ("long.noix.avi", long_noix, False),
    ]
    results = []
    os.sync()
    for label, src, full in inputs:
        warm(src)
        window = str(Path(args.window).resolve()) if args.window and src == noidx else None
        walk = str(Path(args.walk).resolve()) if args.walk else None
        cmds = commands_for(src, binary, full, tmp, window, walk)
        log("timing %s (%.0f MiB): %s, %d runs each, interleaved ..."
            % (label, src.stat().st_size / MIB, ", ".join(c.label for c in cmds), args.runs))
        measure(cmds, args.runs)
        results.append((label, src, cmds))

    missed = []
    log()
    log("wall time, median of %d (warm cache)" % args.runs)
    head = "%-17s %-36s %9s %13s %6s  %s" % ("input", "command", "median ms", "min-max ms", "x cat", "target")
    log(head)
    log("-" * len(head))
    for label, src, cmds in results:
        base = statistics.median(next(c for c in cmds if c.role == "cat").times)
        for i, c in enumerate(cmds):
            med = statistics.median(c.times)
            ratio = med / base if base > 0 else float("nan")
            target = ""
            limit = {"new": NEW_FILE_MAX, "inplace": IN_PLACE_MAX}.get(c.role)
            walk_cmd = next((x for x in cmds if x.role == "walk"), None)
            if c.role == "window":
                cli = statistics.median(next(x for x in cmds if x.role == "new").times)
                ratio_cli = med / cli if cli > 0 else float("nan")
                ok = ratio_cli <= WINDOW_MAX and not c.failures
                target = "%.2f x CLI <= %.2f  %s" % (ratio_cli, WINDOW_MAX, "ok" if ok else "MISSED")
                if not ok:
                    missed.append("%s on %s: %.2f x the CLI" % (c.label, label, ratio_cli))
            if limit is not None:
                ok = ratio <= limit and not c.failures
                target = "<= %.2f  %s" % (limit, "ok" if ok else "MISSED")
                if not ok:
                    missed.append("%s on %s: %.2f x cat" % (c.label, label, ratio))
            walk_copy_cmd = next((x for x in cmds if x.role == "walkcopy"), None)
            if c.role == "new" and walk_copy_cmd is not None:
                floor = statistics.median(walk_copy_cmd.times)
                target += ", %.2f x walk + copy" % (med / floor if floor > 0 else float("nan"))
            if c.role == "inplace" and walk_cmd is not None and label.startswith(("big.noidx", "long.noix")):
                floor = statistics.median(walk_cmd.times)
                ratio_walk = med / floor if floor > 0 else float("nan")
                ok = ratio_walk <= IN_PLACE_WALK_MAX
                target += ", %.2f x block walk <= %.2f  %s" % (ratio_walk, IN_PLACE_WALK_MAX, "ok" if ok else "MISSED")
                if not ok:
                    missed.append("%s on %s: %.2f x the block walk" % (c.label, label, ratio_walk))
            if c.failures:
                target += "  (exit status %s)" % sorted(set(c.failures))
                if c.role in ("new", "inplace", "cat"):
                    missed.append("%s on %s exited %s" % (c.label, label, sorted(set(c.failures))))
            log("%-17s %-36s %9.1f %6.1f-%-6.1f %6.2f  %s"
                % (label if i == 0 else "", c.label, med * 1e3, min(c.times) * 1e3,
                   max(c.times) * 1e3, ratio, target))

    # Peak memory, one extra run each; the same runs give the outputs to check.
    log()
    log("peak memory (max RSS, /usr/bin/time -v)")
    copy = tmp / "rss.copy.avi"
    rss = {}
    checks = []
    for size, original, src in (("140 MiB", big, noidx), ("14 MiB", small, small_noidx),
                                ("1.1 GiB", long_avi, long_noix)):
        fixed = fixed_name(src)
        rss[("new", size)], rc = peak_rss_mib([binary, str(src)])
        same = rc == 0 and fixed.exists() and filecmp.cmp(fixed, original, shallow=False)
        checks.append(("new-file output of %s == %s" % (src.name, original.name), same))
        fixed.unlink(missing_ok=True)
        rss[("inplace", size)], rc = peak_rss_mib([binary, "--in-place", str(copy)],
                                                 prepare=copy_to(src, copy))
        same = rc == 0 and filecmp.cmp(copy, original, shallow=False)
        checks.append(("in-place result of %s == %s" % (src.name, original.name), same))
        copy.unlink(missing_ok=True)
    head = "%-36s %9s %9s %9s  %s" % ("command", "14 MiB", "140 MiB", "1.1 GiB", "target")
    log(head)
    log("-" * len(head))
    for role, label in (("new", "reelwright-fix src"), ("inplace", "reelwright-fix --in-place copy")):
        s, b, g = rss[(role, "14 MiB")], rss[(role, "140 MiB")], rss[(role, "1.1 GiB")]
        ok = max(s, b, g) <= RSS_MAX_MIB and max(b, g) - s <= RSS_SPREAD_MIB
        if not ok:
            missed.append("%s peak memory %.1f / %.1f / %.1f MiB" % (label, s, b, g))
        log("%-36s %5.1f MiB %5.1f MiB %5.1f MiB  <= %.0f MiB, big <= small + %.0f MiB  %s"
            % (label, s, b, g, RSS_MAX_MIB, RSS_SPREAD_MIB, "ok" if ok else "MISSED"))

    log()
    log("correctness (byte for byte against the file ffmpeg wrote)")
    for text, ok in checks:
        log("  %-4s %s" % ("OK" if ok else "FAIL", text))
        if not ok:
            missed.append("FAIL: " + text)

    shutil.rmtree(tmp, ignore_errors=True)
    log()
    if missed:
        log("targets missed:")
        for m in missed:
            log("  " + m)
        return 1
    log("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
