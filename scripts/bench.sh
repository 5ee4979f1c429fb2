#!/usr/bin/env bash
# Builds (through scripts/test.sh's build folder) and runs the benchmarks
# under Wine; each prints its figures and ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
[ -f "$build/build.ninja" ] || { echo "run scripts/test.sh first" >&2; exit 1; }
cmake --build "$build" -- -j"$(nproc)" >/dev/null
export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
for bench in "$build"/bin/*_bench.exe; do
  [ -n "${1:-}" ] && [[ "$(basename "$bench")" != *"$1"* ]] && continue
  echo "== $(basename "$bench" .exe)"
  wine "$bench"
done
