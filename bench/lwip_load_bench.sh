#!/usr/bin/env bash
# Connection load through LWIP mode beside the same load straight to the server and through
# the other user-space stacks that carry a namespace's traffic (slirp4netns, pasta), in one
# run: 1,000, 5,000 and 10,000 connections of 20 KB each, opened as fast as possible ("fast")
# and all opened before any asks for its bytes ("first"), then 200 of 10 MB (every byte
# checked). pemtrox --mode LWIP runs in the server namespace and takes the client namespace's
# default routes (TUN device, stack, catch-all relay); the direct load runs in the server
# namespace itself; slirp4netns and pasta run there too, each for its own client namespace.
# For each load and path: completed / refused / hung (no end within 120 s) / broken, wall
# time, the longest connect and the longest any connection waited for its connect or its
# next bytes, the aggregate rate, the carrying program's CPU seconds, peak resident memory
# and most descriptors open, and for pemtrox the stack heap (peak, and in use after the
# load) and its connections (peak, and reset at the limit), as it logs them when it stops.
# Each load gets a fresh carrying program, so its peaks are that load's; a program that died
# says so.
# Then the hostile loads, through LWIP mode alone, each toward the catch-all relay
# (10.78.0.1:8080) and toward the proxy on the stack (198.18.72.253:8888) on a fresh program:
# "stall:N", N 10 MB downloads whose apps stop reading after the response's head and keep
# their connections; "vanish:N", N such downloads whose hosts then vanish (an nftables table in
# the client namespace drops every packet of their ports: they acknowledge nothing again and
# never reset); "flood:N", N SYNs from made-up sources written through a raw socket. While
# each lasts (HOSTILE_SECONDS, 40 by default), a new connection downloads 1 KiB every second
# (at most 5 s each) the same way: how many were served, how many within a second, the median
# and longest time to the first response bytes, and from when on every one was served within a
# second ("steady", "never" if the last was not); then what the hostile clients still held,
# the stack's heap and connections, and the connections it reset for acknowledging nothing
# under memory pressure and the SYNs it answered without state (cookies), as logged at its stop.
# Needs root; installs jq, slirp4netns, passt (pasta) and nftables when missing.
# Usage: bench/lwip_load_bench.sh   (BUILD=build/default by default; PEMTROX=path measures
# that program instead; BENCH_NO_RECORDING=1 excludes every exchange from recording;
# LOADS="1000x20480:fast ..." picks other loads; PATHS="direct tunnel slirp4netns pasta";
# HOSTILE="stall:150 vanish:150 flood:8000 flood:30000" the hostile loads ("" for none);
# TARGETS="relay proxy"; FAMILIES="4 6" runs them over IPv6 as well (the relay only: the proxy
# on the stack has an IPv4 address alone), or "6" alone)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh
build=${BUILD:-build/default}
program=$(realpath "${PEMTROX:-$build/host/pemtrox}")
tool=$PWD/tests/support/tunnel/tcp_load.py
hostile=$PWD/tests/support/tunnel/hostile_clients.py
loads=${LOADS-"1000x20480:fast 1000x20480:first 5000x20480:fast 5000x20480:first 10000x20480:fast 10000x20480:first 200x10485760:fast"}
paths=${PATHS-"direct tunnel slirp4netns pasta"}
hostiles=${HOSTILE-"stall:150 vanish:150 flood:8000 flood:30000"}
targets=${TARGETS:-"relay proxy"}
families=${FAMILIES:-4}
install_missing jq slirp4netns passt nftables
cli=pxlc$$ srv=pxls$$ slc=pxlsl$$ pac=pxlp$$ gwo=pxlo$$ dir=$work
nodepid= serverpid= samplerpid= hostilepid=
teardown() {
    for pid in $hostilepid $samplerpid $nodepid $serverpid; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
    for ns in "$cli" "$srv" "$slc" "$pac" "$gwo"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap 'teardown; cleanup' EXIT
for ns in "$cli" "$srv" "$slc" "$pac" "$gwo"; do ip netns add "$ns"; done
ip -n "$srv" link set lo up
ip -n "$srv" addr add 10.78.0.1/32 dev lo # the tunnel reaches it; srv itself over loopback
ip -n "$srv" addr add fd78::1/128 dev lo nodad # the same for IPv6 (the hostile loads' FAMILIES=6)
# pasta copies the addresses and default route of an outward interface: a veth to a namespace
# of its own gives it one (the load itself never leaves srv).
ip link add pxlv0 netns "$srv" type veth peer name pxlv1 netns "$gwo"
ip -n "$srv" addr add 10.79.0.1/24 dev pxlv0 && ip -n "$srv" link set pxlv0 up
ip -n "$gwo" addr add 10.79.0.254/24 dev pxlv1 && ip -n "$gwo" link set pxlv1 up
ip -n "$srv" route add default via 10.79.0.254
ip netns exec "$srv" sysctl -qw net.core.somaxconn=16384 net.ipv4.tcp_max_syn_backlog=16384
ip netns exec "$srv" python3 -u "$tool" serve 10.78.0.1 8080 >"$dir/server.log" 2>&1 &
serverpid=$!
ip netns exec "$srv" python3 -u "$tool" serve fd78::1 8080 >"$dir/server6.log" 2>&1 &
serverpid="$serverpid $!"
mkdir -p "$dir/container"
if [[ "${BENCH_NO_RECORDING:-}" == 1 ]]; then
    echo '{"recordingSettings.exclude":[{"enabled":true}]}' >"$dir/container/settings.json"
fi

# A fresh carrying program for each load and path, so that its peaks are that load's; sets
# nodepid and the namespace its clients run in (space), or returns 1 when it cannot carry.
start_carrier() {
    : >"$dir/node.log"
    case $1 in
    tunnel)
        ip netns exec "$srv" "$program" --mode LWIP --netns "$cli" --container "$dir/container" \
            >"$dir/node.log" 2>&1 &
        nodepid=$! space=$cli
        for _ in $(seq 100); do grep -q "Running; app messages" "$dir/node.log" && break; sleep 0.1; done
        grep -q "Running; app messages" "$dir/node.log" || { cat "$dir/node.log"; exit 1; }
        sleep 3 # the certificate key pool fills at start
        ;;
    slirp4netns)
        ip netns exec "$srv" slirp4netns --configure --mtu=65520 --netns-type=path "/run/netns/$slc" tap0 \
            >"$dir/node.log" 2>&1 &
        nodepid=$! space=$slc
        ;;
    pasta)
        ip netns exec "$srv" pasta --config-net -4 --runas 0 -f --netns "/run/netns/$pac" \
            >"$dir/node.log" 2>&1 &
        nodepid=$! space=$pac
        ;;
    esac
    [[ $(ip netns exec "$space" python3 "$tool" probe 10.78.0.1 8080 10) != none ]] || {
        stop_carrier
        return 1
    }
    # The most descriptors it holds at once, sampled every 0.2 s.
    (
        most=0
        while kill -0 "$nodepid" 2>/dev/null; do
            n=$(ls "/proc/$nodepid/fd" 2>/dev/null | wc -l)
            ((n > most)) && most=$n && echo "$most" >"$dir/fds"
            sleep 0.2
        done
    ) &
    samplerpid=$!
}
running() { kill -0 "$nodepid" 2>/dev/null; }
# Stops the carrier; for pemtrox sets heap to "peak/in use" and conns to "peak/reset" as it logs
# them at its stop (not in a subshell: only this shell can wait for the program).
stop_carrier() {
    { kill "$nodepid" && wait "$nodepid"; } 2>/dev/null || true
    { kill "$samplerpid" && wait "$samplerpid"; } 2>/dev/null || true
    nodepid= samplerpid=
    heap=$(sed -n 's/.*Stack heap: \([0-9]*\) bytes in use, peak \([0-9]*\) of.*/\2\/\1/p' "$dir/node.log" | tail -1)
    conns=$(sed -n 's/.*Stack connections: [0-9]* now, peak \([0-9]*\) of [0-9]*, \([0-9]*\) reset.*/\1\/\2/p' \
        "$dir/node.log" | tail -1)
    rules=$(sed -n 's/.*Stack memory rules: \([0-9]*\) silent connections reset, \([0-9]*\) SYNs answered without state.*/\1\/\2/p' \
        "$dir/node.log" | tail -1)
}
format='%-11s %-15s %5s %7s %5s %6s %7s %8s %7s %8s %7s %9s %6s %12s %s\n'
row() { # path, load, JSON counts, size, [cpu s, peak kB, fds, heap, conns, note]
    local j=$3
    printf "$format" "$1" "$2" "$(jq -r .ok <<<"$j")" "$(jq -r .refused <<<"$j")" "$(jq -r .hung <<<"$j")" \
        "$(jq -r .broken <<<"$j")" "$(jq -r .seconds <<<"$j")" "$(jq -r .connect_max <<<"$j")" \
        "$(jq -r .wait_max <<<"$j")" "$(jq -r --argjson s "$4" 'if .seconds > 0 then (.ok * $s / .seconds / 1048576 * 10 | round / 10) else 0 end' <<<"$j")" \
        "${5:--}" "${6:--}" "${7:--}" "${8:--}/${9:--}" "${10:-}"
}

for _ in $(seq 100); do grep -q READY "$dir/server.log" && break; sleep 0.1; done
grep -q READY "$dir/server.log" || { cat "$dir/server.log"; exit 1; }
none='{"ok":0,"refused":0,"hung":0,"broken":0,"seconds":0,"connect_max":0,"wait_max":0}'
echo "load: $(loadavg); pemtrox: $program"
printf "$format" path load ok refused hung broken "wall s" "conn max" "wait s" "MiB/s" "CPU s" "peak kB" fds \
    "heap/conns" note
for load in $loads; do
    shape=${load%:*} mode=${load#*:}
    count=${shape%x*} size=${shape#*x}
    label="$count x $((size / 1024))K $mode"
    [[ $mode == first ]] && first=first || first=
    for path in $paths; do
        if [[ $path == direct ]]; then
            row direct "$label" "$(ip netns exec "$srv" python3 "$tool" load 10.78.0.1 8080 "$count" "$size" 120 $first)" \
                "$size"
            continue
        fi
        start_carrier "$path" || {
            printf "$format" "$path" "$label" - - - - - - - - - - - - "(cannot carry traffic here: $(grep -v syslog "$dir/node.log" | tail -1))"
            continue
        }
        before=$(ticks "$nodepid")
        result=$(ip netns exec "$space" python3 "$tool" load 10.78.0.1 8080 "$count" "$size" 120 $first || echo "$none")
        note=
        if running; then
            cpu=$(awk -v t=$(($(ticks "$nodepid") - before)) -v hz="$hz" 'BEGIN {printf "%.1f", t / hz}')
            peak=$(awk '/^VmHWM/ {print $2}' "/proc/$nodepid/status")
        else
            cpu=- peak=- note="(the program died: $(grep -m1 -iE 'fatal|assert|error' "$dir/node.log" || true))"
        fi
        stop_carrier
        row "$path" "$label" "$result" "$size" "$cpu" "$peak" "$(cat "$dir/fds" 2>/dev/null || echo -)" \
            "${heap:--}" "${conns:--}" "$note"
        heap= conns=
        rm -f "$dir/fds"
    done
done

[[ -n $hostiles ]] || exit 0
echo
echo "hostile loads, load: $(loadavg); a new 1 KiB download every second for ${HOSTILE_SECONDS:-40} s meanwhile"
hformat='%-7s %-12s %-22s %6s %6s %6s %8s %7s %7s %-24s %12s %13s %s\n'
printf "$hformat" target load "hostile clients" probes served "<1 s" "median s" "max s" steady "at the end" heap/conns \
    "silent/cookie" note
for family in $families; do for load in $hostiles; do
    kind=${load%:*} count=${load#*:}
    for target in $targets; do
        # The sampler and the downloads go to the server, through the proxy for "proxy"; the
        # flood goes to what the target listens on. The proxy on the stack has an IPv4 address
        # alone: over IPv6, the relay only.
        server=10.78.0.1
        if [[ $family == 6 ]]; then
            [[ $target == proxy ]] && continue
            server=fd78::1
        fi
        if [[ $target == proxy ]]; then via=198.18.72.253:8888 synto="198.18.72.253 8888"; else via= synto="$server 8080"; fi
        start_carrier tunnel || {
            printf "$hformat" "$target$family" "$kind $count" - - - - - - - - - - "(cannot carry traffic here)"
            continue
        }
        : >"$dir/hostile.log"
        setup=
        case $kind in
        stall | vanish)
            ip netns exec "$cli" python3 -u "$hostile" "$kind" "$server" 8080 "$count" 10485760 3600 $via \
                >"$dir/hostile.log" 2>&1 &
            hostilepid=$!
            for _ in $(seq 900); do grep -qE "STALLED|VANISHED" "$dir/hostile.log" && break; sleep 0.1; done
            setup=$(grep -m1 -E "STALLED|VANISHED" "$dir/hostile.log" | tr 'A-Z' 'a-z' || echo "not set up")
            ;;
        flood)
            ip netns exec "$cli" python3 -u "$hostile" flood $synto "$count" >"$dir/hostile.log" 2>&1 &
            hostilepid=$!
            ;;
        esac
        result=$(ip netns exec "$cli" python3 "$hostile" sample "$server" 8080 "${HOSTILE_SECONDS:-40}" 1 5 $via)
        { kill "$hostilepid" && wait "$hostilepid"; } 2>/dev/null || true
        hostilepid=
        end=$(tail -1 "$dir/hostile.log")
        if [[ $kind == flood ]]; then
            setup=$(jq -r '"\(.sent) sent in \(.seconds) s"' <<<"$end" 2>/dev/null || echo "?")
            at_end=$(jq -r '"\(.dropped) dropped by dev"' <<<"$end" 2>/dev/null || echo "?")
        else
            at_end=$(jq -r '"held \(.held) reset \(.reset)"' <<<"$end" 2>/dev/null || echo "?")
        fi
        note=
        running || note="(the program died: $(grep -m1 -iE 'fatal|assert|error' "$dir/node.log" || true))"
        stop_carrier
        printf "$hformat" "$target$family" "$kind $count" "$setup" "$(jq -r .probes <<<"$result")" \
            "$(jq -r .served <<<"$result")" "$(jq -r .within_1s <<<"$result")" "$(jq -r '.median // "-"' <<<"$result")" \
            "$(jq -r '.max // "-"' <<<"$result")" "$(jq -r '.steady_from // "never"' <<<"$result")" "$at_end" \
            "${heap:--}/${conns:--}" "${rules:--}" "$note"
        if [[ -n ${HOSTILE_VERBOSE:-} ]]; then echo "        probes: $(jq -c .times <<<"$result")"; fi
        heap= conns= rules=
        rm -f "$dir/fds"
    done
done; done
