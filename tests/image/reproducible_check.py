#!/usr/bin/env python3
"""Builds the board image again from scratch in a temporary directory with the
same SOURCE_DATE_EPOCH and compares the .bin byte for byte.

When the first build had a SOURCE_DATE_EPOCH, the new image is compared with its
tl500.bin. Without one the first image carries the wall-clock build time, so two
fresh builds with one fixed SOURCE_DATE_EPOCH are compared instead.
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

FIXED_EPOCH = "1577456054"  # any fixed instant will do


def build(source, toolchain, build_type, epoch, directory):
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    configure = ["cmake", "-S", source, "-B", directory, "-G", "Ninja",
                 "--toolchain", toolchain, f"-DCMAKE_BUILD_TYPE={build_type}",
                 f"-DTL500_SOURCE_DATE_EPOCH={epoch}", "--no-warn-unused-cli"]
    for cmd in (configure, ["cmake", "--build", directory, "--target", "tl500"]):
        result = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if result.returncode != 0:
            print(result.stdout[-4000:], result.stderr[-4000:])
            raise SystemExit(f"FAIL: {' '.join(cmd)} failed")
    return (Path(directory) / "tl500.bin").read_bytes()


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--toolchain", required=True)
    parser.add_argument("--build-type", default="MinSizeRel")
    parser.add_argument("--bin", required=True)
    parser.add_argument("--epoch", default="")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tl500-repro-", dir=args.build) as tmp:
        if args.epoch:
            reference = Path(args.bin).read_bytes()
            what = f"{args.bin} and a second build"
            epoch = args.epoch
        else:
            epoch = FIXED_EPOCH
            reference = build(args.source, args.toolchain, args.build_type, epoch, os.path.join(tmp, "a"))
            what = "two builds"
        again = build(args.source, args.toolchain, args.build_type, epoch, os.path.join(tmp, "b"))

    if reference != again:
        at = first_difference(reference, again)
        print(f"FAIL: {what} with SOURCE_DATE_EPOCH={epoch} differ "
              f"({len(reference)} and {len(again)} bytes, first difference at offset 0x{at:x}, "
              f"address 0x{0x08000000 + at:08x})")
        return 1
    print(f"ok: {what} with SOURCE_DATE_EPOCH={epoch} give the same {len(again)}-byte image")
    return 0


if __name__ == "__main__":
    sys.exit(main())
