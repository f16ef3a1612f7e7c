#!/usr/bin/env bash
# Coverage-guided fuzzing of the readers with libFuzzer. Builds the fuzz
# configuration (clang, -DTARVELIN_FUZZ=ON) in build-fuzz, makes the seed
# inputs once (tests/fuzz/make-seeds.sh), then runs each target of
# tests/fuzz/targets (or those named) for SECONDS, one after the other, in
# one process at low priority, and prints for each the executions, the
# coverage at the end (libFuzzer's cov: edges, ft: features) and the
# findings (crash, leak, timeout and out-of-memory inputs).
#
# Usage: bench/fuzz.sh SECONDS [TARGET...]
# The corpus of a target grows in build-fuzz/corpus/TARGET from run to run;
# findings land in build-fuzz/findings/TARGET, the run's log is
# build-fuzz/logs/TARGET/fuzz-0.log. A finding is replayed with
# build-fuzz/tests/fuzz/fuzz_TARGET FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:?usage: bench/fuzz.sh SECONDS [TARGET...]}
shift
source scripts/packages.sh
scripts/install-deps.sh "${TARVELIN_FUZZ_PACKAGES[@]}"

build=$root/build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-g -O2" -DTARVELIN_FUZZ=ON -DTARVELIN_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null

declare -A max_len
while read -r name bytes; do
    [[ -z "$name" || "$name" == \#* ]] || max_len[$name]=$bytes
done < tests/fuzz/targets
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=($(awk '$1 !~ /^#/ && NF { print $1 }' tests/fuzz/targets))
fi
programs=()
for target in "${targets[@]}"; do
    [ -n "${max_len[$target]:-}" ] || { echo "fuzz: no target '$target' in tests/fuzz/targets" >&2; exit 64; }
    programs+=("fuzz_$target")
done
nice -n 10 cmake --build "$build" -j 2 --target tarvelin-cli "${programs[@]}"
if [ ! -d "$build/seeds" ]; then
    tests/fuzz/make-seeds.sh "$build/seeds.tmp" "$build/cli/tarvelin-cli"
    mv "$build/seeds.tmp" "$build/seeds"
fi

report=()
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target findings=$build/findings/$target logs=$build/logs/$target
    mkdir -p "$corpus" "$findings" "$logs"
    rm -f "$logs"/fuzz-*.log
    start=$(mktemp)
    inputs=("$corpus")
    for dir in "$build/seeds/$target" "$build/seeds/minimal/$target" "$root/tests/fuzz/regressions/$target"; do
        if [ -d "$dir" ]; then inputs+=("$dir"); fi
    done
    echo "== $target: ${seconds}s, inputs up to ${max_len[$target]} bytes"
    # -jobs=1 runs the fuzzer in a child process that writes fuzz-0.log.
    (cd "$logs" && nice -n 10 "$build/tests/fuzz/fuzz_$target" -jobs=1 -workers=1 \
        -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "${inputs[@]}") >/dev/null 2>&1 || true
    log=$logs/fuzz-0.log
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [ -n "$executions" ] || executions=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    coverage=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -1 | sed -E 's/.* cov: ([0-9]+) ft: ([0-9]+).*/\1 \2/')
    found=$(find "$findings" -type f -newer "$start" -printf '%f ' | sed 's/ $//')
    rm -f "$start"
    report+=("$(printf '%-12s %12s %8s %8s  %s' "$target" "${executions:-?}" ${coverage:-? ?} "${found:-none}")")
done
printf '\n%-12s %12s %8s %8s  %s\n' target executions cov ft findings
printf '%s\n' "${report[@]}"
