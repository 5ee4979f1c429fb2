#!/usr/bin/env bash
# Builds kivo and its tests for 64-bit Windows and runs every test under Wine
# against the simulated device service. On a fresh Debian machine it first
# installs what is missing. A second run reuses the build and the Wine prefix.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

source "$root/scripts/common.sh"
kivo_setup

echo "== running the tests"
cd "$build"
ctest --output-on-failure --timeout 600 "$@"
