#!/bin/sh
# Speed of a timing-seed sweep: every scenario of tests/scenarios under the
# timing seeds A..B, run by `tl500-sim test` on all cores with the optimised
# tl500-sim of the bench preset. The figures are the runner's own last lines:
# scenario runs (one scenario under one seed) per second of wall time, and
# from them whole sweeps of the scenario set per second ("seeds per second").
#
#   bench/scenario_sweep.sh [A..B] [tl500-sim test options, e.g. --image FILE]
#                                  (default seeds 1..20)
set -eu
cd "$(dirname "$0")/.."
seeds=${1:-1..20}
[ $# -gt 0 ] && shift
cmake --preset bench >/dev/null
cmake --build --preset bench --target tl500-sim >/dev/null
scenarios=$(ls tests/scenarios/*.tlscript | wc -l)
status=0
out=$(build/bench/tl500-sim test tests/scenarios --seeds "$seeds" "$@") || status=$?
printf '%s\n' "$out" | tail -2
printf '%s\n' "$out" | awk -v n="$scenarios" '/scenario runs in .* per second$/ {
  printf "%s scenarios: %.3f seeds per second (every scenario under one seed)\n", n, $(NF-2) / n }'
exit $status
