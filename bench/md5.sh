#!/usr/bin/env bash
# Builds the MD5 benchmark (Release, in a build folder of its own) and runs it
# beside OpenSSL's own MD5 over the same 8 KiB blocks. The last line gives both
# throughputs and their ratio (OpenSSL / ours; 1.0 = as fast as OpenSSL).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MD5_BENCH_BUILD:-$root/build-md5-bench}"
seconds="${MD5_BENCH_SECONDS:-3}"

# GCC 12 at -O3 reports bogus -Wrestrict overlaps inside std::string copies
# (a known compiler fault); they are not errors of this code.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORREL_TESTS=OFF \
  -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
if ! log="$(cmake --build "$build" --target md5_bench -- -j2 2>&1)"; then
  echo "$log" >&2
  exit 1
fi

json="$(mktemp /tmp/md5-bench-XXXXXX.json)"
trap 'rm -f "$json"' EXIT
"$build/bench/md5_bench" --benchmark_min_time="$seconds" --benchmark_out="$json" --benchmark_out_format=json
ours=$(python3 -c 'import json,sys; print(int(json.load(open(sys.argv[1]))["benchmarks"][0]["bytes_per_second"]))' "$json")

# OpenSSL reports thousands of bytes per second.
speed="$(openssl speed -evp md5 -bytes 8192 -seconds "$seconds" 2>/dev/null)"
echo "$speed" | tail -2
theirs=$(echo "$speed" | awk '$1 == "md5" { v = $2; sub(/k$/, "", v); printf "%d", v * 1000 }')
[ -n "$theirs" ] || { echo "could not read the OpenSSL figure" >&2; exit 1; }

awk -v o="$ours" -v t="$theirs" 'BEGIN {
  printf "md5 8192-byte blocks: quorrel %.1f MB/s, openssl %.1f MB/s, ratio openssl/quorrel %.3f\n", o / 1e6, t / 1e6, t / o
}'
