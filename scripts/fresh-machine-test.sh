#!/bin/sh
# Runs `make test` the way a newcomer meets the project: in a new minimal
# Debian 12 root that holds only make, git and ca-certificates, with the
# project cloned from this repository's committed HEAD. Whatever the build,
# the tests or the packaging need and scripts/install-deps.sh does not
# install fails there.
#
#   sudo scripts/fresh-machine-test.sh [root-dir]
#
# The root is made anew under build-fresh/ (or root-dir) and left behind for
# a look afterwards; the mounts it needs are always undone. Takes a while.
set -eu

[ "$(id -u)" -eq 0 ] || { echo "fresh-machine-test: must run as root" >&2; exit 2; }

here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$here/build-fresh/root}
suite=bookworm

if ! command -v debootstrap >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends debootstrap
fi

# The mirror this host's apt uses for the suite, so the new root reaches the
# same packages.
mirror=$(
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
    awk -v suite="$suite" '
      /^deb / && $3 == suite { print $2; exit }
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uri != "") { print uri; exit } }'
)
[ -n "$mirror" ] || { echo "fresh-machine-test: no $suite mirror in this host's apt sources" >&2; exit 2; }

mounted=""
undo() {
  for m in $mounted; do umount -l "$m" 2>/dev/null || true; done
}
trap undo EXIT INT TERM

if [ -e "$root" ]; then
  # A root left by an earlier run: its mounts are gone (undone above), so a
  # plain removal stays inside it.
  for m in proc sys dev/pts dev run tmp; do umount -l "$root/$m" 2>/dev/null || true; done
  umount -l "$root" 2>/dev/null || true
  rm -rf --one-file-system "$root"
fi
mkdir -p "$root"

echo "== debootstrap --variant=minbase $suite from $mirror"
debootstrap --variant=minbase --include=make,git,ca-certificates "$suite" "$root" "$mirror"

# The host's settings for reaching its mirror (validity checks, proxies).
for f in /etc/apt/apt.conf.d/*; do
  grep -q 'Acquire::' "$f" 2>/dev/null && cp "$f" "$root/etc/apt/apt.conf.d/"
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

for m in proc sys dev dev/pts run tmp; do mkdir -p "$root/$m"; done
# A machine's root file system is a mount point (tests make private mount
# namespaces, which need one): the new root is mounted onto itself.
mount --bind "$root" "$root" && mounted="$root $mounted"
mount -t proc proc "$root/proc" && mounted="$root/proc $mounted"
mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys" && mounted="$root/sys $mounted"
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounted="$root/dev $mounted"
mount -t tmpfs tmpfs "$root/run" && mounted="$root/run $mounted"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp" && mounted="$root/tmp $mounted"

echo "== cloning $(git -C "$here" rev-parse --short HEAD) into the new root"
git clone -q "$here" "$root/root/project"

echo "== make test in the new root"
start=$(date +%s)
status=0
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/sh -c 'cd /root/project && make test' || status=$?
echo "== make test in a fresh Debian 12 root: exit $status after $(( $(date +%s) - start )) s"
exit $status
