#!/bin/bash
# End-to-end cases of the host programs: each says what happened, from
# evidence, and exits non-zero on failure; a stop signal ends them as a
# normal end does.
#
#   host_programs.sh KXSIM WORKDIR CASE
#
# Each case prints what it checks and exits 0 when every check held.
set -u
KXSIM=$1
WORK=$2
CASE=$3
BIN=$(dirname "$KXSIM")
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1

failures=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}
has() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed; the output was:"
        cat "$WORK"/*.out 2>/dev/null
        exit 1
    fi
    exit 0
}

# The shipped registry with one change made by a sed expression.
shipped_registry_with() {
    sed -e "$1" "$BIN/../device/platform.reg" >"$2" 2>/dev/null ||
        sed -e "$1" "$(dirname "$0")/../../device/platform.reg" >"$2"
}

# A module of our own in the background, stopped (by its pid) at exit.
MODEM_PID=
start_modem() {
    "$KXSIM" modem --device-dir "$WORK/dev" >"$WORK/modem.log" 2>&1 &
    MODEM_PID=$!
    trap 'kill -TERM $MODEM_PID 2>/dev/null; wait $MODEM_PID 2>/dev/null' EXIT
    for _ in $(seq 100); do
        [ -S "$WORK/dev/kxmodem.ctl" ] && return 0
        sleep 0.05
    done
    echo "the module did not start"
    exit 1
}
control() { "$BIN/kxmodem" --device-dir "$WORK/dev" --control "$1"; }

# Waits (at most 20 s) until a file holds a text.
await_text() {
    for _ in $(seq 400); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

case "$CASE" in
provision-incomplete-profile)
    # A profile value is missing and CurrentConfig names another entry: the
    # driver does not settle, and provision must not call it current.
    shipped_registry_with '/^\[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\]\r*$/a "CurrentConfig"="Old Entry"' r.reg
    sed -i '/^\[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\\KxTel\]\r*$/,/^\r*$/{/^"Domain"/d}' r.reg
    "$KXSIM" provision --registry r.reg >p.out 2>&1
    rc=$?
    check "exit status 3 (nothing applied), was $rc" test $rc -eq 3
    check "says the profile is incomplete" has p.out "result: the matching profile is incomplete"
    check "does not call it current" lacks p.out "current already"
    check "CurrentConfig still names the old entry" has r.reg '"CurrentConfig"="Old Entry"'
    ;;
provision-currentconfig-not-text)
    # A CurrentConfig that is not text: whatever the driver makes of it,
    # provision reports that and never calls the profile current.
    shipped_registry_with '/^\[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\]\r*$/a "CurrentConfig"=dword:00000001' r.reg
    "$KXSIM" provision --registry r.reg >p.out 2>&1
    rc=$?
    check "does not call it current" lacks p.out "current already"
    if grep -q "^result: applied" p.out; then
        check "applied: exit status 0, was $rc" test $rc -eq 0
        check "applied: CurrentConfig names the entry" has r.reg '"CurrentConfig"="KxTel Internet"'
    else
        check "not applied: exit status 1 or 3, was $rc" test $rc -eq 1 -o $rc -eq 3
        check "not applied: says so" has p.out "nothing applied"
    fi
    ;;
provision-settles-then-current)
    # Applied, then current: each from the driver's own evidence, at once.
    cp "$BIN/../device/platform.reg" r.reg 2>/dev/null || cp "$(dirname "$0")/../../device/platform.reg" r.reg
    "$KXSIM" provision --registry r.reg >p1.out 2>&1
    rc1=$?
    "$KXSIM" provision --registry r.reg >p2.out 2>&1
    rc2=$?
    check "first: applied, exit 0 (was $rc1)" test $rc1 -eq 0
    check "first: applied" has p1.out 'result: applied "KxTel Internet"'
    check "second: current, exit 0 (was $rc2)" test $rc2 -eq 0
    check "second: current" has p2.out 'result: "KxTel Internet" is current already'
    ;;
run-waits-on-events)
    # No fixed waits: the whole run takes well under the 8 s that a single
    # wait for AT commands that never come used to take; nothing is left in
    # the device folder, lock files included.
    start=$(date +%s%N)
    "$KXSIM" run --out "$WORK/out" --count 1 >run.out 2>&1
    rc=$?
    ms=$((($(date +%s%N) - start) / 1000000))
    check "exit status 0, was $rc" test $rc -eq 0
    check "all steps worked" has run.out "all 7 steps worked"
    check "took $ms ms, under 8000" test $ms -lt 8000
    check "the device folder is gone" test ! -e "$WORK/out/dev"
    ;;
run-roaming)
    # The roaming registration reaches the driver while the device manager
    # runs, and the driver applies nothing.
    "$KXSIM" run --out "$WORK/out" --count 1 --roaming >run.out 2>&1
    rc=$?
    check "exit status 0, was $rc" test $rc -eq 0
    check "the driver was told roaming" has run.out "radio: registered, roaming"
    check "boot 1 as expected" has run.out "=> provisioning, boot 1: ok, roaming"
    check "boot 2 as expected" has run.out "=> provisioning, boot 2: ok, roaming"
    check "nothing applied" lacks out/registry.reg '"CurrentConfig"='
    ;;
run-credentials)
    # Each scenario states its expected outcome and checks it.
    "$KXSIM" run --out "$WORK/a" --count 1 --apn other.apn >apn.out 2>&1
    rc=$?
    check "--apn: exit 0, was $rc" test $rc -eq 0
    check "--apn: expects the refusal" has apn.out "expected: the module refuses the logon: unknown APN"
    check "--apn: refused for the APN" has apn.out "(unknown APN), as the scenario expects"
    "$KXSIM" run --out "$WORK/u" --count 1 --user nobody --password x >user.out 2>&1
    rc=$?
    check "--user: exit 0, was $rc" test $rc -eq 0
    check "--user: refused for the credentials" has user.out "(authentication failed), as the scenario expects"
    "$KXSIM" run --out "$WORK/ok" --count 1 --apn KXTEL.INTERNET --user kxuser --password kxpass >ok.out 2>&1
    rc=$?
    check "accepted credentials: exit 0, was $rc" test $rc -eq 0
    check "accepted credentials: connects" has ok.out "=> connection: KxCmdApi: ok, connected"
    ;;
run-out-is-a-file)
    echo "keep me" >file
    "$KXSIM" run --out "$WORK/file" --count 1 >run.out 2>&1
    rc=$?
    check "exit status non-zero, was $rc" test $rc -ne 0
    check "refused before the steps" lacks run.out "[1/"
    check "says why" has run.out "is not a folder"
    check "the file is untouched" test "$(cat file)" = "keep me"
    ;;
run-stopped)
    # SIGTERM while the device manager runs: children end, the module
    # stops, the device folder goes; the exit status tells the signal.
    "$KXSIM" run --out "$WORK/out" --count 1 >run.out 2>&1 &
    pid=$!
    await_text run.out "-- boot 1"
    kill -TERM $pid
    wait $pid
    rc=$?
    check "exit status 143, was $rc" test $rc -eq 143
    check "says it was stopped" has run.out "stopped by signal 15"
    check "no child left running" test -z "$(pgrep -f -- "$WORK/out/dev")"
    check "the device folder is gone" test ! -e "$WORK/out/dev"
    ;;
connect-refused)
    "$KXSIM" connect --apn nowhere --count 1 >c.out 2>&1
    rc=$?
    check "exit status 1, was $rc" test $rc -eq 1
    check "prints the module's reason" has c.out "logon: refused by the module: QMI error 0x000E (CALL_FAILED), call end reason 1 (unspecified), verbose reason 3GPP 27 (unknown APN)"
    check "closes" has c.out "close: ok"
    ;;
connect-no-reply)
    # The module drops the reply to the start: the driver's limit (scaled)
    # passes, and connect says so and what it waited for.
    start_modem
    control "fault drop service=wds msg=32" >/dev/null
    KX_TIME_SCALE=0.1 "$KXSIM" connect --device-dir "$WORK/dev" --count 1 >c.out 2>&1
    rc=$?
    check "exit status 1, was $rc" test $rc -eq 1
    check "says what it waits for" has c.out "(waiting for the module's reply to the logon, at most 3.0 s)"
    check "says no reply came" has c.out "logon: no reply from the module within the driver's limit (3.0 s)"
    ;;
connect-interrupted)
    # SIGINT in the middle of the echoes: logged off and closed, so the
    # module holds no session afterwards.
    start_modem
    # As at a terminal: a background job of a script would ignore SIGINT.
    env --default-signal=INT "$KXSIM" connect --device-dir "$WORK/dev" --count 100000 >c.out 2>&1 &
    pid=$!
    await_text c.out "echo 1:"
    kill -INT $pid
    wait $pid
    rc=$?
    control status >status.out
    check "exit status 130, was $rc" test $rc -eq 130
    check "logged off" has c.out "logoff: ok"
    check "closed" has c.out "close: ok"
    check "the module holds no session" lacks status.out "session{"
    ;;
applet-png-unwritable)
    "$KXSIM" applet --png "$WORK/no/such/folder/page.png" >a.out 2>&1
    rc=$?
    check "exit status 1, was $rc" test $rc -eq 1
    check "reports the failure" has a.out "cannot write the picture $WORK/no/such/folder/page.png"
    check "does not claim the picture" lacks a.out "picture: "
    ;;
*)
    echo "unknown case $CASE"
    exit 2
    ;;
esac
finish
