#!/usr/bin/env bash
# Throughput of the explicit proxy against nginx served directly and through tinyproxy,
# all on loopback in one run, plus the proxy's resident memory with idle clients.
#
#   bench/http_bench.sh [seconds-per-run]        (default 10)
#
# With BENCH_NO_RECORDING=1 the proxy records nothing (every exchange excluded), which
# measures forwarding alone.
#
# Installs nginx, wrk and tinyproxy when missing; builds the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
threads=2
conns=50

need=()
for p in nginx-light wrk tinyproxy python3; do
  [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == "install ok installed" ]] || need+=("$p")
done
if ((${#need[@]})); then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pemtrox >/dev/null
pemtrox=$PWD/build/default/host/pemtrox

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

freeport() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
origin=$(freeport); proxy=$(freeport); tiny=$(freeport)

mkdir -p "$work/www" "$work/nginx"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
user $(id -un) $(id -gn);
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$origin; root $work/www; }
}
CONF
nginx -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" & pids+=($!)

cat >"$work/tinyproxy.conf" <<CONF
Port $tiny
Listen 127.0.0.1
Timeout 600
MaxClients 1000
LogLevel Error
DisableViaHeader Yes
CONF
tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 & pids+=($!)

if [[ "${BENCH_NO_RECORDING:-}" == 1 ]]; then
  mkdir -p "$work/container"
  echo '{"recordingSettings.exclude":[{"enabled":true}]}' >"$work/container/settings.json"
fi
"$pemtrox" --port "$proxy" --container "$work/container" >"$work/pemtrox.log" 2>&1 & pids+=($!)
pemtrox_pid=$!

for port in $origin $proxy $tiny; do
  for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
done

# Every path must answer 200 before anything is measured.
for via in "" "-x http://127.0.0.1:$proxy" "-x http://127.0.0.1:$tiny"; do
  for f in 1k.bin 1m.bin; do
    # shellcheck disable=SC2086
    code=$(curl -s -o /dev/null -w '%{http_code}' $via "http://127.0.0.1:$origin/$f" || true)
    [[ "$code" == 200 ]] || { echo "GET $f ${via:-direct} answered '$code'" >&2; exit 1; }
  done
done

# wrk speaks to a proxy when the request target is the absolute URL.
proxy_script() { # $1 file, $2 extra header lua
  cat >"$work/p-$1.lua" <<LUA
wrk.path = "http://127.0.0.1:$origin/$1"
wrk.headers["Host"] = "127.0.0.1:$origin"
$2
LUA
  echo "$work/p-$1.lua"
}
close_script="$work/close.lua"
echo 'wrk.headers["Connection"] = "close"' >"$close_script"

# The proxy's CPU time (user + system) in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pemtrox_pid/stat"; }
hz=$(getconf CLK_TCK)

# run <label> <port> <file> [lua]; prints "requests/s MB/s"; for the proxy also its CPU share
run() {
  local port=$2 file=$3 lua=${4:-}
  local before; before=$(cpu_ticks)
  local args=(-t"$threads" -c"$conns" -d"${duration}s" --latency)
  [[ -n "$lua" ]] && args+=(-s "$lua")
  local out
  out=$(wrk "${args[@]}" "http://127.0.0.1:$port/$file" 2>&1)
  local rps mbs errors
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  mbs=$(awk '/Transfer\/sec/ {v=$2; if (v ~ /GB/) {sub(/GB/,"",v); v*=1024} else if (v ~ /KB/) {sub(/KB/,"",v); v/=1024} else {sub(/MB/,"",v)}; print v}' <<<"$out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out" | tr '\n' ' ')
  if [[ $port == "$proxy" ]]; then
    errors="proxy CPU $(( ($(cpu_ticks) - before) * 100 / hz / duration ))% $errors"
  fi
  printf '%-34s %12s req/s %10s MiB/s  %s\n' "$1" "$rps" "$mbs" "$errors" >&2
  echo "$rps $mbs"
}

echo "== wrk -t$threads -c$conns -d${duration}s, loopback, nginx with one worker ==" >&2
read -r d1k _ < <(run "direct 1 KiB keep-alive" "$origin" 1k.bin)
read -r p1k _ < <(run "pemtrox 1 KiB keep-alive" "$proxy" "" "$(proxy_script 1k.bin '')")
read -r t1k _ < <(run "tinyproxy 1 KiB keep-alive" "$tiny" "" "$(proxy_script 1k.bin '')")
read -r _ d1m < <(run "direct 1 MiB keep-alive" "$origin" 1m.bin)
read -r _ p1m < <(run "pemtrox 1 MiB keep-alive" "$proxy" "" "$(proxy_script 1m.bin '')")
read -r _ t1m < <(run "tinyproxy 1 MiB keep-alive" "$tiny" "" "$(proxy_script 1m.bin '')")
read -r dnc _ < <(run "direct 1 KiB new connection" "$origin" 1k.bin "$close_script")
read -r pnc _ < <(run "pemtrox 1 KiB new connection" "$proxy" "" "$(proxy_script 1k.bin 'wrk.headers["Connection"] = "close"')")

# Resident memory with 1,000 idle client connections.
rss_idle=$(python3 - "$proxy" "$pemtrox_pid" <<'PY'
import socket, sys, time
port, pid = int(sys.argv[1]), sys.argv[2]
def rss():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
socks = []
for _ in range(1000):
    s = socket.create_connection(("127.0.0.1", port)); socks.append(s)
time.sleep(2)
print(f"{rss()/1024:.1f}")
PY
)

ratio() { python3 -c "import sys; a,b=float(sys.argv[1] or 0),float(sys.argv[2] or 0); print(f'{a/b:.2f}' if b else 'n/a')" "$1" "$2"; }
echo
echo "| measure | direct | pemtrox | ratio | tinyproxy | ratio |"
echo "|---|---|---|---|---|---|"
echo "| 1 KiB keep-alive (req/s) | $d1k | $p1k | $(ratio "$p1k" "$d1k") | $t1k | $(ratio "$t1k" "$d1k") |"
echo "| 1 MiB keep-alive (MiB/s) | $d1m | $p1m | $(ratio "$p1m" "$d1m") | $t1m | $(ratio "$t1m" "$d1m") |"
echo "| 1 KiB new connection (req/s) | $dnc | $pnc | $(ratio "$pnc" "$dnc") | | |"
echo "| resident MiB, 1,000 idle clients | | $rss_idle | | | |"
