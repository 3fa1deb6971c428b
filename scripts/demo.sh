#!/usr/bin/env bash
# Sets up, builds and runs the demo: linvo-demo opens a port mapped to the device simulator on a
# pseudo-terminal, makes command and data exchanges through a CLinvoCtrl (one with its response
# as an event) and prints the results and the trace. Arguments go to linvo-demo ("--device /dev/ttyUSB0" runs it
# against another device; "--help" lists the options).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
(cd "$root" && cmake --preset release >/dev/null)
cmake --build "$root/build/release" --target linvo-demo linvo-sim
# Run from the caller's directory so that a relative --device path means what the caller meant.
exec "$root/build/release/tools/linvo-demo" "$@"
