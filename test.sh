#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the default
# preset, then the sanitizer preset (skip it with --fast).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
presets=(default sanitize)
[[ "${1:-}" == "--fast" ]] && presets=(default)
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset"
done
