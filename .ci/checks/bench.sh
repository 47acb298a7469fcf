#!/usr/bin/env bash
# Benchmark, quick part: the programming runs on the virtual clock must cost no more than the
# loader protocol itself (within 2 %), and the table must come out. The real-clock rows (runs
# through a pseudo-terminal, peak memory) take minutes and want a quiet machine: run
# build/bench/bsl430-bench without --quick for them.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${BSL430_BUILD_DIR:-build}
bench=$build/bench/bsl430-bench
[ -x "$bench" ] || cmake --build "$build" -j2 --target bsl430-bench

status=0
out=$("$bench" --quick) || status=$?
echo "$out"
[ "$status" -le 1 ] || { echo "bsl430-bench could not run (status $status)"; exit 1; }
passed=$(echo "$out" | grep -E '^run .*virtual clock' | grep -c ' pass$' || true)
[ "$passed" -eq 3 ] || { echo "a run on the virtual clock missed its bound"; exit 1; }

# The virtual board's interpreter: at least 50 M instructions/s, and an idle board costs nothing.
cpu_bench=$build/bench/bsl430-cpu-bench
[ -x "$cpu_bench" ] || cmake --build "$build" -j2 --target bsl430-cpu-bench
"$cpu_bench" || { echo "the virtual board's interpreter missed its bound"; exit 1; }
