#!/usr/bin/env bash
# Installing and packaging, as a user or a distribution does it:
#  1. a Release build installed into a staging folder (DESTDIR): the expected files and nothing
#     else, a manual page that renders without warnings, installed programs that run (the listing
#     for no arguments, and a verified run against the simulated target);
#  2. the Debian package: its control fields, its file list, and a clean dpkg install and removal;
#  3. the Windows ZIP from the MinGW build: bsl430.exe, README, licence and examples, and an
#     executable that imports only Windows' own DLLs.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

step() { echo "-- $*"; }
fail() { echo "FAILED: $*"; exit 1; }

build=$root/build-package
build_win=$root/build-package-win
work=$(mktemp -d "${TMPDIR:-/tmp}/bsl430-package-XXXXXX")
cleanup() {
    if dpkg-query -W -f='${Status}' bsl430 2>/dev/null | grep -q "ok installed"; then
        dpkg -r bsl430 >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

expected_files="usr/bin/bsl430
usr/bin/bsl430-gang
usr/bin/bsl430-sim
usr/share/doc/bsl430/LICENSE
usr/share/doc/bsl430/README.md
usr/share/doc/bsl430/examples/blink.hex
usr/share/doc/bsl430/examples/bsl_replacement.hex
usr/share/man/man1/bsl430-gang.1
usr/share/man/man1/bsl430.1"

# The installed tree under $1 (a staging folder or /): both programs run.
check_programs() {
    local prefix=$1
    local out rc=0
    out=$("$prefix/usr/bin/bsl430") || rc=$?
    [ "$rc" -eq 0 ] || fail "bsl430 without arguments: exit code $rc"
    echo "$out" | grep -q "^BootStrap loader for MSP430 v0.5 (" || fail "bsl430: no banner"
    echo "$out" | grep -q "^Usage: $prefix/usr/bin/bsl430 \[options\] <firmware.HEX>$" ||
        fail "bsl430: no usage line"
    out=$(cd "$work" && "$prefix/usr/bin/bsl430" --device sim -v on \
          "$prefix/usr/share/doc/bsl430/examples/blink.hex")
    echo "$out" | grep -q "^Test OK$" || { echo "$out"; fail "installed bsl430: no Test OK"; }
    rc=0
    "$prefix/usr/bin/bsl430-sim" no-such-setting >/dev/null 2>&1 || rc=$?
    [ "$rc" -ne 0 ] && [ "$rc" -ne 127 ] || fail "bsl430-sim does not run (exit code $rc)"
    out=$(cd "$work" && "$prefix/usr/bin/bsl430-gang" -q -v \
          "$prefix/usr/share/doc/bsl430/examples/blink.hex" sim sim) ||
        { echo "$out"; fail "installed bsl430-gang: exit code not 0"; }
    echo "$out" | grep -q "^2 boards: 2 OK, 0 failed$" || { echo "$out"; fail "installed bsl430-gang"; }
    echo "   bsl430: listing, and a verified run on the simulated chip; bsl430-gang programs two;"
    echo "   bsl430-sim runs"
}

step "Release build, installed into a staging folder"
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DBSL430_TESTS=OFF -DBSL430_BENCH=OFF -DBSL430_WERROR=ON >/dev/null
cmake --build "$build" -j2
DESTDIR=$work/stage cmake --install "$build" >/dev/null
installed=$(cd "$work/stage" && find . -type f | sed 's|^\./||' | sort)
echo "$installed" | sed 's/^/   /'
[ "$installed" = "$expected_files" ] || fail "installed files differ from: $expected_files"
warnings=$(for page in bsl430.1 bsl430-gang.1; do
    groff -man -Tutf8 -ww -z "$work/stage/usr/share/man/man1/$page" 2>&1; done)
[ -z "$warnings" ] || { echo "$warnings"; fail "the manual page renders with warnings"; }
man -l "$work/stage/usr/share/man/man1/bsl430.1" 2>/dev/null | grep -q -- "--device" ||
    fail "the manual page does not render"
check_programs "$work/stage"

step "Debian package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/bsl430_0.5.0_amd64.deb
[ -f "$deb" ] || fail "no $deb"
echo "   $(basename "$deb"): $(stat -c %s "$deb") bytes"
for field in "Package: bsl430" "Version: 0.5.0" "Section: electronics" "Depends: .*libc6" \
             "Maintainer: " "Description: "; do
    dpkg-deb -f "$deb" | grep -q "^$field" || fail "control field $field missing"
done
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$packaged" = "$expected_files" ] || { echo "$packaged"; fail "package files differ"; }
if dpkg-query -W -f='${Status}' bsl430 2>/dev/null | grep -q "ok installed"; then
    fail "a bsl430 package is already installed here; not touching it"
fi
dpkg -i "$deb" >/dev/null || fail "dpkg -i"
dpkg -s bsl430 | grep -q "^Status: install ok installed" || fail "not installed after dpkg -i"
check_programs ""
dpkg -r bsl430 >/dev/null || fail "dpkg -r"
dpkg-query -W -f='${Status}' bsl430 2>/dev/null | grep -q "ok installed" && fail "still installed"
for f in $expected_files; do [ ! -e "/$f" ] || fail "/$f left after removal"; done
echo "   installed with dpkg, ran, removed with nothing left"

step "Windows ZIP (MinGW Release build)"
rm -rf "$build_win"
cmake -S . -B "$build_win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBSL430_TESTS=OFF -DBSL430_BENCH=OFF -DBSL430_WERROR=ON >/dev/null
cmake --build "$build_win" -j2
(cd "$build_win" && cpack -G ZIP >/dev/null)
zip=$build_win/bsl430-0.5.0-win64.zip
[ -f "$zip" ] || fail "no $zip"
echo "   $(basename "$zip"): $(stat -c %s "$zip") bytes"
mkdir -p "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
zipped=$(cd "$work/zip" && find . -type f | sed 's|^\./||' | sort)
echo "$zipped" | sed 's/^/   /'
[ "$zipped" = "bsl430-0.5.0-win64/LICENSE
bsl430-0.5.0-win64/README.md
bsl430-0.5.0-win64/bsl430-gang.exe
bsl430-0.5.0-win64/bsl430.exe
bsl430-0.5.0-win64/examples/blink.hex
bsl430-0.5.0-win64/examples/bsl_replacement.hex" ] || fail "ZIP contents"
dlls=$(x86_64-w64-mingw32-objdump -p "$work/zip/bsl430-0.5.0-win64/bsl430.exe" | awk '/DLL Name:/ {print $3}')
if echo "$dlls" | grep -Eiq '^lib|mingw|gcc|stdc\+\+|pthread'; then
    fail "bsl430.exe in the ZIP imports a MinGW runtime DLL"
fi

echo "-- packaging checks passed"
