#!/usr/bin/env bash
# Takes a picture of Tarvelin's main window with the sample image open: runs
# the desktop program on a virtual X display (Xvfb) and saves the window as
# a PNG.
#   scripts/screenshot.sh [OUT.png]     default docs/screenshots/main-window.png
# Installs what is missing and builds like run.sh (into build/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$here/docs/screenshots/main-window.png}")
cd "$here"
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" "${TARVELIN_RUN_PACKAGES[@]}" \
    "${TARVELIN_SCREENSHOT_PACKAGES[@]}"

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
sample="$build/sample.iso"
scripts/make-sample-image.sh "$sample"

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    local pid
    for pid in $app_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it to descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "screenshot: Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
# Settings (the recent-file list) go to a folder of the script's own.
export XDG_CONFIG_HOME="$work/config"

"$build/shell/tarvelin" "$sample" >"$work/app.log" 2>&1 &
app_pid=$!

# Saves the first visible window whose title matches, once it has painted.
capture() {
    local title=$1 target=$2 window
    if ! window=$(timeout 20 xdotool search --sync --onlyvisible --name "$title" | head -n1) || [ -z "$window" ]; then
        echo "screenshot: no window titled '$title' appeared" >&2
        cat "$work/app.log" >&2
        exit 1
    fi
    sleep 1
    mkdir -p "$(dirname "$target")"
    # A palette of 256 colours keeps the file small; the window's flat
    # colours lose nothing visible.
    import -window "$window" -colors 256 "PNG8:$target"
    echo "screenshot: $target ($(identify -format '%wx%h' "$target"), $(stat -c %s "$target") bytes)"
}

capture '^Tarvelin$' "$out"
