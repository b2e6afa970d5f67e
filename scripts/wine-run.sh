#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is made on first use. Its server is kept running (wineserver -p)
# so that the volatile port list (HARDWARE\DEVICEMAP\SERIALCOMM) keeps what a
# test puts there; whenever a server starts, Wine maps the machine's own
# serial ports (/dev/ttyS*, often a console) as COM ports, and those are
# removed before anything can scan them. Ports that tests map themselves
# point at pseudo-terminals (/dev/pts/N) and stay.
set -euo pipefail

prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
keep_server_s=60

machine_ports() {
  local link
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [[ -L $link && $(readlink "$link") != /dev/pts/* ]] && echo "$link"
  done
  return 0
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
  # The server and Wine's own services outlive this script: they must hold
  # neither the lock nor this script's output (whoever reads it would wait
  # for them to end).
  wineserver --persistent="$keep_server_s" </dev/null >/dev/null 2>&1 9>&- || rc=$?
  if ((rc != 0 && rc != 2)); then # 2: a server runs already
    echo "wine-run: wineserver failed ($rc)" >&2
    exit 1
  fi
  # A new server (this one, or one that another program started) has mapped
  # the machine's ports again.
  if ((rc == 0)) || [[ -n $(machine_ports) ]]; then
    wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /va /f </dev/null >/dev/null 2>&1 9>&- || true
    machine_ports | xargs -r rm -f
  fi
) 9>"$prefix.lock"

exec wine "$@"
