#!/usr/bin/env bash
# corvane-cli.exe under Wine against the virtual programmer (a Linux program)
# on a pseudo-terminal that the Wine prefix has as COM5, listed in the
# registry beside two ports that are not there:
#   wine_cli_test.sh WINE_RUN PREFIX CLI_EXE CTRL_C_EXE SIM PRELOAD
# ports, detect, program, verify (also --all) and read right to the byte,
# in HEX and raw binary files, and a station's log and state,
# through files and the standard streams, also with names outside the code
# page; Ctrl+C during a write pass; what the board holds at the end against a
# last read-back. PRELOAD gives Wine modem lines on the pseudo-terminal.
set -euo pipefail

wine_run=$1 prefix=$2 cli_exe=$3 ctrl_c_exe=$4 sim=$5 preload=$6
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-wine-cli.XXXXXX")

wine() { LD_PRELOAD=$preload "$wine_run" "$prefix" "$@"; }
cleanup() {
  if [[ -n ${SIM_PID:-} ]]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -f "$prefix/dosdevices/com5"
  wine reg delete "$serialcomm" /va /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() {
  echo "FAIL: $*" >&2
  for f in out err; do [[ -s $f ]] && { echo "--- $f" && cat "$f"; } >&2; done
  exit 1
}
# Runs corvane-cli.exe; its status in $rc, its output in out and err (line
# ends as a Windows program writes them: CR LF).
cli() {
  rc=0
  wine "$cli_exe" "$@" >out 2>err || rc=$?
}
expect() { # STATUS WHAT
  [[ $rc == "$1" ]] || fail "$2: exit status $rc, not $1"
}
lines() { tr -d '\r' <"$1"; }

# An Intel HEX file as Corvane writes one (CR LF, 16 bytes a record) with
# `size` bytes from address 0, none of them FF.
make_hex() { # SIZE SEED FILE
  awk -v size="$1" -v seed="$2" 'BEGIN {
    printf ";made by the test\r\n"
    for (start = 0; start < size; start += 16) {
      n = size - start < 16 ? size - start : 16
      sum = n + int(start / 256) + start % 256
      record = sprintf(":%02X%04X00", n, start)
      for (i = 0; i < n; i++) {
        b = ((start + i) * 7 + seed) % 255
        sum += b
        record = record sprintf("%02X", b)
      }
      printf "%s%02X\r\n", record, (256 - sum % 256) % 256
    }
    printf ":00000001FF\r\n"
  }' >"$3"
}
# The data bytes of a HEX file's records, as hexadecimal digits.
bytes() {
  awk '/^:/ {
    sub(/\r$/, "")
    d = "0123456789ABCDEF"
    n = (index(d, substr($0, 2, 1)) - 1) * 16 + index(d, substr($0, 3, 1)) - 1
    if (substr($0, 8, 2) == "00") printf "%s", substr($0, 10, 2 * n)
  }' "$1"
}
# The same data records, byte for byte (the comment line holds a time).
same_records() { cmp -s <(tail -n +2 "$1") <(tail -n +2 "$2"); }

# The board: a 4 KB chip; its flash goes to D.hex when its standard input
# ends. Under Wine a write pass takes some seconds (each byte waits for the
# board's XON), long enough to be stopped part of the way.
coproc SIM { exec "$sim" --chip 51 --map "$work/map" --name wine-test --dump "$work/D.hex" 2>&1; }
read -r -t 30 pty _ <&"${SIM[0]}" || fail "the virtual programmer did not start"
[[ $pty == /dev/pts/* ]] || fail "the virtual programmer said: $pty"

# COM5 is the board's terminal; COM3 and com4 are listed but not there. The
# list is volatile: wine-run.sh keeps the prefix's server running meanwhile.
# A first program makes the prefix if need be (and wine-run.sh takes the
# machine's own serial ports away before it runs).
wine reg query "$serialcomm" >/dev/null 2>&1 || true
ln -sfn "$pty" "$prefix/dosdevices/com5"
for value in Board=COM5 Gone1=com4 Gone2=COM3; do
  wine reg add "$serialcomm" /v "${value%%=*}" /d "${value#*=}" /f >/dev/null
done

cli ports
expect 0 ports
idle='scanned; no search runs: greeted at once by the next'
[[ $(lines out) == "COM3  $idle"$'\n'"com4  $idle"$'\n'"COM5  $idle" ]] || fail "ports: the list"

cli detect
expect 0 detect
lines out | grep -qx '89C51 on COM5' || fail "detect: no chip on COM5"

make_hex 4096 1 A.hex
cli program A.hex
expect 0 program
lines out | grep -qx 'Complete!' || fail "program: not complete"

# The file through standard input: taken as it is, CR LF included.
rc=0
wine "$cli_exe" verify - <A.hex >out 2>err || rc=$?
expect 0 "verify -"

cli read --port COM5 B.hex
expect 0 "read --port COM5"
same_records A.hex B.hex || fail "read: B.hex holds other records than A.hex"
head -1 B.hex | grep -q $'^;Created by Corvane : .*\r$' || fail "read: the comment line"
[[ $(grep -c $'\r$' B.hex) == $(wc -l <B.hex) ]] || fail "read: a line without CR LF"

# The HEX text through standard output: no CR added before CR LF.
rc=0
wine "$cli_exe" read - >C.hex 2>err || rc=$?
expect 0 "read -"
same_records B.hex C.hex || fail "read -: standard output holds other bytes than B.hex"

# Every board that answers (here the one), on a thread of its own.
cli verify --all A.hex
expect 0 "verify --all"

# Raw binary files: by the name's ending in any case, and through the
# standard streams with --format bin (binary mode: no CR added or taken).
hexdigits() { od -An -v -tx1 "$1" | tr -d ' \n' | tr a-f A-F; }
cli read R.BIN
expect 0 "read R.BIN"
[[ $(hexdigits R.BIN) == "$(bytes A.hex)" ]] || fail "read: R.BIN holds other bytes than A.hex"
rc=0
wine "$cli_exe" read --format bin - >S.bin 2>err || rc=$?
expect 0 "read --format bin -"
cmp -s R.BIN S.bin || fail "read --format bin -: standard output holds other bytes than R.BIN"
rc=0
wine "$cli_exe" verify --format bin - <R.BIN >out 2>err || rc=$?
expect 0 "verify --format bin -"
cp R.BIN R.hex
cli program R.hex
expect 3 "program of a binary image named .hex"
lines err | grep -qxF "corvane-cli: R.hex: not an Intel HEX file (a raw binary file's name ends in .bin)" ||
  fail "program R.hex: the message"
head -c 300 R.BIN >small.bin
cli program small.bin
expect 0 "program small.bin"

# Names in characters that a Western code page lacks: a folder, the files in
# it, the folder for temporary files and %APPDATA% (which Wine sets for each
# program: cmd sets them from variables of our own). Messages name them in
# UTF-8.
uni="Prüfung ジ"
mkdir "$uni" "temp-ジ" "appdata-ジ" "appdata-ジ/corvane"
make_hex 256 3 "$uni/U ジ.hex"
cli program "$uni/U ジ.hex"
expect 0 "program $uni/U ジ.hex"
cli verify "$uni/U ジ.hex"
expect 0 "verify $uni/U ジ.hex"
cli read "$uni/R ジ.hex"
expect 0 "read $uni/R ジ.hex"
[[ $(bytes "$uni/R ジ.hex") =~ ^$(bytes "$uni/U ジ.hex")(FF)+$ ]] ||
  fail "read: $uni/R ジ.hex holds other bytes than $uni/U ジ.hex"
cli verify "$uni/none ジ.hex"
expect 3 "verify a file that is not there"
grep -qF "$uni/none ジ.hex: " err || fail "verify: the message does not name the file"
printf '[Ports]\r\nNeverScan=COM3\r\n' >"appdata-ジ/corvane/corvane.ini"
windows_work=$(wine winepath -w "$work")
with_own_folders() { # CLI_ARGS...: corvane-cli.exe with %TEMP% and %APPDATA% in the folders above
  rc=0
  CORVANE_TEMP="$windows_work\\temp-ジ" CORVANE_APPDATA="$windows_work\\appdata-ジ" \
    wine cmd /c "set TEMP=%CORVANE_TEMP%&& set TMP=%CORVANE_TEMP%&& set APPDATA=%CORVANE_APPDATA%&& $cli_exe $*" \
    >out 2>err || rc=$?
}
with_own_folders read -
expect 0 "read - with a temporary folder named in Unicode"
same_records "$uni/R ジ.hex" out || fail "read -: standard output holds other bytes than the last read"
[[ -z $(ls "temp-ジ") ]] || fail "read -: the temporary files stayed"
with_own_folders ports
expect 0 "ports with the settings in %APPDATA% named in Unicode"
lines out | grep -qx 'COM3  excluded' || fail "ports: the settings file in %APPDATA% was not read"

# The station, twice with one chip: the series' state file is replaced in
# one rename, and the log (UTF-8 with a byte order mark) holds both numbers.
for n in 1 2; do
  # A fresh chip for the second run: the finished one left in is not programmed again.
  if ((n == 2)); then
    kill -USR2 "$SIM_PID"
    while read -r -t 20 line <&"${SIM[0]}" && [[ $line != socket* ]]; do :; done
  fi
  cli station "$uni/U ジ.hex" --chips 1 --serial 0x800=7 --log "$uni/kit ジ.csv"
  expect 0 "station, run $n"
done
[[ $(head -c 3 "$uni/kit ジ.csv") == $'\xEF\xBB\xBF' ]] || fail "station: no byte order mark"
[[ $(lines "$uni/kit ジ.csv" | cut -d, -f6,9 | tail -n +2 | tr '\n' ' ') == '7,used 8,used ' ]] ||
  fail "station: the log's numbers"
grep -qx 'next 9' <(lines "$uni/kit ジ.csv.serial") || fail "station: the state file"
[[ ! -e "$uni/kit ジ.csv.serial.new" ]] || fail "station: the state file's new copy stayed"

# Ctrl+C in the console once the progress bar there shows 300 bytes written:
# the pass is finished, the program ends as stopped, and the board answers
# at its prompt again.
make_hex 4096 2 Z.hex
# Wine gives the programs a console on a terminal; script(1) makes one.
rc=0
LD_PRELOAD=$preload script -qec "$(printf '%q ' "$wine_run" "$prefix" "$ctrl_c_exe" 300 out err \
  "$cli_exe" program Z.hex)" /dev/null </dev/null >/dev/null 2>&1 || rc=$?
expect 130 "Ctrl+C during the write"
lines out | grep -qx 'Writing... \[4096 Bytes\]' || fail "Ctrl+C: the console's lines"
lines out | grep -Eq '^\[#+\.+\] +[0-9]+/4096 bytes' || fail "Ctrl+C: no progress bar on the console"
grep -q "Stopping... finishing the board's pass" err || fail "Ctrl+C: no notice"
lines err | grep -qx 'corvane-cli: Stopped!' || fail "Ctrl+C: not stopped"
! grep -q reset err || fail "Ctrl+C: the board was left in its pass"
! lines out | grep -q '^Verify' || fail "Ctrl+C: the work went on after the pass"

cli detect
expect 0 "detect after the stop"

cli read E.hex
expect 0 "the last read"

# The board's flash: what the last read gave, and Z.hex's first bytes
# followed by erased ones (the pass was finished with filler).
eval "exec ${SIM[1]}>&-"
wait "$SIM_PID" || fail "the virtual programmer failed"
SIM_PID=
same_records D.hex E.hex || fail "the board holds other bytes than the last read gave"
written=$(awk -v z="$(bytes Z.hex)" -v d="$(bytes D.hex)" 'BEGIN {
  k = 0
  while (k < length(z) && substr(z, k + 1, 2) == substr(d, k + 1, 2)) k += 2
  rest = substr(d, k + 1)
  gsub(/FF/, "", rest)
  print (length(d) == length(z) && k >= 600 && k < length(z) && rest == "") ? k / 2 : -1
}')
((written >= 0)) || fail "the stopped pass left other bytes than Z.hex's first ones (300 or more) and FF"
echo "all passed; the stopped pass wrote $written of 4096 bytes"
