#!/usr/bin/env bash
# How long the desktop program takes to show the root of an image of 100,000
# entries (the limit is 1 second). Two images of 100,000 empty files each:
#   flat   - all of them in the root (made by genisoimage);
#   spread - 100 folders of 1,000 in the root (made by tarvelin-cli build).
# Each is opened ROUNDS times (default 5) in a Release build in
# build-bench-gui, on Qt's offscreen platform.
#   bench/bench-gui-open.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" genisoimage

build=build-bench-gui
cmake -S bench/bench-gui-open -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_gui_open tarvelin-cli >/dev/null
cli="$build/tarvelin/cli/tarvelin-cli"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" # the recent-file list of the runs
export QT_QPA_PLATFORM=offscreen

echo "Making 100,000 empty files ..."
mkdir -p "$work/flat" "$work/spread"
(cd "$work/flat" && seq -f 'f%07g.txt' 0 99999 | xargs touch)
for folder in $(seq -f 'dir%03g' 0 99); do
    mkdir "$work/spread/$folder"
    (cd "$work/spread/$folder" && seq -f 'file%04g.dat' 0 999 | xargs touch)
done
start=$(date +%s%N)
genisoimage -quiet -J -joliet-long -o "$work/flat.iso" "$work/flat"
echo "flat image by genisoimage: $(stat -c %s "$work/flat.iso") bytes in $(( ($(date +%s%N) - start) / 1000000 )) ms"
start=$(date +%s%N)
"$cli" build "$work/spread.iso" "$work"/spread/dir* --label SPREAD >/dev/null
echo "spread image by tarvelin-cli build: $(stat -c %s "$work/spread.iso") bytes in $(( ($(date +%s%N) - start) / 1000000 )) ms"

echo "== 100,000 entries in the root"
"$build/bench_gui_open" "$work/flat.iso" 100000 "$rounds"
echo "== 100 folders of 1,000 entries in the root"
"$build/bench_gui_open" "$work/spread.iso" 100 "$rounds"
