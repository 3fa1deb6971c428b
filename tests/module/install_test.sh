#!/usr/bin/env bash
# Installs the built library into a temporary prefix, checks what it exports, and builds and runs
# two programs that see only the installed tree: a C program through pkg-config and a C++
# program through find_package(linvo CONFIG).
# Usage: install_test.sh <build dir> <consumers dir> [compiler flags, ';'-separated]
set -euo pipefail
build=$1
consumers=$2
flags=${3:-}
flags=${flags//;/ }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() {
  echo "install test: $*" >&2
  exit 1
}
pc=$(find "$prefix" -name linvo.pc)
[[ -n $pc ]] || fail "no linvo.pc installed"
[[ -f $prefix/include/linvo/linvo.h && -f $prefix/include/linvo/version.h ]] ||
  fail "public headers missing under include/linvo"
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir linvo)
library=$(readlink -f "$libdir/liblinvo.so")

soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
[[ $soname == liblinvo.so.1 ]] || fail "SONAME is '$soname', not liblinvo.so.1"
[[ $library == */liblinvo.so.1.* ]] || fail "library file $library carries no version"
others=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | grep -v '^lvo_' || true)
[[ -z $others ]] || fail "symbols outside the public interface are exported:"$'\n'"$others"

# shellcheck disable=SC2046,SC2086
cc -std=c11 -Wall -Wextra -Werror $flags "$consumers/c/main.c" \
  $(pkg-config --cflags --libs linvo) -Wl,-rpath,"$libdir" -o "$work/c_consumer"
cmake -S "$consumers/cpp" -B "$work/cpp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cpp" >/dev/null

# The control keeps its settings file in the per-user temporary directory: use a private one.
export TMPDIR=$work/tmp
unset XDG_RUNTIME_DIR
mkdir -p "$TMPDIR"
"$work/c_consumer"
"$work/cpp/cpp_consumer"
