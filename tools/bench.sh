#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the benchmarks: builds the
# module into its own venv (.venv-bench), installs the peer validators of
# bench/requirements.txt and the C floor of bench/floor, times them all and
# rewrites the results in bench/README.md. Arguments go to bench/run.py:
# --quick for few and short samples, to check that everything runs, and
# --only PART... for some parts; either leaves bench/README.md alone and
# writes the results to build/bench-results.md instead. --json PATH also
# writes the raw numbers.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/python.sh"
VENV="${VENV:-$ROOT/.venv-bench$VERSION_SUFFIX}"
. "$ROOT/tools/setup-venv.sh" test ""
echo "installing the peer validators (bench/requirements.txt) and the C floor (bench/floor) into $VENV_NAME"
quietly "$LOG_DIR/$LOG_NAME-peers.log" "${PIP[@]}" install -r "$ROOT/bench/requirements.txt" "$ROOT/bench/floor"
cd "$ROOT"
OUTPUT=(--write-readme)
for arg in "$@"; do
    if [ "$arg" = --quick ] || [ "$arg" = --only ]; then
        mkdir -p build
        OUTPUT=(--markdown build/bench-results.md)
    fi
done
exec "$PY" bench/run.py "${OUTPUT[@]}" "$@"
