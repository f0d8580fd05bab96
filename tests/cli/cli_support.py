"""What the command-line tests share: running tl500-sim with a deadline,
checking its exit status and messages, and writing the files a case needs.

A result is (exit status, standard output, standard error), as bytes, or as
text when asked for with text=True.

A test script's main is `sys.exit(run_cases(CASES))`: `SCRIPT TL500_SIM CASE
[ARG...]` runs one case and says "ok CASE", "FAIL CASE: why" or, for a case
that cannot run here, "SKIPPED: why" (exit status 77, which ctest takes for a
skip).
"""

import os
import subprocess
import sys
import tempfile

# The exit status ctest counts as a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77

# The main menu as a script waits for it.
MENU = 'wait console "x> quit\\r\\n\\r\\n" within 5s\n'


class Failure(Exception):
    pass


class Skipped(Exception):
    """A case that cannot run on this machine (no board image, no tool)."""


def run(sim, *args, stdout=subprocess.PIPE, cwd=None, timeout=120, text=False):
    """tl500-sim ARGS with no standard input; stdout=None leaves it with the caller's."""
    proc = subprocess.run([sim, *args], stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=timeout, cwd=cwd)
    out = proc.stdout if proc.stdout is not None else b""
    if text:
        return proc.returncode, out.decode(errors="replace"), proc.stderr.decode(errors="replace")
    return proc.returncode, out, proc.stderr


def expect(result, status, *texts, what):
    """The run ended with STATUS and said each of TEXTS on standard error."""
    code, out, err = result
    if code != status:
        raise Failure("%s: expected exit status %d, got %d\n  stdout: %s\n  stderr: %s"
                      % (what, status, code, shown(out[-3000:]), shown(err[-2000:])))
    for text in texts:
        needle = text.encode() if isinstance(err, bytes) else text
        if needle not in err:
            raise Failure("%s: expected %r on standard error\n  stderr: %s" % (what, text, shown(err[-3000:])))


def shown(data):
    return repr(data) if isinstance(data, bytes) else data


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return path


def cases_named(namespace):
    """The case_* functions of a test script's namespace (its globals()), by
    the name ctest gives them: case_pty_session is "pty-session"."""
    return {name[len("case_"):].replace("_", "-"): fn for name, fn in namespace.items()
            if name.startswith("case_") and callable(fn)}


def run_cases(cases, argv=None, with_tmp=False):
    """The main of a test script: argv is SCRIPT TL500_SIM CASE [ARG...].

    Runs cases[CASE](sim, ARG...), with a fresh folder after sim when with_tmp
    is set (removed afterwards). Returns the exit status: 0 passed, 1 a
    Failure (named on standard error), 2 no such case, 77 Skipped. Anything
    else escapes with its traceback: a broken test must not look like a
    failing board."""
    argv = sys.argv if argv is None else argv
    if len(argv) < 3 or argv[2] not in cases:
        sys.stderr.write("usage: %s TL500_SIM {%s} [ARG...]\n" % (argv[0], "|".join(cases)))
        return 2
    sim, case, extra = os.path.abspath(argv[1]), argv[2], argv[3:]
    try:
        if with_tmp:
            with tempfile.TemporaryDirectory(prefix="tl500-%s-" % case) as tmp:
                cases[case](sim, tmp, *extra)
        else:
            cases[case](sim, *extra)
    except Failure as failure:
        sys.stderr.write("FAIL %s: %s\n" % (case, failure))
        return 1
    except Skipped as skipped:
        print("SKIPPED: %s" % skipped)
        return SKIPPED
    print("ok %s" % case)
    return 0
