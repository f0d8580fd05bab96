#!/usr/bin/env python3
"""tl500-sim's scripted runs and options, run as a user runs them, with the
exit status and the messages checked: every failure must show in the exit
status, every refusal must come before anything is overwritten.

    scripted_runs_test.py TL500_SIM CASE

Every case works in its own temporary directory and has deadlines.
"""

import os
import signal
import subprocess
import sys
import time

import cli_support
from cli_support import MENU, Failure, expect, write

TIMEOUT = 120


def run(sim, *args, stdout=subprocess.PIPE, cwd=None):
    return cli_support.run(sim, *args, stdout=stdout, cwd=cwd, timeout=TIMEOUT)


# --- files that are not scripts, files that are the same ------------------------

def case_script_not_a_file(sim, tmp):
    expect(run(sim, "--script", tmp), 2, "is a directory", what="a directory as the script")
    expect(run(sim, "--script", "/dev/zero"), 2, "is not a regular file", what="/dev/zero as the script")
    big = os.path.join(tmp, "big.tlscript")
    with open(big, "wb") as f:
        f.truncate((16 << 20) + 1)
    expect(run(sim, "--script", big), 2, "larger than 16 MiB", what="a script over 16 MiB")
    expect(run(sim, "--script", os.path.join(tmp, "none")), 2, "cannot read", what="a missing script")


def case_outputs_never_overwrite_inputs(sim, tmp):
    script = write(os.path.join(tmp, "s.tlscript"), MENU)
    before = open(script, "rb").read()
    expect(run(sim, "--script", script, "--console-log", script), 2, "is the same file as the script",
           what="the console log named as the script")
    link = os.path.join(tmp, "link.tlscript")
    os.link(script, link)
    expect(run(sim, "--script", script, "--console-log", link), 2, "is the same file as the script",
           what="the console log as a hard link of the script")
    expected = write(os.path.join(tmp, "e.console"), "")
    expect(run(sim, "--script", script, "--expect-console", expected, "--console-log", expected), 2,
           "is the same file as the expected console", what="the console log over the expected transcript")
    expect(run(sim, "--script", script, "--vcd", script), 2, "the trace " + script + " is the same file as the script",
           what="the trace named as the script")
    shared = os.path.join(tmp, "out")
    expect(run(sim, "--script", script, "--console-log", shared, "--vcd", shared), 2,
           "is the same file as the console log", what="the trace over the console log")
    expect(run(sim, "--script", script, "--vcd", tmp), 2, "it is a directory", what="a directory as the trace")
    if open(script, "rb").read() != before:
        raise Failure("the script was changed by a refused run")
    # /dev/null twice is no clash.
    expect(run(sim, "--script", script, "--console-log", "/dev/null"), 0, what="the console log to /dev/null")


def case_failed_writes_fail_the_run(sim, tmp):
    script = write(os.path.join(tmp, "s.tlscript"), MENU)
    expect(run(sim, "--script", script, "--console-log", "/dev/full"), 2,
           "writing the console log /dev/full failed", what="a console log on a full device")
    with open("/dev/full", "wb") as full:
        expect(run(sim, "--script", script, "--console-log", "-", stdout=full), 2, "failed",
               what="the console log to a full standard output")
    printing = write(os.path.join(tmp, "p.tlscript"), 'print "hello"\n')
    with open("/dev/full", "wb") as full:
        expect(run(sim, "--script", printing, stdout=full), 2, "standard output failed",
               what="print to a full standard output")


# --- the script notation ----------------------------------------------------------

def case_durations_and_words(sim, tmp):
    s = write(os.path.join(tmp, "long.tlscript"), "run 1e9s\n")
    expect(run(sim, "--script", s), 2, "long.tlscript:1: '1e9s' is too long (at most 2932031s)",
           what="a duration beyond 2^63 quanta")
    expect(run(sim, "--max-time", "1e9s"), 2, "is too long (at most 2932031s)", what="--max-time too long")
    expect(run(sim, "--max-time", "soon"), 2, "--max-time takes a duration", what="--max-time not a duration")
    s = write(os.path.join(tmp, "nul.tlscript"), b"run 1s\x00garbage\n")
    expect(run(sim, "--script", s), 2, "nul.tlscript:1: '1s\\x00garbage' is not a duration",
           what="a NUL byte inside a duration")


def case_control_bytes_never_reach_the_terminal(sim, tmp):
    s = write(os.path.join(tmp, "esc.tlscript"), b"\x1b]0;owned\x07 1s\n\x1b[2J\n")
    code, _, err = run(sim, "--script", s)
    if code != 2 or b"\x1b" in err or b"\x07" in err:
        raise Failure("a script's control bytes must come back escaped, exit 2; got %d: %r" % (code, err))
    if b"\\x1b]0;owned\\x07" not in err:
        raise Failure("expected the word shown escaped: %r" % err)
    s = write(os.path.join(tmp, "word.tlscript"), "send console \"a\" " + "z" * 100000 + "\n")
    code, _, err = run(sim, "--script", s)
    if code != 2 or len(err) > 1000:
        raise Failure("a long word must be cut in the message; got %d bytes: %r" % (len(err), err[:300]))


def case_lone_cr_ends_lines(sim, tmp):
    text = MENU.replace("\n", "\r") + 'send console "0"\r' + 'wait console "never" within 1ms\r'
    s = write(os.path.join(tmp, "cr.tlscript"), text)
    expect(run(sim, "--script", s), 1, "cr.tlscript:3: wait console \"never\" within 1ms",
           what="a script with CR line ends")


# --- what a run says ----------------------------------------------------------------

def case_print_verbose_and_console_to_stdout(sim, tmp):
    s = write(os.path.join(tmp, "p.tlscript"), MENU + 'print "menu is up"\n')
    code, out, err = run(sim, "--script", s, "-v", "--console-log", "-")
    expect((code, out, err), 0, "p.tlscript:1: wait console", "p.tlscript:2: print \"menu is up\"",
           "passed; the run ended at", what="a verbose run")
    if b"IoT Tamberlux TL500 Test ... " not in out:
        raise Failure("--console-log - must put the console on standard output: %r" % out[:300])
    if b" s  menu is up\n" not in out:
        raise Failure("print must write its text with the virtual time: %r" % out[-300:])
    code, out, err = run(sim, "--script", s)
    if code != 0 or err:
        raise Failure("a quiet passing run says nothing on standard error: %d %r" % (code, err))


def case_lost_send_is_reported(sim, tmp):
    s = write(os.path.join(tmp, "lost.tlscript"), 'send console "ab"\nwait console "0 is selected" within 1s\n')
    expect(run(sim, "--script", s), 1, "2 bytes sent at 0.000 s were lost: USART1 receiver off",
           what="keys sent before the console port is up")
    # Bytes lost one after another make one report, however many sends they came from.
    s = write(os.path.join(tmp, "lost2.tlscript"),
              'send console "ab"\nrun 500us\nsend console "c"\nwait console "0 is selected" within 1s\n')
    code, _, err = run(sim, "--script", s)
    if code != 1 or b"3 bytes sent from 0.000 s to 0.001 s were lost: USART1 receiver off" not in err \
            or err.count(b"USART1 receiver off") != 1:
        raise Failure("lost keys from two sends must be one report: %d %r" % (code, err))


def case_expect_console(sim, tmp):
    s = write(os.path.join(tmp, "m.tlscript"), MENU)
    log = os.path.join(tmp, "m.log")
    expect(run(sim, "--script", s, "--console-log", log), 0, what="the run that makes the transcript")
    data = open(log, "rb").read()
    # The banner's date and time as placeholders.
    banner = data.split(b"\r\n", 1)[0]
    prefix = b"IoT Tamberlux TL500 Test ... "
    if not banner.startswith(prefix):
        raise Failure("unexpected banner %r" % banner)
    date, time = banner[len(prefix):len(prefix) + 11], banner[len(prefix) + 12:]
    templ = data.replace(date, b"@BUILD_DATE@", 1).replace(time, b"@BUILD_TIME@", 1)
    good = write(os.path.join(tmp, "good.console"), templ)
    expect(run(sim, "--script", s, "--expect-console", good), 0, what="the console as expected")
    bad = write(os.path.join(tmp, "bad.console"), templ.replace(b"SYSCLK", b"SYSCLX"))
    expect(run(sim, "--script", s, "--expect-console", bad), 1, "bad.console: the console output differs at byte",
           "SYSCL|X", "SYSCL|K", what="a console that differs")
    short = write(os.path.join(tmp, "short.console"), templ[:100])
    expect(run(sim, "--script", s, "--expect-console", short), 1, "goes on after the expected end at byte 95 (line 3, column 16)",
           what="a console with more than expected")


def case_options(sim, tmp):
    code, out, _ = run(sim, "--version")
    if code != 0 or not out.startswith(b"tl500-sim ") or b"firmware built" not in out:
        raise Failure("--version: %d %r" % (code, out))
    expect(run(sim, "--frobnicate"), 2, "--frobnicate", "--help", what="an unknown option")
    expect(run(sim, "--script"), 2, what="an option without its value")
    expect(run(sim, "--console", "serial"), 2, "--console takes terminal, pty or pty:PATH", what="a console mode")
    s = write(os.path.join(tmp, "s.tlscript"), MENU)
    expect(run(sim, "--script", s, "--console", "pty"), 2, "cannot be combined", what="--script with --console pty")
    expect(run(sim, "--wait-attach"), 2, "needs --console pty", what="--wait-attach without a pseudo-terminal")
    expect(run(sim, "--port", "/dev/null"), 2, "--port needs --script", what="--port without a script")
    expect(run(sim, "--port", "/dev/null", "--script", s, "--set", "DIP1=low"), 2, "--port takes only",
           what="--port with a virtual board's option")
    expect(run(sim, "--port", "/dev/null", "--script", s, "--zigbee", "loopback"), 2, "--port takes only",
           what="--port with an option a part of the virtual board adds")
    expect(run(sim, "--zigbee", "carrier-pigeon"), 2, "--zigbee", what="a ZigBee mode that does not exist")
    expect(run(sim, "--vcd-signals", "leds"), 2, "--vcd-signals", what="--vcd-signals without --vcd")
    expect(run(sim, "--vcd-timescale", "1ns"), 2, "--vcd-timescale", what="--vcd-timescale without --vcd")
    trace = os.path.join(tmp, "t.vcd")
    expect(run(sim, "--script", s, "--vcd", trace, "--vcd-timescale", "3ns"), 2, "no time unit '3ns'",
           what="a time unit a trace cannot have")
    expect(run(sim, "--script", s, "--vcd", trace, "--vcd-timescale", "1us"), 0, what="a trace in microseconds")
    with open(trace, "rb") as f:
        if b"$timescale 1us $end" not in f.read(4096):
            raise Failure("--vcd-timescale 1us: the trace's header does not say 1us")
    expect(run(sim, "--gdb", "0"), 2, "--gdb", what="--gdb without --image")
    expect(run(sim, "--script", s, "--stats"), 0, "tl500-sim: stats: virtual time ", what="--stats without --image")
    expect(run(sim, "--port", "/dev/null", "--script", s), 2, "/dev/null is not a serial port",
           what="--port on something that is not a serial port")
    code, out, _ = run(sim, "--help")
    for text in (b"wait pin PIN high|low [within D]", b"expect pin PIN toggles N", b"DIP1", b"--expect-console",
                 b"128+N", b"fault i2c ADDRESS KIND", b"set NAME VALUE", b"--zigbee MODE", b"--i2c-log FILE",
                 b"zigbee (USART3"):
        if text not in out:
            raise Failure("--help lacks %r" % text)


def case_set_at_power_on(sim, tmp):
    # A closed DIP switch holds its line low against the pull-up the firmware sets.
    s = write(os.path.join(tmp, "dip.tlscript"), MENU + "expect pin DIP1 low\nexpect pin DIP2 high\n")
    expect(run(sim, "--script", s, "--set", "DIP1=low"), 0, what="--set DIP1=low")
    expect(run(sim, "--script", s), 1, "expected pin PB12 (DIP1) low; it is high", what="DIP1 left open")
    expect(run(sim, "--script", s, "--set", "nothing"), 2, "--set takes NAME=VALUE", what="--set without a value")
    expect(run(sim, "--script", s, "--set", "DIP1=sideways"), 2, "expected high, low or float",
           what="--set with a wrong level")


def case_zigbee_notice(sim, tmp):
    # The module in transparent mode sends nothing of its own: a failing run's
    # message names no ZigBee bytes lost before USART3 was on.
    s = write(os.path.join(tmp, "fail.tlscript"), MENU + 'wait console "never printed" within 10ms\n')
    code, _, err = run(sim, "--script", s)
    if code != 1 or b"never printed" not in err or b"USART3" in err:
        raise Failure("a silent ZigBee module loses nothing: %d %r" % (code, err))
    # A module asked to announce itself does, before the firmware listens; the
    # notice is the module's own, not a send of the script's, so its loss
    # neither fails the run nor is counted against it.
    ok = write(os.path.join(tmp, "ok.tlscript"), MENU + "run 10ms\n")
    for notice in ("READY\\r\\n", "\\x41\\x42"):
        expect(run(sim, "--script", ok, "--zigbee-notice", notice), 0, what="a module with the notice %r" % notice)
    for bad, text in (("A\\q", "unknown escape"), ("A\\x4", "two hex digits"), ("A\\", "lone"),
                      ("", "empty notice"), ("x" * 257, "at most 256 bytes")):
        expect(run(sim, "--script", s, "--zigbee-notice", bad), 2, "--zigbee-notice", text,
               what="the notice %r" % bad[:20])


def case_sends_the_board_never_received(sim, tmp):
    # The last line sends: the script is over before the first byte is on the line.
    s = write(os.path.join(tmp, "last.tlscript"), MENU + 'send console "1234567890"\n')
    expect(run(sim, "--script", s), 1, "10 bytes sent at ", "were lost: the run ended before they reached USART1",
           "'expect lost console'", what="a send on the last line")
    s = write(os.path.join(tmp, "said.tlscript"), MENU + 'expect lost console\nsend console "1234567890"\n')
    expect(run(sim, "--script", s), 0, what="a loss the script expects")
    s = write(os.path.join(tmp, "off.tlscript"), 'send console "ab"\nrun 1s\n')
    expect(run(sim, "--script", s), 1, "2 bytes sent at 0.000 s were lost: USART1 receiver off",
           what="keys sent before the console port is up, in a script that passes otherwise")
    # A peer's bytes before the firmware has set USART3 up.
    s = write(os.path.join(tmp, "zb.tlscript"), 'send zigbee "abc"\nrun 10ms\n')
    expect(run(sim, "--script", s), 1, "3 bytes sent at 0.000 s were lost: USART3 receiver off",
           "'expect lost zigbee'", what="peer bytes the board's USART3 never heard")


def case_keys_cut_off_by_max_time(sim, tmp):
    proc = subprocess.run([sim, "--max-time", "200ms"], input=b"0" * 200000, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=TIMEOUT)
    expect((proc.returncode, proc.stdout, proc.stderr), 1, "the run ended before every piped key reached the board",
           what="piped keys --max-time cut off")


def case_refused_options(sim, tmp):
    s = write(os.path.join(tmp, "s.tlscript"), MENU)
    for seed in ("-1", "18446744073709551616", str(2 ** 70), "1.5", "0x1g"):
        expect(run(sim, "--seed=" + seed, "--script", s), 2, "--seed", what="--seed " + seed)
    expect(run(sim, "--seed", "18446744073709551615", "--script", s), 0, what="the largest seed")
    expect(run(sim, "--script", ""), 2, "--script needs a file name", what="an empty script name")
    expect(run(sim, "--image", "", "--script", s), 2, "--image needs a file name", what="an empty image name")
    other = write(os.path.join(tmp, "t.tlscript"), "run 1ms\n")
    expect(run(sim, "--script", s, "--script", other), 2, "--script", what="two scripts")
    expect(run(sim, "--image", s, "--image", other, "--script", s), 2, "--image", what="two images")
    expect(run(sim, "--set", "PIR=high", "--script", s), 4, "short circuit on PH2", what="a short at power-on")


def case_same_output_by_any_name(sim, tmp):
    s = write(os.path.join(tmp, "s.tlscript"), MENU)
    out = os.path.join(tmp, "out")
    with open(out, "wb") as f:
        expect(run(sim, "--script", s, "--console-log", "-", "--vcd", "/dev/stdout", stdout=f), 2,
               "is the same file as the console log", what="--vcd /dev/stdout beside --console-log -")
    proc = subprocess.Popen([sim, "--script", s, "--vcd", "/dev/stdout", "--console-log", "-"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    got, err = proc.communicate(timeout=TIMEOUT)
    expect((proc.returncode, got, err), 2, "is the same file as the console log -",
           what="both outputs on one pipe")
    expect(run(sim, "--script", s, "--console-log", "/dev/null", "--vcd", "/dev/null"), 0,
           what="/dev/null for both")


def case_pty_link_not_ours(sim, tmp):
    precious = write(os.path.join(tmp, "precious"), "keep me")
    link = os.path.join(tmp, "console")
    os.symlink(precious, link)
    expect(run(sim, "--console", "pty:" + link), 2, "not one tl500-sim made", what="a link to a user's file")
    if os.readlink(link) != precious or open(precious).read() != "keep me":
        raise Failure("a refused --console pty:PATH changed the link or its file")


def start_long_run(sim, tmp, *args):
    s = write(os.path.join(tmp, "long.tlscript"), MENU + "run 2000000s\n")
    return subprocess.Popen([sim, "--script", s, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def wait_for_file(path, text):
    for _ in range(600):
        if os.path.exists(path) and text in open(path, "rb").read():
            return
        time.sleep(0.05)
    raise Failure("%s never held %r" % (path, text))


def case_signals_end_scripted_runs(sim, tmp):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        log, vcd = os.path.join(tmp, sig.name + ".log"), os.path.join(tmp, sig.name + ".vcd")
        proc = start_long_run(sim, tmp, "--console-log", log, "--vcd", vcd, "--vcd-signals", "leds,console")
        wait_for_file(log, b"x> quit")
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=TIMEOUT)
        expect((proc.returncode, out, err), 128 + sig, "ended by signal", " at ", what="a scripted run and " + sig.name)
        data = open(vcd, "rb").read()
        if b"$enddefinitions" not in data or not data.rstrip().split(b"\n")[-1].startswith(b"#"):
            raise Failure("the trace of a run ended by %s is not complete: ..%r" % (sig.name, data[-200:]))
        # The run covers hours of virtual time in a second: idle stretches over
        # 100 us (1000 samples of the trace's 100 ns) are shortened on import.
        check = subprocess.run(["sigrok-cli", "-I", "vcd:compress=1000", "-i", vcd, "-P",
                                "uart:tx=PA9_CONSOLE_TX:baudrate=115200:format=ascii", "-A", "uart=tx-data"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
        if check.returncode != 0 or b"q" not in check.stdout:
            raise Failure("sigrok-cli cannot read the trace of a run ended by %s: %r" % (sig.name, check.stderr))
        if b"x> quit" not in open(log, "rb").read():
            raise Failure("the console log lost its end")
    # A reader of the console log that goes away.
    # Enough console output that writes go on after the reader has gone.
    again = 'send console "0"\nwait console "x> quit\\r\\n\\r\\n" within 5s\n'
    s = write(os.path.join(tmp, "long2.tlscript"), MENU + again * 300 + "run 2000000s\n")
    proc = subprocess.Popen([sim, "--script", s, "--console-log", "-"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(10)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=TIMEOUT)
    expect((proc.returncode, b"", err), 128 + signal.SIGPIPE, "ended by signal", what="standard output closed")


def case_messages(sim, tmp):
    s = write(os.path.join(tmp, "extra.tlscript"), 'send console "a" "b"\n')
    code, _, err = run(sim, "--script", s)
    if code != 2 or b'unexpected text "b" after the command' not in err:
        raise Failure("a second text: %d %r" % (code, err))
    s = write(os.path.join(tmp, "pir.tlscript"), "set pir.motion maybe\n")
    expect(run(sim, "--script", s), 2, "(range on|off)", what="an on/off value")
    s = write(os.path.join(tmp, "big.tlscript"), "set htu21.temperature 1e400\n")
    expect(run(sim, "--script", s), 2, "'1e400' is too large", what="a number past the largest double")
    s = write(os.path.join(tmp, "ten.tlscript"), 'wait console "' + "x" * (10 << 20) + '" within 1ms\n')
    code, _, err = run(sim, "--script", s)
    if code != 1 or len(err) > 4000 or b"(10485760 bytes)" not in err:
        raise Failure("a 10 MB expected text must be shown cut: %d, %d bytes: %r" % (code, len(err), err[:600]))


CASES = {
    "script-not-a-file": case_script_not_a_file,
    "outputs-never-overwrite-inputs": case_outputs_never_overwrite_inputs,
    "failed-writes-fail-the-run": case_failed_writes_fail_the_run,
    "durations-and-words": case_durations_and_words,
    "control-bytes": case_control_bytes_never_reach_the_terminal,
    "lone-cr": case_lone_cr_ends_lines,
    "print-verbose-stdout": case_print_verbose_and_console_to_stdout,
    "lost-send": case_lost_send_is_reported,
    "expect-console": case_expect_console,
    "options": case_options,
    "set-at-power-on": case_set_at_power_on,
    "zigbee-notice": case_zigbee_notice,
    "unreceived-sends": case_sends_the_board_never_received,
    "keys-cut-off": case_keys_cut_off_by_max_time,
    "refused-options": case_refused_options,
    "same-output": case_same_output_by_any_name,
    "pty-link": case_pty_link_not_ours,
    "signals": case_signals_end_scripted_runs,
    "messages": case_messages,
}


if __name__ == "__main__":
    sys.exit(cli_support.run_cases(CASES, with_tmp=True))
