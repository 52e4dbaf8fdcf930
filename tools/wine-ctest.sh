#!/bin/sh
# sh tools/wine-ctest.sh [build-dir [ctest args...]]: runs the cross-built tests under Wine in a private
# prefix inside the build tree (never ~/.wine). WITH_X=1 starts one Xvfb for the window tests; it must
# come before the first Wine process, because Wine's desktop process keeps the display it started with.
set -eu
BUILD_DIR=${1:-build}
[ $# -gt 0 ] && shift
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
export WINEPREFIX="$BUILD_DIR/wine"
export WINEDEBUG=-all
# Never offer to install Mono or Gecko. winscard=n,b: the test executables load the winscard.dll test
# double beside them (Wine's own is a stub that cannot even establish a context); a program started
# from a folder without the double gets the stub.
export WINEDLLOVERRIDES="mscoree,mshtml=;winscard=n,b"
export WINEARCH=win64
unset DISPLAY
wineserver -k 2>/dev/null || true           # no server left over from an earlier run of this prefix
XVFB_PID=""
cleanup() {
  wineserver -k 2>/dev/null || true         # ends the prefix's server and its services
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT
if [ "${WITH_X:-0}" = 1 ]; then
  rm -f "$BUILD_DIR/xvfb.display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$BUILD_DIR/xvfb.display" >/dev/null 2>&1 </dev/null &
  XVFB_PID=$!
  i=0
  while [ ! -s "$BUILD_DIR/xvfb.display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  [ -s "$BUILD_DIR/xvfb.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(cat "$BUILD_DIR/xvfb.display")"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  # a crash must not open winedbg's dialog and hang the test until its time-out
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
  wineserver -w
fi
wineserver -p >/dev/null 2>&1 </dev/null    # one server for all test executables
# Start services.exe and the rest now, with stdio on /dev/null, not inside a ctest pipe they would hold.
wine cmd /c exit >/dev/null 2>&1 </dev/null
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 120 -j"$(nproc)" "$@"
