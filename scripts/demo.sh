#!/bin/sh
# Lays out a demo application directory under <build>/demo and runs the
# production supervisor there in the foreground with its console on.
#
#   <build>/demo/monitor            the supervisor
#   <build>/demo/bin/               version 1: hello.sh and its config.json
#   <build>/demo/config.json        {"url": "file://<build>/demo-updates/app.tar.gz"}
#   <build>/demo-updates/           version 2 as an update archive and its .crc
#
# At start-up the supervisor finds no local copy of the update, installs
# version 2 from the file:// address, then runs hello.sh, which ends after
# five seconds and is started again 30 seconds later (three starts in all).
set -eu
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
demo="$build/demo"
updates="$build/demo-updates"

rm -rf "$demo" "$updates"
mkdir -p "$demo/bin" "$updates/v2/bin"
cp "$build/monitor" "$demo/monitor"

cp "$src/demo/hello.sh" "$demo/bin/hello.sh"
printf '{"list": [{"path": "hello.sh", "param": "world 1", "run": 3}]}\n' > "$demo/bin/config.json"

cp "$src/demo/hello.sh" "$updates/v2/bin/hello.sh"
printf '{"list": [{"path": "hello.sh", "param": "world 2", "run": 3}]}\n' > "$updates/v2/bin/config.json"
tar czf "$updates/app.tar.gz" -C "$updates/v2" bin
crc=$("$demo/monitor" crc "$updates/app.tar.gz" | tail -n 1)
printf '{"crc": "%s"}\n' "$crc" > "$updates/app.tar.gz.crc"
printf '{"url": "file://%s/app.tar.gz"}\n' "$updates" > "$demo/config.json"

echo "demo application directory: $demo (Ctrl-C ends the supervisor and its programs)"
cd "$demo"
exec ./monitor -log
