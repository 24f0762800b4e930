#!/usr/bin/env bash
# Runs the benchmarks of this module and the floor on CPython 3.13, 3.14 and
# 3.15 (the two later ones from the sid environment where this machine lacks
# them) and rewrites the table of how the speed moves between versions in
# bench/README.md (bench/versions.py). Each version's results stay in
# build/bench-versions/. At full length (a quick run's few values spread by
# half their median, too much for a ratio), about 6 minutes a version, best on
# a quiet machine. Then it counts the instructions of the same calls by
# callgrind (tools/instructions.sh, about 15 minutes a version, the three
# versions side by side), which do not depend on what else the machine does,
# for a second table.
# --instructions-only skips the timing and reuses the last one's results;
# other arguments go to tools/bench.sh.
# Usage: tools/bench-versions.sh [--instructions-only] [BENCH_ARGS...]
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
mkdir -p build/bench-versions
TIMING=1
if [ "${1:-}" = --instructions-only ]; then
    TIMING=""
    shift
fi
CASES=()
for payload in flat nested records mapping ints strings geo; do
    CASES+=("$payload:validate:valid" "$payload:collect:invalid" "$payload:floor:valid" "$payload:floor:invalid")
done
results=()
for version in 3.13 3.14 3.15; do
    echo "== Python $version"
    results+=("build/bench-versions/$version.json")
    if [ -z "$TIMING" ]; then
        [ -f "build/bench-versions/$version.json" ] ||
            { echo "no timing results for Python $version yet: run without --instructions-only" >&2; exit 1; }
    else
        rm -f "build/bench-versions/$version.json" "build/bench-versions/$version-pyperf.json"
        QUILLANE_PYTHON="$version" bash tools/bench.sh --only flat nested records mapping ints strings \
            --systems quillane floor "$@" \
            --json "build/bench-versions/$version.json" -o "build/bench-versions/$version-pyperf.json"
    fi
done
# Counts do not depend on the machine's load: the versions run at once.
pids=()
for version in 3.13 3.14 3.15; do
    echo "counting instructions on Python $version (tools/instructions.sh; log in build/bench-versions/$version-instructions.log)"
    QUILLANE_PYTHON="$version" bash tools/instructions.sh "${CASES[@]}" \
        >"build/bench-versions/$version-instructions.txt.new" 2>"build/bench-versions/$version-instructions.log" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid" || { echo "counting failed: see build/bench-versions/*-instructions.log" >&2; exit 1; }
done
for version in 3.13 3.14 3.15; do
    grep ' instructions per call$' "build/bench-versions/$version-instructions.txt.new" \
        >"build/bench-versions/$version-instructions.txt"
    rm "build/bench-versions/$version-instructions.txt.new"
done
. "$ROOT/tools/python.sh"
"$BASE_PYTHON" bench/versions.py --write-readme "${results[@]}"
