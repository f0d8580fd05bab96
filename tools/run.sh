#!/usr/bin/env bash
# Runs the firmware on the virtual board: builds tl500-sim (optimised, the
# `run` preset, build/run) when needed, then runs it with the arguments given
# (see tl500-sim --help); none: the console on this terminal.
#
# The first run installs what the program needs (compiler, CMake, Ninja, the
# command-line library) and configures and builds it, which takes about a
# minute on two cores; it says so. Later runs only let Ninja check what
# changed, and reconfigure only when a CMake file did.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/run"
say() { printf 'run.sh: %s\n' "$*" >&2; }

first=0
[ -f "$build/build.ninja" ] || first=1
if ((first)); then
  say "first run: checking the packages tl500-sim needs"
fi
"$root/tools/install-deps.sh" --host >&2

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ((first)); then
  say "configuring and building tl500-sim in build/run (about a minute on two cores)..."
  if ! (cd "$root" && cmake --preset run && cmake --build --preset run) >"$log" 2>&1; then
    cat "$log" >&2
    exit 2
  fi
  say "built $build/tl500-sim"
else
  # Ninja re-runs CMake by itself when a CMake file changed; otherwise this
  # only checks the sources.
  if ! cmake --build "$build" --target tl500-sim >"$log" 2>&1; then
    cat "$log" >&2
    exit 2
  fi
fi
exec "$build/tl500-sim" "$@"
