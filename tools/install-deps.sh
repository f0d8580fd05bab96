#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
set -euo pipefail

# --host: only what the host program tl500-sim needs (tools/run.sh).
if [ "${1:-}" = "--host" ]; then
  packages=(cmake ninja-build g++ libcli11-dev libre2-dev pkg-config libcpp-httplib-dev)
else
  packages=(
    cmake ninja-build g++ python3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    gcc-arm-none-eabi picolibc-arm-none-eabi libstdc++-arm-none-eabi-dev
    binutils-arm-none-eabi sigrok-cli libcli11-dev tmux
    libunicorn-dev libre2-dev pkg-config gdb-multiarch
    clang libclang-rt-14-dev gcovr
    libcpp-httplib-dev chromium chromium-driver python3-selenium
  )
  # clang and its runtime libraries build the script parser's fuzzer
  # (libFuzzer, the fuzz preset); the test command runs it for a bounded time.
  # gcovr reports the coverage preset's figures. The Unicorn emulation
  # library is what the emulated core's instruction tests compare against.
fi
# npm installs the web page's terminal (xterm.js) at build time; a Node.js
# from elsewhere that brings its own npm is used as it is.
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  # Without --no-install-recommends apt would pull a large C++ library for the
  # cross compiler that the board image never uses.
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
