#!/usr/bin/env python3
"""A trace of a scripted run, decoded by standard logic-analyzer software.

    sigrok_round_trip_test.py TL500_SIM BUS SCRIPT WORKDIR

Runs SCRIPT with --vcd, then has sigrok-cli (its VCD input and protocol
decoders) decode BUS from the trace and compares the bytes with what the run
logged for that bus:

  console   USART1 TX decoded at 115200 bit/s equals --console-log, and RX
            the keys the script sent
  zigbee    USART3 TX decoded at 115200 bit/s equals --zigbee-log

Exit status 77 (a skip) only when sigrok-cli is not installed.
"""

import os
import shutil
import subprocess
import sys

# The VCD is in picoseconds; decoding at 100 MHz is plenty for 115200 bit/s,
# and idle stretches longer than 1 ms are shortened (a UART receiver
# resynchronises on every start bit).
VCD_INPUT = "vcd:downsample=10000:compress=100000"

BUSES = {
    # bus: (signals to trace, [(decoder spec, annotation, log option or the bytes expected)])
    "console": ("console", [("uart:tx=PA9_CONSOLE_TX:baudrate=115200:format=hex", "uart=tx-data", "--console-log"),
                            ("uart:rx=PA10_CONSOLE_RX:baudrate=115200:format=hex", "uart=rx-data", b"01")]),
    "zigbee": ("zigbee", [("uart:tx=PC10_ZIGBEE_TX:baudrate=115200:format=hex", "uart=tx-data", "--zigbee-log")]),
}


def decode_uart(vcd, decoder, annotation):
    out = subprocess.run(["sigrok-cli", "-I", VCD_INPUT, "-i", vcd, "-P", decoder, "-A", annotation],
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise SystemExit("sigrok-cli failed (%d): %s" % (out.returncode, out.stderr))
    data = bytearray()
    for line in out.stdout.splitlines():
        # "uart-1: 4F"
        _, _, value = line.partition(": ")
        data.append(int(value.strip(), 16))
    return bytes(data)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def main():
    sim, bus, script, workdir = sys.argv[1:5]
    if shutil.which("sigrok-cli") is None:
        print("SKIPPED: sigrok-cli is not installed (tools/install-deps.sh installs it)")
        return 77
    signals, checks = BUSES[bus]
    os.makedirs(workdir, exist_ok=True)
    vcd = os.path.join(workdir, bus + ".vcd")
    command = [sim, "--script", script, "--vcd", vcd, "--vcd-signals", signals]
    logs = []
    for i, (_, _, source) in enumerate(checks):
        if isinstance(source, bytes):
            logs.append(source)
            continue
        log = os.path.join(workdir, "%s.%d.log" % (bus, i))
        command += [source, log]
        logs.append(log)
    run = subprocess.run(command, capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        print("tl500-sim failed (%d): %s" % (run.returncode, run.stderr))
        return 1
    status = 0
    for (decoder, annotation, _), log in zip(checks, logs):
        if isinstance(log, bytes):
            expected = log
        else:
            with open(log, "rb") as f:
                expected = f.read()
        decoded = decode_uart(vcd, decoder, annotation)
        if not expected:
            print("%s: the log is empty; the script exercises nothing" % decoder)
            status = 1
        elif decoded != expected:
            at = first_difference(decoded, expected)
            print("%s: decoded %d bytes, logged %d; first difference at byte %d:\n  decoded %r\n  logged  %r"
                  % (decoder, len(decoded), len(expected), at, decoded[max(0, at - 40):at + 40],
                     expected[max(0, at - 40):at + 40]))
            status = 1
        else:
            print("%s: %d bytes decoded, equal to the log" % (decoder, len(decoded)))
    return status


if __name__ == "__main__":
    sys.exit(main())
