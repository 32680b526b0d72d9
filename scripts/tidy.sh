#!/bin/sh
# clang-tidy 14 with .clang-tidy over the toolkit and the supervisor sources,
# using the compile commands of a configured build directory. Any finding
# fails the run.
set -eu
build=${1:-build}
src=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: make build" >&2; exit 2; }
command -v run-clang-tidy-14 >/dev/null || { echo "clang-tidy-14 is missing: make deps" >&2; exit 2; }
# Each source once: the compile commands name it for every target that builds it.
files=$(find "$src/Comm" "$src/Run" -name '*.cpp' | LC_ALL=C sort)
# shellcheck disable=SC2086  # the names hold no blanks
run-clang-tidy-14 -quiet -p "$build" -j "${JOBS:-2}" $files
