#!/bin/sh
# Builds under ThreadSanitizer what these tests need and runs them: the unit
# tests in which threads meet (label "threads", chosen in tests/CMakeLists.txt)
# and the end-to-end tests in which the supervision loop and the update thread
# both work on the program table. Any report fails the run. JOBS: the unit
# tests run at once (default 2).
set -eu
build=${1:-build-tsan}
[ $# -gt 0 ] && shift  # what follows goes to cmake, e.g. -DMONITOR_WERROR=ON
src=$(cd "$(dirname "$0")/.." && pwd)
cmake -G Ninja -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMONITOR_SANITIZE=thread "$@" >/dev/null
cmake --build "$build" --target monitor-fast probe threaded_unit_tests
build=$(cd "$build" && pwd)

reports=$(mktemp -d)
out=$(mktemp -d)
trap 'rm -rf "$reports" "$out"' EXIT
export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1"

status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "${JOBS:-2}" -L threads || status=1

# The end-to-end tests mostly wait for the supervisor, so they run side by
# side; each one's output follows once all have ended.
e2e() {
  name=$1
  shift
  MONITOR_BUILD_DIR="$build" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" \
    >"$out/$name" 2>&1 || : >"$out/$name.failed"
}
e2e updates "$src/tests/integration/test_updates.py" \
  -k "replaces_the_running_one or ignores_sigterm or keep_ending or invalid_list" &
# The status writer reads the table while both threads change it.
e2e status "$src/tests/integration/test_status.py" -k "whole_life or every_moment" &
# As process 1 a third thread stops the programs beside the loop.
e2e first_process "$src/tests/integration/test_first_process.py" &
wait
for name in updates status first_process; do
  echo "== $name"
  cat "$out/$name"
  if [ -e "$out/$name.failed" ]; then status=1; fi
done

if ls "$reports"/tsan.* >/dev/null 2>&1; then
  echo "ThreadSanitizer reports:"
  cat "$reports"/tsan.*
  status=1
fi
exit $status
