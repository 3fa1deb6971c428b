#!/usr/bin/env bash
# Builds the project and runs every test: the optimised build, then the address/undefined-
# behaviour sanitizer build and the thread-sanitizer build. Usage: scripts/run-tests.sh [preset...]
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
((${#presets[@]})) || presets=(release asan tsan)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
