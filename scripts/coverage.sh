#!/usr/bin/env bash
# Builds with gcov instrumentation, runs every ctest test and prints the
# line coverage of the engine, the command-line tool and the desktop program.
# Usage: scripts/coverage.sh [BUILD_DIR]   (default build-cov)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-cov}
command -v gcovr >/dev/null || { echo "coverage.sh: gcovr is not installed (apt-get install gcovr)" >&2; exit 2; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-g -O0 --coverage" \
      -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$build" -j "$(nproc)"
find "$build" -name '*.gcda' -delete
# Failures are reported but do not stop the figure: coverage of a red run is
# still worth knowing, and ctest's own summary names what failed.
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure || echo "coverage.sh: some tests failed" >&2

gcovr --root . --object-directory "$build" \
      --filter 'engine/' --filter 'cli/' --filter 'shell/' \
      --exclude-unreachable-branches --gcov-ignore-parse-errors --print-summary "$build" \
      --txt "$build/coverage.txt" >/dev/null
sed -n '1,4p;/^TOTAL/p' "$build/coverage.txt"
echo "per file: $build/coverage.txt"
