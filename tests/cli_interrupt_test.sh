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

# Ctrl+C during `kivo check`, after each of its lines in turn: the device is
# left exactly as it was (its dump unchanged), no local file of the run
# remains, and a check stopped before its end exits with status 130.
cat >"$work/checked.json" <<'JSON'
{"devices": [{"pnpId": "usb#checked", "friendlyName": "Checked", "description": "Checked",
  "latency": {"IPortableDeviceProperties::GetValues": 4000}, "bandwidth": 400000000,
  "objects": [{"kind": "storage", "name": "Card", "capacity": 1073741824, "freeSpace": 805306368,
               "children": [{"kind": "folder", "name": "DCIM"}]}]}]}
JSON
fixture=$(winepath -w "$work/checked.json")
KIVO_SIM_DEVICES=$fixture KIVO_SIM_DUMP=$(winepath -w "$work/untouched.json") wine "$bin/kivo.exe" devices >/dev/null
leftovers() { find "$WINEPREFIX/drive_c/users" -maxdepth 5 -name 'kivo-check-*' 2>/dev/null | wc -l; }
temp_before=$(leftovers)
stopped=0 unchanged=0 runs=0
for after in $(seq 1 16); do
  rm -f "$work/check.txt" "$work/after.json"
  KIVO_SIM_DEVICES=$fixture KIVO_SIM_DUMP=$(winepath -w "$work/after.json") \
    wine "$bin/kivo.exe" check Checked >"$work/check.txt" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    n=$(grep -c ': ' "$work/check.txt" 2>/dev/null || true)
    [ "${n:-0}" -ge "$after" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -INT "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  runs=$((runs + 1))
  [ "$status" -eq 130 ] && grep -q '^stopped before the end$' "$work/check.txt" && stopped=$((stopped + 1))
  if cmp -s "$work/untouched.json" "$work/after.json"; then
    unchanged=$((unchanged + 1))
  else
    echo "interrupted after line $after (status $status): the device changed"; cat "$work/check.txt" || true
  fi
done
temp_after=$(leftovers)
echo "kivo check interrupted after each line: $stopped of $runs runs stopped early"
check "every interrupted check left the device as it was" "[ $unchanged -eq $runs ]"
check "most runs were stopped before the end" "[ $stopped -ge 12 ]"
check "no local folder of a check remains" "[ $temp_after -eq $temp_before ]"
finish_checks "$work/stdout.txt" "$work/stderr.txt" "$work/check.txt"
