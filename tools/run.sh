#!/bin/sh
# sh tools/run.sh: installs what is missing, builds the deliverables into dist/ and runs the demo host,
# which loads dist/Vombra.dll and shows its version and error texts, then the road of a key: a
# simulated reader on loopback, opened through the add-in, whose keys arrive as the host's events.
# Then the configurator: with a display it opens; without one the screen tour pictures it into
# dist/screens/ (tools/tour.sh).
set -eu
cd "$(dirname "$0")/.."
. tools/setup.sh
cmake --install "$BUILD_DIR" --prefix dist >/dev/null
cp "$BUILD_DIR/bin/VombraDemo.exe" "$BUILD_DIR/bin/VombraRoad.exe" "$BUILD_DIR/bin/ConfigVombra.exe" dist/
export WINEPREFIX="${WINEPREFIX:-$PWD/$BUILD_DIR/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine dist/VombraDemo.exe </dev/null
wine dist/VombraRoad.exe </dev/null
if [ -n "${DISPLAY:-}" ]; then
  wine dist/ConfigVombra.exe </dev/null
else
  sh tools/tour.sh
fi
