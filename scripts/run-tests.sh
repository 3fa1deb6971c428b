#!/usr/bin/env bash
# Builds the project and runs every test: the optimised build, then the address/undefined-
# behaviour sanitizer build and the thread-sanitizer build, each with the Python suite
# (tests/python: the linvo package, the linvo command, the docs' examples), then a short run of
# every fuzz target (scripts/run-fuzz.sh), then the Windows cross build with its tests under Wine
# (scripts/run-windows-tests.sh; it uses the optimised build's linvo-sim), then the release
# packages, built and installed as a user would (scripts/run-package-tests.sh; it packages the
# Windows builds).
# Usage: scripts/run-tests.sh [preset...] (release, asan, tsan, fuzz, windows, packages).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
((${#presets[@]})) || presets=(release asan tsan fuzz windows packages)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  if [[ "$preset" == fuzz ]]; then
    scripts/run-fuzz.sh
    continue
  fi
  if [[ "$preset" == windows ]]; then
    scripts/run-windows-tests.sh
    continue
  fi
  if [[ "$preset" == packages ]]; then
    scripts/run-package-tests.sh
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  # The Python suite with Debian's interpreter and pytest: all of it with the optimised build; with
  # a sanitizer build the linvo command's tests, whose programs carry the sanitizer (a plain
  # interpreter cannot load a sanitized library). Every status but 0 fails, 5 (no test) included.
  suite=tests/python
  [[ $preset == release ]] || suite=tests/python/test_linvo_command.py
  echo "=== ${preset}: pytest ${suite} ==="
  status=0
  LINVO_BUILD_DIR="build/${preset}" /usr/bin/python3 -m pytest -q "$suite" || status=$?
  if ((status == 5)); then echo "pytest collected no tests" >&2; fi
  ((status == 0)) || exit "$status"
done
