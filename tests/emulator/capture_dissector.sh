#!/bin/sh
# The capture and its dissector: kxmodem --pcap records a "kxsim connect"
# session, and tshark with the dissector generated from the QMI table must
# decode it field by field. Usage: capture_dissector.sh KXMODEM KXSIM DISSECTOR.lua
# Without tshark the test fails, unless KX_ALLOW_SKIP=1 (then it is skipped).
set -u
kxmodem=$1 kxsim=$2 dissector=$3
if ! command -v tshark >/dev/null 2>&1; then
    if [ "${KX_ALLOW_SKIP:-0}" = 1 ]; then
        echo "tshark not installed: skipped"
        exit 77
    fi
    echo "FAIL: tshark not installed (apt-get install tshark, or KX_ALLOW_SKIP=1)"
    exit 1
fi

work=$(mktemp -d /tmp/kxmodem-capture-XXXXXX)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$kxmodem" --device-dir "$work/dev" --pcap "$work/session.pcapng" >"$work/out" 2>&1 &
pid=$!
i=0
while [ ! -S "$work/dev/KXC1" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -S "$work/dev/KXC1" ] || { echo "FAIL: kxmodem did not come up"; cat "$work/out"; exit 1; }
if ! timeout 60 "$kxsim" connect --device-dir "$work/dev" --count 2 >"$work/connect" 2>&1; then
    echo "FAIL: kxsim connect failed:"
    cat "$work/connect"
    exit 1
fi
kill "$pid" && wait "$pid"
pid=

# One line a packet: the fields below, tab-separated, empty when absent.
fields="frame.interface_name frame.packet_flags_direction frame.comment qmi.service qmi.client
qmi.kind qmi.tid qmi.msg_name qmi.v.service qmi.v.apn qmi.v.username qmi.v.password
qmi.v.packet_data_handle qmi.v.connection_status qmi.v.max_rx_rate_bps
qmi.v.signal_strength_dbm qmi.v.radio_interface qmi.v.result qmi.v.error ip.src ip.dst icmp.type"
args=""
for f in $fields; do args="$args -e $f"; done
# shellcheck disable=SC2086
tshark -X lua_script:"$dissector" -r "$work/session.pcapng" -T fields -E occurrence=f \
    $args >"$work/fields" 2>"$work/tshark.err"
tshark -X lua_script:"$dissector" -r "$work/session.pcapng" -V >"$work/verbose" 2>>"$work/tshark.err"
tshark -X lua_script:"$dissector" -r "$work/session.pcapng" \
    -Y "qmi.short or qmi.bad_frame or _ws.malformed" >"$work/malformed" 2>>"$work/tshark.err"

failures=0 checks=0
# check NAME COUNT AWK-CONDITION: COUNT packets match the condition ($1 is the
# first field above, $2 the second...).
check() {
    checks=$((checks + 1))
    n=$(awk -F '\t' "$3 { n++ } END { print n + 0 }" "$work/fields")
    if [ "$n" = "$2" ]; then
        echo "ok: $1"
    else
        echo "FAIL: $1: $n packets, expected $2"
        failures=$((failures + 1))
    fi
}
# contains NAME TEXT: the verbose decode shows TEXT.
contains() {
    checks=$((checks + 1))
    if grep -qF -- "$2" "$work/verbose"; then
        echo "ok: $1"
    else
        echo "FAIL: $1: '$2' not in the decode"
        failures=$((failures + 1))
    fi
}

# Client ids for WDS and NAS, from the host on KXC1, answered successfully.
check "WDS client id asked" 1 '$1 == "KXC1" && $2 == "0x00000001" && $3 ~ /^KXC1#/ && $8 == "GetClientId" && $6 == "request" && $9 == 1'
check "NAS client id asked" 1 '$8 == "GetClientId" && $6 == "request" && $9 == 3'
check "client ids given" 2 '$8 == "GetClientId" && $6 == "response" && $2 == "0x00000002" && $18 == 0 && $19 == 0'
# The logon: APN and user as given, the password masked in the capture.
check "start request" 1 '$4 == 1 && $8 == "StartNetworkInterface" && $6 == "request" && $10 == "kxtel.internet" && $11 == "kxuser" && $12 == "******"'
check "start response" 1 '$8 == "StartNetworkInterface" && $6 == "response" && $13 == "0x4b580001" && $18 == 0'
check "connected indication" 1 '$8 == "PacketServiceStatus" && $6 == "indication" && $14 == 2'
check "disconnected indication" 1 '$8 == "PacketServiceStatus" && $6 == "indication" && $14 == 1'
check "state connected" 1 '$8 == "PacketServiceStatus" && $6 == "response" && $14 == 2'
check "channel rates" 1 '$8 == "GetCurrentChannelRate" && $6 == "response" && $15 == 7200000'
check "signal -70 dBm on UMTS" 1 '$4 == 3 && $8 == "GetSignalStrength" && $6 == "response" && $16 == -70 && $17 == 5'
check "logoff" 1 '$8 == "StopNetworkInterface" && $6 == "response" && $18 == 0'
check "client ids released" 2 '$8 == "ReleaseClientId" && $6 == "response" && $19 == 0'
# Transaction ids and clients: each reply carries its request's transaction
# id, and the WDS and NAS frames the client id the module gave.
checks=$((checks + 1))
unpaired=$(awk -F '\t' '$1 == "KXC1" && $6 == "request" { asked[$4 " " $5 " " $8 " " $7]++ }
    $1 == "KXC1" && $6 == "response" { k = $4 " " $5 " " $8 " " $7; if (asked[k]-- <= 0) bad++ }
    END { for (k in asked) if (asked[k] != 0) bad++; print bad + 0 }' "$work/fields")
if [ "$unpaired" = 0 ]; then
    echo "ok: every reply answers a request by service, client, message and transaction id"
else
    echo "FAIL: $unpaired replies and requests do not pair"
    failures=$((failures + 1))
fi
check "service frames name a client" 0 '$1 == "KXC1" && $4 != 0 && ($5 == "" || $5 == 0)'
check "every control frame decoded" 0 '$1 == "KXC1" && ($8 == "" || $8 == "unknown")'
# The pings on KXN1, as raw IP both ways.
check "echo requests" 2 '$1 == "KXN1" && $2 == "0x00000001" && $20 == "10.64.0.2" && $22 == 8'
check "echo replies" 2 '$1 == "KXN1" && $2 == "0x00000002" && $21 == "10.64.0.2" && $22 == 0'
contains "signal strength TLV by name" "TLV 0x01 signal strength: signal_strength_dbm=-70 radio_interface=umts"
contains "result TLV by name" "TLV 0x02 result: result=success error=NONE"
contains "enumeration label" "connection status: connected (2)"
checks=$((checks + 1))
if [ -s "$work/malformed" ]; then
    echo "FAIL: malformed frames in the decode:"
    cat "$work/malformed"
    failures=$((failures + 1))
else
    echo "ok: nothing malformed"
fi
if [ $failures -ne 0 ]; then
    echo "--- tshark fields"
    cat "$work/fields"
    echo "--- tshark messages"
    cat "$work/tshark.err"
    echo "$failures of $checks checks failed"
    exit 1
fi
echo "capture and dissector: all $checks checks passed"
