#!/usr/bin/env bash
# bsl430-gang against simulated boards on the real clock: one board through bsl430 and through
# bsl430-gang, then 16 and 64 boards at once, each programming and verifying a 48 KiB image
# (0x4000-0xFFDF and the reset vector). Prints wall time and CPU time (user + system) per run.
#   bench/gang_speed.sh [BUILD_DIR]        (default: build)
# On the 2-core build machine, with other builds running (wall time, CPU time per board):
#   bsl430, 1 board          37.53 s   2.39 s
#   bsl430-gang, 1 board     38.12 s   2.37 s    1.016 x one board
#   bsl430-gang, 16 boards   37.94 s   0.82 s    1.011 x one board
#   bsl430-gang, 64 boards   41.76 s   0.55 s    1.113 x one board
set -euo pipefail
build=${1:-build}
work=$(mktemp -d "${TMPDIR:-/tmp}/bsl430-gang-speed-XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 - "$work/fw48.hex" <<'PY'
import sys
def record(address, data):
    b = [len(data), address >> 8, address & 255, 0] + list(data)
    return ":" + "".join("%02X" % x for x in b) + "%02X" % (-sum(b) & 255)
base = 0x10000 - 0x20 - 48 * 1024
data = bytes((i * 13 + 5) & 255 for i in range(48 * 1024))
lines = [record(base + o, data[o:o + 16]) for o in range(0, len(data), 16)]
lines += [record(0xFFFE, b"\x00\xF0"), ":00000001FF"]
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
PY
boards() { for _ in $(seq "$1"); do echo sim; done; }
measure() {
    local label=$1
    shift
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >"$work/out" || true
    read -r wall user sys <"$work/time"
    printf '%-28s %8.2f s wall %8.2f s CPU  %s\n' "$label" "$wall" "$(echo "$user + $sys" | bc)" \
        "$(tail -n 1 "$work/out" | tr -d '\r')"
}
measure "bsl430, 1 board" "$build/bsl430" --device sim -v on "$work/fw48.hex"
measure "bsl430-gang, 1 board" "$build/bsl430-gang" -q -v "$work/fw48.hex" sim
# shellcheck disable=SC2046
measure "bsl430-gang, 16 boards" "$build/bsl430-gang" -q -v "$work/fw48.hex" $(boards 16)
# shellcheck disable=SC2046
measure "bsl430-gang, 64 boards" "$build/bsl430-gang" -q -v "$work/fw48.hex" $(boards 64)
