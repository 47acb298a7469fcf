#!/usr/bin/env bash
# The Windows build, proven under Wine.
#
#  1. Cross-compiles bsl430.exe and the unit tests with MinGW-w64 from scratch, and makes sure the
#     executable needs no MinGW runtime DLL.
#  2. Runs the whole unit-test suite as Windows programs (ctest starts them through Wine).
#  3. Compares the program's output, byte for byte with Windows line ends, with the expected texts
#     in tests/windows/golden (the build time in the banner aside): no arguments, and "-p 7" for a
#     port that does not exist.
#  4. Programs the simulated target through real COM ports: bsl430-sim (built natively) serves the
#     target on a pseudo-terminal, and Wine's COM5 and COM12 lead to it. A verified run, a loader
#     upgrade whose loader file lies beside the program, a read-back that differs, a target that
#     never answers, and a chip of the newer family, each with its exact transcript; COM12 opened both as "-p 12" and as
#     "--device COM12"; the console title and terminal mode (left with ESC) on Wine's console.
#  5. Programs the simulated target through rfc2217://127.0.0.1:PORT (Winsock) to bsl430-sim's
#     network server, where the entry sequence and the line format cross the connection.
#  6. bsl430-gang.exe programs two served targets on COM5 and COM6 at once, with a results file,
#     then checks them (--check): both match, with their serial numbers.
#
# DTR and RTS do not cross a pseudo-terminal (Wine reports those calls as failed, which the program
# ignores), so the served target waits in its loader whenever a program opens the port; nor does
# parity (Linux pseudo-terminals always clear it), so only the line speeds can be checked there.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build-win
native=$root/build-win-native

step() { echo "-- $*"; }
fail() { echo "FAILED: $*"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bsl430-windows-XXXXXX")
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$root/cmake/wine-run.sh
servers=()
cleanup() {
    # Our Wine server (and any program of ours still running under it), then our target servers.
    if [ -d "$WINEPREFIX" ]; then /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; fi
    for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${servers[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits until Wine runs the program and prints its listing: a Wine prefix that is still being set
# up, or a Wine server that is starting again, may end a program at once without any output.
wait_for_wine() {
    for _ in $(seq 30); do
        "$wine" "$build/bsl430.exe" 2>/dev/null | grep -q "^Usage: " && return 0
        sleep 1
    done
    fail "Wine does not run the program"
}

started=$SECONDS

# --- build -----------------------------------------------------------------------------------
step "cross build (MinGW-w64) from scratch"
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBSL430_BENCH=OFF -DBSL430_WERROR=ON >/dev/null
cmake --build "$build" -j2
exe=$build/bsl430.exe

step "bsl430.exe needs only Windows' own DLLs"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
echo "$dlls" | sed 's/^/   /'
if echo "$dlls" | grep -Eiq '^lib|mingw|gcc|stdc\+\+|pthread'; then
    fail "bsl430.exe imports a MinGW runtime DLL"
fi
# Windows' own: the kernel, the C runtime, and Winsock 2 for rfc2217:// ports.
if echo "$dlls" | grep -Eivq '^(KERNEL32|msvcrt|WS2_32)\.dll$'; then fail "bsl430.exe imports an unexpected DLL"; fi

step "bsl430-sim (native, serves the simulated target on a pseudo-terminal)"
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBSL430_TESTS=OFF \
      -DBSL430_BENCH=OFF -DBSL430_WERROR=ON >/dev/null
cmake --build "$native" -j2 --target bsl430-sim
sim=$native/bsl430-sim

# --- Wine ------------------------------------------------------------------------------------
step "Wine prefix of our own: $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# A server of our own whose diagnostics go to a log: it prints its object table when a terminal it
# opened hangs up, as each served pseudo-terminal does when its server ends.
/usr/lib/wine/wineserver -p >"$work/wineserver.log" 2>&1
"$wine" wineboot.exe --init >/dev/null 2>&1 || true
# wineboot returns while the new prefix is still being set up, and a program started then may end
# at once without any output. Wait until the program itself runs and prints its listing.
wait_for_wine

step "unit tests as Windows programs"
# A test program that Wine fails to start ends at once without output and counts as failed. The
# failed ones are started once more, and the log names them either way.
if ! ctest --test-dir "$build" -j2 --output-on-failure >"$work/ctest.log" 2>&1; then
    echo "   failed at the first start under Wine:"
    sed -n '/tests failed out of/,$p' "$work/ctest.log" | grep -E '^[[:space:]]+[0-9]+ - ' || true
    if ! ctest --test-dir "$build" --rerun-failed --output-on-failure >"$work/ctest-again.log" 2>&1; then
        grep -v "Passed" "$work/ctest.log" | tail -n 60
        tail -n 20 "$work/ctest-again.log"
        fail "unit tests under Wine"
    fi
    echo "   each passed when started again; the first run's log:"
    grep -v -E 'Passed|^[[:space:]]+Start ' "$work/ctest.log" | tail -n 30
else
    sed -n '/tests passed/,$p' "$work/ctest.log"
fi

# The program as a user installs it: C:\bsl430\bsl430.exe, so that argument zero is that path.
install_dir=$WINEPREFIX/drive_c/bsl430
mkdir -p "$install_dir"
cp "$exe" "$install_dir/bsl430.exe"
cp examples/bsl_replacement.hex "$install_dir/BL_150S_14x.hex"
rm -f "$WINEPREFIX"/dosdevices/com5 "$WINEPREFIX"/dosdevices/com7 "$WINEPREFIX"/dosdevices/com12
[ ! -e BL_150S_14x.hex ] || fail "BL_150S_14x.hex in the working directory hides the one beside the program"

# Runs bsl430.exe with the arguments; its standard output goes to $work/NAME.out, Wine's own error
# lines to $work/NAME.err, its exit code to $work/NAME.rc and its running time to $work/NAME.time.
# A run that prints nothing at all, not even the banner that the program prints and flushes first,
# never reached the program: that is Wine's start failing, so the run is made once more after Wine
# is ready again, and the log says so.
run() {
    local name=$1
    shift
    local rc attempt t0
    for attempt in 1 2; do
        rc=0
        t0=$SECONDS
        WINEDEBUG=err+all,fixme-all timeout 120 "$wine" "$install_dir/bsl430.exe" "$@" \
            >"$work/$name.out" 2>"$work/$name.err" || rc=$?
        echo "$rc" >"$work/$name.rc"
        echo "$((SECONDS - t0))" >"$work/$name.time"
        [ -s "$work/$name.out" ] && return 0
        echo "   $name: Wine ended without running the program (exit code $rc after" \
             "$((SECONDS - t0)) s); Wine said:"
        head -n 5 "$work/$name.err" | sed 's/^/      /'
        [ "$attempt" -eq 2 ] || wait_for_wine
    done
}

# The output of run NAME against tests/windows/golden/GOLDEN.txt, the banner's build time aside;
# and exit code 0. A difference is shown with the exit code, the time and what Wine said last, so
# that the end of the log tells what happened.
expect() {
    local name=$1 golden=$root/tests/windows/golden/$2.txt
    local rc
    rc=$(cat "$work/$name.rc")
    sed -E '1s/^(BootStrap loader for MSP430 v0\.5 \()[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}(\)\r)$/\1@BUILD@\2/' \
        "$work/$name.out" >"$work/$name.cmp"
    if ! cmp -s "$golden" "$work/$name.cmp"; then
        echo "expected ($golden) against what came (cat -A):"
        diff <(cat -A "$golden") <(cat -A "$work/$name.cmp") | head -n 12 || true
        echo "exit code $rc after $(cat "$work/$name.time") s; Wine's last words:"
        tail -n 4 "$work/$name.err" | sed 's/^/   /'
        fail "$name: output differs"
    fi
    [ "$rc" -eq 0 ] || fail "$name: exit code $rc"
    echo "   $name: as expected, exit code 0"
}

# Serves the simulated target with the settings on a pseudo-terminal and links Wine's COM port to it.
serve() {
    local port=$1 settings=$2
    "$sim" "$settings" >"$work/$port.path" 2>&1 &
    servers+=($!)
    local slave=""
    for _ in $(seq 200); do
        slave=$(head -n 1 "$work/$port.path")
        [ -n "$slave" ] && break
        sleep 0.1
    done
    [ -c "$slave" ] || fail "bsl430-sim did not name its terminal: $(cat "$work/$port.path")"
    ln -sfn "$slave" "$WINEPREFIX/dosdevices/$port"
    echo "   $port -> $slave (${settings:-default target})"
}

slave_of() { readlink "$WINEPREFIX/dosdevices/$1"; }

# --- golden output ---------------------------------------------------------------------------
step "golden output"
run no_arguments
expect no_arguments no_arguments
run port_7 -p 7
expect port_7 port_7

# --- programming through COM ports -------------------------------------------------------------
step "programming the served target through COM5"
serve com5 ""
run com5_verified -p 5 -v on examples/blink.hex
expect com5_verified com5_verified
# Both ends moved to 38400 Bd after Change baud rate: the terminal is left at that speed.
stty -F "$(slave_of com5)" | grep -q "speed 38400 baud" || fail "COM5 not left at 38400 Bd"

step "COM12: the driver's \\\\.\\COM12, and the name the backend completes"
ln -sfn "$(slave_of com5)" "$WINEPREFIX/dosdevices/com12"
run com12_device --device COM12 examples/blink.hex
grep -q "Test OK" "$work/com12_device.out" || { cat -A "$work/com12_device.out"; fail "--device COM12"; }
echo "   --device COM12: Test OK"

step "console title and terminal mode on Wine's console (-p 12 -t), left with ESC"
# Wine's console reads a lone ESC as a key without a character; ESC ESC gives the ESC character.
# The keys wait in the console's input queue until terminal mode reads them.
rc=0
printf 'x\033\033' | timeout 120 script -qec "'$wine' '$install_dir/bsl430.exe' -p 12 -t examples/blink.hex" \
    /dev/null >"$work/terminal.out" || rc=$?
[ "$rc" -eq 0 ] || { cat -A "$work/terminal.out"; fail "terminal run: exit code $rc"; }
grep -qF $'\e]0;BSL for MSP-430 v0.5 @ COM12\a' "$work/terminal.out" ||
    { cat -A "$work/terminal.out"; fail "console title not set to BSL for MSP-430 v0.5 @ COM12"; }
# The console draws blanks as cursor moves and hides the cursor around each character.
sed -e 's/\x1b\[?25[lh]//g' -e 's/\x1b\[K\x1b\[1C/ /g' "$work/terminal.out" >"$work/terminal.txt"
for text in "Test OK" "Terminal mode. To exit press ESC..."; do
    grep -qF "$text" "$work/terminal.txt" || { cat -A "$work/terminal.txt"; fail "terminal run: no \"$text\""; }
done
stty -F "$(slave_of com5)" | grep -q "speed 115200 baud" || fail "terminal mode did not set 115200 Bd"
echo "   title set, Test OK, terminal mode at 115200 Bd, left with ESC, exit code 0"

step "loader version 1.10: the replacement loader is found beside the program"
serve com5 "version=1.10"
run com5_loader_beside_program -p 5 examples/blink.hex
expect com5_loader_beside_program com5_loader_beside_program

step "runs that end with an error number"
serve com5 "fault=corrupt:F100"
run com5_verify_error -p 5 -v on examples/blink.hex
expect com5_verify_error com5_verify_error
serve com5 "fault=mute:sync:1+"
run com5_no_answer -p 5 examples/blink.hex
expect com5_no_answer com5_no_answer

step "a chip of the newer family (an F5529) on COM5"
# The classic loader's synchronisation goes unanswered; the program asks in the newer loaders'
# packets and runs on, verified, at 115200 Bd.
serve com5 "chip=F5529"
run com5_newer_chip -p 5 -v on examples/blink.hex
expect com5_newer_chip com5_newer_chip
stty -F "$(slave_of com5)" | grep -q "speed 115200 baud" || fail "COM5 not left at 115200 Bd"

# --- programming through a network serial port ------------------------------------------------
step "programming through rfc2217:// (Winsock) to bsl430-sim's network server"
# Here DTR, RTS and parity do cross: the served model starts in its firmware, and only the entry
# sequence played over the connection starts its loader.
"$sim" --rfc2217 0 >"$work/network.addr" 2>&1 &
servers+=($!)
url=""
for _ in $(seq 50); do
    url=$(head -n 1 "$work/network.addr")
    [ -n "$url" ] && break
    sleep 0.1
done
case "$url" in rfc2217://127.0.0.1:*) ;; *) fail "bsl430-sim did not name its address: $(cat "$work/network.addr")" ;; esac
echo "   serving at $url"
run network_verified --device "$url" -v on examples/blink.hex
expect network_verified com5_verified

# --- several boards at once ------------------------------------------------------------------
step "bsl430-gang.exe programs two served targets on COM5 and COM6 at once"
gang_dlls=$(x86_64-w64-mingw32-objdump -p "$build/bsl430-gang.exe" | awk '/DLL Name:/ {print $3}')
if echo "$gang_dlls" | grep -Eivq '^(KERNEL32|msvcrt|WS2_32)\.dll$'; then
    fail "bsl430-gang.exe imports an unexpected DLL: $gang_dlls"
fi
cp "$build/bsl430-gang.exe" "$install_dir/bsl430-gang.exe"
serve com5 ""
serve com6 ""
rm -f "$install_dir/records.csv"
rc=0
WINEDEBUG=-all timeout 120 "$wine" "$install_dir/bsl430-gang.exe" -q -v -r 'C:\bsl430\records.csv' \
    --serial 7000 examples/blink.hex COM5 COM6 >"$work/gang.out" 2>"$work/gang.err" || rc=$?
sed 's/^/   /' "$work/gang.out"
[ "$rc" -eq 0 ] || { tail -n 5 "$work/gang.err"; fail "bsl430-gang.exe ended with exit code $rc"; }
grep -q "^2 boards: 2 OK, 0 failed" "$work/gang.out" || fail "bsl430-gang.exe: no summary of two boards OK"
[ "$(grep -c '^COM[56],ok,,,F149,1.61,700[01],' "$install_dir/records.csv")" -eq 2 ] ||
    fail "bsl430-gang.exe: records.csv lacks a record per board: $(cat "$install_dir/records.csv")"

step "bsl430-gang.exe --check finds the firmware and the serial numbers on COM5 and COM6"
rc=0
WINEDEBUG=-all timeout 120 "$wine" "$install_dir/bsl430-gang.exe" -q --check \
    -r 'C:\bsl430\checks.csv' examples/blink.hex COM5 COM6 >"$work/check.out" 2>"$work/check.err" || rc=$?
sed 's/^/   /' "$work/check.out"
[ "$rc" -eq 0 ] || { tail -n 5 "$work/check.err"; fail "bsl430-gang.exe --check ended with exit code $rc"; }
grep -q "^2 boards: 2 match, 0 differ, 0 locked, 0 refused, 0 failed" "$work/check.out" ||
    fail "bsl430-gang.exe --check: no summary of two boards that match"
[ "$(grep -c '^COM[56],match,,,F149,1.61,700[01],' "$install_dir/checks.csv")" -eq 2 ] ||
    fail "bsl430-gang.exe --check: checks.csv lacks a match per board: $(cat "$install_dir/checks.csv")"

echo "-- Windows checks passed in $((SECONDS - started)) s"
