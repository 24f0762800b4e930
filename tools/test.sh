#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the whole test suite, the
# Dask example among it (the parallel extra), which must then run, not skip.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/setup-venv.sh" test,parallel ""
cd "$ROOT"
export QUILLANE_REQUIRE_DASK=1
exec "$PY" -m pytest -q tests "$@"
