#!/usr/bin/env bash
# Makes src/app_win/corvane.ico, the Windows program's icon, from the icon of
# the Linux desktop entry, in the sizes that Explorer, the task bar and the
# window's caption ask for at 96 to 192 dots per inch. Run it when
# packaging/corvane.svg changes (needs Debian's librsvg2-bin and icoutils).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pngs=()
for size in 16 20 24 32 40 48 64; do
  rsvg-convert -w "$size" -h "$size" "$root/packaging/corvane.svg" -o "$tmp/$size.png"
  pngs+=("$tmp/$size.png")
done
rsvg-convert -w 256 -h 256 "$root/packaging/corvane.svg" -o "$tmp/256.png"
icotool -c -o "$root/src/app_win/corvane.ico" "${pngs[@]}" --raw="$tmp/256.png"
