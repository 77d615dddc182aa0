#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 300),
# starting from the seed corpora under fuzz/corpus. New inputs found go to a
# scratch corpus; crashes are left as crash-* files in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages clang cmake ninja-build
ensure_packages "$(clang_runtime_package)"
SECONDS_EACH=${1:-${FUZZ_SECONDS:-300}}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORREL_FUZZ=ON -DQUORREL_TESTS=OFF -DQUORREL_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzz_all
# The build lists its targets (one per fuzz/fuzz_*.cpp); each has its corpus
# under fuzz/corpus/<name without fuzz_>.
mapfile -t targets < build-fuzz/fuzz/targets.txt
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in build-fuzz/fuzz/targets.txt"; exit 1; }
status=0
for target in "${targets[@]}"; do
  t=${target#fuzz_}
  [ -d "fuzz/corpus/$t" ] || { echo "$target: FAILED, no seed corpus fuzz/corpus/$t"; status=1; continue; }
  scratch=$(mktemp -d /tmp/quorrel-fuzz-XXXXXX)
  log="build-fuzz/fuzz_$t.log"
  # The tunnel's reply bounds lie beyond 4 KiB; its inputs may be long enough to pass them.
  max_len=4096
  [ "$t" = tunnel_reply ] && max_len=20000
  if (cd build-fuzz && ./fuzz/fuzz_$t -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
        -max_len="$max_len" -timeout=20 "$scratch" "../fuzz/corpus/$t") > "$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz_$t: $result, ${execs:-0} executions in ${SECONDS_EACH}s"
  rm -rf "$scratch"
done
exit $status
