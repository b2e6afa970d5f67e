#!/usr/bin/env bash
# The long forms of the hardening runs: 200 program-and-verify cycles against
# the virtual programmer and 1000 open/close cycles of the port with its
# monitor running, in the plain and the sanitizer build (LeakSanitizer checks
# at the end). Each run prints memory, descriptors and threads before and after.
#   scripts/longrun.sh [BUILD [ASAN_BUILD]]     (defaults: build build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
asan=${2:-build-asan}
cmake=(cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON)
[[ -f $build/CMakeCache.txt ]] || "${cmake[@]}" -S . -B "$build"
[[ -f $asan/CMakeCache.txt ]] || "${cmake[@]}" -S . -B "$asan" -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=OFF
status=0
for dir in "$build" "$asan"; do
  cmake --build "$dir" --target hardening_test -j "$(nproc)"
  echo "== $dir"
  CORVANE_LONG=1 ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    "$dir/tests/hardening/hardening_test" --gtest_filter='LongRun.*' || status=1
done
exit $status
