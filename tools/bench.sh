#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the benchmarks: builds the
# module into its own venv (.venv-bench), installs the peer validators of
# bench/requirements.txt and the C floor of bench/floor, times them all and
# rewrites the results in bench/README.md. Arguments go to bench/run.py
# (--quick for fewer and shorter samples, --json PATH for the raw numbers).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv-bench}"
. "$ROOT/tools/setup-venv.sh" test ""
echo "installing the peer validators (bench/requirements.txt) and the C floor (bench/floor) into $VENV_NAME"
quietly "$LOG_DIR/$LOG_NAME-peers.log" "${PIP[@]}" install -r "$ROOT/bench/requirements.txt" "$ROOT/bench/floor"
cd "$ROOT"
exec "$PY" bench/run.py --write-readme "$@"
