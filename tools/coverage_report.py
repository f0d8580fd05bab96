#!/usr/bin/env python3
"""Line and branch coverage of the firmware and the virtual board, per folder.

Runs gcovr once over a build of the coverage preset (after its tests have run)
and prints one Markdown table: each firmware folder, each folder of sim/, and
the totals. The per-file details go to an HTML report beside it.

    tools/coverage_report.py --source . --build build/coverage
"""
import argparse
import json
import os
import subprocess
import sys
from collections import OrderedDict

# Folders reported, in this order; sim/ is broken down by its subfolders.
FIRMWARE_FOLDERS = ["src", "platform", "Actuator", "Sensor9Axis", "other_sensors"]
SIM = "sim"


def folder_of(path):
    """The reported folder of a source path relative to the tree, or None."""
    parts = path.split("/")
    if parts[0] in FIRMWARE_FOLDERS:
        return parts[0]
    if parts[0] == SIM:
        # Files directly in sim/ (the board's composition) count as sim/ itself.
        return "sim/" + parts[1] if len(parts) > 2 else "sim"
    return None


def percent(covered, total):
    return "-" if total == 0 else f"{100.0 * covered / total:.1f} %"


def summarise(files):
    """Per-folder sums of covered and total lines and branches."""
    folders = OrderedDict()
    for entry in sorted(files, key=lambda e: e["filename"]):
        folder = folder_of(entry["filename"])
        if folder is None:
            continue
        sums = folders.setdefault(folder, [0, 0, 0, 0])
        sums[0] += entry["line_covered"]
        sums[1] += entry["line_total"]
        sums[2] += entry["branch_covered"]
        sums[3] += entry["branch_total"]
    return folders


def table(folders):
    order = [f for f in FIRMWARE_FOLDERS if f in folders]
    order += sorted(f for f in folders if f == SIM or f.startswith(SIM + "/"))
    rows = ["| folder | lines | line coverage | branches | branch coverage |",
            "|---|---|---|---|---|"]
    totals = {"firmware": [0, 0, 0, 0], "sim/": [0, 0, 0, 0]}
    for name in order:
        lc, lt, bc, bt = folders[name]
        rows.append(f"| `{name}/` | {lc}/{lt} | {percent(lc, lt)} | {bc}/{bt} | {percent(bc, bt)} |")
        key = "firmware" if name in FIRMWARE_FOLDERS else "sim/"
        totals[key] = [a + b for a, b in zip(totals[key], folders[name])]
    for name, (lc, lt, bc, bt) in totals.items():
        label = "firmware (all five)" if name == "firmware" else "`sim/` (all)"
        rows.append(f"| {label} | {lc}/{lt} | {percent(lc, lt)} | {bc}/{bt} | {percent(bc, bt)} |")
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--build", required=True, help="the coverage preset's build tree")
    parser.add_argument("--gcovr", default="gcovr")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    out_dir = os.path.join(build, "coverage")
    os.makedirs(out_dir, exist_ok=True)
    summary = os.path.join(out_dir, "summary.json")
    filters = [f"--filter={source}/{f}/" for f in FIRMWARE_FOLDERS + [SIM]]
    command = [args.gcovr, "--root", source, "--object-directory", build, *filters,
               "--exclude-unreachable-branches", "--exclude-throw-branches",
               "--json-summary", summary,
               "--html-details", os.path.join(out_dir, "index.html")]
    result = subprocess.run(command)
    if result.returncode != 0:
        print(f"coverage_report: gcovr failed with status {result.returncode}", file=sys.stderr)
        return 1
    with open(summary, encoding="utf-8") as f:
        files = json.load(f)["files"]
    if not files:
        print("coverage_report: no coverage data: build the coverage preset and run its tests first",
              file=sys.stderr)
        return 1
    text = table(summarise(files))
    with open(os.path.join(out_dir, "summary.md"), "w", encoding="utf-8") as f:
        f.write(text + "\n")
    print(text)
    print(f"\nper file: {os.path.join(out_dir, 'index.html')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
