#!/usr/bin/env bash
# Deleting a disk tree that holds a linked folder (`kivo rm -r`): the link is
# removed as a link, never walked into, so what it points to outside the
# tree survives. Wine shows a Unix symbolic link to a folder as a directory
# reparse point, as Windows shows a junction, so the link is made here from
# the Unix side. (Wine shows a link to a file as a plain file, and its
# DeleteFileW removes the target: no program can tell, so none is made.)
set -euo pipefail
source "$(dirname "$0")/support/checks.sh"

mkdir -p "$work/outside/keep" "$work/tree/sub" "$work/tree/.git"
echo precious >"$work/outside/precious.txt"
echo kept >"$work/outside/keep/kept.txt"
echo a >"$work/tree/sub/a.txt"
echo config >"$work/tree/.git/config"
: >"$work/tree/.nomedia"
ln -s "$work/outside" "$work/tree/folder-link"

status=0
wine "$bin/kivo.exe" rm -r "$(winepath -w "$work/tree")" >"$work/stdout.txt" 2>"$work/stderr.txt" || status=$?

check "the linked folder's files outside the tree survive" \
  "[ \"\$(cat '$work/outside/precious.txt')\" = precious ] && [ \"\$(cat '$work/outside/keep/kept.txt')\" = kept ]"
check "a success means the tree is gone, a failure that it is still there with a message" \
  "{ [ $status -eq 0 ] && [ ! -e '$work/tree' ]; } || { [ $status -eq 1 ] && [ -d '$work/tree' ] && [ -s '$work/stderr.txt' ]; }"
echo "kivo rm -r exited with $status; left in the tree: $(cd "$work" && find tree 2>/dev/null | sort | tr '\n' ' ')"
finish_checks "$work/stdout.txt" "$work/stderr.txt"
