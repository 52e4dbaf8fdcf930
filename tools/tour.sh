#!/bin/sh
# sh tools/tour.sh: the screen tour. Under a private Xvfb, in a scratch Wine prefix, the configurator is
# started from a scratch copy of dist/ (portable, so each run begins from its presets) once in English and
# once in Russian, and the tour driver pictures its pages and dialogs into dist/screens/<name>-en.png and
# -ru.png. Needs a built tree (BUILD_DIR, default build) and dist/ConfigVombra.exe. The driver serves the
# simulated text reader the format dialog's live test reads, and writes its loopback port into the
# prefix's stored settings before each start.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
ROOT=$PWD
# Russian pictures need the glibc locale ru_RU.UTF-8, which tools/setup.sh makes with the build (Wine
# ignores LANG=ru_RU.UTF-8 without it); title-bar buttons need Wine's Marlett font.
if ! dpkg-query -W -f='${Status}' fonts-wine 2>/dev/null | grep -q "install ok installed"; then
  echo "installing: fonts-wine"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends fonts-wine >/dev/null
fi
# winscard=n,b: the configurator loads the winscard.dll test double copied beside it, which plugs the
# PC/SC readers WINSCARD_DOUBLE_READERS names (test tooling: the search dialog's picture finds them).
export WINEPREFIX="$ROOT/$BUILD_DIR/tour-wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winscard=n,b" WINEARCH=win64
export WINSCARD_DOUBLE_READERS="Simulated Contactless Reader 0;Simulated Contactless Reader 1"
unset DISPLAY
wineserver -k 2>/dev/null || true
XVFB_PID=""
cleanup() {
  wineserver -k 2>/dev/null || true
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT
rm -f "$BUILD_DIR/tour.display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$BUILD_DIR/tour.display" >/dev/null 2>&1 </dev/null &
XVFB_PID=$!
i=0
while [ ! -s "$BUILD_DIR/tour.display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$BUILD_DIR/tour.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$BUILD_DIR/tour.display")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
fi
# Wine does not find its own font folder here; fonts in the prefix's Fonts folder it does.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# A few media files for the Sound page's in-place combo (Wine's prefix has none).
media="$WINEPREFIX/drive_c/windows/Media"
mkdir -p "$media"
for f in chimes.wav ding.wav notify.wav tada.wav flourish.mid town.mid; do
  [ -f "$media/$f" ] || : >"$media/$f"
done
mkdir -p dist/screens
rm -f dist/screens/*.bmp dist/screens/tour-*.failed
failed=0
for lang in en ru; do
  case $lang in
    en) locale_name=en_US.UTF-8 ;;
    ru) locale_name=ru_RU.UTF-8 ;;
  esac
  scratch="$ROOT/$BUILD_DIR/tour/$lang"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  cp dist/ConfigVombra.exe "$scratch/"
  [ -f dist/Vombra.dll ] && cp dist/Vombra.dll "$scratch/"
  cp "$BUILD_DIR/bin/winscard.dll" "$scratch/"
  : >"$scratch/portable_mode_enabled"
  # A virtual desktop: Wine draws the title bars itself (Xvfb runs no window manager).
  LANG=$locale_name LC_ALL=$locale_name wine explorer /desktop=Tour,1024x768 \
    "$BUILD_DIR/bin/TourDriver.exe" "$(winepath -w "$scratch/ConfigVombra.exe")" \
    "$(winepath -w "$ROOT/dist/screens")" "$lang" </dev/null || failed=1
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
done
python3 tools/bmp2png.py dist/screens/*.bmp
# The driver's exit code does not come back through wine explorer: its marker file does.
for f in dist/screens/tour-*.failed; do
  [ -e "$f" ] && { echo "$f: $(cat "$f") subjects missed" >&2; rm -f "$f"; failed=1; }
done
ls dist/screens
[ $failed = 0 ] || { echo "the tour missed some pictures" >&2; exit 1; }
