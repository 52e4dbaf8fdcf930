# . tools/setup.sh: installs the Debian packages the build and the tests need, when any is missing,
# and configures and builds into $BUILD_DIR (default build). Sourced by run.sh and test.sh.
set -eu
BUILD_DIR=${BUILD_DIR:-build}
PACKAGES="make cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64 xvfb xauth g++ python3 clang libclang-rt-14-dev locales"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
# Wine takes the ANSI code page from the glibc locale and ignores a LANG it does not have: the CSV suite
# and the tour's Russian pictures need ru_RU.UTF-8 made.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
