#!/usr/bin/env bash
# What make bench needs on top of cmake/install-deps.sh (make test does not need these): valgrind
# for callgrind, gnuplot for the chart, python3 for the report. Installs nothing when all of it is
# already there.
set -euo pipefail
packages=(valgrind gnuplot-nox python3)
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
