#!/usr/bin/env bash
# Runs the libFuzzer targets for the given number of seconds each (default 60).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (targets: hexfile, and others under fuzz/)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=()
  for src in fuzz/*_fuzz.cpp; do t=$(basename "$src" _fuzz.cpp); targets+=("$t"); done
fi

CC=clang CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" -DCORVANE_WERROR=ON -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF -DCORVANE_APP=OFF >/dev/null
status=0
for t in "${targets[@]}"; do
  cmake --build build-fuzz --target "fuzz_$t" -j "$(nproc)"
  work=build-fuzz/corpus-$t
  mkdir -p "$work" "fuzz/crashes/$t"
  echo "== fuzz_$t for ${seconds}s"
  # Seeds from the repo, new inputs in the build folder; crashes go to fuzz/crashes/TARGET/ (replayed by the tests).
  if ! build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="fuzz/crashes/$t/" "$work" "fuzz/corpus/$t"; then
    status=1
  fi
done
exit $status
