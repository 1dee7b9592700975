#!/bin/sh
# Verifies the Authenticode signature of a packaged image: it verifies against the test
# certificate as the only trusted root, its digest is SHA-256 and matches the file.
# Usage: check-signature.sh OSSLSIGNCODE CERTIFICATE IMAGE
set -eu
osslsigncode=$1
certificate=$2
image=$3
out=$("$osslsigncode" verify -CAfile "$certificate" -in "$image" 2>&1) || {
    echo "$out"
    echo "FAIL: $image does not verify against $certificate" >&2
    exit 1
}
echo "$out" | grep -Eq '^Message digest algorithm *: SHA256' || {
    echo "$out"
    echo "FAIL: $image is not signed with SHA-256" >&2
    exit 1
}
echo "$out" | grep -Eq '^Signature verification: ok' || {
    echo "$out"
    echo "FAIL: no successful verification reported for $image" >&2
    exit 1
}
echo "$image: signed with SHA-256, verified against the test certificate"
