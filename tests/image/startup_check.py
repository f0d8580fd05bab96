#!/usr/bin/env python3
"""Checks the order of the reset handler and the program's end in the image.

  startup_check.py --objdump arm-none-eabi-objdump tl500.elf

- Reset_Handler calls SystemInit before it touches RAM, and main only after
  .data and .bss are set up; what main returns goes to _exit.
- _exit issues the semihosting exit request with main's status (bkpt 0xAB with
  r0 = SYS_EXIT_EXTENDED 0x20 and r1 pointing at the block
  {ADP_Stopped_ApplicationExit 0x20026, status}, stored on the stack from the
  status argument r0) in a loop that never ends.
"""

import argparse
import re
import subprocess
import sys


def functions(objdump, elf):
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", elf], check=True,
                          capture_output=True, text=True).stdout
    result, current = {}, None
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]{8}) <([^>]+)>:$", line)
        if m:
            current = result.setdefault(m.group(2), [])
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m and current is not None:
            current.append((int(m.group(1), 16), m.group(2), m.group(3)))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="arm-none-eabi-objdump")
    parser.add_argument("elf")
    args = parser.parse_args()
    code = functions(args.objdump, args.elf)
    problems = []

    reset = code.get("Reset_Handler", [])
    calls = [re.search(r"<([^>+]+)>", a).group(1) for _, op, a in reset
             if op in ("bl", "b.w", "b") and re.search(r"<([^>+]+)>", a)
             and re.search(r"<([^>+]+)>", a).group(1) != "Reset_Handler"]
    stores_before_init = False
    for _, op, a in reset:
        if op in ("bl",) and "<SystemInit>" in a:
            break
        if op.startswith("str") or op.startswith("stm"):
            stores_before_init = True
    if not calls or calls[0] != "SystemInit":
        problems.append(f"Reset_Handler's first call is not SystemInit (calls: {calls})")
    if stores_before_init:
        problems.append("Reset_Handler writes memory before SystemInit")
    if "main" not in calls or "_exit" not in calls or calls.index("main") > calls.index("_exit"):
        problems.append(f"Reset_Handler does not call main and then _exit (calls: {calls})")
    else:
        # The copy of .data and the clearing of .bss lie between SystemInit and
        # main: stores of their own or calls of the memory routines.
        between, seen_init = [], False
        for _, op, a in reset:
            if op == "bl" and "<SystemInit>" in a:
                seen_init = True
            elif op == "bl" and "<main>" in a:
                break
            elif seen_init:
                between.append((op, a))
        if not any(op.startswith("str") or re.search(r"<(__aeabi_)?mem(cpy|set|clr)", a) for op, a in between):
            problems.append("Reset_Handler initialises no RAM between SystemInit and main")

    exit_code = code.get("_exit", [])
    bkpts = [addr for addr, op, a in exit_code if op == "bkpt" and a.lower() in ("0x00ab", "0xab", "0x000000ab")]
    sets_r0 = any(re.match(r"^movs?(\.w)?$", op) and re.match(r"^r0, #(32|0x20)\b", a) for _, op, a in exit_code)
    literal = any("0x00020026" in a or "#131110" in a for _, op, a in exit_code)
    # The block lies on the stack: r1 is set from sp, and the status (r0 on
    # entry) is stored there before r0 is overwritten with the operation.
    r1_on_stack = any(re.match(r"^(mov|add)(s|\.w)?$", op) and re.match(r"^r1, sp\b", a) for _, op, a in exit_code)
    status_stored = False
    for _, op, a in exit_code:
        if re.match(r"^(str|strd|stm)", op) and re.search(r"\br0\b", a.split("[")[0]) and "sp" in a:
            status_stored = True
        if re.match(r"^movs?(\.w)?$", op) and a.startswith("r0,"):
            break
    loops_back = bkpts and any(
        op in ("b", "b.n", "b.w") and int(a.split()[0], 16) <= bkpts[0] and addr > bkpts[0]
        for addr, op, a in exit_code if re.match(r"^[0-9a-f]+ ", a + " "))
    if not bkpts:
        problems.append("_exit has no bkpt 0xAB")
    if not sets_r0 or not literal:
        problems.append("_exit does not pass SYS_EXIT_EXTENDED (0x20) and ADP_Stopped_ApplicationExit (0x20026)")
    if not r1_on_stack or not status_stored:
        problems.append("_exit does not pass main's status in a parameter block on the stack (r1 = sp)")
    if not loops_back:
        problems.append("_exit does not repeat the exit request forever")

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("ok: Reset_Handler calls " + " -> ".join(calls) +
              "; _exit repeats bkpt 0xAB with SYS_EXIT_EXTENDED and main's status forever")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
