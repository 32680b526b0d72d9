#!/bin/sh
# Measures the load one static web server carries for a fleet of updaters:
# nginx serves a CRC file and an archive on 127.0.0.1, and wrk asks for them
# as hosts do (a new connection per request). Prints CRC checks per second,
# archive bytes per second, and what they mean for fleets of 10,000 and
# 1,000,000 hosts checking once every 30 minutes.
#   ./scripts/fleet-load.sh [seconds per measurement, default 10]
# Installs nginx and wrk from Debian when missing. Binds 127.0.0.1 only and
# stops the server it started, by its pid, however it ends.
set -eu

SECONDS_EACH=${1:-10}
ARCHIVE_MB=${FLEET_ARCHIVE_MB:-20}
PERIOD_S=1800

missing=""
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing="$missing nginx"
command -v wrk >/dev/null 2>&1 || missing="$missing wrk"
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  # The package would start a system-wide nginx on every address; only ours
  # may run, so service starts are refused for the length of the install.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  # shellcheck disable=SC2086
  $SUDO apt-get install -y --no-install-recommends $missing || { [ -z "$policy" ] || $SUDO rm -f "$policy"; exit 1; }
  [ -z "$policy" ] || $SUDO rm -f "$policy"
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/fleet-load.XXXXXX)
chmod 755 "$work"  # nginx's workers run as another user when started by root
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www" "$work/tmp"
head -c $((ARCHIVE_MB * 1000 * 1000)) /dev/urandom > "$work/www/update.tar.gz"
crc=$(python3 -c 'import sys, zlib; print(zlib.crc32(open(sys.argv[1], "rb").read()) & 0xFFFFFFFF)' \
  "$work/www/update.tar.gz")
printf '{"crc": "%s"}\n' "$crc" > "$work/www/update.tar.gz.crc"
chmod -R a+rX "$work/www"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# One worker: the machine is small and wrk needs a core of its own.
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
"$NGINX" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
pid=$!
ready=0
for _ in $(seq 100); do
  if curl -sf -o /dev/null "http://127.0.0.1:$port/update.tar.gz.crc"; then ready=1; break; fi
  sleep 0.1
done
[ "$ready" -eq 1 ] || { echo "nginx did not start:"; cat "$work/error.log"; exit 1; }
# Ranges are served, as a resumed download needs.
range=$(curl -s -o /dev/null -w '%{http_code}' -r 100- "http://127.0.0.1:$port/update.tar.gz")
[ "$range" = 206 ] || { echo "no range support: $range"; exit 1; }

limit=$((SECONDS_EACH + 20))
echo "nginx $("$NGINX" -v 2>&1 | sed 's/.*\///'), 1 worker, $(nproc) cores; wrk ${SECONDS_EACH}s per figure"
# Hosts open a connection per check: Connection: close, as they do.
crc_out=$(timeout "$limit" wrk -t1 -c64 -d"${SECONDS_EACH}s" -H 'Connection: close' \
  "http://127.0.0.1:$port/update.tar.gz.crc")
arc_out=$(timeout "$limit" wrk -t1 -c8 -d"${SECONDS_EACH}s" --timeout 30s \
  "http://127.0.0.1:$port/update.tar.gz")

# wrk's "Requests/sec" and "Transfer/sec" lines, the latter in B, KB, MB or GB.
crc_rps=$(echo "$crc_out" | awk '/^Requests\/sec/ {print $2}')
arc_bps=$(echo "$arc_out" | awk '/^Transfer\/sec/ {
  v = $2; u = substr(v, length(v) - 1); n = v + 0
  if (u == "GB") n *= 1024 * 1024 * 1024; else if (u == "MB") n *= 1024 * 1024
  else if (u == "KB") n *= 1024
  printf "%.0f", n }')
crc_errors=$(echo "$crc_out" | awk '/Socket errors|Non-2xx/ {print}')

awk -v rps="$crc_rps" -v bps="$arc_bps" -v mb="$ARCHIVE_MB" -v period="$PERIOD_S" '
BEGIN {
  printf "CRC checks per second       %10.0f\n", rps
  printf "archive bytes per second    %10.1f MB/s (%.0f archives of %d MB per second)\n",
    bps / 1e6, bps / (mb * 1e6), mb
  printf "\n%-10s %14s %10s %16s %18s %18s\n", "hosts", "checks/s", "CRC load",
    "burst served in", "release at loopback", "release at 1 Gbit/s"
  split("10000 1000000", fleet, " ")
  for (i = 1; i <= 2; i++) {
    n = fleet[i]
    printf "%-10d %14.1f %9.2f%% %14.1f s %16.0f s %16.0f s\n", n, n / period,
      100 * n / period / rps, n / rps, n * mb * 1e6 / bps, n * mb * 1e6 / 125e6
  }
}'
[ -z "$crc_errors" ] || echo "wrk reported: $crc_errors"
