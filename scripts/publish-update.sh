#!/bin/sh
# Turns a folder into an update for the supervisor: <name>.tar.gz, its
# signature <name>.tar.gz.minisig (with --sign) and its <name>.tar.gz.crc,
# ready to copy to any static HTTP server.
#
#   publish-update.sh [--monitor PATH] [--sign SECRET-KEY] [--rollout SHARE]
#                     <folder> <output-dir> [name]
#   publish-update.sh [--monitor PATH] --rollout SHARE --crc-only <output-dir> [name]
#
# The archive holds the folder's contents with paths relative to the folder
# (bin/config.json stays bin/config.json), since the supervisor unpacks it
# into its application directory. Members are sorted and owned by 0:0, so
# the archive is the same whoever builds it (the supervisor installs every
# file as its own user whatever owner the archive records).
# The CRC text comes from "monitor crc" (--monitor PATH, else a monitor
# beside this script or in its parent folder, else /opt/monitor/monitor,
# else one on PATH).
#
# --rollout SHARE writes the share of the hosts the release is for into the
# .crc file: a decimal number from 0 to 100 (0 holds the release, 100 is
# every host, as without it). With --crc-only the archive already published
# in <output-dir> stays as it is and only its .crc file is written anew with
# the share (same release, new share): under a temporary name in the same
# folder, then renamed over the old one. The CRC comes from the archive, and
# must be the one the old .crc file names.
#
# --sign signs the archive with "minisign -S" and that secret key file (made
# by "minisign -G"; a key with a password asks for it on the terminal). The
# trusted comment is minisign's own, with the time of signing, which the
# supervisor compares with the installed release's.
#
# The files are made in a temporary folder inside the output folder and then
# renamed into place: the archive first, then the signature, then the .crc
# file. The supervisor reads the .crc file before it fetches the others, so
# no server announces a release it does not hold yet. Needs GNU tar and GNU
# find, and minisign for --sign.
set -eu

prog=publish-update

usage() {
  printf 'usage: %s [--monitor PATH] [--sign SECRET-KEY] [--rollout SHARE] <folder> <output-dir> [name]\n' "$0"
  printf '       %s [--monitor PATH] --rollout SHARE --crc-only <output-dir> [name]\n' "$0"
  printf 'writes <output-dir>/<name>.tar.gz, <name>.tar.gz.minisig (with --sign)\n'
  printf 'and <name>.tar.gz.crc (name: update); --crc-only only the .crc file\n'
}

die() {
  printf '%s: %s\n' "$prog" "$*" >&2
  exit 1
}

usage_error() {
  printf '%s: %s\n' "$prog" "$*" >&2
  usage >&2
  exit 2
}

# A relative path that cannot be taken for an option.
plain_path() {
  case "$1" in
    /*) printf '%s' "$1" ;;
    *) printf './%s' "$1" ;;
  esac
}

monitor=""
sign_key=""
rollout=""
rollout_given=false
crc_only=false
while [ $# -gt 0 ]; do
  case "$1" in
    --monitor)
      [ $# -ge 2 ] || usage_error "--monitor needs a path"
      monitor=$2
      shift 2
      ;;
    --monitor=*) monitor=${1#--monitor=}; shift ;;
    --sign)
      [ $# -ge 2 ] || usage_error "--sign needs a secret key file"
      sign_key=$2
      shift 2
      ;;
    --sign=*) sign_key=${1#--sign=}; shift ;;
    --rollout)
      [ $# -ge 2 ] || usage_error "--rollout needs a share from 0 to 100"
      rollout=$2
      rollout_given=true
      shift 2
      ;;
    --rollout=*) rollout=${1#--rollout=}; rollout_given=true; shift ;;
    --crc-only) crc_only=true; shift ;;
    -h|--help) usage; exit 0 ;;
    --) shift; break ;;
    -?*) usage_error "unknown option: $1" ;;
    *) break ;;
  esac
done
if $rollout_given; then
  # A JSON number as it is written: no sign, no leading zero, no exponent.
  printf '%s\n' "$rollout" | grep -Eqx '(0|[1-9][0-9]*)(\.[0-9]+)?' &&
    awk -v s="$rollout" 'BEGIN { exit !(s + 0 <= 100) }' ||
    die "not a share from 0 to 100: '$rollout'"
fi
if $crc_only; then
  $rollout_given || usage_error "--crc-only needs --rollout"
  [ -z "$sign_key" ] || usage_error "--crc-only writes no signature: no --sign"
  if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    usage_error "expected an output folder and maybe a name"
  fi
  folder=""
  outdir=$1
  name=${2:-update}
elif [ $# -lt 2 ] || [ $# -gt 3 ]; then
  usage_error "expected a folder, an output folder and maybe a name"
else
  folder=$1
  outdir=$2
  name=${3:-update}
fi
name=${name%.tar.gz}
case "$name" in
  ""|.|..|*/*) die "not a plain file name: '$name'" ;;
esac

# The .crc file's text for a CRC.
crc_text() {
  if [ -n "$rollout" ]; then
    printf '{"crc": "%s", "rollout": %s}\n' "$1" "$rollout"
  else
    printf '{"crc": "%s"}\n' "$1"
  fi
}

# "monitor crc" prints "qm crc:<n>", a newline, then <n> alone; sets crc.
nl='
'
read_crc() {
  crc_out=$("$monitor" crc "$1") || die "$monitor crc failed"
  crc=${crc_out#*"$nl"}
  case "$crc" in
    ""|*[!0-9]*) die "unexpected output of $monitor crc: $crc_out" ;;
  esac
  [ "$crc_out" = "qm crc:$crc$nl$crc" ] || die "unexpected output of $monitor crc: $crc_out"
  [ "$crc" != 0 ] || die "$monitor crc could not read the archive"
}

if $crc_only; then
  [ -d "$outdir" ] || die "no output folder: $outdir"
  outdir=$(cd "$(plain_path "$outdir")" && pwd -P) || die "cannot enter output folder: $1"
else
  [ -e "$folder" ] || die "folder does not exist: $folder"
  [ -d "$folder" ] || die "not a folder: $folder"
  folder=$(cd "$(plain_path "$folder")" && pwd -P) || die "cannot enter folder: $1"
  if [ -z "$(find "$folder" -mindepth 1 -maxdepth 1 -print -quit)" ]; then
    die "folder is empty, nothing to publish: $1"
  fi
  mkdir -p "$(plain_path "$outdir")" || die "cannot create output folder: $outdir"
  outdir=$(cd "$(plain_path "$outdir")" && pwd -P) || die "cannot enter output folder: $2"
  case "$outdir/" in
    "$folder/"*) die "the output folder lies inside the published folder: $outdir" ;;
  esac
fi

script_dir=$(cd "$(dirname "$(plain_path "$0")")" && pwd -P)
if [ -n "$monitor" ]; then
  if [ ! -f "$monitor" ] || [ ! -x "$monitor" ]; then
    die "not an executable: $monitor"
  fi
else
  for candidate in "$script_dir/monitor" "$script_dir/../monitor" /opt/monitor/monitor; do
    if [ -f "$candidate" ] && [ -x "$candidate" ]; then
      monitor=$candidate
      break
    fi
  done
  if [ -z "$monitor" ]; then
    monitor=$(command -v monitor 2>/dev/null) ||
      die "no monitor executable found beside this script, in /opt/monitor" \
        "or on PATH: give --monitor PATH"
  fi
fi
monitor=$(plain_path "$monitor")

if [ -n "$sign_key" ]; then
  [ -f "$sign_key" ] || die "no secret key file: $sign_key"
  command -v minisign >/dev/null 2>&1 || die "--sign needs minisign (Debian package minisign)"
  sign_key=$(plain_path "$sign_key")
fi

archive="$outdir/$name.tar.gz"
sig_file="$archive.minisig"
crc_file="$archive.crc"
tmp_list=""
tmp_dir=""
tmp_crc=""
cleanup() {
  rm -f -- "$tmp_list"
  [ -z "$tmp_dir" ] || rm -rf -- "$tmp_dir"
  $crc_only && [ -n "$tmp_crc" ] && rm -f -- "$tmp_crc"
  return 0
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

if $crc_only; then
  [ -f "$archive" ] || die "nothing published: no $archive"
  [ -f "$crc_file" ] || die "nothing published: no $crc_file"
  read_crc "$archive"
  # The CRC the published .crc file names: a host that reads the new file
  # must be told of the same release.
  old_crc=$(sed -n 's/.*"crc"[[:space:]]*:[[:space:]]*"\([0-9]*\)".*/\1/p' "$crc_file" | head -n 1)
  [ "$old_crc" = "$crc" ] ||
    die "$crc_file names crc '$old_crc', the archive's is $crc: publish the release anew"
  tmp_crc=$(mktemp "$outdir/.$name.tar.gz.crc.XXXXXX")
  crc_text "$crc" > "$tmp_crc"
  chmod 0644 "$tmp_crc"
  sync -- "$tmp_crc"
  mv -f -T -- "$tmp_crc" "$crc_file" || die "cannot rename into $crc_file"
  tmp_crc=""
  printf 'crc file: %s\n' "$name.tar.gz.crc"
  printf 'crc: %s\n' "$crc"
  printf 'rollout: %s\n' "$rollout"
  exit 0
fi
tmp_list=$(mktemp)
tmp_dir=$(mktemp -d "$outdir/.$name.XXXXXX")
# Under their final names inside the temporary folder, so that the signature's
# trusted comment names the archive as it is published.
tmp_archive="$tmp_dir/$name.tar.gz"
tmp_sig="$tmp_archive.minisig"
tmp_crc="$tmp_archive.crc"

# Every entry below the folder, by its path relative to it, in a fixed order.
(cd "$folder" && find . -mindepth 1 -printf '%P\0') > "$tmp_list" || die "cannot list $folder"
LC_ALL=C sort -z -o "$tmp_list" "$tmp_list"
tar --create --file="$tmp_archive" --directory="$folder" \
    --owner=0 --group=0 --numeric-owner \
    --use-compress-program='gzip -9n' \
    --null --verbatim-files-from --no-recursion --files-from="$tmp_list" ||
  die "tar failed for $folder"

read_crc "$tmp_archive"
crc_text "$crc" > "$tmp_crc"

if [ -n "$sign_key" ]; then
  # Prompts on the terminal for a key's password; a passwordless key asks nothing.
  # Its messages go to standard error; standard output stays this script's.
  minisign -S -s "$sign_key" -m "$tmp_archive" -x "$tmp_sig" >&2 ||
    die "minisign could not sign with $sign_key"
fi

# Readable by a web server that runs as another user, and on disk before
# their names appear.
chmod 0644 "$tmp_archive" "$tmp_crc"
sync -- "$tmp_archive" "$tmp_crc"
if [ -n "$sign_key" ]; then
  chmod 0644 "$tmp_sig"
  sync -- "$tmp_sig"
fi
mv -f -T -- "$tmp_archive" "$archive" || die "cannot rename into $archive"
if [ -n "$sign_key" ]; then
  mv -f -T -- "$tmp_sig" "$sig_file" || die "cannot rename into $sig_file"
fi
mv -f -T -- "$tmp_crc" "$crc_file" || die "cannot rename into $crc_file"

printf 'archive: %s\n' "$name.tar.gz"
[ -z "$sign_key" ] || printf 'signature file: %s\n' "$name.tar.gz.minisig"
printf 'crc file: %s\n' "$name.tar.gz.crc"
printf 'crc: %s\n' "$crc"
[ -z "$rollout" ] || printf 'rollout: %s\n' "$rollout"
