#!/usr/bin/env bash
# Cross-builds the Windows preset (mingw-w64) and runs its test programs under wine64, headless,
# in a private Wine prefix under the build directory. A program passes only when its GoogleTest
# report says so: "[  PASSED  ] N tests." with no "[  FAILED  ]" line and nothing crashed (Wine
# may end a crashed program with status 0). Skipped tests and their reasons are printed.
# Then runs the DLL end to end against linvo-sim over a COM port mapped to a pseudo-terminal (and
# over rfc2217:// through ser2net serving it), and
# builds the 32-bit DLL. Exits 77 with a reason when wine64 or a mingw-w64 compiler is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=${WINE:-/usr/lib/wine/wine64}
for tool in "$wine" /usr/bin/{x86_64,i686}-w64-mingw32-g++-posix; do
  if [[ ! -x "$tool" ]]; then
    echo "windows: skipped: $tool is missing (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

jobs=$(nproc)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

build=build/windows
export WINEPREFIX="$PWD/$build/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX" "$build/wine/results"
# The first start creates the prefix (about 10 s); later starts reuse it.
"$wine" cmd /c exit >/dev/null 2>&1 || true
# Without a display, Wine's null graphics driver lets programs create real windows and dialogs (the
# control's in-place window, its property page); it is chosen when a session starts.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"${wine%/*}/wineserver" -k 2>/dev/null || true

failed=0
total=0
failing=0  # failed tests (a program that crashed or did not report counts as one)
# Reads a GoogleTest report: prints the verdict, the skipped tests with their reasons and, on a
# failure, the failing lines. judge NAME LOG STATUS [EXPECTED_PASSES]
judge() {
  local name=$1 log=$2 status=$3 expected=${4:-}
  local passed skipped verdict=ok
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$log" | tail -1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:$/\1/p' "$log" | tail -1)
  if [[ -z "$passed" ]] || grep -q '^\[  FAILED  \]' "$log" ||
     grep -q 'Unhandled \(page fault\|exception\)' "$log" || ((status != 0)) ||
     [[ -n "$expected" && "$passed" != "$expected" ]]; then
    verdict=FAILED
    failed=1
  fi
  total=$((total + ${passed:-0}))
  if [[ $verdict == FAILED ]]; then
    local listed
    listed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:$/\1/p' "$log" | tail -1)
    failing=$((failing + ${listed:-1}))
  fi
  echo "windows: $name: $verdict (${passed:-0} passed, ${skipped:-0} skipped, exit $status)"
  # Each skipped test with its reason (GoogleTest prints the reason between "Skipped" and the
  # test's "[  SKIPPED ]" line).
  awk '/: Skipped$/ { reason = ""; taking = 1; next }
       /^\[  SKIPPED \] [A-Za-z].* \([0-9]+ ms\)$/ {
         sub(/ \([0-9]+ ms\)$/, ""); print "  skipped: " substr($0, 14) ": " reason; taking = 0; next }
       taking { reason = reason (reason == "" ? "" : " ") $0 }' "$log"
  if [[ $verdict == FAILED ]]; then
    { grep -B5 -A3 '^\[  FAILED  \]\|Unhandled\|Failure' "$log" | head -60 | sed 's/^/  | /'; } ||
      true
  fi
}

for program in "$build"/tests/linvo_*_tests.exe; do
  name=$(basename "$program" .exe)
  log="$build/wine/results/$name.txt"
  set +e
  # Wine writes the console with CR LF line ends.
  timeout 600 "$wine" "$program" 2>&1 | tr -d '\r' >"$log"
  status=${PIPESTATUS[0]}
  set -e
  judge "$name" "$log" "$status"
done

# End to end: COM5 of the prefix is a pseudo-terminal served by the Linux linvo-sim; the DLL
# drives it through its C interface (tests/wine). Both tests must pass, none skip.
sim=build/release/tools/linvo-sim
cli=build/release/tools/linvo
if [[ ! -x $sim || ! -x $cli ]]; then
  cmake --preset release >/dev/null
  cmake --build build/release --target linvo-sim linvo_cli -j "$jobs"
fi
coproc SIM { exec "$sim" --data READY --data-reply OK; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
read -r -t 10 -u "${SIM[0]}" served || true
device=${served##* }
if [[ "$served" != "linvo-sim: serving /dev/"* ]]; then
  echo "windows: linvo_e2e_tests: FAILED (linvo-sim did not start: '$served')"
  exit 1
fi
ln -sfn "$device" "$WINEPREFIX/dosdevices/com5"
work="$build/wine/e2e"
rm -rf "$work"
mkdir -p "$work"
log="$build/wine/results/linvo_e2e_tests.txt"
set +e
(cd "$work" && LINVO_E2E_PORT=5 timeout 300 "$wine" ../../linvo_e2e_tests.exe 2>&1) |
  tr -d '\r' >"$log"
status=${PIPESTATUS[0]}
set -e
judge "linvo_e2e_tests (COM5 = $device, linvo-sim)" "$log" "$status" 2

# The DLL as a COM server, as a C++ host reaches it (tests/com): it registers the DLL with regsvr32
# (machine-wide, then per user), creates the control by ProgID and CLSID, drives it through
# IDispatch, persists it, and hears its events during background exchanges with the same
# linvo-sim on COM5. Its test of text in the Japanese ANSI code page runs again with the locale
# that gives the process code page 932; there it must pass, not skip.
log="$build/wine/results/linvo_com_tests.txt"
set +e
(cd "$work" && LINVO_E2E_PORT=5 timeout 300 "$wine" ../../linvo_com_tests.exe 2>&1) |
  tr -d '\r' >"$log"
status=${PIPESTATUS[0]}
set -e
judge "linvo_com_tests (COM5 = linvo-sim)" "$log" "$status"
log="$build/wine/results/linvo_com_tests-cp932.txt"
set +e
(cd "$work" && LC_ALL=ja_JP.UTF-8 timeout 120 "$wine" ../../linvo_com_tests.exe \
   --gtest_filter=Dispatch.TextCrossesAsTheAnsiCodePage:TypeLibrary.* 2>&1) | tr -d '\r' >"$log"
status=${PIPESTATUS[0]}
set -e
judge "linvo_com_tests (code page 932)" "$log" "$status" 5

# Script hosts: VBScript and JScript through Wine's cscript create the registered control by
# ProgID and check themselves (tests/wine/scripts), the exchange against linvo-sim on COM5
# included. A script passes when it ends with "N checks, 0 failed" and exits with 0.
# judge_script NAME LOG STATUS
judge_script() {
  local name=$1 log=$2 status=$3 checks
  checks=$(sed -n 's/^\([0-9]*\) checks, 0 failed$/\1/p' "$log" | tail -1)
  if ((status == 0)) && [[ -n "$checks" ]] && ! grep -q '^not ok' "$log" &&
     ! grep -q '^skip' "$log"; then
    echo "windows: $name: ok ($checks checks)"
    total=$((total + checks))
  else
    echo "windows: $name: FAILED (exit $status)"
    grep -v '^ok' "$log" | head -20 | sed 's/^/  | /'
    failed=1
    failing=$((failing + 1))
  fi
}
# A Linux path as the prefix's Z: drive names it.
windows_path() { local path; path=$(readlink -f "$1"); echo "Z:${path//\//\\}"; }
for script in tests/wine/scripts/*.vbs tests/wine/scripts/*.js; do
  log="$build/wine/results/$(basename "$script").txt"
  path=$(windows_path "$script")
  set +e
  (cd "$work" && LINVO_E2E_PORT=5 timeout 120 "$wine" cscript //nologo "$path" 2>&1) |
    tr -d '\r' >"$log"
  status=${PIPESTATUS[0]}
  set -e
  judge_script "$(basename "$script") (cscript, COM5 = linvo-sim)" "$log" "$status"
done
# The examples of docs/windows.md (examples/windows), each against linvo-sim on COM5, printing
# what the page shows. check_example NAME EXPECTED COMMAND...
check_example() {
  local name=$1 expected=$2 status
  shift 2
  log="$build/wine/results/example-$name.txt"
  set +e
  (cd "$work" && timeout 120 "$@" 2>&1) | tr -d '\r' >"$log"
  status=${PIPESTATUS[0]}
  set -e
  if ((status == 0)) && [[ "$(cat "$log")" == "$expected" ]]; then
    echo "windows: example $name (COM5 = linvo-sim): ok"
  else
    echo "windows: example $name (COM5 = linvo-sim): FAILED (exit $status)"
    diff <(echo "$expected") "$log" | head -20 | sed 's/^/  | /' || true
    failed=1
    failing=$((failing + 1))
  fi
}
check_example exchange.vbs "lvoOpenPort -> 0
lvoSendCommandRR S1 -> 10 READY
lvoSendDataBCCRR HELLO -> 0 OK
error 80020005: 'ACKTimer': type mismatch: text \"soon\" is not a long
lvoClosePort -> 0" "$wine" cscript //nologo "$(windows_path examples/windows/exchange.vbs)" 5
check_example exchange.js "lvoOpenPort -> 0
lvoSendCommandRR S1 -> 10 READY
error 800a01b6: Object doesn't support this property or method
lvoClosePort -> 0" "$wine" cscript //nologo "$(windows_path examples/windows/exchange.js)" 5
check_example com_host.exe "lvoOpenPort -> 0
lvoSendCommandRR(2, 3000) S1 -> 1
event lvoReceiveResponseEvent(10)
PollCmdResData READY
lvoClosePort -> 0" "$wine" ../../com_host.exe 5

# The same exchanges over the network: COM9 mapped in Linvo.ini to rfc2217://127.0.0.1:PORT,
# Debian's ser2net serving linvo-sim's pseudo-terminal (ser2net reports its modem lines as off,
# hence ign_modem_state). ser2net listens on loopback only and is stopped here.
if command -v ser2net >/dev/null; then
  net_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/ser2net.yaml" <<EOT
connection: &linvo
  accepter: telnet(rfc2217),tcp,127.0.0.1,$net_port
  connector: serialdev,$device,19200n81,local
  options:
    chardelay: false
EOT
  ser2net -n -u -c "$work/ser2net.yaml" >"$build/wine/results/ser2net.txt" 2>&1 &
  ser2net_pid=$!
  trap 'kill "$sim_pid" "$ser2net_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -q "0100007F:$(printf '%04X' "$net_port") [0-9A-F:]* 0A" /proc/net/tcp && break
    sleep 0.05
  done
  log="$build/wine/results/linvo_e2e_tests-rfc2217.txt"
  set +e
  (cd "$work" && LINVO_E2E_PORT=9 \
     LINVO_E2E_PORTS="COM9=rfc2217://127.0.0.1:$net_port?ign_modem_state" timeout 120 "$wine" \
     ../../linvo_e2e_tests.exe \
     --gtest_filter='DeviceExchange.CommandAndDataExchangeWithTheirTrace:DeviceExchange.BackgroundResponseArrivesAsAnEvent' \
     2>&1) | tr -d '\r' >"$log"
  status=${PIPESTATUS[0]}
  set -e
  kill "$ser2net_pid" 2>/dev/null || true
  wait "$ser2net_pid" 2>/dev/null || true
  judge "linvo_e2e_tests (COM9 = rfc2217:// to ser2net, linvo-sim)" "$log" "$status" 2
else
  echo "windows: linvo_e2e_tests over rfc2217://: skipped: ser2net is missing (scripts/install-deps.sh installs it)"
fi
kill "$sim_pid" 2>/dev/null || true
rm -f "$WINEPREFIX/dosdevices/com5"

# Registration-free: with the DLL unregistered, cscript cannot create the control, and a copy of
# cscript.exe whose application manifest names the assembly "linvo" creates it from linvo.dll and
# linvo.manifest beside it. (The copy runs from its own folder; Windows looks for a program in the
# current folder first, so the plain cscript runs from the work directory.)
regfree="$build/wine/regfree"
rm -rf "$regfree"
mkdir -p "$regfree"
cp "$WINEPREFIX/drive_c/windows/system32/cscript.exe" "$build/linvo.dll" "$build/linvo.manifest" \
  tests/wine/regfree/cscript.exe.manifest tests/wine/regfree/create.vbs "$regfree/"
log="$build/wine/results/registration-free.txt"
set +e
"$wine" regsvr32 /u /s "$(windows_path "$build/linvo.dll")" >"$log" 2>&1
unregistered=$?
path=$(windows_path "$regfree/create.vbs")
(cd "$work" && timeout 60 "$wine" cscript //nologo "$path" 2>&1) | tr -d '\r' >>"$log"
plain=${PIPESTATUS[0]}
(cd "$regfree" && timeout 60 "$wine" ./cscript.exe //nologo create.vbs 2>&1) | tr -d '\r' >>"$log"
manifested=${PIPESTATUS[0]}
set -e
if ((unregistered == 0 && plain == 1 && manifested == 0)) &&
   grep -q '^created: lvoCharAscHConv(0, "AB") = 4142$' "$log"; then
  echo "windows: registration-free creation through linvo.manifest: ok"
else
  echo "windows: registration-free creation through linvo.manifest: FAILED" \
       "(unregister $unregistered, unregistered cscript $plain, manifested copy $manifested)"
  sed 's/^/  | /' "$log" | head -20
  failed=1
  failing=$((failing + 1))
fi

# And the other way round: linvo-sim.exe serves COM6 of the prefix, one end of a pseudo-terminal
# pair (socat); the Linux linvo command exchanges with it through the other end.
pair="$build/wine/pair"
rm -rf "$pair"
mkdir -p "$pair"
socat pty,raw,echo=0,link="$pair/host" pty,raw,echo=0,link="$pair/device" 2>"$pair/socat.txt" &
socat_pid=$!
trap 'kill "$sim_pid" "$socat_pid" "${winsim_pid:-}" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$pair/host" && -e "$pair/device" ]] && break; sleep 0.1; done
ln -sfn "$(readlink -f "$pair/device")" "$WINEPREFIX/dosdevices/com6"
"$wine" "$build/tools/linvo-sim.exe" --port COM6 --data READY --data-reply OK \
  >"$pair/sim.txt" 2>&1 &
winsim_pid=$!
for _ in $(seq 100); do grep -q "serving COM6" "$pair/sim.txt" && break; sleep 0.1; done
printf '[Ports]\nCOM7=%s\n' "$(readlink -f "$pair/host")" >"$pair/Linvo.ini"
log="$build/wine/results/linvo-sim.exe.txt"
set +e
timeout 60 "$cli" run --settings-dir "$pair" --set PortNo=7 --set DSRCheck=false \
  --call lvoOpenPort --set SendData=S1 --call "lvoSendCommandRR 0 3000" --get PollCmdResData \
  --set SendData=HELLO --call "lvoSendDataBCCRR 0 2" --get ReceiveData --call lvoClosePort \
  >"$log" 2>&1
status=$?
set -e
kill "$winsim_pid" "$socat_pid" 2>/dev/null || true
wait "$winsim_pid" "$socat_pid" 2>/dev/null || true
rm -f "$WINEPREFIX/dosdevices/com6"
expected='call lvoSendCommandRR(0, 3000) = 10
get PollCmdResData = "READY"
call lvoSendDataBCCRR(0, 2) = 0
get ReceiveData = "OK"'
if ((status == 0)) && [[ "$(grep -E '^(call lvoSend|get )' "$log")" == "$expected" ]]; then
  echo "windows: linvo-sim.exe on COM6, the linvo command on its pair: ok"
else
  echo "windows: linvo-sim.exe on COM6, the linvo command on its pair: FAILED (exit $status)"
  sed 's/^/  | /' "$log" "$pair/sim.txt" | head -40
  failed=1
  failing=$((failing + 1))
fi

# The 32-bit library builds from the same sources (nothing runs it: Debian has no 32-bit Wine that
# installs cleanly); a warning there fails like any build error.
if cmake --preset windows32 >/dev/null && cmake --build --preset windows32 --target linvo -j "$jobs" \
     -- -k 0 >"$build/wine/results/windows32-build.txt" 2>&1 &&
   ! grep -q 'warning:' "$build/wine/results/windows32-build.txt"; then
  echo "windows: 32-bit linvo.dll: ok"
else
  echo "windows: 32-bit linvo.dll: FAILED"
  failing=$((failing + 1))
  grep -B2 -A6 'warning:\|error:' "$build/wine/results/windows32-build.txt" | head -40 | sed 's/^/  | /'
  failed=1
fi

# Both DLLs as COM servers, read back with the cross tools (the 32-bit one is never loaded): the
# server entry points exported under their plain names (not stdcall-decorated), the type library
# as TYPELIB resource 1, the version resource (type 16, id 1), and the control's bitmaps, dialog
# and strings. check_dll LABEL TRIPLET DLL
check_dll() {
  local label=$1 triplet=$2 dll=$3 dump exports resources item missing=()
  if ! dump=$("$triplet-objdump" -p "$dll" 2>&1); then
    echo "windows: $label exports and resources: FAILED ($triplet-objdump cannot read $dll)"
    failing=$((failing + 1))
    failed=1
    return
  fi
  exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$dump")
  # The resource directory as "type id" lines: type entries are indented by three, name entries by
  # five; numbers become decimal.
  resources=$(awk '/^[0-9a-f]+   Entry: / { type = $0; sub(/.*Entry: (name: \[[^]]*\]: |ID: )/, "", type)
                                           sub(/, Value:.*/, "", type); next }
                   /^[0-9a-f]+     Entry: / { id = $0; sub(/.*Entry: (name: \[[^]]*\]: |ID: )/, "", id)
                                           sub(/, Value:.*/, "", id); print type, id }' <<<"$dump" |
    while read -r type id; do
      [[ $type == 0x* ]] && type=$((type))
      [[ $id == 0x* ]] && id=$((id))
      echo "$type $id"
    done)
  for item in DllRegisterServer DllUnregisterServer DllGetClassObject DllCanUnloadNow DllInstall; do
    grep -qx "$item" <<<"$exports" || missing+=("export $item")
  done
  grep -qx 'TYPELIB 1' <<<"$resources" || missing+=("resource TYPELIB 1 (the type library)")
  grep -qx '16 1' <<<"$resources" || missing+=("resource 16 1 (the version)")
  # Bitmaps 1 (toolbox) and 201 (design picture), dialog 200 (the page), the string blocks of
  # strings 1-2 (type names) and 200 (the page's title).
  for item in "2 1" "2 201" "5 200" "6 1" "6 13"; do
    grep -qx "$item" <<<"$resources" || missing+=("resource $item")
  done
  if ((${#missing[@]} == 0)); then
    echo "windows: $label exports and resources: ok"
  else
    echo "windows: $label exports and resources: FAILED"
    printf '  missing: %s\n' "${missing[@]}"
    failing=$((failing + 1))
    failed=1
  fi
}
check_dll "64-bit linvo.dll" x86_64-w64-mingw32 "$build/linvo.dll"
check_dll "32-bit linvo.dll" i686-w64-mingw32 build/windows32/linvo.dll

# The closing line in the form test runners use.
echo "windows: $total passed, $failing failed"
exit "$failed"
