#!/usr/bin/env bash
# Free-space benchmarks, in one run on one machine:
#   1. a save that puts a 20 MiB file into the hole a removed file left,
#      against the same save into an image without free space (appended);
#   2. tarvelin-cli compact of a ~700 MB image whose first file was removed
#      (everything behind it moves down), against a fresh tarvelin-cli build
#      of the same tree.
#
# usage: bench/bench-space.sh [--dir FOLDER] [--rounds R]
# Untimed: a Release build (build-bench, or $TARVELIN_BENCH_BUILD), the tree
# (34 files of 20 MiB and 200 small ones) and its image made once, 1 GB
# written and deleted before timing (the machine gives freed memory back to
# its host), a fresh copy of each input per round read into the page cache.
# The runs of the two programs compared alternate in every round; every
# output is checked with 7-Zip. Figures: best and median round, and the
# ratio of the medians.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${TMPDIR:-/tmp}
rounds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 [--dir FOLDER] [--rounds R]" >&2; exit 64 ;;
  esac
done

source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" p7zip-full python3

build=${TARVELIN_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvelin-cli >/dev/null
cli="$PWD/$build/cli/tarvelin-cli"

work="$dir/tarvelin-bench-space"
mkdir -p "$work"
trap 'rm -rf "$work/run" "$work/warm"' EXIT
if [ ! -f "$work/base.iso" ]; then
  echo "making the ~700 MB tree and its image (once) ..."
  rm -rf "$work/src"
  mkdir -p "$work/src/small"
  for i in $(seq -w 1 34); do
    head -c $((20 * 1024 * 1024)) /dev/urandom > "$work/src/large-$i.bin"
  done
  for i in $(seq 1 200); do
    head -c $((i * 97)) /dev/urandom > "$work/src/small/file-$i.txt"
  done
  "$cli" build "$work/base.iso" "$work/src"/* > /dev/null
  cp "$work/base.iso" "$work/holed.iso"
  "$cli" rm "$work/holed.iso" /large-01.bin > /dev/null
  rm -rf "$work/tree" && mkdir -p "$work/tree"
  cp -r "$work/src"/* "$work/tree" && rm "$work/tree/large-01.bin"
fi
head -c $((20 * 1024 * 1024)) /dev/urandom > "$work/added.bin"
mkdir -p "$work/warm" && head -c $((1024 * 1024 * 1024)) /dev/zero > "$work/warm/ballast" && sync && rm -rf "$work/warm"
echo "image: $(du -m "$work/base.iso" | cut -f1) MB; $("$cli" info "$work/holed.iso" | grep 'free space'); rounds: $rounds"

now() { date +%s%N; }
seconds() { printf "%d.%09d" $(($1 / 1000000000)) $(($1 % 1000000000)); }
check() { # image, path in it, expected file
  if ! 7z e -so "$1" "$2" 2>/dev/null | cmp -s - "$3"; then
    echo "bench-space: $1 does not hold $2 as it should" >&2
    exit 1
  fi
}
gap=(); append=(); compact=(); fresh=()
mkdir -p "$work/run"
for round in $(seq 1 "$rounds"); do
  cp "$work/holed.iso" "$work/run/gap.iso"
  cp "$work/base.iso" "$work/run/append.iso"
  cp "$work/holed.iso" "$work/run/compact.iso"
  rm -f "$work/run/fresh.iso"
  cat "$work/run"/*.iso > /dev/null
  sync

  start=$(now); "$cli" add "$work/run/gap.iso" "$work/added.bin" > /dev/null
  gap+=("$(seconds $(($(now) - start)))")
  start=$(now); "$cli" add "$work/run/append.iso" "$work/added.bin" > /dev/null
  append+=("$(seconds $(($(now) - start)))")
  start=$(now); "$cli" compact "$work/run/compact.iso" 2> /dev/null
  compact+=("$(seconds $(($(now) - start)))")
  start=$(now); "$cli" build "$work/run/fresh.iso" "$work/tree"/* > /dev/null
  fresh+=("$(seconds $(($(now) - start)))")

  check "$work/run/gap.iso" added.bin "$work/added.bin"
  check "$work/run/append.iso" added.bin "$work/added.bin"
  check "$work/run/compact.iso" large-34.bin "$work/src/large-34.bin"
  check "$work/run/fresh.iso" large-34.bin "$work/src/large-34.bin"
  if [ "$(stat -c %s "$work/run/gap.iso")" -gt "$(stat -c %s "$work/holed.iso")" ]; then
    echo "bench-space: the save did not reuse the hole" >&2
    exit 1
  fi
  echo "round $round: gap save ${gap[-1]} s, appending save ${append[-1]} s," \
       "compact ${compact[-1]} s, fresh build ${fresh[-1]} s" \
       "(sizes: compacted $(stat -c %s "$work/run/compact.iso"), fresh $(stat -c %s "$work/run/fresh.iso"))"
done

python3 - "${gap[*]}" "${append[*]}" "${compact[*]}" "${fresh[*]}" <<'PY'
import statistics, sys
gap, append, compact, fresh = ([float(x) for x in arg.split()] for arg in sys.argv[1:5])
def line(name, values):
    print(f"{name:34} best {min(values):.3f} s, median {statistics.median(values):.3f} s")
line("save into a hole (add 20 MiB):", gap)
line("appending save (add 20 MiB):", append)
line("compact (~680 MB moved down):", compact)
line("fresh build of the same tree:", fresh)
print(f"hole / append (medians):           {statistics.median(gap) / statistics.median(append):.3f}")
print(f"compact / fresh build (medians):   {statistics.median(compact) / statistics.median(fresh):.3f}")
PY
