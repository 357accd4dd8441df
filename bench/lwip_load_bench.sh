#!/usr/bin/env bash
# Connection load through LWIP mode against the same load straight to the server, in one run:
# 1,000, 5,000 and 10,000 connections at once of 20 KB each, then 200 of 10 MB (every byte
# checked). pemtrox --mode LWIP runs in the server namespace and takes the client namespace's
# default routes (TUN device, stack, catch-all relay); the direct load runs in the server
# namespace itself. For each load and path: completed / refused / hung (no end within 120 s)
# / broken, wall time, and after the load the time until a new connection is served. Each
# tunnel load gets a fresh program, whose peak resident memory and stack heap (peak, and in
# use after the load and the probe, as it logs them when it stops) are that load's; a program
# that died says so. Needs root.
# Usage: bench/lwip_load_bench.sh   (BUILD=build/default by default; BENCH_NO_RECORDING=1
# excludes every exchange from recording; LOADS="1000x20480 ..." picks other loads)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/default}
program=$build/host/pemtrox
tool=$PWD/tests/support/tunnel/tcp_load.py
loads=${LOADS:-"1000x20480 5000x20480 10000x20480 200x10485760"}
command -v jq >/dev/null || apt-get install -y jq >/dev/null
cli=pxlc$$ srv=pxls$$ dir=$(mktemp -d /tmp/pxloadbench.XXXXXX)
nodepid= serverpid=
cleanup() {
    local status=$?
    for pid in $nodepid $serverpid; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
    ip netns del "$cli" 2>/dev/null || true
    ip netns del "$srv" 2>/dev/null || true
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
ip netns add "$cli"
ip netns add "$srv"
ip -n "$srv" link set lo up
ip -n "$srv" addr add 10.78.0.1/32 dev lo # the tunnel reaches it; srv itself over loopback
ip netns exec "$srv" sysctl -qw net.core.somaxconn=16384 net.ipv4.tcp_max_syn_backlog=16384
ip netns exec "$srv" python3 -u "$tool" serve 10.78.0.1 8080 >"$dir/server.log" 2>&1 &
serverpid=$!
mkdir -p "$dir/container"
if [[ "${BENCH_NO_RECORDING:-}" == 1 ]]; then
    echo '{"recordingSettings.exclude":[{"enabled":true}]}' >"$dir/container/settings.json"
fi

# A fresh program for each load, so that its peaks are that load's.
start_program() {
    : >"$dir/node.log"
    ip netns exec "$srv" "$program" --mode LWIP --netns "$cli" --container "$dir/container" \
        >"$dir/node.log" 2>&1 &
    nodepid=$!
    for _ in $(seq 100); do grep -q "Running; app messages" "$dir/node.log" && break; sleep 0.1; done
    grep -q "Running; app messages" "$dir/node.log" || { cat "$dir/node.log"; exit 1; }
    sleep 3 # the certificate key pool fills at start
}
running() { kill -0 "$nodepid" 2>/dev/null; }
# Stops the program and sets heap to the stack's heap as it logs it at its stop: "peak/in use"
# (not in a subshell: only this shell can wait for the program).
stop_program() {
    { kill "$nodepid" && wait "$nodepid"; } 2>/dev/null || true
    nodepid=
    heap=$(sed -n 's/.*Stack heap: \([0-9]*\) bytes in use, peak \([0-9]*\) of.*/\2\/\1/p' "$dir/node.log" | tail -1)
}
row() { # path, load, JSON counts, probe seconds, [peak rss kB, heap, note]
    local j=$3
    printf '%-7s %-14s %6s %7s %5s %6s %8s %9s %10s %16s %s\n' "$1" "$2" \
        "$(jq -r .ok <<<"$j")" "$(jq -r .refused <<<"$j")" "$(jq -r .hung <<<"$j")" \
        "$(jq -r .broken <<<"$j")" "$(jq -r .seconds <<<"$j")" "$4" "${5:--}" "${6:--}" "${7:-}"
}

for _ in $(seq 100); do grep -q READY "$dir/server.log" && break; sleep 0.1; done
grep -q READY "$dir/server.log" || { cat "$dir/server.log"; exit 1; }
none='{"ok":0,"refused":0,"hung":0,"broken":0,"seconds":0}'
printf '%-7s %-14s %6s %7s %5s %6s %8s %9s %10s %16s %s\n' path load ok refused hung broken "wall s" \
    "probe s" "peak kB" "heap peak/after" note
for load in $loads; do
    count=${load%x*} size=${load#*x}
    label="$count x $((size / 1024))K"
    direct=$(ip netns exec "$srv" python3 "$tool" load 10.78.0.1 8080 "$count" "$size" 120)
    row direct "$label" "$direct" "$(ip netns exec "$srv" python3 "$tool" probe 10.78.0.1 8080 30)"
    start_program
    tunnel=$(ip netns exec "$cli" python3 "$tool" load 10.78.0.1 8080 "$count" "$size" 120 || echo "$none")
    probe=$(ip netns exec "$cli" python3 "$tool" probe 10.78.0.1 8080 30)
    note=
    if running; then
        peak=$(awk '/^VmHWM/ {print $2}' "/proc/$nodepid/status")
        stop_program
    else
        peak=- note="(the program died: $(grep -m1 -iE 'fatal|assert' "$dir/node.log" || true))"
        stop_program
    fi
    row tunnel "$label" "$tunnel" "$probe" "$peak" "${heap:-n/a}" "$note"
done
