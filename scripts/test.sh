#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test: the normal
# build, the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a short, bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${RUNTIME_PACKAGES[@]}" "${PEER_PACKAGES[@]}" "${CLASSIFIER_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
ensure_packages "$(clang_runtime_package)"

# Runs ctest in build folder $1 (further arguments: VAR=value for the tests) with
# each test program's results in $1/gtest-results, then prints how many tests
# skipped and fails when any did: a missing peer must not pass for a tested one.
run_suite() {
  local dir=$1
  shift
  rm -rf "$dir/gtest-results"
  env "$@" GTEST_OUTPUT="xml:$PWD/$dir/gtest-results/" ctest --test-dir "$dir" --output-on-failure -j2
  local results=("$dir"/gtest-results/*.xml)
  [ -e "${results[0]}" ] || { echo "$dir: the test programs wrote no results"; return 1; }
  local skipped
  skipped=$(cat "${results[@]}" | grep -c 'result="skipped"' || true)
  echo "$dir: $skipped tests skipped"
  if [ "$skipped" -ne 0 ]; then
    grep -l 'result="skipped"' "${results[@]}"
    return 1
  fi
}

echo "== build and test"
rm -rf build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
run_suite build

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build-asan
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORREL_SANITIZE=address,undefined -DQUORREL_BENCH=OFF
cmake --build build-asan
run_suite build-asan QUORREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== fuzz each target briefly"
rm -rf build-fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== package"
scripts/lib/check-package.sh

# Reaching this line means every step above passed (set -e).
tests=$(ctest --test-dir build -N | sed -n 's/^Total Tests: //p')
targets=$(grep -c . build-fuzz/fuzz/targets.txt)
echo
echo "all: $((2 * tests + targets)) passed, 0 failed"
