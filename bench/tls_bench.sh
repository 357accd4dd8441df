#!/usr/bin/env bash
# Intercepted HTTPS through pemtrox against the same client speaking TLS to nginx directly,
# in one run on loopback: requests/s kept alive and with a new tunnel and full handshake per
# request, each through pemtrox with every exchange excluded from recording and with its
# default settings (every exchange recorded), the recorded/unrecorded ratios, the proxy's CPU
# share beside each, and the time of a first visit to a new host (the minting of its
# certificate included) next to a second visit.
#
# LWIP mode (as root, with /dev/net/tun): the same client in a client namespace whose
# traffic pemtrox --mode LWIP takes, through the proxy on the stack (198.18.72.253:8888),
# beside the client speaking TLS to the same nginx over a veth pair (the kernel's path), kept
# alive and a new connection per request; and the rate of a download relayed by the stack
# (iperf3 through the catch-all relay) alone and while 50 new intercepted connections a second
# arrive through the proxy on the stack.
#
#   bench/tls_bench.sh [seconds-per-run] [connections]      (default 10, 6)
#
#   BENCH_MODE=proxy|lwip|both  which modes (default both as root with /dev/net/tun, else proxy)
#   BENCH_LOAD_RATE=N      new intercepted connections a second beside the download (default 50)
#   RECORD=0 / RECORD=1    only the rows with every host excluded from recording / only the
#                          rows with the default settings (default: both)
#   BENCH_RUNS=N           runs of every row, interleaved; the median is printed (default 2)
#   BENCH_WORKS="keepalive ..."  only those works (keepalive, close, lwip-keepalive, lwip-close,
#                          lwip-download; default all of the modes')
#   PEMTROX_BASELINE=PATH  the same pemtrox rows for that binary too, in the same run, and
#                          the current build's figures as a share of the baseline's
#   PEMTROX=PATH           measure that binary as the current build instead of building
#                          this tree's default preset
#   BENCH_PERF=DIR         after the measured runs of each work, one more (uncounted) run of
#                          each current-build proxy under perf record, into DIR
#                          (BENCH_PERF_ARGS, default: cpu-clock at 499 Hz, DWARF call graphs)
#   BENCH_KEEP=1           keep the work directory (recording stores, logs) at exit
#
# The work directory is made under TMPDIR (default /tmp) and holds each proxy's container,
# its recording store included (<work>/<work name>/<build>-<mode>/Recording); each kind of
# work starts fresh proxies with empty stores. Installs nginx when missing; builds the
# default preset (the client always comes from it).
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
conns=${2:-6}
runs=${BENCH_RUNS:-2}

source bench/bench_lib.sh
bench_mode=${BENCH_MODE:-}
if [[ -z $bench_mode ]]; then
  if [[ $(id -u) -eq 0 && -c /dev/net/tun ]]; then bench_mode=both; else bench_mode=proxy; fi
fi
case $bench_mode in
  proxy | lwip | both) ;;
  *) echo "BENCH_MODE: proxy, lwip or both" >&2; exit 1 ;;
esac
[[ $bench_mode == proxy || ($(id -u) -eq 0 && -c /dev/net/tun) ]] ||
  { echo "LWIP mode needs root and /dev/net/tun" >&2; exit 1; }
install_missing nginx-light python3
[[ $bench_mode == proxy ]] || install_missing iperf3 jq
scripts/setup.sh
cmake --preset default >/dev/null
targets=(pemtrox_tls_client)
[[ -n ${PEMTROX:-} ]] || targets+=(pemtrox)
cmake --build --preset default --target "${targets[@]}" >/dev/null
client=$PWD/build/default/bench/pemtrox_tls_client
if [[ -n ${PEMTROX:-} ]]; then pemtrox=$(realpath "$PEMTROX"); else pemtrox=$PWD/build/default/host/pemtrox; fi
case "${RECORD:-}" in
  0) modes=(unrecorded) ;;
  1) modes=(recorded) ;;
  *) modes=(unrecorded recorded) ;;
esac
use_builds "$pemtrox" "${modes[@]}"

origin=$(freeport)

# The origin's certificate: localhost and 127.0.0.1-50, from a root of its own.
sans="DNS:localhost$(for i in $(seq 1 50); do printf ',IP:127.0.0.%d' "$i"; done)"
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -subj "/CN=Bench Root" -days 2 -out root.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  openssl req -new -newkey rsa:2048 -nodes -keyout origin.key -subj "/CN=localhost" -out origin.csr
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$sans" >origin.ext
  openssl x509 -req -in origin.csr -CA root.pem -CAkey root.key -set_serial 7 -days 2 -extfile origin.ext -out origin.pem
  # Each of the hosts of the first-visit run has a certificate of its own, as distinct
  # servers do (the proxy mints one leaf per server certificate).
  for i in $(seq 2 41); do
    printf 'subjectAltName=IP:127.0.0.%d\nextendedKeyUsage=serverAuth\n' "$i" >host.ext
    openssl x509 -req -in origin.csr -CA root.pem -CAkey root.key -set_serial "$((100 + i))" -days 2 \
      -extfile host.ext -out "host$i.pem"
  done
) >/dev/null 2>&1
hostservers=$(for i in $(seq 2 41); do
  printf '  server { listen 127.0.0.%d:%d ssl; ssl_certificate %s/host%d.pem; ssl_certificate_key %s/origin.key; root %s/www; }\n' \
    "$i" "$origin" "$work" "$i" "$work" "$work"
done)

mkdir -p "$work/www"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
start_nginx "$origin" "  server {
    listen $origin ssl;
    ssl_certificate $work/origin.pem;
    ssl_certificate_key $work/origin.key;
    ssl_session_cache off;
    ssl_session_tickets off;
    root $work/www;
  }
$hostservers"

# Fresh proxies for one kind of work, each with a container (settings, CA, store) and a
# certificate cache of its own. They trust the origin's root; the client trusts their CAs.
start_proxies() { # $1 work name
  local name c exclude ca code
  for name in "${proxies[@]}"; do
    c=$work/$1/$name
    mkdir -p "$c"
    exclude=""
    [[ $name == *-unrecorded ]] &&
      exclude=', "recordingSettings.exclude": [{"enabled": true, "type": "Glob", "hostname": "*"}]'
    cat >"$c/settings.json" <<JSON
{"sslSettings.proxyingEnabled": true,
 "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "*"}]$exclude}
JSON
    port[$name]=$(freeport)
    SSL_CERT_FILE=$work/root.pem XDG_CACHE_HOME=$work/$1/$name-cache \
      "${bin[${name%%-*}]}" --port "${port[$name]}" --container "$c" >"$work/$1/$name.log" 2>&1 &
    pid[$name]=$!
  done
  for name in "${proxies[@]}"; do
    waitport "${port[$name]}"
    ca=$work/$1/$name/ca-cert.pem
    for _ in $(seq 50); do [[ -s $ca ]] && break; sleep 0.1; done
  done
  # The certificate key pool fills at start.
  for name in "${proxies[@]}"; do settle "${pid[$name]}" >/dev/null; done
  for name in "${proxies[@]}"; do
    code=$(curl -s -o /dev/null -w '%{http_code}' --noproxy '' -x "http://127.0.0.1:${port[$name]}" \
      --cacert "$work/$1/$name/ca-cert.pem" "https://localhost:$origin/1k.bin" || true)
    [[ "$code" == 200 ]] || { echo "intercepted GET through $name answered '$code'" >&2; cat "$work/$1/$name.log" >&2; exit 1; }
  done
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
  done
}

# measure <work> <column> <mode> [proxy name]: one client run, its line on stderr and in the
# results, with the server's CPU share (100 % = one core) and the time it took to be idle again.
measure() {
  local w=$1 col=$2 mode=$3 name=${4:-} ca=$work/root.pem spid=$nginxworker via=()
  if [[ -n $name ]]; then ca=$work/$w/$name/ca-cert.pem spid=${pid[$name]} via=("${port[$name]}"); fi
  local before t0 t1 out rps errors cpu idle
  before=$(ticks "$spid"); t0=$(now)
  out=$("$client" "$mode" "$duration" "$conns" localhost "$origin" "$ca" /1k.bin "${via[@]}")
  t1=$(now)
  cpu=$(awk -v a="$before" -v b="$(ticks "$spid")" -v s="$t0" -v e="$t1" -v hz="$hz" \
    'BEGIN {printf "%.0f", (b - a) * 100 / hz / (e - s)}')
  idle=$(settle "$spid")
  rps=${out% *} errors=${out#* }
  printf '  %-28s %10s req/s  errors %s  CPU %4s%%  idle after %ss\n' "$col" "$rps" "$errors" "$cpu" "$idle" >&2
  printf 'run\t%s\t%s\t%s\t0\t%s\t%s\t%s\n' "$w" "$col" "$rps" "$cpu" "$idle" "$([[ $errors == 0 ]] || echo "$errors")" >>"$results"
}

# profile <work> <mode> <name>: one uncounted run of a proxy under perf record.
profile() {
  local out=$perfdir/tls-$1-$3.data
  perf record "${perfargs[@]}" -p "${pid[$3]}" -o "$out" -- sleep "$duration" 2>"$out.log" &
  local perfpid=$!
  sleep 0.2
  "$client" "$2" "$duration" "$conns" localhost "$origin" "$work/$1/$3/ca-cert.pem" /1k.bin "${port[$3]}" >/dev/null
  wait "$perfpid" || true
  settle "${pid[$3]}" >/dev/null
  echo "  profile of $3: $out" >&2
}

# The median time of a first and a second visit to 40 new servers, through the proxy of each
# build with the last mode measured (the default settings unless RECORD=0).
visits() { # $1 work name
  local b name first second hosts
  hosts=$(seq -s, -f '127.0.0.%g' 2 41)
  for b in "${builds[@]}"; do
    name=$b-${modes[-1]}
    read -r first second < <("$client" first "$hosts" "$origin" "$work/$1/$name/ca-cert.pem" /1k.bin "${port[$name]}" 200)
    printf '  %-28s first visit %s ms, second %s ms (medians)\n' "$name" "$first" "$second" >&2
    printf 'visit\t%s\t%s\t%s\n' "$name" "$first" "$second" >>"$results"
  done
}

# run_work <name> <title> <client mode>
run_work() {
  local w=$1 mode=$3 name
  echo "== $2 (load average $(loadavg)) ==" >&2
  start_proxies "$w"
  for _ in $(seq "$runs"); do
    measure "$w" direct "$mode"
    for name in "${proxies[@]}"; do measure "$w" "$name" "$mode" "$name"; done
  done
  if [[ -n ${perfdir:-} ]]; then
    for name in "${proxies[@]}"; do [[ $name == current-* ]] && profile "$w" "$mode" "$name"; done
  fi
  [[ $w == close ]] && visits "$w"
  stop_proxies "$w"
}

# MARK: LWIP mode

# The namespaces: srv holds nginx (again, on the same port), iperf3 and every LWIP-mode
# pemtrox; each proxy takes the traffic of a client namespace of its own. The first client
# namespace also has a veth pair to srv: the kernel's path of the direct rows.
lwip_srv=pxts$$
lwip_direct=10.79.0.1 # srv's end of the veth pair
lwip_relayed=10.78.0.1 # on srv's loopback: reached through the catch-all relay
lwip_proxy=198.18.72.253:8888
declare -A lwip_cli
lwip_spaces=()
lwip_cleanup() {
  local p s
  for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pid[@]}"; do wait "$p" 2>/dev/null || true; done
  for s in "${lwip_spaces[@]}"; do ip netns pids "$s" 2>/dev/null | xargs -r kill 2>/dev/null || true; done
  sleep 0.2
  for s in "${lwip_spaces[@]}"; do ip netns del "$s" 2>/dev/null || true; done
}
trap 'lwip_cleanup; cleanup' EXIT

lwip_setup() {
  local i=0 name cli
  ip netns add "$lwip_srv"
  lwip_spaces+=("$lwip_srv")
  ip -n "$lwip_srv" link set lo up
  ip -n "$lwip_srv" addr add "$lwip_relayed/32" dev lo
  for name in "${proxies[@]}"; do
    cli=pxtc$$x$i
    ip netns add "$cli"
    lwip_spaces+=("$cli")
    ip -n "$cli" link set lo up
    lwip_cli[$name]=$cli
    ((i += 1))
  done
  lwip_cli[direct]=${lwip_cli[${proxies[0]}]}
  ip link add pxts$$v netns "$lwip_srv" type veth peer name pxtc$$v netns "${lwip_cli[direct]}"
  ip -n "$lwip_srv" addr add "$lwip_direct/24" dev pxts$$v
  ip -n "$lwip_srv" link set pxts$$v up
  ip -n "${lwip_cli[direct]}" addr add 10.79.0.2/24 dev pxtc$$v
  ip -n "${lwip_cli[direct]}" link set pxtc$$v up
  start_nginx "$origin" "  server {
    listen $origin ssl;
    ssl_certificate $work/origin.pem;
    ssl_certificate_key $work/origin.key;
    ssl_session_cache off;
    ssl_session_tickets off;
    root $work/www;
  }" "$lwip_srv"
  lwip_nginxworker=$nginxworker
  ip netns exec "$lwip_srv" iperf3 -s -B "$lwip_relayed" -D -I "$work/iperf3.pid" >/dev/null
  for _ in $(seq 50); do [[ -s $work/iperf3.pid ]] && break; sleep 0.1; done
  others+=("$(cat "$work/iperf3.pid")")
}

# Fresh LWIP-mode proxies for one kind of work, as start_proxies does for Proxy mode.
lwip_start_proxies() { # $1 work name
  local name c exclude code
  for name in "${proxies[@]}"; do
    c=$work/$1/$name
    mkdir -p "$c"
    exclude=""
    [[ $name == *-unrecorded ]] &&
      exclude=', "recordingSettings.exclude": [{"enabled": true, "type": "Glob", "hostname": "*"}]'
    cat >"$c/settings.json" <<JSON
{"sslSettings.proxyingEnabled": true,
 "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "*"}]$exclude}
JSON
    SSL_CERT_FILE=$work/root.pem XDG_CACHE_HOME=$work/$1/$name-cache ip netns exec "$lwip_srv" \
      "${bin[${name%%-*}]}" --mode LWIP --netns "${lwip_cli[$name]}" --container "$c" >"$work/$1/$name.log" 2>&1 &
    pid[$name]=$!
  done
  for name in "${proxies[@]}"; do
    for _ in $(seq 100); do grep -q "Running; app messages" "$work/$1/$name.log" && break; sleep 0.1; done
    grep -q "Running; app messages" "$work/$1/$name.log" ||
      { echo "$name did not start" >&2; cat "$work/$1/$name.log" >&2; exit 1; }
  done
  for name in "${proxies[@]}"; do settle "${pid[$name]}" >/dev/null; done
  for name in "${proxies[@]}"; do
    code=$(ip netns exec "${lwip_cli[$name]}" curl -s -o /dev/null -w '%{http_code}' --noproxy '' \
      -x "http://$lwip_proxy" --cacert "$work/$1/$name/ca-cert.pem" "https://localhost:$origin/1k.bin" || true)
    [[ "$code" == 200 ]] || { echo "intercepted GET through $name answered '$code'" >&2; cat "$work/$1/$name.log" >&2; exit 1; }
  done
}

# lwip_client <name|direct> <work> <client mode> <seconds> <connections or rate>: the client
# in that name's namespace, straight over the veth pair or through the proxy on the stack.
lwip_client() {
  local name=$1 w=$2
  shift 2
  if [[ $name == direct ]]; then
    ip netns exec "${lwip_cli[direct]}" "$client" "$@" "localhost@$lwip_direct" "$origin" "$work/root.pem" /1k.bin
  else
    ip netns exec "${lwip_cli[$name]}" "$client" "$@" localhost "$origin" "$work/$w/$name/ca-cert.pem" /1k.bin "$lwip_proxy"
  fi
}

# lwip_measure <work> <column> <client mode> <name|direct>: as measure, in LWIP mode.
lwip_measure() {
  local w=$1 col=$2 mode=$3 name=$4 spid before t0 t1 out rps errors cpu idle
  spid=${pid[$name]:-$lwip_nginxworker}
  before=$(ticks "$spid"); t0=$(now)
  out=$(lwip_client "$name" "$w" "$mode" "$duration" "$conns")
  t1=$(now)
  cpu=$(awk -v a="$before" -v b="$(ticks "$spid")" -v s="$t0" -v e="$t1" -v hz="$hz" \
    'BEGIN {printf "%.0f", (b - a) * 100 / hz / (e - s)}')
  idle=$(settle "$spid")
  rps=${out% *} errors=${out#* }
  printf '  %-28s %10s req/s  errors %s  CPU %4s%%  idle after %ss\n' "$col" "$rps" "$errors" "$cpu" "$idle" >&2
  printf 'run\t%s\t%s\t%s\t0\t%s\t%s\t%s\n' "$w" "$col" "$rps" "$cpu" "$idle" "$([[ $errors == 0 ]] || echo "$errors")" >>"$results"
}

lwip_profile() { # <work> <client mode> <name>
  local out=$perfdir/tls-$1-$3.data
  perf record "${perfargs[@]}" -p "${pid[$3]}" -o "$out" -- sleep "$duration" 2>"$out.log" &
  local perfpid=$!
  sleep 0.2
  lwip_client "$3" "$1" "$2" "$duration" "$conns" >/dev/null
  wait "$perfpid" || true
  settle "${pid[$3]}" >/dev/null
  echo "  profile of $3: $out" >&2
}

lwip_run_work() { # <name> <title> <client mode>
  local w=$1 mode=$3 name
  echo "== $2 (load average $(loadavg)) ==" >&2
  lwip_start_proxies "$w"
  for _ in $(seq "$runs"); do
    lwip_measure "$w" direct "$mode" direct
    for name in "${proxies[@]}"; do lwip_measure "$w" "$name" "$mode" "$name"; done
  done
  if [[ -n ${perfdir:-} ]]; then
    for name in "${proxies[@]}"; do [[ $name == current-* ]] && lwip_profile "$w" "$mode" "$name"; done
  fi
  stop_proxies "$w"
}

# A download relayed by the stack (iperf3 from srv through the catch-all relay), alone and
# while new intercepted connections arrive through the proxy on the stack at a steady rate;
# through each build's proxy with the last mode measured (the default settings unless RECORD=0).
lwip_downloads() { # <work name>
  local w=$1 b name before t0 t1 bps cpu load loadpid mib
  echo "== relayed download, alone and beside $rate new intercepted connections a second (load average $(loadavg)) ==" >&2
  local shown=() all=("${proxies[@]}")
  for b in "${builds[@]}"; do shown+=("$b-${modes[-1]}"); done
  proxies=("${shown[@]}")
  lwip_start_proxies "$w"
  for _ in $(seq "$runs"); do
    for name in "${shown[@]}"; do
      for load in alone loaded; do
        loadpid=
        if [[ $load == loaded ]]; then
          lwip_client "$name" "$w" rate "$((duration + 2))" "$rate" >"$work/$w/rate.out" &
          loadpid=$!
          sleep 1
        fi
        before=$(ticks "${pid[$name]}"); t0=$(now)
        bps=$(ip netns exec "${lwip_cli[$name]}" iperf3 -c "$lwip_relayed" -R -t "$duration" -J |
          jq '.end.sum_received.bits_per_second')
        t1=$(now)
        cpu=$(awk -v a="$before" -v b="$(ticks "${pid[$name]}")" -v s="$t0" -v e="$t1" -v hz="$hz" \
          'BEGIN {printf "%.0f", (b - a) * 100 / hz / (e - s)}')
        local extra=""
        if [[ -n $loadpid ]]; then
          wait "$loadpid" || true
          read -r lrps lerrors llate <"$work/$w/rate.out" || true
          extra="${lrps:-0} ${lerrors:-?} ${llate:-?}"
        fi
        settle "${pid[$name]}" >/dev/null
        mib=$(awk -v b="$bps" 'BEGIN {printf "%.1f", b / 8 / 1048576}')
        printf '  %-28s %-7s %8s MiB/s  CPU %4s%%  %s\n' "$name" "$load" "$mib" "$cpu" \
          "${extra:+(intercepted: $extra req/s, errors, late)}" >&2
        printf 'dl\t%s\t%s\t%s\t%s\t%s\n' "$name" "$load" "$mib" "$cpu" "$extra" >>"$results"
      done
    done
  done
  stop_proxies "$w"
  proxies=("${all[@]}")
}

load_start=$(loadavg)
echo "== $conns connections, ${duration}s each, $runs run(s), nginx with one worker, 1 KiB bodies; modes: $bench_mode ==" >&2
echo "== current: $pemtrox${bin[baseline]:+; baseline: ${bin[baseline]}} ==" >&2
echo "== work directory (recording stores): $work ==" >&2
if [[ $bench_mode != lwip ]]; then
  wants keepalive && run_work keepalive "intercepted HTTPS kept alive" keepalive
  wants close && run_work close "intercepted HTTPS, a new tunnel and handshakes per request" close
fi
if [[ $bench_mode != proxy ]]; then
  rate=${BENCH_LOAD_RATE:-50}
  lwip_setup
  wants lwip-keepalive &&
    lwip_run_work lwip-keepalive "LWIP mode: intercepted HTTPS kept alive, from the client namespace" keepalive
  wants lwip-close &&
    lwip_run_work lwip-close "LWIP mode: intercepted HTTPS, a new connection and handshakes per request" close
  wants lwip-download && lwip_downloads lwip-download
fi

echo
echo "$conns connections, ${duration}s each, median of $runs, nginx with one worker, 1 KiB bodies;" \
  "load average $load_start at the start, $(loadavg) at the end ($(nproc) cores)"
[[ $bench_mode == proxy ]] || echo "LWIP mode: TLS direct is the client namespace to nginx over a veth pair;" \
  "pemtrox through the proxy on the stack, its CPU (100 % = one core) beside"
python3 - "$results" <<'PY'
import statistics, sys
from collections import defaultdict
runs, stores, visits, downloads = defaultdict(list), {}, {}, defaultdict(list)
for line in open(sys.argv[1]):
    f = line.rstrip("\n").split("\t")
    if f[0] == "run":
        runs[(f[1], f[2])].append((float(f[3] or 0), float(f[5] or 0), float(f[6] or 0), f[7]))
    elif f[0] == "store":
        stores[(f[1], f[2])] = (f[3], f[4])
    elif f[0] == "visit":
        visits[f[1]] = (f[2], f[3])
    elif f[0] == "dl":
        downloads[(f[1], f[2])].append((float(f[3] or 0), float(f[4] or 0), f[5].split()))
works = [("keepalive", "intercepted HTTPS kept alive, req/s"),
         ("close", "intercepted HTTPS, new tunnel and handshakes per request, req/s"),
         ("lwip-keepalive", "LWIP mode: intercepted HTTPS kept alive, req/s"),
         ("lwip-close", "LWIP mode: intercepted HTTPS, new connection and handshakes per request, req/s")]
works = [(w, t) for w, t in works if any(k[0] == w for k in runs)]
names = {"keepalive": "kept alive", "close": "new tunnel per request", "lwip-keepalive": "LWIP mode, kept alive",
         "lwip-close": "LWIP mode, new connection per request", "lwip-download": "LWIP mode, relayed download"}
builds = [b for b in ("current", "baseline") if any(k[1].startswith(b + "-") for k in runs)]
unrecorded = any(k[1].endswith("-unrecorded") for k in runs)
recorded = any(k[1].endswith("-recorded") for k in runs)

def med(w, col, i=0):
    v = runs.get((w, col))
    return statistics.median(r[i] for r in v) if v else None

def cell(w, col, direct):
    x = med(w, col)
    if x is None:
        return ""
    notes = [f"{x / direct:.2f}×"] if direct else []
    notes.append(f"{med(w, col, 1):.0f} % CPU")
    if med(w, col, 2) >= 1:
        notes.append(f"idle after {med(w, col, 2):.1f} s")
    if any(r[3] for r in runs[(w, col)]):
        notes.append("errors")
    return f"{x:,.0f} ({', '.join(notes)})"

def ratio(a, b):
    return f"{a / b:.2f}×" if a is not None and b else ""

head = ["work", "build", "TLS direct"]
if unrecorded:
    head.append("pemtrox, recording excluded")
if recorded:
    head.append("pemtrox, default settings (recording on)")
if unrecorded and recorded:
    head.append("recorded / unrecorded")
print("| " + " | ".join(head) + " |")
print("|" + "---|" * len(head))
for w, title in works:
    direct = med(w, "direct")
    for b in builds:
        row = [title if b == builds[0] else "", b, f"{direct:,.0f}" if b == builds[0] and direct else ""]
        if unrecorded:
            row.append(cell(w, f"{b}-unrecorded", direct))
        if recorded:
            row.append(cell(w, f"{b}-recorded", direct))
        if unrecorded and recorded:
            row.append(ratio(med(w, f"{b}-recorded"), med(w, f"{b}-unrecorded")))
        print("| " + " | ".join(row) + " |")
    if len(builds) == 2:
        row = ["", "current ÷ baseline", ""]
        for m, shown in (("unrecorded", unrecorded), ("recorded", recorded)):
            if shown:
                row.append(ratio(med(w, f"current-{m}"), med(w, f"baseline-{m}")))
        if unrecorded and recorded:
            row.append("")
        print("| " + " | ".join(row) + " |")
if downloads:
    print()
    print("| relayed download (LWIP mode), MiB/s | alone | beside new intercepted connections"
          " | beside / alone | the intercepted connections: req/s, errors, started late |")
    print("|---|---|---|---|---|")
    for name in dict.fromkeys(k[0] for k in downloads):
        def dmed(load, i):
            v = downloads.get((name, load))
            return statistics.median(r[i] for r in v) if v else None
        alone, loaded = dmed("alone", 0), dmed("loaded", 0)
        extra = [r[2] for r in downloads.get((name, "loaded"), []) if len(r[2]) == 3]
        load = ""
        if extra:
            load = (f"{statistics.median(float(e[0]) for e in extra):.1f}, "
                    f"{sum(int(e[1]) for e in extra)}, {sum(int(e[2]) for e in extra)}")
        cellf = lambda x, l: f"{x:,.0f} ({dmed(l, 1):.0f} % CPU)" if x is not None else ""
        print(f"| {name} | {cellf(alone, 'alone')} | {cellf(loaded, 'loaded')} | {ratio(loaded, alone)} | {load} |")
if visits:
    print()
    for name, (first, second) in visits.items():
        print(f"{name}: first visit to a new server, new tunnel, median {first} ms; second visit {second} ms"
              " (40 servers, 200 ms apart)")
if stores:
    print()
    for (w, name), (n, mib) in stores.items():
        print(f"recording store of {name}, {names[w]}: {n} exchanges, {mib} MiB")
PY
