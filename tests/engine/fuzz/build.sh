#!/usr/bin/env bash
# Builds and runs the head-reading fuzzer with clang's libFuzzer for a bounded time:
#   tests/engine/fuzz/build.sh [seconds]   (default 60)
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out/corpus"
cp "$root"/tests/engine/fuzz/seeds/* "$out/corpus/"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" \
  "$root"/tests/engine/fuzz/HeadFuzzer.cpp \
  "$root"/proxy/engine/{HeadParser,Fields,HttpFields,FirstLine,FieldsError,HttpText}.cpp \
  "$root"/proxy/io/Data.cpp "$root"/platform/Error.cpp \
  -o "$out/head_fuzzer"
"$out/head_fuzzer" -max_total_time="${1:-60}" -max_len=70000 -timeout=5 "$out/corpus"
