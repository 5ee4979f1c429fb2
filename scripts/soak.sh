#!/usr/bin/env bash
# The long soak: KIVO_SOAK_CALLS (default 100,000) mixed calls in one
# process; prints the heap, handle and live-object samples.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
source "$root/scripts/common.sh"
kivo_setup
export KIVO_SOAK_CALLS="${KIVO_SOAK_CALLS:-100000}"
cd "$build/bin"
wine soak_test.exe </dev/null
