#!/bin/sh
# Runs every benchmark built under <build>/bench.
set -eu
build=${1:-build}
status=0
for b in "$build"/bench/*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" || status=1
done
exit $status
