#!/usr/bin/env bash
# Real IP traffic end to end: kxmodem with the operator's network on a TUN
# interface (--network tun) and an HTTP server in that namespace; kxsim
# tunnel in the handheld's namespace; ping and curl inside it.
#   driver: through KxCmdApi; a KxCmdReopen while the module's ports vanish
#           during a download leaves the TCP connection intact.
#   plain:  the driverless relay (data port socket used directly).
# Also: a stop by SIGTERM removes everything and logs off, and without root
# both programs refuse clearly. Skips (77) without root or /dev/net/tun.
set -u
mode=${1:?usage: tun_end_to_end.sh driver|plain BIN_DIR}
bin=${2:?usage: tun_end_to_end.sh driver|plain BIN_DIR}

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root (network namespaces and TUN interfaces)"
    exit 77
fi
if [ ! -c /dev/net/tun ]; then
    echo "SKIP: /dev/net/tun is missing"
    exit 77
fi
if [ "$mode" = driver ] && [ ! -f "$bin/KxCmdApi.so" ]; then
    echo "FAIL: $bin/KxCmdApi.so is missing"
    exit 1
fi
for tool in ip curl ping python3 cmp setpriv; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh)"; exit 1; }
done

work=$(mktemp -d /tmp/kxtun-e2e-XXXXXX)
op=kxop-e2e-$$
hh=kxhh-e2e-$$
modem_pid="" http_pid="" tunnel_pid=""
cleanup() {
    for pid in $tunnel_pid $http_pid $modem_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    for ns in $hh $op; do
        ip netns delete "$ns" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for log in "$work"/*.log; do
        echo "--- $log"
        tail -n 20 "$log"
    done
    exit 1
}

# One control command to the module; prints its answer line.
control() {
    python3 - "$work/dev/kxmodem.ctl" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
print(s.makefile().readline().strip())
PY
}

wait_for() { # seconds, command...
    local limit=$(($1 * 10))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# Without root, both programs say so and fail.
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/kxsim" tunnel \
      --device-dir "$work/none" 2>&1)
[ $? -ne 0 ] && [[ $out == *root* ]] || fail "kxsim tunnel without root: '$out'"
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/kxmodem" \
      --device-dir /tmp/kxtun-e2e-unprivileged-$$ --network tun 2>&1)
[ $? -ne 0 ] && [[ $out == *root* ]] || fail "kxmodem --network tun without root: '$out'"
rm -rf /tmp/kxtun-e2e-unprivileged-$$

mkdir -p "$work/www"
head -c 300000 /dev/urandom >"$work/www/small"
head -c 6000000 /dev/urandom >"$work/www/big"

"$bin/kxmodem" --device-dir "$work/dev" --network tun --network-namespace "$op" \
    >"$work/modem.log" 2>&1 &
modem_pid=$!
wait_for 10 test -S "$work/dev/kxmodem.ctl" || fail "kxmodem did not start"
ip netns exec "$op" python3 -m http.server 8080 --bind 10.64.255.1 --directory "$work/www" \
    >"$work/http.log" 2>&1 &
http_pid=$!
wait_for 10 ip netns exec "$op" curl -sf -o /dev/null http://10.64.255.1:8080/small ||
    fail "the HTTP server in $op did not start"

tunnel_options=(--device-dir "$work/dev" --namespace "$hh")
if [ "$mode" = plain ]; then
    tunnel_options+=(--without-driver)
else
    tunnel_options+=(--reopen-on-usr1 5000)
fi

# ping and a small download, then a slower big one that the reopen hits:
# at 800 KB/s the 6 MB take about 7 s, so the download is still running
# well after the reopen that starts once 1 MB has come.
inner="ping -c 3 -i 0.2 -W 2 10.64.255.1 >'$work/ping.out' || exit 11
curl -sS --max-time 30 -o '$work/small.got' http://10.64.255.1:8080/small || exit 12
curl -sS --max-time 60 --limit-rate 800K -o '$work/big.got' http://10.64.255.1:8080/big || exit 13"
"$bin/kxsim" tunnel "${tunnel_options[@]}" --exec "$inner" >"$work/tunnel.log" 2>&1 &
tunnel_pid=$!

if [ "$mode" = driver ]; then
    # Once a part of the big file has come, the module's ports vanish for
    # 400 ms and the connection software reopens the driver's ports.
    big_started() { [ "$(stat -c %s "$work/big.got" 2>/dev/null || echo 0)" -gt 1000000 ]; }
    wait_for 30 big_started || fail "the big download did not start"
    answer=$(control "vanish all 400")
    [ "$answer" = ok ] || fail "vanish: $answer"
    kill -USR1 "$tunnel_pid"
fi
wait "$tunnel_pid"
status=$?
tunnel_pid=""
[ "$status" -eq 0 ] || fail "the command in the handheld's namespace ended with $status"
grep -q " 0% packet loss" "$work/ping.out" || fail "ping lost replies: $(cat "$work/ping.out")"
cmp -s "$work/www/small" "$work/small.got" || fail "the small file differs"
cmp -s "$work/www/big" "$work/big.got" || fail "the big file differs"
if [ "$mode" = driver ]; then
    grep -q "KxCmdReopen(5000) succeeded" "$work/tunnel.log" || fail "no reopen happened"
    # The ports were gone while the download ran: the module saw the data
    # connections end and come back.
    grep "KxCmdReopen" "$work/tunnel.log"
    [[ $(control status) == *ports=KXC1,KXN1,KXN2,KXA1* ]] || fail "the ports did not return"
fi
ip netns list | grep -q "^$hh" && fail "the handheld's namespace is left behind"
[[ $(control status) == *session\{* ]] && fail "the session is still up after the command ended"

if [ "$mode" = driver ]; then
    # The connection software's stand-in carries the same traffic.
    "$bin/kxsim" connect --device-dir "$work/dev" --tun \
        --exec "curl -sS --max-time 30 -o '$work/small2.got' http://10.64.255.1:8080/small" \
        >"$work/connect.log" 2>&1 || fail "kxsim connect --tun failed"
    cmp -s "$work/www/small" "$work/small2.got" || fail "kxsim connect --tun: the file differs"
    grep -q "logoff: ok" "$work/connect.log" || fail "kxsim connect --tun did not log off"
fi

# Stopped by SIGTERM: ends its command (and what that started), logs off and
# removes its namespace.
marker="sleep 3600.$$"
"$bin/kxsim" tunnel "${tunnel_options[@]}" --exec "$marker; true" </dev/null \
    >"$work/tunnel2.log" 2>&1 &
tunnel_pid=$!
wait_for 10 ip netns exec "$hh" ip link show dev kxtun0 || fail "the second tunnel did not start"
[[ $(control status) == *session\{* ]] || fail "no session while the tunnel runs"
kill -TERM "$tunnel_pid"
wait "$tunnel_pid"
status=$?
tunnel_pid=""
[ "$status" -ne 0 ] || fail "kxsim tunnel stopped by SIGTERM reported success"
pgrep -f "$marker" >/dev/null && fail "the command in the handheld's namespace outlived the stop"
ip netns list | grep -q "^$hh" && fail "SIGTERM left the handheld's namespace behind"
[[ $(control status) == *session\{* ]] && fail "SIGTERM left the session up"

kill -TERM "$modem_pid"
wait "$modem_pid"
modem_pid=""
ip netns list | grep -q "^$op" && fail "kxmodem left the operator's namespace behind"
echo "PASS ($mode): ping, curl (small and big files identical), clean stops"
exit 0
