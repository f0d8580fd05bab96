#!/usr/bin/env python3
"""tl500-sim test, the scenario runner, run as a user and a CI job run it:
counts and exit status, JUnit XML read by a real XML parser, shards that
split a sweep without overlap or gap, the reproduce command of a failure,
the same results whatever the number of jobs.

    scenario_runner_test.py TL500_SIM CASE
    scenario_runner_test.py TL500_SIM image TL500_ELF

Every case works in its own temporary directory and has deadlines.
"""

import os
import re
import shlex
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import cli_support
from cli_support import MENU, Failure, expect, write

TIMEOUT = 240


def run(sim, *args, cwd=None):
    """tl500-sim test ARGS, its output as text."""
    return cli_support.run(sim, "test", *args, cwd=cwd, timeout=TIMEOUT, text=True)


def expect_status(result, status, what):
    expect(result, status, what=what)


def closing_line(result):
    lines = result[1].rstrip("\n").split("\n")
    return lines[-1] if lines else ""


def scenarios(folder, **named):
    os.makedirs(folder, exist_ok=True)
    for name, text in named.items():
        write(os.path.join(folder, name + ".tlscript"), text)
    return folder


def junit_cases(path):
    root = ElementTree.parse(path).getroot()
    cases = {}
    for case in root.iter("testcase"):
        failure = case.find("failure")
        cases[case.get("name")] = None if failure is None else (failure.get("message"), failure.text or "")
    return root, cases


# A scenario that passes, one whose wait fails, one that expects that failure,
# and one whose console differs from its transcript.
def standard_set(folder):
    scenarios(folder,
              passes=MENU + 'send console "0"\nwait console "SYSCLK_Frequency = 32000000\\r\\n"\n',
              wait_fails=MENU + 'wait console "no such text" within 50ms\n',
              expects_failure="# exit: 1\n" + MENU + 'wait console "no such text" within 50ms\n',
              console_differs=MENU + 'run 10ms\n')
    write(os.path.join(folder, "console_differs.console"), "not what the board says\r\n")
    return folder


# --- counts, exit status, the header ----------------------------------------------

def case_counts_and_status(sim, tmp):
    folder = standard_set(os.path.join(tmp, "set"))
    result = run(sim, folder)
    expect_status(result, 1, "a selection with failing scenarios")
    if closing_line(result) != "2 passed, 2 failed":
        raise Failure("closing line %r, expected '2 passed, 2 failed'\n%s" % (closing_line(result), result[1]))
    for name in ("wait_fails", "console_differs"):
        if "FAIL %s (scenario)" % name not in result[1]:
            raise Failure("the failure of %s is not reported:\n%s" % (name, result[1]))
    if "the console output differs at byte 0" not in result[1]:
        raise Failure("the console difference is not shown:\n%s" % result[1])

    only = [os.path.join(folder, "passes.tlscript"), os.path.join(folder, "expects_failure.tlscript")]
    result = run(sim, *only)
    expect_status(result, 0, "passing scenarios")
    if closing_line(result) != "2 passed, 0 failed":
        raise Failure("closing line %r for two passing scenarios" % closing_line(result))
    # The same file named twice runs once.
    result = run(sim, only[0], only[0], folder + "/../set/passes.tlscript")
    if closing_line(result) != "1 passed, 0 failed":
        raise Failure("a scenario named three times: %r" % closing_line(result))

    # Header lines: arguments with quotes, texts on standard error, a broken header.
    hdr = scenarios(os.path.join(tmp, "header"),
                    quoted="# args: --set 'DIP1=low' --max-time \"2s\"\n# exit: 1\n" +
                           "# stderr-once: the time limit of 2.000000 s reached\n" +
                           MENU + 'expect pin DIP1 low\nrun 10s\n',
                    missing_text="# stderr: a text never printed\n" + MENU,
                    open_quote="# args: --set 'DIP1=low\n" + MENU,
                    bad_exit="# exit: one\n" + MENU)
    result = run(sim, hdr)
    expect_status(result, 1, "scenarios with headers")
    out = result[1]
    for text in ('standard error lacks "a text never printed"', "leaves a quote open",
                 "names no exit status from 0 to 255"):
        if text not in out:
            raise Failure("expected %r in the report:\n%s" % (text, out))
    if "FAIL quoted" in out or closing_line(result) != "1 passed, 3 failed":
        raise Failure("the header with quoted arguments and a text seen once should pass:\n%s" % out)

    # Usage errors: nothing to run, or a selection that does not exist.
    empty = os.path.join(tmp, "empty")
    os.makedirs(empty)
    write(os.path.join(empty, "notes.txt"), "no scenario")
    for args, text in (([os.path.join(tmp, "none")], "no such file or folder"),
                       ([empty], "no scenario files"),
                       ([], "name the scenario files"),
                       ([folder, "--seeds", "5..2"], "--seeds takes"),
                       ([folder, "--seeds", "0..9999999999999999999", "--shard", "1/1000000"], "sweep in parts"),
                       ([folder, "--shard", "4/3"], "--shard takes"),
                       ([folder, "-j", "0"], "--jobs takes"),
                       ([folder, "--image", os.path.join(tmp, "none.elf")], "no board image at"),
                       ([folder, "--frobnicate"], "frobnicate")):
        result = run(sim, *args)
        expect_status(result, 2, "tl500-sim test %s" % " ".join(args))
        if text not in result[2]:
            raise Failure("tl500-sim test %s: expected %r on standard error, got %r" % (args, text, result[2]))
    # Two scenarios of one name in two folders cannot be told apart in a report.
    other = scenarios(os.path.join(tmp, "other"), passes=MENU)
    result = run(sim, folder, other)
    expect_status(result, 2, "two scenarios of the same name")


def case_timeout(sim, tmp):
    folder = scenarios(tmp, endless=MENU + "run 2000000s\n", quick=MENU)
    result = run(sim, folder, "--timeout", "1", "-j2")
    expect_status(result, 1, "a run over its time limit")
    if "still running after 1 s of wall time: killed" not in result[1] or closing_line(result) != "1 passed, 1 failed":
        raise Failure("the run over its limit is not reported as such:\n%s" % result[1])


# --- JUnit XML -----------------------------------------------------------------------

def case_junit(sim, tmp):
    folder = standard_set(os.path.join(tmp, "set"))
    # Output that XML cannot carry as it is: markup, quotes, control bytes, broken UTF-8.
    scenarios(folder, odd_output=MENU + 'print "<tag> & \\"quoted\\" \'single\' \\x01\\x1b[1m \\xff\\xfe é"\n' +
              'wait console "never" within 10ms\n')
    junit = os.path.join(tmp, "results.xml")
    result = run(sim, folder, "--junit", junit)
    expect_status(result, 1, "the run that writes JUnit XML")
    root, cases = junit_cases(junit)
    if root.tag != "testsuites" or root.get("tests") != "5" or root.get("failures") != "3":
        raise Failure("testsuites says tests=%s failures=%s" % (root.get("tests"), root.get("failures")))
    suite = root.find("testsuite")
    if suite is None or suite.get("name") != "scenario" or suite.get("tests") != "5":
        raise Failure("no testsuite of the five scenarios")
    if sorted(cases) != ["console_differs", "expects_failure", "odd_output", "passes", "wait_fails"]:
        raise Failure("testcases %s" % sorted(cases))
    if cases["passes"] is not None or cases["expects_failure"] is not None:
        raise Failure("passing scenarios carry a failure")
    message, text = cases["odd_output"]
    if "exit status 1, expected exit status 0" not in message:
        raise Failure("failure message %r" % message)
    if "<tag> & \"quoted\" 'single' \\x01\\x1B[1m \\xFF\\xFE é" not in text:
        raise Failure("the run's output is not in the failure, escaped: %r" % text)
    command = re.search(r"reproduce: (.*)", text)
    if command is None or "--script" not in command.group(1) or "odd_output.tlscript" not in command.group(1):
        raise Failure("no reproduce command in the failure: %r" % text)
    # The file is written even when no scenario fails.
    passing = os.path.join(tmp, "passing.xml")
    expect_status(run(sim, os.path.join(folder, "passes.tlscript"), "--junit", passing), 0, "one passing scenario")
    root, cases = junit_cases(passing)
    if root.get("failures") != "0" or list(cases) != ["passes"]:
        raise Failure("JUnit of one passing scenario: %s" % cases)
    # A JUnit file that cannot be written is refused before anything runs.
    result = run(sim, folder, "--junit", os.path.join(tmp, "no-such-folder", "r.xml"))
    expect_status(result, 2, "a JUnit file in a missing folder")


# --- the reproduce command -----------------------------------------------------------

def reproduce_commands(out):
    return [line.split("reproduce: ", 1)[1] for line in out.split("\n") if "reproduce: " in line]


def case_reproduce(sim, tmp):
    folder = standard_set(os.path.join(tmp, "with space"))
    result = run(sim, folder, "--work-dir", os.path.join(tmp, "work dir"))
    commands = reproduce_commands(result[1])
    if len(commands) != 2:
        raise Failure("expected two reproduce commands:\n%s" % result[1])
    for command in commands:
        words = shlex.split(command)
        if words[0] != os.path.realpath(sim) or "--script" not in words:
            raise Failure("the reproduce command is not a plain tl500-sim command: %s" % command)
        # Pasted into a shell anywhere, it fails the same way.
        proc = subprocess.run(command, shell=True, cwd="/", stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIMEOUT)
        if proc.returncode != 1:
            raise Failure("%s\n  exits %d, the failing run exited 1\n  %s" % (command, proc.returncode,
                                                                            proc.stderr.decode(errors="replace")))
        if "console_differs" in command and b"the console output differs at byte 0" not in proc.stderr:
            raise Failure("the reproduced run does not show the console difference: %r" % proc.stderr)
    if "the failed runs' files are kept in " + os.path.join(tmp, "work dir") not in result[1]:
        raise Failure("the work folder of the failed runs is not named:\n%s" % result[1])
    # A passing run's files are gone, a failing run's kept.
    left = sorted(os.listdir(os.path.join(tmp, "work dir")))
    if any(name.startswith("passes.") for name in left) or "wait_fails.stderr" not in left:
        raise Failure("files left in the work folder: %s" % left)


def case_seeds(sim, tmp):
    """Runs under timing seeds: one testcase per scenario and seed, and a
    failure names its seed and reproduces alone with it."""
    folder = standard_set(os.path.join(tmp, "set"))
    junit = os.path.join(tmp, "seeds.xml")
    result = run(sim, folder, "--seeds", "7..9", "--junit", junit)
    expect_status(result, 1, "a sweep with failing scenarios")
    if closing_line(result) != "6 passed, 6 failed":
        raise Failure("closing line %r for 4 scenarios under 3 seeds\n%s" % (closing_line(result), result[1][-3000:]))
    _, cases = junit_cases(junit)
    expected = sorted("%s seed %d" % (name, seed) for name in ("passes", "wait_fails", "expects_failure",
                                                               "console_differs") for seed in (7, 8, 9))
    if sorted(cases) != expected:
        raise Failure("testcases %s" % sorted(cases))
    if "FAIL wait_fails seed 8 (scenario)" not in result[1]:
        raise Failure("the failure does not name the seed:\n%s" % result[1])
    for command in reproduce_commands(result[1]):
        seed = re.search(r"--timing-seed (\d+)$", command)
        if seed is None:
            raise Failure("the reproduce command does not end with its seed: %s" % command)
        proc = subprocess.run(command, shell=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        if proc.returncode != 1:
            raise Failure("%s exits %d, not 1: %s" % (command, proc.returncode, proc.stderr[-2000:]))


# --- shards and jobs -----------------------------------------------------------------

def case_shards(sim, tmp):
    folder = standard_set(os.path.join(tmp, "set"))
    scenarios(folder, **{"more_%d" % i: MENU for i in range(6)})

    def names(*args):
        junit = os.path.join(tmp, "shard.xml")
        result = run(sim, *args, "--junit", junit)
        if result[0] not in (0, 1):
            raise Failure("tl500-sim test %s exits %d: %s" % (args, result[0], result[2]))
        return set(junit_cases(junit)[1])

    for extra in ([], ["--seeds", "1..5"]):
        everything = names(folder, *extra)
        if len(everything) != 10 * (5 if extra else 1):
            raise Failure("%d cases without shards" % len(everything))
        slices = [names(folder, "--shard", "%d/3" % k, *extra) for k in (1, 2, 3)]
        for i in range(3):
            for j in range(i + 1, 3):
                if slices[i] & slices[j]:
                    raise Failure("shards %d and %d share %s" % (i + 1, j + 1, sorted(slices[i] & slices[j])))
        if set().union(*slices) != everything:
            raise Failure("the shards miss %s" % sorted(everything - set().union(*slices)))
        if sum(1 for s in slices if s) < 2:
            raise Failure("all cases land in one shard: %s" % [sorted(s) for s in slices])
        # Stable: a scenario and seed stay in their shard when less is selected.
        subset = [os.path.join(folder, "passes.tlscript"), os.path.join(folder, "more_3.tlscript")]
        for k in (1, 2, 3):
            alone = names(*subset, "--shard", "%d/3" % k, *extra)
            wanted = {name for name in slices[k - 1] if name.split(" ")[0] in ("passes", "more_3")}
            if alone != wanted:
                raise Failure("shard %d/3 of a smaller selection holds %s, the whole selection's %s" %
                              (k, sorted(alone), sorted(wanted)))
    # A shard that holds nothing of a small selection passes.
    counts = [closing_line(run(sim, os.path.join(folder, "passes.tlscript"), "--shard", "%d/2" % k)) for k in (1, 2)]
    if sorted(counts) != ["0 passed, 0 failed", "1 passed, 0 failed"]:
        raise Failure("two shards of one scenario: %s" % counts)


def case_jobs(sim, tmp):
    folder = standard_set(os.path.join(tmp, "set"))
    scenarios(folder, **{"more_%d" % i: MENU + 'send console "%d"\nrun 200ms\n' % (i % 3) for i in range(6)})
    outcomes = []
    for jobs in ("1", "2"):
        junit = os.path.join(tmp, "j%s.xml" % jobs)
        result = run(sim, folder, "-j", jobs, "--junit", junit)
        _, cases = junit_cases(junit)
        failed_list = result[1].split("failed:\n", 1)[1].split("the failed runs")[0] if "failed:\n" in result[1] else ""
        outcomes.append((result[0], closing_line(result), failed_list,
                         {name: None if f is None else f[0] for name, f in cases.items()}))
    if outcomes[0] != outcomes[1]:
        raise Failure("-j1 and -j2 differ:\n%s\n%s" % outcomes)
    if outcomes[0][1] != "8 passed, 2 failed":
        raise Failure("closing line %r" % outcomes[0][1])


def case_compare_poll_skipping(sim, tmp):
    folder = scenarios(tmp, menu=MENU + 'send console "0"\nwait console "SYSCLK_Frequency = 32000000\\r\\n"\n')
    result = run(sim, folder, "--compare-poll-skipping", "--keep-logs", "--work-dir", os.path.join(tmp, "work"))
    expect_status(result, 0, "a scenario with and without poll skipping")
    left = sorted(os.listdir(os.path.join(tmp, "work")))
    for name in ("menu.skip.vcd", "menu.no-skip.vcd", "menu.skip.i2c.log", "menu.no-skip.console.log"):
        if name not in left:
            raise Failure("%s missing among the kept files %s" % (name, left))


def case_image(sim, tmp, image):
    """The board image: the console against the image's own build date, the
    stack's high-water mark against the stack and the static estimate."""
    if not os.path.isfile(image):
        raise cli_support.Skipped("no board image at %s" % image)
    folder = scenarios(os.path.join(tmp, "set"), banner=MENU, differs=MENU)
    # The banner with the date placeholders, then the menu up to its prompt.
    proc = subprocess.run([sim, "--image", image, "--script", os.path.join(folder, "banner.tlscript"),
                           "--console-log", os.path.join(tmp, "banner.log")], capture_output=True, timeout=TIMEOUT)
    banner = open(os.path.join(tmp, "banner.log"), "rb").read()
    stamp = re.search(rb"([A-Z][a-z]{2} [ 0-9]\d \d{4}) (\d\d:\d\d:\d\d)", banner)
    if proc.returncode != 0 or stamp is None:
        raise Failure("the image's banner shows no build date: %r" % banner[:200])
    write(os.path.join(folder, "banner.console"),
          banner.replace(stamp.group(1), b"@BUILD_DATE@").replace(stamp.group(2), b"@BUILD_TIME@"))
    write(os.path.join(folder, "differs.console"), banner.replace(b"SYSCLK", b"SYSCLX"))
    report = write(os.path.join(tmp, "stack_usage.md"), "Worst case: **4000 bytes**\n")
    result = run(sim, folder, "--image", image, "--stack-report", report)
    if closing_line(result) != "1 passed, 1 failed" or "FAIL differs (image)" not in result[1]:
        raise Failure("the image runs:\n%s" % result[1])
    commands = reproduce_commands(result[1])
    proc = subprocess.run(commands[0], shell=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
    if proc.returncode != 1 or b"differs at byte" not in proc.stderr:
        raise Failure("the image run's reproduce command exits %d: %r" % (proc.returncode, proc.stderr[-2000:]))
    # A static estimate below what the stack really reached is no upper bound.
    write(report, "Worst case: **16 bytes**\n")
    result = run(sim, os.path.join(folder, "banner.tlscript"), "--image", image, "--stack-report", report)
    expect_status(result, 1, "a high-water mark over the static estimate")
    if "beats the static estimate of 16 bytes" not in result[1]:
        raise Failure("the estimate's bound is not checked:\n%s" % result[1])


CASES = {
    "counts-and-status": case_counts_and_status,
    "timeout": case_timeout,
    "junit": case_junit,
    "reproduce": case_reproduce,
    "seeds": case_seeds,
    "shards": case_shards,
    "jobs": case_jobs,
    "compare-poll-skipping": case_compare_poll_skipping,
    "image": case_image,  # the board image's path follows the case's name
}


if __name__ == "__main__":
    sys.exit(cli_support.run_cases(CASES, with_tmp=True))
