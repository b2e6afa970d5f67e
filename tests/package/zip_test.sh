#!/usr/bin/env bash
# The Windows package as a user gets it: corvane-<version>-win64.zip unpacked
# holds corvane.exe, corvane-cli.exe, README.txt and LICENSE.txt (text with
# CR LF line ends) in one folder; the programs import only the system's own
# DLLs, and corvane-cli.exe runs from there under Wine.
# Usage: zip_test.sh ZIP VERSION OBJDUMP WINE_RUN PREFIX
set -euo pipefail
zip=$1 version=$2 objdump=$3 wine_run=$4 prefix=$5

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

name=corvane-$version-win64
[[ $(basename "$zip") == "$name.zip" ]] || fail "file name $(basename "$zip")"
(cd "$tmp" && cmake -E tar xf "$zip")
mapfile -t files < <(cd "$tmp" && find . -type f | sort)
[[ "${files[*]}" == "./$name/LICENSE.txt ./$name/README.txt ./$name/corvane-cli.exe ./$name/corvane.exe" ]] ||
  fail "the zip holds: ${files[*]}"
for exe in corvane.exe corvane-cli.exe; do
  while read -r dll; do
    case ${dll,,} in
      kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | shell32.dll | \
        advapi32.dll | msvcrt.dll | api-ms-win-*) ;;
      *) fail "$exe needs $dll, which Windows does not have" ;;
    esac
  done < <("$objdump" -p "$tmp/$name/$exe" | awk '/DLL Name:/ {print $3}')
done
for text in README.txt LICENSE.txt; do
  [[ $(grep -c $'\r$' "$tmp/$name/$text") == $(wc -l <"$tmp/$name/$text") ]] ||
    fail "$text has a line without CR LF"
done
grep -q "Copyright (c) .* the Corvane developers" "$tmp/$name/LICENSE.txt" || fail "LICENSE.txt"
grep -q "Device Manager" "$tmp/$name/README.txt" || fail "README.txt does not say how to find the port"

out=$("$wine_run" "$prefix" "$tmp/$name/corvane-cli.exe" --version | tr -d '\r')
[[ $out == "corvane-cli $version" ]] || fail "corvane-cli.exe --version: $out"
