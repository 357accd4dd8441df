#!/usr/bin/env bash
# TCP throughput through LWIP mode against the kernel's own path between the same two
# network namespaces: iperf3 from a client namespace to a server namespace, once over a
# veth pair (kernel) and once through the tunnel (pemtrox --mode LWIP runs in the server
# namespace and takes the client's default routes: TUN device, stack, catch-all relay),
# both directions, one stream and eight. Prints Gbit/s, the tunnel/kernel ratio and
# pemtrox's CPU (100% = one core). Needs root.
# Usage: bench/lwip_bench.sh [seconds]   (BUILD=build/default by default; PEMTROX=path
# measures that program instead)
set -euo pipefail
secs=${1:-5}
build=${BUILD:-build/default}
program=${PEMTROX:-$build/host/pemtrox}
command -v iperf3 >/dev/null || apt-get install -y iperf3 >/dev/null
command -v jq >/dev/null || apt-get install -y jq >/dev/null
cli=pxbc$$ srv=pxbs$$ dir=$(mktemp -d /tmp/pxbench.XXXXXX)
cleanup() {
    [ -n "${nodepid:-}" ] && kill "$nodepid" 2>/dev/null && wait "$nodepid" 2>/dev/null
    [ -n "${iperfpid:-}" ] && kill "$iperfpid" 2>/dev/null
    ip netns del "$cli" 2>/dev/null || true
    ip netns del "$srv" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
ip netns add "$cli"
ip netns add "$srv"
ip -n "$srv" link set lo up
ip -n "$srv" addr add 10.78.0.1/32 dev lo # reached through the tunnel
ip link add pxbv0 netns "$srv" type veth peer name pxbv1 netns "$cli"
ip -n "$srv" addr add 10.77.0.1/24 dev pxbv0 && ip -n "$srv" link set pxbv0 up
ip -n "$cli" addr add 10.77.0.2/24 dev pxbv1 && ip -n "$cli" link set pxbv1 up
ip netns exec "$srv" iperf3 -s -D -I "$dir/iperf.pid" >/dev/null
sleep 0.5
iperfpid=$(cat "$dir/iperf.pid")
ip netns exec "$srv" "$program" --mode LWIP --netns "$cli" --container "$dir" >"$dir/node.log" 2>&1 &
nodepid=$!
for _ in $(seq 100); do grep -q Running "$dir/node.log" 2>/dev/null && break; sleep 0.1; done
grep -q Running "$dir/node.log" || { cat "$dir/node.log"; exit 1; }
sleep 3 # the certificate key pool fills at start

ticks() { awk '{print $14 + $15}' "/proc/$nodepid/stat"; }
run() { # address, extra iperf3 options -> Gbit/s
    ip netns exec "$cli" iperf3 -c "$1" -t "$secs" -J $2 | jq '.end.sum_received.bits_per_second / 1e9'
}
hz=$(getconf CLK_TCK)
printf '%-22s %10s %10s %7s %12s\n' case kernel tunnel ratio "pemtrox CPU"
for streams in 1 8; do
    for dir_opt in "" "-R"; do
        name="$streams stream(s) $([ -z "$dir_opt" ] && echo up || echo down)"
        kernel=$(run 10.77.0.1 "-P $streams $dir_opt")
        before=$(ticks)
        tunnel=$(run 10.78.0.1 "-P $streams $dir_opt")
        cpu=$(( ( $(ticks) - before ) * 100 / (hz * secs) ))
        printf '%-22s %10.2f %10.2f %7.3f %11s%%\n' "$name" "$kernel" "$tunnel" \
            "$(echo "$tunnel / $kernel" | bc -l)" "$cpu"
    done
done
