#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" "${TARVELIN_TEST_PACKAGES[@]}"

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVELIN_SANITIZE=ON \
      -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The optimised build that run.sh makes must compile too: GCC warns about
# other things at -O3 than at -O1, and warnings are errors.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target tarvelin-cli

# The Windows build: cross-built with mingw-w64 (Release, no sanitizers),
# its unit tests and the cross-check against the Linux program run under Wine.
scripts/build-windows.sh --tests
tests/windows/wine_tests.sh "$build/cli/tarvelin-cli" build-win
