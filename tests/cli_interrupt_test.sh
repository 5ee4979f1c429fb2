#!/usr/bin/env bash
# Ctrl+C during `kivo copy-tree`: the file being copied is stopped between
# two chunks and removed, the job is closed, the summary says the copy
# stopped before the end and the exit status is 130. Wine turns
# a SIGINT of the process into the console's Ctrl+C event, as a terminal
# does on Windows, so the signal is sent from here while the copy runs from
# a slow phone.
set -euo pipefail
source "$(dirname "$0")/support/checks.sh"

files=40 size=30000
{
  echo '{"devices": [{"pnpId": "usb#slow-phone", "friendlyName": "Phone", "bandwidth": 150000, "transferSize": 4096,'
  echo ' "objects": [{"kind": "storage", "name": "Card", "children": [{"kind": "folder", "name": "DCIM", "children": ['
  for i in $(seq 1 $files); do
    sep=","; [ "$i" -eq "$files" ] && sep=""
    # The fourth file takes ten seconds: the interrupt comes in its middle.
    bytes=$size; [ "$i" -eq 4 ] && bytes=1500000
    printf '  {"kind": "file", "name": "IMG_%04d.JPG", "originalFileName": "IMG_%04d.JPG", "size": %d, "seed": %d}%s\n' \
      "$i" "$i" "$bytes" "$i" "$sep"
  done
  echo ']}]}]}]}'
} >"$work/phone.json"
mkdir "$work/out"

KIVO_SIM_DEVICES=$(winepath -w "$work/phone.json") \
  wine "$bin/kivo.exe" copy-tree 'Phone\Card\DCIM' "$(winepath -w "$work/out")" >"$work/stdout.txt" 2>"$work/stderr.txt" &
pid=$!

# Interrupt once three files have arrived (each takes about a fifth of a
# second, in chunks of 4 KiB).
for _ in $(seq 600); do
  n=$(grep -c '^copied ' "$work/stdout.txt" 2>/dev/null || true)
  [ "${n:-0}" -ge 3 ] && break
  sleep 0.1
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?

copied=$(grep -c '^copied ' "$work/stdout.txt" || true)
on_disk=$(find "$work/out" -type f | wc -l)
whole=$(find "$work/out" -type f -size "${size}c" | wc -l)
echo "copied $copied of $files before the interrupt took effect; $on_disk files on disk"
check "kivo exits with status 130" "[ $status -eq 130 ]"
check "the copy stopped in the middle of the fourth file" "[ $copied -eq 3 ]"
check "the summary says so and counts the files copied" \
  "grep -q '^$copied of $files files copied, 0 up to date, 0 failed, .*; stopped before the end\$' '$work/stdout.txt'"
check "every file on disk was announced and is whole; the one stopped is gone" \
  "[ $on_disk -eq $copied ] && [ $whole -eq $copied ]"
check "nothing was reported as failed" "[ ! -s '$work/stderr.txt' ]"
finish_checks "$work/stdout.txt" "$work/stderr.txt"
