#!/usr/bin/env bash
# In-place save benchmark: tarvelin-cli add of one 1 MB file into a ~700 MB
# image, saved in place, against xorriso writing the same edit as a new
# image (-indev A -outdev B -map FILE /FILE), in one run on one machine.
#
# usage: bench/bench-edit.sh [--dir FOLDER] [--rounds R]
#   FOLDER: where the images are made (default: $TMPDIR or /tmp);
#   R: rounds (default 5).
# Untimed: a Release build (in build-bench, or $TARVELIN_BENCH_BUILD), the
# source tree (34 files of 20 MiB and 200 small ones), its image made once by
# xorriso -as mkisofs -J, and for every round a fresh copy of that image
# (the in-place save changes its input) read into the page cache. Timed,
# interleaved in every round: the in-place save (a whole tarvelin-cli
# process, which also flushes the appended data and the undo journal to the
# device, as a save must) and the xorriso rewrite (a whole process). Both
# outputs are checked to hold the added file's bytes. Figures: best and
# median round; the ratio is of the best rounds.
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
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" xorriso p7zip-full python3

build=${TARVELIN_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvelin-cli >/dev/null
cli="$PWD/$build/cli/tarvelin-cli"

work="$dir/tarvelin-bench-edit"
mkdir -p "$work"
trap 'rm -f "$work/work.iso" "$work/work.iso.tarvelin-undo" "$work/rewritten.iso"' EXIT
if [ ! -f "$work/base.iso" ]; then
  echo "making the ~700 MB source tree and its image (once) ..."
  rm -rf "$work/src"
  mkdir -p "$work/src/small"
  for i in $(seq -w 1 34); do
    head -c $((20 * 1024 * 1024)) /dev/urandom > "$work/src/large-$i.bin"
  done
  for i in $(seq 1 200); do
    head -c $((i * 97)) /dev/urandom > "$work/src/small/file-$i.txt"
  done
  xorriso -as mkisofs -quiet -J -o "$work/base.iso" "$work/src"
fi
head -c $((1024 * 1024)) /dev/urandom > "$work/added.bin"
echo "image: $(du -m "$work/base.iso" | cut -f1) MB; added file: 1 MiB; rounds: $rounds"

now() { date +%s%N; }
seconds() { printf "%d.%09d" $(($1 / 1000000000)) $(($1 % 1000000000)); }
inplace=()
rewrite=()
for round in $(seq 1 "$rounds"); do
  cp "$work/base.iso" "$work/work.iso"
  cat "$work/work.iso" "$work/base.iso" > /dev/null
  sync

  start=$(now)
  "$cli" add "$work/work.iso" "$work/added.bin" > /dev/null
  inplace+=("$(seconds $(($(now) - start)))")

  rm -f "$work/rewritten.iso"
  start=$(now)
  xorriso -abort_on FAILURE -indev "$work/base.iso" -outdev "$work/rewritten.iso" \
          -map "$work/added.bin" /added.bin > /dev/null 2>&1
  rewrite+=("$(seconds $(($(now) - start)))")

  for image in "$work/work.iso" "$work/rewritten.iso"; do
    if ! 7z e -so "$image" added.bin 2>/dev/null | cmp -s - "$work/added.bin"; then
      echo "bench-edit: $image does not hold the added file" >&2
      exit 1
    fi
  done
  echo "round $round: in-place save ${inplace[-1]} s, xorriso rewrite ${rewrite[-1]} s"
done

python3 - "${inplace[*]}" "${rewrite[*]}" <<'PY'
import statistics, sys
inplace = [float(x) for x in sys.argv[1].split()]
rewrite = [float(x) for x in sys.argv[2].split()]
print(f"in-place save (tarvelin-cli add):  best {min(inplace):.3f} s, median {statistics.median(inplace):.3f} s")
print(f"rewrite as a new image (xorriso):  best {min(rewrite):.3f} s, median {statistics.median(rewrite):.3f} s")
print(f"in-place / rewrite (best):         {min(inplace) / min(rewrite):.3f}")
PY
