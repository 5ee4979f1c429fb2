#!/usr/bin/env bash
# Builds kivo and its tests for 64-bit Windows and runs every test under Wine
# against the simulated device service. On a fresh Debian machine it first
# installs what is missing. A second run reuses the build and the Wine prefix.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

need_install() {
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || return 0
  command -v wine >/dev/null || return 0
  command -v cmake >/dev/null || return 0
  command -v ninja >/dev/null || return 0
  [ -f /usr/include/nlohmann/json.hpp ] || return 0
  [ -f /usr/src/googletest/CMakeLists.txt ] || return 0
  return 1
}

if need_install; then
  echo "== installing build tools"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build nlohmann-json3-dev googletest >/dev/null
fi

echo "== building"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko prompts, no dialogs.
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi

# One wineserver for the whole run.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

echo "== registering the simulated device service"
wine regsvr32 /s "$(winepath -w "$build/bin/kivosim.dll")" >/dev/null 2>&1 || {
  echo "registration of kivosim.dll failed" >&2
  exit 1
}

echo "== running the tests"
cd "$build"
ctest --output-on-failure --timeout 600 "$@"
