#!/usr/bin/env python3
"""tl500-sim --image driven as a user drives it: with gdb attached, and with
files that are no board image.

    image_session_test.py TL500_SIM IMAGE CASE

CASE is one of:
  gdb-session   gdb-multiarch attaches, stops at a breakpoint on the LED test,
                shows a backtrace and a global, steps one instruction and
                detaches; the run then goes on to the end of its script
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
import struct
import subprocess
import sys
import tempfile

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


def elf_header(machine):
    """A 32-bit little-endian executable ELF header with no segments."""
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    return ident + struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, 0, 0, 0, 0, 52, 32, 0, 40, 0, 0)


def oversized(image):
    """The image with its flash segment grown past the end of flash."""
    data = bytearray(open(image, "rb").read())
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    for i in range(phnum):
        at = phoff + i * phentsize
        ptype, offset, vaddr, paddr, filesz = struct.unpack_from("<IIIII", data, at)
        if ptype == 1 and paddr == 0x08000000:
            grown = 128 * 1024 + 4
            struct.pack_into("<II", data, at + 16, grown, grown)
            data += bytes(max(0, offset + grown - len(data)))
            return bytes(data)
    fail("the image has no segment loaded at the start of flash")


def with_segment(image, change):
    """The image with change(fields) applied to its first load segment at the
    start of flash; fields are [offset, vaddr, paddr, filesz, memsz]."""
    data = bytearray(open(image, "rb").read())
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    for i in range(phnum):
        at = phoff + i * phentsize
        ptype, offset, vaddr, paddr, filesz, memsz = struct.unpack_from("<IIIIII", data, at)
        if ptype == 1 and paddr == 0x08000000:
            struct.pack_into("<IIIII", data, at + 4, *change([offset, vaddr, paddr, filesz, memsz]))
            return bytes(data)
    fail("the image has no segment loaded at the start of flash")


def overlapping(image):
    """The image with its .data segment's flash copy moved onto its code."""
    data = bytearray(open(image, "rb").read())
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    for i in range(phnum):
        at = phoff + i * phentsize
        ptype, offset, vaddr, paddr, filesz = struct.unpack_from("<IIIII", data, at)
        if ptype == 1 and paddr != 0x08000000 and filesz > 0:
            struct.pack_into("<I", data, at + 12, 0x08000100)
            return bytes(data)
    fail("the image has no second segment loaded into flash")


def bad_images(sim, image):
    cases = [
        ("not-an-elf.elf", b"#!/bin/sh\necho this is no image\n", r"not an ELF file"),
        ("x86.elf", elf_header(62) + bytes(64), r"another machine"),
        ("too-big.elf", oversized(image), r"larger than flash"),
        ("nowhere.elf", with_segment(image, lambda f: [f[0], 0xF0000000, 0xF0000000, f[3], f[4]]),
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
    {"gdb-session": gdb_session, "bad-images": bad_images}[case](sim, image)


if __name__ == "__main__":
    main()
