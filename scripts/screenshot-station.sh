#!/usr/bin/env bash
# The pictures of the Qt window for the README, under Xvfb with virtual
# programmers: docs/window.png (an 89C52 in the socket) and docs/station.png
# (a station of four boards: two chips done, one of which failed its erase, a
# 2051 board waiting for Go, a chip in its pass).
#
#   scripts/screenshot-station.sh [BUILD]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build=$root/$build
cmake --build "$build" --target corvane-screenshot corvane-sim
shot=$build/src/app/corvane-screenshot
sim=$build/src/sim/corvane-sim
command -v xvfb-run >/dev/null || { echo "screenshot: xvfb-run is not installed" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The boards of this script only, and settings of its own.
export CORVANE_SERIALCOMM=$work/serialcomm XDG_CONFIG_HOME=$work/config
mkdir -p "$CORVANE_SERIALCOMM" "$XDG_CONFIG_HOME"

# The boards' standard input, which stays open (a board ends at its end).
mkfifo "$work/input"
exec 3<>"$work/input"

# Starts a virtual programmer with OPTIONS and waits until it is announced.
board() {
  local out=$work/board${#pids[@]}
  "$sim" "$@" <&3 >"$out" &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $out ]] && return; sleep 0.1; done
  echo "screenshot: the virtual programmer did not start" >&2
  exit 1
}

xvfb() { xvfb-run -a -s "-screen 0 1024x768x24" "$@"; }

board --chip 52
xvfb "$shot" "$root/docs/window.png"
for pid in "${pids[@]}"; do kill "$pid"; done
wait 2>/dev/null || true
pids=()
rm -f "$CORVANE_SERIALCOMM"/*

board --chip 52
board --chip 51 --erase-fail 100
board --chip 2051
board --chip 52 --baud 4800
cd "$work"
xvfb "$shot" --station "$root/docs/station.png" 60 "$root/examples/blink.hex" \
  --serial 0x0FF0=1000 --log kit.csv
echo "screenshot: docs/window.png and docs/station.png"
