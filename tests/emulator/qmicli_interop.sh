#!/bin/sh
# Interoperability with an independent QMI client: qmicli talks to kxmodem's
# QMI control port on a pseudo-terminal. Usage: qmicli_interop.sh KXMODEM
# Without qmicli the test fails, unless KX_ALLOW_SKIP=1 (then it is skipped).
set -u
kxmodem=$1
if ! command -v qmicli >/dev/null 2>&1; then
    if [ "${KX_ALLOW_SKIP:-0}" = 1 ]; then
        echo "qmicli not installed: skipped"
        exit 77
    fi
    echo "FAIL: qmicli not installed (apt-get install libqmi-utils, or KX_ALLOW_SKIP=1)"
    exit 1
fi

work=$(mktemp -d /tmp/kxmodem-qmicli-XXXXXX)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$kxmodem" --device-dir "$work/dev" --pty "$work/qmi" --trace "$work/trace" >"$work/out" 2>&1 &
pid=$!
i=0
while [ ! -e "$work/qmi" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$work/qmi" ] || { echo "FAIL: kxmodem did not come up"; cat "$work/out"; exit 1; }

failures=0
# run NAME EXPECTED-TEXT qmicli-arguments...: runs qmicli, checks its output.
run() {
    name=$1 expected=$2
    shift 2
    timeout 20 qmicli -d "$work/qmi" --device-open-qmi "$@" >"$work/last" 2>&1
    rc=$?
    if [ $rc -ne 0 ] || ! grep -qF -- "$expected" "$work/last"; then
        echo "FAIL: $name (exit $rc); expected '$expected' in:"
        cat "$work/last"
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
}

run "packet service status" "Connection status: 'disconnected'" --wds-get-packet-service-status
run "signal strength" "Network 'umts': '-70 dBm'" --nas-get-signal-strength
run "channel rates" "Max RX rate:     7200000bps" --wds-get-channel-rates
run "start network" "Network started" \
    --wds-start-network="apn=kxtel.internet,username=kxuser,password=kxpass,auth=PAP" \
    --client-no-release-cid
handle=$(sed -n "s/.*Packet data handle: '\([0-9]*\)'.*/\1/p" "$work/last")
cid=$(sed -n "s/.*CID: '\([0-9]*\)'.*/\1/p" "$work/last")
if [ -z "$handle" ] || [ -z "$cid" ]; then
    echo "FAIL: no handle or client id in the start output"
    failures=$((failures + 1))
else
    run "status while connected" "Connection status: 'connected'" --wds-get-packet-service-status
    run "stop network" "Network stopped" --wds-stop-network="$handle" --client-cid="$cid"
    run "status after stop" "Connection status: 'disconnected'" --wds-get-packet-service-status
fi
# A refused start is reported with the module's reason.
timeout 20 qmicli -d "$work/qmi" --device-open-qmi --wds-start-network=apn=no.such.apn \
    >"$work/last" 2>&1
if grep -qF "unknown-apn" "$work/last"; then
    echo "ok: wrong APN refused"
else
    echo "FAIL: wrong APN not refused as unknown-apn:"
    cat "$work/last"
    failures=$((failures + 1))
fi
if [ $failures -ne 0 ]; then
    echo "--- kxmodem trace (tail)"
    tail -40 "$work/trace"
    exit 1
fi
echo "qmicli interoperability: all checks passed"
