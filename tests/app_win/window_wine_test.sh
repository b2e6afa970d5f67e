#!/usr/bin/env bash
# corvane.exe under Wine on an X server of its own, driven from outside by
# the test driver as a user would, against the virtual programmer (a Linux
# program, paced at 9600 baud) on a pseudo-terminal mapped as COM5:
#   window_wine_test.sh WINE_RUN PREFIX CORVANE_EXE DRIVER_EXE SIM PRELOAD MSI WIXL BOXES_TEST
# First the window's boxes, in a test program of their own (BOXES_TEST).
# The window starts with its captions in their places and Send disabled; an
# 89C52 is found; Send through the open-file dialog programs it (a file whose
# name is not ASCII) while the window answers the driver's messages; a file
# dropped on the window is sent; Read through the save-file dialog saves it,
# also as a raw binary file with "Binary File" chosen, and a .bin is sent;
# the keyboard outlives an unplug and a replug of the board; Escape during a
# Send stops it and the board answers the next Read; a 2051 board shows the
# size choice and disables Fast Verify, and its 4KB Read saves 4096 bytes;
# the board's flash at the end is what the last Read gave. A close during a
# Send (or a logoff, refused) waits for the pass; a second closes at once. A
# station on two boards (a chip that fails, taken out and a new one seated,
# Go and the space bar on a 2051), Escape and Back; --station, and a logoff
# that waits for it. Then the installer: installed, the window started from its Start
# menu entry, replaced by a later version's installer, uninstalled.
set -euo pipefail

wine_run=$1 prefix=$2 corvane_exe=$3 driver_exe=$4 sim=$5 preload=$6 msi=$7 wixl=$8 boxes_test=$9
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-wine-window.XXXXXX")
# Wine's installer puts a machine-wide entry into the user's Start menu.
menu_lnks=("$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvane.lnk"
  "$prefix/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Corvane.lnk")
installed="$prefix/drive_c/Program Files/Corvane"

source "$(dirname "$0")/../../scripts/wine-window.sh"
cleanup() {
  wine_window_cleanup
  for m in "$msi" "$work/next.msi"; do
    [[ -e $installed && -e $m ]] && wine msiexec /x "$(winepath "$m")" /qn >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() {
  echo "FAIL: $*" >&2
  for f in window.log driver.log; do [[ -s $f ]] && { echo "--- $f" && cat "$f"; } >&2; done
  # The installer's own log says why it failed (its last lines; UTF-16 read as text).
  [[ -s msi.log ]] && { echo "--- msi.log (end)" && tr -d '\0\r' <msi.log | tail -n 40; } >&2
  exit 1
}
# Runs msiexec with ACTION and PACKAGE quietly, its log in msi.log; fails
# with its status.
run_msiexec() { # ACTION PACKAGE WHAT
  local rc=0
  wine msiexec "$1" "$(winepath "$2")" /qn '/l*v' "$(winepath "$work/msi.log")" >/dev/null 2>&1 || rc=$?
  ((rc == 0)) || fail "msiexec $1${3:-} (status $rc)"
}
# Runs the driver's steps against the window.
drive() { wine "$driver_exe" "$@" >>driver.log 2>&1 || fail "driver: $*"; }

start_x || fail "no X server"
wine "$boxes_test" >boxes.log 2>&1 || fail "the window's boxes: $(cat boxes.log)"

# An Intel HEX file with `size` bytes from address 0, none of them FF.
make_hex() { # SIZE SEED FILE
  awk -v size="$1" -v seed="$2" 'BEGIN {
    for (start = 0; start < size; start += 16) {
      n = size - start < 16 ? size - start : 16
      sum = n + int(start / 256) + start % 256
      record = sprintf(":%02X%04X00", n, start)
      for (i = 0; i < n; i++) { b = ((start + i) * 7 + seed) % 255; sum += b; record = record sprintf("%02X", b) }
      printf "%s%02X\r\n", record, (256 - sum % 256) % 256
    }
    printf ":00000001FF\r\n"
  }' >"$3"
}
# The data bytes of a HEX file, as hexadecimal digits, up to the last that is not FF.
bytes() {
  awk '/^:/ { sub(/\r$/, ""); n = ("0x" substr($0, 2, 2)) + 0
    if (substr($0, 8, 2) == "00") printf "%s", substr($0, 10, 2 * n) }' "$1" | sed -E 's/(FF)+$//'
}

# Before any board: the window as it starts.
start_window "$corvane_exe" window.log
drive first-state
start_board "$sim" --pace --chip 52 --dump "$work/D.hex" || fail "no board"

# The chip is found; Send writes a file whose name is not ASCII, the window
# answering all the while.
make_hex 1024 1 "Zähler Ω.hex"
src=$(winepath "$work/Zähler Ω.hex")
drive label=89C52 check:send=enabled check:read=enabled check:memsize=hidden \
  check:fastverify=enabled click:send "open:$src" ping-until=Complete!
grep -q 'worst wait' driver.log || fail "no ping figures"

# A file dropped on the window is sent; Read saves the chip.
make_hex 1024 3 dropped.hex
drive "drop:$(winepath "$work/dropped.hex")" status!=Complete! status=Complete! \
  click:read "save:$(winepath "$work")\\B" status!=Complete! status=Complete!
[[ -s B.hex ]] || fail "Read: no B.hex (the default extension)"
[[ $(bytes B.hex) == $(bytes dropped.hex) ]] || fail "Read: B.hex holds other bytes than the file dropped"
head -1 B.hex | grep -q '^;Created by Corvane : ' || fail "Read: the comment line"

# Raw binary files: Read through the save dialog with "Binary File" chosen
# saves every byte of the chip (".bin" added to the name); a .bin sent
# through the open dialog is programmed; the save dialog keeps its type.
hexdigits() { od -An -v -tx1 "$1" | tr -d ' \n' | tr a-f A-F; }
drive click:read type:2 "save:$(winepath "$work")\\G" status!=Complete! status=Complete!
[[ -s G.bin ]] || fail "Read as Binary File: no G.bin (saved: $(ls G* 2>/dev/null | xargs))"
(($(stat -c %s G.bin) == 8192)) || fail "Read as Binary File: G.bin holds $(stat -c %s G.bin) bytes"
[[ $(hexdigits G.bin) =~ ^$(bytes dropped.hex)(FF)+$ ]] || fail "Read: G.bin holds other bytes than the file dropped"
perl -e 'print map { chr(($_ * 7 + 5) % 255) } 0 .. 511' >S.bin
drive click:send "open:$(winepath "$work/S.bin")" status!=Complete! status=Complete! \
  click:read "save:$(winepath "$work")\\H" status!=Complete! status=Complete!
[[ $(hexdigits H.bin) =~ ^$(hexdigits S.bin)(FF)+$ ]] || fail "Send of S.bin: the chip holds other bytes"

# The keyboard on Send; the board is unplugged (Send is disabled) and plugged
# in again: Enter still sends.
drive focus:send
unplug_board
drive check:send=disabled
start_board "$sim" --pace --chip 52 --dump "$work/D.hex" || fail "no board"
make_hex 256 4 K.hex
drive label=89C52 check:send=enabled press:enter "open:$(winepath "$work/K.hex")" status=Complete!

# The keyboard: Alt+L and Alt+F tick the options, Enter sends; Escape during
# the Send: "Stopping..." at once, then "Stopped!"; Alt+R reads, the board
# answers.
make_hex 4096 2 Z.hex
drive key:alt+l check:lock=checked key:alt+l check:lock=unchecked key:alt+f check:fastverify=checked \
  key:enter "open:$(winepath "$work/Z.hex")" 'bar>=300' key:escape status=Stopping... \
  status=Stopped! check:send=enabled key:alt+r "save:$(winepath "$work/E.hex")" status!=Stopped! \
  status=Complete!

# A 2051-family board (its chip a 4051): the size choice shows, Fast Verify
# is disabled, and a 4KB Read saves 4096 bytes.
start_board "$sim" --pace --chip 4051 || fail "no 2051-family board"
drive label=89C2051/4051 check:memsize=shown check:fastverify=disabled check:send=enabled click:4kb \
  check:4kb=checked click:read type:1 "save:$(winepath "$work")\\F" status=Complete!
data_bytes() { awk '/^:/ && substr($0, 8, 2) == "00" { n += ("0x" substr($0, 2, 2)) + 0 } END { print n }' "$1"; }
(($(data_bytes F.hex) == 4096)) || fail "a 4KB Read of the 2051 saved $(data_bytes F.hex) bytes"
# The session ends (a logoff): the window closes as on a request to end, 143.
wine wineboot --end-session >/dev/null 2>&1 || fail "wineboot --end-session"
rc=0
wait "$WINDOW_PID" || rc=$?
WINDOW_PID=
((rc == 143)) || fail "corvane.exe ended with $rc at the session's end, not 143"

# What the 89C52 held when it was taken away is what the last Read gave:
# the stopped pass was finished, with Z.hex's first bytes and erased ones.
[[ -s D.hex ]] || fail "the 89C52's flash was not written out"
[[ $(bytes D.hex) == $(bytes E.hex) ]] || fail "the board holds other bytes than the last Read gave"
z=$(bytes Z.hex) e=$(bytes E.hex)
((${#e} >= 600 && ${#e} < ${#z})) && [[ ${z:0:${#e}} == "$e" ]] ||
  fail "the stopped pass left other bytes than Z.hex's first ones"

# A close during a Send: the window says "Stopping...", finishes the board's
# pass and closes by itself; the board answers the next window. Closed twice,
# the window goes at once.
start_board "$sim" --pace --chip 52 || fail "no board"
make_hex 4096 5 C.hex
for again in "" close-ask; do
  start_window "$corvane_exe" window.log
  # shellcheck disable=SC2086
  drive label=89C52 click:send "open:$(winepath "$work/C.hex")" 'bar>=300' close-ask status=Stopping... \
    $again gone
  rc=0
  wait "$WINDOW_PID" || rc=$?
  WINDOW_PID=
  ((rc == 0)) || fail "corvane.exe ended with $rc after a close${again:+ and another} during a Send"
done

# A logoff during a Send (on a new board) is refused until the pass is finished; then 143.
start_board "$sim" --pace --chip 52 || fail "no board"
start_window "$corvane_exe" window.log
drive label=89C52 click:send "open:$(winepath "$work/C.hex")" 'bar>=300'
! wine wineboot --end-session >/dev/null 2>&1 || fail "a logoff during a Send was not refused"
drive status=Stopping... gone
rc=0 && { wait "$WINDOW_PID" || rc=$?; } && WINDOW_PID=
((rc == 143)) || fail "corvane.exe ended with $rc after a logoff during a Send, not 143"

# An 89C52 board with its socket empty, for a station's COM5: a board that
# a busy machine's first search misses is found later as one that may have
# come back with a chip it began, whose chip waits for an empty socket. A
# chip is seated once the tile asks for one (seat_chip).
start_empty_board() { # SIM_ARGS...
  start_station_board 5 "$sim" --chip 52 "$@" || fail "no board"
  board5=$BOARD_PID
  kill -USR1 "$board5"
  for _ in $(seq 100); do grep -q 'socket empty' "$work/board5.out" && return; sleep 0.1; done
  fail "COM5's socket was not emptied"
}
seat_chip() { drive 'tile:COM5:words~waiting for a chip' && kill -USR2 "$board5"; }

# A station on two boards: an 89C52 whose first chip fails its erase (taken
# out, a new one seated) on COM5, and a 2051 on COM6. A start refused (the
# serial number outside memory) says why in the dialog.
unplug_board
start_empty_board --erase-fail 10
start_station_board 6 "$sim" --chip 2051 || fail "no second board"
board6=$BOARD_PID
make_hex 1024 6 P.hex
start_window "$corvane_exe" window.log
drive check:station=enabled click:station "field:file=$(winepath "$work/P.hex")" \
  "field:log=$(winepath "$work/log.csv")" field:chips=0 field:start=1 field:format=le16 \
  field:address=FFFF tick:serial accept 'error~outside the memory' field:address=07F0 accept
seat_chip
drive 'tile:COM5:result~FAIL' 'title~0 good, 1 failed' 'tile:COM6:go' 'tile:COM6:result~PASS'
kill -USR1 "$board5"
drive 'tile:COM5:words~waiting for a chip'
kill -USR2 "$board5"
drive 'tile:COM5:result~PASS' 'tile:COM5:failure~serial number' 'tile:COM6:space' \
  'title~3 good, 1 failed' 'counts~3 good, 1 failed, yield 75.0 %' key:escape 'notice~Ended:' \
  'stop~Back' click:stop check:station=shown 'title~Corvane V'
# Three rows of good chips (status 0) and one of the failed chip.
[[ $(awk -F, 'NR > 1 { print ($(NF - 1) == 0) }' log.csv | sort | uniq -c | xargs) == "1 0 3 1" ]] ||
  fail "the station's log: $(cat log.csv)"
drive close
wait "$WINDOW_PID" || fail "corvane.exe ended with $? after a station"
WINDOW_PID=

# corvane.exe --station opens into a running station; a logoff waits for it.
rm -f "$prefix/dosdevices/com5"
stop_pid "$board5"
start_empty_board
start_window "$corvane_exe" window.log --station "$(winepath "$work/P.hex")" --log "$(winepath "$work/log2.csv")"
seat_chip
drive 'tile:COM5:result~PASS' 'title~1 good'
! wine wineboot --end-session >/dev/null 2>&1 || fail "a logoff during a station was not refused"
rc=0 && { wait "$WINDOW_PID" || rc=$?; } && WINDOW_PID=
((rc == 143)) || fail "corvane.exe ended with $rc after a logoff during a station, not 143"
# COM6's link goes before its board: a window started later (the Start menu's)
# would poll a link left to a gone terminal, whatever terminal takes its number.
rm -f "$prefix/dosdevices/com6"
stop_pid "$board6"

# The installer: both programs, the README and the licence under Program
# Files, the Start menu entry starts the window; a later version replaces it;
# the uninstall takes all away.
# A run that was killed before its clean-up may have left a version installed
# (one that is later than this would refuse the install): it goes first.
for code in $(wine uninstaller --list 2>/dev/null | tr -d '\r' | sed -n 's/|||Corvane$//p'); do
  wine msiexec /x "$code" /qn >/dev/null 2>&1 || fail "msiexec /x $code: left installed by an earlier run"
done
run_msiexec /i "$msi"
for f in corvane.exe corvane-cli.exe README.txt LICENSE.txt; do
  [[ -s $installed/$f ]] || fail "installed: no $f"
done
menu_lnk=
for lnk in "${menu_lnks[@]}"; do [[ -s $lnk ]] && menu_lnk=$lnk; done
[[ -n $menu_lnk ]] || fail "installed: no Start menu entry"
wine uninstaller --list 2>/dev/null | tr -d '\r' | grep -q '|||Corvane$' || fail "installed: no uninstall entry"
wine start "$(winepath "$menu_lnk")" >/dev/null 2>&1 || fail "start the Start menu entry"
drive path snapshot close
grep -q 'Program Files\\Corvane\\corvane.exe' driver.log || fail "the entry started another program"
# A later version's installer (the same one, its version one higher) replaces it.
wxs_dir=$(dirname "$msi")/packaging/windows
sed -E 's/(<Product [^>]*Version=")([0-9]+\.[0-9]+)\.0"/\1\2.1"/' "$wxs_dir/corvane.wxs" >"$work/next.wxs"
grep -q 'Version="[0-9]*\.[0-9]*\.1"' "$work/next.wxs" || fail "no later version made"
(cd "$wxs_dir" && "$wixl" --arch x64 -o "$work/next.msi" "$work/next.wxs" >/dev/null 2>&1) ||
  fail "wixl: the later version"
run_msiexec /i "$work/next.msi" ": the later version"
[[ $(wine uninstaller --list 2>/dev/null | grep -c '|||Corvane') == 1 ]] ||
  fail "upgraded: not one uninstall entry"
[[ -s $installed/corvane.exe ]] || fail "upgraded: no corvane.exe"
run_msiexec /x "$work/next.msi"
[[ ! -e $installed/corvane.exe && ! -e $menu_lnk ]] || fail "uninstalled: files left"
! wine uninstaller --list 2>/dev/null | grep -q Corvane || fail "uninstalled: the uninstall entry is left"
echo "all passed; $(grep 'worst wait' driver.log | head -1)"
