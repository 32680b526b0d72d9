#!/bin/sh
# gtest-patterns-match.sh <test executable> <pattern>...: fails, naming it,
# when a gtest filter pattern matches none of the executable's tests, so that
# a renamed test does not silently drop out of a chosen set.
set -eu
exe=$1
shift
status=0
for pattern; do
  if ! "$exe" --gtest_list_tests --gtest_filter="$pattern" | grep -q '^  '; then
    echo "no test matches $pattern" >&2
    status=1
  fi
done
exit $status
