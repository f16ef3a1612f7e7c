#!/usr/bin/env bash
# Builds of new images: tarvelin-cli build against genisoimage -J and
# xorriso -as mkisofs -J on two trees, with cat of the same bytes as the
# limit of what copying them can cost:
#   (a) 20,000 small files (about 82 MB) in 200 folders,
#   (b) 40 large files (about 735 MB).
# The runs of the programs are interleaved (trial 1 of each, trial 2 of
# each, ...), every output is removed before the next run, and 1 GB is
# written and deleted first so that the page cache is in a steady state.
# Then the layout alone of 100,000 entries (bench_layout).
#
# Usage: bench/bench-build.sh [trials]        (default 5)
# The trees are made once in $TARVELIN_BENCH_DIR (default /tmp/tarvelin-bench-build).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_BUILD_PACKAGES[@]}" genisoimage xorriso python3

trials=${1:-5}
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_BENCH=ON \
      -DTARVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvelin-cli bench_layout >/dev/null

work=${TARVELIN_BENCH_DIR:-/tmp/tarvelin-bench-build}
mkdir -p "$work"
export TARVELIN_CLI="$PWD/$build/cli/tarvelin-cli" WORK="$work" TRIALS="$trials"

python3 - <<'EOF'
import os, random, shutil, statistics, subprocess, sys, time

work = os.environ["WORK"]
cli = os.environ["TARVELIN_CLI"]
trials = int(os.environ["TRIALS"])
small, large = os.path.join(work, "small"), os.path.join(work, "large")

def make_small():
    rng = random.Random(1)
    for d in range(200):
        folder = os.path.join(small, f"folder {d:03d}")
        os.makedirs(folder, exist_ok=True)
        for f in range(100):
            with open(os.path.join(folder, f"file {f:03d}.dat"), "wb") as out:
                out.write(os.urandom(rng.randint(0, 8200)))

def make_large():
    os.makedirs(large, exist_ok=True)
    for f in range(40):
        with open(os.path.join(large, f"large {f:02d}.bin"), "wb") as out:
            for _ in range(35):
                out.write(os.urandom(525 * 1024))

for tree, maker in ((small, make_small), (large, make_large)):
    marker = tree + ".done"
    if not os.path.exists(marker):
        shutil.rmtree(tree, ignore_errors=True)
        print(f"making {tree} ...", flush=True)
        maker()
        open(marker, "w").close()

def files_of(tree):
    found = []
    for root, dirs, names in os.walk(tree):
        dirs.sort()
        found += [os.path.join(root, n) for n in sorted(names)]
    return found

# Untimed: 1 GB written and deleted, and the sources read once.
scratch = os.path.join(work, "scratch")
with open(scratch, "wb") as out:
    block = bytes(1 << 20)
    for _ in range(1024):
        out.write(block)
os.remove(scratch)
for tree in (small, large):
    for path in files_of(tree):
        with open(path, "rb") as source:
            while source.read(1 << 20):
                pass

output = os.path.join(work, "out.iso")
lists = {}
for tree in (small, large):
    lists[tree] = os.path.join(work, os.path.basename(tree) + ".list")
    with open(lists[tree], "wb") as out:
        out.write(b"\0".join(p.encode() for p in files_of(tree)))

def programs(tree):
    return {
        "cat (limit)": f"xargs -0 cat < '{lists[tree]}' > '{output}'",
        "tarvelin-cli build": f"'{cli}' build '{output}' '{tree}'",
        "genisoimage -J": f"genisoimage -quiet -J -o '{output}' '{tree}'",
        "xorriso -as mkisofs -J": f"xorriso -as mkisofs -quiet -J -o '{output}' '{tree}' 2>/dev/null",
    }

for label, tree in (("(a) 20,000 small files", small), ("(b) 40 large files", large)):
    size = sum(os.path.getsize(p) for p in files_of(tree))
    runs = {name: [] for name in programs(tree)}
    for _ in range(trials):
        for name, command in programs(tree).items():
            if os.path.exists(output):
                os.remove(output)
            start = time.perf_counter()
            result = subprocess.run(command, shell=True)
            runs[name].append(time.perf_counter() - start)
            if result.returncode != 0:
                sys.exit(f"{name} failed: {command}")
    os.remove(output)
    limit = statistics.median(runs["cat (limit)"])
    print(f"\n{label}: {size / 1e6:.0f} MB, {trials} interleaved trials")
    print(f"  {'program':<24} {'best s':>8} {'median s':>9} {'x cat':>7}")
    for name, times in runs.items():
        median = statistics.median(times)
        print(f"  {name:<24} {min(times):8.3f} {median:9.3f} {median / limit:7.2f}")
EOF

echo
echo "layout alone (bench_layout):"
"$build/bench/bench_layout" "$trials"
