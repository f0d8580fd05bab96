#!/usr/bin/env bash
# Builds everything and runs every test: the firmware on the virtual board with
# its unit and scenario tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the board image with its checks. Then the
# script parser's fuzzer, built with clang's libFuzzer, for a bounded time
# (TL500_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

# The board image first: the host presets run the scenarios against it too.
for preset in target sim sim-asan; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "=== fuzz"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTL500_FUZZ=ON >/dev/null
cmake --build build/fuzz --target script_parser_fuzz
mkdir -p build/fuzz/corpus
cp tests/scenarios/*.tlscript build/fuzz/corpus/
build/fuzz/tests/fuzz/script_parser_fuzz -max_total_time="${TL500_FUZZ_SECONDS:-60}" \
  -max_len=4096 build/fuzz/corpus
