#!/usr/bin/env bash
# The long runs of the hardening tests, each printing its figures:
#   scripts/long-run.sh stress   eight threads for KIVO_STRESS_SECONDS (default 30)
#   scripts/long-run.sh soak     KIVO_SOAK_CALLS (default 100,000) mixed calls
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
case "${1:-}" in
  stress) export KIVO_STRESS_SECONDS="${KIVO_STRESS_SECONDS:-30}" ;;
  soak) export KIVO_SOAK_CALLS="${KIVO_SOAK_CALLS:-100000}" ;;
  *) echo "usage: scripts/long-run.sh stress|soak" >&2; exit 2 ;;
esac
source "$root/scripts/common.sh"
kivo_setup
cd "$build/bin"
wine "$1_test.exe" </dev/null
