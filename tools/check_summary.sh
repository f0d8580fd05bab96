# Counts for the test command's closing summary (sourced by tools/check.sh;
# tests/cli/check_summary_test.py feeds it sample outputs).
#
# A stage's line reads "host tests (sim)  153 passed, 0 failed, 2 skipped  (41 s)";
# the last line "N passed, N failed" adds them up, the fuzzer counting as one
# test. A stage that failed without saying how many (ctest stopped early, the
# fuzzer's output cut) counts as one failure, so the exit status and the last
# line never say all passed when something failed.

# ctest_counts LOG STATUS: "passed failed skipped" from ctest's output and exit status.
ctest_counts() {
  awk -v status="$2" '
    match($0, /[0-9]+ tests? failed out of [0-9]+/) {
      split(substr($0, RSTART, RLENGTH), w, " ")
      failed = w[1]; total = w[6]; counted = 1
    }
    /^The following tests did not run:/ { notRun = 1; next }
    notRun && /^[ \t]+[0-9]+ - .*\((Skipped|Disabled|Not Run)\)[ \t]*$/ { skipped++; next }
    notRun && !/^[ \t]+[0-9]+ - / { notRun = 0 }
    END {
      if (!counted) { total = 0; failed = 0 }
      if (status != 0 && failed == 0) { failed = 1; if (total == 0) total = 1 }
      passed = total - failed - skipped
      if (passed < 0) passed = 0
      printf "%d %d %d\n", passed, failed, skipped
    }' "$1"
}

# fuzz_counts LOG STATUS: "passed failed runs seconds": one test, passed when
# libFuzzer ended normally; the runs and time from its "Done N runs in S
# second(s)" line.
fuzz_counts() {
  awk -v status="$2" '
    match($0, /Done [0-9]+ runs in [0-9]+ second/) {
      split(substr($0, RSTART, RLENGTH), w, " ")
      runs = w[2]; seconds = w[5]
    }
    END {
      if (status == 0 && runs != "") printf "1 0 %d %d\n", runs, seconds
      else printf "0 1 %d %d\n", runs, seconds
    }' "$1"
}

# summary_line LABEL PASSED FAILED SKIPPED DETAIL: one stage's line.
summary_line() {
  local counts="$2 passed, $3 failed"
  if [ "$4" -ne 0 ]; then counts+=", $4 skipped"; fi
  printf '%-28s %s  (%s)\n' "$1" "$counts" "$5"
}
