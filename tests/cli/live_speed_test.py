#!/usr/bin/env python3
"""The pace of a live run: --speed on the command line, `speed` in the monitor,
and the pace and measured ratio on the board panel.

    live_speed_test.py TL500_SIM CASE

CASE is one of:
  max-pressure   the pressure test's thousand averages, piped keys, at
                 --speed max: the run reaches 1010 s of virtual time with every
                 average printed (the test's timeout bounds the wall time)
  max-pressure-bounded
                 the same for its first hundred averages, 110 s of virtual time
  refused        --speed with a word or a factor out of range is a usage error
  monitor        `speed 100` in the monitor, a refused `speed 0`, and the panel
                 showing the new pace
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cli_support import cases_named, run_cases  # noqa: E402
from live_console_test import MENU_END, STEP_TIMEOUT, START_TIMEOUT, Failure, on_terminal, show  # noqa: E402


def max_pressure(sim, seconds, expected):
    """The pressure test at --speed max for `seconds` of virtual time: at
    least `expected` averages printed, and the run reaching its end."""
    proc = subprocess.run([sim, "--speed", "max", "--max-time", "%ds" % seconds, "--stats"], input=b"91",
                          capture_output=True, timeout=600)
    if proc.returncode != 0:
        raise Failure("exit status %d: %s" % (proc.returncode, proc.stderr.decode(errors="replace")))
    averages = proc.stdout.count(b"Pressure: 1013.25 hPa\r\n")
    if averages < expected:
        raise Failure("expected %d averages of the pressure test, saw %d: %s"
                      % (expected, averages, show(proc.stdout)))
    if b"virtual time %d.000000000 s" % seconds not in proc.stderr:
        raise Failure("expected the run to reach %d s of virtual time: %s"
                      % (seconds, proc.stderr.decode(errors="replace")))


def case_max_pressure(sim):
    max_pressure(sim, 1010, 1000)


def case_max_pressure_bounded(sim):
    max_pressure(sim, 110, 100)


def case_refused(sim):
    for speed in ("fast", "0", "-5", "1e9", "x", ""):
        proc = subprocess.run([sim, "--speed", speed], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if proc.returncode != 2 or b"speed takes realtime, max or a factor" not in proc.stderr:
            raise Failure("--speed %r: expected a usage error (2) naming the forms, got %d: %s"
                          % (speed, proc.returncode, proc.stderr.decode(errors="replace")))


def case_monitor(sim):
    with on_terminal(sim, size=(30, 140)) as run:
        term = run.term
        term.expect(MENU_END, START_TIMEOUT, "the menu after power-on")
        term.expect(b"| realtime x", STEP_TIMEOUT, "the panel showing the real-time pace")
        run.open_monitor("the monitor's prompt")
        run.monitor(b"speed 0", b"speed takes realtime, max or a factor", "a refused speed")
        run.monitor(b"speed 100", b"ok", "speed 100")
        run.type(b"continue\r")
        term.expect(b"[continuing at", STEP_TIMEOUT, "continue")
        # The ratio shows once measured; the board idles at a hundred times the wall clock.
        term.expect(b"| x100 x", STEP_TIMEOUT, "the panel showing the new pace")
        ratios = []
        for _ in range(40):
            term.pump(0.25)
            ratios = [float(r) for r in re.findall(rb"\| x100 x([0-9.]+)", term.data)]
            if any(r > 10 for r in ratios):
                break
        if not any(r > 10 for r in ratios):
            raise Failure("at speed 100 the measured ratio should be well above real time: %r" % ratios)
        run.open_monitor("the monitor again")
        run.quit_monitor("quit")


if __name__ == "__main__":
    sys.exit(run_cases(cases_named(globals())))
