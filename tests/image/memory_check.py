#!/usr/bin/env python3
"""Memory use of the board image against the chip (128 KiB flash, 16 KiB RAM),
the stack and heap reservations, and the absence of C++ runtime and allocation
code.

  memory_check.py tl500.elf                 check; exit status 1 on a violation
  memory_check.py --report-only tl500.elf   print the use only (after each link)
"""

import argparse
import re
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, str(Path(__file__).resolve().parent))
import elf32  # noqa: E402

FLASH_START, FLASH_SIZE = 0x08000000, 128 * 1024
RAM_START, RAM_SIZE = 0x20000000, 16 * 1024
STACK_SIZE, HEAP_SIZE = 1024, 512
RECEIVE_QUEUE_BYTES = 12000

# Code that must never be linked: exception handling and unwinding, RTTI, the
# C++ allocation operators and library support, and the C allocator (printf of
# picolibc formats without a heap; nothing else may allocate).
FORBIDDEN = [
    (re.compile(r"^__cxa_"), "C++ runtime support (exceptions, guards, atexit)"),
    (re.compile(r"^__gxx_personality"), "C++ exception personality"),
    (re.compile(r"^_Unwind_|^__aeabi_unwind_cpp_pr|^__gnu_unwind"), "stack unwinding"),
    (re.compile(r"^_ZTI|^_ZTS|^__dynamic_cast$|^_ZTVN10__cxxabiv"), "RTTI"),
    (re.compile(r"^_Zn[wa]|^_Zd[la]"), "operator new/delete"),
    (re.compile(r"^_ZSt|^_ZNSt|^_ZNKSt|^_ZN9__gnu_cxx"), "C++ standard library code"),
    (re.compile(r"^(malloc|calloc|realloc|free|memalign|aligned_alloc|posix_memalign|"
                r"reallocarray|pvalloc|valloc|__malloc_sbrk_aligned)$"), "dynamic allocation"),
]


def in_flash(addr):
    return FLASH_START <= addr < FLASH_START + FLASH_SIZE


def in_ram(addr):
    return RAM_START <= addr < RAM_START + RAM_SIZE


def usage(elf):
    # Flash: everything loaded from flash (code, constants, vectors, and the
    # initial values of .data), from the load segments.
    flash = sum(seg.filesz for seg in elf.segments
                if seg.type == elf32.PT_LOAD and seg.filesz and in_flash(seg.paddr))
    # RAM: every allocated section there. .tbss overlaps the room made for it.
    ram_sections = {s.name: s for s in elf.sections
                    if s.allocated and in_ram(s.addr) and not (s.flags & elf32.SHF_TLS and not s.has_bytes)}
    ram = sum(s.size for s in ram_sections.values())
    return flash, ram, ram_sections


def report(elf):
    flash, ram, sections = usage(elf)
    parts = ", ".join(f"{name.lstrip('.')} {s.size}" for name, s in sections.items() if s.size)
    print(f"tl500.elf: flash {flash} of {FLASH_SIZE} bytes ({100.0 * flash / FLASH_SIZE:.1f} %), "
          f"RAM {ram} of {RAM_SIZE} bytes ({100.0 * ram / RAM_SIZE:.1f} %)")
    print(f"           RAM: {parts}; free {RAM_SIZE - ram}")
    return flash, ram


def check(elf):
    problems = []
    flash, ram = report(elf)
    if flash > FLASH_SIZE:
        problems.append(f"flash use {flash} exceeds {FLASH_SIZE}")
    if ram > RAM_SIZE:
        problems.append(f"RAM use {ram} exceeds {RAM_SIZE}")
    for s in elf.sections:
        if not s.allocated or s.size == 0:
            continue
        lo, hi = s.addr, s.addr + s.size
        ok = (FLASH_START <= lo and hi <= FLASH_START + FLASH_SIZE) or \
             (RAM_START <= lo and hi <= RAM_START + RAM_SIZE)
        if not ok:
            problems.append(f"section {s.name} at 0x{lo:08x}..0x{hi:08x} lies outside flash and RAM")

    stack, heap = elf.section(".stack"), elf.section(".heap")
    if stack is None or stack.size != STACK_SIZE:
        problems.append(f"stack reservation missing or not {STACK_SIZE} bytes")
    elif stack.addr + stack.size != RAM_START + RAM_SIZE:
        problems.append("the stack does not end at the top of RAM")
    if heap is None or heap.size != HEAP_SIZE:
        problems.append(f"heap reservation missing or not {HEAP_SIZE} bytes")
    hs, he = elf.symbol("__heap_start"), elf.symbol("__heap_end")
    if hs is None or he is None or he.value - hs.value != HEAP_SIZE:
        problems.append("__heap_start/__heap_end do not bound a 512-byte heap")
    elif stack is not None and he.value > stack.addr:
        problems.append("the heap runs into the stack")

    queues = [s for s in elf.symbols if s.defined and s.type == elf32.STT_OBJECT
              and re.match(r"^uart_queue_\w+_buffer$", s.name)]
    queue_bytes = sum(s.size for s in queues)
    if queue_bytes != RECEIVE_QUEUE_BYTES or not all(in_ram(s.value) for s in queues):
        problems.append(f"receive queues hold {queue_bytes} bytes in RAM, expected {RECEIVE_QUEUE_BYTES}")

    for sym in elf.symbols:
        if not sym.name or sym.type in (elf32.STT_FILE, elf32.STT_SECTION):
            continue
        for pattern, what in FORBIDDEN:
            if pattern.search(sym.name):
                problems.append(f"{what}: symbol {sym.name} is in the image")
    for name in (".ARM.extab", ".eh_frame", ".gcc_except_table"):
        if elf.section(name) is not None:
            problems.append(f"exception tables ({name}) are in the image")

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print(f"ok: fits the chip; stack {STACK_SIZE} and heap {HEAP_SIZE} bytes reserved; "
              f"receive queues {queue_bytes} bytes in RAM; no exception, RTTI or allocation code")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--report-only", action="store_true")
    parser.add_argument("elf")
    args = parser.parse_args()
    elf = elf32.Elf32(args.elf)
    if args.report_only:
        report(elf)
        return 0
    return check(elf)


if __name__ == "__main__":
    sys.exit(main())
