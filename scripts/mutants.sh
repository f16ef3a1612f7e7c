#!/usr/bin/env bash
# Plants five hand-made faults in the engine, one at a time, and checks that
# the tests catch each: a fault the tests let through means a check was lost.
# Each fault is one exact text replacement in one source file; the file is
# restored afterwards, also when the run is interrupted.
# Usage: scripts/mutants.sh [BUILD_DIR]   (default build-test, already configured)
# Exit code: 0 when every fault made at least one test fail, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
[[ -f "$build/CTestTestfile.cmake" ]] || { echo "mutants.sh: $build is not a configured build" >&2; exit 2; }
if ! git diff --quiet -- engine; then
    echo "mutants.sh: engine/ has uncommitted changes; commit or stash them first" >&2
    exit 2
fi

planted=""
restore() { [[ -n "$planted" ]] && git checkout -q -- "$planted"; planted=""; }
trap 'restore; exit 130' INT TERM
trap restore EXIT

# name | file | text | replacement | ctest regex of the suites expected to catch it
faults=(
    "zone offset sign reversed|engine/iso/iso9660_dates.cpp|(wall) - quarters|(wall) + quarters|Iso9660Dates|Fidelity|DescriptorFidelity"
    "unread CD sector not zero-filled|engine/capture/cd_rip.cpp|std::memset(out, 0, kIsoSectorSize);|;|CdRip|Capture"
    "'..' let through extraction|engine/iso/iso_dir_edit.cpp|name != \".\" && name != \"..\"|name != \".\"|Extract|IsoDirEdit|OutputSafety"
    "save write not journaled|engine/core/image_file.cpp|if (journal_.Active() && !journal_.Protect(position, count))|if (false && !journal_.Protect(position, count))|SaveFaults|ImageJournal|Killed|Soak"
    "directory record without its padding byte|engine/iso/iso9660.cpp|identifierLength % 2 == 0 ? 1 : 0;|0;|Iso9660|IsoBuild|Fidelity"
)

missed=0
for fault in "${faults[@]}"; do
    IFS='|' read -r name file text replacement regex <<<"$fault"
    count=$(grep -cF -- "$text" "$file")
    if [[ "$count" != 1 ]]; then
        echo "mutants.sh: '$text' occurs $count times in $file; the fault table is out of date" >&2
        exit 2
    fi
    planted=$file
    python3 - "$file" "$text" "$replacement" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
with open(path) as f:
    source = f.read()
with open(path, "w") as f:
    f.write(source.replace(old, new, 1))
EOF
    if git diff --quiet -- "$file"; then
        echo "mutants.sh: planting '$name' changed nothing in $file" >&2
        exit 2
    fi
    if ! cmake --build "$build" >/dev/null 2>&1; then
        echo "CAUGHT  $name (the build fails)"
        restore
        continue
    fi
    if ctest --test-dir "$build" -j "$(nproc)" -R "$regex" >"$build/mutant.log" 2>&1; then
        echo "MISSED  $name (ctest -R '$regex' passed)"
        missed=$((missed + 1))
    else
        failed=$(grep -E '^\s+[0-9]+ - ' "$build/mutant.log" | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//; s/  # GetParam.*//' | head -5 | paste -sd, -)
        echo "CAUGHT  $name by: $failed"
    fi
    restore
done
cmake --build "$build" >/dev/null 2>&1 || { echo "mutants.sh: rebuilding the unplanted tree failed" >&2; exit 2; }
exit $((missed > 0 ? 1 : 0))
