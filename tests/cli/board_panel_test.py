#!/usr/bin/env python3
"""The board panel as an operator sees it in a terminal (a tmux window).

    board_panel_test.py TL500_SIM CASE

CASE is one of:
  led-test   the panel's last row shows LED1 lit and dark again while the LED
             test runs (key 1); the console lines above it are whole; Ctrl-]
             ends the run and the panel's row is cleared
  no-panel   with --no-panel the last row never shows a panel

Each case runs in its own tmux server (its own socket), 120 columns by 30
rows; every wait has a deadline and the server is killed on the way out.
"""

import os
import shutil
import subprocess
import sys
import time

COLUMNS, ROWS = 120, 30
TIMEOUT = 15.0


from cli_support import Failure, Skipped, run_cases  # noqa: E402


class Tmux:
    def __init__(self, command):
        self.socket = "tl500-panel-%d" % os.getpid()
        self.tmux(["-f", "/dev/null", "new-session", "-d", "-s", "panel", "-x", str(COLUMNS), "-y", str(ROWS),
                   "sleep 0.3; exec " + command])
        self.tmux(["set-option", "-t", "panel", "remain-on-exit", "on"])

    def tmux(self, args):
        return subprocess.run(["tmux", "-L", self.socket] + args, capture_output=True, text=True, timeout=10,
                              check=True).stdout

    def screen(self):
        """The visible rows, padded to the window's height."""
        rows = self.tmux(["capture-pane", "-p", "-t", "panel"]).split("\n")[:ROWS]
        return rows + [""] * (ROWS - len(rows))

    def keys(self, *keys):
        self.tmux(["send-keys", "-t", "panel"] + list(keys))

    def wait(self, predicate, what):
        deadline = time.monotonic() + TIMEOUT
        screens = []
        while time.monotonic() < deadline:
            screen = self.screen()
            screens.append(screen)
            if predicate(screen):
                return screens
            time.sleep(0.02)
        raise Failure("%s: not seen within %.0f s; last screen:\n%s" % (what, TIMEOUT, "\n".join(screens[-1])))

    def dead(self):
        return self.tmux(["display-message", "-p", "-t", "panel", "#{pane_dead}"]).strip() == "1"

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True, timeout=10)


def console_rows(screen):
    return screen[:-1]


def check_console_whole(screen, what):
    """Console rows hold only console text: no piece of the panel, and the
    menu's lines as the firmware sends them."""
    for row in console_rows(screen):
        if "LED1 " in row or "| ACT" in row:
            raise Failure("%s: the panel's text got into the console rows:\n%s" % (what, "\n".join(screen)))
    text = "\n".join(row.rstrip() for row in console_rows(screen))
    for line in ("1 is selected", "---------------------", "Press menu key", "x> quit"):
        if line not in text.split("\n"):
            raise Failure("%s: the console line %r is not whole on the screen:\n%s" % (what, line, "\n".join(screen)))


def led_test(sim):
    tmux = Tmux(sim)
    try:
        tmux.wait(lambda s: "x> quit" in "\n".join(console_rows(s)) and "LED1 dark" in s[-1], "the menu and the panel")
        panel = tmux.screen()[-1]
        for part in ("LED2 dark", "LED3 dark", "| ACT off   off   off   off", "| ZB ", "| PIR low", " s"):
            if part not in panel:
                raise Failure("the panel after start-up should show %r: %r" % (part, panel))
        tmux.keys("1")
        screens = tmux.wait(lambda s: "LED1 lit" in s[-1], "LED1 lit on the panel during the LED test")
        screens += tmux.wait(lambda s: "LED1 dark" in s[-1] and "LED2 lit" in s[-1], "the running light on the panel")
        # The test ends with all LEDs dark and the menu again.
        screens += tmux.wait(lambda s: "\n".join(console_rows(s)).count("x> quit") >= 2 and
                             "LED1 dark LED2 dark LED3 dark" in s[-1], "the end of the LED test")
        for screen in screens:
            if any("LED1 " in row for row in console_rows(screen)):
                raise Failure("the panel's text got into the console rows:\n%s" % "\n".join(screen))
        check_console_whole(tmux.screen(), "after the LED test")
        times = [float(s[-1].rsplit("|", 1)[1].split()[0]) for s in screens if s[-1].count("|") >= 4]
        if times != sorted(times) or times[-1] - times[0] < 1.5:
            raise Failure("the panel's virtual time should run on through the LED test: %r" % times)
        # Ctrl-] opens the monitor; its quit ends the run.
        tmux.keys("C-]")
        tmux.wait(lambda s: any(row.startswith("monitor>") for row in s), "the monitor on Ctrl-]")
        tmux.keys("quit", "Enter")
        tmux.wait(lambda s: tmux.dead(), "the end of the run on the monitor's quit")
        screen = tmux.screen()
        if any("LED1 " in row for row in screen):
            raise Failure("the panel is left on the screen after the run:\n%s" % "\n".join(screen))
    finally:
        tmux.close()


def no_panel(sim):
    tmux = Tmux(sim + " --no-panel")
    try:
        screens = tmux.wait(lambda s: "x> quit" in "\n".join(s), "the menu")
        tmux.keys("1")
        screens += tmux.wait(lambda s: "1 is selected" in "\n".join(s), "the LED test's echo")
        screens.append(tmux.screen())
        for screen in screens:
            if any("LED1 " in row for row in screen):
                raise Failure("--no-panel, yet a panel is shown:\n%s" % "\n".join(screen))
        # Ctrl-] opens the monitor; its quit ends the run.
        tmux.keys("C-]")
        tmux.wait(lambda s: any(row.startswith("monitor>") for row in s), "the monitor on Ctrl-]")
        tmux.keys("quit", "Enter")
        tmux.wait(lambda s: tmux.dead(), "the end of the run on the monitor's quit")
    finally:
        tmux.close()


def run_case(sim, case):
    if shutil.which("tmux") is None:
        raise Skipped("tmux is not installed (tools/install-deps.sh installs it)")
    case(sim)


if __name__ == "__main__":
    sys.exit(run_cases({"led-test": lambda sim: run_case(sim, led_test),
                        "no-panel": lambda sim: run_case(sim, no_panel)}))
