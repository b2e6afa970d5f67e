#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests, the benchmarks,
# the fuzzer and the package (man pages, .deb, desktop entry, completion) need,
# and only what is missing.
set -euo pipefail

packages=(
  build-essential make cmake ninja-build pkg-config ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev
  sdcc xvfb xauth xdotool x11-utils
  help2man file dpkg-dev desktop-file-utils bash-completion
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 bsdutils wixl msitools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
