#!/usr/bin/env python3
"""Two races between the main loop and the I2C error handler, found by sweeping
timing seeds, kept as regression tests with the seeds that showed them.

  - A refused light-sensor write must print its diagnostic whatever handler
    runs between the refusal and the thread's next look at the bus.
  - A refused magnetometer write must end with its STOP and let the next
    transaction follow within milliseconds, not after a STOP requested again on
    an idle bus has run its whole wait and the peripheral was reset.

    race_regression_test.py TL500_SIM IMAGE CASE

CASE is light-host, light-image, stall-host or stall-image; the image cases
are skipped (exit 77) when IMAGE is missing.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIGHT = os.path.join(HERE, "light_sensor_write_nacked_with_keys.tlscript")
LIGHT_TEN = os.path.join(HERE, "light_sensor_write_nacked_ten_times.tlscript")
STALL = os.path.join(HERE, "magnetometer_data_nacked_stall.tlscript")
DIAGNOSTIC = b"[ERROR] SENSOR_AL_BH17_Write_Bytes() 65"

# Seeds under which the old firmware lost the diagnostic (host build) or
# stalled after the refused write (host build and image), with a few that
# never showed anything, so that both outcomes stay covered.
LIGHT_SEEDS = [12, 15, 31, 54, 58, 62, 97, 138, 1, 2]
STALL_HOST_SEEDS = [3, 12, 13, 20, 23, 25, 1, 2]
# On the image the refusal has to meet a key's receive interrupt within a
# couple of microseconds: ten refusals a run, and the runner's sweep of seeds
# 1..100 on the image found 25, 44 and 73 (3 of 100, the first at the 25th;
# each lost the diagnostic of its first try). On the host build the same
# scenario lost it under seeds 9 and 22 of 1..60.
LIGHT_IMAGE_SEEDS = [25, 44, 73, 1, 2]
LIGHT_TEN_TRIES = 10
STALL_IMAGE_SEEDS = [10, 17, 24, 25, 1, 2]
# The refused write's STOP and the next transaction: the magnetometer's poll
# comes every few milliseconds; a stall ran over 160 ms.
MAX_GAP_MS = 20.0


def run(sim, script, seed, extra):
    with tempfile.TemporaryDirectory() as tmp:
        console = os.path.join(tmp, "console")
        i2c = os.path.join(tmp, "i2c")
        proc = subprocess.run([sim, "--script", script, "--timing-seed", str(seed), "--console-log", console,
                               "--i2c-log", i2c] + extra, capture_output=True, timeout=300)
        with open(console, "rb") as f:
            console_text = f.read()
        with open(i2c, "rb") as f:
            i2c_lines = f.read().decode().splitlines()
        return proc, console_text, i2c_lines


def gap_after_refused_write(lines):
    for i, line in enumerate(lines):
        fields = line.split()
        if fields[2] == "0x0C" and fields[3] == "write" and "NACK" in line and "addr:ACK" in line:
            if i + 1 < len(lines):
                return (float(lines[i + 1].split()[0]) - float(fields[0])) * 1000.0
            return None
    return None


def main():
    sim, image, case = sys.argv[1:4]
    failures = []
    if case == "light-host":
        for seed in LIGHT_SEEDS:
            proc, console, _ = run(sim, LIGHT, seed, [])
            if proc.returncode != 0:
                failures.append(f"seed {seed}: exit {proc.returncode}: {proc.stderr.decode(errors='replace')}")
            elif DIAGNOSTIC not in console:
                failures.append(f"seed {seed}: the refused write's diagnostic was never printed")
    elif case == "light-image":
        if not os.path.exists(image):
            print(f"SKIPPED: no board image at {image}")
            return 77
        for seed in LIGHT_IMAGE_SEEDS:
            proc, console, _ = run(sim, LIGHT_TEN, seed, ["--image", image])
            shown = console.count(DIAGNOSTIC)
            if proc.returncode != 0 or shown != LIGHT_TEN_TRIES:
                failures.append(f"seed {seed}: exit {proc.returncode}, the refused write's diagnostic printed {shown} "
                                f"of {LIGHT_TEN_TRIES} times: {proc.stderr.decode(errors='replace')[-600:]}")
    elif case in ("stall-host", "stall-image"):
        extra, seeds = [], STALL_HOST_SEEDS
        if case == "stall-image":
            if not os.path.exists(image):
                print(f"SKIPPED: no board image at {image}")
                return 77
            extra, seeds = ["--image", image], STALL_IMAGE_SEEDS
        for seed in seeds:
            proc, _, lines = run(sim, STALL, seed, extra)
            gap = gap_after_refused_write(lines)
            if proc.returncode != 0:
                failures.append(f"seed {seed}: exit {proc.returncode}: {proc.stderr.decode(errors='replace')}")
            elif gap is None:
                failures.append(f"seed {seed}: no refused magnetometer write followed by another transaction")
            elif gap > MAX_GAP_MS:
                failures.append(f"seed {seed}: the next transaction came {gap:.1f} ms after the refused write")
    else:
        print(f"unknown case {case}")
        return 2
    for failure in failures:
        print(failure)
    print("passed" if not failures else f"{len(failures)} seed(s) failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
