#!/usr/bin/env bash
# Intercepted HTTPS through pemtrox against the same client speaking TLS to nginx directly,
# in one run on loopback: requests/s kept alive and with a new tunnel and full handshake per
# request, the proxy's CPU share, and the time of a first visit to a new host (the minting
# of its certificate included) next to a second visit.
#
#   bench/tls_bench.sh [seconds-per-run] [connections]      (default 10, 32)
#
# The proxy records every exchange, as it does by default; RECORD=0 excludes every host from
# the recording, to measure the interception alone. The work directory (the recording store
# included) is made under TMPDIR. Installs nginx when missing; builds the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
conns=${2:-32}

need=()
for p in nginx-light python3; do
  [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == "install ok installed" ]] || need+=("$p")
done
if ((${#need[@]})); then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pemtrox pemtrox_tls_client >/dev/null
pemtrox=$PWD/build/default/host/pemtrox
client=$PWD/build/default/bench/pemtrox_tls_client

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

freeport() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
origin=$(freeport); proxy=$(freeport)

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

mkdir -p "$work/www" "$work/nginx" "$work/container"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
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
  server {
    listen $origin ssl;
    ssl_certificate $work/origin.pem;
    ssl_certificate_key $work/origin.key;
    ssl_session_cache off;
    ssl_session_tickets off;
    root $work/www;
  }
$hostservers
}
CONF
nginx -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" & pids+=($!)

exclude=""
[[ "${RECORD:-1}" == 0 ]] && exclude=', "recordingSettings.exclude": [{"enabled": true, "type": "Glob", "hostname": "*"}]'
cat >"$work/container/settings.json" <<JSON
{"sslSettings.proxyingEnabled": true,
 "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "*"}]$exclude}
JSON
# The proxy trusts the origin's root; the client trusts the proxy's CA.
SSL_CERT_FILE=$work/root.pem XDG_CACHE_HOME=$work/cache \
  "$pemtrox" --port "$proxy" --container "$work/container" >"$work/pemtrox.log" 2>&1 & pids+=($!)
pemtrox_pid=$!

for port in $origin $proxy; do
  for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
done
ca=$work/container/ca-cert.pem
for _ in $(seq 50); do [[ -s $ca ]] && break; sleep 0.1; done
code=$(curl -s -o /dev/null -w '%{http_code}' --noproxy '' -x "http://127.0.0.1:$proxy" --cacert "$ca" \
  "https://localhost:$origin/1k.bin" || true)
[[ "$code" == 200 ]] || { echo "intercepted GET answered '$code'" >&2; cat "$work/pemtrox.log" >&2; exit 1; }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$pemtrox_pid/stat"; }
hz=$(getconf CLK_TCK)

# run <label> <mode> <cafile> [proxy port]; prints requests/s
run() {
  local before; before=$(cpu_ticks)
  local out; out=$("$client" "$2" "$duration" "$conns" localhost "$origin" "$3" /1k.bin ${4:-})
  local rps=${out% *} errors=${out#* } extra=""
  [[ -n "${4:-}" ]] && extra="proxy CPU $(( ($(cpu_ticks) - before) * 100 / hz / duration ))%"
  printf '%-36s %10s req/s  errors %s  %s\n' "$1" "$rps" "$errors" "$extra" >&2
  echo "$rps"
}

echo "== $conns connections, ${duration}s each, loopback, nginx with one worker, 1 KiB bodies, recording ${RECORD:-1} ==" >&2
dka=$(run "direct TLS keep-alive" keepalive "$work/root.pem")
pka=$(run "intercepted keep-alive" keepalive "$ca" "$proxy")
dnc=$(run "direct TLS, new handshake each" close "$work/root.pem")
pnc=$(run "intercepted, new tunnel each" close "$ca" "$proxy")
hosts=$(seq -s, -f '127.0.0.%g' 2 41)
read -r first second < <("$client" first "$hosts" "$origin" "$ca" /1k.bin "$proxy" 200)

ratio() { python3 -c "import sys; a,b=float(sys.argv[1] or 0),float(sys.argv[2] or 0); print(f'{a/b:.2f}' if b else 'n/a')" "$1" "$2"; }
echo
echo "| measure | direct nginx | intercepted | ratio |"
echo "|---|---|---|---|"
echo "| 1 KiB keep-alive (req/s) | $dka | $pka | $(ratio "$pka" "$dka") |"
echo "| 1 KiB, new connection and handshake (req/s) | $dnc | $pnc | $(ratio "$pnc" "$dnc") |"
echo "| first visit to a new server, new tunnel, median ms (40 servers, 200 ms apart) | | $first | |"
echo "| second visit, new tunnel, median ms | | $second | |"
