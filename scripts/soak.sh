#!/bin/sh
# Soak and fault-injection run of monitor-fast in <build> (default build):
# SOAK_SECONDS long (default 600). See tests/soak/soak.py.
set -eu
build=${1:-build}
src=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$build" --target monitor-fast soakprog >/dev/null
exec /usr/bin/python3 -u "$src/tests/soak/soak.py" --build "$build" --seconds "${SOAK_SECONDS:-600}"
