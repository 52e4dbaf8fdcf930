#!/bin/sh
# sh tests/native/run.sh [build-dir]: builds the pure engine code (format language, format applier,
# key model) and the configurator's XML document natively with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs their test tables, then fuzzes both for FUZZ_SECONDS seconds in all
# (default 60, shared between the two targets; longer by hand, the corpora are kept in the build
# directory). Exits non-zero on a failed test, a sanitizer report, a crash or a hang.
set -eu
cd "$(dirname "$0")/../.."
DIR=${1:-build-native}
cmake -S tests/native -B "$DIR" >/dev/null
cmake --build "$DIR" -j"$(nproc)" >/dev/null
ctest --test-dir "$DIR" --output-on-failure
TOTAL=${FUZZ_SECONDS:-60}
XML_SECONDS=$((TOTAL / 3))
[ "$XML_SECONDS" -ge 1 ] || XML_SECONDS=1
KD_SECONDS=$((TOTAL - XML_SECONDS))
[ "$KD_SECONDS" -ge 1 ] || KD_SECONDS=1

# fuzz <target> <dictionary> <seconds> <what>
fuzz() {
  mkdir -p "$DIR/corpus-$1"
  if ! "$DIR/$1" -dict="$2" -max_total_time="$3" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$DIR/$1-" \
      "$DIR/corpus-$1" >"$DIR/$1.log" 2>&1; then
    tail -n 60 "$DIR/$1.log" >&2
    echo "fuzzing $4 found a fault; the input is in $DIR/" >&2
    exit 1
  fi
  tail -n 1 "$DIR/$1.log"
}
fuzz kd_fuzz tests/native/kd.dict "$KD_SECONDS" "the format language"
fuzz xml_fuzz tests/native/xml.dict "$XML_SECONDS" "the XML document"
