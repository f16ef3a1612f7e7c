#!/usr/bin/env bash
# Cross-builds Tarvelin for 64-bit Windows with mingw-w64 (Release, no
# sanitizers) and packs tarvelin-cli.exe, tarvelin.dll and the README into
# build-win/tarvelin-windows-x86_64.zip. The desktop program is not built.
#   scripts/build-windows.sh            the program and the zip
#   scripts/build-windows.sh --tests    also the engine's unit tests for Windows
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-win
tests=OFF
targets=(tarvelin-cli)
if [ "${1:-}" = "--tests" ]; then
    tests=ON
    targets+=(tarvelin_windows_tests)
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DTARVELIN_BUILD_SHELL=OFF -DTARVELIN_BUILD_TESTS="$tests" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

dist="$build/tarvelin-windows-x86_64"
rm -rf "$dist" "$dist.zip"
mkdir -p "$dist"
cp "$build/cli/tarvelin-cli.exe" "$build/engine/tarvelin.dll" README.md "$dist/"
(cd "$build" && zip -qr "$(basename "$dist").zip" "$(basename "$dist")")
echo "build-windows: $dist.zip"
