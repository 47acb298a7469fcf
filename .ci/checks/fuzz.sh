#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang), runs each for a fixed time on a copy of its seed corpus under fuzz/corpus/, and fails
# when any target finds a crash, a memory fault, a violated property, a hang or a runaway memory use.
# BSL430_FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${BSL430_FUZZ_SECONDS:-60}
build=build-fuzz
targets=(fuzz_intel_hex fuzz_program_options fuzz_option_table fuzz_programming_run fuzz_rfc2217_client
         fuzz_virtual_board fuzz_newer_loader fuzz_packet_exchange fuzz_board_check)

rm -rf "$build"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBSL430_FUZZ=ON -DBSL430_SANITIZE=ON -DBSL430_TESTS=OFF -DBSL430_BENCH=OFF -DBSL430_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_targets

work=$(mktemp -d /tmp/bsl430-fuzz-ci.XXXXXX)
trap 'rm -rf "$work"' EXIT

failed=0
passed=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target/corpus" "$work/$target/findings"
    cp fuzz/corpus/"$target"/* "$work/$target/corpus/"
    # Inputs that store strings for the rest of the process (the option library keeps every string
    # it hands out) would make the per-input leak search run on every input; leaks are still
    # looked for when the fuzzer exits, and the valgrind check covers a whole run.
    leaks=0
    [ "$target" = fuzz_intel_hex ] && leaks=1
    # The same store grows by about one input's length per parse: the command-line target keeps
    # its inputs to 1 KiB, and every target may use up to 4 GiB (the machine has 24).
    extra=()
    [ "$target" = fuzz_program_options ] && extra=(-max_len=1024)
    echo "-- $target: ${seconds} s"
    set +e
    "$build/fuzz/$target" "$work/$target/corpus" \
        -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -detect_leaks=$leaks \
        "${extra[@]}" -print_final_stats=1 -artifact_prefix="$work/$target/findings/" \
        >"$work/$target/log.txt" 2>&1
    status=$?
    set -e
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
        "$work/$target/log.txt" | sed "s/^/   /" || true
    echo "   corpus: $(ls "$work/$target/corpus" | wc -l) inputs"
    if [ "$status" -ne 0 ]; then
        failed=$((failed + 1))
        echo "!! $target failed (exit $status); its log ends:"
        tail -n 60 "$work/$target/log.txt"
        for finding in "$work/$target/findings"/*; do
            [ -e "$finding" ] || continue
            echo "!! finding $(basename "$finding"), as hex:"
            od -An -tx1 -v "$finding" | head -n 40
        done
    else
        passed=$((passed + 1))
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
