#!/usr/bin/env bash
# The library's main job in one command: on a fresh Debian machine it
# installs what is missing, builds, and runs kivo.exe under Wine against a
# demo phone, with a running commentary.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

source "$root/scripts/common.sh"
kivo_setup

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
win() { winepath -w "$1" 2>/dev/null; }

say() { printf '\n\033[1m%s\033[0m\n' "$*"; }
# Runs kivo.exe, showing the command line as a user would type it.
kivo() {
  printf '$ kivo'; printf ' %q' "$@"; printf '\n'
  wine "$build/bin/kivo.exe" "$@"
}

say "The phone in this demo is simulated: kivo's test device service plays it from a fixture"
echo "(240 real JPEG photos made just now, three videos of 12 to 20 MB, a phone's 24 MB/s)."
echo "On Windows the same kivo.exe reaches real phones, cameras and players through Windows Portable Devices."
wine "$build/bin/make_demo_phone.exe" "$(win "$demo/phone")" >/dev/null
export KIVO_SIM_DEVICES="$(win "$demo/phone/phone.json")"

# Each kivo.exe is a process of its own, and the sim plays the phone afresh
# in each: a command that changes the phone leaves its state in a dump, which
# the next command's sim starts from.
state=0
keep_state() {
  state=$((state + 1))
  export KIVO_SIM_DUMP="$(win "$demo/phone/state-$state.json")"
}
next_state() { export KIVO_SIM_DEVICES="$KIVO_SIM_DUMP"; unset KIVO_SIM_DUMP; }

say "1. The connected devices"
kivo devices

say "2. The phone's camera folder, with attributes, sizes, dates and object IDs (the first lines)"
kivo ls -l 'Demo Phone\Internal storage\DCIM\Camera' >"$demo/listing.txt"
head -n 8 "$demo/listing.txt"
echo "... $(wc -l <"$demo/listing.txt") entries in all"

say "3. The whole camera folder copied to disk, one file per step"
kivo copy-tree -r 'Demo Phone\Internal storage\DCIM' "$(win "$demo/copied")"

say "4. A file uploaded back to the phone"
echo "Copied with kivo on $(date -u '+%Y-%m-%d %H:%M') UTC" >"$demo/note.txt"
keep_state
kivo cp "$(win "$demo/note.txt")" 'Demo Phone\Internal storage\Download'
next_state

say "5. ... renamed on the phone"
keep_state
kivo mv 'Demo Phone\Internal storage\Download\note.txt' 'Demo Phone\Internal storage\Download\from-kivo.txt'
next_state

say "6. The result"
kivo ls -l 'Demo Phone\Internal storage\Download'
kivo stat 'Demo Phone\Internal storage\Download\from-kivo.txt'

say "The copied photos and videos are on disk in $demo/copied"
ls "$demo/copied/Camera" | head -n 3
echo "... $(ls "$demo/copied/Camera" | wc -l) files"
