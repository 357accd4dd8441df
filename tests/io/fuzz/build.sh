#!/usr/bin/env bash
# Builds and runs the chunked-decoding fuzzer with clang's libFuzzer for a bounded time:
#   tests/io/fuzz/build.sh [seconds]   (default 60)
set -euo pipefail
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: chunked fuzzer skipped"
  exit 0
fi
root="$(cd "$(dirname "$0")/../../.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out/chunked-corpus"
cp "$root"/tests/io/fuzz/seeds/* "$out/chunked-corpus/"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" -DASIO_STANDALONE -DASIO_NO_DEPRECATED \
  $(pkg-config --cflags spdlog) \
  "$root"/tests/io/fuzz/ChunkedFuzzer.cpp \
  "$root"/proxy/io/{AbstractInputStream,FilterInputStream,ChunkedInputStream,PipeStream,InputStreamError,TextHelpers,Plumber,Data}.cpp \
  "$root"/platform/{Error,Log,DispatchQueue}.cpp \
  $(pkg-config --libs spdlog) -lpthread \
  -o "$out/chunked_fuzzer"
"$out/chunked_fuzzer" -max_total_time="${1:-60}" -max_len=70000 -timeout=15 "$out/chunked-corpus"
