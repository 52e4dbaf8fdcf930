#!/bin/sh
# sh tools/run.sh: installs what is missing, builds the deliverables into dist/ and runs the demo host,
# which loads dist/Vombra.dll and shows its version and error texts, then the road of a key: a
# simulated reader on loopback, opened through the add-in, whose keys arrive as the host's events.
set -eu
cd "$(dirname "$0")/.."
. tools/setup.sh
cmake --install "$BUILD_DIR" --prefix dist >/dev/null
cp "$BUILD_DIR/bin/VombraDemo.exe" "$BUILD_DIR/bin/VombraRoad.exe" dist/
export WINEPREFIX="${WINEPREFIX:-$PWD/$BUILD_DIR/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine dist/VombraDemo.exe </dev/null
wine dist/VombraRoad.exe </dev/null
