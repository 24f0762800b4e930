#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the benchmarks: builds the
# module into its own venv (.venv-quillane-bench-X.Y), installs pyperf, matplotlib and the
# peer validators of bench/requirements.txt and the C floor of bench/floor,
# times them all and rewrites the results in bench/README.md and its charts in
# bench/charts/. Arguments go to bench/run.py:
# --quick for few and short samples, to check that everything runs,
# --only PART... for some parts and --systems KEY... for some systems; each
# leaves bench/README.md alone and writes the results and their charts to
# build/ instead (bench-results.md, charts/). pyperf's values go to
# build/bench-results.json (the previous run's to
# build/bench-results.previous.json); --json PATH writes the medians and
# ratios; pyperf's own options (-p, -n, --min-time, ...) pass through. It runs
# on the interpreter QUILLANE_PYTHON names (tools/python.sh), in the sid
# environment when this machine lacks it.
# Usage: tools/bench.sh [--quick] [--only PART...] [--systems KEY...] [--json PATH] [PYPERF_OPTIONS...]
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/bench.sh" "$@")
. "$ROOT/tools/python.sh"
VENV_KIND=bench
. "$ROOT/tools/setup-venv.sh" test ""
echo "installing pyperf, matplotlib, the peer validators (bench/requirements.txt) and the C floor (bench/floor) into $VENV_NAME" \
    "(each package named as pip collects it; the first time a minute or two)"
progress "$LOG_DIR/$LOG_NAME-peers.log" '^(Collecting|Building wheel|Successfully installed)' \
    "${PIP[@]}" install -r "$ROOT/bench/requirements.txt" "$ROOT/bench/floor"
cd "$ROOT"
mkdir -p build
OUTPUT=(--write-readme)
PYPERF_JSON=(-o build/bench-results.json)
for arg in "$@"; do
    case "$arg" in
    --quick | --only | --systems) OUTPUT=(--markdown build/bench-results.md) ;;
    -o | --output | --output=* | --append | --append=*) PYPERF_JSON=() ;;
    esac
done
# pyperf writes every value to build/bench-results.json and will not replace a
# file: the last run's moves aside, for `python -m pyperf compare_to
# build/bench-results.previous.json build/bench-results.json`.
if [ ${#PYPERF_JSON[@]} != 0 ] && [ -e build/bench-results.json ]; then
    mv build/bench-results.json build/bench-results.previous.json
fi
exec "$PY" bench/run.py "${OUTPUT[@]}" "${PYPERF_JSON[@]}" "$@"
