#!/bin/sh
# Builds under ThreadSanitizer and runs the unit tests and the end-to-end
# tests in which the supervision loop and the update thread both work on the
# program table. Any report fails the run.
set -eu
build=${1:-build-tsan}
[ $# -gt 0 ] && shift  # what follows goes to cmake, e.g. -DMONITOR_WERROR=ON
src=$(cd "$(dirname "$0")/.." && pwd)
cmake -G Ninja -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMONITOR_SANITIZE=thread "$@" >/dev/null
cmake --build "$build" --target monitor-fast probe unit_tests
build=$(cd "$build" && pwd)

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1"

status=0
"$build/tests/unit_tests" --gtest_brief=1 || status=1
MONITOR_BUILD_DIR="$build" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  "$src/tests/integration/test_updates.py" \
  -k "replaces_the_running_one or ignores_sigterm or keep_ending or invalid_list" || status=1
# The status writer reads the table while both threads change it.
MONITOR_BUILD_DIR="$build" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  "$src/tests/integration/test_status.py" -k "whole_life or every_moment" || status=1
# As process 1 a third thread stops the programs beside the loop.
MONITOR_BUILD_DIR="$build" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  "$src/tests/integration/test_first_process.py" || status=1

if ls "$reports"/tsan.* >/dev/null 2>&1; then
  echo "ThreadSanitizer reports:"
  cat "$reports"/tsan.*
  status=1
fi
exit $status
