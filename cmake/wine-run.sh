#!/usr/bin/env bash
# Runs a Windows program of a build tree under Wine, headless. Used as the cross-compiling
# emulator of the Windows tree, so ctest (and test discovery) call it as: wine-run.sh PROGRAM ARGS.
#
# - The Wine prefix belongs to the build tree that holds the program (<tree>/wine/prefix, or
#   $CORAN_WINEPREFIX): created on first use by a checked boot (wine-boot.sh; what Wine printed is
#   in <prefix>.log), with Wine's null graphics driver so that dialogs work without a display, and
#   no crash dialog.
# - One persistent wineserver per prefix, started with its input and output on /dev/null (Wine's
#   services would otherwise keep ctest's output pipe open). It exits by itself 30 s after the
#   last program has ended, so nothing is left running after a test run.
# - Every run has a time limit ($CORAN_WINE_TIMEOUT seconds, 300 by default) on top of ctest's.
set -u

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
program=$1
shift

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# The build tree is the nearest directory above the program that holds a CMakeCache.txt.
tree=$(cd "$(dirname "$program")" && pwd)
while [ "$tree" != / ] && [ ! -f "$tree/CMakeCache.txt" ]; do
    tree=$(dirname "$tree")
done
[ "$tree" != / ] || tree=$(pwd)

export WINEPREFIX=${CORAN_WINEPREFIX:-$tree/wine/prefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers; a crash ends the program with an error code instead of waiting on
# an invisible debugger dialog.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Headless unless a display is asked for (screenshots under Xvfb).
if [ -n "${CORAN_WINE_DISPLAY:-}" ]; then
    export DISPLAY=$CORAN_WINE_DISPLAY
else
    unset DISPLAY
fi
limit=${CORAN_WINE_TIMEOUT:-300}

. "$(dirname "$0")/wine-boot.sh"

mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.coran-ready" ]; then
        wine_boot "$WINEPREFIX" "$WINEPREFIX.log" 9>&- || exit 1
        if [ -z "${CORAN_WINE_DISPLAY:-}" ]; then
            timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
                9>&- </dev/null >/dev/null 2>&1
        else
            # Screenshots: a real X display without a window manager; unmanaged windows spare
            # the wait for one in every modal loop.
            timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
                9>&- </dev/null >/dev/null 2>&1
        fi
        timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
            /t REG_DWORD /d 0 /f 9>&- </dev/null >/dev/null 2>&1
        timeout -k 5 120 "$wineserver" -w 9>&-
        touch "$WINEPREFIX/.coran-ready"
    fi
    # (Nothing started under the lock may keep its descriptor: Wine's server and services would
    # hold the lock for their whole life.)
    # Start the persistent server (in the foreground of its own session, so that its process ID
    # is known) unless ours still runs, then warm it up once: the first program starts Wine's
    # services, and they must not inherit the caller's output.
    pidfile=$WINEPREFIX/.coran-server
    if [ ! -e "$pidfile" ] || ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        setsid "$wineserver" -f -p30 9>&- </dev/null >/dev/null 2>&1 &
        echo $! >"$pidfile"
        timeout -k 5 120 "$wine" cmd /c exit 9>&- </dev/null >/dev/null 2>&1
    fi
) 9>"$WINEPREFIX.lock" || exit 1

timeout -k 5 "$limit" "$wine" "$program" "$@"
status=$?
# Wine's own error messages are off (WINEDEBUG): a run that fails before the program prints
# anything still says how it ended.
[ $status -eq 0 ] || echo "wine-run.sh: $(basename "$program") ended with status $status" >&2
exit $status
