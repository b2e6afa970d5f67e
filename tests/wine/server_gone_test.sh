#!/usr/bin/env bash
# A test program whose Wine server goes while it runs (ended here as
# `wineserver -k` ends it, a second after the program has begun, when it has
# printed some of its lines) never passes, and wine-run.sh says that the
# server has gone.
#   server_gone_test.sh WINE_RUN PREFIX PROGRAM [ARGS...]
set -euo pipefail
prefix=$2 name=${3##*/}
fail() { echo "FAIL: $*" >&2; exit 1; }

# The program's process: its name, and the prefix in its environment.
runs() {
  local pid
  for pid in $(pgrep -x "${name:0:15}"); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" && return 0
  done
  return 1
}
(
  for ((i = 0; i < 1200; i++)); do
    runs && break
    sleep 0.05
  done
  sleep 1
  WINEPREFIX=$prefix wineserver -k
) &
killer=$!
rc=0
said=$("$@" </dev/null 2>&1 | cat) || rc=$?
wait "$killer" || true
printf '%s\n' "$said" | grep '^wine-run:' >&2 || true
((rc != 0)) || fail "$name passed, its server ended under it"
grep -q "^wine-run: $name ended with status [0-9]* after .* s; its Wine server has gone" <<<"$said" ||
  fail "wine-run.sh did not say that the server had gone"
