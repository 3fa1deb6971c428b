#!/usr/bin/env bash
# Sets up everything on a fresh machine (the Debian packages, the optimised build of the library,
# linvo-sim and the linvo command) and runs the Python example examples/python/exchange.py: it
# creates the control by name, opens a port mapped to linvo-sim on a pseudo-terminal, makes a
# command exchange, a data exchange and a background receive whose completion arrives as an
# event, closes the port and prints the results and the trace file. Arguments go to the example
# ("--device /dev/ttyUSB0" runs it against another device; "--help" lists the options).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" linux
(cd "$root" && cmake --preset release >/dev/null)
cmake --build "$root/build/release" --target linvo linvo-sim linvo_cli
export LINVO_LIBRARY="$root/build/release/liblinvo.so"
export LINVO_SIM="$root/build/release/tools/linvo-sim"
export PYTHONPATH="$root/python${PYTHONPATH:+:$PYTHONPATH}"
# Run from the caller's directory so that a relative --device path means what the caller meant.
exec /usr/bin/python3 "$root/examples/python/exchange.py" "$@"
