#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, address and undefined-behaviour
# sanitizers) and runs each one for a fixed time, starting from its seed corpus in
# fuzz/corpus/<target>/. Any crash, sanitizer report, violated property, leak or input that runs
# longer than 10 s fails the run; the input that did it is kept in build/fuzz/artifacts/<target>/.
#
# Usage: scripts/run-fuzz.sh [--long SECONDS] [target...]
#   default: 20 s per target (the CI run); --long SECONDS: that long per target.
#   Targets are the names in fuzz/ (read_comm, profile, ...); default: all of them.
# New inputs a run finds go to build/fuzz/corpus/<target>/ (kept between runs, not in the tree).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=20
targets=()
while (($#)); do
  case "$1" in
    --long) seconds="$2"; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets+=("$name")
  done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  binary="build/fuzz/fuzz/linvo_fuzz_${target}"
  [[ -x "$binary" ]] || { echo "no fuzz target '${target}'" >&2; exit 2; }
  corpus="${root}/build/fuzz/corpus/${target}"
  artifacts="${root}/build/fuzz/artifacts/${target}/"
  mkdir -p "$corpus" "$artifacts"
  log="build/fuzz/${target}.log"
  echo "=== fuzz ${target} (${seconds} s) ==="
  if "$binary" -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" "${root}/fuzz/corpus/${target}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "${target}: ${runs:-?} runs, ${rate:-?}/s, corpus $(ls "$corpus" | wc -l) inputs"
  else
    tail -n 60 "$log"
    echo "${target}: FAILED (inputs in ${artifacts})" >&2
    failed+=("$target")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
