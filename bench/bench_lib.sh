# Shared by http_bench.sh and tls_bench.sh (sourced, not run): packages, the builds to
# measure, the work directory, timing helpers and the nginx origin.

# install_missing <package>...: the Debian packages not yet installed.
install_missing() {
  local p need=()
  for p in "$@"; do
    [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == "install ok installed" ]] || need+=("$p")
  done
  if ((${#need[@]})); then
    local sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
  fi
}

# BENCH_PERF: where the profiles go, and perf's arguments.
if [[ -n ${BENCH_PERF:-} ]]; then
  command -v perf >/dev/null || { echo "BENCH_PERF needs perf" >&2; exit 1; }
  mkdir -p "$BENCH_PERF"
  perfdir=$(realpath "$BENCH_PERF")
  read -r -a perfargs <<<"${BENCH_PERF_ARGS:--e cpu-clock -F 499 --call-graph dwarf,8192}"
fi

# use_builds <current pemtrox> <mode>...: bin[current] (and bin[baseline] from
# PEMTROX_BASELINE), and proxies: every build in every mode, named <build>-<mode>.
declare -A bin
use_builds() {
  bin[current]=$1
  shift
  builds=(current)
  if [[ -n ${PEMTROX_BASELINE:-} ]]; then
    [[ -x $PEMTROX_BASELINE ]] || { echo "PEMTROX_BASELINE: $PEMTROX_BASELINE is no program" >&2; exit 1; }
    bin[baseline]=$(realpath "$PEMTROX_BASELINE")
    builds+=(baseline)
  fi
  local b m
  proxies=()
  for b in "${builds[@]}"; do for m in "$@"; do proxies+=("$b-$m"); done; done
}

work=$(mktemp -d)
chmod 755 "$work"
results=$work/results.tsv
: >"$results"
declare -A pid port
others=()
cleanup() {
  for p in "${pid[@]}" "${others[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [[ ${BENCH_KEEP:-} == 1 ]]; then echo "Work directory kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

freeport() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
waitport() { for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return; sleep 0.1; done; }
now() { date +%s.%N; }
# A process's CPU time (user + system, all threads) in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
# Waits until the process stays under 5 % of a core for half a second (at most 120 s);
# prints the seconds it took.
settle() {
  local t0 t1 start; start=$(now)
  while :; do
    t0=$(ticks "$1"); sleep 0.5; t1=$(ticks "$1")
    ((t1 - t0 <= hz / 40)) && break
    awk -v s="$start" -v n="$(now)" 'BEGIN {exit !(n - s > 120)}' && break
  done
  awk -v s="$start" -v n="$(now)" 'BEGIN {printf "%.1f", n - s - 0.5}'
}
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
# wants <work name>: whether BENCH_WORKS (names separated by spaces; default: every work) has it.
wants() { [[ -z ${BENCH_WORKS:-} || " $BENCH_WORKS " == *" $1 "* ]]; }

# start_nginx <port> <server blocks> [network namespace]: nginx with one worker serving
# $work/www through the given server blocks (which listen on the port), in the namespace when
# one is given; sets nginxworker, whose CPU the direct rows show.
start_nginx() {
  local dir=$work/nginx${3:+-$3} in=() master
  [[ -n ${3:-} ]] && in=(ip netns exec "$3")
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
user $(id -un) $(id -gn);
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $dir;
  proxy_temp_path $dir;
  fastcgi_temp_path $dir;
  uwsgi_temp_path $dir;
  scgi_temp_path $dir;
$2
}
CONF
  "${in[@]}" nginx -c "$dir/nginx.conf" -e "$dir/error.log" & master=$!
  others+=("$master")
  for _ in $(seq 100); do
    "${in[@]}" bash -c "echo >/dev/tcp/127.0.0.1/$1" 2>/dev/null && break
    sleep 0.1
  done
  for _ in $(seq 50); do nginxworker=$(pgrep -P "$master" | head -1 || true); [[ -n $nginxworker ]] && break; sleep 0.1; done
}
