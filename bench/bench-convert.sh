#!/usr/bin/env bash
# Conversion benchmark: tarvelin-cli bin2iso against bchunk and against a
# plain dd copy of the same BIN, and tarvelin-cli iso2bin against the limits
# it cannot beat (the raw sector encoder on one core, and dd writing the
# same number of bytes), all in one run on one machine.
#
# usage: bench/bench-convert.sh [--dir FOLDER] [--megabytes N] [--rounds R]
#   FOLDER: where the images are made (default: $TMPDIR or /tmp);
#   N: user data of the test image in MB (default 640: a 735 MB raw BIN);
#   R: rounds (default 9).
# Untimed: a Release build (in build-bench, or $TARVELIN_BENCH_BUILD), ~1 GB
# written and deleted so the file system has settled, the ISO (random
# sectors with the two volume descriptor heads) and its BIN, each read once
# into the page cache. Timed, interleaved in every round so that a busy
# moment of the machine hits every tool alike: dd copy of the BIN, bchunk
# BIN -> ISO, tarvelin bin2iso BIN -> ISO, tarvelin iso2bin ISO -> BIN + CUE,
# and dd again with conv=fsync. tarvelin flushes every output to the device
# before it puts it in place (dd and bchunk leave theirs in the page cache),
# so the flushed dd copy is the limit for the same durable result.
# Each is a whole process end to end, writing into the page cache; every
# output is compared with what it must be and removed after its run. The dd
# copy of the BIN also stands for the write-bound limit of iso2bin (the same
# bytes written, from data that needs no encoding). Figures: the best and the
# median round; bin2iso's ratio to dd is given for both.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${TMPDIR:-/tmp}
megabytes=640
rounds=9
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --megabytes) megabytes=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 [--dir FOLDER] [--megabytes N] [--rounds R]" >&2; exit 64 ;;
  esac
done

source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" bchunk

build=${TARVELIN_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvelin-cli bench_encoder >/dev/null
cli=$PWD/$build/cli/tarvelin-cli

work=$(mktemp -d "$dir/tarvelin-bench-convert-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Settle the file system: ~1 GB written and deleted, untimed.
dd if=/dev/zero of=settle bs=4M count=256 status=none
rm settle

# The ISO: random sectors; sector 16 a primary volume descriptor head, 17 a
# terminator head, which is all that layout detection looks at.
sectors=$((megabytes * 1000000 / 2048))
head -c $((sectors * 2048)) /dev/urandom > in.iso
printf '\001CD001\001' | dd of=in.iso bs=1 seek=$((16 * 2048)) conv=notrunc status=none
printf '\377CD001\001' | dd of=in.iso bs=1 seek=$((17 * 2048)) conv=notrunc status=none
"$cli" iso2bin in.iso in.bin >/dev/null
cat in.iso in.bin > /dev/null
iso_bytes=$(stat -c %s in.iso)
bin_bytes=$(stat -c %s in.bin)

# Seconds that a command takes, end to end. The dirty pages the last command
# left are written out first, untimed, so that no command pays for the one
# before it.
elapsed() {
  sync
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

declare -A times
add() { times[$1]="${times[$1]:-} $2"; }

bchunk_run() { bchunk in.bin in.cue track >/dev/null; }

for round in $(seq 1 "$rounds"); do
  add dd-bin "$(elapsed dd if=in.bin of=copy.bin bs=4M)"; rm -f copy.bin
  add bchunk "$(elapsed bchunk_run)"; cmp -s track01.iso in.iso || { echo "bchunk output differs" >&2; exit 1; }
  rm -f track01.iso
  add bin2iso "$(elapsed "$cli" bin2iso in.bin out.iso)"
  cmp -s out.iso in.iso || { echo "bin2iso output differs from the ISO" >&2; exit 1; }
  rm -f out.iso
  add iso2bin "$(elapsed "$cli" iso2bin in.iso out.bin)"
  cmp -s out.bin in.bin || { echo "iso2bin output differs from the first run's" >&2; exit 1; }
  rm -f out.bin out.cue
  add dd-sync "$(elapsed dd if=in.bin of=copy.bin bs=4M conv=fsync)"; rm -f copy.bin
  echo "round $round done" >&2
done

# best and median of a list of seconds
stats() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { printf "%s %s", v[1], v[int((NR + 1) / 2)] }'; }

read -r dd_best dd_median <<<"$(stats "${times[dd-bin]}")"
read -r dds_best dds_median <<<"$(stats "${times[dd-sync]}")"
read -r bchunk_best bchunk_median <<<"$(stats "${times[bchunk]}")"
read -r b2i_best b2i_median <<<"$(stats "${times[bin2iso]}")"
read -r i2b_best i2b_median <<<"$(stats "${times[iso2bin]}")"

encoder=$("$OLDPWD/$build/bench/bench_encoder" --seconds 1 | awk '/^mode1 encode/ { print; exit }')

awk -v iso="$iso_bytes" -v bin="$bin_bytes" -v rounds="$rounds" \
    -v ddb="$dd_best" -v ddm="$dd_median" -v dsb="$dds_best" -v dsm="$dds_median" -v bcb="$bchunk_best" -v bcm="$bchunk_median" \
    -v b2b="$b2i_best" -v b2m="$b2i_median" \
    -v i2b="$i2b_best" -v i2m="$i2b_median" 'BEGIN {
  printf "BIN %.0f MB (%d sectors), ISO %.0f MB; %d rounds, best and median\n", bin / 1e6, iso / 2048, iso / 1e6, rounds
  printf "dd copy of the BIN     %.3f s  %.3f s\n", ddb, ddm
  printf "the same, flushed      %.3f s  %.3f s\n", dsb, dsm
  printf "bchunk BIN -> ISO      %.3f s  %.3f s   %.2fx dd best, %.2fx by the median\n", bcb, bcm, bcb / ddb, bcm / ddm
  printf "bin2iso BIN -> ISO     %.3f s  %.3f s   %.2fx dd best, %.2fx by the median (target 1.5x)\n", b2b, b2m, b2b / ddb, b2m / ddm
  printf "                                         %.2fx flushed dd best, %.2fx by the median\n", b2b / dsb, b2m / dsm
  printf "write-bound limit (dd)                   %.0f MB/s of BIN\n", bin / ddb / 1e6
  printf "iso2bin ISO -> BIN+CUE %.3f s  %.3f s   %.0f MB/s of BIN (target 1000 MB/s; median %.0f)\n", i2b, i2m, bin / i2b / 1e6, bin / i2m / 1e6
}'
echo "encoder limit, one core: $encoder"
