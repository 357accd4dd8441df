#!/usr/bin/env bash
# Usage: fetch-lwip.sh CACHE_DIR PATCH
# Fetches Debian's source package of the embedded TCP/IP stack into CACHE_DIR (once),
# checks the tarball's SHA-256, and unpacks it into CACHE_DIR/tree with line endings
# normalised and PATCH applied. Does nothing while the tree matches the patch.
# The deb-src entry that `apt-get source` needs comes from scripts/setup.sh.
set -euo pipefail
dir=$1
patch=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
version=2.1.3+dfsg1-2
tarball=lwip_2.1.3+dfsg1.orig.tar.xz
sha256=0a8276d09fc4e97bbba2f953d74af2388fc2195ea156be9d7589e297a68fde24

mkdir -p "$dir"
cd "$dir"
want=$(sha256sum <"$patch" | cut -c1-64)
[[ -d tree && -f tree.stamp && "$(cat tree.stamp)" == "$want" ]] && exit 0

checked() { [[ -f $tarball ]] && echo "$sha256  $tarball" | sha256sum -c --quiet >/dev/null 2>&1; }
if ! checked; then
  rm -f lwip_*
  if ! apt-get source --download-only "lwip=$version" >fetch.log 2>&1; then
    cat fetch.log >&2
    echo "fetch-lwip.sh: cannot download the lwip source package; run scripts/setup.sh first" >&2
    exit 1
  fi
  checked || { echo "fetch-lwip.sh: $tarball does not have the expected SHA-256" >&2; exit 1; }
fi

rm -rf tree tree.new tree.stamp
mkdir tree.new
tar -xJf "$tarball" -C tree.new --strip-components=1
# The tarball's sources have CRLF line endings; the patch has plain ones.
find tree.new/src -type f \( -name '*.c' -o -name '*.h' \) -exec sed -i 's/\r$//' {} +
patch -d tree.new -p1 --quiet --forward --no-backup-if-mismatch <"$patch"
mv tree.new tree
echo "$want" >tree.stamp
