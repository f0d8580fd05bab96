#!/usr/bin/env python3
"""Checks that the folders of the firmware and of the virtual board include
each other only downwards, floor by floor.

Every #include of the firmware folders, target/ and sim/ is resolved the way
the build resolves it (next to the including file, from the project root, then
from the firmware's include folders) and reduced to an edge between two
folders. The check fails when

  - the folders include each other in a loop (each loop is listed with the
    include lines that make it), or
  - a folder includes one that the table FLOORS below does not let it use, or
  - a folder of the virtual board includes a firmware header that is no chip
    fact (only the register map, the register type and the interrupt numbers
    are shared with the models).

Usage: include_graph.py [ROOT]        check the tree (default: this project)
       include_graph.py --floors      print the floors and what each may use
Exit status 0 when the tree is clean, 1 when it is not, 2 on bad usage.
"""

import os
import re
import sys
from collections import defaultdict

# What each folder may include besides itself. A folder not listed here may
# include nothing outside itself until it is given its place. "sim" is the
# board's composition root (sim/board.*, sim/board_pins.*); "src/app" is the
# firmware's top, the main menu and the interrupt handlers (src/main.*,
# src/stm32l1xx_it.*), which call the test modules that the drivers in src/
# serve.
FLOORS = {
    # the firmware
    "platform": set(),
    "src": {"platform"},
    "Actuator": {"src", "platform"},
    "Sensor9Axis": {"src", "platform"},
    "other_sensors": {"src", "platform"},
    "src/app": {"src", "platform", "Actuator", "Sensor9Axis", "other_sensors"},
    "target": {"src", "platform"},
    # the virtual board
    "sim/core": set(),
    "sim/devices": {"sim/core"},
    "sim/peripherals": {"sim/core", "sim/devices", "platform"},
    "sim": {"sim/core", "sim/devices", "sim/peripherals", "platform"},
    "sim/host": {"sim", "sim/core", "sim/devices", "sim/peripherals", "platform"},
    "sim/trace": {"sim", "sim/core", "sim/devices", "sim/peripherals"},
    "sim/endpoints": {"sim", "sim/core", "sim/devices", "sim/peripherals"},
    "sim/cpu": {"sim", "sim/core", "sim/devices", "sim/peripherals", "platform"},
    "sim/script": {"sim", "sim/core", "sim/devices", "sim/peripherals", "sim/endpoints", "sim/trace"},
    # the program: its run-wide parts, its command line, the browser page
    "sim/program": {"sim/core"},
    "sim/cli": {"sim", "sim/core", "sim/devices", "sim/peripherals", "sim/endpoints", "sim/trace",
                "sim/script", "sim/cpu", "sim/host", "sim/program", "src", "platform"},
    "sim/web": {"sim", "sim/core", "sim/devices", "sim/peripherals", "sim/endpoints", "sim/trace",
                "sim/script", "sim/program", "sim/cli"},
}

# The firmware headers that are chip facts, which the virtual board's models
# share with the firmware. The host half of the register seam (sim/host) is
# the firmware's side of the seam and may use the platform as a whole.
CHIP_FACTS = {"platform/stm32l1_registers.h", "platform/io_reg.h", "platform/platform_types.h",
              "platform/vectors.h"}
WHOLE_PLATFORM = {"sim/host"}

FIRMWARE_INCLUDE_DIRS = ["src", "platform", "Actuator", "Sensor9Axis", "other_sensors"]
SCANNED = ["sim", "target"] + FIRMWARE_INCLUDE_DIRS
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".inc")
APPLICATION_FILES = {"src/main.cpp", "src/main.h", "src/stm32l1xx_it.cpp", "src/stm32l1xx_it.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def folder_of(path):
    """The folder (floor unit) of a path relative to the root, or None."""
    parts = path.split("/")
    if parts[0] == "sim":
        return "sim" if len(parts) == 2 else "sim/" + parts[1]
    if path in APPLICATION_FILES:
        return "src/app"
    return parts[0] if parts[0] in SCANNED else None


def source_files(root):
    for top in SCANNED:
        for directory, subdirs, files in os.walk(os.path.join(root, top)):
            subdirs[:] = sorted(d for d in subdirs if d != "node_modules" and not d.startswith("."))
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def resolve(root, including, name, quoted):
    """The included file relative to the root, or None for one outside the project."""
    candidates = []
    if quoted:
        candidates.append(os.path.join(os.path.dirname(including), name))
    candidates.append(name)
    candidates += [os.path.join(d, name) for d in FIRMWARE_INCLUDE_DIRS]
    for candidate in candidates:
        path = os.path.normpath(candidate)
        if not path.startswith("..") and os.path.isfile(os.path.join(root, path)):
            return path.replace(os.sep, "/")
    return None


def include_edges(root):
    """{(from folder, to folder): ["file:line -> included", ...]} and the
    list of firmware headers each sim folder includes."""
    edges = defaultdict(list)
    platform_uses = []
    for path in source_files(root):
        source = folder_of(path)
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = resolve(root, path, match.group(2), match.group(1) == '"')
                if target is None:
                    continue
                destination = folder_of(target)
                if destination is None or destination == source:
                    continue
                where = f"{path}:{number} includes {target}"
                edges[(source, destination)].append(where)
                if source.startswith("sim") and destination == "platform":
                    platform_uses.append((source, target, where))
    return edges, platform_uses


def loops(edges):
    """The strongly connected groups of more than one folder (Tarjan)."""
    graph = defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
        graph.setdefault(b, set())
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return groups


def check(root):
    """The faults of the tree at `root`, as lines of text; empty when clean."""
    edges, platform_uses = include_edges(root)
    faults = []
    for group in loops(edges):
        faults.append("folder loop: " + " <-> ".join(group))
        for (a, b), wheres in sorted(edges.items()):
            if a in group and b in group:
                faults += [f"    {w}" for w in wheres[:3]]
    for (a, b), wheres in sorted(edges.items()):
        if b not in FLOORS.get(a, set()):
            faults.append(f"{a} may not use {b}:")
            faults += [f"    {w}" for w in wheres[:3]]
    for source, target, where in platform_uses:
        if source not in WHOLE_PLATFORM and target not in CHIP_FACTS:
            faults.append(f"{source} uses a firmware header that is no chip fact: {where}")
    return faults


def floors_text():
    lines = []
    for folder, uses in FLOORS.items():
        lines.append(f"{folder}: " + (", ".join(sorted(uses)) if uses else "(nothing)"))
    return "\n".join(lines)


def main(argv):
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith("-") and argv[1] != "--floors"):
        print(__doc__, file=sys.stderr)
        return 2
    if len(argv) == 2 and argv[1] == "--floors":
        print(floors_text())
        return 0
    # The table itself must be loop-free, or it would allow a loop.
    table_loops = loops({(a, b): [] for a, uses in FLOORS.items() for b in uses})
    if table_loops:
        print("the table of floors has a loop: " + "; ".join(" <-> ".join(g) for g in table_loops))
        return 1
    root = argv[1] if len(argv) == 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print("include graph: every folder includes only the floors below it")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
