#!/usr/bin/env python3
"""A recording read through the kernel from a medium that fails: a FUSE file
system whose reads of one 64 KiB stretch fail with EIO, as a bad block of a
card does. The repair into a new file steps over the stretch, names it, and
keeps every frame outside it; the copy checks clean.

Skipped (exit 77) where FUSE cannot be mounted: no /dev/fuse, no fusermount,
or no Python fuse binding (Debian's python3-fuse).

    unreadable_medium_test.py --bin build/bin/reelwright-fix
"""

import argparse
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import damage_costs as dc  # noqa: E402  (the recordings and the EIO file system)

SKIP = 77
BAD = 64 * 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    fix = parser.parse_args().bin
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        original = dc.make_recording(work, "xvid")
        size = original.stat().st_size
        start = (size // 2) & ~4095
        medium = dc.Unreadable(work, original, start, start + BAD)
        if medium.why:
            print("skipped:", medium.why)
            return SKIP
        try:
            r = dc.run([fix, str(medium.link)])
            print(r.stdout, r.stderr, sep="")
            fixed = work / ("Fixed." + medium.link.name)
            failures = []
            if r.returncode != 0 or not fixed.exists():
                failures.append("no repaired file (exit %d)" % r.returncode)
            # The line names the stretch that could not be read, within the bad range.
            named = re.search(r"stepped over \(offset / length\): (\d+) / (\d+)", r.stdout)
            if not named:
                failures.append("no line names the unreadable stretch")
            elif not (start <= int(named.group(1)) and int(named.group(1)) + int(named.group(2)) == start + BAD):
                failures.append("the named stretch %s / %s is not the end of %d-%d" % (
                    named.group(1), named.group(2), start, start + BAD))
            if fixed.exists():
                check = dc.run([fix, "--check", str(fixed)])
                if check.returncode != 0:
                    failures.append("the repaired file fails its check:\n" + check.stdout)
                # Every frame outside the stretch, but the one whose next
                # header lies in it (the walk takes a chunk only when it can
                # read what follows).
                chunks = dc.Avi(original.read_bytes()).chunks()
                outside = sum(1 for pos, ckid, n in chunks
                              if dc.is_video(ckid) and (pos + 8 + n + 8 <= start or pos >= start + BAD))
                kept = sum(1 for pos, ckid, n in dc.Avi(fixed.read_bytes()).chunks() if dc.is_video(ckid))
                if kept < outside - 1:
                    failures.append("kept %d video frames of the %d outside the stretch" % (kept, outside))
            if medium.link.resolve().stat().st_size != size:
                failures.append("the source changed")
        finally:
            medium.close()
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
