#!/usr/bin/env python3
"""tl500-sim's live console, driven as a person or a serial terminal program drives it.

    live_console_test.py TL500_SIM CASE

CASE is one of:
  pty-session      a program attached to the pseudo-terminal console reads the
                   menu, selects key 0 and ends the run with key x
  pty-sigterm      SIGTERM ends a running pseudo-terminal session cleanly
  terminal-session a person at a terminal selects the LED test, which takes its
                   real time, and ends the run with Ctrl-] while it is running;
                   the terminal's settings are as they were before
  terminal-x       key x typed at a terminal ends the run; settings restored
  terminal-hangup  closing the terminal ends the run
  piped-keys       keys piped into tl500-sim select menu entries
  held-time        waiting for a terminal program, the monitor open and
                   lingering, each longer than the stuck-firmware limit, end
                   the run no earlier than the person does

Every case makes its own pseudo-terminals, so it runs the same without a
terminal (as in CI). Every read has a deadline and the child is killed on the
way out; a failure names what was expected and shows what was seen.
"""

import contextlib
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import termios
import time

MENU_END = b"x> quit\r\n\r\n"
BANNER = b"IoT Tamberlux TL500 Test ... "
QUIT_KEY = b"\x1d"  # Ctrl-]

# Generous bounds: the runs are paced by the wall clock, and a sanitizer
# build or a loaded CI machine is slower than a desk.
START_TIMEOUT = 10.0
STEP_TIMEOUT = 10.0
EXIT_TIMEOUT = 10.0
# The LED test: all on, all off, three rounds of the running light at 200 ms a
# step, all on, all off; about 2.2 s of board time.
LED_TEST_MIN_WALL = 2.0


from cli_support import Failure, run_cases  # noqa: E402


def show(data):
    """Bytes as a readable literal, cut to the last part when long."""
    if len(data) > 1500:
        return "...(%d bytes before)... %r" % (len(data) - 1500, data[-1500:])
    return repr(data)


class Stream:
    """What came out of one file descriptor, read with deadlines."""

    def __init__(self, fd, name):
        self.fd = fd
        self.name = name
        self.data = b""
        self.pos = 0  # end of the last match
        self.closed = False

    def pump(self, timeout):
        """Reads what is there within `timeout` seconds; False at end of stream."""
        if self.closed:
            return False
        ready, _, _ = select.select([self.fd], [], [], max(timeout, 0.0))
        if not ready:
            return True
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:  # EIO: the other side of a pseudo-terminal is gone
            chunk = b""
        if not chunk:
            self.closed = True
            return False
        self.data += chunk
        return True

    def expect(self, text, timeout, what):
        """Waits for `text` after the previous match; returns the time it took."""
        start = time.monotonic()
        deadline = start + timeout
        while True:
            at = self.data.find(text, self.pos)
            if at >= 0:
                self.pos = at + len(text)
                return time.monotonic() - start
            left = deadline - time.monotonic()
            if left <= 0 or not self.pump(min(left, 0.1)):
                raise Failure(
                    "%s: expected %r on %s within %.1f s\n  seen after the previous match: %s%s"
                    % (what, text, self.name, timeout, show(self.data[self.pos:]),
                       "\n  (the stream ended)" if self.closed else ""))

    def drain(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.pump(min(end - time.monotonic(), 0.05)):
            pass


def wait_exit(proc, timeout, streams, what):
    """Waits for the child to end while reading its output (a full terminal
    would hold it up); returns the exit status and the seconds it took."""
    start = time.monotonic()
    deadline = start + timeout
    while proc.poll() is None:
        if time.monotonic() > deadline:
            raise Failure("%s: expected tl500-sim to exit within %.1f s; it is still running\n%s"
                          % (what, timeout, "\n".join("  %s: %s" % (s.name, show(s.data)) for s in streams)))
        for s in streams:
            s.pump(0.02)
        if not streams:
            time.sleep(0.02)
    for s in streams:
        s.drain(0.1)
    return proc.returncode, time.monotonic() - start


def check_status(status, what, streams, expected=0):
    if status != expected:
        raise Failure("%s: expected exit status %d, got %s\n%s"
                      % (what, expected, status, "\n".join("  %s: %s" % (s.name, show(s.data)) for s in streams)))


def check_line_ends(data, what):
    """Every line the board sends ends in CR LF, nothing added or taken away
    on the way (no CR dropped, none doubled, no LF turned into CR LF twice)."""
    for i, byte in enumerate(data):
        if byte == 0x0A and (i == 0 or data[i - 1] != 0x0D):
            raise Failure("%s: a line end without CR at byte %d: %s" % (what, i, show(data[max(0, i - 60):i + 10])))
    if b"\r\r" in data:
        i = data.find(b"\r\r")
        raise Failure("%s: a doubled CR at byte %d: %s" % (what, i, show(data[max(0, i - 60):i + 10])))


def stop(proc):
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()


# --- the console on its own pseudo-terminal --------------------------------------

def start_pty_session(sim, extra=()):
    """Starts tl500-sim --console pty; returns the process, its stderr stream and
    the console path it printed."""
    proc = subprocess.Popen([sim, "--console", "pty", *extra], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = Stream(proc.stderr.fileno(), "tl500-sim's standard error")
    err.expect(b"console: ", START_TIMEOUT, "start of the pseudo-terminal session")
    err.expect(b"\n", START_TIMEOUT, "the console path")
    path = err.data[:err.pos].split(b"console: ")[-1].strip().decode()
    if not path.startswith("/dev/"):
        raise Failure("expected a device path after 'console: ', got %r" % path)
    return proc, err, path


def attach(path):
    """Opens the console as a script does, leaving the line's settings as
    tl500-sim made them (raw, so the bytes arrive as the board sent them) and
    not as its controlling terminal."""
    return os.open(path, os.O_RDWR | os.O_NOCTTY)


def case_pty_session(sim):
    proc = fd = None
    try:
        proc, err, path = start_pty_session(sim)
        fd = attach(path)
        con = Stream(fd, path)
        con.expect(BANNER, START_TIMEOUT, "power-on banner on the console")
        con.expect(MENU_END, STEP_TIMEOUT, "the menu after power-on")
        os.write(fd, b"0")
        con.expect(b"0 is selected\r\n\r\n" + BANNER, STEP_TIMEOUT, "key 0 (system information)")
        con.expect(b"SYSCLK_Frequency = 32000000\r\n", STEP_TIMEOUT, "key 0 (system information)")
        con.expect(MENU_END, STEP_TIMEOUT, "the menu after key 0")
        os.write(fd, b"x")
        # A terminal program busy elsewhere for a moment still gets the last
        # lines, sent just before main returned and tl500-sim ended.
        time.sleep(0.2)
        con.expect(b"x is selected\r\n\r\n", STEP_TIMEOUT, "key x, read a moment later")
        status, _ = wait_exit(proc, EXIT_TIMEOUT, [con, err], "key x ends main")
        check_status(status, "key x ends main", [con, err])
        check_line_ends(con.data, "the console seen through the pseudo-terminal")
    finally:
        stop(proc)
        if fd is not None:
            os.close(fd)


def case_pty_sigterm(sim):
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        proc = fd = None
        what = "%s ends the session" % sig.name
        try:
            proc, err, path = start_pty_session(sim)
            fd = attach(path)
            con = Stream(fd, path)
            con.expect(MENU_END, START_TIMEOUT, "the menu after power-on")
            proc.send_signal(sig)
            status, _ = wait_exit(proc, EXIT_TIMEOUT, [con, err], what)
            # A run ended by a signal says so in its exit status, as a shell expects.
            check_status(status, what, [con, err], 128 + sig)
            err.expect(b"ended by signal", 1.0, "the reason the run ended, on standard error")
        finally:
            stop(proc)
            if fd is not None:
                os.close(fd)


# --- the console on the terminal tl500-sim runs in ---------------------------------

def start_on_terminal(sim, controlling=True, args=(), env=None, size=None):
    """Runs tl500-sim with a new pseudo-terminal as its standard input, output
    and error and, as a shell in a terminal window does, its controlling
    terminal (`controlling`; otherwise a terminal it merely was handed). Returns the process, the master side and the slave side (kept open here to
    read the terminal's settings afterwards)."""
    master, slave = os.openpty()
    # A person's terminal: line editing, echo, signals, CR LF on output.
    attrs = termios.tcgetattr(slave)
    attrs[0] |= termios.ICRNL | termios.IXON
    attrs[1] |= termios.OPOST | termios.ONLCR
    attrs[3] |= termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    before = termios.tcgetattr(slave)
    if size is not None:
        # The window's size (rows, columns) before the program starts, as a
        # terminal window has one: no race with the program reading it.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))

    def become_terminal_session():
        os.setsid()
        if controlling:
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen([sim, *args], stdin=slave, stdout=slave, stderr=slave, close_fds=True,
                            preexec_fn=become_terminal_session, env=env)
    return proc, master, slave, before


def expect_settings_restored(before, slave, what):
    after = termios.tcgetattr(slave)
    if after != before:
        names = ["iflag", "oflag", "cflag", "lflag", "ispeed", "ospeed", "cc"]
        diff = ["%s %r -> %r" % (n, b, a) for n, b, a in zip(names, before, after) if a != b]
        raise Failure("%s: expected the terminal's settings as before the run; changed: %s" % (what, "; ".join(diff)))


class TerminalRun:
    """tl500-sim started by start_on_terminal, with the terminal's output as
    a Stream."""

    def __init__(self, proc, master, slave, before, name):
        self.proc, self.master, self.slave, self.before = proc, master, slave, before
        self.term = Stream(master, name)

    def type(self, keys):
        os.write(self.master, keys)

    def open_monitor(self, what):
        """Ctrl-] and the monitor's prompt."""
        self.type(QUIT_KEY)
        self.term.expect(b"monitor> ", STEP_TIMEOUT, what)

    def monitor(self, command, expect, what):
        monitor_command(self.term, self.master, command, expect, what)

    def quit_monitor(self, what):
        """`quit` typed at the monitor's prompt ends the run with status 0."""
        self.type(b"quit\r")
        status, _ = wait_exit(self.proc, EXIT_TIMEOUT, [self.term], what)
        check_status(status, what, [self.term])

    def expect_settings_restored(self, what):
        expect_settings_restored(self.before, self.slave, what)

    def close(self):
        stop(self.proc)
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None


@contextlib.contextmanager
def on_terminal(sim, name="the terminal", **options):
    """start_on_terminal(sim, **options) for a `with`: the run is killed and
    the terminal closed on the way out, whatever happened."""
    run = TerminalRun(*start_on_terminal(sim, **options), name)
    try:
        yield run
    finally:
        run.close()


def case_terminal_session(sim):
    with on_terminal(sim) as run:
        term = run.term
        term.expect(b"Ctrl-] opens the monitor", START_TIMEOUT, "the hint on the monitor")
        term.expect(MENU_END, START_TIMEOUT, "the menu after power-on")
        menu_end = term.pos
        # The board's time follows the wall clock: the LED test takes its time.
        run.type(b"1")
        term.expect(b"1 is selected\r\n\r\n", STEP_TIMEOUT, "key 1 (LED test)")
        took = term.expect(MENU_END, STEP_TIMEOUT + LED_TEST_MIN_WALL, "the menu after the LED test")
        if took < LED_TEST_MIN_WALL:
            raise Failure("the LED test took %.2f s of wall time; expected at least %.1f s "
                          "(board time follows the wall clock)" % (took, LED_TEST_MIN_WALL))
        check_line_ends(term.data[menu_end:term.pos], "the board's output on the terminal")
        # Ctrl-] opens the monitor at once, even in the middle of the LED test,
        # and its quit ends the run there.
        run.type(b"1")
        term.expect(b"1 is selected\r\n\r\n", STEP_TIMEOUT, "key 1 (LED test) again")
        run.open_monitor("the monitor's prompt after Ctrl-]")
        run.quit_monitor("quit in the monitor ends the run")
        if MENU_END in term.data[term.pos:]:
            raise Failure("Ctrl-] during the LED test: expected the run to stop at once; the LED test "
                          "finished and the menu came back first: %s" % show(term.data[term.pos:]))
        term.expect(b"ended from the monitor", 1.0, "the reason the run ended")
        run.expect_settings_restored("Ctrl-] and quit")


def case_terminal_x(sim):
    with on_terminal(sim) as run:
        run.term.expect(MENU_END, START_TIMEOUT, "the menu after power-on")
        run.type(b"x")
        run.term.expect(b"x is selected\r\n\r\n", STEP_TIMEOUT, "key x")
        status, _ = wait_exit(run.proc, EXIT_TIMEOUT, [run.term], "key x ends main")
        check_status(status, "key x ends main", [run.term])
        run.expect_settings_restored("key x")


def case_terminal_hangup(sim):
    # Closing the terminal window: with the terminal as its controlling
    # terminal tl500-sim gets SIGHUP; without, its reads find the terminal gone.
    # Either way no key can come any more and the run must end.
    for controlling in (True, False):
        what = "the terminal closed (%s)" % ("controlling terminal" if controlling else "not the controlling terminal")
        with on_terminal(sim, controlling=controlling) as run:
            # Only the master side stays open here, as in a terminal window.
            os.close(run.slave)
            run.slave = None
            run.term.expect(MENU_END, START_TIMEOUT, what + ": the menu after power-on")
            os.close(run.master)
            run.master = None
            status, _ = wait_exit(run.proc, EXIT_TIMEOUT, [], what)
            # A hang-up, signalled or found by a read, ends the run as SIGHUP does.
            check_status(status, what, [run.term], 128 + signal.SIGHUP)


# --- keys from a pipe --------------------------------------------------------------

def case_piped_keys(sim):
    proc = None
    try:
        proc = subprocess.Popen([sim], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # All keys at once, before the board has even set up its console port.
        os.write(proc.stdin.fileno(), b"0x")
        proc.stdin.close()
        out = Stream(proc.stdout.fileno(), "standard output")
        err = Stream(proc.stderr.fileno(), "standard error")
        status, took = wait_exit(proc, EXIT_TIMEOUT, [out, err], "piped keys 0 then x")
        check_status(status, "piped keys 0 then x", [out, err])
        out.expect(BANNER, 0, "the banner at power-on")
        out.expect(b"0 is selected\r\n\r\n" + BANNER, 0, "the system information for key 0")
        out.expect(b"x is selected\r\n\r\n", 0, "key x")
        if out.data.count(BANNER) != 2:
            raise Failure("expected the system information twice (power-on and key 0), saw it %d times: %s"
                          % (out.data.count(BANNER), show(out.data)))
        check_line_ends(out.data, "the board's output on standard output")
    finally:
        stop(proc)


# --- the monitor --------------------------------------------------------------------

def monitor_command(term, master, command, expect, what):
    os.write(master, command + b"\r")
    term.expect(expect, STEP_TIMEOUT, what)
    term.expect(b"monitor> ", STEP_TIMEOUT, what + ": the prompt again")


def pin_row(term, name):
    """The row of the last `pins` answer for a pin: (level, drivers)."""
    text = term.data.decode("latin-1")
    row = text[text.rfind("\n" + name + " "):].split("\r\n", 1)[0].split()
    return row[2], " ".join(row[3:])


def case_monitor(sim):
    """Ctrl-] opens the monitor: pins with level and driver, a DIP switch
    closed from outside, time standing still, and the firmware going on."""
    with on_terminal(sim) as run:
        term = run.term
        term.expect(MENU_END, START_TIMEOUT, "the menu after power-on")
        run.open_monitor("the monitor's prompt")
        run.monitor(b"pins", b"ZB_RESET", "pins")
        level, drivers = pin_row(term, "DIP1")
        if level != "high" or "pull" not in drivers:
            raise Failure("an open DIP switch reads high through the pull-up; pins shows %r %r" % (level, drivers))
        level, drivers = pin_row(term, "LED1")
        if level != "high" or "GPIOC" not in drivers:
            raise Failure("LED1 is off, driven high by its port; pins shows %r %r" % (level, drivers))
        times = []
        for attempt in range(2):
            run.monitor(b"time", b" s of virtual time", "time")
            times.append(term.data[:term.pos].rsplit(b" s of virtual time", 1)[0].rsplit(b"\n", 1)[-1].strip())
            time.sleep(0.3)
        if times[0] != times[1]:
            raise Failure("virtual time moved while the monitor was open: %r then %r" % tuple(times))
        run.monitor(b"set pin DIP1 low", b"ok", "closing DIP1")
        run.monitor(b"pins", b"PIR", "pins after closing DIP1")
        level, drivers = pin_row(term, "DIP1")
        if level != "low":
            raise Failure("DIP1 closed reads low; pins shows %r %r" % (level, drivers))
        run.monitor(b"set pin NOPE low", b"is not a pin", "a wrong pin")
        # Sensor values and I2C faults act at once too.
        run.monitor(b"set htu21.temperature 31.5", b"ok", "a sensor value")
        run.monitor(b"set htu21.temperature 999", b"out of range", "a value out of range")
        run.monitor(b"fault i2c 0x40 absent", b"ok", "an I2C fault")
        run.monitor(b"fault clear", b"ok", "the faults cleared")
        run.type(b"continue\r")
        term.expect(b"[continuing at", STEP_TIMEOUT, "continue")
        # The firmware goes on: the LED test lights LED1, which the monitor then shows.
        run.type(b"1")
        term.expect(b"1 is selected\r\n\r\n", STEP_TIMEOUT, "key 1 after the monitor")
        run.open_monitor("the monitor during the LED test")
        run.monitor(b"pins", b"PIR", "pins during the LED test")
        # All lit first, then a running light: one LED at least is lit, its
        # port driving it low.
        rows = [pin_row(term, name) for name in ("LED1", "LED2", "LED3")]
        if not any(level == "low" and "GPIOC output: low" in drivers for level, drivers in rows):
            raise Failure("during the LED test an LED is lit (low, driven by GPIOC); pins shows %r" % rows)
        run.quit_monitor("quit")
        run.expect_settings_restored("the monitor")


def case_monitor_beside_pty(sim):
    """With --console pty the monitor is on tl500-sim's own terminal."""
    with on_terminal(sim, "tl500-sim's terminal", args=["--console", "pty"]) as run:
        term = run.term
        term.expect(b"Ctrl-] here opens the monitor", START_TIMEOUT, "the hint on tl500-sim's own terminal")
        run.open_monitor("the monitor on tl500-sim's own terminal")
        run.monitor(b"pins", b"CONSOLE_RX", "pins")
        run.quit_monitor("quit")
        run.expect_settings_restored("the monitor beside a pseudo-terminal console")


# --- pseudo-terminal options ----------------------------------------------------------

def case_pty_options(sim):
    """pty:PATH makes a link; --wait-attach holds the board until a program
    opens the line, so the banner is not lost; --linger keeps the line after
    main returns, until a signal."""
    import tempfile
    proc = fd = None
    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "tl500")
        try:
            proc = subprocess.Popen([sim, "--console", "pty:" + link, "--wait-attach", "--linger"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            err = Stream(proc.stderr.fileno(), "tl500-sim's standard error")
            err.expect(b"held in reset until a program opens", START_TIMEOUT, "the wait for a program")
            # A late terminal program still gets the whole banner.
            time.sleep(0.5)
            if os.readlink(link) != os.path.realpath(link) and not os.path.exists(link):
                raise Failure("the link %s does not lead to the pseudo-terminal" % link)
            fd = attach(link)
            con = Stream(fd, link)
            con.expect(BANNER, START_TIMEOUT, "the banner, from the start, through the link")
            con.expect(MENU_END, STEP_TIMEOUT, "the menu")
            os.write(fd, b"x")
            con.expect(b"x is selected\r\n\r\n", STEP_TIMEOUT, "key x")
            err.expect(b"stays open until a signal", STEP_TIMEOUT, "lingering after main returned")
            time.sleep(0.3)
            if proc.poll() is not None:
                raise Failure("--linger: tl500-sim ended after main returned")
            os.write(fd, b"still there?")
            proc.send_signal(signal.SIGTERM)
            status, _ = wait_exit(proc, EXIT_TIMEOUT, [err], "SIGTERM while lingering")
            check_status(status, "a lingering run ends with main's status", [err])
            if os.path.lexists(link):
                raise Failure("the link %s is left behind" % link)
        finally:
            stop(proc)
            if fd is not None:
                os.close(fd)


def case_held_time(sim):
    """Time held for a person is no stuck firmware: waiting for a terminal
    program (--wait-attach), the monitor open, lingering after main returned,
    each far longer than the stuck-firmware limit (made short here)."""
    proc = master = slave = fd = None
    hold = 1.0
    env = dict(os.environ, TL500_SIM_STUCK_LIMIT_MS="200")
    try:
        proc, master, slave, before = start_on_terminal(
            sim, args=["--console", "pty", "--wait-attach", "--linger"], env=env)
        term = Stream(master, "tl500-sim's terminal")
        term.expect(b"held in reset until a program opens ", START_TIMEOUT, "the wait for a program")
        term.expect(b"\n", START_TIMEOUT, "the console path")
        path = term.data[:term.pos].rsplit(b"opens ", 1)[1].strip().decode()
        time.sleep(hold)
        fd = attach(path)
        con = Stream(fd, path)
        con.expect(MENU_END, START_TIMEOUT, "the menu after a late attach")
        os.write(master, QUIT_KEY)
        term.expect(b"monitor> ", STEP_TIMEOUT, "the monitor's prompt")
        time.sleep(5.5)  # past the default limit of 5 s as well
        os.write(master, b"continue\r")
        term.expect(b"[continuing at", STEP_TIMEOUT, "continue after a long look")
        os.write(fd, b"x")
        con.expect(b"x is selected\r\n\r\n", STEP_TIMEOUT, "key x after the monitor")
        term.expect(b"stays open until a signal", STEP_TIMEOUT, "lingering after main returned")
        time.sleep(hold)
        os.write(master, QUIT_KEY)
        status, _ = wait_exit(proc, EXIT_TIMEOUT, [term], "Ctrl-] while lingering")
        if b"stuck" in term.data:
            raise Failure("held time was taken for a stuck firmware:\n  %s" % show(term.data))
        check_status(status, "a run held for a person ends as usual", [term])
    finally:
        stop(proc)
        for f in (fd, master, slave):
            if f is not None:
                os.close(f)


# --- a script against a "real" board: a second tl500-sim on a pseudo-terminal ----------

def run_on_port(sim, tmp, name, text, verbose=False):
    """Runs `text` as a script with --port against a fresh tl500-sim serving
    the board on a pseudo-terminal; returns (status, stdout, stderr, board
    process)."""
    script = os.path.join(tmp, name)
    with open(script, "w") as f:
        f.write(text)
    board, board_err, path = start_pty_session(sim, ["--wait-attach"])
    board.board_err = board_err
    args = [sim, "--port", path, "--script", script] + (["-v"] if verbose else [])
    runner = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return runner.returncode, runner.stdout, runner.stderr, board


def case_real_board(sim):
    import tempfile
    menu = 'wait console "x> quit\\r\\n\\r\\n" within 5s\n'
    with tempfile.TemporaryDirectory() as tmp:
        boards = []
        try:
            # A passing script: the menu, key 0, the system information.
            status, out, err, board = run_on_port(
                sim, tmp, "pass.tlscript",
                menu + 'send console "0"\nwait console /SYSCLK_Frequency = \\d+/ within 2s\nprint "clock seen"\n'
                'expect console no "Error" for 200ms\n', verbose=True)
            boards.append(board)
            if status != 0 or b"clock seen" not in out or b"pass.tlscript:3: wait console" not in err:
                raise Failure("a passing script on --port: status %d\n  stdout %r\n  stderr %r" % (status, out, err))
            # A failing one names the line, the text and the last output, in wall-clock time.
            status, out, err, board = run_on_port(sim, tmp, "fail.tlscript",
                                                  menu + 'wait console "never" within 300ms\n')
            boards.append(board)
            if status != 1 or b"fail.tlscript:2: wait console \"never\" within 300ms" not in err or \
                    b"last console output" not in err:
                raise Failure("a failing script on --port: status %d\n  stderr %r" % (status, err))
            # A pin command is refused before anything is sent: the board,
            # held in reset until a program attaches, never starts.
            status, out, err, board = run_on_port(sim, tmp, "pins.tlscript",
                                                  menu + 'send console "1"\nwait pin LED1 low\n')
            boards.append(board)
            if status != 2 or b"pins.tlscript:3: wait pin LED1 low" not in err or b"nothing was sent" not in err:
                raise Failure("a pin command on --port: status %d\n  stderr %r" % (status, err))
            board_err = board.board_err
            board_err.drain(0.3)
            if b"held in reset" not in board_err.data or board.poll() is not None:
                raise Failure("the board should still wait for a program: %r" % board_err.data)
        finally:
            for b in boards:
                stop(b)


CASES = {
    "real-board": case_real_board,
    "monitor": case_monitor,
    "monitor-beside-pty": case_monitor_beside_pty,
    "pty-options": case_pty_options,
    "held-time": case_held_time,
    "pty-session": case_pty_session,
    "pty-sigterm": case_pty_sigterm,
    "terminal-session": case_terminal_session,
    "terminal-x": case_terminal_x,
    "terminal-hangup": case_terminal_hangup,
    "piped-keys": case_piped_keys,
}


if __name__ == "__main__":
    sys.exit(run_cases(CASES))
