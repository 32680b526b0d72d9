#!/bin/sh
# The project's C and C++ files against .clang-format with clang-format 14.
#   format.sh check   lists the files that differ and fails when there are any
#   format.sh apply   formats them in place
set -eu
cd "$(dirname "$0")/.."
mode=${1:-check}
command -v clang-format-14 >/dev/null || { echo "clang-format-14 is missing: make deps" >&2; exit 2; }
files=$(find Comm Run tests bench fuzz -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) |
        LC_ALL=C sort)

case "$mode" in
  apply)
    # shellcheck disable=SC2086  # the names hold no blanks
    clang-format-14 -i --style=file $files
    ;;
  check)
    # One run over every file; each difference is reported as file:line:col.
    # shellcheck disable=SC2086
    differ=$(clang-format-14 --style=file --dry-run $files 2>&1 |
             sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' |
             LC_ALL=C sort -u)
    if [ -n "$differ" ]; then
      echo "These files differ from .clang-format (scripts/format.sh apply formats them):"
      for f in $differ; do echo "  $f"; done
      exit 1
    fi
    ;;
  *)
    echo "usage: $0 check|apply" >&2
    exit 2
    ;;
esac
