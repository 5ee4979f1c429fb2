# The steps scripts/test.sh and scripts/demo.sh share: install what is
# missing on a Debian machine, build into build/, prepare the private Wine
# prefix on a virtual display of its own and register the simulated device
# service. Sourced with root and build set; leaves the Wine environment
# exported and a trap that stops wineserver and the display.

need_install() {
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || return 0
  command -v wine >/dev/null || return 0
  command -v cmake >/dev/null || return 0
  command -v ninja >/dev/null || return 0
  command -v Xvfb >/dev/null || return 0
  [ -f /usr/include/nlohmann/json.hpp ] || return 0
  [ -f /usr/src/googletest/CMakeLists.txt ] || return 0
  # The tests run in a second time zone as well.
  [ -f /usr/share/zoneinfo/Asia/Tokyo ] || return 0
  # The native build of the parser fuzzers.
  command -v clang++ >/dev/null || return 0
  command -v llvm-profdata >/dev/null || return 0
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || return 0
  return 1
}

kivo_install() {
  if need_install; then
    echo "== installing build tools"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build nlohmann-json3-dev googletest xvfb \
      clang libclang-rt-14-dev llvm tzdata >/dev/null
  fi
}

kivo_build() {
  echo "== building"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  fi
  cmake --build "$build" -- -j"$(nproc)"
}

kivo_prepare_wine() {
  export WINEPREFIX="$build/wineprefix"
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No Mono or Gecko prompts.
  export WINEDLLOVERRIDES="mscoree,mshtml="

  # A virtual display of our own: the test of the real shell dialog shows
  # Wine's open dialog on it and saves a picture of it as build/open-dialog.bmp.
  display=""
  for n in $(seq 90 119); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  [ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  export DISPLAY="$display"

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi

  # One wineserver for the whole run (another program of this prefix may
  # have started it already).
  wineserver -p 2>/dev/null || true
  trap 'wineserver -k >/dev/null 2>&1 || true; kill "$xvfb_pid" 2>/dev/null || true' EXIT

  echo "== registering the simulated device service"
  # On a prefix that was only just made this has failed once, with the
  # same registration working a moment later; so it is tried again.
  local log="$build/register-sim.log" try
  for try in 1 2 3; do
    wine regsvr32 /s "$(winepath -w "$build/bin/kivosim.dll")" >"$log" 2>&1 && return 0
    echo "registration of kivosim.dll failed (try $try of 3)" >&2
    wineserver -k 2>/dev/null || true
    sleep 2
    wineserver -p 2>/dev/null || true
  done
  cat "$log" >&2
  exit 1
}

# All three, in order.
kivo_setup() {
  kivo_install
  kivo_build
  kivo_prepare_wine
}
