#!/usr/bin/env bash
# A UDP burst through LWIP mode beside the same burst sent straight from the gateway namespace
# and through slirp4netns and pasta (installed when missing), in one run: DATAGRAMS datagrams
# (5,000) from SOCKETS sockets (500), one from each in turn as fast as they go, to an echo
# server in a server namespace behind a veth pair. Each user-space stack runs in the gateway
# namespace and carries a client namespace of its own. Per path: answers (and their share of
# what was sent), the drops counted on the client's device (the queue the stack reads) and
# the CPU seconds the stack spent on the burst and its resident memory after it; every path runs RUNS times (3),
# interleaved, and the median run by share is shown. The echo server keeps the system's
# default receive buffer, so the direct path loses datagrams at the server; ECHO_RCVBUF=bytes
# gives it a buffer that holds the whole burst, and then every loss is the path's own.
# Needs root.
# Usage: bench/lwip_udp_bench.sh   (BUILD=build/default by default; PEMTROX=path measures
# that program; SOCKETS, DATAGRAMS, SIZE, RUNS, ECHO_RCVBUF)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/default}
program=${PEMTROX:-$build/host/pemtrox}
tool=$PWD/tests/support/tunnel/udp_burst.py
sockets=${SOCKETS:-500} datagrams=${DATAGRAMS:-5000} size=${SIZE:-64} runs=${RUNS:-3}
install_missing() {
    local p need=()
    for p in "$@"; do
        [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == "install ok installed" ]] || need+=("$p")
    done
    ((${#need[@]} == 0)) || apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
}
install_missing jq bc slirp4netns passt || echo "(slirp4netns or passt could not be installed: their rows are left out)" >&2
id=$$
cli=pxuc$id gw=pxug$id srv=pxus$id dir=$(mktemp -d /tmp/pxudpbench.XXXXXX)
pids=() spaces=("$cli" "$gw" "$srv")
cleanup() {
    local status=$?
    for pid in "${pids[@]}"; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
    for space in "${spaces[@]}"; do ip netns del "$space" 2>/dev/null || true; done
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
for space in "$cli" "$gw" "$srv"; do ip netns add "$space" && ip -n "$space" link set lo up; done
ip link add pxug$id netns "$gw" type veth peer name pxus$id netns "$srv"
ip -n "$gw" addr add 192.0.2.1/24 dev pxug$id && ip -n "$gw" link set pxug$id up
ip -n "$srv" addr add 192.0.2.2/24 dev pxus$id && ip -n "$srv" link set pxus$id up
ip -n "$srv" addr add 203.0.113.10/32 dev lo
ip -n "$gw" route add default via 192.0.2.2
ip netns exec "$srv" python3 -u "$tool" echo 203.0.113.10 7 ${ECHO_RCVBUF:-} >"$dir/echo.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$dir/echo.log" && break; sleep 0.1; done
grep -q READY "$dir/echo.log" || { cat "$dir/echo.log"; exit 1; }

hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# The client-side device's drops: packets the kernel had for the stack and could not queue.
drops() { $1 cat "/sys/class/net/$2/statistics/tx_dropped"; }

# Each path: a command prefix that runs a command in its client namespace, its device there
# and the stack's process (none for the direct path).
declare -A enter device stack
paths=(direct)
enter[direct]="ip netns exec $gw" device[direct]=pxug$id stack[direct]=

ip netns exec "$gw" "$program" --mode LWIP --netns "$cli" --container "$dir" >"$dir/node.log" 2>&1 &
pids+=($!)
stack[tunnel]=$!
for _ in $(seq 100); do grep -q "Running; app messages" "$dir/node.log" && break; sleep 0.1; done
grep -q "Running; app messages" "$dir/node.log" || { cat "$dir/node.log"; exit 1; }
sleep 3 # the certificate key pool fills at start
paths+=(tunnel)
enter[tunnel]="ip netns exec $cli" device[tunnel]=$(ip -n "$cli" -o link | awk -F': ' '/pemtrox/ {print $2; exit}')

# slirp4netns and pasta each carry a client namespace of their own.
if command -v slirp4netns >/dev/null; then
    ip netns add "pxuS$id"
    spaces+=("pxuS$id")
    ip netns exec "$gw" slirp4netns --configure --mtu=65520 --disable-host-loopback --netns-type=path \
        "/run/netns/pxuS$id" tap0 >"$dir/slirp.log" 2>&1 &
    pids+=($!)
    stack[slirp4netns]=$!
    for _ in $(seq 50); do ip -n "pxuS$id" -o addr show tap0 2>/dev/null | grep -q inet && break; sleep 0.1; done
    paths+=(slirp4netns)
    enter[slirp4netns]="ip netns exec pxuS$id" device[slirp4netns]=tap0
fi
if command -v pasta >/dev/null; then
    ip netns add "pxuP$id"
    spaces+=("pxuP$id")
    # As root pasta would change to nobody, who may not enter the namespace.
    ip netns exec "$gw" pasta --config-net --foreground --quiet --runas 0:0 -4 --netns "pxuP$id" \
        >"$dir/pasta.log" 2>&1 &
    pids+=($!)
    stack[pasta]=$!
    for _ in $(seq 50); do ip -n "pxuP$id" route show default 2>/dev/null | grep -q . && break; sleep 0.1; done
    paths+=(pasta)
    enter[pasta]="ip netns exec pxuP$id" device[pasta]=pxug$id # pasta names its device after gw's
fi

declare -A results
for run in $(seq "$runs"); do
    for path in "${paths[@]}"; do
        d0=$(drops "${enter[$path]}" "${device[$path]}")
        [[ -n ${stack[$path]} ]] && c0=$(ticks "${stack[$path]}")
        out=$(${enter[$path]} python3 "$tool" burst 203.0.113.10 7 "$sockets" "$datagrams" "$size")
        d1=$(drops "${enter[$path]}" "${device[$path]}")
        cpu=- rss=-
        if [[ -n ${stack[$path]} ]]; then
            cpu=$(awk -v c=$(( $(ticks "${stack[$path]}") - c0 )) -v hz="$hz" 'BEGIN {printf "%.2f", c / hz}')
            rss=$(awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/${stack[$path]}/status")
        fi
        results[$path]+="$(jq -r .share <<<"$out") $(jq -r .answered <<<"$out") $((d1 - d0)) $cpu $rss"$'\n'
    done
done
printf '%-12s %8s %8s %8s %12s %8s   (%s datagrams of %s bytes from %s sockets, median of %s runs)\n' \
    path answers share drops "stack CPU s" "RSS MB" "$datagrams" "$size" "$sockets" "$runs"
for path in "${paths[@]}"; do
    read -r share answered dropped cpu rss < <(sort -n <<<"${results[$path]}" | sed '/^$/d' | awk -v n="$runs" 'NR == int((n + 1) / 2)')
    printf '%-12s %8s %7.1f%% %8s %12s %8s\n' "$path" "$answered" "$(echo "$share * 100" | bc -l)" "$dropped" \
        "$cpu" "$rss"
done
