#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is made on first use. Its server is kept running (wineserver -p)
# so that the volatile port list (HARDWARE\DEVICEMAP\SERIALCOMM) keeps what a
# test puts there. Whenever a server starts, Wine's device manager maps the
# machine's own serial ports (/dev/ttyS*, often the system console) as COM
# ports, some time after the first program has started, while that program
# and the next ones already run. So the first run of this script for a new
# server waits, holding the prefix's lock, until the device manager has
# listed the ports, and then takes the machine's away (their links and their
# entries in the list); a program runs only after that. Ports that tests map
# themselves point at pseudo-terminals (/dev/pts/N), and the list's entries
# that tests make are left alone.
set -Eeuo pipefail
# Debian's Wine 8 has no preloader: wine64 lies at 0x7d000000, and the kernel
# puts its heap at random anywhere in the gigabyte above it, now and then over
# the page where Wine maps the system's shared data (0x7ffe0000). Such a
# program ends at its start, with status 1 and without a word of its own
# ("failed to map the shared user data: c0000018"), about one start in five
# thousand. So this script, and every Wine program it starts, runs with the
# address space laid out without chance (setarch -R, kept across exec).
if (((16#$(</proc/self/personality) & 16#0040000) == 0)); then
  exec setarch "$(uname -m)" -R "$0" "$@"
fi
# A step that fails says which, once (the shells around it pass on its
# status, 97): a test that ends here has no output of its own.
trap 'rc=$?; ((rc == 97)) || echo "wine-run: line $LINENO: $BASH_COMMAND: status $rc" >&2; exit 97' ERR

prefix=$1
shift
# So does a signal that comes before the program runs (passed on after).
for signal in HUP INT QUIT TERM USR1 USR2 ALRM; do
  trap "echo 'wine-run: ended by SIG$signal before ${1##*/} ran' >&2; exit $((128 + $(kill -l $signal)))" "$signal"
done
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
keep_server_s=60
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'

# Wine's services, which the first program of a server starts, outlive this
# script: they must hold neither the lock nor this script's output.
quiet_wine() { wine "$@" </dev/null >/dev/null 2>&1 9>&-; }

# The machine's own ports: links to anything but a pseudo-terminal.
machine_ports() {
  local link target
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [[ -L $link ]] || continue
    target=$(readlink "$link") || continue # removed meanwhile
    [[ $target == /dev/pts/* ]] || echo "$link"
  done
}

# Which server runs: its process id and its socket, made anew by each (in
# Debian's layout under the folder that the prefix's file "wineserver" names);
# nothing when none runs. The server works in that folder; a server that was
# killed leaves its socket behind.
server_id() {
  local name dir proc
  name=$(printf 'server-%x-%x' "0x$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  # (Each step may fail as a server or a process goes meanwhile.)
  for dir in "/tmp/$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)" "/tmp/.wine-$(id -u)"; do
    [[ -S $dir/$name/socket ]] || continue
    while IFS= read -r proc; do
      if [[ $(cat "$proc/comm" 2>/dev/null || true) == wineserver* ]]; then
        echo "${proc#/proc/} $(stat -c '%i %Y' "$dir/$name/socket" 2>/dev/null || true)"
        return
      fi
    done < <(find /proc/[0-9]*/cwd -maxdepth 0 -lname "$dir/$name" -printf '%h\n' 2>/dev/null || true)
  done
}

# The device manager maps the serial ports first, then the parallel ones,
# and makes the volatile list of parallel ports as it starts on them (also
# on a machine that has none): once that list is there, the serial ports are
# all mapped.
wait_for_device_manager() {
  local tries
  for ((tries = 0; tries < 600; tries++)); do
    if quiet_wine reg query 'HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS'; then
      return 0
    fi
    sleep 0.1
  done
  echo "wine-run: Wine's device manager never listed the serial ports" >&2
  return 1
}

# Takes the machine's ports away: the list's entries that name them, then
# their links.
remove_machine_ports() {
  local ports=() link name line
  mapfile -t ports < <(machine_ports)
  ((${#ports[@]} > 0)) || return 0
  local names=()
  for link in "${ports[@]}"; do
    name=${link##*/}
    names+=("${name^^}")
  done
  while IFS= read -r line; do
    # "    \Device\Serial0    REG_SZ    COM1"
    [[ $line =~ ^\ {4}(.+)\ {4}REG_SZ\ {4}(.+)$ ]] || continue
    for name in "${names[@]}"; do
      if [[ ${BASH_REMATCH[2]^^} == "$name" ]]; then
        quiet_wine reg delete "$serialcomm" /v "${BASH_REMATCH[1]}" /f || true
      fi
    done
  done < <(wine reg query "$serialcomm" </dev/null 2>/dev/null 9>&- | tr -d '\r')
  rm -f "${ports[@]}"
}

(
  flock 9
  if [[ ! -e $WINEPREFIX/.corvane-prefix ]]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot --init </dev/null >"$WINEPREFIX/.create.log" 2>&1 9>&-
    wineserver --wait </dev/null >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.corvane-prefix"
  fi
  rc=0
  # The server outlives this script: it must hold neither the lock nor this
  # script's output (whoever reads it would wait for it to end).
  wineserver --persistent="$keep_server_s" </dev/null >/dev/null 2>&1 9>&- || rc=$?
  if ((rc != 0 && rc != 2)); then # 2: a server runs already
    echo "wine-run: wineserver failed ($rc)" >&2
    exit 1
  fi
  # A server that this script has not yet seen (this one's, or one that a
  # program started by itself) maps the machine's ports.
  id=$(server_id)
  if ((rc == 0)) || [[ -z $id || $id != "$(cat "$WINEPREFIX/.corvane-server" 2>/dev/null)" ]]; then
    wait_for_device_manager
    echo "$id" >"$WINEPREFIX/.corvane-server"
  fi
  remove_machine_ports
) 9>"$prefix.lock"

# The program runs as this script's child, so that its end can be told:
# signals meant for it are passed on (a caller may stop it by this script's
# process id), and its status is passed back.
#
# Where its output goes into pipes (as under ctest), Wine also traces it
# into a file of its own, kept out of that output: Wine's own errors, each
# library it loads, its process calls and exceptions, with times. A program
# that dies at its start says nothing itself (a gtest program holds what it
# writes into a pipe until it ends, and Wine's errors are otherwise off).
# Elsewhere (a terminal, which Wine makes the program's console, or a file
# that a test reads) the program runs as without this script.
server=$(server_id)
trace= printed=
if [[ -p /dev/stdout && -p /dev/stderr ]]; then
  trace=$(mktemp "${TMPDIR:-/tmp}/wine-run-trace.XXXXXX")
  printed=$(mktemp "${TMPDIR:-/tmp}/wine-run-printed.XXXXXX")
  # Standard output passes on as it comes, and is noted; standard error
  # passes on line by line, but for Wine's trace lines.
  exec 4> >(exec tee -a "$printed")
  relay_out=$!
  exec 5> >(exec awk -v trace="$trace" -v printed="$printed" '
    /^[0-9]+\.[0-9]+:[0-9a-f]+:[0-9a-f]+:(trace|warn|err|fixme):/ { print >>trace; fflush(trace); next }
    { print >"/dev/stderr"; fflush("/dev/stderr"); print >>printed; fflush(printed) }')
  relay_err=$!
  started=$EPOCHREALTIME
  WINEDEBUG=-all,err+all,+timestamp,+pid,+loaddll,+process,+seh wine "$@" <&0 >&4 2>&5 4>&- 5>&- &
  program=$!
  exec 4>&- 5>&-
else
  started=$EPOCHREALTIME
  wine "$@" <&0 &
  program=$!
fi
for signal in HUP INT QUIT TERM USR1 USR2; do
  trap "kill -s $signal $program 2>/dev/null || true" "$signal"
done
while :; do
  rc=0
  wait "$program" || rc=$?
  # A signal passed on ends the wait, not always the program.
  kill -0 "$program" 2>/dev/null || break
done
ended=$EPOCHREALTIME
trap - ERR
if [[ -n $trace ]]; then
  # The relays end with the program's output (a Wine service that the
  # program started, were it to hold the output, is not waited for long).
  for ((tries = 0; tries < 40; tries++)); do
    kill -0 "$relay_out" 2>/dev/null || kill -0 "$relay_err" 2>/dev/null || break
    sleep 0.05
  done
fi

# A program that failed, or whose Wine server went away while it ran (which
# ends every program of the prefix, some with status 0), says how it ended:
# its status (a status over 128 is also how a signal shows), how long it ran,
# what became of the server, and, when it printed nothing, the last lines of
# Wine's trace of it.
now=$(server_id || true)
if [[ -n $server && $now == "$server" && -n $trace && ! -s $printed ]]; then
  # A server that ends its programs (as `wineserver -k` does) leaves a
  # moment after them.
  for ((tries = 0; tries < 20; tries++)); do
    sleep 0.05
    now=$(server_id || true)
    [[ $now == "$server" ]] || break
  done
fi
if ((rc != 0)) || [[ $now != "$server" ]]; then
  seconds=$(awk -v from="$started" -v to="$ended" 'BEGIN { printf "%.2f", to - from }')
  said="wine-run: ${1##*/} ended with status $rc after $seconds s"
  if ((rc > 128 && rc < 160)); then
    said+=" (or by SIG$(kill -l $((rc - 128)) 2>/dev/null || echo "$((rc - 128))"))"
  fi
  if [[ -z $server ]]; then
    said+="; no Wine server ran when it started"
  elif [[ -z $now ]]; then
    said+="; its Wine server has gone"
  elif [[ $now != "$server" ]]; then
    said+="; its Wine server has gone, another one runs"
  else
    said+="; its Wine server still runs"
  fi
  echo "$said" >&2
  if [[ -n $trace && ! -s $printed ]]; then
    echo "wine-run: it printed nothing; the last lines of Wine's trace of it:" >&2
    tail -n 12 "$trace" | sed 's/^/  /' >&2
  fi
fi
[[ -z $trace ]] || rm -f "$trace" "$printed"
exit "$rc"
