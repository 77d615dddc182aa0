#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test: the normal
# build, the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a short, bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${RUNTIME_PACKAGES[@]}" "${PEER_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"

echo "== build and test"
rm -rf build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure -j2

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build-asan
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORREL_SANITIZE=address,undefined -DQUORREL_BENCH=OFF
cmake --build build-asan
QUORREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2

echo "== fuzz each target briefly"
rm -rf build-fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

# Reaching this line means every step above passed (set -e).
tests=$(ctest --test-dir build -N | sed -n 's/^Total Tests: //p')
targets=$(ls build-fuzz/fuzz/fuzz_* | grep -cv '\.' || true)
echo
echo "all: $((2 * tests + targets)) passed, 0 failed"
