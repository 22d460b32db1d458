#!/usr/bin/env bash
# Checks that the tests' SQLite library exports every function the wrapper
# binds, under its plain C name.
#   sqlite_exports_check.sh <objdump> <sqlite3.dll> <SQLiteTable3.cpp>
set -euo pipefail
objdump=$1 dll=$2 source=$3
[ -f "$dll" ] || { echo "FAIL: no $dll" >&2; exit 1; }
names=$(grep -oE 'Bind\(module, "sqlite3_[a-z0-9_]+"' "$source" | grep -oE 'sqlite3_[a-z0-9_]+' | sort -u)
[ -n "$names" ] || { echo "FAIL: no bound names found in $source" >&2; exit 1; }
exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF} t&&/^$/{t=0}')
missing=0
for name in $names; do
    grep -qx "$name" <<<"$exports" || { echo "FAIL: $dll does not export $name" >&2; missing=1; }
done
[ $missing -eq 0 ] || exit 1
echo "sqlite3.dll exports all $(wc -w <<<"$names") bound functions"
