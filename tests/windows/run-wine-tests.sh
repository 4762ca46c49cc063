#!/bin/bash
# Runs the Windows DLLs under Wine: regsvr32 registers Tarvik.dll and its
# companions, the Windows host test runs its calls against tarvik-modemsim's
# pseudo-terminal mapped as COM5 in the prefix's dosdevices folder, and
# regsvr32 /u unregisters again.
#
# usage: tests/windows/run-wine-tests.sh [--wow64 WINE32-DIR] BUILD-DIR MODEMSIM
#   --wow64 WINE32-DIR  the build is i686: run it in Wine's wow64 mode with the
#                    32-bit Wine DLLs unpacked under WINE32-DIR (the folder
#                    holding i386-windows/), registering with syswow64's regsvr32
#   BUILD-DIR        a build of the win64 (or win32) preset (bin/Tarvik.dll, ...)
#   MODEMSIM         the Linux tarvik-modemsim program
# WINEPREFIX: a 64-bit prefix to use; without it one is made in a temporary
# folder (wineboot -i, under a minute) and removed afterwards.
set -u
regsvr32=regsvr32
view=/reg:64
if [ "${1:-}" = --wow64 ]; then
    export WINEDLLPATH=$(cd "$2" && pwd)
    regsvr32='C:\windows\syswow64\regsvr32.exe'
    view=/reg:32
    shift 2
fi
win=$(cd "$1" && pwd)/bin
sim=$(realpath "$2")
work=$(mktemp -d /tmp/tarvik-wine.XXXXXX)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# Debian keeps wine64 outside PATH.
PATH=$PATH:/usr/lib/wine
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$work/prefix
    own_prefix=1
fi

sim_pid=
tail_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com12"
    if [ $own_prefix = 1 ]; then
        # Ends the wineserver of this prefix only.
        timeout 30 wineserver -k 2>/dev/null
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# Wine's own messages go to a file (the wineserver inherits it from the first
# Wine program): when the modem vanishes the wineserver gets SIGHUP from the
# pseudo-terminal and prints its whole object table.
failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" 2>>"$work/wine.log"; then
        echo "  ok   $what"
    else
        echo "FAILED $what"
        failures=$((failures + 1))
    fi
}
registered() {  # registered CLSID: the class has an InprocServer32 key
    timeout 60 wine64 reg query "HKCR\\CLSID\\$1\\InprocServer32" $view >/dev/null 2>&1
}
unregistered() { ! registered "$1"; }
typelib_registered() {
    timeout 60 wine64 reg query 'HKCR\TypeLib\{05D5F4F6-4D7B-42D5-827A-100051C4CF95}' $view >/dev/null 2>&1
}
typelib_unregistered() { ! typelib_registered; }

if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    echo "making the Wine prefix $WINEPREFIX"
    timeout 300 wineboot -i >>"$work/wine.log" 2>&1 || { echo "FAILED wineboot"; exit 1; }
fi

mkdir -p "$work/bin"
cp "$win/Tarvik.dll" "$win/TarvikCompanions.dll" "$win/tarvik-wintest.exe" "$work/bin/"
cd "$work/bin" || exit 1

session='{3E75EB44-C2B5-4679-A638-77659EDAEB62}'
line='{70695ED2-6CE2-46E9-A1D1-8300670E8780}'
bag='{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}'
check "regsvr32 Tarvik.dll" timeout 120 wine64 "$regsvr32" /s Tarvik.dll
check "regsvr32 TarvikCompanions.dll" timeout 120 wine64 "$regsvr32" /s TarvikCompanions.dll
check "the session class is registered" registered "$session"
check "the line class is registered" registered "$line"
check "the type library is registered" typelib_registered
check "the property bag class is registered" registered "$bag"

# The simulator reads its commands from a file the host test appends to.
: >"$work/simctl"
mkfifo "$work/simin"
tail -f -s 0.1 "$work/simctl" >"$work/simin" &
tail_pid=$!
"$sim" --log --register 12=10 --ring-cadence 300 \
    --outcome '5551000=CONNECT 9600' --outcome 5552000=BUSY \
    --caller-id 'DATE=1206,TIME=0902,CALR=5551212,NAME=JOHN DOE' \
    <"$work/simin" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
pty=
for _ in $(seq 100); do
    pty=$(head -n1 "$work/sim.out" 2>/dev/null)
    [ -n "$pty" ] && break
    sleep 0.1
done
if [ -z "$pty" ]; then
    echo "FAILED the simulator did not start"
    exit 1
fi
# Also as COM12, which the port opens through the "\\.\" device prefix. The
# test opens COM9 as a port that does not exist: a prefix of one's own must
# leave it unmapped.
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com12"
echo "COM5 and COM12 are $pty"

TARVIK_EVENTS="Z:$work/events.jsonl" timeout 600 wine64 ./tarvik-wintest.exe COM5 COM12 \
    "Z:$work/simctl" "Z:$work/events.jsonl" 2>>"$work/wine.log" | tee "$work/host.out"
rc=${PIPESTATUS[0]}
# A program Wine cannot load prints nothing and exits 0: the run counts only
# with the host test's own passed checks.
passed=$(grep -c '^  ok  ' "$work/host.out")
echo "host test: $passed check(s) passed"
if [ "$passed" = 0 ]; then
    rc=1
fi
if [ $rc != 0 ]; then
    failures=$((failures + 1))
    echo "--- simulator trace (last 40 lines)"
    tail -n 40 "$work/sim.log"
    echo "--- Wine's messages (last 20 lines)"
    tail -n 20 "$work/wine.log"
fi

check "regsvr32 /u Tarvik.dll" timeout 120 wine64 "$regsvr32" /s /u Tarvik.dll
check "regsvr32 /u TarvikCompanions.dll" timeout 120 wine64 "$regsvr32" /s /u TarvikCompanions.dll
check "the session class is gone" unregistered "$session"
check "the line class is gone" unregistered "$line"
check "the type library is gone" typelib_unregistered
check "the property bag class is gone" unregistered "$bag"

if [ $failures != 0 ]; then
    echo "Wine tests: $failures failure(s)"
    exit 1
fi
echo "Wine tests passed"
