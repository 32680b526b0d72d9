#!/bin/sh
# Lays out a demo application directory under <build>/demo and runs the
# supervisor there in the foreground with its console on.
set -eu
build=${1:-build}
demo="$build/demo"
mkdir -p "$demo/bin"
cp "$build/monitor" "$demo/monitor"
echo "crc of the supervisor itself:"
"$demo/monitor" crc "$demo/monitor"; echo
echo "serial number:"
"$demo/monitor" sn
