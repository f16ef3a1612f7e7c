#!/usr/bin/env bash
# Takes pictures of Tarvelin on a virtual X display (Xvfb), driving it with
# the keyboard as a user would:
#   OUT.png                        the main window with the sample image open;
#   progress-dialog.png beside it  the progress dialog while a large new image
#                                  (about 3 GB of sparse files) is built;
#   iso-to-bin.png beside it       the ISO to BIN dialog halfway through a
#                                  conversion (1.5 GB of sparse file);
#   main-window-dark.png           the main window on a desktop with a dark
#                                  palette (a KDE colour scheme);
#   skinned-controls.png,          every skinned control in every state, in
#   skinned-controls-dark.png      the desktop's palette and a dark one;
#   about-reveal-middle.png,       the About dialog over the main window,
#   about-reveal-end.png           halfway through its reveal and at its end;
#   properties-dialog.png          the Properties dialog of the sample image;
#   context-menu.png               the list's context menu (Rename, New Folder).
#   scripts/screenshot.sh [OUT.png]     default docs/screenshots/main-window.png
# Installs what is missing and builds like run.sh (into build/). The large
# files live in a temporary folder that is removed at the end.
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

shots=$(dirname "$out")
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

start_program() {
    "$build/shell/tarvelin" "$@" >>"$work/app.log" 2>&1 &
    app_pid=$!
}
stop_program() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}

# The first visible window whose title matches.
find_window() {
    local title=$1 window
    if ! window=$(timeout 30 xdotool search --sync --onlyvisible --name "$title" | head -n1) || [ -z "$window" ]; then
        import -window root "PNG8:$shots/screenshot-failure.png"
        echo "screenshot: no window titled '$title' appeared; the screen is in $shots/screenshot-failure.png" >&2
        cat "$work/app.log" >&2
        exit 1
    fi
    echo "$window"
}

# Saves the screen area of a window (with whatever is shown over it). A
# palette of 256 colours keeps the file small; the flat colours of the
# widgets lose nothing visible.
save_area() {
    local window=$1 target=$2
    eval "$(xdotool getwindowgeometry --shell "$window")"
    mkdir -p "$(dirname "$target")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -colors 256 "PNG8:$target"
    echo "screenshot: $target ($(identify -format '%wx%h' "$target"), $(stat -c %s "$target") bytes)"
}

# Types into the focused window: keys, or text with "type:" in front.
press() {
    local step
    for step in "$@"; do
        if [[ $step == type:* ]]; then
            xdotool type --delay 5 "${step#type:}"
        else
            xdotool key "$step"
        fi
        sleep 0.3
    done
}

# 1. The main window with the sample image (its title names the image).
start_program "$sample"
main=$(find_window 'Tarvelin$')
sleep 1
save_area "$main" "$out"
stop_program

# 2. The progress dialog: a composition of large files saved as a new image.
mkdir -p "$work/big"
for part in 1 2 3; do
    truncate -s 1000M "$work/big/part$part.dat"
done
start_program
main=$(find_window '^Tarvelin$')
sleep 1
xdotool windowfocus --sync "$main"
# Actions > Add Directory..., the folder typed into the folder chooser.
press alt+a Down Down Return
find_window 'Select Add Folder' >/dev/null
press "type:$work/big" Return
sleep 1
# File > Save (Ctrl+S) asks for the new image's name, then builds it. With
# no window manager the focus does not go back to the main window by itself.
xdotool windowfocus --sync "$main"
press ctrl+s
sleep 1
press "type:$work/big.iso" Return
find_window '^Progress$' >/dev/null
sleep 1
save_area "$main" "$shots/progress-dialog.png"
# The new image is opened when its build ends.
for _ in $(seq 300); do
    if ! xdotool search --onlyvisible --name '^Progress$' >/dev/null 2>&1; then
        break
    fi
    sleep 0.2
done
rm -rf "$work/big"

# 3. The ISO to BIN dialog halfway through an image of 1.5 GB (another
# image than the one open in the window, which holds that one).
mkdir -p "$work/disc"
truncate -s 1500M "$work/disc/disc.dat"
"$build/cli/tarvelin-cli" build "$work/disc.iso" "$work/disc/disc.dat" >/dev/null
rm -rf "$work/disc"
xdotool windowfocus --sync "$main"
sleep 1
press alt+c Down Return
convert_dialog=$(find_window '^ISO to BIN$')
xdotool windowfocus --sync "$convert_dialog"
# Source, "...", output, "...", then Convert.
press "type:$work/disc.iso" Tab Tab "type:$work/disc.bin" Tab Tab space
sleep 1.5
save_area "$main" "$shots/iso-to-bin.png"
stop_program

# 4. The main window on a desktop with a dark palette: the KDE colours the
# program reads from the desktop's settings (a Breeze Dark scheme).
mkdir -p "$work/dark"
cat >"$work/dark/kdeglobals" <<'COLOURS'
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=252,252,252
ForegroundInactive=161,169,177
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=252,252,252
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=252,252,252
[Colors:View]
BackgroundNormal=35,38,41
BackgroundAlternate=41,44,48
ForegroundNormal=252,252,252
ForegroundInactive=161,169,177
[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=252,252,252
ForegroundInactive=161,169,177
COLOURS
XDG_CONFIG_HOME="$work/dark" XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 start_program "$sample"
main=$(find_window 'Tarvelin$')
sleep 1
save_area "$main" "$shots/main-window-dark.png"
stop_program

# 5. The skinned controls and the About dialog's reveal, drawn by the
# program's own classes.
"$build/shell/tarvelin-look-shots" "$work" "$sample" >>"$work/app.log" 2>&1 || {
    echo "screenshot: the look pictures failed:" >&2
    cat "$work/app.log" >&2
    exit 1
}
for picture in skinned-controls skinned-controls-dark about-reveal-middle about-reveal-end properties-dialog \
    context-menu; do
    convert "$work/$picture.png" -colors 256 "PNG8:$shots/$picture.png"
    echo "screenshot: $shots/$picture.png ($(identify -format '%wx%h' "$shots/$picture.png"))"
done
