#!/usr/bin/env bash
# Listing and extraction speed of tarvelin-cli against its peers.
#
# Builds tarvelin-cli (Release, in build-bench), makes these images with
# genisoimage -J from generated trees:
#   many.iso  20,000 small files (0 to 8 KiB) in 20 x 10 nested folders
#   big.iso   40 files of 18.4 MB, 735 MB in all
#   udf.iso   the 20,000 files again, with a UDF tree beside (-udf), which
#             tarvelin-cli and 7-Zip both read; only they are timed on it
#   wide.iso  2,000 folders of 5 files and 1,000 empty folders in one
#             folder, with long names (-J -joliet-long, no Rock Ridge): the
#             ISO 9660 names are cut, so each folder pairs with its Joliet
#             folder by the files it holds, or else by its name
# then times, interleaved over several runs (RUNS, default 5), a different
# tool going first in each run:
#   listing:    tarvelin-cli ls -R -l, isoinfo -J -l, 7z l, bsdtar -tvf
#   extraction: tarvelin-cli extract, 7z x, bsdtar -xf, cp -r of the source tree
# Every extraction writes into a folder of its own and the disks are synced
# between runs, untimed; about 1 GB is written and deleted first so that the
# disk is in its steady state. Prints each time, the median per tool and our
# ratio to the fastest peer's median (below 1.00: faster than every peer).
#
# The 20,000-file trees extracted (about 120 MB each) are kept until every
# run is done, and a run starts no earlier than six minutes after the last
# removal of such trees: ext4 without a journal will not reuse an inode freed
# within the last minute (six while its inode table block is unwritten, as
# creating files beside it makes it), and scans past every such inode for
# each file it creates. Extracting into a tree removed just before would time
# that scan (tens of seconds here, varying with where the inodes fall) for
# whichever tool comes next, not the tool. The big image's trees, 40 files
# each, are removed after each run.
#
# IMAGES: the images timed (default "many big udf").
# STEPS: "list", "extract" or both (default "list extract").
# BENCH_DIR: where the trees and images go (default build-bench/read-bench,
# on disk, kept between runs so that the trees are made once).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" genisoimage p7zip-full libarchive-tools

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target tarvelin-cli >/dev/null
cli=$(pwd)/$build/cli/tarvelin-cli
runs=${RUNS:-5}
work=${BENCH_DIR:-$(pwd)/$build/read-bench}
mkdir -p "$work"
export TZ=UTC LC_ALL=C.UTF-8

# --- fixtures --------------------------------------------------------------
if [ ! -f "$work/many.iso" ]; then
  echo "making 20,000 files and many.iso ..."
  rm -rf "$work/many"
  bench/make-many-files.sh "$work/many"
  genisoimage -quiet -J -o "$work/many.iso" "$work/many"
fi
if [ ! -f "$work/big.iso" ]; then
  echo "making 40 files of 18.4 MB and big.iso ..."
  rm -rf "$work/big"
  mkdir -p "$work/big"
  for i in $(seq -w 1 40); do
    head -c 18374656 /dev/urandom > "$work/big/part$i.bin"
  done
  genisoimage -quiet -J -o "$work/big.iso" "$work/big"
fi
if [ ! -f "$work/udf.iso" ]; then
  genisoimage -quiet -J -udf -o "$work/udf.iso" "$work/many"
fi
if [ ! -f "$work/wide.iso" ]; then
  echo "making 3,000 folders in one folder and wide.iso ..."
  rm -rf "$work/wide"
  perl -e 'my ($root) = @ARGV; for my $i (0..1999) {
    my $dir = sprintf("%s/a-rather-long-folder-name-number-%05d", $root, $i);
    system("mkdir", "-p", $dir) == 0 or die;
    for my $j (0..4) { open(my $out, ">", "$dir/file-with-a-long-name-$j.txt") or die; print $out "$i-$j\n"; close($out); }
  }
  for my $i (0..999) { system("mkdir", sprintf("%s/an-empty-folder-with-a-long-name-%05d", $root, $i)) == 0 or die; }
  ' "$work/wide"
  genisoimage -quiet -J -joliet-long -o "$work/wide.iso" "$work/wide"
fi
echo "many.iso: $(du -h "$work/many.iso" | cut -f1), big.iso: $(du -h "$work/big.iso" | cut -f1)," \
     "udf.iso: $(du -h "$work/udf.iso" | cut -f1), wide.iso: $(du -h "$work/wide.iso" | cut -f1)"
images=(${IMAGES:-many big udf wide})
steps=" ${STEPS:-list extract} "

# Outputs of an interrupted run go, then the freed inodes are left to age
# (see the top).
out_root=$work/out
stamp=$work/last-removal
if [ -e "$out_root" ]; then
  rm -rf "$out_root"
  sync
  touch "$stamp"
fi
if [[ $steps == *" extract "* ]] && [ -f "$stamp" ]; then
  age=$(( $(date +%s) - $(stat -c %Y "$stamp") ))
  if [ "$age" -lt 370 ]; then
    echo "waiting $((370 - age)) s for the inodes freed by the last run to age ..."
    sleep $((370 - age))
  fi
fi
mkdir -p "$out_root"

if [[ $steps == *" extract "* ]]; then
  echo "writing and deleting 1 GB (untimed) ..."
  dd if=/dev/zero of="$work/warm-up" bs=1M count=1024 status=none conv=fsync
  rm -f "$work/warm-up"
  sync
fi

# --- timing ----------------------------------------------------------------
declare -A times

# seconds NAME COMMAND...: runs the command with its output dropped, adds the
# elapsed seconds to the NAME's list.
measure() {
  local name=$1
  shift
  local start end
  start=$(date +%s%N)
  if ! "$@" >/dev/null 2>&1; then
    echo "  $name failed: $*" >&2
  fi
  end=$(date +%s%N)
  times[$name]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }') "
}

median() {
  tr ' ' '\n' | grep -v '^$' | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# out_dir IMAGE TOOL RUN: a folder no run has used. done_with DIR: syncs,
# and removes DIR when it holds few files (the big image's trees).
out_dir() {
  echo "$out_root/$1-$2-$3"
}
done_with() {
  sync
  if [ "$image" = big ]; then
    rm -rf "$1"
    sync
  fi
}

# Lists the tools of a group with their times and medians, and our ratio.
report() {
  local title=$1 ours=$2
  shift 2
  echo "== $title"
  local best="" best_name=""
  for name in "$ours" "$@"; do
    local m
    m=$(echo "${times[$name]}" | median)
    printf "  %-28s median %8.3f s   runs: %s\n" "$name" "$m" "${times[$name]}"
    if [ "$name" != "$ours" ] && { [ -z "$best" ] || awk -v a="$m" -v b="$best" 'BEGIN { exit !(a < b) }'; }; then
      best=$m
      best_name=$name
    fi
  done
  local mine
  mine=$(echo "${times[$ours]}" | median)
  printf "  ratio %s / fastest peer (%s): %s\n" "$ours" "$best_name" \
    "$(awk -v a="$mine" -v b="$best" 'BEGIN { printf "%.2f", a / b }')"
}

# One step of a run per tool: list the image, or extract it into a folder
# of its own (its time measured, the folder synced and, for the big image,
# removed after).
list_step() {
  case $1 in
    tarvelin) measure "$image: tarvelin ls -R -l" "$cli" ls -R -l "$iso" ;;
    isoinfo) measure "$image: isoinfo -J -l" isoinfo -J -l -i "$iso" ;;
    7z) measure "$image: 7z l" 7z l "$iso" ;;
    bsdtar) measure "$image: bsdtar -tvf" bsdtar -tvf "$iso" ;;
  esac
}
extract_step() {
  local out
  out=$(out_dir "$image" "$1" "$run")
  case $1 in
    tarvelin) measure "$image: tarvelin extract" "$cli" extract "$iso" -C "$out" ;;
    7z) measure "$image: 7z x" 7z x -y "-o$out" "$iso" ;;
    bsdtar)
      mkdir -p "$out"
      measure "$image: bsdtar -xf" bsdtar -xf "$iso" -C "$out"
      ;;
    cp) measure "$image: cp -r (source tree)" cp -r "$work/$image" "$out" ;;
  esac
  done_with "$out"
}

# The tools take turns at going first, so that none is always the one that
# meets what the step before left behind (cold caches, writeback).
for image in "${images[@]}"; do
  iso=$work/$image.iso
  if [ "$image" = udf ]; then
    listers=(tarvelin 7z)
    extractors=(tarvelin 7z)
  else
    listers=(tarvelin isoinfo 7z bsdtar)
    extractors=(tarvelin 7z bsdtar cp)
  fi
  for run in $(seq 1 "$runs"); do
    echo "run $run/$runs: $image"
    if [[ $steps == *" list "* ]]; then
      for i in "${!listers[@]}"; do
        list_step "${listers[$(( (i + run - 1) % ${#listers[@]} ))]}"
      done
    fi
    if [[ $steps == *" extract "* ]]; then
      for i in "${!extractors[@]}"; do
        extract_step "${extractors[$(( (i + run - 1) % ${#extractors[@]} ))]}"
      done
    fi
  done
done
if [[ $steps == *" extract "* ]]; then
  echo "removing the extracted trees (untimed) ..."
  rm -rf "$out_root"
  sync
  touch "$stamp"
fi

echo
for image in "${images[@]}"; do
  if [ "$image" = udf ]; then
    [[ $steps != *" list "* ]] || report "udf.iso listing (UDF tree)" "udf: tarvelin ls -R -l" "udf: 7z l"
    [[ $steps != *" extract "* ]] || report "udf.iso extraction (UDF tree)" "udf: tarvelin extract" "udf: 7z x"
    continue
  fi
  [[ $steps != *" list "* ]] ||
    report "$image.iso listing" "$image: tarvelin ls -R -l" "$image: isoinfo -J -l" "$image: 7z l" "$image: bsdtar -tvf"
  [[ $steps != *" extract "* ]] || report "$image.iso extraction" "$image: tarvelin extract" "$image: 7z x" \
    "$image: bsdtar -xf" "$image: cp -r (source tree)"
done
