#!/bin/sh
# sh tests/native/run.sh [build-dir]: builds the pure engine code (format language, format applier,
# key model) natively with clang under AddressSanitizer and UndefinedBehaviorSanitizer, runs its test
# tables, then fuzzes it for FUZZ_SECONDS seconds (default 60; longer by hand, the corpus is kept in
# the build directory). Exits non-zero on a failed test, a sanitizer report, a crash or a hang.
set -eu
cd "$(dirname "$0")/../.."
DIR=${1:-build-native}
cmake -S tests/native -B "$DIR" >/dev/null
cmake --build "$DIR" -j"$(nproc)" >/dev/null
ctest --test-dir "$DIR" --output-on-failure
mkdir -p "$DIR/corpus"
if ! "$DIR/kd_fuzz" -dict=tests/native/kd.dict -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$DIR/" "$DIR/corpus" >"$DIR/fuzz.log" 2>&1; then
  tail -n 60 "$DIR/fuzz.log" >&2
  echo "fuzzing the format language found a fault; the input is in $DIR/" >&2
  exit 1
fi
tail -n 1 "$DIR/fuzz.log"
