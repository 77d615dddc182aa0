#!/usr/bin/env bash
# Builds the Debian package from scratch in build-package (Release, no tests or
# benchmarks) and prints the path of the .deb on standard output; everything
# else goes to standard error, so that `deb=$(scripts/package.sh)` works.
#
#   scripts/package.sh [BUILD_DIR]   default build-package
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${1:-build-package}
exec 3>&1 1>&2

source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

# A release artefact owes nothing to an earlier configuration.
rm -rf "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORREL_TESTS=OFF -DQUORREL_BENCH=OFF
cmake --build "$dir"
(cd "$dir" && cpack -G DEB)

debs=("$dir"/quorrel_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: expected one .deb in $dir, found: ${debs[*]}"; exit 1; }
case $dir in
  /*) echo "${debs[0]}" >&3 ;;
  *) echo "$root/${debs[0]}" >&3 ;;
esac
