#!/usr/bin/env bash
# Configures a Release build with the benchmarks in build-bench and runs every
# benchmark executable it made (one per bench/*.cpp). Extra arguments are
# passed to each benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}"

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

status=0
for source in bench/*.cpp; do
  name=$(basename "$source" .cpp)
  echo "== $name"
  "$build/bench/$name" "$@" || status=1
done
exit "$status"
