# Sourced by the shell tests: a scratch folder removed on exit, the Wine
# environment of the build, and check NAME CONDITION, which counts failures
# for finish_checks.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin="$root/build/bin"
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}" WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi; }
# Exits with the tests' status; on failure shows the files named.
finish_checks() {
  [ "$failures" -eq 0 ] && exit 0
  for file in "$@"; do echo "--- $(basename "$file")"; cat "$file"; done
  exit 1
}
