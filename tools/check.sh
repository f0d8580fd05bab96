#!/usr/bin/env bash
# Builds everything and runs every test: the firmware on the virtual board with
# its unit and scenario tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the board image with its checks.
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
