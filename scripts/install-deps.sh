#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, the Windows cross build
# and Wine included, and those that build and check the release packages (debhelper, lintian,
# help2man, wixl). Safe to run again. "scripts/install-deps.sh linux" leaves out the Windows
# packages (enough for the demo and "scripts/run-tests.sh release asan tsan fuzz packages", which
# then makes the Debian packages only).
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcups2-dev cups-daemon cups-client
  nlohmann-json3-dev
  python3 python3-pytest python3-setuptools python3-pip python3-venv python3-wheel python3-serial
  ser2net
  strace clang libclang-rt-14-dev
  build-essential debhelper dh-python lintian help2man man-db git
)
if [[ "${1:-}" != linux ]]; then
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
             mingw-w64-tools libwine-dev
             googletest wine64 socat wixl msitools)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
