#!/usr/bin/env bash
# TCP throughput of real IP traffic between the handheld's namespace and the
# operator's (iperf3), two ways in one run over the same module and the same
# two TUN interfaces:
#   driver: kxsim tunnel, packets through KxCmdSend / KxCmdReceive
#   plain:  kxsim tunnel --without-driver, the data port socket used directly
# Prints, per direction, both throughputs, their ratio (driver / plain; the
# target is at least 0.9) and the CPU time per megabyte of the relay process
# (kxsim tunnel's own threads, with the driver's) and of the module; then, one
# line per pair of runs taken in turn, "relay-cpu-ratio DIRECTION R": the
# driver relay's CPU per megabyte over the plain relay's (the control-path
# benchmark reads these lines).
# Usage: bench/tun_throughput.sh [BIN_DIR] (default build/bin); root only.
# SECONDS_PER_RUN (default 5) sets each iperf3 run's length, REPEAT (default 3)
# how many runs of each kind the medians are taken over.
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bin}
seconds=${SECONDS_PER_RUN:-5}
repeat=${REPEAT:-3}

[ "$(id -u)" -eq 0 ] || { echo "tun_throughput: needs root" >&2; exit 1; }
[ -c /dev/net/tun ] || { echo "tun_throughput: /dev/net/tun is missing" >&2; exit 1; }
for tool in iperf3 ip python3; do
    command -v $tool >/dev/null || { echo "tun_throughput: $tool is missing (scripts/deps.sh)" >&2; exit 1; }
done
paths="driver plain"
if [ ! -f "$bin/KxCmdApi.so" ]; then
    echo "tun_throughput: $bin/KxCmdApi.so is not built: measuring the plain relay only" >&2
    paths="plain"
fi

work=$(mktemp -d /tmp/kxtun-bench-XXXXXX)
op=kxop-bench-$$
hh=kxhh-bench-$$
modem_pid="" iperf_pid=""
cleanup() {
    for pid in $iperf_pid $modem_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    ip netns delete "$hh" 2>/dev/null
    ip netns delete "$op" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$bin/kxmodem" --device-dir "$work/dev" --network tun --network-namespace "$op" \
    >"$work/modem.log" 2>&1 &
modem_pid=$!
for _ in $(seq 50); do [ -S "$work/dev/kxmodem.ctl" ] && break; sleep 0.1; done
ip netns exec "$op" iperf3 -s -B 10.64.255.1 >"$work/iperf-server.log" 2>&1 &
iperf_pid=$!
# A busy machine can take a while to bring the server up: wait until it listens.
for _ in $(seq 100); do
    ip netns exec "$op" ss -ltn 2>/dev/null | grep -q "10.64.255.1:5201" && break
    sleep 0.1
done

ticks=$(getconf CLK_TCK)
modem_cpu() { awk '{print $14 + $15}' "/proc/$modem_pid/stat"; }

# run PATH DIRECTION -> "bits_per_second relay_cpu_s bytes modem_cpu_s"
run() {
    local path=$1 direction=$2 reverse="" options=(--device-dir "$work/dev" --namespace "$hh" --stats)
    [ "$direction" = down ] && reverse=-R
    [ "$path" = plain ] && options+=(--without-driver)
    local before after
    before=$(modem_cpu)
    "$bin/kxsim" tunnel "${options[@]}" \
        --exec "iperf3 -c 10.64.255.1 -t $seconds $reverse -J >'$work/iperf.json'" \
        >"$work/tunnel.log" 2>&1 || { echo "run $path $direction failed:" >&2; cat "$work/tunnel.log" >&2; return 1; }
    after=$(modem_cpu)
    python3 - "$work/iperf.json" "$work/tunnel.log" "$((after - before))" "$ticks" <<'PY'
import json, re, sys
result = json.load(open(sys.argv[1]))
if "error" in result:
    sys.exit("iperf3: " + result["error"])
bps = result["end"]["sum_received"]["bits_per_second"]
stats = open(sys.argv[2]).read()
m = re.search(r"up \d+ packets (\d+) bytes, down \d+ packets (\d+) bytes.*"
              r"cpu user ([\d.]+) s system ([\d.]+) s", stats)
moved = int(m.group(1)) + int(m.group(2))
print(bps, float(m.group(3)) + float(m.group(4)), moved, int(sys.argv[3]) / int(sys.argv[4]))
PY
}

echo "TCP through the simulated module: iperf3, ${seconds} s per run, MTU 1500, median of $repeat"
# The paths take turns, so that a busy machine slows both alike.
for direction in up down; do
    for ((r = 0; r < repeat; r++)); do
        for path in $paths; do
            line=$(run "$path" "$direction") || exit 1
            echo "$path $direction $line" >>"$work/results"
        done
    done
done
python3 - "$work/results" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    path, direction, bps, relay, moved, module = line.split()
    runs.setdefault((path, direction), []).append((float(bps), float(relay), int(moved), float(module)))
print("%-6s %-5s %10s %18s %18s   %s" % ("path", "dir", "Mbit/s", "relay CPU ms/MB",
                                        "module CPU ms/MB", "each run, Mbit/s"))
median = {}
for (path, direction), values in sorted(runs.items(), key=lambda kv: (kv[0][1] != "up", kv[0][0])):
    mbit = statistics.median(v[0] for v in values) / 1e6
    relay = statistics.median(v[1] * 1e3 / (v[2] / 1e6) for v in values)
    module = statistics.median(v[3] * 1e3 / (v[2] / 1e6) for v in values)
    median[(path, direction)] = mbit
    each = " ".join("%.0f" % (v[0] / 1e6) for v in values)
    print("%-6s %-5s %10.1f %18.2f %18.2f   %s" % (path, direction, mbit, relay, module, each))
for direction in ("up", "down"):
    driver, plain = runs.get(("driver", direction), []), runs.get(("plain", direction), [])
    for d, p in zip(driver, plain):
        print("relay-cpu-ratio %s %.3f" % (direction, (d[1] / d[2]) / (p[1] / p[2])))
for direction in ("up", "down"):
    if ("driver", direction) in median and ("plain", direction) in median:
        r = median[("driver", direction)] / median[("plain", direction)]
        print("ratio driver/plain %-4s %.3f (%s)" % (direction, r,
              "meets the 0.9 target" if r >= 0.9 else "below the 0.9 target"))
PY
