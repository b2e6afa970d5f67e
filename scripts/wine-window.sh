# What the scripts that run corvane.exe under Wine share (the window's test,
# its benchmark, the screenshot): sourced, with these set beforehand:
#   wine_run (scripts/wine-run.sh), prefix (the Wine prefix), preload (the
#   library that gives Wine modem lines), work (a scratch folder).
# Whoever sources it calls wine_window_cleanup on exit.
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
BOARD_PIDS=()

# UTF-8 in the locale: the arguments that Wine gives a program are taken as such.
wine() { LC_ALL=C.UTF-8 LD_PRELOAD=$preload "$wine_run" "$prefix" "$@"; }
winepath() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
stop_pid() { # PID
  [[ -n $1 ]] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# An X server of our own: DISPLAY, XVFB_PID. (XVFB_FBDIR: the folder where
# it keeps its screen in a file.)
start_x() {
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp ${XVFB_FBDIR:+-fbdir "$XVFB_FBDIR"} \
    >/dev/null 2>&1 &
  XVFB_PID=$!
  exec 3>&-
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  [[ -s $work/display ]] || { echo "Xvfb did not start" >&2 && return 1; }
  export DISPLAY=:$(cat "$work/display")
}

# The board is unplugged: COM5 goes with it, as a USB adapter's port does.
# The link goes first: the window keeps polling COM5, and a link left to a
# pseudo-terminal that has gone would lead it to whatever terminal takes the
# number next (another test's board), whose settings Wine changes as it
# opens it (it reads as hung up to the program that has it open).
unplug_board() {
  rm -f "$prefix/dosdevices/com5"
  stop_pid "${SIM_PID:-}"
  SIM_PID=
}

# A virtual programmer (SIM_ARGS as corvane-sim takes them) on a new
# pseudo-terminal, mapped as COM5 and listed in the registry: SIM_PID.
start_board() { # SIM SIM_ARGS...
  local sim=$1 pty
  shift
  unplug_board
  coproc SIM { exec "$sim" --map "$work/map" --name wine-window "$@" 2>&1; }
  read -r pty _ <&"${SIM[0]}" || { echo "the virtual programmer did not start" >&2 && return 1; }
  [[ $pty == /dev/pts/* ]] || { echo "the virtual programmer said: $pty" >&2 && return 1; }
  # A first program starts Wine's services, which may map the machine's own
  # ports; the next run of wine-run.sh takes those away again.
  wine reg query "$serialcomm" >/dev/null 2>&1 || true
  ln -sfn "$pty" "$prefix/dosdevices/com5"
  wine reg add "$serialcomm" /v Board /d COM5 /f >/dev/null
}

# A virtual programmer of a station's on COMN, run in the background with
# its output in a file (a coprocess's pipe may be closed under it when an
# earlier one is reaped, and its next socket line would end it): BOARD_PID,
# and all of them in BOARD_PIDS.
start_station_board() { # N SIM SIM_ARGS...
  local n=$1 sim=$2 pty
  shift 2
  rm -f "$prefix/dosdevices/com$n"
  "$sim" --map "$work/map" --name "wine-window-$n" --ignore-stdin "$@" >"$work/board$n.out" 2>&1 &
  BOARD_PID=$!
  BOARD_PIDS+=("$BOARD_PID")
  for _ in $(seq 100); do [[ -s $work/board$n.out ]] && break; sleep 0.1; done
  read -r pty _ <"$work/board$n.out"
  [[ $pty == /dev/pts/* ]] || { echo "virtual programmer $n said: $pty" >&2 && return 1; }
  ln -sfn "$pty" "$prefix/dosdevices/com$n"
  wine reg add "$serialcomm" /v "Board$n" /d "COM$n" /f >/dev/null
}

# The program itself in the background (Wine's start-up execs into it), so
# that WINDOW_PID is the window's process.
start_window() { # EXE [OUTPUT [ARGS...]]
  (LC_ALL=C.UTF-8 LD_PRELOAD=$preload exec "$wine_run" "$prefix" "$1" "${@:3}") >"${2:-/dev/null}" 2>&1 &
  WINDOW_PID=$!
}

wine_window_cleanup() {
  stop_pid "${WINDOW_PID:-}"
  unplug_board
  rm -f "$prefix/dosdevices/com6"
  for pid in "${BOARD_PIDS[@]}"; do stop_pid "$pid"; done
  wine reg delete "$serialcomm" /va /f >/dev/null 2>&1 || true
  stop_pid "${XVFB_PID:-}"
}
