#!/usr/bin/env bash
# Starts Corvane with a virtual programmer attached: `scripts/run.sh [BUILD]`.
#
# The virtual programmer (corvane-sim) announces its port in the system's
# device map, next to any real serial ports, so the window finds it as it
# would find a board; it ends when the window is closed.
#
#   CORVANE_SIM_CHIP=55    the chip in the virtual socket (default 52, an 89C52;
#                          see `corvane-sim --help` for the others)
#   CORVANE_SIM=0          no virtual programmer: real hardware only
#   CORVANE_XVFB=1         without a display, run on a virtual one (xvfb-run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build=$root/$build
app=$build/src/app/corvane
sim=$build/src/sim/corvane-sim

display=()
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  if [[ ${CORVANE_XVFB:-0} = 1 ]]; then
    command -v xvfb-run >/dev/null || { echo "run: xvfb-run is not installed (scripts/setup.sh display)" >&2; exit 2; }
    display=(xvfb-run -a)
  else
    echo "run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "     Run it from a desktop session, or set CORVANE_XVFB=1 to use a virtual display." >&2
    exit 2
  fi
fi

# Build what is missing.
if [[ ! -x $app || ! -x $sim ]]; then
  if [[ ! -f $build/build.ninja && ! -f $build/Makefile ]]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$build" --target corvane corvane-sim
fi

sim_pid=
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

if [[ ${CORVANE_SIM:-1} != 0 ]]; then
  # As a coprocess its standard input is ours: should this script die without
  # its trap, the board sees the end of its input and goes too.
  coproc SIM { exec "$sim" --chip "${CORVANE_SIM_CHIP:-52}"; }
  sim_pid=$SIM_PID
  if ! read -r -t 10 port entry <&"${SIM[0]}"; then
    echo "run: the virtual programmer did not start" >&2
    exit 1
  fi
  echo "run: virtual programmer (chip ${CORVANE_SIM_CHIP:-52}) on $port, announced as $entry"
fi

status=0
"${display[@]}" "$app" || status=$?
exit $status
