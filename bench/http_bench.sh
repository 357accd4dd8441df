#!/usr/bin/env bash
# Throughput of the explicit proxy against nginx served directly and through tinyproxy, all
# on loopback in one run: 1 KiB and 1 MiB bodies kept alive and 1 KiB with a new connection
# per request, each through pemtrox with every exchange excluded from recording and with its
# default settings (every exchange recorded), the recorded/unrecorded ratios, the proxy's CPU
# beside each, and its resident memory with 1,000 idle clients.
#
#   bench/http_bench.sh [seconds-per-run]        (default 10)
#
#   BENCH_RUNS=N           runs of every row, interleaved; the median is printed (default 2)
#   BENCH_NO_RECORDING=1   only the rows with every exchange excluded (forwarding alone)
#   BENCH_WORKS="ka1k ..." only those works (ka1k, ka1m, nc1k; default all three)
#   PEMTROX_BASELINE=PATH  the same pemtrox rows for that binary too, in the same run, and
#                          the current build's figures as a share of the baseline's
#   PEMTROX=PATH           measure that binary as the current build instead of building
#                          this tree's default preset
#   BENCH_PEERS=0          leave tinyproxy out
#   BENCH_PERF=DIR         after the measured runs of each work, one more (uncounted) run of
#                          each current-build proxy under perf record, into DIR
#                          (BENCH_PERF_ARGS, default: cpu-clock at 499 Hz, DWARF call graphs)
#   BENCH_KEEP=1           keep the work directory (recording stores, logs) at exit
#
# The work directory is made under TMPDIR (default /tmp) and holds each proxy's container,
# its recording store included (<work>/<work name>/<build>-<mode>/Recording). Each kind of
# work starts fresh proxies with empty stores; after a work its stores are counted and their
# large body files emptied; the work directory goes at exit. A proxy's next run waits for it
# to be idle again (a recording writer that fell behind shows as "idle after N s").
#
# Installs nginx, wrk and tinyproxy when missing; builds the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
runs=${BENCH_RUNS:-2}
threads=2
conns=50
peers=${BENCH_PEERS:-1}

pkgs=(nginx-light wrk python3)
[[ $peers == 0 ]] || pkgs+=(tinyproxy)
source bench/bench_lib.sh
install_missing "${pkgs[@]}"
if [[ -n ${PEMTROX:-} ]]; then
  pemtrox=$(realpath "$PEMTROX")
else
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target pemtrox >/dev/null
  pemtrox=$PWD/build/default/host/pemtrox
fi
modes=(unrecorded recorded)
[[ "${BENCH_NO_RECORDING:-}" == 1 ]] && modes=(unrecorded)
use_builds "$pemtrox" "${modes[@]}"

origin=$(freeport); tiny=$(freeport)
mkdir -p "$work/www"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"
start_nginx "$origin" "  server { listen 127.0.0.1:$origin; root $work/www; }"

if [[ $peers != 0 ]]; then
  cat >"$work/tinyproxy.conf" <<CONF
Port $tiny
Listen 127.0.0.1
Timeout 600
MaxClients 1000
LogLevel Error
DisableViaHeader Yes
CONF
  tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 & others+=($!)
  tinypid=$!
  waitport "$tiny"
fi

# Every path must answer 200 before anything is measured.
check() { # $1 "-x proxy" or ""
  local f code
  for f in 1k.bin 1m.bin; do
    # shellcheck disable=SC2086
    code=$(curl -s -o /dev/null -w '%{http_code}' $1 "http://127.0.0.1:$origin/$f" || true)
    [[ "$code" == 200 ]] || { echo "GET $f ${1:-direct} answered '$code'" >&2; exit 1; }
  done
}
check ""
[[ $peers == 0 ]] || check "-x http://127.0.0.1:$tiny"

# Fresh proxies for one kind of work, each with a container (and store) of its own.
start_proxies() { # $1 work name
  local name c
  for name in "${proxies[@]}"; do
    c=$work/$1/$name
    mkdir -p "$c"
    [[ $name == *-unrecorded ]] && echo '{"recordingSettings.exclude":[{"enabled":true}]}' >"$c/settings.json"
    port[$name]=$(freeport)
    "${bin[${name%%-*}]}" --port "${port[$name]}" --container "$c" >"$work/$1/$name.log" 2>&1 &
    pid[$name]=$!
  done
  for name in "${proxies[@]}"; do waitport "${port[$name]}"; done
  # The certificate key pool fills at start.
  for name in "${proxies[@]}"; do settle "${pid[$name]}" >/dev/null; done
  for name in "${proxies[@]}"; do check "-x http://127.0.0.1:${port[$name]}"; done
}
stop_proxies() { # $1 work name
  local name store n mib
  for name in "${proxies[@]}"; do
    kill "${pid[$name]}" 2>/dev/null || true
    wait "${pid[$name]}" 2>/dev/null || true
    unset "pid[$name]"
    [[ $name == *-recorded ]] || continue
    store=$work/$1/$name/Recording
    n=$(find "$store" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | wc -l)
    mib=$(du -sm "$store" 2>/dev/null | cut -f1)
    printf 'store\t%s\t%s\t%s\t%s\n' "$1" "$name" "$n" "${mib:-0}" >>"$results"
    printf '  recording store %s: %s exchanges, %s MiB\n' "$store" "$n" "${mib:-0}" >&2
    # Emptied, not removed, until the end: the disk's room comes back without deleting
    # inodes, which on a file system without a journal slows every file made in the next
    # minutes (see README.md).
    [[ ${BENCH_KEEP:-} == 1 ]] || find "$store" -name '*.dat' -size +64k -exec truncate -s 0 {} + 2>/dev/null || true
  done
}

# wrk speaks to a proxy when the request target is the absolute URL.
proxy_script() { # $1 file, $2 extra header lua
  cat >"$work/p-$1-$3.lua" <<LUA
wrk.path = "http://127.0.0.1:$origin/$1"
wrk.headers["Host"] = "127.0.0.1:$origin"
$2
LUA
  echo "$work/p-$1-$3.lua"
}
close_lua='wrk.headers["Connection"] = "close"'
close_script="$work/close.lua"
echo "$close_lua" >"$close_script"

# measure <work> <column> <port> <file> <lua> <pid>: one wrk run, its line on stderr and in
# the results; with a pid, also that server's CPU share (100 % = one core) and the time it
# took to be idle again.
measure() {
  local w=$1 col=$2 p=$3 file=$4 lua=$5 spid=$6
  local args=(-t"$threads" -c"$conns" -d"${duration}s" --latency)
  [[ -n "$lua" ]] && args+=(-s "$lua")
  local before t0 t1 out rps mbs errors cpu idle
  before=$(ticks "$spid"); t0=$(now)
  out=$(wrk "${args[@]}" "http://127.0.0.1:$p/$file" 2>&1)
  t1=$(now)
  cpu=$(awk -v a="$before" -v b="$(ticks "$spid")" -v s="$t0" -v e="$t1" -v hz="$hz" \
    'BEGIN {printf "%.0f", (b - a) * 100 / hz / (e - s)}')
  idle=$(settle "$spid")
  # A recorded 1 MiB run writes gigabytes: its bodies are emptied at once, so that the runs
  # of a work fit on a file system of a few GiB made for them.
  [[ $col != *-recorded || ${BENCH_KEEP:-} == 1 ]] ||
    find "$work/$w/$col/Recording" -name '*.dat' -size +64k -exec truncate -s 0 {} + 2>/dev/null || true
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  mbs=$(awk '/Transfer\/sec/ {v=$2; if (v ~ /GB/) {sub(/GB/,"",v); v*=1024} else if (v ~ /KB/) {sub(/KB/,"",v); v/=1024} else {sub(/MB/,"",v)}; print v}' <<<"$out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out" | tr '\n' ' ')
  printf '  %-28s %12s req/s %9s MiB/s  CPU %4s%%  idle after %ss  %s\n' \
    "$col" "${rps:-0}" "${mbs:-0}" "$cpu" "$idle" "$errors" >&2
  printf 'run\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$w" "$col" "${rps:-0}" "${mbs:-0}" "$cpu" "$idle" "$errors" >>"$results"
}

# profile <work> <name> <file> <lua>: one uncounted run of a proxy under perf record.
profile() {
  local w=$1 name=$2 out=$perfdir/$1-$2.data
  perf record "${perfargs[@]}" -p "${pid[$name]}" -o "$out" -- sleep "$duration" 2>"$out.log" &
  local perfpid=$!
  sleep 0.2
  wrk -t"$threads" -c"$conns" -d"${duration}s" -s "$4" "http://127.0.0.1:${port[$name]}/$3" >/dev/null 2>&1
  wait "$perfpid" || true
  settle "${pid[$name]}" >/dev/null
  echo "  profile of $name: $out" >&2
}

# The resident memory of every proxy with 1,000 idle client connections.
idle_rss() {
  local name rss
  for name in "${proxies[@]}"; do
    rss=$(python3 - "${port[$name]}" "${pid[$name]}" <<'PY'
import resource, socket, sys, time
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
port, pid = int(sys.argv[1]), sys.argv[2]
def rss():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(1000)]
time.sleep(2)
print(f"{rss()/1024:.1f}")
PY
)
    printf '  %-28s resident %s MiB with 1,000 idle clients\n' "$name" "$rss" >&2
    printf 'rss\t%s\t%s\n' "$name" "$rss" >>"$results"
  done
}

# run_work <name> <title> <file> <direct lua> <proxy lua>
run_work() {
  local w=$1 file=$3 dlua=$4 plua name
  plua=$(proxy_script "$file" "$5" "$w")
  echo "== $2 (load average $(loadavg)) ==" >&2
  start_proxies "$w"
  for _ in $(seq "$runs"); do
    measure "$w" direct "$origin" "$file" "$dlua" "$nginxworker"
    for name in "${proxies[@]}"; do measure "$w" "$name" "${port[$name]}" "" "$plua" "${pid[$name]}"; done
    [[ $peers == 0 ]] || measure "$w" tinyproxy "$tiny" "" "$plua" "$tinypid"
  done
  if [[ -n ${perfdir:-} ]]; then
    for name in "${proxies[@]}"; do [[ $name == current-* ]] && profile "$w" "$name" "" "$plua"; done
  fi
  [[ $w == nc1k ]] && idle_rss
  stop_proxies "$w"
}

load_start=$(loadavg)
echo "== wrk -t$threads -c$conns -d${duration}s, $runs run(s) each, loopback, nginx with one worker ==" >&2
echo "== current: $pemtrox${bin[baseline]:+; baseline: ${bin[baseline]}} ==" >&2
echo "== work directory (recording stores): $work ==" >&2
wants ka1k && run_work ka1k "1 KiB kept alive" 1k.bin "" ""
wants ka1m && run_work ka1m "1 MiB kept alive" 1m.bin "" ""
wants nc1k && run_work nc1k "1 KiB, a new connection per request" 1k.bin "$close_script" "$close_lua"

echo
echo "wrk -t$threads -c$conns -d${duration}s, median of $runs, loopback, nginx with one worker;" \
  "load average $load_start at the start, $(loadavg) at the end ($(nproc) cores)"
python3 - "$results" "$peers" <<'PY'
import statistics, sys
from collections import defaultdict
path, peers = sys.argv[1], sys.argv[2] != "0"
runs, stores, rss = defaultdict(list), {}, {}
for line in open(path):
    f = line.rstrip("\n").split("\t")
    if f[0] == "run":
        runs[(f[1], f[2])].append((float(f[3] or 0), float(f[4] or 0), float(f[5] or 0), float(f[6] or 0), f[7].strip()))
    elif f[0] == "store":
        stores[(f[1], f[2])] = (f[3], f[4])
    elif f[0] == "rss":
        rss[f[1]] = f[2]
names = {"ka1k": "1 KiB kept alive", "ka1m": "1 MiB kept alive", "nc1k": "1 KiB, new connection per request"}
works = [("ka1k", "1 KiB kept alive, req/s", 0), ("ka1m", "1 MiB kept alive, MiB/s", 1),
         ("nc1k", "1 KiB, new connection per request, req/s", 0)]
builds = [b for b in ("current", "baseline") if any(k[1].startswith(b + "-") for k in runs)]
recorded = any(k[1].endswith("-recorded") for k in runs)

def med(w, col, i):
    v = runs.get((w, col))
    return statistics.median(r[i] for r in v) if v else None

def num(x, unit):
    return "" if x is None else (f"{x:,.0f}" if unit == 0 else f"{x:,.1f}")

def cell(w, col, unit, direct):
    x = med(w, col, unit)
    if x is None:
        return ""
    notes = []
    if direct:
        notes.append(f"{x / direct:.2f}×")
    notes.append(f"{med(w, col, 2):.0f} % CPU")
    idle = med(w, col, 3)
    if idle >= 1:
        notes.append(f"idle after {idle:.1f} s")
    if any(r[4] for r in runs[(w, col)]):
        notes.append("errors")
    return f"{num(x, unit)} ({', '.join(notes)})"

def ratio(a, b):
    return f"{a / b:.2f}×" if a is not None and b else ""

head = ["work", "build", "nginx direct", "pemtrox, recording excluded"]
if recorded:
    head += ["pemtrox, default settings (recording on)", "recorded / unrecorded"]
if peers:
    head.append("tinyproxy")
print("| " + " | ".join(head) + " |")
print("|" + "---|" * len(head))
for w, title, unit in works:
    if not any(k[0] == w for k in runs):
        continue
    direct = med(w, "direct", unit)
    for b in builds:
        row = [title if b == builds[0] else "", b, num(direct, unit) if b == builds[0] else "",
               cell(w, f"{b}-unrecorded", unit, direct)]
        if recorded:
            row += [cell(w, f"{b}-recorded", unit, direct),
                    ratio(med(w, f"{b}-recorded", unit), med(w, f"{b}-unrecorded", unit))]
        if peers:
            row.append(cell(w, "tinyproxy", unit, direct) if b == builds[0] else "")
        print("| " + " | ".join(row) + " |")
    if len(builds) == 2:
        row = ["", "current ÷ baseline", "",
               ratio(med(w, "current-unrecorded", unit), med(w, "baseline-unrecorded", unit))]
        if recorded:
            row += [ratio(med(w, "current-recorded", unit), med(w, "baseline-recorded", unit)), ""]
        if peers:
            row.append("")
        print("| " + " | ".join(row) + " |")
for b in builds if rss else []:
    row = ["resident MiB, 1,000 idle clients" if b == builds[0] else "", b, "", rss.get(f"{b}-unrecorded", "")]
    if recorded:
        row += [rss.get(f"{b}-recorded", ""), ""]
    if peers:
        row.append("")
    print("| " + " | ".join(row) + " |")
if stores:
    print()
    for (w, name), (n, mib) in stores.items():
        print(f"recording store of {name}, {names[w]}: {n} exchanges, {mib} MiB")
PY
