#!/usr/bin/env bash
# The Windows package as a user gets it: corvane-<version>-win64.zip unpacked
# holds corvane-cli.exe, README.txt and LICENSE.txt (text with CR LF line
# ends) in one folder, and the program runs from there under Wine with no DLL
# beside it.
# Usage: zip_test.sh ZIP VERSION WINE_RUN PREFIX
set -euo pipefail
zip=$1 version=$2 wine_run=$3 prefix=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

name=corvane-$version-win64
[[ $(basename "$zip") == "$name.zip" ]] || fail "file name $(basename "$zip")"
(cd "$tmp" && cmake -E tar xf "$zip")
mapfile -t files < <(cd "$tmp" && find . -type f | sort)
[[ "${files[*]}" == "./$name/LICENSE.txt ./$name/README.txt ./$name/corvane-cli.exe" ]] ||
  fail "the zip holds: ${files[*]}"
for text in README.txt LICENSE.txt; do
  [[ $(grep -c $'\r$' "$tmp/$name/$text") == $(wc -l <"$tmp/$name/$text") ]] ||
    fail "$text has a line without CR LF"
done
grep -q "Copyright (c) .* the Corvane developers" "$tmp/$name/LICENSE.txt" || fail "LICENSE.txt"
grep -q "Device Manager" "$tmp/$name/README.txt" || fail "README.txt does not say how to find the port"

out=$("$wine_run" "$prefix" "$tmp/$name/corvane-cli.exe" --version | tr -d '\r')
[[ $out == "corvane-cli $version" ]] || fail "corvane-cli.exe --version: $out"
