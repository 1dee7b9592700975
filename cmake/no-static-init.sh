#!/bin/sh
# Fails when an object of the driver carries static constructors, destructors or thread-local
# data (.ctors, .dtors, .init_array, .fini_array, .tls sections): none of them runs, or exists, in
# a kernel-mode image. Usage: no-static-init.sh OBJDUMP OBJECT...
objdump=$1
shift
status=0
for object in "$@"; do
    sections=$("$objdump" -h "$object" | awk '$1 ~ /^[0-9]+$/ { print $2 }' |
        grep -E '^\.(ctors|dtors|init_array|fini_array|tls)' || true)
    if [ -n "$sections" ]; then
        echo "error: $object has static initialisation or thread-local sections:" $sections >&2
        status=1
    fi
done
exit $status
