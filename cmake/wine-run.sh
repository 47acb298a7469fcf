#!/bin/sh
# Runs a Windows program under 64-bit Wine: wine-run.sh prog.exe [arguments...]
# The Wine prefix is $WINEPREFIX when set, otherwise one of our own in the temporary folder, so that
# the user's own ~/.wine is never touched. Wine's diagnostics stay off unless WINEDEBUG asks for them,
# and the .NET and HTML runtimes are not offered when a prefix is created.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/bsl430-wine-$(id -u)}"
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
exec /usr/lib/wine/wine64 "$@"
