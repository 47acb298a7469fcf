#!/usr/bin/env bash
# Memory check: whole programming runs against the simulated target under valgrind's memcheck,
# with no memory error and nothing definitely lost. Uses the tool built in build/ by .ci/run (built
# here when it is missing).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ ! -x build/bsl430 ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBSL430_WERROR=ON >/dev/null
    cmake --build build -j2 --target bsl430
fi

failed=0
passed=0
# check <name> <bsl430 arguments...>: the run must be clean under memcheck and end in "Test OK".
# Under valgrind the tool runs many times slower; the simulated target waits for a frame's bytes
# however late they come, so a slow run still succeeds.
check() {
    local name=$1
    shift
    local log
    log=$(mktemp /tmp/bsl430-valgrind.XXXXXX)
    echo "-- $name: bsl430 $*"
    if ! valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
            --log-file="$log" build/bsl430 "$@" >"$log.out" 2>&1; then
        echo "!! $name: memcheck found errors or leaks; output and valgrind log:"
        cat "$log.out" "$log"
        failed=$((failed + 1))
    elif ! grep -q "Test OK" "$log.out"; then
        echo "!! $name: clean, but the run did not end in Test OK; its output:"
        cat "$log.out"
        failed=$((failed + 1))
    else
        grep -E "ERROR SUMMARY|definitely lost|in use at exit" "$log" | sed 's/^==[0-9]*== */   /'
        passed=$((passed + 1))
    fi
    rm -f "$log" "$log.out"
}

check "programming run with verify" --device sim -v on examples/blink.hex
check "loader 1.10 upgrade, slow link" --device sim:version=1.10 -b examples/bsl_replacement.hex \
    --slow -v on examples/blink.hex

echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
