#!/usr/bin/env python3
"""The test command's closing summary (tools/check_summary.sh) read from
ctest's and libFuzzer's own output: counts per stage, skipped tests apart,
and a failure counted even where the output says none.

    check_summary_test.py CHECK_SUMMARY_SH
"""

import subprocess
import sys
import tempfile

ALL_PASS_ONE_SKIPPED = """\
Test project /work/build/sim
    Start 1: ScriptPatterns.AWait
1/3 Test #1: ScriptPatterns.AWait ..............   Passed    0.30 sec
2/3 Test #2: image.stack ......................***Skipped   0.01 sec
3/3 Test #3: cli.help ..........................   Passed    0.20 sec

100% tests passed, 0 tests failed out of 3

Total Test time (real) =   0.52 sec

The following tests did not run:
\t  2 - image.stack (Skipped)
"""

TWO_FAILED = """\
1/5 Test #1: a ....   Passed    0.30 sec
2/5 Test #2: b ....***Failed    0.30 sec
3/5 Test #3: c ....***Timeout  60.00 sec
4/5 Test #4: d ....   Passed    0.30 sec
5/5 Test #5: e ....   Passed    0.30 sec

60% tests passed, 2 tests failed out of 5

Total Test time (real) =  61.00 sec

The following tests FAILED:
\t  2 - b (Failed)
\t  3 - c (Timeout)
Errors while running CTest
"""

FUZZ_DONE = """\
#1048576\tpulse  cov: 2345 ft: 6789 corp: 321/45Kb exec/s: 17000 rss: 512Mb
Done 1048577 runs in 61 second(s)
"""

FUZZ_CRASH = """\
==1234==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x602000000011
SUMMARY: AddressSanitizer: heap-buffer-overflow
"""


def run(script, function, text, *args):
    with tempfile.NamedTemporaryFile("w", suffix=".log") as log:
        log.write(text)
        log.flush()
        return subprocess.run(
            ["bash", "-c", f'source "$0"; {function} "$@"', script, log.name, *args],
            capture_output=True, text=True, check=True, timeout=30).stdout


def main():
    script = sys.argv[1]
    failures = []

    def expect(what, got, wanted):
        if got != wanted:
            failures.append(f"{what}: got {got!r}, expected {wanted!r}")

    expect("all passed, one skipped", run(script, "ctest_counts", ALL_PASS_ONE_SKIPPED, "0"), "2 0 1\n")
    expect("two failed", run(script, "ctest_counts", TWO_FAILED, "8"), "3 2 0\n")
    # ctest gave up before counting (a test binary that would not start): a
    # non-zero status is one failure, never "0 failed".
    expect("failed without counts", run(script, "ctest_counts", "Errors while running CTest\n", "8"), "0 1 0\n")
    expect("counted none failed but exit non-zero", run(script, "ctest_counts", ALL_PASS_ONE_SKIPPED, "8"),
           "1 1 1\n")
    expect("no tests at all", run(script, "ctest_counts", "No tests were found!!!\n", "0"), "0 0 0\n")
    expect("fuzzing ended normally", run(script, "fuzz_counts", FUZZ_DONE, "0"), "1 0 1048577 61\n")
    expect("fuzzing found a crash", run(script, "fuzz_counts", FUZZ_CRASH, "1"), "0 1 0 0\n")
    expect("fuzzer's output cut", run(script, "fuzz_counts", "", "0"), "0 1 0 0\n")

    line = subprocess.run(["bash", "-c", 'source "$0"; summary_line "host tests (sim)" 153 2 1 "41 s"', script],
                          capture_output=True, text=True, check=True, timeout=30).stdout
    expect("a stage's line", line, "host tests (sim)             153 passed, 2 failed, 1 skipped  (41 s)\n")
    line = subprocess.run(["bash", "-c", 'source "$0"; summary_line "fuzzing" 1 0 0 "10 runs in 1 s"', script],
                          capture_output=True, text=True, check=True, timeout=30).stdout
    expect("a stage without skipped tests", line, "fuzzing                      1 passed, 0 failed  (10 runs in 1 s)\n")

    if failures:
        print("FAIL:\n  " + "\n  ".join(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
