#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine, and nothing when all of
# it is already there. Packages named as arguments are wanted too (make bench adds its own).
set -euo pipefail
packages=(
    cmake make g++ googletest libgtest-dev python3
    clang libclang-rt-14-dev clang-tidy
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools
    wine64 xvfb xauth imagemagick icoutils osslsigncode openssl
    python3-asn1crypto gcab cabextract
    "$@"
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
