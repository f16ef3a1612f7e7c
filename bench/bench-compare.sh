#!/usr/bin/env bash
# Two builds of tarvelin-cli side by side, on the jobs a change to the
# engine's structure must leave as fast as they were: build, list, extract
# and save a 20,000-file image, and convert a BIN to ISO; and (grow) add 80
# names to an image whose first file is 500 MB, which outgrow the room of the
# folders in front of it.
#
# usage: bench/bench-compare.sh OLD_CLI NEW_CLI [ROUNDS]
# OLD_CLI is typically a Release build of an earlier commit, e.g.
#   git worktree add --detach /tmp/old COMMIT &&
#   cmake -S /tmp/old -B /tmp/old/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
#         -DTARVELIN_BUILD_TESTS=OFF -DTARVELIN_BUILD_SHELL=OFF &&
#   ninja -C /tmp/old/build tarvelin-cli
# Untimed: the tree (20 x 10 folders of 100 files of 0 to 8 KiB), its image
# made by genisoimage -J -R, a 200 MB BIN, the 500 MB image and its 80 new
# files, about 1 GB written and deleted.
# Timed, the two programs taking turns at going first in each round: every
# job a whole process, outputs removed (and the disk synced) untimed.
# Prints each job's median per program and new/old.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 OLD_CLI NEW_CLI [ROUNDS]" >&2; exit 64; }
old=$(realpath "$1"); new=$(realpath "$2"); rounds=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-bench-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$here/make-many-files.sh" tree
genisoimage -quiet -J -R -o many.iso tree
head -c $((100000 * 2048)) /dev/urandom > plain.iso
printf '\001CD001\001' | dd of=plain.iso bs=1 seek=$((16 * 2048)) conv=notrunc status=none
printf '\377CD001\001' | dd of=plain.iso bs=1 seek=$((17 * 2048)) conv=notrunc status=none
"$new" iso2bin plain.iso in.bin >/dev/null
echo "new file" > added.txt
mkdir -p first/src grown
head -c 500000000 /dev/urandom > first/src/a-first.bin
echo "last" > first/src/z-last.txt
genisoimage -quiet -J -R -o first.iso first/src
for i in $(seq 1 80); do echo "$i" > "grown/a file with a long enough name $i.txt"; done
dd if=/dev/zero of=settle bs=4M count=256 status=none; rm settle; sync

elapsed() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}
declare -A times
add() { times[$1]="${times[$1]:-} $2"; }

# JOBS="save extract" times only those.
read -r -a jobs <<<"${JOBS:-build list extract save grow bin2iso}"
run() { # which program, which job
  local cli=$1 job=$2
  case $job in
    build) add "$job-$3" "$(elapsed "$cli" build out.iso tree)"; rm -f out.iso ;;
    list) add "$job-$3" "$(elapsed "$cli" ls many.iso -R -l)" ;;
    extract) add "$job-$3" "$(elapsed "$cli" extract many.iso -C out)"; rm -rf out ;;
    save) cp many.iso edit.iso; sync; add "$job-$3" "$(elapsed "$cli" add edit.iso added.txt)"; rm -f edit.iso ;;
    grow) cp first.iso edit.iso; sync; add "$job-$3" "$(elapsed "$cli" add edit.iso grown)"; rm -f edit.iso ;;
    bin2iso) add "$job-$3" "$(elapsed "$cli" bin2iso in.bin out.iso)"; rm -f out.iso ;;
  esac
  sync
}
for round in $(seq 1 "$rounds"); do
  for job in "${jobs[@]}"; do
    if [ $((round % 2)) -eq 1 ]; then run "$old" "$job" old; run "$new" "$job" new
    else run "$new" "$job" new; run "$old" "$job" old; fi
  done
  echo "round $round done" >&2
done

median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
printf "%-8s %9s %9s %8s   (medians of %d rounds)\n" job old new new/old "$rounds"
for job in "${jobs[@]}"; do
  o=$(median "${times[$job-old]}"); n=$(median "${times[$job-new]}")
  awk -v j="$job" -v o="$o" -v n="$n" 'BEGIN { printf "%-8s %8.3fs %8.3fs %7.2fx\n", j, o, n, n / o }'
done
