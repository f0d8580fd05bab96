#!/usr/bin/env python3
"""tl500-sim --web as a browser sees it, spoken to with plain HTTP on 127.0.0.1.

    web_server_test.py TL500_SIM CASE

CASE is one of:
  serve      the page and its files, the board's description from the sensor
             table, the banner and state as server-sent events, the console
             replayed to a page opened later
  refusals   a foreign Host or Origin (403 on every route), paths outside the
             page's files (404), malformed commands (400): the run goes on and
             the refusals are counted at the end
  commands   the page acts through the board's commands: a value out of range
             refused with the monitor's message, a DIP switch closed, pause
             holding virtual time and continue releasing it, speed
  closed     a page closed in the middle of the stream: the run goes on and a
             signal still ends it cleanly
  short      driving an LED's line from the page is a short: exit status 4
  options    --web with --script, and --web-address without --web, are usage errors
  module-missing
             the server's module missing or not the server: --web is refused
             (status 2) naming the file and why, before the board starts;
             runs without --web do not need the module

Every wait has a deadline; the child is killed on the way out.
"""

import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "cli"))
from cli_support import Failure, cases_named, run_cases  # noqa: E402

START_TIMEOUT = 15.0
STEP_TIMEOUT = 10.0


class Run:
    """tl500-sim --web 0 with piped (empty) keys; its address read from standard error."""

    def __init__(self, sim, extra=(), env=None):
        self.proc = subprocess.Popen([sim, "--web", "0", *extra], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     env=None if env is None else {**os.environ, **env})
        os.set_blocking(self.proc.stderr.fileno(), False)
        self.err = b""
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            self.read_err()
            m = re.search(rb"http://127\.0\.0\.1:(\d+)/\n", self.err)
            if m:
                self.port = int(m.group(1))
                self.host = "127.0.0.1:%d" % self.port
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise Failure("no address printed: %r" % self.err)

    def read_err(self):
        try:
            chunk = self.proc.stderr.read()
        except (BlockingIOError, ValueError):
            chunk = None
        if chunk:
            self.err += chunk

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=STEP_TIMEOUT)
        conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        sent = {"Host": self.host}
        sent.update(headers or {})
        for name, value in sent.items():
            if value is not None:
                conn.putheader(name, value)
        data = body.encode("latin-1") if isinstance(body, str) else body
        if method == "POST":
            conn.putheader("Content-Length", str(len(data or b"")))
        conn.endheaders(data)
        response = conn.getresponse()
        result = response.status, response.read()
        conn.close()
        return result

    def command(self, line, expect_status=200):
        status, body = self.request("POST", "/command", line)
        if status != expect_status:
            raise Failure("%r: expected %d, got %d %r" % (line, expect_status, status, body))
        return body.decode()

    def events(self):
        return EventStream(self.port, self.host)

    def end(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("the run did not end on a signal")
        os.set_blocking(self.proc.stderr.fileno(), True)
        self.err += self.proc.stderr.read()
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class EventStream:
    """GET /events read raw, so a test can also close it half-way."""

    def __init__(self, port, host):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        self.sock.sendall(("GET /events HTTP/1.1\r\nHost: %s\r\nAccept: text/event-stream\r\n\r\n" % host).encode())
        self.data = b""

    def until(self, pattern, what, timeout=STEP_TIMEOUT, found=None):
        found = found or (lambda: re.search(pattern, self.data))
        deadline = time.monotonic() + timeout
        while not found():
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("%s: not seen in the events: %r" % (what, self.data[-1500:]))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise Failure("%s: the event stream ended: %r" % (what, self.data[-1500:]))
            self.data += chunk
        return found()

    def states(self):
        return [json.loads(m) for m in re.findall(rb"event: state\r?\ndata: (\{[^\n]*\})\r?\n", self.data)]

    def next_state(self, what):
        count = len(self.states())
        self.until(None, what, found=lambda: len(self.states()) > count)
        return self.states()[-1]

    def close(self):
        self.sock.close()


def case_serve(sim):
    run = Run(sim)
    try:
        status, page = run.request("GET", "/")
        if status != 200 or b"<title>TL500 virtual board</title>" not in page:
            raise Failure("GET / is the page: %d %r" % (status, page[:200]))
        for path, marker in (("/page.js", b"EventSource"), ("/page.css", b"#board"), ("/xterm.js", b"Terminal"),
                             ("/xterm.css", b".xterm")):
            status, body = run.request("GET", path)
            if status != 200 or marker not in body:
                raise Failure("GET %s: %d, %d bytes; the terminal must be built in (npm at build time)"
                              % (path, status, len(body)))
        status, body = run.request("GET", "/board")
        board = json.loads(body)
        if not board["terminal"]:
            raise Failure("the page's terminal was not built in")
        helptext = subprocess.run([sim, "--help"], capture_output=True, text=True, check=True).stdout
        for sensor in board["sensors"]:
            row = "%s %s" % (sensor["name"], sensor["unit"])
            if not re.search(r"\n  %s +%s +" % (re.escape(sensor["name"]), re.escape(sensor["unit"])), helptext):
                raise Failure("sensor %r is not as --help lists it" % row)
        if "bh17.lux" not in [s["name"] for s in board["sensors"]]:
            raise Failure("the light sensor is missing from /board: %r" % board["sensors"])
        first = run.events()
        first.until(rb"x> quit\\u000d\\u000a", "the menu on the console")
        state = first.next_state("a state")
        for key in ("time", "speed", "ratio", "paused", "leds", "outputs", "pins", "panel"):
            if key not in state:
                raise Failure("the state lacks %r: %r" % (key, state))
        if state["speed"] != "realtime" or state["pins"]["DIP1"] != "high":
            raise Failure("at power-on: real time, DIP1 open (high): %r" % state)
        if state["panel"].split(" | ")[0] != "LED1 dark LED2 dark LED3 dark":
            raise Failure("the panel line in the state: %r" % state["panel"])
        first.close()
        # A page opened later sees the console from the start.
        second = run.events()
        second.until(rb"IoT Tamberlux TL500 Test \.\.\. .*x> quit", "the console replayed to a second page")
        second.close()
        status = run.end()
        if status != 128 + signal.SIGTERM:
            raise Failure("SIGTERM ends the run with 143, got %d: %r" % (status, run.err))
    finally:
        run.kill()


def case_refusals(sim):
    run = Run(sim)
    try:
        for path in ("/", "/board", "/events", "/xterm.js"):
            for headers in ({"Host": "evil.example:%d" % run.port}, {"Host": "localhost:%d" % run.port},
                            {"Host": None}, {"Origin": "http://evil.example"},
                            {"Origin": "http://127.0.0.1:%d" % (run.port + 1)}):
                status, _ = run.request("GET", path, headers=headers)
                if status != 403:
                    raise Failure("GET %s with %r: expected 403, got %d" % (path, headers, status))
        status, body = run.request("POST", "/command", "set pin DIP1 low", {"Origin": "http://evil.example"})
        if status != 403:
            raise Failure("a command from a foreign origin: expected 403, got %d" % status)
        status, _ = run.request("POST", "/command", "set pin DIP1 low", {"Origin": "http://" + run.host})
        if status != 200:
            raise Failure("a command from the page's own origin: expected 200, got %d" % status)
        for path in ("/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/etc/passwd", "//etc/passwd",
                     "/sim/web/page.js", "/index.html/..", "/nope"):
            status, body = run.request("GET", path)
            if status != 404 or b"root:" in body:
                raise Failure("GET %s: expected 404, got %d %r" % (path, status, body[:100]))
        for body in ("", "set pin DIP1 low\nquit", "x" * 201, "set pin DIP1 \x01low", b"\xff\xfe"):
            status, _ = run.request("POST", "/command", body)
            if status != 400:
                raise Failure("a malformed command %r: expected 400, got %d" % (body, status))
        for body in (b"", b"k" * 257):
            status, _ = run.request("POST", "/console", body)
            if status != 400:
                raise Failure("console bytes %r...: expected 400, got %d" % (body[:8], status))
        # The run goes on.
        run.command("set pin DIP2 low")
        status = run.end()
        if status != 128 + signal.SIGTERM or b"web: " not in run.err or b"request(s) refused" not in run.err:
            raise Failure("the run ends by the signal, naming the refused requests: %d %r" % (status, run.err))
    finally:
        run.kill()


def case_commands(sim):
    # The stuck-firmware limit made shorter than the pause below: time held
    # from the page is no stuck firmware.
    run = Run(sim, env={"TL500_SIM_STUCK_LIMIT_MS": "300"})
    try:
        events = run.events()
        events.until(rb"x> quit", "the menu")
        answer = run.command("set htu21.temperature 999", 422)
        monitor = "htu21.temperature: 999 is out of range (range -40..125 degC)"
        if monitor not in answer:
            raise Failure("an out-of-range value is refused as the monitor refuses it: %r" % answer)
        run.command("set pin NOPE low", 422)
        run.command("wait console \"x\"", 422)
        run.command("set pin DIP1 low")
        deadline = time.monotonic() + STEP_TIMEOUT
        while events.next_state("DIP1 closed")["pins"]["DIP1"] != "low":
            if time.monotonic() > deadline:
                raise Failure("DIP1 closed from the page never read low")
        run.command("set pin DIP1 float")
        status, body = run.request("POST", "/pause", "")
        if status != 200 or b"paused at" not in body:
            raise Failure("pause: %d %r" % (status, body))
        held = events.next_state("paused")
        if not held["paused"] or held["speed"] != "paused":
            raise Failure("the state says paused: %r" % held)
        time.sleep(1.0)
        # Commands still act while paused; time does not move.
        run.command("set pin DIP1 low")
        after = events.next_state("paused, DIP1 closed")
        if after["time"] != held["time"]:
            raise Failure("virtual time moved while paused: %r then %r" % (held["time"], after["time"]))
        status, body = run.request("POST", "/continue", "")
        if status != 200:
            raise Failure("continue: %d %r" % (status, body))
        moved = events.next_state("after continue")
        while moved["time"] == held["time"]:
            moved = events.next_state("time moving again")
        run.command("speed 100")
        state = events.next_state("speed 100")
        while state["speed"] != "x100":
            state = events.next_state("speed 100")
        run.command("speed 0", 422)
        # Keys and the ZigBee peer: the menu's key 0 and the module's line.
        status, _ = run.request("POST", "/console", b"0")
        if status != 200:
            raise Failure("a key from the page: %d" % status)
        events.until(rb"0 is selected", "key 0 from the page")
        events.close()
        run.end()
    finally:
        run.kill()


def case_closed(sim):
    run = Run(sim)
    try:
        events = run.events()
        events.until(rb"event: state", "a first state")
        events.sock.shutdown(socket.SHUT_RDWR)
        events.close()
        # Half a request, then gone.
        sock = socket.create_connection(("127.0.0.1", run.port), timeout=STEP_TIMEOUT)
        sock.sendall(b"GET /events HTTP/1.1\r\nHost: ")
        sock.close()
        time.sleep(1.5)
        if run.proc.poll() is not None:
            raise Failure("the run ended when a page closed: %r" % run.err)
        run.command("set pin DIP1 low")
        again = run.events()
        again.until(rb"x> quit", "the console for a page opened again")
        again.close()
        status = run.end(signal.SIGINT)
        if status != 128 + signal.SIGINT:
            raise Failure("SIGINT ends the run with 130, got %d: %r" % (status, run.err))
    finally:
        run.kill()


def case_short(sim):
    run = Run(sim)
    try:
        events = run.events()
        events.until(rb"x> quit", "the menu")
        status, body = run.request("POST", "/command", "set pin LED1 low")
        try:
            status = run.proc.wait(timeout=STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("a short from the page did not end the run")
        run.read_err()
        os.set_blocking(run.proc.stderr.fileno(), True)
        run.err += run.proc.stderr.read()
        if status != 4 or b"LED1" not in run.err and b"PC7" not in run.err:
            raise Failure("a short from the page ends the run with 4 naming the pin: %d %r" % (status, run.err))
    finally:
        run.kill()


def case_refusals_in_the_exit_status(sim):
    # A run ended by its time limit passes; the same run with a request the
    # server refused does not, and says how many.
    for refuse, expected in ((False, 0), (True, 1)):
        run = Run(sim, extra=["--max-time", "2s"])
        try:
            if refuse:
                status, _ = run.request("POST", "/console", b"0", headers={"Origin": "http://evil.example"})
                if status != 403:
                    raise Failure("a foreign Origin: %d" % status)
            try:
                code = run.proc.wait(timeout=STEP_TIMEOUT)
            except subprocess.TimeoutExpired:
                raise Failure("--max-time did not end the live run")
            os.set_blocking(run.proc.stderr.fileno(), True)
            run.err += run.proc.stderr.read()
            if code != expected or refuse != (b"1 request(s) refused" in run.err):
                raise Failure("refused=%s: exit %d, expected %d: %r" % (refuse, code, expected, run.err))
        finally:
            run.kill()


def case_peer_in_reset(sim):
    # The page plays the ZigBee peer while the module is held in reset from
    # the page: the bytes are dropped, and the live run says so at its end.
    run = Run(sim)
    try:
        events = run.events()
        events.until(rb"x> quit", "the menu")
        status, _ = run.request("POST", "/console", b"Z")
        if status != 200:
            raise Failure("key Z from the page: %d" % status)
        events.until(rb"ZigBee_Reset_Pin_Open", "the board letting go of the module's reset")
        events.close()
        run.command("set pin PA8 low")
        status, body = run.request("POST", "/peer", b"ABC")
        if status != 200:
            raise Failure("bytes as the peer: %d %r" % (status, body))
        time.sleep(0.5)
        code = run.end()
        # Ended by SIGTERM: 143 speaks for the run; the loss is named all the same.
        if code != 143 or b"3 byte(s) the ZigBee peer sent were lost: the ZigBee module was in reset" not in run.err:
            raise Failure("dropped peer bytes must be named at the live run's end: %d %r" % (code, run.err))
    finally:
        run.kill()


def case_options(sim):
    for args, needle in ((["--web", "0", "--script", "/dev/null"], b"--script"),
                         (["--web-address", "0.0.0.0"], b"--web"),
                         (["--web", "70000"], b"--web")):
        proc = subprocess.run([sim, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if proc.returncode != 2 or needle not in proc.stderr:
            raise Failure("%r: expected a usage error naming %r, got %d %r" % (args, needle, proc.returncode,
                                                                               proc.stderr))


def case_module_missing(sim):
    here = os.path.dirname(os.path.abspath(__file__))
    for module, why in ((os.path.join(here, "no-such-module.so"), b"cannot open shared object file"),
                        (os.path.abspath(__file__), b"")):
        env = {**os.environ, "TL500_SIM_WEB_MODULE": module}
        proc = subprocess.run([sim, "--web", "0"], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              timeout=30)
        if (proc.returncode != 2 or b"tl500-sim: --web: " not in proc.stderr or module.encode() not in proc.stderr
                or why not in proc.stderr or b"the board's page" in proc.stderr or proc.stdout):
            raise Failure("--web with %s as the module: expected status 2 naming it before the board starts, "
                          "got %d %r %r" % (module, proc.returncode, proc.stderr, proc.stdout[:200]))
        # The module is opened for --web only: a scripted run goes on without it.
        with tempfile.NamedTemporaryFile(suffix=".tlscript") as script:
            script.write(b'wait console "x> quit" within 5s\n')
            script.flush()
            proc = subprocess.run([sim, "--script", script.name], stdin=subprocess.DEVNULL, capture_output=True,
                                  env=env, timeout=30)
        if proc.returncode != 0:
            raise Failure("a run without --web needs no module: %d %r" % (proc.returncode, proc.stderr))


if __name__ == "__main__":
    sys.exit(run_cases(cases_named(globals())))
