#!/bin/sh
# Installs the Debian packages the project builds, tests and runs with.
# Checks first, so a second run installs nothing.
set -eu

PACKAGES="
g++ make cmake ninja-build pkg-config
libcurl4-openssl-dev rapidjson-dev libjemalloc-dev zlib1g-dev libarchive-dev
googletest libgtest-dev
python3 python3-pytest openssl curl
libsodium-dev minisign libelf-dev
tar gzip procps iproute2 ca-certificates util-linux mount
libarchive-tools busybox pigz
dpkg-dev file systemd
clang libclang-rt-14-dev clang-format-14 clang-tidy-14
jq prometheus prometheus-node-exporter
"

missing=""
for p in $PACKAGES; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *" installed") ;;
    *) missing="$missing $p" ;;
  esac
done

[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# prometheus and prometheus-node-exporter are installed for promtool and for
# the fleet simulator, which starts its own: a policy that refuses service
# starts keeps their daemons from starting, unless the host has a policy already.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  own_policy=1
  trap '$SUDO rm -f "$policy"' EXIT
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
fi
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
[ -z "$own_policy" ] || $SUDO rm -f "$policy"
