#!/bin/bash
# A fleet on one machine: N simulated hosts, each a fast supervisor
# (monitor-fast) in network, mount and process namespaces of its own with
# its own /etc/machine-id (its network namespace has no interface, so the
# machine id is its identity), all fetching from one shared file:// folder.
# One node exporter per host reads the host's metrics file, and a Prometheus
# server on 127.0.0.1 scrapes them all.
#
# It publishes a first release to every host, then a good release at 25 %,
# then at 100 %, then a release whose program fails at 10 %, and prints
# after each step, from Prometheus queries, the versions across the fleet,
# the hosts on the new version and the rollbacks.
#
#   ./scripts/fleet-sim.sh [--hosts N] [--build DIR] [--step-timeout S] [--keep]
#
# N defaults to 20, DIR to ./build (monitor-fast and monitor are used from
# there). The hosts' identities are chosen so that every rollout step reaches
# at least one host and leaves at least one out. Needs root (namespaces),
# prometheus, prometheus-node-exporter, python3, curl and jq. Everything it
# starts it ends by process id, however it ends; each host's namespaces go
# with its processes. --keep keeps the work folder (logs, status files).
set -eu

hosts=20
build=build
step_timeout=120
keep=false
while [ $# -gt 0 ]; do
  case "$1" in
    --hosts) hosts=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --step-timeout) step_timeout=$2; shift 2 ;;
    --keep) keep=true; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "fleet-sim: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$hosts" in
  ""|*[!0-9]*) echo "fleet-sim: --hosts needs a number" >&2; exit 2 ;;
esac
[ "$hosts" -ge 2 ] || { echo "fleet-sim: at least 2 hosts" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "fleet-sim: needs root for its namespaces" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd -P)
build=$(cd "$build" && pwd -P)
fast=$build/monitor-fast
monitor=$build/monitor
for tool in prometheus prometheus-node-exporter python3 curl jq unshare; do
  command -v "$tool" >/dev/null 2>&1 || { echo "fleet-sim: needs $tool" >&2; exit 1; }
done
[ -x "$fast" ] && [ -x "$monitor" ] || { echo "fleet-sim: no $fast or $monitor" >&2; exit 1; }

work=$(mktemp -d /tmp/fleet-sim.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if $keep; then echo "work folder kept: $work"; else rm -rf -- "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Free ports on 127.0.0.1 from the kernel: one per node exporter, one for
# Prometheus.
mapfile -t ports < <(python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks:
    s.bind(("127.0.0.1", 0))
for s in socks:
    print(s.getsockname()[1])
' $((hosts + 1)))

# The releases: each a folder laid out like an application directory, with
# fixed times so that publishing it again gives the same archive.
release() {  # name, body of bin/app
  local dir=$work/releases/$1
  mkdir -p "$dir/bin"
  printf '{"list": [{"path": "app", "param": "", "run": 0}]}\n' > "$dir/bin/config.json"
  printf '#!/bin/sh\n# release %s\n%s\n' "$1" "$2" > "$dir/bin/app"
  chmod 0755 "$dir/bin/app"
  touch -h -d @1767225600 "$dir/bin/config.json" "$dir/bin/app" "$dir/bin" "$dir"
}
release first 'exec sleep 1000000'
release good 'exec sleep 1000000'
release bad 'exit 3'
www=$work/www
mkdir -p "$www"
publish() {  # release, share
  "$here/publish-update.sh" --monitor "$monitor" --rollout "$2" "$work/releases/$1" "$www" >/dev/null
}
reshare() {  # share
  "$here/publish-update.sh" --monitor "$monitor" --rollout "$1" --crc-only "$www" >/dev/null
}
crc_of() {
  local out=$work/crc-$1
  "$here/publish-update.sh" --monitor "$monitor" "$work/releases/$1" "$out" | sed -n 's/^crc: //p'
}
first_crc=$(crc_of first)
good_crc=$(crc_of good)
bad_crc=$(crc_of bad)

# Machine ids, one per host, picked so that the good release at 25 % reaches
# some hosts and not all, and the bad one at 10 % reaches at least one. The
# places follow the rule the README gives.
mapfile -t ids < <(python3 - "$hosts" "$good_crc" "$bad_crc" <<'EOF'
import hashlib, sys
n, good, bad = int(sys.argv[1]), sys.argv[2], sys.argv[3]
def place(identity, crc):
    d = hashlib.sha256(("%s:%s" % (identity, crc)).encode()).digest()
    return int.from_bytes(d[:8], "big") / 2**64 * 100
for seed in range(100000):
    ids = [hashlib.md5(b"fleet-sim %d %d" % (seed, i)).hexdigest() for i in range(n)]
    at25 = sum(place(i, good) < 25 for i in ids)
    at10 = sum(place(i, bad) < 10 for i in ids)
    if 0 < at25 < n and 0 < at10 < n:
        print("\n".join(ids))
        break
EOF
)
[ "${#ids[@]}" -eq "$hosts" ] || { echo "fleet-sim: no identities found" >&2; exit 1; }
# Hosts whose place for crc is below share, by name.
reached() {  # crc, share
  python3 - "$1" "$2" "${ids[@]}" <<'EOF'
import hashlib, sys
crc, share, ids = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
def place(identity):
    d = hashlib.sha256(("%s:%s" % (identity, crc)).encode()).digest()
    return int.from_bytes(d[:8], "big") / 2**64 * 100
print(" ".join("h%d" % (k + 1) for k, i in enumerate(ids) if place(i) < float(share)))
EOF
}

publish first 100

# The hosts and their node exporters.
targets=""
for k in $(seq 1 "$hosts"); do
  h=$work/hosts/h$k
  mkdir -p "$h/app/bin" "$h/metrics"
  cp "$fast" "$h/app/monitor"
  printf '%s\n' "${ids[$((k - 1))]}" > "$h/machine-id"
  printf '{"url": "file://%s/update.tar.gz", "metrics_file": "%s/metrics/monitor.prom",
 "health": {"watch_s": 2, "max_ends": 2}}\n' "$www" "$h" > "$h/app/config.json"
  printf '{"list": []}\n' > "$h/app/bin/config.json"
  echo "host h$k machine-id ${ids[$((k - 1))]}"
  # The supervisor is the first process of its own process namespace: when
  # unshare ends, its child is killed, and with it every process there.
  (cd "$h/app" && exec unshare --net --mount --pid --fork --kill-child --mount-proc -- \
      sh -c 'mount --bind "$1" /etc/machine-id && exec "$2"' sh "$h/machine-id" "$h/app/monitor" \
      >"$h/stdout" 2>&1) &
  pids+=($!)
  port=${ports[$((k - 1))]}
  prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$h/metrics" >"$h/node-exporter.log" 2>&1 &
  pids+=($!)
  targets="$targets
      - targets: ['127.0.0.1:$port']
        labels: {host: h$k}"
done

prom_port=${ports[$hosts]}
cat > "$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: fleet
    static_configs:$targets
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)

# One PromQL query: the result's samples as "<value of label> <value>" lines.
query() {  # expression, label
  curl -sf --max-time 5 "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
    jq -r --arg l "$2" '.data.result[] | "\(.metric[$l] // "-") \(.value[1])"' | sort -V
}
# The value of a query that gives one number.
value_of() {
  query "$1" x | awk '{print $2}'
}
# The hosts a query returns, by name, in order.
hosts_of() {
  query "$1" host | awk '{print $1}' | sort -V | tr '\n' ' ' | sed 's/ $//'
}
# Waits (at most the step time-out) until the command's output is the text.
wait_until() {  # what, expected, command...
  local what=$1 expected=$2 got=""
  shift 2
  local deadline=$((SECONDS + step_timeout))
  while [ $SECONDS -lt "$deadline" ]; do
    got=$("$@" 2>/dev/null || true)
    [ "$got" = "$expected" ] && return 0
    sleep 0.5
  done
  echo "fleet-sim: timed out waiting for $what: expected '$expected', got '$got'" >&2
  exit 1
}
name_of() {
  case "$1" in
    "$first_crc") echo first ;;
    "$good_crc") echo good ;;
    "$bad_crc") echo bad ;;
    *) echo "?" ;;
  esac
}
versions() {
  local version count
  echo "versions (count by (version) (monitor_info)):"
  query 'count by (version) (monitor_info)' version | while read -r version count; do
    printf '  %-12s %-6s %s hosts\n' "$version" "$(name_of "$version")" "$count"
  done
}
all_hosts=$(seq 1 "$hosts" | sed 's/^/h/' | tr '\n' ' ' | sed 's/ $//')

echo "releases: first $first_crc, good $good_crc, bad $bad_crc"
echo
echo "step 1: the first release, to every host"
wait_until "every host on the first release" "$all_hosts" hosts_of "monitor_info{version=\"$first_crc\"}"
versions

echo
echo "step 2: the good release at 25 %"
expected=$(reached "$good_crc" 25)
echo "placed below 25: $expected"
publish good 25
wait_until "the hosts below 25 on the good release" "$expected" \
  hosts_of "monitor_info{version=\"$good_crc\"}"
wait_until "the others not reached" "$((hosts - $(wc -w <<<"$expected")))" \
  value_of 'count(monitor_update_rollout_place >= monitor_update_rollout_share)'
versions
echo "on the good release: $(hosts_of "monitor_info{version=\"$good_crc\"}")"
echo "not reached: $(hosts_of 'monitor_update_rollout_place >= monitor_update_rollout_share')"

echo
echo "step 3: the good release at 100 %"
reshare 100
wait_until "every host on the good release" "$all_hosts" hosts_of "monitor_info{version=\"$good_crc\"}"
versions

echo
echo "step 4: the bad release (its program fails) at 10 %"
expected=$(reached "$bad_crc" 10)
echo "placed below 10: $expected"
publish bad 10
wait_until "the hosts below 10 rolled back" "$expected" hosts_of 'monitor_update_rollbacks_total > 0'
wait_until "every host on the good release again" "$all_hosts" \
  hosts_of "monitor_info{version=\"$good_crc\"}"
versions
echo "rolled back (monitor_update_rollbacks_total > 0): $(hosts_of 'monitor_update_rollbacks_total > 0')"
echo "rejecting it: $(hosts_of "monitor_update_rejected_info{crc=\"$bad_crc\"}")"
echo "not reached: $(hosts_of 'monitor_update_rollout_place >= monitor_update_rollout_share')"
echo "rollbacks in all: $(value_of 'sum(monitor_update_rollbacks_total)')"
echo
echo "fleet-sim: done"
