#!/usr/bin/env bash
# Builds the release packages (scripts/build-packages.sh) and installs them as a user would:
# - the Debian packages: lintian; what each package holds; apt-get install ./...deb, then, with
#   no build tree on any path, linvo --version, the man pages, a linvo-sim + linvo run exchange,
#   python3 creating the control by name and exchanging with linvo-sim, a C consumer through
#   pkg-config and a C++ consumer through the CMake package; the pip install of docs/python.md in
#   a new virtual environment; then apt-get purge, leaving nothing;
# - the x64 installer under wine64 in a new Wine prefix: msiexec /i writes what DllRegisterServer
#   writes (compared with regsvr32 of the same DLL), a VBScript creates the control by ProgID and
#   calls a method, a repair restores a deleted key, msiexec /x leaves what DllUnregisterServer
#   leaves and no file;
# - the x86 installer, read with msiinfo and msiextract (nothing 32-bit runs here).
# Needs root or sudo (apt-get). Prints "packages: <check>: ok" or "FAILED" per check and ends with
# "packages: N passed, M failed"; exits 1 when a check failed.
# Usage: scripts/run-package-tests.sh [--out DIR] [--windows DIR] [--windows32 DIR] [--no-build]
#   (as scripts/build-packages.sh; default build/packages, build/windows, build/windows32;
#   --no-build tests the packages an earlier run left in DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

out=build/packages
build_args=()
build=yes
while (($#)); do
  case $1 in
    --out) out=$2; build_args+=("$1" "$2"); shift 2 ;;
    --windows | --windows32) build_args+=("$1" "$2"); shift 2 ;;
    --no-build) build=no; shift ;;
    *) echo "usage: scripts/run-package-tests.sh [--out DIR] [--windows DIR] [--windows32 DIR]" \
            "[--no-build]" >&2
       exit 2 ;;
  esac
done
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
wine=${WINE:-/usr/lib/wine/wine64}
msi=yes
for tool in "$wine" /usr/bin/{x86_64,i686}-w64-mingw32-g++-posix /usr/bin/wixl; do
  if [[ ! -x $tool ]]; then
    echo "packages: the installers are skipped: $tool is missing (scripts/install-deps.sh)"
    msi=no
    build_args+=(--deb-only)
    break
  fi
done

passed=0
failed=0
# check NAME STATUS [DETAIL]: counts and prints one verdict.
check() {
  if (($2 == 0)); then
    echo "packages: $1: ok${3:+ ($3)}"
    passed=$((passed + 1))
  else
    echo "packages: $1: FAILED${3:+ ($3)}"
    failed=$((failed + 1))
  fi
}
# Indents what explains a failure.
show() { sed 's/^/  | /' | head -${1:-40}; }

work=$(mktemp -d)
sims=()
cleanup() {
  ((${#sims[@]})) && kill "${sims[@]}" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# --- Build ----------------------------------------------------------------------------------
t=$SECONDS
status=0
if [[ $build == yes ]]; then
  scripts/build-packages.sh "${build_args[@]}" >"$work/built.txt" 2>&1 || status=$?
  check "build (dpkg-buildpackage; wixl x64 and x86)" $status "$((SECONDS - t)) s"
fi
if ((status != 0)); then
  show 60 <"$work/built.txt"
  echo "packages: $passed passed, $failed failed"
  exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(dpkg-parsechangelog -l "$out/src/debian/changelog" -S Version)
names=(liblinvo1 liblinvo-dev python3-linvo linvo-tools)
debs=()
for name in "${names[@]}"; do debs+=("$(ls "$out/${name}_${version}_"*.deb)"); done
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# --- The Debian packages as files -------------------------------------------------------------
t=$SECONDS
status=0
lintian --fail-on error "$out/linvo_${version}_${arch}.changes" >"$work/lintian.txt" 2>&1 ||
  status=$?
grep -v 'running with root privileges' "$work/lintian.txt" >"$work/lintian-tags.txt" || true
warnings=$(grep -c '^W: ' "$work/lintian-tags.txt" || true)
errors=$(grep -c '^E: ' "$work/lintian-tags.txt" || true)
((errors == 0)) || status=1
check "lintian" $status "$errors errors, $warnings warnings, $((SECONDS - t)) s"
show <"$work/lintian-tags.txt"

# What each package holds (its files, without the directories and /usr/share/doc).
holds() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' |
          grep -v '^/usr/share/doc/' | sort; }
expect_holds() {
  local name=$1 deb=$2 expected actual
  expected=$(echo "$3" | sort)
  actual=$(holds "$deb")
  if [[ $actual == "$expected" ]]; then
    check "$name holds $(echo "$expected" | wc -l) files" 0
  else
    check "$name holds what it should" 1
    diff <(echo "$expected") <(echo "$actual") | show
  fi
}
lib=/usr/lib/$multiarch
expect_holds liblinvo1 "${debs[0]}" "$lib/liblinvo.so.1
$lib/liblinvo.so.1.${version#*.}"
expect_holds liblinvo-dev "${debs[1]}" "/usr/include/linvo/linvo.h
/usr/include/linvo/linvo.hpp
/usr/include/linvo/version.h
$lib/cmake/linvo/linvoConfig.cmake
$lib/cmake/linvo/linvoConfigVersion.cmake
$lib/cmake/linvo/linvoTargets-none.cmake
$lib/cmake/linvo/linvoTargets.cmake
$lib/liblinvo.so
$lib/pkgconfig/linvo.pc"
site=/usr/lib/python3/dist-packages
expect_holds python3-linvo "${debs[2]}" "$(cd python && ls linvo/*.py | sed "s|^|$site/|")
$site/linvo-$version.dist-info/METADATA"
expect_holds linvo-tools "${debs[3]}" "/usr/bin/linvo
/usr/bin/linvo-sim
/usr/share/man/man1/linvo-sim.1.gz
/usr/share/man/man1/linvo.1.gz"
# Versions and declared dependencies: Debian's libraries through shlibs, not inside.
status=0
for deb in "${debs[@]}"; do
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || { echo "$deb: version"; status=1; }
done
dpkg-deb -f "${debs[0]}" Depends | grep -q 'libcups2' || { echo "liblinvo1: no libcups2"; status=1; }
dpkg-deb -f "${debs[2]}" Depends | grep -q 'liblinvo1 (>= '"$version"')' ||
  { echo "python3-linvo: no liblinvo1"; status=1; }
dpkg-deb -f "${debs[2]}" Depends | grep -q 'python3' || { echo "python3-linvo: no python3"; status=1; }
check "versions $version, dependencies on libcups2, liblinvo1, python3 declared" $status

# --- Installed ------------------------------------------------------------------------------
# Paths under /usr that name linvo, before the install and after the purge.
traces() { find /usr /etc -path '*linvo*' 2>/dev/null | sort; }
traces >"$work/before.txt"
t=$SECONDS
status=0
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${debs[@]}" >"$work/install.txt" 2>&1 ||
  status=$?
check "apt-get install ./{$(IFS=,; echo "${names[*]}")}_${version}_*.deb" $status \
  "$((SECONDS - t)) s"
((status == 0)) || show <"$work/install.txt"

# A user's shell: a new home and work directory, the system's PATH, no variable of the build.
home=$work/home
run_dir=$work/run
mkdir -p "$home" "$run_dir" "$work/tmp"
user_env=(env -i HOME="$home" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
          LANG=C.UTF-8 TMPDIR="$work/tmp")
as_user() { "${user_env[@]}" "$@"; }
# Starts the installed linvo-sim on a new pseudo-terminal; sets $device. start_sim OUTPUT
start_sim() {
  local output=$1
  (cd "$run_dir" && exec "${user_env[@]}" linvo-sim --data READY --data-reply OK >"$output" 2>&1) &
  sims+=($!)
  for _ in $(seq 100); do grep -q 'serving' "$output" && break; sleep 0.1; done
  device=$(sed -n 's/^linvo-sim: serving //p' "$output")
  printf '[Ports]\nCOM7=%s\n' "$device" >"$run_dir/Linvo.ini"
  [[ -n $device ]]
}

status=0
output=$(cd "$run_dir" && as_user sh -c 'command -v linvo; linvo --version' 2>&1) || status=$?
[[ $output == "/usr/bin/linvo"$'\n'"linvo $version" ]] || status=1
check "linvo --version is $version" $status
((status == 0)) || echo "$output" | show

soname=$(objdump -p "$lib/liblinvo.so.1" 2>&1 | awk '$1 == "SONAME" {print $2}')
[[ $soname == liblinvo.so.1 ]] && status=0 || status=1
check "the installed library's SONAME is liblinvo.so.1" $status "${soname:-none}"

status=0
output=$(cd "$run_dir" && as_user sh -c 'man -w linvo; man -w linvo-sim' 2>&1) || status=$?
[[ $output == "/usr/share/man/man1/linvo.1.gz"$'\n'"/usr/share/man/man1/linvo-sim.1.gz" ]] ||
  status=1
(cd "$run_dir" && as_user sh -c 'MANWIDTH=80 man linvo' 2>&1) | grep -q "linvo $version" || status=1
check "man -w linvo, man -w linvo-sim" $status
((status == 0)) || echo "$output" | show

status=0
start_sim "$work/sim.txt" || status=1
(cd "$run_dir" && as_user timeout 60 linvo run --settings-dir . --set PortNo=7 --set DSRCheck=false \
  --call lvoOpenPort --set SendData=S1 --call "lvoSendCommandRR 0 3000" --get PollCmdResData \
  --set SendData=HELLO --call "lvoSendDataBCCRR 0 2" --get ReceiveData --call lvoClosePort) \
  >"$work/run.txt" 2>&1 || status=$?
expected='call lvoSendCommandRR(0, 3000) = 10
get PollCmdResData = "READY"
call lvoSendDataBCCRR(0, 2) = 0
get ReceiveData = "OK"'
[[ "$(grep -E '^(call lvoSend|get )' "$work/run.txt")" == "$expected" ]] || status=1
check "linvo-sim + linvo run: S1 -> READY, HELLO -> OK" $status
((status == 0)) || show <"$work/run.txt"

# The control by name from python3, against the same linvo-sim: where the package and the library
# come from, the package's version as metadata and as linvo.__version__, then S1 -> READY.
cat >"$work/exchange.py" <<'EOF'
import importlib.metadata

import linvo

ctl = linvo.Dispatch("LINVO.LinvoCtrl.1")
ctl.PortNo = 7
ctl.DSRCheck = False
opened = ctl.lvoOpenPort()
ctl.SendData = "S1"
print(linvo.__file__, linvo.library_path(), importlib.metadata.version("linvo"), linvo.__version__)
print(opened, ctl.lvoSendCommandRR(0, 3000), ctl.PollCmdResData, ctl.lvoClosePort())
EOF
status=0
exchange=$(<"$work/exchange.py")
(cd "$run_dir" && as_user timeout 60 python3 -c "$exchange") >"$work/python.txt" 2>&1 || status=$?
[[ "$(cat "$work/python.txt")" == "$site/linvo/__init__.py liblinvo.so.1 $version $version
0 10 READY 0" ]] || status=1
check "python3: linvo.Dispatch(\"LINVO.LinvoCtrl.1\"), S1 -> 10 READY (library liblinvo.so.1)" \
  $status
((status == 0)) || show <"$work/python.txt"

# A C program through pkg-config and a C++ program through the CMake package, from copies of the
# consumers the install test builds.
cp -r tests/module/consumers "$work/consumers"
status=0
(cd "$work/consumers/c" && as_user sh -c \
  'cc -std=c11 -Wall -Wextra -Werror main.c $(pkg-config --cflags --libs linvo) -o c_consumer &&
   ./c_consumer') >"$work/c.txt" 2>&1 || status=$?
grep -q "^c consumer: PortNo 5, Version ${version//./, }, " "$work/c.txt" || status=1
check "C consumer through pkg-config --cflags --libs linvo" $status
((status == 0)) || show <"$work/c.txt"
status=0
(cd "$work/consumers/cpp" && as_user sh -c \
  'cmake -S . -B build -G Ninja >/dev/null && cmake --build build >/dev/null && build/cpp_consumer') \
  >"$work/cpp.txt" 2>&1 || status=$?
grep -q '^cpp consumer: ' "$work/cpp.txt" || status=1
grep -q "linvo_DIR:PATH=$lib/cmake/linvo" "$work/consumers/cpp/build/CMakeCache.txt" 2>/dev/null ||
  status=1
check "C++ consumer through find_package(linvo CONFIG)" $status
((status == 0)) || show <"$work/cpp.txt"

# The pip install of docs/python.md, as written, in a new virtual environment: the packages its
# apt line names are installed (scripts/install-deps.sh), then its commands run in the copy of the
# tree. The package in the environment is the one imported, and finds the installed library.
status=0
mapfile -t documented < <(sed -n 's/^    \(\(sudo apt\|\/usr\/bin\/python3\|~\/\.venvs\).*\)$/\1/p' \
                            docs/python.md)
apt_line=$(printf '%s\n' "${documented[@]}" | grep '^sudo apt install ' | grep -v '\./' || true)
commands=$(printf '%s\n' "${documented[@]}" | grep -v '^sudo apt' || true)
if [[ -z $apt_line || $(echo "$commands" | wc -l) -ne 2 ]]; then
  echo "docs/python.md: no apt line, venv and pip commands found" >"$work/pip.txt"
  status=1
else
  for p in ${apt_line#sudo apt install }; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      { echo "$p (named in docs/python.md) is not installed" >>"$work/pip.txt"; status=1; }
  done
  (cd "$out/src" && as_user bash -c "set -e; $commands") >>"$work/pip.txt" 2>&1 || status=$?
  (cd "$run_dir" && as_user timeout 60 "$home/.venvs/linvo/bin/python" -c "$exchange") \
    >"$work/venv.txt" 2>&1 || status=$?
  venv_site=("$home"/.venvs/linvo/lib/python3.*/site-packages)
  [[ "$(cat "$work/venv.txt")" == "${venv_site[0]}/linvo/__init__.py liblinvo.so.1 $version $version
0 10 READY 0" ]] || { status=1; cat "$work/venv.txt" >>"$work/pip.txt"; }
fi
check "docs/python.md: $(echo "$commands" | tail -1 | cut -c1-60)... in a new venv, S1 -> READY" \
  $status
((status == 0)) || show <"$work/pip.txt"
kill "${sims[@]}" 2>/dev/null || true
wait "${sims[@]}" 2>/dev/null || true
sims=()

# Purged, nothing is left.
listed=$(for name in "${names[@]}"; do dpkg -L "$name"; done | sort -u)
t=$SECONDS
status=0
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q "${names[@]}" >"$work/purge.txt" 2>&1 ||
  status=$?
for name in "${names[@]}"; do
  if dpkg -L "$name" >/dev/null 2>&1; then echo "dpkg -L $name still lists files"; status=1; fi
done >>"$work/purge.txt"
while IFS= read -r path; do
  [[ -f $path || -L $path ]] && { echo "left: $path"; status=1; }
done <<<"$listed" >>"$work/purge.txt"
traces >"$work/after.txt"
if ! diff "$work/before.txt" "$work/after.txt" >>"$work/purge.txt"; then status=1; fi
check "apt-get purge: dpkg -L empty, no file under /usr or /etc left" $status "$((SECONDS - t)) s"
((status == 0)) || show <"$work/purge.txt"

if [[ $msi == no ]]; then
  echo "packages: took $((SECONDS - started)) s"
  echo "packages: $passed passed, $failed failed"
  exit $((failed > 0))
fi

# --- The x64 installer under Wine -----------------------------------------------------------
msi64=$out/linvo-$version-x64.msi
msi32=$out/linvo-$version-x86.msi
export WINEPREFIX="$out/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$out/wine"
mkdir -p "$WINEPREFIX"
# A Linux path as the prefix's Z: drive names it.
windows_path() { local path; path=$(readlink -f "$1"); echo "Z:${path//\//\\}"; }
# Runs a Windows program, its output without CR; keeps the exit status. w_ja: in the Japanese
# locale (the ANSI code page 932).
w() { "$wine" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
w_ja() { env LC_ALL=ja_JP.UTF-8 "$wine" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The registry's classes of the machine into a file. export_classes NAME
export_classes() {
  w reg export 'HKLM\Software\Classes' "$(windows_path "$out/wine")\\$1.reg" /y >/dev/null
}
cat >"$out/wine/create.vbs" <<'EOF'
' Creates the control by ProgID and calls a method; exits with 0 only when both worked.
On Error Resume Next
Set ctl = CreateObject("LINVO.LinvoCtrl.1")
If Err.Number <> 0 Then
  WScript.Echo "not created: " & Hex(Err.Number)
  WScript.Quit 1
End If
WScript.Echo "lvoCharAscHConv(0, ""AB"") = " & ctl.lvoCharAscHConv(0, "AB")
WScript.Quit 0
EOF
echo 'WScript.Quit 0' >"$out/wine/empty.vbs"
# The registry differences: what NEW adds to (+) or removes from (-) BEFORE under
# HKLM\Software\Classes, the installer's own records (Installer\) left out; key names compare
# without case. Wine's RegisterTypeLib keeps LIBFLAG_FHASDISKIMAGE in FLAGS, which Windows drops
# (and the installer writes without): with --wine-flags, FLAGS 8 reads as 0.
cat >"$out/wine/regdiff.py" <<'EOF'
import sys

def entries(path, wine_flags):
    text = open(path, encoding="utf-16").read().replace("\\\r\n  ", "").replace("\\\n  ", "")
    found, key = set(), None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            skip = key.lower().startswith("hkey_local_machine\\software\\classes\\installer")
            if not skip:
                found.add(key.lower() + " |")
        elif key and not skip and "=" in line:
            if wine_flags and key.lower().endswith("\\flags") and line == '@="8"':
                line = '@="0"'
            found.add(key.lower() + " | " + line)
    return found

wine_flags = "--wine-flags" in sys.argv
before, new = (entries(p, wine_flags) for p in sys.argv[1:3])
for e in sorted(new - before):
    print("+", e)
for e in sorted(before - new):
    print("-", e)
EOF
regdiff() { python3 "$out/wine/regdiff.py" "$out/wine/$1.reg" "$out/wine/$2.reg" "${@:3}"; }

t=$SECONDS
status=0
{ w cmd /c exit && w cscript //nologo "$(windows_path "$out/wine/empty.vbs")" &&
  export_classes before; } >"$out/wine/prefix.txt" 2>&1 || status=$?
check "new Wine prefix" $status "$((SECONDS - t)) s"

t=$SECONDS
w msiexec /i "$(windows_path "$msi64")" /qn >"$out/wine/install.txt" 2>&1 && status=0 || status=$?
export_classes installed
folder="$WINEPREFIX/drive_c/Program Files/linvo"
for file in linvo.dll linvo.tlb linvo.manifest; do
  cmp -s "$folder/$file" "$out/stage-x64/bin/$file" || { echo "not installed: $file"; status=1; }
done >>"$out/wine/install.txt"
check "msiexec /i $(basename "$msi64") /qn: files in Program Files\\linvo" $status \
  "$((SECONDS - t)) s"
((status == 0)) || show <"$out/wine/install.txt"

status=0
w cscript //nologo "$(windows_path "$out/wine/create.vbs")" >"$out/wine/create.txt" || status=$?
[[ $(cat "$out/wine/create.txt") == 'lvoCharAscHConv(0, "AB") = 4142' ]] || status=1
check "VBScript: CreateObject(\"LINVO.LinvoCtrl.1\").lvoCharAscHConv(0, \"AB\") = 4142" $status
((status == 0)) || show <"$out/wine/create.txt"

# Repair (what msiexec /fm does; Wine's msiexec takes /f with a product code only): a deleted key
# of the control comes back.
status=0
{ w reg delete 'HKLM\Software\Classes\LINVO.LinvoCtrl.1' /f &&
  w msiexec /i "$(windows_path "$msi64")" REINSTALL=ALL REINSTALLMODE=m /qn &&
  w reg query 'HKLM\Software\Classes\LINVO.LinvoCtrl.1\CLSID'; } >"$out/wine/repair.txt" 2>&1 ||
  status=$?
check "repair (REINSTALLMODE=m) restores a deleted ProgID key" $status
((status == 0)) || show <"$out/wine/repair.txt"

t=$SECONDS
status=0
w msiexec /x "$(windows_path "$msi64")" /qn >"$out/wine/uninstall.txt" 2>&1 || status=$?
export_classes uninstalled
[[ -e $folder ]] && { echo "left: $folder"; ls -la "$folder"; status=1; } >>"$out/wine/uninstall.txt"
w reg query 'HKLM\Software\Classes\LINVO.LinvoCtrl.1' >>"$out/wine/uninstall.txt" 2>&1 &&
  { echo "the ProgID is still registered"; status=1; } >>"$out/wine/uninstall.txt"
w cscript //nologo "$(windows_path "$out/wine/create.vbs")" >>"$out/wine/uninstall.txt" 2>&1 &&
  { echo "the control can still be created"; status=1; } >>"$out/wine/uninstall.txt"
check "msiexec /x (uninstall): no files, ProgID gone, CreateObject fails" $status \
  "$((SECONDS - t)) s"
((status == 0)) || show <"$out/wine/uninstall.txt"

# The same DLL at the same path registered by DllRegisterServer (regsvr32, in the Japanese code
# page, where it writes the type library's title as the installer does), then unregistered.
status=0
mkdir -p "$folder"
cp "$out/stage-x64/bin/linvo.dll" "$folder/"
dll='C:\Program Files\linvo\linvo.dll'
{ w_ja regsvr32 /s "$dll" && export_classes registered &&
  w_ja regsvr32 /u /s "$dll" && export_classes unregistered; } \
  >"$out/wine/regsvr32.txt" 2>&1 || status=$?
rm -rf "$folder"
regdiff before installed >"$out/wine/installer-writes.txt"
regdiff before registered --wine-flags >"$out/wine/regsvr32-writes.txt"
added=$(grep -c '^+' "$out/wine/installer-writes.txt" || true)
if ! diff "$out/wine/regsvr32-writes.txt" "$out/wine/installer-writes.txt" \
       >>"$out/wine/regsvr32.txt" || ((added < 40)); then
  status=1
fi
check "the installer writes what DllRegisterServer writes ($added registry entries)" $status
((status == 0)) || show 60 <"$out/wine/regsvr32.txt"
status=0
regdiff before uninstalled >"$out/wine/installer-leaves.txt"
regdiff before unregistered >"$out/wine/regsvr32-leaves.txt"
diff "$out/wine/regsvr32-leaves.txt" "$out/wine/installer-leaves.txt" >"$out/wine/left.txt" ||
  status=1
check "the uninstall leaves what DllUnregisterServer leaves (the shared component categories)" \
  $status "$(grep -c '^+.*|.' "$out/wine/installer-leaves.txt" || true) values"
((status == 0)) || show <"$out/wine/left.txt"
"${wine%/*}/wineserver" -k 2>/dev/null || true

# --- Both installers' tables ----------------------------------------------------------------
# table MSI NAME: the rows of a table (no header), CR removed.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
# The registry rows as "root key name value", the platform's folder and type library key made
# alike.
registry_rows() {
  table "$1" Registry | awk -F'\t' '{print $2 "\t" $3 "\t" $4 "\t" $5 "\t" $6}' |
    sed 's/ProgramFiles64Folder/ProgramFilesFolder/; s/\\win64\t/\\win32\t/' | sort
}
status=0
for package in "$msi64" "$msi32"; do
  [[ $(table "$package" Property | awk -F'\t' '$1 == "ProductVersion" {print $2}') == "$version" ]] ||
    { echo "$package: ProductVersion is not $version"; status=1; }
  msiinfo export "$package" _ForceCodepage | tr -d '\r' | grep -q $'^932\t_ForceCodepage$' ||
    { echo "$package: code page is not 932"; status=1; }
done >"$out/tables.txt"
msiinfo suminfo "$msi32" | grep -q '^Template: Intel;1033' ||
  { echo "x86: template"; status=1; } >>"$out/tables.txt"
msiinfo suminfo "$msi64" | grep -q '^Template: x64;1033' ||
  { echo "x64: template"; status=1; } >>"$out/tables.txt"
table "$msi32" Component | awk -F'\t' '($4 % 512) >= 256 {print "x86: 64-bit component " $1; bad = 1}
  END {exit bad}' >>"$out/tables.txt" || status=1
table "$msi32" Directory | grep -q '^LinvoFolder	ProgramFilesFolder	linvo$' ||
  { echo "x86: not in ProgramFilesFolder"; status=1; } >>"$out/tables.txt"
# The x86 installer registers as the x64 one does for 64-bit processes.
diff <(registry_rows "$msi64" | awk -F'\t' '$5 != "RegistrationFor32Bit"') \
     <(registry_rows "$msi32") >>"$out/tables.txt" || status=1
# Each holds its DLL: PE32 for x86, PE32+ for x64.
for pair in "$msi64:pei-x86-64" "$msi32:pei-i386"; do
  package=${pair%:*}
  rm -rf "$out/extract" && mkdir -p "$out/extract"
  msiextract -C "$out/extract" "$package" >/dev/null
  dll=$(find "$out/extract" -name linvo.dll)
  objdump -f "$dll" | grep -q "file format ${pair#*:}" ||
    { echo "$package: linvo.dll is not ${pair#*:}"; status=1; }
  for file in linvo.tlb linvo.manifest; do
    [[ -n $(find "$out/extract" -name "$file") ]] || { echo "$package: no $file"; status=1; }
  done
done >>"$out/tables.txt"
rm -rf "$out/extract"
name="msiinfo: both installers $version, code page 932; x86: 32-bit DLL and components,"
check "$name Program Files (x86), the x64 registry rows" $status
((status == 0)) || show <"$out/tables.txt"

echo "packages: took $((SECONDS - started)) s"
echo "packages: $passed passed, $failed failed"
exit $((failed > 0))
