#!/usr/bin/env bash
# Runs one Wine kernel scenario in a fresh prefix: run-scenario.sh TREE PROGRAM FILTER [ARGS...]
# (ARGS go to the program after the filter).
#
# A template prefix (TREE/wine/kernel-template) is made once per build tree: a checked boot
# (cmake/wine-boot.sh; what Wine printed is in TREE/wine/kernel-template.log), Wine's null
# graphics driver (Device Manager's pages run without a display; it has to be set before Wine's
# desktop starts), no crash dialog, AeDebug pointing at a program that does not exist (a crash in
# winedevice then ends the process at once instead of waiting for a debugger). Every scenario
# runs in its own copy (TREE/wine/kernel-NAME): hard links for the bulk, real copies of what Wine
# writes in place (the registry files and the INF folder), with its own persistent wineserver
# that is killed at the end, so Wine's services and winedevice end with the scenario.
set -u
[ $# -ge 3 ] || { echo "usage: $0 TREE PROGRAM FILTER [ARGS...]" >&2; exit 2; }
tree=$1 program=$2 filter=$3
shift 3

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY

. "$(dirname "$0")/../../cmake/wine-boot.sh"

template=$tree/wine/kernel-template
mkdir -p "$tree/wine"
(
    flock 9
    if [ ! -f "$template/.coran-kernel-template" ]; then
        wine_boot "$template" "$template.log" 9>&- || exit 1
        export WINEPREFIX=$template
        timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
            9>&- </dev/null >/dev/null 2>&1
        timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
            /t REG_DWORD /d 0 /f 9>&- </dev/null >/dev/null 2>&1
        timeout -k 5 60 "$wine" reg add \
            'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
            /d 'C:\none.exe' /f 9>&- </dev/null >/dev/null 2>&1
        timeout -k 5 120 "$wineserver" -w 9>&-
        touch "$template/.coran-kernel-template"
    fi
) 9>"$template.lock" || exit 1

name=$(echo "$filter" | tr -c 'A-Za-z0-9\n' '_')
prefix=$tree/wine/kernel-$name
rm -rf "$prefix"
cp -al "$template" "$prefix"
for f in "$prefix"/*.reg; do cp --remove-destination "$template/$(basename "$f")" "$f"; done
rm -rf "$prefix/drive_c/windows/inf"
cp -a "$template/drive_c/windows/inf" "$prefix/drive_c/windows/inf"

export WINEPREFIX=$prefix
setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 &
server=$!
# Wine's own services and drivers start with the first program; let them come up before the
# scenario installs anything (as cmake/wine-run.sh does).
timeout -k 5 120 "$wine" cmd /c exit </dev/null >/dev/null 2>&1
timeout -k 5 150 "$wine" "$program" --gtest_filter="$filter" "$@" </dev/null
status=$?
"$wineserver" -k >/dev/null 2>&1
wait "$server" 2>/dev/null
[ $status -ne 0 ] || rm -rf "$prefix"
exit $status
