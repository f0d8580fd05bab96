#!/usr/bin/env python3
"""A program on tl500-sim's ZigBee pseudo-terminal plays the peer in radio range.

    zigbee_pty_test.py TL500_SIM

The board runs a script that waits for a status reply to leave on USART3; the
test opens the pseudo-terminal whose path tl500-sim prints, sends the status
request 'S' as a peer would, and reads the three-byte reply. Every read has a
deadline and the child is killed on the way out.
"""

import os
import re
import select
import subprocess
import sys
import tempfile
import time

DEADLINE = 20.0


def main():
    sim = sys.argv[1]
    with tempfile.TemporaryDirectory() as workdir:
        script = os.path.join(workdir, "peer.tlscript")
        with open(script, "w") as f:
            f.write('wait console "x> quit\\r\\n\\r\\n"\nwait zigbee "\\x00\\x00\\x00" within 30s\nrun 2s\n')
        proc = subprocess.Popen([sim, "--script", script, "--zigbee", "pty"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            line = proc.stderr.readline().decode(errors="replace")
            m = re.match(r"zigbee: (/dev/\S+)", line)
            if not m:
                print("FAILED: no pseudo-terminal path; tl500-sim said %r" % line, file=sys.stderr)
                return 1
            fd = os.open(m.group(1), os.O_RDWR | os.O_NOCTTY)
            time.sleep(1.5)  # the run follows the wall clock: start-up is over by now
            os.write(fd, b"S")
            got = b""
            end = time.monotonic() + DEADLINE
            while len(got) < 3 and time.monotonic() < end:
                ready, _, _ = select.select([fd], [], [], 0.2)
                if ready:
                    got += os.read(fd, 16)
            os.close(fd)
            if got != b"\x00\x00\x00":
                print("FAILED: the peer read %r, expected the status reply 00 00 00" % got, file=sys.stderr)
                return 1
            status = proc.wait(timeout=DEADLINE)
            if status != 0:
                print("FAILED: tl500-sim ended with %d: %s" % (status, proc.stderr.read().decode()), file=sys.stderr)
                return 1
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
