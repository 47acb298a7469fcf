#!/bin/sh
# An installation finds its own replacement loader: installed with --prefix into a fresh folder,
# and again after that folder has been moved, bsl430 started by its bare name from PATH programs a
# simulated 1.10 chip with the loader from <prefix>/share/bsl430/.
#
#   moved_install.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1
build=$2
source=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/bsl430-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)
mkdir "$work/elsewhere"  # the working directory of the runs: no loader there

"$cmake" --install "$build" --prefix "$work/first" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    exit 1
}
mkdir -p "$work/first/share/bsl430"
cp "$source/examples/bsl_replacement.hex" "$work/first/share/bsl430/BL_150S_14x.hex"

failed=0
run() {
    prefix=$1
    out=$(cd "$work/elsewhere" &&
          PATH="$prefix/bin:/usr/bin:/bin" bsl430 --device sim:version=1.10 -v on \
              "$source/examples/blink.hex" 2>"$work/stderr")
    case $out in
        *"#Nahravam soubor IntelHEX: $prefix/share/bsl430/BL_150S_14x.hex"*"Test OK"*)
            echo "ok: the loader came from $prefix/share/bsl430/" ;;
        *)
            echo "FAILED: installed under $prefix, bsl430 did not program with its own loader:"
            printf '%s\n' "$out"
            cat "$work/stderr"
            failed=1 ;;
    esac
}

run "$work/first"
mv "$work/first" "$work/moved"
run "$work/moved"
exit $failed
