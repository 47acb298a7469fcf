#!/usr/bin/env bash
# Release builds as users make them (-O3, NDEBUG), with warnings as errors: g++ and clang natively,
# each with its whole test suite, and the MinGW-w64 cross build with its tests built (windows.sh
# runs the Windows tests under Wine).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

native() {
    local name=$1 cc=$2 cxx=$3
    local build=$root/build-release-$name
    echo "-- Release build with $cxx, and its tests"
    rm -rf "$build"
    CC=$cc CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBSL430_WERROR=ON -DBSL430_BENCH=OFF >/dev/null
    cmake --build "$build" -j2
    ctest --test-dir "$build" --output-on-failure -j2
}

native gcc gcc g++
native clang clang clang++

echo "-- Release cross build with MinGW-w64, tests included"
build=$root/build-release-mingw
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBSL430_WERROR=ON -DBSL430_BENCH=OFF >/dev/null
cmake --build "$build" -j2

echo "-- Release builds passed"
