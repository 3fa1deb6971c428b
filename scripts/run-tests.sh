#!/usr/bin/env bash
# Builds the project and runs every test: the optimised build, then the address/undefined-
# behaviour sanitizer build and the thread-sanitizer build, then a short run of every fuzz target
# (scripts/run-fuzz.sh). Usage: scripts/run-tests.sh [preset...] (release, asan, tsan, fuzz,
# windows). The windows step (scripts/run-windows-tests.sh: the mingw-w64 cross build and its
# tests under Wine) is not yet in the default list: its suite does not pass yet.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
((${#presets[@]})) || presets=(release asan tsan fuzz)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  if [[ "$preset" == fuzz ]]; then
    scripts/run-fuzz.sh
    continue
  fi
  if [[ "$preset" == windows ]]; then
    status=0
    scripts/run-windows-tests.sh || status=$?
    ((status == 0 || status == 77)) || exit "$status"
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
