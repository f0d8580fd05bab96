#!/usr/bin/env python3
"""tl500-sim --image driven as a user drives it: with gdb attached, and with
files that are no board image.

    image_session_test.py TL500_SIM IMAGE CASE

CASE is one of:
  gdb-session   gdb-multiarch attaches, stops at a breakpoint on the LED test,
                shows a backtrace and a global, steps one instruction and
                detaches; the run then goes on to the end of its script
  gdb-held      gdb attaches late and thinks at a breakpoint, each longer
                than the stuck-firmware limit (set short here): time held by
                the debugger is no stuck firmware, and the run ends as usual
  gdb-kill      gdb's kill ends a script before its end: exit 1, "ended by
                the debugger", naming the script line
  gdb-checksum  a packet with a wrong or non-hex checksum is answered '-' and
                not carried out; sent again correctly it is
  bad-images    a file that is not an ELF, an ELF for another machine, an
                image larger than flash, one loaded where the chip has no
                memory, one with overlapping segments, a directory, a FIFO
                and /dev/zero are each refused with exit status 2 and a
                message that says why

Every wait has a deadline and children are killed on the way out.
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def gdb_session(sim, image):
    gdb = shutil.which("gdb-multiarch")
    if gdb is None:
        fail("gdb-multiarch is not installed (Debian package gdb-multiarch)")
    script = os.path.join(os.path.dirname(__file__), "..", "scenarios", "key_1_led_test.tlscript")
    board = subprocess.Popen([sim, "--image", image, "--gdb", "0", "--script", script],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = board.stderr.readline()
        m = re.search(r"gdb server waiting on 127\.0\.0\.1:(\d+)", line)
        if not m:
            fail(f"tl500-sim did not name its gdb port; it said: {line!r}")
        out = subprocess.run(
            [gdb, "-nx", "-batch", image,
             "-ex", f"target remote :{m.group(1)}",
             "-ex", "break LED_Test",
             "-ex", "continue",
             "-ex", "bt",
             "-ex", "print rcc_clocks.SYSCLK_Frequency",
             "-ex", "stepi",
             "-ex", "info registers pc",
             "-ex", "detach"],
            capture_output=True, text=True, timeout=TIMEOUT).stdout
        expected = [
            (r"Breakpoint 1, LED_Test \(\)", "the stop at the breakpoint on LED_Test"),
            (r"#0\s+LED_Test \(\).*\n#1\s+0x[0-9a-f]+ in main \(\)", "a backtrace LED_Test <- main"),
            (r"\$1 = 32000000", "the global rcc_clocks read from the board's RAM"),
            (r"pc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <LED_Test\(\)\+[24]>", "one instruction stepped inside LED_Test"),
            (r"detached", "the detach"),
        ]
        for pattern, what in expected:
            if not re.search(pattern, out):
                fail(f"gdb output lacks {what}:\n{out}")
        rest_out, rest_err = board.communicate(timeout=TIMEOUT)
        if board.returncode != 0:
            fail(f"after the detach the run ended with {board.returncode}, not 0:\n{rest_err}")
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()


# The stuck-firmware watchdog's limit for the runs below, in milliseconds:
# every hold in them lasts several times as long.
SHORT_STUCK_LIMIT = "300"
HOLD = 1.0
# Past the default limit of 5 s too, as a person thinking at a breakpoint.
THINKING = 5.5


def start_gdb_board(sim, image):
    """tl500-sim with the LED test script and a gdb server; the board and its port."""
    script = os.path.join(os.path.dirname(__file__), "..", "scenarios", "key_1_led_test.tlscript")
    env = dict(os.environ, TL500_SIM_STUCK_LIMIT_MS=SHORT_STUCK_LIMIT)
    board = subprocess.Popen([sim, "--image", image, "--gdb", "0", "--script", script],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = board.stderr.readline()
    m = re.search(r"gdb server waiting on 127\.0\.0\.1:(\d+)", line)
    if not m:
        board.kill()
        fail(f"tl500-sim did not name its gdb port; it said: {line!r}")
    return board, int(m.group(1))


def gdb_batch(image, port, commands):
    gdb = shutil.which("gdb-multiarch")
    if gdb is None:
        fail("gdb-multiarch is not installed (Debian package gdb-multiarch)")
    args = [gdb, "-nx", "-batch", image, "-ex", f"target remote :{port}"]
    for c in commands:
        args += ["-ex", c]
    return subprocess.run(args, capture_output=True, text=True, timeout=TIMEOUT).stdout


def gdb_held(sim, image):
    board, port = start_gdb_board(sim, image)
    try:
        time.sleep(HOLD)  # nobody attached yet: the board waits in reset
        if board.poll() is not None:
            fail(f"waiting for gdb ended the run ({board.returncode}): {board.stderr.read()}")
        out = gdb_batch(image, port, ["break LED_Test", "continue", f"shell sleep {THINKING}", "delete",
                                      "continue"])
        if not re.search(r"Breakpoint 1, LED_Test \(\)", out) or "exited normally" not in out:
            fail(f"gdb did not stop at LED_Test and see the run end normally:\n{out}")
        _, err = board.communicate(timeout=TIMEOUT)
        if board.returncode != 0 or "stuck" in err:
            fail(f"a run held by gdb ended with {board.returncode}:\n{err}")
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()


def gdb_kill(sim, image):
    board, port = start_gdb_board(sim, image)
    try:
        gdb_batch(image, port, ["break LED_Test", "continue", "kill"])
        _, err = board.communicate(timeout=TIMEOUT)
        if board.returncode != 1 or "ended by the debugger" not in err or "before the script finished" not in err:
            fail(f"a kill before the script's end: exit {board.returncode}, not 1 naming the debugger:\n{err}")
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()


def packet(data, checksum=None):
    if checksum is None:
        checksum = "%02x" % (sum(data.encode()) & 0xFF)
    return ("$" + data + "#" + checksum).encode()


def gdb_checksum(sim, image):
    board, port = start_gdb_board(sim, image)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as gdb:
            def exchange(data, checksum=None):
                """Sends one packet; what came back within half a second."""
                gdb.sendall(packet(data, checksum))
                got = b""
                deadline = time.monotonic() + 0.5
                while time.monotonic() < deadline:
                    gdb.settimeout(max(deadline - time.monotonic(), 0.01))
                    try:
                        chunk = gdb.recv(256)
                    except socket.timeout:
                        break
                    if not chunk:
                        break
                    got += chunk
                    if got == b"-" or re.fullmatch(rb"\+\$[^#]*#[0-9a-f]{2}", got):
                        break
                return got

            def read_r0():
                got = exchange("p0")
                m = re.fullmatch(rb"\+\$([0-9a-f]{8})#[0-9a-f]{2}", got)
                if not m:
                    fail(f"reading r0 was answered {got!r}")
                return m.group(1)

            before = read_r0()
            new_value = b"78563412" if before != b"78563412" else b"21436587"
            write = "P0=" + new_value.decode()
            right = "%02x" % (sum(write.encode()) & 0xFF)
            wrong = "%02x" % ((int(right, 16) + 1) & 0xFF)
            for checksum in (wrong, "zz", "g0"):
                got = exchange(write, checksum)
                if got != b"-":
                    fail(f"a register write with checksum {checksum!r} was answered {got!r}, not '-'")
                if read_r0() != before:
                    fail(f"a register write with checksum {checksum!r} was carried out")
            # A packet longer than any the server takes is refused whole,
            # its checksum right or not, rather than kept growing.
            got = exchange("q" + "x" * 0x5000)
            if got != b"-":
                fail(f"an overlong packet was answered {got[:40]!r}, not '-'")
            got = exchange(write)
            if got != b"+" + packet("OK"):
                fail(f"the register write sent again correctly was answered {got!r}")
            if read_r0() != new_value:
                fail("the register write sent again correctly was not carried out")
            gdb.sendall(packet("k"))
        _, err = board.communicate(timeout=TIMEOUT)
        if board.returncode != 1 or "ended by the debugger" not in err:
            fail(f"a kill packet ended the scripted run with {board.returncode}:\n{err}")
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()


def elf_header(machine):
    """A 32-bit little-endian executable ELF header with no segments."""
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    return ident + struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, 0, 0, 0, 0, 52, 32, 0, 40, 0, 0)


FLASH = 0x08000000


def with_segment(image, chosen, change, missing, room=False):
    """The image with change(fields) applied to the first load segment whose
    fields satisfy chosen(fields); fields are [offset, vaddr, paddr, filesz,
    memsz]. With `room` the file grows to hold the segment's new size.
    Fails with `missing` when no load segment is chosen."""
    data = bytearray(open(image, "rb").read())
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    for i in range(phnum):
        at = phoff + i * phentsize
        ptype, *fields = struct.unpack_from("<IIIIII", data, at)
        if ptype == 1 and chosen(fields):
            fields = change(list(fields))
            struct.pack_into("<IIIII", data, at + 4, *fields)
            if room:
                data += bytes(max(0, fields[0] + fields[3] - len(data)))
            return bytes(data)
    fail(missing)


def in_flash_segment(image, change, room=False):
    """with_segment for the segment loaded at the start of flash (the code)."""
    return with_segment(image, lambda f: f[2] == FLASH, change, "the image has no segment loaded at the start of flash",
                        room)


def oversized(image):
    """The image with its flash segment grown past the end of flash."""
    grown = 128 * 1024 + 4
    return in_flash_segment(image, lambda f: f[:3] + [grown, grown], room=True)


def overlapping(image):
    """The image with its .data segment's flash copy moved onto its code."""
    return with_segment(image, lambda f: f[2] != FLASH and f[3] > 0, lambda f: f[:2] + [FLASH + 0x100] + f[3:],
                        "the image has no second segment loaded into flash")


def bad_images(sim, image):
    cases = [
        ("not-an-elf.elf", b"#!/bin/sh\necho this is no image\n", r"not an ELF file"),
        ("x86.elf", elf_header(62) + bytes(64), r"another machine"),
        ("too-big.elf", oversized(image), r"larger than flash"),
        ("nowhere.elf", in_flash_segment(image, lambda f: [f[0], 0xF0000000, 0xF0000000, f[3], f[4]]),
         r"at 0xF0000000, where the chip has no memory"),
        ("overlapping.elf", overlapping(image), r"load segments \d and \d overlap at 0x08000100"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for name, data, message in cases:
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(data)
            paths.append((name, path, message))
        # A directory and a FIFO with no writer: refused at once, not read
        # (the FIFO used to hang the run), and /dev/zero not read for ever.
        os.mkfifo(os.path.join(tmp, "image.fifo"))
        paths += [("a directory", tmp, r"is a directory"),
                  ("a FIFO", os.path.join(tmp, "image.fifo"), r"is not a regular file"),
                  ("/dev/zero", "/dev/zero", r"is not a regular file")]
        for name, path, message in paths:
            run = subprocess.run([sim, "--image", path, "--max-time", "1s"], capture_output=True, text=True,
                                 timeout=TIMEOUT, stdin=subprocess.DEVNULL)
            if run.returncode != 2 or not re.search(message, run.stderr):
                fail(f"{name}: exit {run.returncode}, stderr {run.stderr!r}; expected exit 2 saying {message!r}")


def main():
    sim, image, case = sys.argv[1:4]
    if not os.path.exists(image):
        print(f"SKIPPED: no board image at {image}: build the target preset first")
        return
    cases = {"gdb-session": gdb_session, "gdb-held": gdb_held, "gdb-kill": gdb_kill, "gdb-checksum": gdb_checksum,
             "bad-images": bad_images}
    cases[case](sim, image)


if __name__ == "__main__":
    main()
