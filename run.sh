#!/usr/bin/env bash
# Installs what is missing, builds Tarvelin and the sample image (from the
# sample folder shipped in samples/), then:
#   ./run.sh              opens the sample image in the desktop program;
#                         without a display, shows the sample image's layout
#                         with the command-line tool instead
#   ./run.sh --cli ARGS   runs the command-line tool with ARGS
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" "${TARVELIN_RUN_PACKAGES[@]}"

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
sample="$build/sample.iso"
scripts/make-sample-image.sh "$sample"

if [ "${1:-}" = "--cli" ]; then
    shift
    exec "$build/cli/tarvelin-cli" "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty), so not starting the desktop program;"
    echo "run.sh: showing the sample image with the command-line tool instead."
    exec "$build/cli/tarvelin-cli" info "$sample"
fi
exec "$build/shell/tarvelin" "$sample"
