#!/usr/bin/env bash
# Checks the built TRVPAGE.DLL image: a 64-bit DLL whose export directory names the module
# "TRVPAGE.DLL", exactly the two exports, LibMain as the entry point, imports from Windows system
# DLLs only, and the dialog and string resources in language 1033.
set -euo pipefail
dll=$1
objdump=x86_64-w64-mingw32-objdump
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$($objdump -p "$dll")
grep -q '^Magic[[:space:]]*020b' <<<"$headers" || fail "not a PE32+ image"
grep -Eq '^Characteristics.*' <<<"$headers" || fail "no characteristics"
grep -q 'DLL' <<<"$($objdump -f "$dll")" || fail "not a DLL"

# Export directory: module name and exactly two names.
grep -q "^Name[[:space:]].*TRVPAGE.DLL" <<<"$headers" || fail "export module name is not TRVPAGE.DLL"
names=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[[:space:]]*\[/{print; next} {on=0}' <<<"$headers")
exports=$(awk '{print $NF}' <<<"$names" | sort | tr '\n' ' ')
[ "$exports" = "LibMain SerialPortPropPageProvider " ] || fail "exports are '$exports'"

# Entry point: the address of LibMain (export address table index = name table ordinal).
entry=$(awk '/^AddressOfEntryPoint/{print $2}' <<<"$headers")
index=$(awk '/LibMain/{gsub(/[][]/, " "); print $1}' <<<"$names")
address=$(awk -v i="$index" '/\+base\[/{line=$0; gsub(/[][]/, " ", line); split(line, f, " "); if (f[1] == i) print f[4]}' <<<"$headers")
[ -n "$address" ] || fail "no address for LibMain"
[ $((16#$entry)) -eq $((16#$address)) ] || fail "entry point $entry is not LibMain ($address)"

# Imports: system DLLs only.
allowed='^(kernel32|user32|advapi32|setupapi|comctl32|msports|gdi32|msvcrt|ntdll)\.dll$'
for imported in $(awk '/DLL Name:/{print tolower($3)}' <<<"$headers"); do
    grep -Eq "$allowed" <<<"$imported" || fail "imports $imported"
done

# Resources: dialogs 15 and 16 and the string table blocks, language 1033 only.
resources=$(wrestool -l "$dll")
grep -q -- "--type=5 --name=15 --language=1033" <<<"$resources" || fail "no dialog 15 in language 1033"
grep -q -- "--type=5 --name=16 --language=1033" <<<"$resources" || fail "no dialog 16 in language 1033"
grep -q -- "--type=6 .*--language=1033" <<<"$resources" || fail "no string table in language 1033"
if grep -- "--language=" <<<"$resources" | grep -v -- "--language=1033" | grep -q .; then
    fail "resources in other languages"
fi
echo "TRVPAGE.DLL image: module name, entry point, exports, imports and resources as expected"
