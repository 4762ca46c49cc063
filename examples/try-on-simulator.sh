#!/usr/bin/env bash
# Runs the two examples against a simulated modem, in a private registry and
# device map, and checks that each call went the whole way.
#   try-on-simulator.sh DIALER ANSWERER TARVIK TARVIK_MODEMSIM LIBTARVIK LIBCOMPANIONS
set -euo pipefail
if [ $# -ne 6 ]; then
    echo "usage: $0 DIALER ANSWERER TARVIK TARVIK_MODEMSIM LIBTARVIK LIBCOMPANIONS" >&2
    exit 2
fi
dialer=$1 answerer=$2 tarvik=$3 modemsim=$4 component=$5 companions=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-examples-XXXXXX")
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.out "$work"/*.err; do echo "--- $f" >&2; cat "$f" >&2; done
    exit 1
}
# Waits up to $2 seconds for file $1 to contain $3.
wait_for() {
    local deadline=$((SECONDS + $2))
    until grep -qF -- "$3" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

export TARVIK_REGISTRY=$work/registry.reg TARVIK_DOSDEVICES=$work/dosdevices
export TARVIK_LOG=$work/tarvik.log TARVIK_EVENTS=$work/events.jsonl
mkdir -p "$TARVIK_DOSDEVICES"
"$tarvik" register "$companions" >/dev/null
"$tarvik" register "$component" >/dev/null

# The modem reads its commands ("ring", ...) from a fifo we keep open.
mkfifo "$work/modem.in"
"$modemsim" --link COM5 --outcome 5551234="CONNECT 9600" \
    --caller-id "DATE=1206,TIME=0902,CALR=5551212" --ring-cadence 1000 \
    <"$work/modem.in" >"$work/modem.out" 2>"$work/modem.err" &
pids+=($!)
exec 3>"$work/modem.in"
wait_for "$work/modem.out" 10 /dev/ || fail "the simulated modem did not start"

timeout 120 "$dialer" COM5 5551234 >"$work/dialer.out" 2>"$work/dialer.err" ||
    fail "dialer exited with $?"
grep -qF "the remote side says: hello from the dialer" "$work/dialer.out" ||
    fail "dialer: no data came back"
grep -qF "call ended, cause 2223" "$work/dialer.out" || fail "dialer: the call did not end cleanly"
echo "dialer: ok"

timeout 120 "$answerer" COM5 >"$work/answerer.out" 2>"$work/answerer.err" &
answerer_pid=$!
pids+=($answerer_pid)
wait_for "$work/answerer.out" 30 "waiting for a call" || fail "answerer did not open the line"
echo ring >&3
wait "$answerer_pid" || fail "answerer exited with $?"
grep -qF "caller ID on COM5: number 5551212, name , date 1206, time 0902" "$work/answerer.out" ||
    fail "answerer: no caller ID with its fields"
# Offered only once the caller ID is in: a host deciding on the call has it.
cid_line=$(grep -nF "caller ID on COM5:" "$work/answerer.out" | head -1 | cut -d: -f1)
offer_line=$(grep -nF "call offered" "$work/answerer.out" | head -1 | cut -d: -f1)
[ -n "$offer_line" ] && [ "$cid_line" -lt "$offer_line" ] ||
    fail "answerer: the call was offered before its caller ID came"
grep -qF "the caller says: hello from the answerer" "$work/answerer.out" ||
    fail "answerer: no data came back"
grep -qF "call ended, cause 2223" "$work/answerer.out" ||
    fail "answerer: the call did not end cleanly"
echo "answerer: ok"
