#!/usr/bin/env bash
# Writes dist/kivo-<version>-win64.zip: kivo.dll and kivo.exe (optimised,
# stripped, their debug information beside them in .debug files reached by a
# debug link), the public header, import libraries for mingw and MSVC, the
# module definition and a usage text. Needs the tools scripts/test.sh installs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
release="$root/build/release"
version=$(sed -n 's/^#define KIVO_VERSION_TEXT "\(.*\)"/\1/p' "$root/exports/version.h")
name="kivo-$version-win64"
stage="$release/$name"
zip="$root/dist/$name.zip"

if ! command -v zip >/dev/null || ! command -v unzip >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends zip unzip >/dev/null 2>&1 ||
    { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends zip unzip >/dev/null; }
fi

echo "== release build of $name"
if [ ! -f "$release/build.ninja" ]; then
  cmake -S "$root" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVO_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$release" --target kivo kivo_cli -- -j"$(nproc)"

rm -rf "$stage" && mkdir -p "$stage/include" "$stage/lib" "$root/dist"
for binary in kivo.dll kivo.exe; do
  cp "$release/bin/$binary" "$stage/$binary"
  x86_64-w64-mingw32-objcopy --only-keep-debug "$stage/$binary" "$stage/$binary.debug"
  x86_64-w64-mingw32-strip --strip-all "$stage/$binary"
  (cd "$stage" && x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$binary.debug" "$binary")
done
cp "$root/include/kivo.h" "$stage/include/"
cp "$root/exports/kivo.def" "$stage/lib/"
cp "$release/lib/libkivo.dll.a" "$stage/lib/"
x86_64-w64-mingw32-dlltool -m i386:x86-64 -d "$root/exports/kivo.def" -D kivo.dll -l "$stage/lib/kivo.lib"
cat >"$stage/USAGE.txt" <<USAGE
kivo $version for 64-bit Windows: files and folders on portable devices
(phones, cameras, players) through a Win32-style API.

  kivo.dll            the library (it imports system DLLs only)
  kivo.exe            a command-line file manager built on it; kivo --help
  include/kivo.h      the API, with a comment on every function
  lib/libkivo.dll.a   import library for mingw-w64 (gcc ... -lkivo)
  lib/kivo.lib        import library for MSVC (link ... kivo.lib)
  lib/kivo.def        the module definition (every export with its ordinal)
  *.debug             debug information, found by gdb through the debug links

Paths name a device by its friendly name: Phone\\Card\\DCIM\\photo.jpg.
Each call returns its result the Win32 way: a failure value and the
thread's last-error code (GetLastError).
USAGE
rm -f "$zip"
(cd "$release" && zip -qr "$zip" "$name")
echo "== wrote $zip"
ls -l "$stage/kivo.dll" "$stage/kivo.dll.debug" "$zip"
