#!/bin/sh
# Lays out a demo application directory under <build>/demo and runs the
# production supervisor there in the foreground with its console on.
#
#   <build>/demo/monitor            the supervisor
#   <build>/demo/bin/               version 1: hello.sh and its config.json
#   <build>/demo/config.json        {"url": "file://<build>/demo-updates/app.tar.gz",
#                                    "public_key": "<the demo key>"}
#   <build>/demo-updates/           version 2 as an update archive, its .minisig and .crc
#   <build>/demo-key/               the demo's passwordless key pair, made on first use
#
# At start-up the supervisor finds no local copy of the update, installs
# version 2 from the file:// address once its signature by the demo key
# checks out, then runs hello.sh, which ends after five seconds and is started
# again 30 seconds later (three starts in all).
set -eu
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
demo="$build/demo"
updates="$build/demo-updates"
keys="$build/demo-key"

rm -rf "$demo" "$updates"
mkdir -p "$demo/bin" "$updates/v2/bin"
cp "$build/monitor" "$demo/monitor"

cp "$src/demo/hello.sh" "$demo/bin/hello.sh"
printf '{"list": [{"path": "hello.sh", "param": "world 1", "run": 3}]}\n' > "$demo/bin/config.json"

if [ ! -f "$keys/demo.key" ] || [ ! -f "$keys/demo.pub" ]; then
  rm -rf "$keys"
  mkdir -p "$keys"
  minisign -G -W -p "$keys/demo.pub" -s "$keys/demo.key" >/dev/null
fi
public_key=$(sed -n 2p "$keys/demo.pub")

cp "$src/demo/hello.sh" "$updates/v2/bin/hello.sh"
printf '{"list": [{"path": "hello.sh", "param": "world 2", "run": 3}]}\n' > "$updates/v2/bin/config.json"
"$src/scripts/publish-update.sh" --monitor "$demo/monitor" --sign "$keys/demo.key" \
  "$updates/v2" "$updates" app
printf '{"url": "file://%s/app.tar.gz", "public_key": "%s"}\n' "$updates" "$public_key" \
  > "$demo/config.json"

echo "demo application directory: $demo (Ctrl-C ends the supervisor and its programs)"
cd "$demo"
exec ./monitor -log
