#!/usr/bin/env bash
# Builds everything and runs every test: the firmware on the virtual board with
# its unit and scenario tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the board image with its checks. Then the
# script parser's fuzzer, built with clang's libFuzzer, for a bounded time
# (TL500_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/check_summary.sh
tools/install-deps.sh

# A build failure stops the run at once (set -e); a test failure in one stage
# lets the later stages run, is counted in the summary, and fails the run.
summary=()
total_passed=0
total_failed=0
add_stage() {  # LABEL PASSED FAILED SKIPPED DETAIL
  summary+=("$(summary_line "$@")")
  total_passed=$((total_passed + $2))
  total_failed=$((total_failed + $3))
}
mkdir -p build

# The board image first: the host presets run the scenarios against it too.
for stage in "target:image checks" "sim:host tests" "sim-asan:sanitizer tests"; do
  preset=${stage%%:*}
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  log=build/check-$preset.log
  start=$SECONDS
  status=0
  ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
  read -r passed failed skipped < <(ctest_counts "$log" "$status")
  add_stage "${stage#*:} ($preset)" "$passed" "$failed" "$skipped" "$((SECONDS - start)) s"
done

echo "=== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/corpus
cp tests/scenarios/*.tlscript tests/cli/scenarios/*.tlscript build/fuzz/corpus/
log=build/check-fuzz.log
status=0
build/fuzz/tests/fuzz/script_parser_fuzz -max_total_time="${TL500_FUZZ_SECONDS:-60}" \
  -max_len=4096 build/fuzz/corpus 2>&1 | tee "$log" || status=$?
read -r passed failed runs seconds < <(fuzz_counts "$log" "$status")
add_stage "fuzzing (script parser)" "$passed" "$failed" 0 "$runs runs in $seconds s"

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
