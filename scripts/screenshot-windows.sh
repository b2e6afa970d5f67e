#!/usr/bin/env bash
# Takes docs/window-win.png: corvane.exe of a `make windows` build under Wine
# on an X server of its own, an 89C52 on the virtual programmer found, the
# window with the frame that Wine draws itself (there is no window manager);
# then docs/station-win.png: corvane.exe --station on two boards, an 89C52
# whose chip fails its erase and a 2051 given Go.
# The pictures are cut from the screen that Xvfb keeps in a file.
#   scripts/screenshot-windows.sh [BUILD_DIR [DPI [PICTURE [STATION_PICTURE]]]]
# DPI (default 96) is the screen's for Wine, to look at the window scaled.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-windows}" && pwd)
dpi=${2:-96}
picture=${3:-$root/docs/window-win.png}
station_picture=${4:-$root/docs/station-win.png}
driver=$build/tests/app_win/corvane_win_driver.exe
sim=$build/host/src/sim/corvane-sim
prefix=$build/wine wine_run=$root/scripts/wine-run.sh
preload=$build/tests/wine/libcorvane-modem-lines.so
work=$(mktemp -d)
x11='HKCU\Software\Wine\X11 Driver'
desktop='HKCU\Control Panel\Desktop'
source "$root/scripts/wine-window.sh"
cleanup() {
  wine_window_cleanup
  wine reg delete "$x11" /v Decorated /f >/dev/null 2>&1 || true
  wine reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
XVFB_FBDIR=$work start_x
start_board "$sim" --chip 52
wine reg add "$x11" /v Decorated /d N /f >/dev/null
wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
start_window "$build/src/app_win/corvane.exe"
wine "$driver" label=89C52 >/dev/null
# Takes the picture of the window whose title begins with $1.
shoot() { # TITLE PICTURE
  sleep 1 # the last paint
  local geometry
  geometry=$(xwininfo -root -tree | awk -v title="\"$1" 'index($0, title) {print $(NF-1); exit}')
  "$root/scripts/xwd-crop.py" "$work/Xvfb_screen0" "$geometry" "$2"
  echo "$2 ($geometry)"
}
shoot "Corvane V4.0" "$picture"
wine "$driver" close >/dev/null
wait "$WINDOW_PID" || true
unplug_board
start_station_board 5 "$sim" --chip 52 --erase-fail 10
start_station_board 6 "$sim" --chip 2051
start_window "$build/src/app_win/corvane.exe" /dev/null --station "$(winepath "$root/examples/blink.hex")" \
  --log "$(winepath "$work/station.csv")" --serial 0x7F0=1000
wine "$driver" 'tile:COM5:result~FAIL' 'tile:COM6:go' 'tile:COM6:result~PASS' >/dev/null
shoot "Corvane station:" "$station_picture"
