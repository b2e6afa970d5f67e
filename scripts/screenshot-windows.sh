#!/usr/bin/env bash
# Takes docs/window-win.png: corvane.exe of a `make windows` build under Wine
# on an X server of its own, an 89C52 on the virtual programmer found, the
# window with the frame that Wine draws itself (there is no window manager).
# Needs ImageMagick's import (Debian's imagemagick).
#   scripts/screenshot-windows.sh [BUILD_DIR [DPI [PICTURE]]]
# DPI (default 96) is the screen's for Wine, to look at the window scaled.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-windows}" && pwd)
dpi=${2:-96}
picture=${3:-$root/docs/window-win.png}
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
start_x
start_board "$build/host/src/sim/corvane-sim" --chip 52
wine reg add "$x11" /v Decorated /d N /f >/dev/null
wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
start_window "$build/src/app_win/corvane.exe"
wine "$build/tests/app_win/corvane_win_driver.exe" label=89C52 >/dev/null
sleep 1 # the last paint
geometry=$(xwininfo -root -tree | awk '/"Corvane V4.0"/ {print $(NF-1); exit}')
import -window root -crop "$geometry" "$picture"
echo "$picture ($geometry)"
