#!/usr/bin/env python3
"""Static worst-case stack estimate of the board image.

  stack_estimate.py --elf tl500.elf --objdir <dir with .ci files> [--output report.md]

Frames: for the firmware and our start-up code, the compiler's own figure
(-fcallgraph-info=su writes one .ci file per object); for library code
(picolibc, libgcc), measured from the image by following each function's stack
pointer adjustments (push, sub sp). Calls: every direct call and tail call in the
image's code, plus the compiler's call edges; indirect calls are resolved where
the image says where they go (the constructor table, the console stream's put
function behind printf) and reported otherwise.

The worst case is the deepest path from the reset handler (which calls main)
with, on top of it, one handler of each pre-emption level in turn, each adding
the 32-byte exception frame of the Cortex-M3 (8 words, no FPU). Handlers of equal
level do not nest. Exit status 1 when it exceeds the 1 KiB stack or the figure
cannot be bounded.
"""

import argparse
import collections
import re
import subprocess
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, str(Path(__file__).resolve().parent))
import elf32  # noqa: E402

STACK_SIZE = 1024
# Eight stacked words, plus the 4 bytes by which the core may align the frame
# to 8 bytes (CCR.STKALIGN is set out of reset on this core).
EXCEPTION_FRAME = 36

# Pre-emption levels under priority grouping 2 (lower wins). Handlers absent
# from the image are skipped.
LEVELS = [
    (3, ["SysTick_Handler"]),
    (2, ["TIM2_IRQHandler"]),
    (1, ["USART1_IRQHandler"]),
    (0, ["USART3_IRQHandler", "I2C1_EV_IRQHandler", "I2C1_ER_IRQHandler",
         "I2C2_EV_IRQHandler", "I2C2_ER_IRQHandler"]),
]
# Fixed negative priorities: they can land on top of everything.
FAULTS = ["HardFault_Handler", "NMI_Handler", "MemManage_Handler", "BusFault_Handler",
          "UsageFault_Handler"]

# picolibc's output functions (printf, and puts/putchar that the compiler
# substitutes for simple printf calls) write through the stream's put function;
# on the board every stream is the console stream of target/syscalls.c.
FORMATTED_OUTPUT = re.compile(r"^(__[dfi]_)?v?f?printf$|^f?puts$|^fwrite$|^putc(har)?$")
CONSOLE_PUT = "console_put"


class Function:
    def __init__(self, address, names):
        self.address = address
        self.names = names
        self.frame = None            # bytes
        self.frame_source = ""
        self.bounded = True
        self.calls = set()           # addresses
        self.indirect = False

    @property
    def name(self):
        return self.names[0]


def function_symbols(elf):
    """address (without the Thumb bit) -> names, plus (file, local name) -> address."""
    by_address = collections.defaultdict(list)
    local = {}
    current_file = None
    for s in elf.symbols:
        if s.type == elf32.STT_FILE:
            current_file = s.name
            continue
        if s.type != elf32.STT_FUNC or not s.defined:
            continue
        addr = s.value & ~1
        rank = {elf32.STB_GLOBAL: 0, elf32.STB_WEAK: 2}.get(s.bind, 1)
        by_address[addr].append((rank, s.name))
        if s.bind == elf32.STB_LOCAL and current_file:
            local[(Path(current_file).name, s.name)] = addr
    names = {a: [n for _, n in sorted(v)] for a, v in by_address.items()}
    return names, local


# ------------------------------------------------------------------ disassembly

LABEL = re.compile(r"^([0-9a-f]{8}) <([^>]+)>:$")
BRANCH_TARGET = re.compile(r"^([0-9a-f]+) <([^>+]+)(\+0x[0-9a-f]+)?>")


def reg_count(reglist):
    count = 0
    for part in reglist.strip("{} ").split(","):
        part = part.strip()
        if "-" in part:
            lo, hi = (int(r.strip()[1:]) for r in part.split("-"))
            count += hi - lo + 1
        elif part:
            count += 1
    return count


def scan_code(objdump, elf_path, functions):
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", elf_path], check=True,
                          capture_output=True, text=True).stdout
    current = None
    depth = 0
    for line in text.splitlines():
        m = LABEL.match(line)
        if m:
            current = functions.get(int(m.group(1), 16))
            depth = 0
            if current is not None:
                current.measured = 0
            continue
        if current is None:
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if not m:
            continue
        op, args = m.group(2), m.group(3).split(";")[0].split("@")[0].strip()
        base = op.split(".")[0]
        # Stack pointer adjustments.
        if base == "push" or (base in ("stmdb", "stmfd") and args.startswith("sp!")):
            depth += 4 * reg_count(args[args.index("{"):])
        elif base == "pop" or (base in ("ldmia", "ldm", "ldmfd") and args.startswith("sp!")):
            depth -= 4 * reg_count(args[args.index("{"):])
        elif base == "str" and re.search(r"\[sp, #-(\d+)\]!", args):
            depth += int(re.search(r"\[sp, #-(\d+)\]!", args).group(1))
        elif base in ("sub", "subw") and re.match(r"^sp, (sp, )?#(\d+)", args):
            depth += int(re.match(r"^sp, (sp, )?#(\d+)", args).group(2))
        elif base in ("add", "addw") and re.match(r"^sp, (sp, )?#(\d+)", args):
            depth -= int(re.match(r"^sp, (sp, )?#(\d+)", args).group(2))
        elif base in ("sub", "mov") and re.match(r"^sp, (sp, )?r\d+", args):
            current.bounded = False  # variable-sized frame
        elif base == "vpush":
            depth += 4 * reg_count(args[args.index("{"):]) * (2 if "d" in args else 1)
        current.measured = max(current.measured, depth)
        # Calls and tail calls.
        if base in ("bl", "blx") and not re.match(r"^r\d+|^lr|^ip", args):
            t = BRANCH_TARGET.match(args)
            if t:
                current.calls.add(int(t.group(1), 16))
        elif base in ("blx",) or (base == "bx" and args not in ("lr",)):
            current.indirect = True
        elif re.match(r"^b(eq|ne|cs|cc|hs|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?$", base):
            t = BRANCH_TARGET.match(args)
            if t and t.group(3) is None:
                target = int(t.group(1), 16)
                if target != current.address and target in functions:
                    current.calls.add(target)


# ------------------------------------------------------------------ compiler figures

CI_NODE = re.compile(r'node: \{ title: "([^"]*)" label: "([^"]*)"')
CI_EDGE = re.compile(r'edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"')
CI_FRAME = re.compile(r"(\d+) bytes \(([^)]*)\)")


def read_callgraphs(objdir, functions, global_names, local):
    """Frames (and call edges) from the compiler's .ci files."""
    files = sorted(Path(objdir).rglob("*.ci"))
    for ci in files:
        source = None
        text = ci.read_text(errors="replace")
        m = re.search(r'graph: \{ title: "([^"]*)"', text)
        if m:
            source = Path(m.group(1)).name

        def resolve(title):
            name = title.rsplit(":", 1)[-1] if ":" in title else title
            if ":" in title and (source, name) in local:
                return local[(source, name)]
            if (source, name) in local:
                return local[(source, name)]
            return global_names.get(name)

        for title, label in CI_NODE.findall(text):
            fm = CI_FRAME.search(label)
            if not fm:
                continue
            addr = resolve(title)
            if addr is None or addr not in functions:
                continue  # dropped by --gc-sections
            f = functions[addr]
            f.frame = int(fm.group(1))
            f.frame_source = "compiler"
            if "dynamic" in fm.group(2) and "bounded" not in fm.group(2):
                f.bounded = False
        for source_title, target_title in CI_EDGE.findall(text):
            caller = resolve(source_title)
            if caller is None or caller not in functions:
                continue
            if target_title == "__indirect_call":
                functions[caller].indirect = True
                continue
            callee = resolve(target_title)
            if callee is not None and callee in functions:
                functions[caller].calls.add(callee)
    return len(files)


# ------------------------------------------------------------------ worst paths

def resolve_indirect(elf, functions, global_names):
    """Targets of the indirect calls the image explains; the rest are returned."""
    unresolved = []
    ctors = []
    init = elf.section(".init_array")
    if init is not None and init.size:
        ctors = [w & ~1 for w in elf.words(init.addr, init.size // 4)]
    put = global_names.get(CONSOLE_PUT)
    for f in functions.values():
        if not f.indirect:
            continue
        if f.name == "Reset_Handler":
            f.calls.update(c for c in ctors if c in functions)
        elif any(FORMATTED_OUTPUT.match(n) for n in f.names) and put is not None:
            f.calls.add(put)
        else:
            unresolved.append(f.name)
    return unresolved


def worst_paths(functions):
    memo = {}
    problems = []

    def visit(addr, stack):
        if addr in memo:
            return memo[addr]
        f = functions[addr]
        if addr in stack:
            problems.append("recursion: " + " -> ".join(functions[a].name for a in stack[stack.index(addr):]))
            return 0, [f.name]
        stack.append(addr)
        best, best_path = 0, []
        for c in sorted(f.calls):
            if c == addr or c not in functions:
                continue
            depth, path = visit(c, stack)
            if depth > best or not best_path:
                best, best_path = depth, path
        stack.pop()
        own = f.frame if f.frame is not None else f.measured
        memo[addr] = (own + best, [f"{f.name} ({own})"] + best_path)
        return memo[addr]

    return visit, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elf", required=True)
    parser.add_argument("--objdir", required=True)
    parser.add_argument("--objdump", default="arm-none-eabi-objdump")
    parser.add_argument("--output")
    args = parser.parse_args()

    elf = elf32.Elf32(args.elf)
    names, local = function_symbols(elf)
    functions = {a: Function(a, n) for a, n in names.items()}
    global_names = {}
    for a, ns in names.items():
        for n in ns:
            global_names.setdefault(n, a)
    # Handlers the firmware defines itself (the others are aliases of the
    # start-up code's Default_Handler and never enabled).
    strong = {s.name for s in elf.symbols
              if s.defined and s.type == elf32.STT_FUNC and s.bind == elf32.STB_GLOBAL}
    for f in functions.values():
        f.measured = 0
    scan_code(args.objdump, args.elf, functions)
    ci_count = read_callgraphs(args.objdir, functions, global_names, local)
    unresolved = resolve_indirect(elf, functions, global_names)
    visit, problems = worst_paths(functions)
    if ci_count == 0:
        problems.append(f"no .ci files under {args.objdir}: build with -fcallgraph-info=su")
    for f in functions.values():
        if not f.bounded:
            problems.append(f"{f.name} has a variable-sized frame")
    for name in unresolved:
        problems.append(f"{name} makes an indirect call whose target is unknown")

    def entry(name):
        addr = global_names.get(name)
        if addr is None:
            return None
        return visit(addr, [])

    lines = []
    base = entry("Reset_Handler")
    if base is None:
        print("FAIL: no Reset_Handler in the image")
        return 1
    lines.append("| Context | Level | Own worst path (bytes) | Exception frame | Running total |")
    lines.append("|---|---|---|---|---|")
    total = base[0]
    lines.append(f"| main (from Reset_Handler) | thread | {base[0]} | - | {total} |")
    paths = [("main", base[1])]
    for level, handlers in LEVELS:
        present = [(h, entry(h)) for h in handlers if h in strong and entry(h) is not None]
        if not present:
            continue
        name, (depth, path) = max(present, key=lambda p: p[1][0])
        total += EXCEPTION_FRAME + depth
        others = ", ".join(f"{h} {d[0]}" for h, d in present if h != name)
        label = name + (f" (also at this level: {others})" if others else "")
        lines.append(f"| {label} | {level} | {depth} | {EXCEPTION_FRAME} | {total} |")
        paths.append((name, path))
    faults = [(h, entry(h)) for h in FAULTS if h in strong and entry(h) is not None]
    fault_name, (fault_depth, _) = max(faults, key=lambda p: p[1][0]) if faults else ("none", (0, []))
    with_fault = total + EXCEPTION_FRAME + fault_depth

    verdict = "fits" if total <= STACK_SIZE else "DOES NOT FIT"
    out = []
    out.append("# Static stack estimate of the board image")
    out.append("")
    out.append(f"Worst case: **{total} bytes of the {STACK_SIZE}-byte stack** ({verdict}; "
               f"{STACK_SIZE - total} bytes to spare).")
    out.append("")
    out.append("The deepest path from the reset handler through main, with the deepest handler "
               "of each pre-emption level nested on top in turn (SysTick 3, TIM2 2, USART1 1, "
               "USART3 and the I2C handlers 0; equal levels do not nest), each adding the "
               f"{EXCEPTION_FRAME}-byte exception frame (8 words, and up to 4 bytes of alignment "
               "to 8 bytes, which this core applies).")
    out.append("")
    out.extend(lines)
    out.append("")
    out.append(f"A fault on top of that ({fault_name}, {fault_depth} bytes of its own, plus its frame) "
               f"would reach {with_fault} bytes; the board stops in the fault handler then.")
    out.append("")
    out.append("Frames of the firmware and start-up code are the compiler's (-fcallgraph-info=su); "
               "library frames (picolibc, libgcc) are measured from the image. printf's indirect "
               "call is taken to the console stream's put function.")
    out.append("")
    out.append("Produced by tests/image/stack_estimate.py, run by the image checks "
               "(ctest --preset target); the report lands in build/target/target/stack_usage.md.")
    out.append("")
    out.append("## Worst paths (function and its own frame in bytes)")
    out.append("")
    for name, path in paths:
        out.append(f"- {name}: " + " -> ".join(path))
    if problems:
        out.append("")
        out.append("## Problems")
        out.append("")
        out.extend(f"- {p}" for p in sorted(set(problems)))
    report = "\n".join(out) + "\n"
    print(report)
    if args.output:
        Path(args.output).write_text(report)
    if problems:
        print("FAIL: the estimate cannot be bounded")
        return 1
    if total > STACK_SIZE:
        print(f"FAIL: worst case {total} bytes exceeds the {STACK_SIZE}-byte stack")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
