#!/usr/bin/env bash
# Runs a Windows test program under Wine with COM ports on demand:
#   with-com-ports.sh BROKER PRELOAD WINE_RUN PREFIX PROGRAM [ARGS...]
# BROKER (corvane-pty-broker) serves each connection to
# $CORVANE_PTY_BROKER with a pseudo-terminal mapped as a COM port of the
# prefix (made by WINE_RUN before the program connects); PRELOAD gives Wine
# modem lines on pseudo-terminals.
set -Eeuo pipefail
# A step that fails, or a signal, says so: the test has no output of its own
# then.
trap 'rc=$?; echo "with-com-ports: line $LINENO: $BASH_COMMAND: status $rc" >&2; exit "$rc"' ERR
for signal in HUP INT QUIT TERM USR1 USR2 ALRM; do
  trap "echo 'with-com-ports: ended by SIG$signal' >&2; exit $((128 + $(kill -l $signal)))" "$signal"
done

broker=$1 preload=$2 wine_run=$3 prefix=$4
shift 4

fifo=$(mktemp -u "${TMPDIR:-/tmp}/corvane-broker.XXXXXX")
mkfifo "$fifo"
"$broker" "$prefix/dosdevices" >"$fifo" &
broker_pid=$!
trap 'kill "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null || true' EXIT
read -r port <"$fifo"
rm -f "$fifo"

rc=0
CORVANE_PTY_BROKER=127.0.0.1:$port LD_PRELOAD=$preload "$wine_run" "$prefix" "$@" || rc=$?
exit "$rc"
