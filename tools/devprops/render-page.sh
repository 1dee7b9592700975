#!/usr/bin/env bash
# Renders the Port Settings page, as devprops shows it under Wine, into a PNG in the Windows build
# tree (make demo). Usage: render-page.sh [WINDOWS_BUILD_TREE]
#
# Screenshots need a real display, so this runs devprops under Xvfb in a Wine prefix of its own
# (<tree>/wine/demo, without the null graphics driver that the tests' prefix uses), grabs the
# screen while the sheet is up and trims the empty screen around it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=$(cd "${1:-$root/build/win}" && pwd)
mkdir -p "$tree/demo"
screen=$tree/demo/screen.png
png=$tree/demo/port-settings.png
rm -f "$screen" "$png"

export CORAN_WINEPREFIX=$tree/wine/demo
export CORAN_WINE_TIMEOUT=120
done=$tree/demo/captured
rm -f "$done"
windows_done="Z:$(tr / '\\' <<<"$done")"
# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    export CORAN_WINE_DISPLAY=$DISPLAY
    "$0" cmd /c exit   # creates the prefix and starts Wine on this display first
    "$0" "$1" --create COM3 --close-when "$3" --close-after 90 &
    shown=$!
    # Grab the screen once the sheet is up (the trimmed picture is more than a blank screen).
    for attempt in $(seq 1 60); do
        sleep 1
        import -window root "$2"
        width=$(convert "$2" -trim info: 2>/dev/null | awk "{ split(\$3, size, \"x\"); print size[1] }")
        [ "${width:-0}" -gt 200 ] && break
    done
    touch "$4"
    wait $shown' "$root/cmake/wine-run.sh" "$tree/bin/devprops.exe" "$screen" "$windows_done" "$done"
rm -f "$done"
# The display is gone: stop this prefix's server and Wine's services with it.
WINEPREFIX=$CORAN_WINEPREFIX /usr/lib/wine/wineserver64 -k 2>/dev/null || true

convert "$screen" -trim +repage "$png"
rm -f "$screen"
echo "Port Settings page rendered: $png"

# The Advanced dialog, opened from the page's "&Advanced..." button: the picture is taken once
# the dialog over the sheet has made the trimmed screen wider than the sheet alone.
advanced_png=$tree/demo/advanced-settings.png
rm -f "$screen" "$advanced_png" "$done"
sheet_width=$(identify -format %w "$png")
# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    export CORAN_WINE_DISPLAY=$DISPLAY
    "$0" cmd /c exit
    "$0" "$1" --create COM3 --advanced --close-when "$3" --close-after 90 &
    shown=$!
    for attempt in $(seq 1 60); do
        sleep 1
        import -window root "$2"
        width=$(convert "$2" -trim info: 2>/dev/null | awk "{ split(\$3, size, \"x\"); print size[1] }")
        [ "${width:-0}" -gt "$5" ] && break
    done
    touch "$4"
    wait $shown' "$root/cmake/wine-run.sh" "$tree/bin/devprops.exe" "$screen" "$windows_done" "$done" \
    "$sheet_width"
rm -f "$done"
WINEPREFIX=$CORAN_WINEPREFIX /usr/lib/wine/wineserver64 -k 2>/dev/null || true

convert "$screen" -trim +repage "$advanced_png"
rm -f "$screen"
echo "Advanced dialog rendered: $advanced_png"
