#!/bin/sh
# sh tools/run.sh: installs what is missing, builds the deliverables into dist/ and runs the demo host,
# which loads dist/Vombra.dll and shows its version and error texts.
set -eu
cd "$(dirname "$0")/.."
. tools/setup.sh
cmake --install "$BUILD_DIR" --prefix dist >/dev/null
cp "$BUILD_DIR/bin/VombraDemo.exe" dist/
export WINEPREFIX="${WINEPREFIX:-$PWD/$BUILD_DIR/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine dist/VombraDemo.exe </dev/null
