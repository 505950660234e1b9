#!/bin/sh
# Interoperability with an independent QMI client: qmicli talks to kxmodem's
# QMI control port on a pseudo-terminal. Usage: qmicli_interop.sh KXMODEM [DISSECTOR.lua]
# Without qmicli the test fails, unless KX_ALLOW_SKIP=1 (then it is skipped).
# With the dissector (and tshark), the session's capture must decode too.
set -u
kxmodem=$1
dissector=${2:-}
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

"$kxmodem" --device-dir "$work/dev" --pty "$work/qmi" --trace "$work/trace" \
    --pcap "$work/session.pcapng" >"$work/out" 2>&1 &
pid=$!
i=0
while [ ! -e "$work/qmi" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$work/qmi" ] || { echo "FAIL: kxmodem did not come up"; cat "$work/out"; exit 1; }

failures=0
checks=0
# run NAME EXPECTED-TEXT qmicli-arguments...: runs qmicli, checks its output.
run() {
    name=$1 expected=$2
    shift 2
    checks=$((checks + 1))
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
# expect NAME EXPECTED-TEXT: one more value decoded in the last command's output.
expect() {
    checks=$((checks + 1))
    if grep -qF -- "$2" "$work/last"; then
        echo "ok: $1"
    else
        echo "FAIL: $1; expected '$2' in:"
        cat "$work/last"
        failures=$((failures + 1))
    fi
}
# control COMMAND: changes the running module as an engineer would.
control() {
    if ! "$kxmodem" --device-dir "$work/dev" --control "$1" >"$work/control" 2>&1; then
        echo "FAIL: control '$1':"
        cat "$work/control"
        failures=$((failures + 1))
    fi
}

# What a bring-up engineer asks first: the module and its identity (the same
# one that answers ATI1).
run "version info" "dms (1.3)" --get-service-version-info
expect "version info: ctl" "ctl (1.5)"
expect "version info: wds" "wds (1.14)"
expect "version info: nas" "nas (1.8)"
run "manufacturer" "Manufacturer: 'KxWireless'" --dms-get-manufacturer
run "model" "Model: 'KX-H750 HSDPA'" --dms-get-model
run "revision" "Revision: 'KXH750_R1.4.2 2007-05-14'" --dms-get-revision
run "ids" "IMEI: '004999010640000'" --dms-get-ids
expect "ids: no ESN" "ESN: 'unknown'"
run "operating mode" "Mode: 'online'" --dms-get-operating-mode
run "DMS supported messages" "0x0025" --dms-get-supported-messages
expect "DMS supported messages: operating mode" "0x002D"
run "WDS supported messages" "0x002D" --wds-get-supported-messages
expect "WDS supported messages: start" "0x0020"
run "NAS supported messages" "0x004D" --nas-get-supported-messages
expect "NAS supported messages: serving system" "0x0024"

# The network: registration, operator, home network, system information.
run "serving system" "Registration state: 'registered'" --nas-get-serving-system
expect "serving system: PS attached" "PS: 'attached'"
expect "serving system: radio" "[0]: 'umts'"
expect "serving system: roaming" "Roaming status: 'off'"
expect "serving system: MCC" "MCC: '1'"
expect "serving system: MNC" "MNC: '1'"
expect "serving system: operator" "Description: 'KxTel Mobile'"
run "home network" "Description: 'KxTel Mobile'" --nas-get-home-network
expect "home network: MCC" "MCC: '1'"
run "system info" "Status: 'available'" --nas-get-system-info
expect "system info: domain" "Domain: 'cs-ps'"
expect "system info: roaming" "Roaming status: 'off'"
expect "system info: MCC" "MCC: '001'"
expect "system info: MNC" "MNC: '01'"
expect "system info: cell" "Cell ID: '115698'"

# Registration changes made on the control socket show in the answers.
control "registration roaming"
control "operator \"Far Away Tel\" FAT 99988"
run "serving system roaming" "Roaming status: 'on'" --nas-get-serving-system
expect "serving system roaming: operator" "Description: 'Far Away Tel'"
expect "serving system roaming: MCC" "MCC: '999'"
expect "serving system roaming: MNC" "MNC: '88'"
run "home network while roaming" "Description: 'KxTel Mobile'" --nas-get-home-network
run "system info roaming" "Roaming status: 'on'" --nas-get-system-info
expect "system info roaming: MCC" "MCC: '999'"
control "registration searching"
run "serving system searching" "Registration state: 'not-registered-searching'" --nas-get-serving-system
expect "serving system searching: detached" "PS: 'detached'"
control "radio off"
run "serving system radio off" "Registration state: 'not-registered'" --nas-get-serving-system
run "operating mode radio off" "Mode: 'low-power'" --dms-get-operating-mode
control "radio on"
control "registration home"
control "operator \"KxTel Mobile\" KxTel 00101"
run "serving system home again" "Roaming status: 'off'" --nas-get-serving-system
expect "serving system home again: registered" "Registration state: 'registered'"

# Packet data.
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
    run "current settings" "IPv4 address: 10.64.0.2" --wds-get-current-settings \
        --client-cid="$cid" --client-no-release-cid
    expect "current settings: gateway" "IPv4 gateway address: 10.64.255.1"
    expect "current settings: subnet" "IPv4 subnet mask: 255.255.0.0"
    expect "current settings: primary DNS" "IPv4 primary DNS: 10.64.255.1"
    expect "current settings: secondary DNS" "IPv4 secondary DNS: 10.64.255.2"
    expect "current settings: MTU" "MTU: 1500"
    expect "current settings: family" "IP Family: IPv4"
    run "stop network" "Network stopped" --wds-stop-network="$handle" --client-cid="$cid"
    run "status after stop" "Connection status: 'disconnected'" --wds-get-packet-service-status
fi
# A refused start is reported with the module's reason.
checks=$((checks + 1))
timeout 20 qmicli -d "$work/qmi" --device-open-qmi --wds-start-network=apn=no.such.apn \
    >"$work/last" 2>&1
if grep -qF "unknown-apn" "$work/last"; then
    echo "ok: wrong APN refused"
else
    echo "FAIL: wrong APN not refused as unknown-apn:"
    cat "$work/last"
    failures=$((failures + 1))
fi
# The trace decoded the values and kept the password to itself.
checks=$((checks + 1))
if grep -qF "signal_strength_dbm=-70 radio_interface=umts(5) | ba 05" "$work/trace" &&
    grep -qF "password=********" "$work/trace" && ! grep -qF "kxpass" "$work/trace"; then
    echo "ok: trace decodes values, password masked"
else
    echo "FAIL: trace without decoded signal strength or with the password"
    failures=$((failures + 1))
fi
# The capture of the whole session, read with the dissector: the values qmicli
# decoded, decoded the same way from the table.
if [ -n "$dissector" ] && command -v tshark >/dev/null 2>&1; then
    for field in qmi.v.ipv4_address=10.64.0.2 qmi.v.ipv4_gateway=10.64.255.1 qmi.v.mtu=1500 \
        qmi.v.imei=004999010640000 "qmi.v.description=Far Away Tel" qmi.v.mcc=999 \
        qmi.v.mcc_digits=999 qmi.v.roaming_indicator=0 qmi.v.registration=2 qmi.v.operating_mode=1 \
        qmi.v.service_status=2 "qmi.v.messages=0x0003 0x001e 0x0020 0x0024 0x0025 0x004d" \
        qmi.v.rssi_dbm=-70; do
        checks=$((checks + 1))
        name=${field%%=*} value=${field#*=}
        if tshark -X lua_script:"$dissector" -r "$work/session.pcapng" -T fields -e "$name" \
            2>/dev/null | tr ',' '\n' | grep -qxF -- "$value"; then
            echo "ok: capture decodes $name $value"
        else
            echo "FAIL: capture: no $name $value"
            failures=$((failures + 1))
        fi
    done
fi
if [ $failures -ne 0 ]; then
    echo "--- kxmodem trace (tail)"
    tail -40 "$work/trace"
    echo "$failures of $checks checks failed"
    exit 1
fi
echo "qmicli interoperability: all $checks checks passed"
