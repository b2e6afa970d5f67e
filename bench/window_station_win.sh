#!/usr/bin/env bash
# The Win32 window under Wine running a station of 4 paced boards against
# corvane-cli.exe station on the same boards: chips per hour, and how soon
# the window answers another process meanwhile (window_station_win.cpp says
# how each is measured). It gives the benchmark an X server of its own.
#   bench_window_station_win [WINDOWS_BUILD [bytes [chips per board]]]
#   (default: build-windows beside the sources, 2,048 bytes, 3 chips)
set -euo pipefail
root=@PROJECT_SOURCE_DIR@
host=@CMAKE_CURRENT_BINARY_DIR@/window_station_win_host
build=${1:-$root/build-windows}
# Wine takes its prefix by an absolute name only.
[[ -d $build ]] && build=$(cd "$build" && pwd)
preload=$build/tests/wine/libcorvane-modem-lines.so
for needed in "$build/src/app_win/corvane.exe" "$build/src/cli/corvane-cli.exe" \
  "$build/tests/app_win/corvane_win_driver.exe" "$preload"; do
  [[ -e $needed ]] || { echo "skipped: no Windows build with its tests in $build (make windows)" && exit 0; }
done
prefix=$build/wine wine_run=$root/scripts/wine-run.sh
work=$(mktemp -d)
source "$root/scripts/wine-window.sh"
trap 'wine_window_cleanup; rm -rf "$work"' EXIT
start_x
"$host" "$build" "${@:2}"
