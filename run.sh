#!/usr/bin/env bash
# Installs what is missing, builds Tarvelin, and runs its main job on the
# sample image built from the sample folder shipped in samples/.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" "${TARVELIN_RUN_PACKAGES[@]}"

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
scripts/make-sample-image.sh "$build/sample.iso"
"$build/cli/tarvelin-cli" info "$build/sample.iso"
