#!/bin/sh
# sh tools/wine-run.sh <wine> <program> [args...]: the emulator CTest starts every cross-built test
# program with. Now and then (about once in a thousand starts, on a loaded machine) Wine fails to
# start a process at all: it exits non-zero at once and the program never prints a byte. Such a start
# is tried again, twice at most. A program that ran has printed at least GoogleTest's first line, so
# a test that fails or crashes is never started again.
wine=$1
shift
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
tries=0
while :; do
  "$wine" "$@" >"$out" 2>&1 </dev/null
  rc=$?
  cat "$out"
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$tries" -ge 2 ]; then break; fi
  tries=$((tries + 1))
  echo "wine-run: $wine exited with $rc before $1 printed anything; starting it again" >&2
done
exit "$rc"
