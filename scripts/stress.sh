#!/usr/bin/env bash
# The long run of the stress test: eight threads of mixed calls for
# KIVO_STRESS_SECONDS (default 30) seconds; prints calls per second.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
source "$root/scripts/common.sh"
kivo_setup
export KIVO_STRESS_SECONDS="${KIVO_STRESS_SECONDS:-30}"
cd "$build/bin"
wine stress_test.exe </dev/null
