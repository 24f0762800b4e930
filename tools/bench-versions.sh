#!/usr/bin/env bash
# Runs the benchmarks of this module and the floor on CPython 3.13, 3.14 and
# 3.15 (the two later ones from the sid environment where this machine lacks
# them) and rewrites the table of how the speed moves between versions in
# bench/README.md (bench/versions.py). Each version's results stay in
# build/bench-versions/. At full length (a quick run's few values spread by
# half their median, too much for a ratio), about 6 minutes a version, best on
# a quiet machine. Arguments go to tools/bench.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
mkdir -p build/bench-versions
results=()
for version in 3.13 3.14 3.15; do
    echo "== Python $version"
    rm -f "build/bench-versions/$version.json" "build/bench-versions/$version-pyperf.json"
    QUILLANE_PYTHON="$version" bash tools/bench.sh --only flat nested records mapping ints strings \
        --systems quillane floor "$@" \
        --json "build/bench-versions/$version.json" -o "build/bench-versions/$version-pyperf.json"
    results+=("build/bench-versions/$version.json")
done
. "$ROOT/tools/python.sh"
"$BASE_PYTHON" bench/versions.py --write-readme "${results[@]}"
