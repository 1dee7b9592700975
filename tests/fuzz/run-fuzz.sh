#!/usr/bin/env bash
# Runs fuzz targets of a libFuzzer tree, each for a set time, and prints executions and findings.
#   run-fuzz.sh BUILD_DIR SECONDS TARGET...          fuzz; new inputs in BUILD_DIR/corpus/<target>
#   run-fuzz.sh --merge BUILD_DIR 0 TARGET...        fold the new inputs that add coverage into
#                                                    the seed corpus tests/fuzz/corpus/<target>
set -uo pipefail
merge=0
if [ "${1:-}" = "--merge" ]; then
    merge=1
    shift
fi
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
bins=$build/tests/fuzz
findings=$build/findings
mkdir -p "$findings"
failed=0
for target in "$@"; do
    seeds=$here/corpus/$target
    work=$build/corpus/$target
    mkdir -p "$work"
    if [ $merge -eq 1 ]; then
        "$bins/fuzz_$target" -merge=1 "$seeds" "$work" >"$build/$target.merge.log" 2>&1
        echo "$target: $(ls "$seeds" | wc -l) seed inputs after merging"
        continue
    fi
    log=$build/$target.log
    # -timeout stays below the stand-in's own 30 s hang detection; a slow input is a finding.
    "$bins/fuzz_$target" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$work" "$seeds" >"$log" 2>&1
    status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    # Slow units are saved too, but a loaded machine makes those; only these are findings.
    crashes=$(ls "$findings" | grep -cE "^$target-(crash|leak|timeout|oom)-" || true)
    echo "$target: ${execs:-?} executions in ${seconds} s, $(ls "$work" | wc -l) corpus inputs," \
         "$crashes findings (exit $status; log $log)"
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed=1
        grep -E "check failed|verifier|ERROR|runtime error|SUMMARY" "$log" | head -5
    fi
done
exit $failed
