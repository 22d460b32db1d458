#!/usr/bin/env bash
# Every program imports system DLLs only: the runtime is linked statically.
#   imports_check.sh <objdump> <program.exe>...
set -euo pipefail
objdump=$1; shift
allowed='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|uuid|version|wininet|psapi|userenv|comctl32|comdlg32|msvcrt|ws2_32|uxtheme|msimg32|winmm|imm32|crypt32|secur32|rpcrt4|ntdll|dwmapi|mpr|winspool\.drv|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for exe in "$@"; do
    dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$dlls" ] || { echo "FAIL: $exe imports nothing?"; status=1; continue; }
    while read -r dll; do
        if ! [[ "$dll" =~ $allowed ]]; then
            echo "FAIL: $exe imports $dll"
            status=1
        fi
    done <<< "$dlls"
done
[ $status -eq 0 ] && echo "imports check passed: $#"
exit $status
