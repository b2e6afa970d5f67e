#!/bin/sh
# help2man runs this in place of the program named by CORVANE_MAN_PROGRAM: the
# program's own output, with the usage lines after the first marked "or:" so
# that every form of the command line reaches the SYNOPSIS.
set -e
out=$("$CORVANE_MAN_PROGRAM" "$@")
printf '%s\n' "$out" | sed -E '/^Usage:/,/^[^ ]/ s/^ +(corvane-[a-z-]+ )/   or: \1/'
