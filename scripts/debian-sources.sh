#!/usr/bin/env bash
# Makes Debian's source packages reachable for `apt-get source` (the build fetches the
# embedded TCP/IP stack's sources that way): adds a deb-src twin of the system's Debian
# entries when there is none and refreshes the package lists. Idempotent; run as root.
set -euo pipefail
command -v apt-cache >/dev/null || exit 0
apt-cache showsrc lwip 2>/dev/null | grep -q '^Package: lwip' && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "need root or sudo to add the deb-src entry" >&2; exit 1; }
  sudo=(sudo)
fi
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  src=/etc/apt/sources.list.d/debian.sources
  if [[ -f "$src" ]]; then
    echo "Adding deb-src entries (/etc/apt/sources.list.d/debian-src.sources)" >&2
    sed 's/^Types:.*/Types: deb-src/' "$src" | "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  elif grep -qs '^deb ' /etc/apt/sources.list; then
    echo "Adding deb-src entries (/etc/apt/sources.list.d/debian-src.list)" >&2
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  else
    echo "no Debian apt entries to copy a deb-src entry from" >&2
    exit 1
  fi
fi
"${sudo[@]}" apt-get update -q >/dev/null
