#!/bin/sh
# sh tests/native/run.sh [build-dir]: builds the pure engine code (format language, format applier,
# key model, the parsers of reader replies, the Telnet filter, the ATR, the search's replies, the
# settings key's text forms), the texts of the add-in's settings document, the connection parameters
# SetParameter sets by name and the configurator's XML document natively with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs their test tables, then fuzzes every target
# for FUZZ_SECONDS seconds in all (default 117: the format language gets two shares, every other
# target one; longer by hand). The corpora grow in the build directory;
# tests/native/corpus/<family> (reader, telnet, atr, ...) holds each target's seeds and the inputs of
# past findings, all run first. Exits non-zero on a failed test, a sanitizer report, a failed check,
# a crash or a hang.
set -eu
cd "$(dirname "$0")/../.."
DIR=${1:-build-native}
cmake -S tests/native -B "$DIR" >/dev/null
cmake --build "$DIR" -j"$(nproc)" >/dev/null
ctest --test-dir "$DIR" --output-on-failure
TOTAL=${FUZZ_SECONDS:-117}
SHARE=$((TOTAL / 9))
[ "$SHARE" -ge 1 ] || SHARE=1

# fuzz <target> <dictionary> <seconds> <what>
fuzz() {
  mkdir -p "$DIR/corpus-$1"
  SEEDS=
  [ -d "tests/native/corpus/${1%_fuzz}" ] && SEEDS="tests/native/corpus/${1%_fuzz}"
  if ! "$DIR/$1" -dict="$2" -max_total_time="$3" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$DIR/$1-" \
      "$DIR/corpus-$1" $SEEDS >"$DIR/$1.log" 2>&1; then
    tail -n 60 "$DIR/$1.log" >&2
    echo "fuzzing $4 found a fault; the input is in $DIR/" >&2
    exit 1
  fi
  tail -n 1 "$DIR/$1.log"
}
fuzz kd_fuzz tests/native/kd.dict $((SHARE * 2)) "the format language"
fuzz xml_fuzz tests/native/xml.dict "$SHARE" "the XML document"
fuzz reader_fuzz tests/native/reader.dict "$SHARE" "the reader replies"
fuzz telnet_fuzz tests/native/telnet.dict "$SHARE" "the Telnet filter"
fuzz atr_fuzz tests/native/atr.dict "$SHARE" "the ATR parser"
fuzz search_fuzz tests/native/search.dict "$SHARE" "the search replies"
fuzz registry_fuzz tests/native/registry.dict "$SHARE" "the registry text forms"
fuzz settings_fuzz tests/native/settings.dict "$SHARE" "the settings document's texts and SetParameter"
