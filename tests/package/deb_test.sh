#!/usr/bin/env bash
# Makes the Debian package from this build, checks its fields and its tree,
# unpacks it into a temporary root and programs the virtual programmer with the
# unpacked corvane-cli (both programs taken from the package, not the build).
# Usage: deb_test.sh CPACK_CONFIG VERSION WITH_WINDOW HEX_FILE
set -euo pipefail
config=$1 version=$2 window=$3 hex=$4

tmp=$(mktemp -d)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$config" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; }
debs=("$tmp"/out/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "cpack made ${#debs[@]} packages: ${debs[*]}"
deb=${debs[0]}
[[ $(basename "$deb") == "corvane_${version}_$(dpkg --print-architecture).deb" ]] || fail "file name $(basename "$deb")"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == corvane ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), project $version"
[[ $(field Architecture) == $(dpkg --print-architecture) ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
depends=$(field Depends)
wanted=(libc6 libstdc++6)
[[ $window == 1 ]] && wanted+=(libqt6widgets6 libqt6gui6 libqt6core6)
for lib in "${wanted[@]}"; do
  [[ ", $depends" == *", $lib "* || ", $depends," == *", $lib,"* ]] || fail "Depends lacks $lib: $depends"
done
description=$(field Description)
[[ $(head -1 <<<"$description") == "programmer for 89-series 8051 flash microcontrollers" ]] ||
  fail "Description's summary: $(head -1 <<<"$description")"
[[ $description == *"Corvane programs 8051-family flash microcontrollers"* ]] || fail "Description has no long text: $description"
dpkg-deb -I "$deb" >/dev/null

# The tree: the programs, the man pages, the completion, and for the window its
# desktop entry and icon; nothing else in bin/.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
programs=(corvane-cli corvane-sim)
[[ $window == 1 ]] && programs=(corvane "${programs[@]}")
expected=(usr/share/bash-completion/completions/corvane-cli usr/share/doc/corvane/copyright)
for p in "${programs[@]}"; do expected+=("usr/bin/$p" "usr/share/man/man1/$p.1.gz"); done
[[ $window == 1 ]] && expected+=(usr/share/applications/corvane.desktop
                                usr/share/icons/hicolor/scalable/apps/corvane.svg)
for f in "${expected[@]}"; do [[ -f $root/$f ]] || fail "the package lacks /$f"; done
mapfile -t bin < <(cd "$root/usr/bin" && ls)
[[ "${bin[*]}" == "$(printf '%s\n' "${programs[@]}" | sort | xargs)" ]] || fail "usr/bin holds: ${bin[*]}"
for p in "${programs[@]}"; do
  file -b "$root/usr/bin/$p" | grep -q "not stripped" && fail "/usr/bin/$p is not stripped"
  zcat "$root/usr/share/man/man1/$p.1.gz" | grep -q "^\.TH \"\?${p^^}\"\? \"\?1\"\? " ||
    fail "$p.1.gz is no man page of section 1"
done
# corvane-cli's page comes from its --help: every command is in it.
for command in detect program read; do
  zcat "$root/usr/share/man/man1/corvane-cli.1.gz" | grep -q "$command" || fail "corvane-cli.1 lacks $command"
done
grep -qx 'License: Expat' "$root/usr/share/doc/corvane/copyright" || fail "copyright: no licence"
if [[ $window == 1 ]]; then
  desktop-file-validate "$root/usr/share/applications/corvane.desktop" || fail "desktop entry"
  grep -qx "Exec=corvane" "$root/usr/share/applications/corvane.desktop" || fail "Exec"
  grep -qx "Icon=corvane" "$root/usr/share/applications/corvane.desktop" || fail "Icon"
fi

# One version everywhere.
[[ $("$root/usr/bin/corvane-cli" --version) == "corvane-cli $version" ]] || fail "corvane-cli --version"
[[ $("$root/usr/bin/corvane-sim" --version) == "corvane-sim $version" ]] || fail "corvane-sim --version"

# The unpacked corvane-cli finds the unpacked virtual programmer and programs it.
export CORVANE_SERIALCOMM=$tmp/map TMPDIR=$tmp
mkdir "$CORVANE_SERIALCOMM"
coproc SIM { exec "$root/usr/bin/corvane-sim" --chip 52 --ignore-stdin 2>&1; }
sim_pid=$SIM_PID
# It prints "PORT ENTRY" once it is announced.
read -r -t 60 port entry <&"${SIM[0]}" || fail "corvane-sim did not start"
[[ -e $entry ]] || fail "corvane-sim printed '$port $entry'"
out=$("$root/usr/bin/corvane-cli" detect) || fail "detect ended with $?: $out"
[[ $out == *"89C52 on $port"* ]] || fail "detect printed: $out"
out=$("$root/usr/bin/corvane-cli" --quiet program "$hex" 2>&1) || fail "program ended with $?: $out"
out=$("$root/usr/bin/corvane-cli" program "$hex" --fast-verify) || fail "program --fast-verify ended with $?: $out"
[[ $out == *"Complete!"* ]] || fail "program printed: $out"
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
