#!/bin/sh
# Builds the libFuzzer targets with clang (and AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz, then runs each for FUZZ_SECONDS
# (default 60) on a copy of its seed corpus from fuzz/corpus/<name>.
#   ./scripts/fuzz.sh [name...]      names: json program_list crc_reply strings
#                                    signature part_record content_range stage status
# Inputs the fuzzer finds go to build-fuzz/corpus/<name>, never to the seed
# directories. Exits non-zero when any target crashes, and names the input.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${JOBS:-2}
NAMES=${*:-json program_list crc_reply strings signature part_record content_range stage status outside_text update_settings journal executable}

# Longest input per target: a program list or JSON document of a few KiB, a
# signature file of about a KiB, a small update archive of 16 KiB, a CRC reply
# and the string fields of a few hundred bytes.
max_len() {
  case "$1" in
    json|program_list|part_record|status|update_settings|journal|executable) echo 4096 ;;
    signature) echo 1024 ;;
    stage) echo 16384 ;;
    *) echo 512 ;;
  esac
}

CC=clang CXX=clang++ cmake -G Ninja -S "$ROOT" -B "$BUILD" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMONITOR_FUZZ=ON -DMONITOR_SANITIZE=address >/dev/null
targets=""
for name in $NAMES; do targets="$targets fuzz_$name"; done
# shellcheck disable=SC2086
cmake --build "$BUILD" -j "$JOBS" --target $targets

failed=""
for name in $NAMES; do
  seeds="$ROOT/fuzz/corpus/$name"
  corpus="$BUILD/corpus/$name"
  crashes="$BUILD/crashes/$name"
  log="$BUILD/logs/$name.log"
  mkdir -p "$corpus" "$crashes" "$BUILD/logs"
  [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null || true
  dict=""
  [ -f "$ROOT/fuzz/$name.dict" ] && dict="-dict=$ROOT/fuzz/$name.dict"

  echo "fuzz_$name: ${SECONDS_EACH}s, log $log"
  status=0
  # shellcheck disable=SC2086
  "$BUILD/fuzz/fuzz_$name" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$name")" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$crashes/" $dict "$corpus" \
    >"$log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log" | sed 's/^/  /' || true
  if [ "$status" -ne 0 ]; then
    failed="$failed fuzz_$name"
    echo "fuzz_$name FAILED (exit $status):"
    grep -E '^(==[0-9]+== ?ERROR|SUMMARY|broken invariant|ALARM)' "$log" | head -5 | sed 's/^/  /' || true
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    echo "  input: ${input:-see $crashes}"
    echo "  again: $BUILD/fuzz/fuzz_$name ${input:-<input>}"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz: crashes in$failed"
  exit 1
fi
echo "fuzz: no crash in $NAMES"
