#!/bin/sh
# sh tools/test.sh [ctest args...]: installs what is missing, builds, and runs every test under Wine
# (with one Xvfb for the window tests). Exits non-zero when any test fails or crashes.
set -eu
cd "$(dirname "$0")/.."
. tools/setup.sh
# The built add-in imports only Windows system DLLs: no MinGW run-time DLL may slip in.
if x86_64-w64-mingw32-objdump -p "$BUILD_DIR/bin/Vombra.dll" | grep 'DLL Name' | grep -i -E 'libstdc|libgcc|libwinpthread'; then
  echo "Vombra.dll imports a MinGW run-time DLL" >&2
  exit 1
fi
# The format language natively, under the sanitizers and a bounded fuzz run.
sh tests/native/run.sh "$BUILD_DIR-native"
WITH_X=1 sh tools/wine-ctest.sh "$BUILD_DIR" "$@"
