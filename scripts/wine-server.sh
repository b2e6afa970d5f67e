#!/usr/bin/env bash
# Starts the Wine server of $WINEPREFIX, kept running CORVANE_WINE_KEEP_S
# seconds (60) after its last program has ended:
#   WINEPREFIX=PREFIX wine-server.sh
# Ends with 0 once the server serves, 2 when one runs already (as Wine's own
# `wineserver` does), and with the server's status when it failed.
#
# Wine's own start makes the server the leader of a session of its own, and a
# session leader without a terminal takes the first terminal it opens as its
# controlling terminal: the server opens the pseudo-terminals behind COM
# ports. A SIGINT or SIGQUIT through that terminal (an interrupt character in
# the data while its signals are on) ends the server and every program of the
# prefix at once, without a word, as `wineserver -k` does. Here the server
# runs in the foreground under a shell that leads the session and only waits
# for it: not a session leader, the server never takes a terminal. Wine's own
# start of a server, when a program finds none, comes here too (wine-run.sh
# names this script in WINESERVER).
set -euo pipefail

keep_s=${CORVANE_WINE_KEEP_S:-60}
ended=$(mktemp "${TMPDIR:-/tmp}/wine-server.XXXXXX")
trap 'rm -f "$ended" "$ended.pid"' EXIT
rm -f "$ended"

# The server's stdin, stdout and stderr are none of the caller's: whoever
# reads the caller's output would wait for the server to end.
# The shell notes the server's status only while this script waits for it.
setsid sh -c 'wineserver --foreground --persistent="$1" & echo $! >"$2.pid"
  wait $!; status=$?; [ -e "$2.pid" ] && echo $status >"$2"' \
  sh "$keep_s" "$ended" </dev/null >/dev/null 2>&1 9>&- &

# The server serves once its socket listens: one of its descriptors is a
# socket that /proc/net/unix lists with the flag __SO_ACCEPTCON (00010000).
# It ends at once, with status 2, when another server has the prefix.
listening() { # PID
  local fd inodes=()
  for fd in "/proc/$1/fd/"*; do
    [[ $(readlink "$fd" 2>/dev/null) =~ ^socket:\[([0-9]+)\]$ ]] && inodes+=("${BASH_REMATCH[1]}")
  done
  ((${#inodes[@]} > 0)) &&
    awk -v inodes="${inodes[*]}" 'BEGIN { n = split(inodes, list, " "); for (i = 1; i <= n; i++) mine[list[i]] = 1 }
      $4 == "00010000" && ($7 in mine) { found = 1 } END { exit !found }' /proc/net/unix
}
for ((tries = 0; tries < 600; tries++)); do
  if [[ -s $ended ]]; then
    exit "$(<"$ended")"
  fi
  if [[ -s $ended.pid ]] && listening "$(<"$ended.pid")"; then
    exit 0
  fi
  sleep 0.05
done
echo "wine-server: the server did not start within 30 s" >&2
exit 1
