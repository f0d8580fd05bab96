#!/bin/sh
# The full receive-flood soak: ten minutes of virtual time of random bytes from
# the ZigBee peer and on the console at line rate, under AddressSanitizer and
# UndefinedBehaviorSanitizer. CI runs a 30 s form of the same test (label long).
#
#   bench/soak.sh [SECONDS]        (default 600)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
cmake --preset sim-asan >/dev/null
cmake --build --preset sim-asan --target tl500_soak_test
TL500_SOAK_SECONDS=$seconds build/sim-asan/tests/soak/tl500_soak_test
