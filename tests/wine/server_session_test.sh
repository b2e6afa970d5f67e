#!/usr/bin/env bash
# The prefix's Wine server, as wine-run.sh starts it (or Wine itself, through
# wine-server.sh), leads no session: the kernel gives a controlling terminal
# only to a session leader, and the server opens the pseudo-terminals of COM
# ports. A SIGINT or SIGQUIT through such a terminal would end every program
# of the prefix at once, without a word.
#   server_session_test.sh WINE_RUN PREFIX PROGRAM [ARGS...]
set -euo pipefail

prefix=$2
"$@" >/dev/null
# The server's folder: the one Debian's Wine names in the prefix's file
# "wineserver" (or upstream's), then the process that works in it.
name=$(printf 'server-%x-%x' "0x$(stat -c %D "$prefix")" "$(stat -c %i "$prefix")")
server=
for dir in "/tmp/$(cat "$prefix/wineserver" 2>/dev/null)/$name" "/tmp/.wine-$(id -u)/$name"; do
  for cwd in /proc/[0-9]*/cwd; do
    if [[ $(readlink "$cwd" 2>/dev/null) == "$dir" && $(cat "${cwd%/cwd}/comm" 2>/dev/null) == wineserver* ]]; then
      server=${cwd#/proc/}
      server=${server%/cwd}
    fi
  done
done
[[ -n $server ]] || { echo "FAIL: no server runs for $prefix" >&2; exit 1; }
read -r session tty < <(ps -o sid=,tty= -p "$server")
echo "server $server: session $session, terminal $tty"
[[ $session != "$server" ]] || { echo "FAIL: the server leads its session" >&2; exit 1; }
