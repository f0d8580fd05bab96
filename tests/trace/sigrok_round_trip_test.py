#!/usr/bin/env python3
"""A trace of a scripted run, decoded by standard logic-analyzer software.

    sigrok_round_trip_test.py TL500_SIM BUS SCRIPT WORKDIR

Runs SCRIPT with --vcd (the default time unit), then has sigrok-cli decode
BUS from the trace as a user would open it, with no import options, and
compares the bytes with what the run logged for that bus:

  console   USART1 TX decoded at 115200 bit/s equals --console-log, and RX
            the keys the script sent
  zigbee    USART3 TX decoded at 115200 bit/s equals --zigbee-log, and RX
            the bytes the peer sent
  i2c       I2C1 SCL and SDA decoded as I2C (START, address, data, acknowledge,
            STOP) equal the transactions of --i2c-log, a refused address too

Exit status 77 (a skip) only when sigrok-cli is not installed.
"""

import os
import shutil
import subprocess
import sys

BUSES = {
    # bus: (signals to trace, [(decoder and its options, annotation, log option or the bytes expected)])
    "console": ("console", [("uart:tx=PA9_CONSOLE_TX:baudrate=115200:format=hex", "uart=tx-data", "--console-log"),
                            ("uart:rx=PA10_CONSOLE_RX:baudrate=115200:format=hex", "uart=rx-data", b"01")]),
    "zigbee": ("zigbee", [("uart:tx=PC10_ZIGBEE_TX:baudrate=115200:format=hex", "uart=tx-data", "--zigbee-log"),
                          ("uart:rx=PC11_ZIGBEE_RX:baudrate=115200:format=hex", "uart=rx-data", b"S1BS")]),
    "i2c": ("i2c", [("i2c:scl=PB6_I2C1_SCL:sda=PB7_I2C1_SDA", "i2c", "--i2c-log")]),
}

# A module that announces itself after each reset puts its notice on the
# board's RX line before the peer's bytes.
MODULE_NOTICE = b"READY\r\n"


def sigrok(vcd, decoder, annotation):
    """sigrok-cli's annotations of `decoder` on the trace, opened without
    import options."""
    out = subprocess.run(["sigrok-cli", "-i", vcd, "-P", decoder, "-A", annotation],
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise SystemExit("sigrok-cli failed (%d): %s" % (out.returncode, out.stderr))
    return out.stdout


def decode_i2c(vcd, decoder, annotation):
    """The bus conditions and bytes sigrok sees, as tokens: S, Sr, AW40, AR40,
    W FE, R 66, A (acknowledge), N (no acknowledge), P."""
    tokens = []
    for line in sigrok(vcd, decoder, annotation).splitlines():
        _, _, what = line.partition(": ")
        what = what.strip()
        if what == "Start":
            tokens.append("S")
        elif what == "Start repeat":
            tokens.append("Sr")
        elif what == "Stop":
            tokens.append("P")
        elif what == "ACK":
            tokens.append("A")
        elif what == "NACK":
            tokens.append("N")
        elif what.startswith("Address write: "):
            tokens.append("AW" + what.split(": ")[1].upper())
        elif what.startswith("Address read: "):
            tokens.append("AR" + what.split(": ")[1].upper())
        elif what.startswith("Data write: "):
            tokens.append("W " + what.split(": ")[1].upper())
        elif what.startswith("Data read: "):
            tokens.append("R " + what.split(": ")[1].upper())
        # bit values and the "Write"/"Read" direction marks carry nothing more
    return tokens


def i2c_log_tokens(text, bus="I2C1"):
    """The same tokens from the I2C log's lines, e.g.
    "1.2 I2C1 0x40 read addr:ACK 66:ACK 70:NACK end:STOP"."""
    tokens = []
    repeated = False
    for line in text.decode().splitlines():
        words = line.split()
        if len(words) < 5 or words[1] != bus:
            continue
        address = "%02X" % int(words[2], 16)
        read = words[3] == "read"
        tokens.append("Sr" if repeated else "S")
        tokens.append(("AR" if read else "AW") + address)
        tokens.append("A" if words[4] == "addr:ACK" else "N")
        end = "STOP"
        for word in words[5:]:
            if word.startswith("end:"):
                end = word[4:]
                continue
            if ":" not in word:
                continue
            value, _, ack = word.partition(":")
            tokens.append(("R " if read else "W ") + value.upper())
            tokens.append("A" if ack == "ACK" else "N")
        repeated = end == "repeated-START"
        if end == "STOP":
            tokens.append("P")
    return tokens


def decode_uart(vcd, decoder, annotation):
    data = bytearray()
    for line in sigrok(vcd, decoder, annotation).splitlines():
        # "uart-1: 4F"
        _, _, value = line.partition(": ")
        data.append(int(value.strip(), 16))
    return bytes(data)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def matches(decoder, decoded, logged, unit, place, context):
    """Says how what `decoder` decoded compares with the log (a sequence of
    `unit`); True when they are equal and not empty. A difference is shown
    with `context` items either side of the first one."""
    if not logged:
        print("%s: the log is empty; the script exercises nothing" % decoder)
        return False
    if decoded != logged:
        at = first_difference(decoded, logged)
        print("%s: decoded %d %s, logged %d; first difference at %s%d:\n  decoded %r\n  logged  %r"
              % (decoder, len(decoded), unit, len(logged), place, at, decoded[max(0, at - context):at + context],
                 logged[max(0, at - context):at + context]))
        return False
    print("%s: %d %s decoded, equal to the log" % (decoder, len(decoded), unit))
    return True


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
    with open(vcd, "rb") as f:
        header = f.read(4096)
    if b"$timescale 100ns $end" not in header:
        print("the trace's time unit is not the default 100 ns:\n%s" % header[:300].decode(errors="replace"))
        return 1
    status = 0
    for (decoder, annotation, _), log in zip(checks, logs):
        if isinstance(log, bytes):
            expected = log
        else:
            with open(log, "rb") as f:
                expected = f.read()
        if decoder.startswith("i2c:"):
            decoded = decode_i2c(vcd, decoder, annotation)
            if not matches(decoder, decoded, i2c_log_tokens(expected), "conditions and bytes", "", 12):
                status = 1
            continue
        decoded = decode_uart(vcd, decoder, annotation)
        while decoder.startswith("uart:rx=PC11") and decoded.startswith(MODULE_NOTICE):
            decoded = decoded[len(MODULE_NOTICE):]
        if not matches(decoder, decoded, expected, "bytes", "byte ", 40):
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
