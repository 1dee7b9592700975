#!/bin/sh
# Lists the submission cabinet back and extracts it with cabextract: it holds exactly one folder
# per driver package with that package's files, each the same as the file in the package.
# Usage: check-cabinet.sh CABEXTRACT CABINET PACKAGE_DIR WORK_DIR FOLDER/FILE...
set -eu
cabextract=$1
cabinet=$2
package=$3
work=$4
shift 4

"$cabextract" -t "$cabinet" >/dev/null
# The listing's names, one a line, sorted, against the expected ones.
"$cabextract" -l "$cabinet" | sed -n 's/^ *[0-9][0-9]* | [^|]* | //p' | sort >"$work.listed"
printf '%s\n' "$@" | sort >"$work.expected"
if ! cmp -s "$work.listed" "$work.expected"; then
    diff "$work.expected" "$work.listed" || true
    echo "FAIL: $cabinet does not hold exactly the package's files" >&2
    exit 1
fi

rm -rf "$work"
"$cabextract" -q -d "$work" "$cabinet"
for name in "$@"; do
    cmp "$package/$(basename "$name")" "$work/$name" || {
        echo "FAIL: $name differs from the package's" >&2
        exit 1
    }
done
echo "$cabinet: $# files, each as in $package"
