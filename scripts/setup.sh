#!/usr/bin/env bash
# Installs, from Debian's packages, what a make target needs, and only what is
# missing:
#   scripts/setup.sh [GROUP...]
# With no group: what the build (window, command line, virtual programmer,
# tests, benchmarks, man pages) and `make run` and `make package` need. Each
# group adds to that:
#   clang    the other compiler (make clang)
#   windows  the cross-build for Windows and Wine to run it (make windows)
#   display  a virtual X server and what types into it (make run with
#            CORVANE_XVFB=1; the window's tests)
#   fuzz     Clang with libFuzzer's runtime (make fuzz)
#   format   clang-format (make format)
#   test     everything that `make test` runs: clang, windows, display, and
#            what the package's and the example's tests use
set -euo pipefail

base=(
  build-essential make cmake ninja-build pkg-config ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  help2man file dpkg-dev
)
clang=(clang)
windows=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 bsdutils wixl msitools)
display=(xvfb xauth xdotool x11-utils)
fuzz=(clang libclang-rt-dev)
format=(clang-format)
test=("${clang[@]}" "${windows[@]}" "${display[@]}" sdcc desktop-file-utils bash-completion)

packages=("${base[@]}")
for group in "$@"; do
  case $group in
    clang) packages+=("${clang[@]}") ;;
    windows) packages+=("${windows[@]}") ;;
    display) packages+=("${display[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    format) packages+=("${format[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *)
      echo "setup: no group '$group' (clang, windows, display, fuzz, format, test)" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
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
