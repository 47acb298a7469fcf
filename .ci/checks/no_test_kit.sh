#!/usr/bin/env bash
# The tool carries no test scaffolding: none of the test kit's classes (the kernel32 call log and
# its recorder, the scripted peer, the test bench) is linked into the bsl430 executable.
#   no_test_kit.sh [path of bsl430]
# Without a path it checks the tool built in build/ by .ci/run (built here when it is missing).
set -euo pipefail
cd "$(dirname "$0")/../.."

tool=${1:-}
if [ -z "$tool" ]; then
    tool=build/bsl430
    if [ ! -x "$tool" ]; then
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build -j2 --target bsl430
    fi
fi

symbols=$(nm -C "$tool")
if [ -z "$symbols" ]; then
    echo "!! no symbols in $tool: cannot tell what it links"
    exit 1
fi
found=$(grep -E 'CallLog|RecordedCall|RecordingCalls|ScriptedPeer|TestBench|serveTestPort|testPortOf' \
        <<<"$symbols" || true)
if [ -n "$found" ]; then
    echo "!! $tool links test scaffolding:"
    echo "$found" | head -20
    exit 1
fi
echo "-- $tool carries no test scaffolding"
