# Sourced by the scripts that make Wine prefixes (wine-run.sh, run-scenario.sh); they set $wine
# and $wineserver first.
#
# wine_boot PREFIX LOG: makes a new prefix in PREFIX (removing what is there), checks that it
# works, and says so in its status.
#
# Wine's first boot writes the prefix's .update-timestamp before it installs Windows' folders and
# DLLs. When that install dies half-way (it did once, on a loaded CI machine), no later program
# installs it again: every program in the prefix ends at once with "could not load kernel32.dll,
# status c0000135". So a prefix counts as made only when a program runs in it and the INF folder
# (installed last) is there; otherwise it is made again, three times at most. What Wine printed
# goes to LOG and is shown when all three fail.
wine_boot() {
    local prefix=$1 log=$2 attempt
    : >"$log"
    for attempt in 1 2 3; do
        rm -rf "$prefix"
        echo "== attempt $attempt" >>"$log"
        if (
            export WINEPREFIX=$prefix WINEDEBUG=err+all
            timeout -k 5 300 "$wine" wineboot -i &&
                timeout -k 5 60 "$wine" cmd /c exit &&
                [ -d "$prefix/drive_c/windows/inf" ]
        ) </dev/null >>"$log" 2>&1; then
            WINEPREFIX=$prefix timeout -k 5 120 "$wineserver" -w
            return 0
        fi
        echo "== attempt $attempt: the prefix does not work" >>"$log"
        WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
        WINEPREFIX=$prefix timeout -k 5 120 "$wineserver" -w
    done
    echo "$prefix: Wine could not make a working prefix; what it printed:" >&2
    cat "$log" >&2
    return 1
}
