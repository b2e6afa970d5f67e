#!/usr/bin/env bash
# How soon the Win32 window answers another process while it programs:
# corvane.exe of the Windows build under Wine on an X server of its own, a
# virtual 89C52 paced at 9600 baud on a pseudo-terminal mapped as COM5, a
# Send of 8 KB through the open-file dialog; meanwhile the test driver sends
# the window WM_NULL with SendMessageTimeout from its own process: every 10 ms
# from the click on Send until the dialog has opened, has closed and the work
# has begun (each step's time and worst wait), then every 50 ms until the
# status line says "Complete!" (the worst wait). The time from the click to
# "Complete!" holds the dialog's. The Qt
# window's figure beside it is bench_window_program's (its GUI thread's
# longest stall during a paced Send).
#   bench_window_response [WINDOWS_BUILD]   (default: build-windows beside the sources)
set -euo pipefail
root=@PROJECT_SOURCE_DIR@
build=${1:-$root/build-windows}
# Wine takes its prefix by an absolute name only.
[[ -d $build ]] && build=$(cd "$build" && pwd)
exe=$build/src/app_win/corvane.exe driver=$build/tests/app_win/corvane_win_driver.exe
sim=$build/host/src/sim/corvane-sim preload=$build/tests/wine/libcorvane-modem-lines.so
if [[ ! -x $exe || ! -e $driver || ! -x $sim ]]; then
  echo "skipped: no Windows build with its tests in $build (make windows)"
  exit 0
fi
prefix=$build/wine wine_run=$root/scripts/wine-run.sh
work=$(mktemp -d)
source "$root/scripts/wine-window.sh"
trap 'wine_window_cleanup; rm -rf "$work"' EXIT
start_x

# 8 KB of data, none of it FF.
awk 'BEGIN { for (a = 0; a < 8192; a += 16) { sum = 16 + int(a / 256) + a % 256
  r = sprintf(":10%04X00", a); for (i = 0; i < 16; i++) { b = (a + i) % 251; sum += b; r = r sprintf("%02X", b) }
  printf "%s%02X\r\n", r, (256 - sum % 256) % 256 } print ":00000001FF\r" }' >"$work/8k.hex"

start_board "$sim" --pace --chip 52
start_window "$exe"
out=$(wine "$driver" label=89C52 mark "timed-send:$(winepath "$work/8k.hex")" \
  ping-until=Complete! since-mark | tr -d '\r')
echo "Win32 window under Wine, Send of 8 KB paced at 9600 baud (write and read-back verify):"
echo "$out" | sed -n 's/^ping: /  WM_NULL every 50 ms from another process: /p'
echo "  WM_NULL every 10 ms from another process, around the open-file dialog:"
echo "$out" | grep -E '^(click|OK|dialog)' | sed 's/^/    /'
echo "$out" | sed -n 's/^since the mark: \(.*\)/  from the click on Send to "Complete!": \1/p'
echo "  (the Qt window's figure: bench_window_program, its GUI thread's longest stall in a paced Send)"
