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
prefix=$build/wine
work=$(mktemp -d)
wine() { LD_PRELOAD=$build/tests/wine/libcorvane-modem-lines.so "$root/scripts/wine-run.sh" "$prefix" "$@"; }
x11='HKCU\Software\Wine\X11 Driver'
desktop='HKCU\Control Panel\Desktop'
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
cleanup() {
  [[ -n ${WINDOW_PID:-} ]] && kill "$WINDOW_PID" 2>/dev/null
  [[ -n ${SIM_PID:-} ]] && kill "$SIM_PID" 2>/dev/null
  rm -f "$prefix/dosdevices/com5"
  wine reg delete "$serialcomm" /va /f >/dev/null 2>&1 || true
  wine reg delete "$x11" /v Decorated /f >/dev/null 2>&1 || true
  wine reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1 || true
  [[ -n ${XVFB_PID:-} ]] && kill "$XVFB_PID" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
exec 3>&-
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

coproc SIM { exec "$build/host/src/sim/corvane-sim" --chip 52 --map "$work/map" --name shot; }
read -r pty _ <&"${SIM[0]}"
wine reg query "$serialcomm" >/dev/null 2>&1 || true
ln -sfn "$pty" "$prefix/dosdevices/com5"
wine reg add "$serialcomm" /v Board /d COM5 /f >/dev/null
wine reg add "$x11" /v Decorated /d N /f >/dev/null
wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
(LD_PRELOAD=$build/tests/wine/libcorvane-modem-lines.so exec "$root/scripts/wine-run.sh" "$prefix" \
  "$build/src/app_win/corvane.exe") >/dev/null 2>&1 &
WINDOW_PID=$!
wine "$build/tests/app_win/corvane_win_driver.exe" label=89C52 >/dev/null
sleep 1 # the last paint
geometry=$(xwininfo -root -tree | awk '/"Corvane V4.0"/ {print $(NF-1); exit}')
import -window root -crop "$geometry" "$picture"
echo "$picture ($geometry)"
