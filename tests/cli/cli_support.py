"""What the command-line tests share: running tl500-sim with a deadline,
checking its exit status and messages, and writing the files a case needs.

A result is (exit status, standard output, standard error), as bytes, or as
text when asked for with text=True.
"""

import subprocess

# The main menu as a script waits for it.
MENU = 'wait console "x> quit\\r\\n\\r\\n" within 5s\n'


class Failure(Exception):
    pass


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
