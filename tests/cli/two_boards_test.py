#!/usr/bin/env python3
"""Two tl500-sim processes whose ZigBee modules are linked over TCP on 127.0.0.1.

    two_boards_test.py TL500_SIM CASE

CASE is one of:
  remote-control  board A's transmit test sends '1' and 'S'; board B's PA4 goes
                  high and A shows B's status reply (the board scripts check it)
  repeatable      the same two-board run five times: console and ZigBee logs of
                  both boards are byte-identical from run to run
  stop-listener   killing the listening board ends the other's link with a
                  message and a failing exit status, not a hang
  stop-connector  the same with the connecting board killed
  held-peer       a board that stops answering for longer than the other's
                  --zigbee-peer-wait: the other ends with a link message, the
                  held one goes on alone when let go

Board A listens on a port the system picks and prints it; board B connects to
it. Every wait has a deadline and every child is killed on the way out.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "two_boards")
START_TIMEOUT = 20.0
RUN_TIMEOUT = 120.0
EXIT_TIMEOUT = 20.0


from cli_support import Failure  # noqa: E402


def start_pair(sim, script_a, script_b, workdir, tag, env=None, args_b=()):
    """Starts A listening and B connecting; returns both processes and their log paths."""
    logs = {side: (os.path.join(workdir, "%s-%s.console" % (tag, side)),
                   os.path.join(workdir, "%s-%s.zigbee" % (tag, side))) for side in "ab"}
    a = subprocess.Popen([sim, "--script", script_a, "--zigbee", "tcp-listen:0",
                          "--console-log", logs["a"][0], "--zigbee-log", logs["a"][1]],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    port = None
    deadline = time.monotonic() + START_TIMEOUT
    first_lines = b""
    while port is None and time.monotonic() < deadline:
        line = a.stderr.readline()
        if not line:
            break
        first_lines += line
        m = re.match(rb"zigbee: listening on 127\.0\.0\.1:(\d+)", line)
        if m:
            port = int(m.group(1))
    if port is None:
        a.kill()
        raise Failure("board A did not say where it listens; it wrote %r" % first_lines)
    b = subprocess.Popen([sim, "--script", script_b, "--zigbee", "tcp:127.0.0.1:%d" % port,
                          "--console-log", logs["b"][0], "--zigbee-log", logs["b"][1], *args_b],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    return a, b, logs


def finish(proc, timeout, name):
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise Failure("%s did not end within %.0f s (a hang)" % (name, timeout))
    return proc.returncode, err.decode(errors="replace")


def run_pair(sim, workdir, tag):
    a, b, logs = start_pair(sim, os.path.join(SCRIPTS, "board_a.tlscript"),
                            os.path.join(SCRIPTS, "board_b.tlscript"), workdir, tag)
    try:
        status_a, err_a = finish(a, RUN_TIMEOUT, "board A")
        status_b, err_b = finish(b, RUN_TIMEOUT, "board B")
    finally:
        for p in (a, b):
            if p.poll() is None:
                p.kill()
    if status_a != 0 or status_b != 0:
        raise Failure("exit statuses A %d, B %d\n--- A:\n%s\n--- B:\n%s" % (status_a, status_b, err_a, err_b))
    out = {name: open(path, "rb").read() for side in "ab" for name, path in
           (("%s console" % side, logs[side][0]), ("%s zigbee" % side, logs[side][1]))}
    out["b stderr"] = err_b.encode()
    return out


def case_remote_control(sim, workdir):
    logs = run_pair(sim, workdir, "once")
    if b"0x01 is received\r\n\r\n" not in logs["a console"]:
        raise Failure("board A never showed B's status reply")
    if logs["b zigbee"] != b"\x01\x00\x00":
        raise Failure("board B sent %r, expected its one status reply" % logs["b zigbee"])
    # A's script ends first; B is told and goes on alone to the end of its own.
    if b"the linked board's run ended" not in logs["b stderr"]:
        raise Failure("board B never said that A's run ended: %r" % logs["b stderr"])


def case_repeatable(sim, workdir):
    first = run_pair(sim, workdir, "run1")
    for n in range(2, 6):
        again = run_pair(sim, workdir, "run%d" % n)
        for name in first:
            if name.endswith("stderr"):
                continue
            if again[name] != first[name]:
                raise Failure("run %d: the %s log differs from run 1's (%d bytes vs %d)"
                              % (n, name, len(again[name]), len(first[name])))


def case_stop(sim, workdir, victim):
    long_script = os.path.join(workdir, "long.tlscript")
    with open(long_script, "w") as f:
        f.write('wait console "x> quit\\r\\n\\r\\n"\nrun 10min\n')
    a, b, _ = start_pair(sim, long_script, long_script, workdir, "stop")
    procs = {"a": a, "b": b}
    try:
        time.sleep(1.5)  # both are linked and running by now
        for name, p in procs.items():
            if p.poll() is not None:
                raise Failure("board %s ended early: %s" % (name, p.stderr.read().decode(errors="replace")))
        procs[victim].send_signal(signal.SIGKILL)
        survivor = "b" if victim == "a" else "a"
        status, err = finish(procs[survivor], EXIT_TIMEOUT, "the surviving board")
        if status != 1 or "zigbee link broke" not in err:
            raise Failure("the surviving board ended with %d and said:\n%s" % (status, err))
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
            p.communicate()


def case_held_peer(sim, workdir):
    """Board A stops answering (as when held at a breakpoint or in the monitor)
    for longer than B's --zigbee-peer-wait and than the stuck-firmware limit
    (made short here): B ends with a link message naming the wait, never
    "stuck"; A, let go, goes on alone to the end of its script."""
    for args, said in ((["--zigbee-peer-wait", "0s", "--zigbee", "tcp:127.0.0.1:1"], "from 1ms to 24h"),
                       (["--zigbee-peer-wait", "5s"], "needs --zigbee tcp")):
        run = subprocess.run([sim, *args, "--max-time", "1ms"], capture_output=True, timeout=EXIT_TIMEOUT,
                             stdin=subprocess.DEVNULL)
        if run.returncode != 2 or said.encode() not in run.stderr:
            raise Failure("%s: exit %d, %r; expected exit 2 saying %r" % (args, run.returncode, run.stderr, said))
    script = os.path.join(workdir, "held.tlscript")
    with open(script, "w") as f:
        f.write('wait console "x> quit\\r\\n\\r\\n"\nrun 30s\n')
    env = dict(os.environ, TL500_SIM_STUCK_LIMIT_MS="200")
    a, b, _ = start_pair(sim, script, script, workdir, "held", env=env, args_b=["--zigbee-peer-wait", "1s"])
    try:
        time.sleep(1.5)  # both are linked and running by now
        for name, p in (("a", a), ("b", b)):
            if p.poll() is not None:
                raise Failure("board %s ended early: %s" % (name, p.stderr.read().decode(errors="replace")))
        a.send_signal(signal.SIGSTOP)
        try:
            status_b, err_b = finish(b, EXIT_TIMEOUT, "board B, its peer silent")
        finally:
            a.send_signal(signal.SIGCONT)
        if status_b != 1 or "said nothing for 1 s" not in err_b or "stuck" in err_b:
            raise Failure("board B, its peer silent, ended with %d and said:\n%s" % (status_b, err_b))
        status_a, err_a = finish(a, RUN_TIMEOUT, "board A, let go")
        if status_a != 0 or "the linked board's run ended" not in err_a:
            raise Failure("board A, let go, ended with %d and said:\n%s" % (status_a, err_a))
    finally:
        for p in (a, b):
            if p.poll() is None:
                p.send_signal(signal.SIGCONT)
                p.kill()
            p.communicate()


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    sim, case = sys.argv[1], sys.argv[2]
    cases = {
        "remote-control": case_remote_control,
        "repeatable": case_repeatable,
        "stop-listener": lambda s, w: case_stop(s, w, "a"),
        "stop-connector": lambda s, w: case_stop(s, w, "b"),
        "held-peer": case_held_peer,
    }
    if case not in cases:
        print("unknown case %s" % case, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as workdir:
        try:
            cases[case](sim, workdir)
        except Failure as e:
            print("FAILED: %s" % e, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
