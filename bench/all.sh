#!/usr/bin/env bash
# Every figure of the speed table in one run, on one build: http_bench.sh (plain HTTP kept
# alive and per connection, recorded and not, resident memory with idle clients), then
# tls_bench.sh (intercepted HTTPS), then, as root, lwip_bench.sh (LWIP mode with iperf3) and
# lwip_udp_bench.sh (a UDP burst through LWIP mode, directly, slirp4netns and pasta).
# Each prints its own table; their settings (BENCH_RUNS, PEMTROX, PEMTROX_BASELINE,
# BENCH_PEERS, TMPDIR, ...) pass through.
#
#   bench/all.sh [seconds-per-run]        (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
if [[ -z ${PEMTROX:-} ]]; then
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target pemtrox pemtrox_tls_client >/dev/null
  export PEMTROX=$PWD/build/default/host/pemtrox
fi
echo "## Plain HTTP"
bench/http_bench.sh "$secs"
echo
echo "## Intercepted HTTPS"
bench/tls_bench.sh "$secs"
echo
echo "## LWIP mode"
if [[ $(id -u) -eq 0 && -c /dev/net/tun ]]; then
  bench/lwip_bench.sh "$secs"
  echo
  echo "### UDP burst"
  bench/lwip_udp_bench.sh
else
  echo "skipped: LWIP mode needs root and /dev/net/tun"
fi
