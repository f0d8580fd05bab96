#!/usr/bin/env python3
"""Checks the vector table of the board image against the ELF's own symbols.

  vector_table_check.py tl500.elf

Word 0 must be the top of RAM, word 1 the reset handler (Thumb bit set), each
slot of an exception or interrupt the firmware handles must hold the firmware's
handler, the reserved slots must be zero, and every other slot must hold the
default handler, which - like the hard-fault handler - loops forever.
"""

import struct
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, str(Path(__file__).resolve().parent))
import elf32  # noqa: E402

TABLE_ADDRESS = 0x08000000
TOP_OF_RAM = 0x20004000
CORE_SLOTS = 16
IRQ_COUNT = 45  # STM32L1 medium density
RESERVED = (7, 8, 9, 10, 13)

# Slots the firmware must fill with its own handler.
FIRMWARE = {
    2: "NMI_Handler",
    3: "HardFault_Handler",
    4: "MemManage_Handler",
    5: "BusFault_Handler",
    6: "UsageFault_Handler",
    11: "SVC_Handler",
    12: "DebugMon_Handler",
    14: "PendSV_Handler",
    15: "SysTick_Handler",
    CORE_SLOTS + 28: "TIM2_IRQHandler",
    CORE_SLOTS + 31: "I2C1_EV_IRQHandler",
    CORE_SLOTS + 32: "I2C1_ER_IRQHandler",
    CORE_SLOTS + 33: "I2C2_EV_IRQHandler",
    CORE_SLOTS + 34: "I2C2_ER_IRQHandler",
    CORE_SLOTS + 37: "USART1_IRQHandler",
    CORE_SLOTS + 39: "USART3_IRQHandler",
}
# Slots the firmware fills once it has these handlers; until then the default.
FIRMWARE_WHEN_DEFINED = {}

THUMB_BRANCH_TO_SELF = 0xE7FE  # b.n .


def strong_function(elf, name):
    """The firmware's own (non-weak) definition of a function, or None."""
    for s in elf.symbols:
        if s.name == name and s.defined and s.type == elf32.STT_FUNC and s.bind == elf32.STB_GLOBAL:
            return s
    return None


def loops_forever(elf, address):
    halfword = struct.unpack("<H", elf.read(address & ~1, 2))[0]
    return halfword == THUMB_BRANCH_TO_SELF


def main():
    elf = elf32.Elf32(sys.argv[1])
    problems = []

    def expect(slot, word, what):
        if word != table[slot]:
            problems.append(f"slot {slot}: 0x{table[slot]:08x}, expected {what} (0x{word:08x})")

    section = elf.section(".isr_vector")
    size = 4 * (CORE_SLOTS + IRQ_COUNT)
    if section is None or section.addr != TABLE_ADDRESS or section.size != size:
        print(f"FAIL: .isr_vector must be {size} bytes at 0x{TABLE_ADDRESS:08x}")
        return 1
    table = elf.words(TABLE_ADDRESS, CORE_SLOTS + IRQ_COUNT)

    reset = strong_function(elf, "Reset_Handler")
    default = strong_function(elf, "Default_Handler")
    if reset is None or default is None:
        print("FAIL: Reset_Handler or Default_Handler is not defined")
        return 1
    if not reset.value & 1 or not default.value & 1:
        problems.append("Reset_Handler and Default_Handler must be Thumb code")

    expect(0, TOP_OF_RAM, "the top of RAM")
    expect(1, reset.value | 1, "Reset_Handler")
    for slot in RESERVED:
        expect(slot, 0, "zero (reserved)")

    handled = {}
    for slot, name in FIRMWARE.items():
        sym = strong_function(elf, name)
        if sym is None:
            problems.append(f"slot {slot}: the firmware does not define {name}")
            continue
        handled[slot] = name
        expect(slot, sym.value | 1, name)
    for slot, name in FIRMWARE_WHEN_DEFINED.items():
        sym = strong_function(elf, name)
        if sym is not None:
            handled[slot] = name
            expect(slot, sym.value | 1, name)
        else:
            print(f"note: {name} not defined by the firmware; slot {slot} must hold Default_Handler")

    for slot in range(2, CORE_SLOTS + IRQ_COUNT):
        if slot not in handled and slot not in RESERVED:
            expect(slot, default.value | 1, "Default_Handler")
        if slot not in RESERVED and not table[slot] & 1:
            problems.append(f"slot {slot}: handler address without the Thumb bit")

    if not loops_forever(elf, default.value):
        problems.append("Default_Handler does not loop forever")
    hard_fault = strong_function(elf, "HardFault_Handler")
    if hard_fault is not None and not loops_forever(elf, hard_fault.value):
        problems.append("HardFault_Handler does not loop forever")

    for p in problems:
        print("FAIL:", p)
    if not problems:
        names = ", ".join(f"{handled[s]} ({s})" for s in sorted(handled))
        print(f"ok: SP 0x{TOP_OF_RAM:08x}, Reset_Handler 0x{table[1]:08x}; {names}; "
              f"{CORE_SLOTS + IRQ_COUNT - 2 - len(handled) - len(RESERVED)} slots to Default_Handler")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
