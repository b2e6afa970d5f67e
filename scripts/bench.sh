#!/usr/bin/env bash
# Runs every benchmark of the build: bench_* programs under BUILD/bench.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
status=0
for b in "$build"/bench/bench_*; do
  [[ -x $b && -f $b ]] || continue
  echo "== $(basename "$b")"
  "$b" || status=1
done
exit $status
