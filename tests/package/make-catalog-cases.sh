#!/bin/sh
# Makes what the catalog checks hold the package against, in a folder of the build tree (the
# package itself is never changed): a copy of each package file with one byte changed, and
# corport-without-pages.cat, corport's catalog made and signed as the package's is but without
# TRVPAGE.DLL.
# Usage: make-catalog-cases.sh PYTHON MAKECAT OSSLSIGNCODE CERTIFICATE KEY PACKAGE_DIR OUT_DIR
set -eu
python=$1
makecat=$2
osslsigncode=$3
certificate=$4
key=$5
package=$6
out=$7
mkdir -p "$out"

# Replaces the byte at an offset with its complement, so that it surely changes.
flip() {
    byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf %03o $((255 - byte)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# An INF's second byte; an image's byte 0x400, past the headers and inside what the image hash
# covers.
for file in corcard.inf corport.inf; do
    cp "$package/$file" "$out/$file"
    flip "$out/$file" 1
done
for file in corcard.sys corserial.sys TRVPAGE.DLL; do
    cp "$package/$file" "$out/$file"
    flip "$out/$file" 1024
done

"$python" "$makecat" -o "$out/corport-without-pages.unsigned.cat" \
    "$package/corport.inf" "$package/corserial.sys"
rm -f "$out/corport-without-pages.cat"
"$osslsigncode" sign -certs "$certificate" -key "$key" -h sha256 \
    -in "$out/corport-without-pages.unsigned.cat" -out "$out/corport-without-pages.cat" >/dev/null
