#!/bin/sh
# Holds one file against a signed catalog with osslsigncode, which reads catalogs independently
# of the tool that made ours: the catalog's signature must verify against the test certificate,
# and the file must be a member (expected "member") or be refused ("refused").
#
# osslsigncode verifies PE images against a catalog (-catalog; Debian 12's 2.5 does). Other
# files (INFs) it does not hash itself: for those it verifies the catalog through ANCHOR, a PE
# image the catalog covers, lists the catalog's members (-verbose, from version 2.8) and looks for
# the file's SHA-256, the flat-file hash a catalog holds for them.
# Usage: check-catalog.sh OSSLSIGNCODE CERTIFICATE CATALOG ANCHOR FILE member|refused
set -eu
osslsigncode=$1
certificate=$2
catalog=$3
anchor=$4
file=$5
expected=$6

if ! "$osslsigncode" verify --help 2>&1 | grep -q -- '-catalog'; then
    echo "SKIP: $("$osslsigncode" --version 2>&1 | head -n 1) cannot verify against a catalog"
    exit 77
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The catalog itself first, through a file it covers: a refusal below is then about the file.
"$osslsigncode" verify -CAfile "$certificate" -catalog "$catalog" -in "$anchor" -verbose \
    >"$log" 2>&1 || {
    cat "$log"
    echo "FAIL: $catalog does not verify with $anchor" >&2
    exit 1
}
if [ "$(head -c 2 "$file")" = MZ ]; then
    if "$osslsigncode" verify -CAfile "$certificate" -catalog "$catalog" -in "$file" \
        >"$log" 2>&1; then
        found=member
    else
        found=refused
    fi
else
    if ! grep -q '^Catalog members:' "$log"; then
        echo "SKIP: $("$osslsigncode" --version 2>&1 | head -n 1) does not list a catalog's" \
             "members (osslsigncode 2.8 and later do)"
        exit 77
    fi
    digest=$(sha256sum "$file" | cut -d' ' -f1 | tr a-f A-F)
    # The members are listed, indented, between "Catalog members:" and the anchor's digest.
    if sed -n '/^Catalog members:/,/^[^[:space:]]/p' "$log" |
        grep -Eq "^[[:space:]]+Message digest: $digest[[:space:]]*$"; then
        found=member
    else
        found=refused
    fi
fi
if [ "$found" != "$expected" ]; then
    cat "$log"
    echo "FAIL: $file: $found by $catalog, expected $expected" >&2
    exit 1
fi
echo "$file: $found by $catalog"
