#!/bin/bash
# ctest's cross-compiling emulator for the Windows test programs: runs one
# test program under Wine, with a tarvik-modemsim-server of its own beside it
# serving the simulated modems (their pseudo-terminals appear as COM ports in
# the prefix's dosdevices folder).
#
# usage: wine-test.sh SERVER PROGRAM.exe [ARGS...]
# Parallel test processes never share a COM number: each takes a free slot,
# one Wine prefix per slot, under $TARVIK_WINE_ROOT (default: wine/ in the
# build folder), made with wineboot on first use. TARVIK_WINE32_DLLS: the
# folder of the 32-bit Wine DLLs (holding i386-windows/), for an i686 build
# in Wine's wow64 mode.
set -u
server=$1
exe=$2
shift 2
root=${TARVIK_WINE_ROOT:-$(dirname "$(dirname "$(realpath "$exe")")")/wine}
slots=${TARVIK_WINE_SLOTS:-4}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
if [ -n "${TARVIK_WINE32_DLLS:-}" ]; then
    export WINEDLLPATH=$TARVIK_WINE32_DLLS
fi
# Debian keeps wine64 outside PATH.
PATH=$PATH:/usr/lib/wine
mkdir -p "$root"

slot=0
while :; do
    exec 9>"$root/slot$slot.lock"
    flock -n 9 && break
    exec 9>&-
    slot=$(((slot + 1) % slots))
    [ $slot = 0 ] && sleep 0.2
done
export WINEPREFIX=$root/prefix$slot
if [ ! -f "$WINEPREFIX/.tarvik-ready" ]; then
    # A first wineboot has been seen to fail at once now and then while
    # other prefixes were being made; a second try has always done.
    for try in 1 2 3; do
        rm -rf "$WINEPREFIX"
        timeout 300 wineboot -i >"$root/wineboot$slot.log" 2>&1 && break
        echo "wine-test: wineboot failed for $WINEPREFIX (try $try):" >&2
        tail -n 5 "$root/wineboot$slot.log" >&2
        [ $try = 3 ] && exit 1
        sleep 2
    done
    touch "$WINEPREFIX/.tarvik-ready"
fi

work=$(mktemp -d "$root/run.XXXXXX")
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/requests" "$work/answers"
TARVIK_DOSDEVICES=$WINEPREFIX/dosdevices "$server" "$work" </dev/null >/dev/null 2>"$work/server.log" 9>&- &
server_pid=$!
export TARVIK_MODEMSIM_PIPES=Z:$work

listing=0
for arg in "$@"; do
    [ "$arg" = --gtest_list_tests ] && listing=1
done
# Into a file, not a pipe: a wineserver this program starts inherits its
# output and outlives it, and would hold a pipe open.
# Ended before ctest's own time-out (240 s), so what the case wrote is shown.
timeout 200 wine64 "$exe" "$@" </dev/null >"$work/out" 2>&1 9>&-
rc=$?
cat "$work/out"
[ $rc = 124 ] && echo "wine-test: $exe ended after 200 s" >&2
# A program Wine cannot load prints nothing and exits 0: a run counts only
# with googletest's own closing line.
if [ $rc = 0 ] && [ $listing = 0 ] && ! grep -q '^\[  PASSED  \]' "$work/out"; then
    echo "wine-test: $exe did not run (no result line)" >&2
    rc=1
fi
if [ $rc != 0 ] && [ -s "$work/server.log" ]; then
    echo "--- the modem simulator's server said:" >&2
    cat "$work/server.log" >&2
fi
exit $rc
