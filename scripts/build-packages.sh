#!/usr/bin/env bash
# Builds the release packages, all carrying the project version (CMakeLists.txt):
# - the Debian packages liblinvo1, liblinvo-dev, python3-linvo and linvo-tools, with
#   dpkg-buildpackage from debian/ (debhelper over the CMake install rules), in a copy of the tree
#   (the work tree and its parent get no build files) and without the test suite (CI runs it);
# - the Windows installers linvo-<version>-x64.msi and linvo-<version>-x86.msi, with wixl
#   (msitools) from packaging/linvo.wxs and the Windows cross builds installed by cmake --install.
# Usage: scripts/build-packages.sh [--out DIR] [--windows DIR] [--windows32 DIR] [--deb-only]
#   --out DIR        where the packages go (default build/packages; DIR/src is the tree's copy,
#                    DIR/logs the build logs)
#   --windows DIR    the x86-64 cross build (default build/windows; configured and built as needed)
#   --windows32 DIR  the x86 cross build (default build/windows32)
#   --deb-only       only the Debian packages
# Prints the packages it made, one path a line, last.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/packages
windows=build/windows
windows32=build/windows32
msi=yes
while (($#)); do
  case $1 in
    --out) out=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --windows32) windows32=$2; shift 2 ;;
    --deb-only) msi=no; shift ;;
    *) echo "usage: scripts/build-packages.sh [--out DIR] [--windows DIR] [--windows32 DIR]" \
            "[--deb-only]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
mkdir -p "$out/logs"
out=$(cd "$out" && pwd)

# Runs a step with its output in a log; on failure prints the log's end and stops.
# step NAME LOG COMMAND...
step() {
  local name=$1 log=$2
  shift 2
  if ! "$@" >"$log" 2>&1; then
    echo "build-packages: $name failed; the end of $log:" >&2
    tail -40 "$log" >&2
    exit 1
  fi
}

# The Debian packages. The copy holds what git tracks or would track (no build/); dpkg-buildpackage
# writes the packages beside it, into $out.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  { echo "build-packages: not a git work tree" >&2; exit 1; }
src=$out/src
rm -rf "$src"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    [[ -e $file || -L $file ]] && printf '%s\0' "$file"  # not the ones deleted from the work tree
  done |
  tar --null -T - -cf - | tar -xf - -C "$src"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
step "dpkg-buildpackage" "$out/logs/dpkg-buildpackage.txt" \
  env -C "$src" DEB_BUILD_OPTIONS="nocheck parallel=$jobs" DEB_BUILD_PROFILES=nocheck \
  dpkg-buildpackage -b -us -uc
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
packages=("$out"/*_"$version"_*.deb)

if [[ $msi == yes ]]; then
  # The Windows installers. wixl keeps the database's strings in the Windows code page of its
  # language (WINDOWS_LANGUAGE=ja: 932, for the type library's Japanese title), and msibuild then
  # marks the database as code page 932, so that every machine reads them so.
  printf '\r\n\r\n932\t_ForceCodepage\r\n' >"$out/logs/_ForceCodepage.idt"
  for arch in x64 x86; do
    build=$windows preset=windows
    [[ $arch == x64 ]] || build=$windows32 preset=windows32
    [[ -f $build/build.ninja ]] || step "configuring $build" "$out/logs/configure-$arch.txt" \
      cmake --preset "$preset" -B "$build"
    step "building $build" "$out/logs/build-$arch.txt" \
      cmake --build "$build" --target linvo -j "$jobs"
    stage=$out/stage-$arch
    rm -rf "$stage"
    step "installing $build" "$out/logs/install-$arch.txt" \
      cmake --install "$build" --prefix "$stage" --strip
    windows_version=$(sed -n 's/^Version: //p' "$stage/lib/pkgconfig/linvo.pc")
    if [[ $windows_version != "$version" ]]; then
      echo "build-packages: $build is version $windows_version, debian/changelog $version" >&2
      exit 1
    fi
    package=$out/linvo-$version-$arch.msi
    rm -f "$package"
    # wixl finds the files by paths relative to where it runs.
    step "wixl ($arch)" "$out/logs/wixl-$arch.txt" \
      env -C "$out" WINDOWS_LANGUAGE=ja wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
      -D StageDir="stage-$arch" -I "$PWD/packaging" -o "$package" "$PWD/packaging/linvo.wxs"
    step "msibuild ($arch)" "$out/logs/msibuild-$arch.txt" \
      env WINDOWS_LANGUAGE=ja msibuild "$package" -i "$out/logs/_ForceCodepage.idt"
    packages+=("$package")
  done
fi
printf '%s\n' "${packages[@]}"
