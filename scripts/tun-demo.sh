#!/usr/bin/env bash
# tun-demo.sh: ordinary programs through the connection command driver, as
# root on this machine. Builds if needed, then starts kxmodem with the
# operator's network on a TUN interface (namespace kxop-demo, 10.64.255.1)
# and a web server there, and runs ping and curl in the handheld's namespace
# through "kxsim tunnel" (KxCmdLogon, then KxCmdSend / KxCmdReceive).
# Usage: scripts/tun-demo.sh [BUILD_DIR|BIN_DIR]   (--without-driver: the plain relay)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
relay=()
for a in "$@"; do
    case $a in
    --without-driver) relay=(--without-driver) ;;
    *) build=$a ;;
    esac
done
bin=$build/bin
[ -x "$build/kxsim" ] && bin=$build # a folder of built programs
[ "$(id -u)" -eq 0 ] || { echo "tun-demo: run this as root (namespaces, TUN interfaces)" >&2; exit 1; }
if [ ! -x "$bin/kxsim" ] || [ ! -x "$bin/kxmodem" ]; then
    "$root/scripts/deps.sh"
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target kxsim kxmodem KxCmdApi >/dev/null
fi

work=$(mktemp -d /tmp/kxtun-demo-XXXXXX)
modem_pid="" http_pid=""
cleanup() {
    set +e
    for pid in $http_pid $modem_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

"$bin/kxmodem" --device-dir "$work/dev" --network tun --network-namespace kxop-demo \
    >"$work/modem.log" 2>&1 &
modem_pid=$!
for _ in $(seq 50); do [ -S "$work/dev/kxmodem.ctl" ] && break; sleep 0.1; done
[ -S "$work/dev/kxmodem.ctl" ] || { cat "$work/modem.log" >&2; exit 1; }
mkdir "$work/www"
echo "Hello from the operator's network, through KxCmdApi." >"$work/www/hello.txt"
ip netns exec kxop-demo python3 -m http.server 8080 --bind 10.64.255.1 \
    --directory "$work/www" >"$work/http.log" 2>&1 &
http_pid=$!
for _ in $(seq 50); do
    ip netns exec kxop-demo curl -sf -o /dev/null http://10.64.255.1:8080/hello.txt && break
    sleep 0.1
done

echo "== kxmodem: operator network 10.64.255.1/16 in namespace kxop-demo; web server on :8080"
"$bin/kxsim" tunnel --device-dir "$work/dev" "${relay[@]}" --stats --exec '
echo "== inside the handheld namespace:"; ip -4 -brief address show dev kxtun0; ip route
echo "== ping 10.64.255.1"; ping -c 3 -i 0.3 10.64.255.1
echo "== curl http://10.64.255.1:8080/hello.txt"; curl -sS http://10.64.255.1:8080/hello.txt'
