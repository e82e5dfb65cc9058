"""Long recordings (OpenDML, past 1 GiB) as ffmpeg, mencoder and GStreamer
write them, cut before the standard index chunks of their last part (a
recording that stopped before writing them), repaired by reelwright-fix in
both modes; prints what players see of the original and of each repair.

    python3 bench/long_recordings.py --bin build/bin/reelwright-fix [--work DIR]

Needs ffmpeg, mencoder, mpv, gst-launch-1.0 and gst-discoverer-1.0, and about
12 GB in the work folder (default /tmp/reelwright-long).
"""

import argparse
import filecmp
import re
import shutil
import subprocess
import time
from pathlib import Path

MIB = 1024 * 1024
LAVFI = ["-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, **kw)


def ffmpeg(out, seconds):
    run(["ffmpeg", "-nostdin", "-v", "error", "-y", *LAVFI, "-t", str(seconds), "-c:v", "rawvideo",
         "-pix_fmt", "bgr24", "-c:a", "pcm_s16le", str(out)], check=True)


def mencoder(out, seconds):
    source = out.with_suffix(".source.avi")
    run(["ffmpeg", "-nostdin", "-v", "error", "-y", *LAVFI, "-t", str(seconds), "-c:v", "mpeg4", "-q:v", "5",
         "-c:a", "pcm_s16le", str(source)], check=True)
    run(["mencoder", "-really-quiet", str(source), "-noskip", "-mc", "0", "-ovc", "raw", "-vf", "format=yuy2",
         "-oac", "pcm", "-o", str(out)], check=True)
    source.unlink()


def gstreamer(out, seconds):
    frames = 25 * seconds
    run(["sh", "-c", "gst-launch-1.0 -q videotestsrc num-buffers=%d ! video/x-raw,format=BGR,width=640,height=480,"
         "framerate=25/1 ! avimux name=m ! filesink location='%s' audiotestsrc num-buffers=%d samplesperbuffer=1024 ! "
         "audio/x-raw,format=S16LE,rate=48000,channels=1 ! m." % (frames, out, frames * 48000 // 25 // 1024)],
        check=True)


RECIPES = [
    ("ffmpeg, 50 s", "ffmpeg50.avi", ffmpeg, 50),
    ("mencoder, 75 s", "mencoder75.avi", mencoder, 75),
    ("GStreamer, 50 s", "gst50.avi", gstreamer, 50),
    ("ffmpeg, 100 s", "ffmpeg100.avi", ffmpeg, 100),
]


def cut_before_index_chunks(src, dst):
    size = src.stat().st_size
    with open(src, "rb") as f:
        f.seek(size - 4 * MIB)
        at = size - 4 * MIB + f.read().find(b"ix00")
    shutil.copyfile(src, dst)
    with open(dst, "r+b") as f:
        f.truncate(at)
    return size - at


def seen(path, middle):
    probe = run(["ffprobe", "-v", "error", "-count_packets", "-show_entries", "stream=nb_read_packets",
                 "-show_entries", "format=duration", "-of", "csv=p=0", str(path)]).stdout.split()
    frame = run(["ffmpeg", "-nostdin", "-v", "error", "-ss", str(middle), "-i", str(path), "-map", "0:v",
                 "-frames:v", "1", "-f", "framemd5", "-"]).stdout.strip().rsplit(",", 1)[-1].strip()
    mpv = re.findall(r"playback restart complete @ (-?[0-9.]+)",
                     run(["mpv", "--no-config", "--vo=null", "--ao=null", "--msg-level=all=v", "--start=50%",
                          "--frames=1", str(path)]).stdout)
    gst = re.search(r"Duration: ([0-9:.]+)", run(["gst-discoverer-1.0", str(path)]).stdout)
    return {"packets": "/".join(probe[:-1]) if probe else "?", "duration": probe[-1] if probe else "?",
            "middle": frame[:8], "mpv": mpv[-1] if mpv else "?", "gst": gst.group(1)[:11] if gst else "?"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--work", default="/tmp/reelwright-long")
    args = ap.parse_args()
    binary = str(Path(args.bin).resolve())
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    print("%-16s %-22s %9s %-14s %10s %-9s %8s %-11s %s"
          % ("recording", "file", "MiB", "packets", "duration", "middle", "mpv 50%", "gst", "same bytes"))
    for label, name, make, seconds in RECIPES:
        original = work / name
        if not original.exists():
            make(original, seconds)
        cut = work / ("cut." + name)
        lost = cut_before_index_chunks(original, cut)
        rows = [("as recorded", original)]
        began = time.perf_counter()
        result = run([binary, str(cut)])
        new_took = time.perf_counter() - began
        fixed = work / ("Fixed." + cut.name)
        rows.append(("new file (%.1f s)" % new_took, fixed))
        in_place = work / ("inplace." + name)
        shutil.copyfile(cut, in_place)
        began = time.perf_counter()
        result_in_place = run([binary, "--in-place", str(in_place)])
        rows.append(("in place (%.2f s)" % (time.perf_counter() - began), in_place))
        if result.returncode != 0 or result_in_place.returncode != 0:
            print(result.stdout, result_in_place.stdout)
        for i, (what, path) in enumerate(rows):
            s = seen(path, seconds / 2)
            same = "" if i == 0 else ("yes" if filecmp.cmp(path, original, shallow=False) else "no")
            print("%-16s %-22s %9.1f %-14s %10s %-9s %8s %-11s %s"
                  % (label if i == 0 else "", what, path.stat().st_size / MIB, s["packets"], s["duration"],
                     s["middle"], s["mpv"], s["gst"], same))
        print("%-16s %s" % ("", "cut: the last %d bytes (the last part's standard index chunks)" % lost))
        for path in (cut, fixed, in_place):
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
