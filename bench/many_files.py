"""Many files at once: reelwright-fix -j 1 against -j 2 (and more, where
the machine has more CPUs) on 64 files of about 100 MiB, and the peak memory
of -j 1 and -j 8.

Makes one recording with ffmpeg (MPEG-4 + MP3, cut at its last "idx1", so
each repair writes a new index), copies it 64 times, and times, warm,
interleaved, median of N runs: a repair of all of them into new files and a
--check of all of them. Peak memory comes from /usr/bin/time -v. The copies
and the repaired files are removed at the end; the recording is kept for
the next run.

    python3 bench/many_files.py --bin build/bin/reelwright-fix [--work DIR] [--files 64] [--runs 3]

Needs ffmpeg, /usr/bin/time and about 2 x 64 x 100 MiB in the work folder
(default /tmp/reelwright-many).
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

MIB = 1024 * 1024
# About 100 MiB: 250 s of MPEG-4 (ffmpeg's test picture stays under the
# 8 Mb/s asked for) with 128 kb/s of audio.
ENCODE = ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=250",
          "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=250",
          "-c:v", "mpeg4", "-b:v", "8000k", "-g", "250", "-c:a", "libmp3lame", "-b:a", "128k"]


def run(argv):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)


def make_recording(work):
    recording = work / "recording.noidx.avi"
    if recording.exists():
        return recording
    full = work / "recording.avi"
    result = run(["ffmpeg", "-nostdin", "-v", "error", "-y", *ENCODE, str(full)])
    if result.returncode != 0:
        sys.exit("ffmpeg failed: " + result.stderr)
    data = full.read_bytes()
    at = data.rfind(b"idx1")
    if at < 0:
        sys.exit("no idx1 in %s" % full)
    recording.write_bytes(data[:at])
    full.unlink()
    return recording


def remove_repaired(files):
    for f in files:
        (f.parent / ("Fixed." + f.name)).unlink(missing_ok=True)


def peak_rss_mib(argv):
    out = subprocess.run(["/usr/bin/time", "-v", *argv], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", out.stderr)
    return (int(match.group(1)) / 1024.0 if match else float("nan")), out.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--work", default="/tmp/reelwright-many")
    ap.add_argument("--files", type=int, default=64)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    binary = str(Path(args.bin).resolve())
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    recording = make_recording(work)
    copies = work / "copies"
    copies.mkdir(exist_ok=True)
    files = []
    for i in range(args.files):
        f = copies / ("clip%02d.avi" % i)
        if not f.exists() or f.stat().st_size != recording.stat().st_size:
            subprocess.run(["cp", str(recording), str(f)], check=True)
        files.append(f)
    names = [str(f) for f in files]
    total = sum(f.stat().st_size for f in files)

    cpus = len(os.sched_getaffinity(0))
    jobs = sorted({1, 2, *(j for j in (4, 8) if j <= cpus), cpus})
    commands = []
    for j in jobs:
        commands.append(("new files, -j %d" % j, [binary, "-j", str(j), *names], True))
    for j in jobs:
        commands.append(("--check, -j %d" % j, [binary, "--check", "-j", str(j), *names], False))

    print("%d files of %.1f MiB (%.1f GiB), %d CPUs, %s" % (len(files), recording.stat().st_size / MIB,
                                                             total / 1024 / MIB, cpus, os.uname().release))
    # Warm the cache, and make sure every command works.
    # A check finds each file without its index: exit status 1.
    for label, argv, writes in commands:
        result = run(argv)
        if result.returncode != (0 if writes else 1) or result.stderr:
            sys.exit("%s failed (%d): %s" % (label, result.returncode, result.stderr))
        if writes:
            remove_repaired(files)
    times = {label: [] for label, _, _ in commands}
    for _ in range(args.runs):
        for label, argv, writes in commands:
            began = time.perf_counter()
            run(argv)
            times[label].append(time.perf_counter() - began)
            if writes:
                remove_repaired(files)

    print("%-22s %10s %15s %10s %12s" % ("command", "median s", "min-max s", "MiB/s", "x -j 1"))
    base = {}
    for label, _, _ in commands:
        median = statistics.median(times[label])
        kind = label.split(",")[0]
        base.setdefault(kind, median)
        print("%-22s %10.2f %7.2f-%-7.2f %10.0f %12.2f" % (label, median, min(times[label]), max(times[label]),
                                                          total / MIB / median, base[kind] / median))

    print()
    print("%-22s %12s" % ("peak memory", "MiB"))
    for j in (1, 8):
        for label, argv, writes in ((f"new files, -j {j}", [binary, "-j", str(j), *names], True),
                                    (f"--check, -j {j}", [binary, "--check", "-j", str(j), *names], False)):
            rss, code = peak_rss_mib(argv)
            if writes:
                remove_repaired(files)
            print("%-22s %12.1f%s" % (label, rss, "" if code == (0 if writes else 1) else "  (exit %d)" % code))

    for f in files:
        f.unlink()
    copies.rmdir()


if __name__ == "__main__":
    main()
