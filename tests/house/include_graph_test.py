#!/usr/bin/env python3
"""The include-graph check on small made-up trees: it finds a folder loop, an
include the floors do not allow and a firmware header that is no chip fact,
resolves includes the way the build does, and passes a clean tree."""

import os
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]


def run_on(files):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        result = subprocess.run([sys.executable, TOOL, root], capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout


def expect(condition, what, output):
    if not condition:
        print(f"FAILED: {what}\n--- output ---\n{output}")
        sys.exit(1)


CLEAN = {
    "sim/core/net.h": "#pragma once\n",
    "sim/devices/chip.h": '#include "../core/net.h"\n',
    "sim/peripherals/port.cpp": '#include "sim/devices/chip.h"\n#include "../../platform/stm32l1_registers.h"\n',
    "sim/board.cpp": '#include "peripherals/port.cpp"\n#include <vector>\n#include "generated_elsewhere.h"\n',
    "platform/stm32l1_registers.h": "#pragma once\n",
    "platform/rcc.h": '#include "stm32l1_registers.h"\n',
    "src/led.h": '#include "rcc.h"\n',
    "Actuator/test_actuator.cpp": '#include "led.h"\n',
    "src/main.cpp": '#include "test_actuator.cpp"\n#include "led.h"\n',
}

status, out = run_on(CLEAN)
expect(status == 0 and "only the floors below" in out, "a tree that includes only downwards passes", out)

status, out = run_on({**CLEAN, "sim/core/net.h": '#include "../devices/chip.h"\n'})
expect(status == 1, "a loop fails the check", out)
expect("folder loop: sim/core <-> sim/devices" in out, "the loop is named by its folders", out)
expect("sim/core/net.h:1 includes sim/devices/chip.h" in out, "the loop shows the include that closes it", out)

# A driver in src/ that calls up into a test module makes a loop through the
# firmware's include folders, found although the include has no path.
status, out = run_on({**CLEAN, "src/led.h": '#include "test_actuator.cpp"\n'})
expect(status == 1 and "src may not use Actuator" in out, "firmware includes resolve through the include folders", out)

status, out = run_on({**CLEAN, "sim/devices/chip.h": '#include "../peripherals/port.cpp"\n'})
expect(status == 1 and "sim/devices may not use sim/peripherals" in out, "an upward include without a loop fails", out)

status, out = run_on({**CLEAN, "sim/board.cpp": '#include "../platform/rcc.h"\n'})
expect(status == 1 and "no chip fact: sim/board.cpp:1 includes platform/rcc.h" in out,
       "the board may take chip facts from the firmware, not its operations", out)

status, out = run_on({**CLEAN, "sim/newfloor/thing.cpp": '#include "../core/net.h"\n'})
expect(status == 1 and "sim/newfloor may not use sim/core" in out, "a new folder must be given its place", out)

print("include graph check: all cases pass")
