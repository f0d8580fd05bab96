#!/usr/bin/env bash
# Builds the optimised host program if needed and runs the firmware on the virtual board.
# Arguments go to tl500-sim (see tl500-sim --help); none: interactive terminal.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/tools/install-deps.sh" >&2
log="$(mktemp)"
if ! (cd "$root" && cmake --preset run && cmake --build build/run --target tl500-sim) >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 2
fi
rm -f "$log"
exec "$root/build/run/tl500-sim" "$@"
