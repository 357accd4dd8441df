#!/usr/bin/env bash
# Installs what is missing, builds, and runs the proxy. Arguments go to pemtrox.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pemtrox -j "$(nproc)"
exec build/default/host/pemtrox "$@"
