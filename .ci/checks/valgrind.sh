#!/usr/bin/env bash
# Memory check: whole programming runs against the simulated target under valgrind's memcheck,
# with no memory error and nothing definitely lost. Uses the tool built in build/ by .ci/run (built
# here when it is missing).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ ! -x build/bsl430 ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j2 --target bsl430
fi

failed=0
passed=0
# check <name> <bsl430 arguments...>: the run must be clean under memcheck and end in "Test OK".
# Under valgrind the tool runs many times slower, and the simulated target, which keeps real
# time, may give up on a frame whose bytes come late (its pause limit is 50 ms); such a run ends
# with an error box but says nothing about memory. So a run that is clean but not successful is
# tried again, up to three times, and every try must be clean.
check() {
    local name=$1
    shift
    local log try
    log=$(mktemp /tmp/bsl430-valgrind.XXXXXX)
    echo "-- $name: bsl430 $*"
    for try in 1 2 3; do
        if ! valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
                --log-file="$log" build/bsl430 "$@" >"$log.out" 2>&1; then
            echo "!! $name: memcheck found errors or leaks; output and valgrind log:"
            cat "$log.out" "$log"
            failed=$((failed + 1))
            rm -f "$log" "$log.out"
            return
        fi
        if grep -q "Test OK" "$log.out"; then
            grep -E "ERROR SUMMARY|definitely lost|in use at exit" "$log" | sed 's/^==[0-9]*== */   /'
            passed=$((passed + 1))
            rm -f "$log" "$log.out"
            return
        fi
        echo "   try $try: clean, but the run ended with $(grep -m1 'Chyba c' "$log.out" || echo 'no report')"
    done
    echo "!! $name: no try ended in Test OK; the last output:"
    cat "$log.out"
    failed=$((failed + 1))
    rm -f "$log" "$log.out"
}

check "programming run with verify" --device sim -v on examples/blink.hex
check "loader 1.10 upgrade, slow link" --device sim:version=1.10 -b examples/bsl_replacement.hex \
    --slow -v on examples/blink.hex

echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
