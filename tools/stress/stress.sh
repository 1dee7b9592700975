#!/bin/bash
# Runs every test labelled `concurrency` (the *Concurrency* suites of host_tests, driver_tests
# and serial_tests) many times in the ASan and the TSan trees while two CPU-burning processes
# run beside them, and prints runs and failures per test. Exits non-zero if any run failed.
#
#   tools/stress/stress.sh [BUILD_DIR]        (REPEAT=100 runs per test and tree)
#
# Then, in each tree at the same time, the serial contract's random walk at length: WALKS walks
# (default 400) of WALK_STEPS steps (default 500) from WALK_SEED (default: from the clock, and
# printed, so that a failing walk can be run again with CORAN_WALK_SEED and CORAN_WALKS=1).
#
# Each test runs in its own process with --gtest_repeat. A run that aborts (a hang the kernel
# stand-in detected, a sanitizer report) ends that process: it counts as one failed run, and the
# remaining runs go on in a new process. The two trees run at the same time. Logs of tests that
# failed are kept in BUILD_DIR/stress/.
set -u

BUILD=${1:-build}
REPEAT=${REPEAT:-100}
TREES=${TREES:-"asan tsan"}
OUT="$BUILD/stress"
rm -rf "$OUT"
mkdir -p "$OUT"

# Every sanitizer report ends the process with a status of its own, so that it counts as a
# failed run (ThreadSanitizer would otherwise report and carry on; ASan and UBSan exit with 1).
export ASAN_OPTIONS=${ASAN_OPTIONS:-exitcode=86}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:exitcode=87:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66}

BURNERS=()
WORKERS=()
cleanup() {
    for pid in "${WORKERS[@]}" "${BURNERS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tree in $TREES; do
    for bin in tests/host/host_tests tests/driver/driver_tests tests/serial/serial_tests; do
        if [ ! -x "$BUILD/$tree/$bin" ]; then
            echo "stress: $BUILD/$tree/$bin is missing (make $tree first)" >&2
            exit 2
        fi
    done
done

# The tests of one binary whose suite name says Concurrency (what ctest labels `concurrency`).
list_tests() {
    "$1" --gtest_list_tests --gtest_filter='*Concurrency*.*' |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }'
}

# How many runs of a test ended with the given verdict: the lines that give the run's time (a
# parameterised test's failure names its parameter before it; the summary gives no time).
ended() {
    awk -v verdict="^\\[ *$1 " -v test="$2" '
        $0 ~ verdict && / \([0-9]+ ms\)$/ {
            sub(verdict, "")
            if (index($0, test " (") == 1 || index($0, test ", where ") == 1) count++
        }
        END { print count + 0 }' "$3"
}

# Runs one test REPEAT times; prints "runs failures".
stress_test() {
    local bin=$1 test=$2 log=$3
    local runs=0 failures=0 left=$REPEAT
    : >"$log"
    while [ "$left" -gt 0 ]; do
        local chunk="$log.part"
        "$bin" --gtest_filter="$test" --gtest_repeat="$left" >"$chunk" 2>&1
        local rc=$?
        cat "$chunk" >>"$log"
        local ok failed
        ok=$(ended "OK \]" "$test" "$chunk")
        failed=$(ended "FAILED  \]" "$test" "$chunk")
        runs=$((runs + ok + failed))
        failures=$((failures + failed))
        left=$((left - ok - failed))
        if [ "$rc" -gt 1 ]; then
            # A sanitizer report or an abort: the run it happened in failed (or, after the last
            # run, the process as a whole, e.g. a leak found at exit).
            echo "=== the process ended with exit status $rc ===" >>"$log"
            failures=$((failures + 1))
            if [ "$left" -gt 0 ]; then
                runs=$((runs + 1))
                left=$((left - 1))
            fi
        elif [ "$((ok + failed))" -eq 0 ]; then
            break
        fi
    done
    rm -f "$log.part"
    echo "$runs $failures"
}

stress_tree() {
    local tree=$1
    local table="$OUT/$tree.table"
    : >"$table"
    for bin in tests/host/host_tests tests/driver/driver_tests tests/serial/serial_tests; do
        local path="$BUILD/$tree/$bin"
        for test in $(list_tests "$path"); do
            local log="$OUT/$tree-${test//\//_}.log" # parameterised names hold slashes
            local result
            result=$(stress_test "$path" "$test" "$log")
            set -- $result
            printf '%-5s %-75s %5s %5s\n' "$tree" "$test" "$1" "$2" >>"$table"
            [ "$2" -eq 0 ] && [ "$1" -ge "$REPEAT" ] && rm -f "$log"
        done
    done
}

for i in 1 2; do
    yes >/dev/null &
    BURNERS+=($!)
done

start=$(date +%s)
echo "stress: $REPEAT runs of every concurrency test in: $TREES (two CPU burners beside them)"
for tree in $TREES; do
    stress_tree "$tree" &
    WORKERS+=($!)
done
for pid in "${WORKERS[@]}"; do
    wait "$pid"
done
WORKERS=()

WALKS=${WALKS:-400}
WALK_STEPS=${WALK_STEPS:-500}
WALK_SEED=${WALK_SEED:-$(($(date +%s) % 100000 * 1000))}
echo "stress: $WALKS contract walks of $WALK_STEPS steps from seed $WALK_SEED in: $TREES"
for tree in $TREES; do
    CORAN_WALKS=$WALKS CORAN_WALK_STEPS=$WALK_STEPS CORAN_WALK_SEED=$WALK_SEED \
        "$BUILD/$tree/tests/serial/serial_tests" --gtest_filter='SerialContractWalk.*' \
        >"$OUT/$tree-walk.log" 2>&1 &
    WORKERS+=($!)
done
walk_failures=0
for pid in "${WORKERS[@]}"; do
    wait "$pid" || walk_failures=$((walk_failures + 1))
done
WORKERS=()
for tree in $TREES; do
    if grep -q '^\[  PASSED  \] 1 test' "$OUT/$tree-walk.log"; then
        rm -f "$OUT/$tree-walk.log"
    else
        echo "stress: the contract walk failed in $tree (log $OUT/$tree-walk.log):" >&2
        grep -A3 '^seed' "$OUT/$tree-walk.log" >&2
    fi
done
elapsed=$(($(date +%s) - start))

printf '%-5s %-75s %5s %5s\n' tree test runs fails
total_runs=0
total_failures=0
for tree in $TREES; do
    while read -r t name runs failures; do
        printf '%-5s %-75s %5s %5s\n' "$t" "$name" "$runs" "$failures"
        total_runs=$((total_runs + runs))
        total_failures=$((total_failures + failures))
        if [ "$runs" -lt "$REPEAT" ]; then
            echo "stress: $t $name ran only $runs of $REPEAT times" >&2
            total_failures=$((total_failures + 1))
        fi
    done <"$OUT/$tree.table"
done
echo "stress: $((total_runs - total_failures)) passed, $total_failures failed ($total_runs runs," \
     "${elapsed} s); contract walks: $walk_failures of $(echo $TREES | wc -w) trees failed"
[ "$total_failures" -eq 0 ] && [ "$walk_failures" -eq 0 ]
