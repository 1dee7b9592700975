#!/bin/sh
# Checks a kernel-mode image we ship (corcard.sys, corserial.sys) as the Windows loader, Memory
# integrity (hypervisor-protected code integrity) and the event log see it.
# Usage: check-image.sh OBJDUMP NM CHECK IMAGE [MESSAGE CODES]
#   imports   the import table names ntoskrnl.exe and HAL.dll only, and no routine that hands
#             out executable memory
#   subsystem the image is a native-subsystem WDM driver that exports nothing
#   entry     the entry point is DriverEntry
#   reloc     a base relocation section is present (the loader may move the image)
#   hvci      no section is both writable and executable, sections are aligned to a page, and
#             the image is marked NX-compatible with a dynamic base
#   resource  the message table resource: type 11, name 1, language 1033
#   messages  the message table holds exactly the codes given (hexadecimal, in order), each with
#             the Unicode text "%2\r\n"
set -eu
objdump=$1
nm=$2
check=$3
image=$4
codes=${5:-}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

headers() { "$objdump" -p "$image"; }

# Unsigned little-endian integer of $2 bytes at offset $1 of file $3.
uint_at() { od -An -tu"$2" -j "$1" -N "$2" "$3" | tr -d ' \n'; }

case $check in
imports)
    dlls=$(headers | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u | tr '\n' ' ')
    [ -n "$dlls" ] || fail "no import table"
    for dll in $dlls; do
        case $dll in
        ntoskrnl.exe | HAL.dll) ;;
        *) fail "imports $dll (imports: $dlls)" ;;
        esac
    done
    # Routines whose memory is executable: Memory integrity refuses it to drivers.
    for routine in ExAllocatePool ExAllocatePoolWithQuota MmAllocateContiguousMemory \
        MmAllocateContiguousMemorySpecifyCache MmAllocateNonCachedMemory MmMapIoSpace \
        MmMapLockedPages; do
        if headers | awk '{ print $NF }' | grep -qx "$routine"; then
            fail "imports $routine, which hands out executable memory"
        fi
    done
    echo "imports: $dlls"
    ;;
hvci)
    # objdump -h shows a writable section without READONLY and an executable one with CODE.
    wx=$("$objdump" -h "$image" | awk '/^ *[0-9]+ / { name = $2; getline; if ($0 ~ /CODE/ && $0 !~ /READONLY/) print name }')
    [ -z "$wx" ] || fail "sections both writable and executable: $wx"
    align=$(headers | sed -n 's/^SectionAlignment[[:space:]]*//p')
    [ $((0x$align)) -eq 4096 ] || fail "section alignment is 0x$align, not one page"
    chars=$(headers | sed -n 's/^DllCharacteristics[[:space:]]*//p')
    [ $((0x$chars & 0x0100)) -ne 0 ] || fail "NX_COMPAT missing (DllCharacteristics $chars)"
    [ $((0x$chars & 0x0040)) -ne 0 ] || fail "DYNAMIC_BASE missing (DllCharacteristics $chars)"
    echo "no W+X section, page-aligned sections, DllCharacteristics $chars"
    ;;
subsystem)
    headers | grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' ||
        fail "subsystem is not native: $(headers | grep '^Subsystem')"
    chars=$(headers | sed -n 's/^DllCharacteristics[[:space:]]*//p')
    [ $((0x$chars & 0x2000)) -ne 0 ] || fail "WDM driver flag missing (DllCharacteristics $chars)"
    # ld always writes an export directory for -shared; it must stay empty.
    exported=$(headers | awk '$1 == "Export" && $2 == "Address" && $3 == "Table" && NF == 4 { print $4; exit }')
    [ -z "$exported" ] || [ $((0x$exported)) -eq 0 ] || fail "the image exports $((0x$exported)) symbols"
    echo "native subsystem, DllCharacteristics $chars"
    ;;
entry)
    base=$(headers | sed -n 's/^ImageBase[[:space:]]*//p')
    rva=$(headers | sed -n 's/^AddressOfEntryPoint[[:space:]]*//p')
    driver_entry=$("$nm" "$image" | awk '$2 == "T" && $3 == "DriverEntry" { print $1 }')
    [ -n "$driver_entry" ] || fail "no DriverEntry symbol in the image"
    [ $((0x$base + 0x$rva)) -eq $((0x$driver_entry)) ] ||
        fail "entry point 0x$rva (base 0x$base) is not DriverEntry at 0x$driver_entry"
    echo "entry point DriverEntry at 0x$driver_entry"
    ;;
reloc)
    size=$("$objdump" -h "$image" | awk '$2 == ".reloc" { print $3 }')
    [ -n "$size" ] || fail "no .reloc section"
    [ $((0x$size)) -gt 0 ] || fail ".reloc section is empty"
    echo ".reloc present, $((0x$size)) bytes"
    ;;
resource)
    list=$(wrestool -l "$image")
    echo "$list" | grep -q -- '--type=11 --name=1 --language=1033' ||
        fail "no message table 1 in language 1033: $list"
    [ "$(echo "$list" | grep -c -- '--type=11')" -eq 1 ] || fail "more than one message table: $list"
    echo "$list"
    ;;
messages)
    table=$(mktemp)
    trap 'rm -f "$table"' EXIT
    wrestool -x -R --type=11 --name=1 --language=1033 "$image" >"$table"
    [ -s "$table" ] || fail "message table cannot be extracted"
    # MESSAGE_RESOURCE_DATA: block count, then (LowId, HighId, OffsetToEntries) per block; each
    # entry is (Length, Flags, text) with Flags 1 for Unicode text.
    blocks=$(uint_at 0 4 "$table")
    found=""
    b=0
    while [ "$b" -lt "$blocks" ]; do
        low=$(uint_at $((4 + 12 * b)) 4 "$table")
        high=$(uint_at $((8 + 12 * b)) 4 "$table")
        at=$(uint_at $((12 + 12 * b)) 4 "$table")
        id=$low
        while [ "$id" -le "$high" ]; do
            length=$(uint_at "$at" 2 "$table")
            flags=$(uint_at $((at + 2)) 2 "$table")
            code=$(printf '0x%08X' "$id")
            [ "$flags" -eq 1 ] || fail "message $code is not Unicode (flags $flags)"
            # "%2\r\n" in UTF-16LE; the rest of the entry is zero padding.
            text=$(od -An -tx1 -j $((at + 4)) -N $((length - 4)) "$table" | tr -d ' \n')
            case $text in
            250032000d000a00 | 250032000d000a000000*) ;;
            *) fail "message $code text is not %2\\r\\n (bytes $text)" ;;
            esac
            found="$found $code"
            at=$((at + length))
            id=$((id + 1))
        done
        b=$((b + 1))
    done
    [ "$found" = " $codes" ] || fail "message codes are$found, expected $codes"
    printf 'messages:%s, each %%2\\r\\n\n' "$found"
    ;;
*)
    fail "unknown check $check"
    ;;
esac
