#!/usr/bin/env bash
# Builds the release package, unpacks it and checks it as a Windows
# developer would use it: the DLL's exports against the header, the version,
# the debug links, and a C program linked against each import library and
# run under Wine against the packaged DLL.
set -euo pipefail
source "$(dirname "$0")/support/checks.sh"
bash "$root/scripts/package.sh" >/dev/null
version=$(sed -n 's/^#define KIVO_VERSION_TEXT "\(.*\)"/\1/p' "$root/exports/version.h")
zip="$root/dist/kivo-$version-win64.zip"

(cd "$work" && unzip -q "$zip")
pkg="$work/kivo-$version-win64"
for f in kivo.dll kivo.exe kivo.dll.debug kivo.exe.debug include/kivo.h lib/libkivo.dll.a lib/kivo.lib lib/kivo.def USAGE.txt; do
  check "the package holds $f" "[ -s '$pkg/$f' ]"
done

header_names=$(grep -oE '\bKivo[A-Za-z]+\(' "$pkg/include/kivo.h" | tr -d '(' | sort -u)
dll_names=$(x86_64-w64-mingw32-objdump -p "$pkg/kivo.dll" | sed -n '/Ordinal\/Name Pointer/,/^$/p' | grep -oE 'Kivo[A-Za-z]+' | sort)
check "the DLL exports exactly the header's 31 functions" \
  "[ \"\$header_names\" = \"\$dll_names\" ] && [ \$(echo \"\$dll_names\" | wc -l) -eq 31 ]"
sections=$(x86_64-w64-mingw32-objdump -h "$pkg/kivo.dll")
headers=$(x86_64-w64-mingw32-objdump -p "$pkg/kivo.dll")
check "the binaries are stripped and carry debug links" \
  "[[ \"\$sections\" == *gnu_debuglink* && \"\$sections\" != *debug_info* ]]"
check "ASLR, high-entropy ASLR and DEP are kept" \
  "[[ \"\$headers\" == *HIGH_ENTROPY_VA* && \"\$headers\" == *DYNAMIC_BASE* && \"\$headers\" == *NX_COMPAT* ]]"

IFS=. read -r a b c d <<<"$version"
packed=$((a * 1000 + b * 100 + c * 10 + d))
cat >"$work/host.c" <<'C'
#include <stdio.h>
#include "kivo.h"
int main(void) {
    printf("%lu\n", (unsigned long)KivoGetVersion());
    return KivoCheckDevicePathName(L"Phone\\Card") == 1 ? 0 : 1;
}
C
x86_64-w64-mingw32-gcc -Wall -Werror -I"$pkg/include" "$work/host.c" -L"$pkg/lib" -lkivo -o "$pkg/host-mingw.exe"
x86_64-w64-mingw32-gcc -Wall -Werror -I"$pkg/include" "$work/host.c" "$pkg/lib/kivo.lib" -o "$pkg/host-msvc-lib.exe"
for host in host-mingw host-msvc-lib; do
  got=$(cd "$pkg" && wine "$host.exe" </dev/null 2>/dev/null | tr -d '\r')
  check "$host.exe runs against the packaged DLL and reads version $packed" "[ '$got' = '$packed' ]"
done
# The scripts that register the sim for the current user on Windows, so
# that the suite runs there against the shipped DLL, and their undo. The
# registration is left as it was found: registered.
key='HKCU\Software\Classes\CLSID\{0AF10CEC-2ECD-4B92-9581-34F6AE0637F3}\InprocServer32'
winbin=$(winepath -w "$root/build/bin")
wine cmd /c "$(winepath -w "$root/scripts/unregister-sim.cmd")" "$winbin" >/dev/null 2>&1 </dev/null
check "unregister-sim.cmd removes the user's registration" "! wine reg query '$key' >/dev/null 2>&1 </dev/null"
wine cmd /c "$(winepath -w "$root/scripts/register-sim.cmd")" "$winbin" >"$work/register.txt" 2>&1 </dev/null
check "register-sim.cmd registers kivosim.dll for the current user" \
  "wine reg query '$key' </dev/null 2>/dev/null | tr -d '\r' | grep -qi 'kivosim.dll'"
check "register-sim.cmd refuses a folder without the sim" \
  "! wine cmd /c \"\$(winepath -w \"$root/scripts/register-sim.cmd\")\" 'C:\\nowhere' >/dev/null 2>&1 </dev/null"
[ "$failures" -eq 0 ] || { echo "$failures package check(s) failed"; exit 1; }
echo "package checks passed"
