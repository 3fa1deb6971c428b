#!/usr/bin/env bash
# Cross-builds the Windows preset (mingw-w64) and runs its test programs under wine64, headless,
# in a private Wine prefix under the build directory. A program passes only when its GoogleTest
# report says so: "[  PASSED  ] N tests." with no "[  FAILED  ]" line and nothing crashed (Wine
# may end a crashed program with status 0). Skipped tests and their reasons are printed.
# Exits 77 with a reason when wine64 or the mingw-w64 compilers are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=${WINE:-/usr/lib/wine/wine64}
compiler=/usr/bin/x86_64-w64-mingw32-g++-posix
for tool in "$wine" "$compiler"; do
  if [[ ! -x "$tool" ]]; then
    echo "windows: skipped: $tool is missing (scripts/install-deps.sh windows installs it)"
    exit 77
  fi
done

jobs=$(nproc)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

build=build/windows
export WINEPREFIX="$PWD/$build/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX" "$build/wine/results"
# The first start creates the prefix (about 10 s); later starts reuse it.
"$wine" cmd /c exit >/dev/null 2>&1 || true

failed=0
total=0
for program in "$build"/tests/linvo_*_tests.exe; do
  name=$(basename "$program" .exe)
  log="$build/wine/results/$name.txt"
  start=$(date +%s)
  set +e
  # Wine writes the console with CR LF line ends.
  timeout 600 "$wine" "$program" 2>&1 | tr -d '\r' >"$log"
  status=${PIPESTATUS[0]}
  set -e
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$log" | tail -1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:$/\1/p' "$log" | tail -1)
  verdict=ok
  if [[ -z "$passed" ]] || grep -q '^\[  FAILED  \]' "$log" ||
     grep -q 'Unhandled \(page fault\|exception\)' "$log" || ((status != 0)); then
    verdict=FAILED
    failed=1
  fi
  total=$((total + ${passed:-0}))
  echo "windows: $name: $verdict (${passed:-0} passed, ${skipped:-0} skipped, exit $status, $(($(date +%s) - start)) s)"
  grep -A1 '^\[  SKIPPED \] [A-Za-z]' "$log" | grep -v '^--$' | sed 's/^/  /' || true
  if [[ $verdict == FAILED ]]; then
    { grep -B5 -A3 '^\[  FAILED  \]\|Unhandled' "$log" | head -60 | sed 's/^/  | /'; } || true
  fi
done
echo "windows: $total tests passed under Wine"
exit "$failed"
