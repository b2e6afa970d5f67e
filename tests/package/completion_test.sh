#!/usr/bin/env bash
# corvane-cli's bash completion as bash-completion runs it: each line is typed
# up to the cursor at its end, and the offered words are checked.
# Usage: completion_test.sh COMPLETION_FILE CLI_DIR
set -uo pipefail
completion=$1
PATH=$2:$PATH

source /usr/share/bash-completion/bash_completion || exit 1
source "$completion" || exit 1
# compopt only works while bash itself completes; here it need not do anything.
compopt() { :; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch blink.hex CHIP.HEX rom.bin DUMP.BIN notes.txt
mkdir images

failures=0
# complete LINE: fills COMPREPLY for LINE with the cursor at its end.
complete_line() {
  local line=$1
  COMP_LINE=$line
  COMP_POINT=${#line}
  # bash breaks words at '=' too, as at blanks.
  read -ra COMP_WORDS <<<"${line//=/ = }"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _corvane_cli corvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
}
# expect LINE WORD... : the offered words are exactly these (in any order).
expect() {
  local line=$1
  shift
  complete_line "$line"
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  want=$(printf '%s\n' "$@" | sort | xargs)
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$line' offered [$got], expected [$want]"
    ((failures++))
  fi
}
# expect_some LINE WORD... : the offered words include these.
expect_some() {
  local line=$1 w
  shift
  complete_line "$line"
  for w in "$@"; do
    if [[ " ${COMPREPLY[*]} " != *" $w "* ]]; then
      echo "FAIL: '$line' offered [${COMPREPLY[*]}], without $w"
      ((failures++))
    fi
  done
}

expect_some "corvane-cli " detect program read verify erase blank-check ports
expect "corvane-cli pro" program
expect "corvane-cli --quiet r" read
expect "corvane-cli --port /dev/ttyUSB0 d" detect
expect "corvane-cli --size 4K re" read
expect_some "corvane-cli --" --port --size --fast-verify --lock --quiet --help --version
expect "corvane-cli --fa" --fast-verify
expect "corvane-cli program --q" --quiet
expect "corvane-cli --size " 2K 4K
expect "corvane-cli program x.hex --size 4" 4K
expect "corvane-cli --port ima" images
expect "corvane-cli --size=" 2K 4K
expect "corvane-cli --size=2" 2K
expect "corvane-cli program " blink.hex CHIP.HEX rom.bin DUMP.BIN images
expect "corvane-cli read bl" blink.hex
expect "corvane-cli verify " blink.hex CHIP.HEX rom.bin DUMP.BIN images
expect "corvane-cli --trace ima" images
expect "corvane-cli --trace t.log b" blank-check
expect "corvane-cli erase "
expect "corvane-cli --port /dev/null -q program " blink.hex CHIP.HEX rom.bin DUMP.BIN images
expect "corvane-cli detect "
expect "corvane-cli --chips 3 --serial 0x10=1 st" station
expect "corvane-cli station " blink.hex CHIP.HEX rom.bin DUMP.BIN images
expect "corvane-cli station x.hex --serial-format " le16 be16 le32 be32 ascii:
expect_some "corvane-cli station x.hex --s" --serial --serial-format --serial-overwrite --size
expect "corvane-cli detect b"
expect_some "corvane-cli --" --all --count --timeout
expect "corvane-cli --all --count "
expect "corvane-cli --all --count 4 --timeout 30 pro" program
expect "corvane-cli --all --timeout 3"
expect "corvane-cli --all program " blink.hex CHIP.HEX rom.bin DUMP.BIN images

expect "corvane-cli --format " hex bin
expect "corvane-cli read --format=b" bin
expect "corvane-cli --format bin program " rom.bin DUMP.BIN images
expect "corvane-cli verify --format hex " blink.hex CHIP.HEX images
expect "corvane-cli read r" rom.bin
expect "corvane-cli --format=bin station " rom.bin DUMP.BIN images

((failures == 0)) && echo "ok"
exit $((failures > 0))
