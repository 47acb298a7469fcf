#!/usr/bin/env bash
# Installing and packaging, as a user or a distribution does it:
#  1. every manual page without a warning from mandoc -T lint and groff;
#  2. a Release build with Debian's hardening flags installed into a staging folder (DESTDIR):
#     the expected files and nothing else, gzipped manual pages that render, hardened binaries,
#     installed programs that run (the listing for no arguments, and a verified run against the
#     simulated target);
#  3. the Debian package: its control fields, its file list, lintian without an error or a
#     warning, and a clean dpkg install and removal;
#  4. the Windows ZIP from the MinGW build: bsl430.exe, README.txt and LICENSE.txt with CRLF line
#     ends, README.md, the guides under docs/ and examples, an executable that imports only
#     Windows' own DLLs and carries its version information.
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

# Every docs/NAME.1 is installed as share/man/man1/NAME.1.gz, every guide docs/NAME.md as
# share/doc/bsl430/docs/NAME.md.
manpages=$(cd docs && ls -- *.1)
guides=$(cd docs && ls -- *.md)
expected_files=$( (printf '%s\n' usr/bin/bsl430 usr/bin/bsl430-gang usr/bin/bsl430-sim usr/share/doc/bsl430/README.md \
    usr/share/doc/bsl430/changelog.gz usr/share/doc/bsl430/copyright \
    usr/share/doc/bsl430/examples/blink.hex usr/share/doc/bsl430/examples/bsl_replacement.hex \
    usr/share/doc/bsl430/examples/hello.hex
    for page in $manpages; do echo "usr/share/man/man1/$page.gz"; done
    for guide in $guides; do echo "usr/share/doc/bsl430/docs/$guide"; done) | LC_ALL=C sort)

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

step "manual pages: mandoc and groff without a warning"
for page in docs/*.1; do
    warnings=$(mandoc -T lint -W warning "$page" 2>&1) || true
    [ -z "$warnings" ] || { echo "$warnings"; fail "mandoc -T lint: $page"; }
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$warnings"; fail "groff: $page"; }
done
echo "   $(echo $manpages)"

step "Release build with Debian's hardening, installed into a staging folder"
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DBSL430_TESTS=OFF -DBSL430_BENCH=OFF -DBSL430_WERROR=ON -DBSL430_HARDENING=ON >/dev/null
cmake --build "$build" -j2
DESTDIR=$work/stage cmake --install "$build" >/dev/null
installed=$(cd "$work/stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
echo "$installed" | sed 's/^/   /'
[ "$installed" = "$expected_files" ] || fail "installed files differ from: $expected_files"
for page in $manpages; do
    gzip -t "$work/stage/usr/share/man/man1/$page.gz" || fail "$page.gz is no gzip file"
done
grep -q -- "--device" <<<"$(man -l "$work/stage/usr/share/man/man1/bsl430.1.gz" 2>/dev/null)" ||
    fail "the manual page does not render"
grep -q -- "fault=" <<<"$(man -l "$work/stage/usr/share/man/man1/bsl430-sim.1.gz" 2>/dev/null)" ||
    fail "the simulator's manual page does not render"
for program in bsl430 bsl430-sim; do
    flags=$(readelf -d "$work/stage/usr/bin/$program")
    grep -q "BIND_NOW" <<<"$flags" || fail "$program: not linked with -z now"
    grep -q "PIE" <<<"$flags" || fail "$program: not a position-independent executable"
    grep -q GNU_RELRO <<<"$(readelf -lW "$work/stage/usr/bin/$program")" || fail "$program: no RELRO"
done
symbols=$(nm -D "$work/stage/usr/bin/bsl430")
grep -q "__stack_chk_fail" <<<"$symbols" || fail "bsl430: no stack protector"
grep -q "_chk@" <<<"$symbols" || fail "bsl430: no fortified functions"
echo "   hardened: PIE, stack protector, fortify, RELRO, BIND_NOW"
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
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | LC_ALL=C sort)
[ "$packaged" = "$expected_files" ] || { echo "$packaged"; fail "package files differ"; }
# Debian's own checks: no error and no warning (the informational tags aside).
tags=$(lintian --allow-root "$deb" 2>&1 | grep -E '^[EW]: ' || true)
[ -z "$tags" ] || { echo "$tags"; fail "lintian reports errors or warnings"; }
echo "   lintian: no errors, no warnings"
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
expected_zip=$( (printf 'bsl430-0.5.0-win64/%s\n' LICENSE.txt README.md README.txt bsl430-gang.exe \
    bsl430.exe examples/blink.hex examples/bsl_replacement.hex examples/hello.hex
    for guide in $guides; do echo "bsl430-0.5.0-win64/docs/$guide"; done) | sort)
[ "$zipped" = "$expected_zip" ] || fail "ZIP contents"
# The texts a Windows user opens in Notepad: CRLF on every line, no bare LF.
for text in README.txt LICENSE.txt; do
    file "$work/zip/bsl430-0.5.0-win64/$text" | grep -q "with CRLF line terminators" ||
        fail "$text has no CRLF line ends"
    [ "$(grep -c $'\r$' "$work/zip/bsl430-0.5.0-win64/$text")" = \
      "$(wc -l <"$work/zip/bsl430-0.5.0-win64/$text")" ] || fail "$text mixes line ends"
done
# The version information Explorer shows: a resource section with the version strings.
x86_64-w64-mingw32-objdump -h "$work/zip/bsl430-0.5.0-win64/bsl430.exe" | grep -q "\.rsrc" ||
    fail "bsl430.exe has no resources"
resources=$(strings -el "$work/zip/bsl430-0.5.0-win64/bsl430.exe")
for value in FileVersion ProductVersion 0.5.0 bsl430.exe; do
    grep -qx -- "$value" <<<"$resources" || fail "bsl430.exe's version information lacks $value"
done
echo "   README.txt and LICENSE.txt with CRLF; version information 0.5.0 in bsl430.exe"
dlls=$(x86_64-w64-mingw32-objdump -p "$work/zip/bsl430-0.5.0-win64/bsl430.exe" | awk '/DLL Name:/ {print $3}')
if echo "$dlls" | grep -Eiq '^lib|mingw|gcc|stdc\+\+|pthread'; then
    fail "bsl430.exe in the ZIP imports a MinGW runtime DLL"
fi

echo "-- packaging checks passed"
