#!/usr/bin/env python3
"""tl500-sim --timing-seed and --irq-log, run as a user runs them: the same
seed gives the same run byte for byte, other seeds other timings, the output
the firmware prints regardless of timing stays the same, and refused seeds
exit 2.

    timing_seed_test.py TL500_SIM CASE IMAGE

IMAGE is the board image of the target build; the image cases are skipped
when it is missing.
"""

import os
import re
import subprocess
import sys

TIMEOUT = 200

# Keys, ZigBee bytes, a blinking output on the TIM2 tick and sensor reads on
# I2C: every kind of interrupt the firmware takes, several at once.
BUSY = r'''wait console "x> quit\r\n\r\n" within 5s
send zigbee "2"
wait console "2 is received\r\n\r\n"
send console "3"
wait console "1> Get Data\r\n"
run 150ms
send console "1"
send zigbee "T"
wait console "Data Val: "
wait console "x> quit\r\n\r\n"
send console "x"
wait console "x> quit\r\n\r\n"
send console "4"
wait console "x> quit\r\n\r\n"
send console "1"
wait console "x> quit\r\n\r\n" within 2s
run 200ms
'''

SYSTEM_INFO = r'''wait console "x> quit\r\n\r\n" within 5s
send console "0"
wait console "PCLK2_Frequency  = 32000000\r\n\r\n"
wait console "x> quit\r\n\r\n"
run 100ms
'''

IRQ_LINE = re.compile(rb"^(\d+\.\d{9}) (enter|return) (\d+) (\w+)( tail-chained| into a tail-chain)?( late-arrival)?"
                      rb"( after (read|write) 0x[0-9A-F]{8} 0x[0-9A-F]+)?$")


from cli_support import Failure, Skipped, cases_named, run_cases  # noqa: E402


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(sim, *args):
    proc = subprocess.run([sim, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=TIMEOUT)
    return proc.returncode, proc.stdout, proc.stderr


def outputs(sim, tmp, name, script, extra):
    """Runs the script with every output on; returns them by name."""
    files = {k: os.path.join(tmp, "%s.%s" % (name, k)) for k in ("console", "zigbee", "i2c", "vcd", "irq")}
    code, _, err = run(sim, "--script", script, "--console-log", files["console"], "--zigbee-log", files["zigbee"],
                       "--i2c-log", files["i2c"], "--vcd", files["vcd"], "--irq-log", files["irq"], "--stats", *extra)
    if code != 0:
        raise Failure("%s: exit status %d\n%s" % (name, code, err.decode(errors="replace")[-3000:]))
    got = {k: read(p) for k, p in files.items()}
    m = re.search(rb"virtual time ([^\n,]+)", err)
    if not m:
        raise Failure("%s: no virtual time in --stats: %r" % (name, err[-1500:]))
    got["virtual time"] = m.group(1)
    return got


def irq_times(log):
    times = []
    for line in log.splitlines():
        m = IRQ_LINE.match(line)
        if not m:
            raise Failure("irq log line of an unknown form: %r" % line)
        times.append(m.group(1))
    return times


def same_seed_same_run(sim, tmp, extra):
    script = write(os.path.join(tmp, "busy.tlscript"), BUSY)
    first = outputs(sim, tmp, "a", script, ["--timing-seed", "4711", *extra])
    second = outputs(sim, tmp, "b", script, ["--timing-seed", "4711", *extra])
    for key in first:
        if first[key] != second[key]:
            raise Failure("seed 4711 twice: the %s differs" % key)
    for key in ("console", "irq", "i2c"):
        if not first[key]:
            raise Failure("seed 4711: the %s is empty" % key)
    # Other seeds: the interrupts fall at other times.
    nominal = outputs(sim, tmp, "n", script, extra)
    other = outputs(sim, tmp, "c", script, ["--timing-seed", "4712", *extra])
    times = irq_times(first["irq"])
    if irq_times(other["irq"]) == times or irq_times(nominal["irq"]) == times:
        raise Failure("seeds 4711, 4712 and no seed gave the same interrupt times")
    if first["virtual time"] == other["virtual time"] and first["i2c"] == other["i2c"]:
        raise Failure("seeds 4711 and 4712 ended at the same time with the same I2C log times")
    # The system information does not depend on timing.
    info = write(os.path.join(tmp, "info.tlscript"), SYSTEM_INFO)
    texts = {seed: outputs(sim, tmp, "info%s" % seed, info, (["--timing-seed", seed] if seed else []) + extra)["console"]
             for seed in ("", "1", "2", "18446744073709551615")}
    if len(set(texts.values())) != 1:
        raise Failure("the system information differs between seeds: %r" % texts)


def case_host_same_seed(sim, tmp, image):
    same_seed_same_run(sim, tmp, [])


def case_image_same_seed(sim, tmp, image):
    if not os.path.isfile(image):
        raise Skipped("no board image at %s" % image)
    same_seed_same_run(sim, tmp, ["--image", image])


# The PIR sensor holds its output high for 2 s by its own clock after motion
# ends; the board's clock counts that as 2 s scaled by the error of the
# oscillator driving SYSCLK: the crystal through the PLL (50 ppm at most), or
# MSI on a board without its crystal (3 % at most).
PIR_HOLD = r"""wait console "x> quit\r\n\r\n" within 5s
set pir.motion on
run 1ms
set pir.motion off
run 2100ms
"""


def vcd_edges(path, name):
    """(time in 10 ns units, level) of each change of the signal NAME."""
    code, edges, now = None, [], 0
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields[:1] == ["$var"] and fields[4] == name:
                code = fields[3]
            elif line.startswith("#"):
                now = int(line[1:])
            elif code and line.strip() in ("0" + code, "1" + code):
                edges.append((now, int(line[0])))
    return edges


def pir_hold_ns(sim, tmp, seed, extra):
    script = write(os.path.join(tmp, "pir.tlscript"), PIR_HOLD)
    vcd = os.path.join(tmp, "pir.vcd")
    args = ["--script", script, "--vcd", vcd, "--vcd-signals", "pir", "--vcd-timescale", "10ns", *extra]
    if seed is not None:
        args += ["--timing-seed", str(seed)]
    code, _, err = run(sim, *args)
    if code != 0:
        raise Failure("PIR hold, seed %s: exit status %d\n%s" % (seed, code, err.decode(errors="replace")[-2000:]))
    header = read(vcd).split(b"$enddefinitions")[0]
    names = re.findall(rb"\$var wire 1 \S+ (\S+) \$end", header)
    if len(names) != 1:
        raise Failure("PIR hold: expected the PIR line alone in the trace, got %r" % names)
    edges = [e for e in vcd_edges(vcd, names[0].decode()) if e[0] > 0]
    if [level for _, level in edges] != [1, 0]:
        raise Failure("PIR hold, seed %s: edges %r" % (seed, edges))
    # Motion lasted exactly 1 ms of the board's clock (the script's own time).
    return (edges[1][0] - edges[0][0]) * 10 - 1_000_000


def case_oscillator_accuracy(sim, tmp, image):
    two_seconds = 2_000_000_000
    if pir_hold_ns(sim, tmp, None, []) != two_seconds:
        raise Failure("without a seed the PIR line's hold is not exactly 2 s")
    for extra, limit_ns in (([], 100_000), (["--no-crystal"], 60_000_000)):
        holds = [pir_hold_ns(sim, tmp, seed, extra) for seed in (1, 2, 3)]
        if any(abs(hold - two_seconds) > limit_ns + 10 for hold in holds):
            raise Failure("%s: PIR holds %r ns outside 2 s +- %d ns" % (extra or "crystal", holds, limit_ns))
        if len(set(holds)) < 3:
            raise Failure("%s: seeds 1, 2 and 3 gave PIR holds %r, not three" % (extra or "crystal", holds))
        again = pir_hold_ns(sim, tmp, 2, extra)
        if again != holds[1]:
            raise Failure("%s: seed 2 twice gave PIR holds %d and %d ns" % (extra or "crystal", holds[1], again))
        if extra and max(abs(hold - two_seconds) for hold in holds) <= 100_000:
            raise Failure("on MSI every PIR hold %r is within a crystal's accuracy" % holds)


def case_refused_seeds(sim, tmp, image):
    script = write(os.path.join(tmp, "s.tlscript"), "run 1ms\n")
    for seed in ("-1", "18446744073709551616", "0x10", "1e3", " 5", "", "seven", "+3"):
        code, _, err = run(sim, "--script", script, "--timing-seed", seed)
        if code != 2 or b"0 to 18446744073709551615" not in err:
            raise Failure("--timing-seed %r: exit %d, %r" % (seed, code, err[-500:]))
    for seed in ("0", "18446744073709551615", "007"):
        code, _, err = run(sim, "--script", script, "--timing-seed", seed)
        if code != 0:
            raise Failure("--timing-seed %r refused: %r" % (seed, err[-500:]))


def case_irq_log(sim, tmp, image):
    script = write(os.path.join(tmp, "info.tlscript"), SYSTEM_INFO)
    log = os.path.join(tmp, "irq.log")
    code, _, err = run(sim, "--script", script, "--irq-log", log)
    if code != 0:
        raise Failure("irq log run: exit %d %r" % (code, err[-1000:]))
    lines = read(log).splitlines()
    depth, entries, seen = 0, 0, set()
    last = b"0"
    for line in lines:
        m = IRQ_LINE.match(line)
        if not m:
            raise Failure("irq log line of an unknown form: %r" % line)
        if float(m.group(1)) < float(last):
            raise Failure("irq log goes back in time at %r" % line)
        last = m.group(1)
        if m.group(2) == b"enter":
            depth += 1
            entries += 1
            seen.add(m.group(4))
            if not m.group(7):
                raise Failure("an entry without the interrupted code's last access: %r" % line)
        else:
            depth -= 1
        if depth < 0:
            raise Failure("a return without an entry: %r" % line)
    # SysTick every millisecond and the key's receive interrupt at least.
    if entries < 100 or b"SysTick" not in seen or b"USART1" not in seen:
        raise Failure("irq log: %d entries of %r" % (entries, sorted(seen)))
    code, _, err = run(sim, "--script", script, "--irq-log", "/dev/full")
    if code != 2 or b"irq log" not in err:
        raise Failure("irq log on /dev/full: exit %d %r" % (code, err[-500:]))
    code, _, err = run(sim, "--script", script, "--irq-log", script)
    if code != 2:
        raise Failure("irq log over the script: exit %d %r" % (code, err[-500:]))


if __name__ == "__main__":
    sys.exit(run_cases(cases_named(globals()), with_tmp=True))
