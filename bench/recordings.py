#!/usr/bin/env python3
"""Recordings as users bring them, repaired by reelwright-fix and remuxed by
ffmpeg, as a player sees the results:

- an ffmpeg recording (MPEG-4 + MP3) and a GStreamer one (MJPEG + PCM, as a
  camera writes) killed with SIGKILL after 12 s: ffprobe's duration against
  the frames recorded, and where mpv --start=50% lands;
- the 600 s benchmark file with 20 stretches of 1 MiB of random bytes: video
  frames that decode after the repair and after an ffmpeg remux, and how
  many of them are identical to a frame of the undamaged file.

    python3 bench/recordings.py --bin build/bin/reelwright-fix [--work DIR]
"""
import argparse
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402  (the benchmark file's recipe)

KILL_AFTER = 12
STRETCHES = 20
STRETCH = 1 << 20
SEED = 20261209

RECORDERS = {
    "ffmpeg": ["ffmpeg", "-nostdin", "-v", "error", "-y", "-re",
               "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
               "-c:v", "mpeg4", "-c:a", "libmp3lame", "{out}"],
    "gstreamer": ["gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "!",
                  "video/x-raw,width=320,height=240,framerate=25/1", "!", "jpegenc", "!", "queue", "!",
                  "avimux", "name=m", "!", "filesink", "location={out}",
                  "audiotestsrc", "is-live=true", "!", "audio/x-raw,rate=44100,channels=2,format=S16LE", "!",
                  "queue", "!", "m."],
}


def run(argv):
    return subprocess.run(argv, capture_output=True, text=True)


def duration(path):
    out = run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", str(path)]).stdout
    try:
        return float(out.strip())
    except ValueError:
        return None


def video_packets(path):
    out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
               "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", str(path)]).stdout
    return int(out.strip() or 0)


def decoded_video(path):
    """The checksum of every video frame that decodes, in order."""
    out = run(["ffmpeg", "-nostdin", "-v", "quiet", "-i", str(path), "-map", "0:v", "-f", "framemd5", "-"]).stdout
    return [line.rsplit(",", 1)[-1].strip() for line in out.splitlines() if line and not line.startswith("#")]


def mpv_lands(path):
    out = run(["mpv", "--no-config", "--vo=null", "--ao=null", "--msg-level=all=v",
               "--start=50%", "--frames=1", str(path)]).stdout
    found = re.findall(r"playback restart complete @ (-?[0-9.]+)", out)
    return float(found[-1]) if found and abs(float(found[-1])) < 1e9 else None


def fmt(v, unit=" s"):
    return "n/a" if v is None else "%.2f%s" % (v, unit)


def remux(src, dst):
    run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(src), "-c", "copy", "-map", "0", str(dst)])
    return dst


def killed_recordings(fix, work):
    print("Recordings killed with SIGKILL after %d s" % KILL_AFTER)
    print("  %-10s %-26s %10s %10s %14s %12s" % ("recorder", "file", "frames", "duration", "mpv 50% lands", "middle"))
    for name, argv in RECORDERS.items():
        src = work / ("killed.%s.avi" % name)
        src.unlink(missing_ok=True)
        p = subprocess.Popen([a.format(out=src) for a in argv], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(KILL_AFTER)
        p.send_signal(signal.SIGKILL)
        p.wait()
        recorded = video_packets(src)  # read in order: every whole frame written
        subprocess.run([fix, str(src)], stdout=subprocess.DEVNULL, check=False)
        fixed = work / ("Fixed." + src.name)
        remuxed = remux(src, work / ("remux." + src.name))
        for label, path in (("as recorded", src), ("reelwright-fix", fixed), ("ffmpeg -c copy", remuxed)):
            d = duration(path)
            print("  %-10s %-26s %10d %10s %14s %12s" % (
                name, label, video_packets(path), fmt(d), fmt(mpv_lands(path)),
                fmt(d / 2 if d else None)))
        print("  %-10s frames recorded %d = %.2f s at 25 fps" % (name, recorded, recorded / 25.0))


def random_stretches(fix, work):
    big = work / "big.noidx.avi"
    if not big.exists():
        print("  encoding the 600 s file ...")
        subprocess.run(bench.encode_argv(bench.BIG_SECONDS, work / "big.avi"), check=True)
        bench.cut_index(work / "big.avi", big)
    data = bytearray(big.read_bytes())
    movi = data.find(b"movi") + 4
    rng = random.Random(SEED)
    span = len(data) - movi
    for k in range(STRETCHES):
        at = movi + span * (k + 1) // (STRETCHES + 1)
        data[at:at + STRETCH] = rng.randbytes(STRETCH)
    src = work / "stretches.avi"
    src.write_bytes(bytes(data))
    print("\n%d stretches of 1 MiB of random bytes (seed %d) in the %.0f MiB file, evenly spread"
          % (STRETCHES, SEED, len(data) / 2 ** 20))
    log = subprocess.run([fix, str(src)], capture_output=True, text=True).stdout
    places = re.search(r"Damaged places found: (\d+)", log)
    fixed = work / ("Fixed." + src.name)
    remuxed = remux(src, work / ("remux." + src.name))
    original = set(decoded_video(work / "big.avi")) if (work / "big.avi").exists() else set()
    print("  %-22s %16s %24s" % ("", "frames decoded", "identical to the original"))
    for label, path in (("reelwright-fix", fixed), ("ffmpeg -c copy", remuxed)):
        frames = decoded_video(path)
        print("  %-22s %16d %24d" % (label, len(frames), sum(1 for f in frames if f in original)))
    print("  damaged places reported: %s" % (places.group(1) if places else "?"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", default="/tmp/reelwright-bench")
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    fix = str(Path(args.bin).resolve())
    killed_recordings(fix, work)
    random_stretches(fix, work)


if __name__ == "__main__":
    main()
