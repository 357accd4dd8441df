#!/usr/bin/env bash
# What the recording store costs on the two kinds of file system it meets, for this build and
# a baseline side by side, in one run: recorded / unrecorded for 1 KiB and 1 MiB kept alive
# (http_bench.sh) and intercepted HTTPS kept alive (tls_bench.sh), with the stores on a
# journaled ext4 (an image made and loop-mounted here) and then on tmpfs.
#
#   PEMTROX_BASELINE=PATH bench/recording_store_bench.sh [seconds-per-run]   (default 3; root)
#
#   PEMTROX=PATH     measure that binary as the current build instead of building this tree
#   BENCH_RUNS=N     runs of every row, interleaved; the median is printed (default 2)
#   BENCH_FS="ext4 tmpfs"  which file systems, in that order (default both)
#
# The image (sparse, 8 GiB) and the mount points are made under TMPDIR (default /tmp) and go
# at exit. Each work runs in a bench of its own, whose stores go at its end: a store of small
# exchanges takes about 16 KiB of the tmpfs's memory each (a page a file), and the tmpfs takes
# at most 6 GiB (the 1 KiB rows of 3 s store about 3 GiB on this machine).
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-3}
[[ $(id -u) -eq 0 ]] || { echo "needs root: it mounts the file systems" >&2; exit 1; }
[[ -n ${PEMTROX_BASELINE:-} ]] || { echo "PEMTROX_BASELINE: the build to compare with" >&2; exit 1; }
if [[ -z ${PEMTROX:-} ]]; then
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target pemtrox >/dev/null
  PEMTROX=$PWD/build/default/host/pemtrox
fi
export PEMTROX PEMTROX_BASELINE
mnt=$(mktemp -d)
cleanup() {
  umount "$mnt/ext4" "$mnt/tmpfs" 2>/dev/null || true
  rm -rf "$mnt"
}
trap cleanup EXIT
mkdir -p "$mnt/ext4" "$mnt/tmpfs"
truncate -s 8G "$mnt/ext4.img"
mkfs.ext4 -q -F "$mnt/ext4.img" # with its journal (data=ordered), as ext4 is made by default
mount -o loop "$mnt/ext4.img" "$mnt/ext4"
mount -t tmpfs -o size=6G tmpfs "$mnt/tmpfs"
chmod 1777 "$mnt/ext4" "$mnt/tmpfs"

for fs in ${BENCH_FS:-ext4 tmpfs}; do
  echo
  echo "### The stores on $fs ($(findmnt -no FSTYPE,OPTIONS "$mnt/$fs"))"
  for w in ka1k ka1m; do
    TMPDIR=$mnt/$fs BENCH_PEERS=0 BENCH_WORKS=$w bench/http_bench.sh "$duration"
    echo
  done
  TMPDIR=$mnt/$fs BENCH_MODE=proxy BENCH_WORKS=keepalive bench/tls_bench.sh "$duration"
done
