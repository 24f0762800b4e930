#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the whole test suite, on the
# interpreter QUILLANE_PYTHON names (default 3.13; tools/python.sh). A 3.14 or
# 3.15 that this machine lacks comes from the sid environment
# (tools/sid-env.sh), which this then runs in. On 3.13 the Dask example runs
# among the tests (the parallel extra), and must then run, not skip.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/test.sh" "$@")
. "$ROOT/tools/python.sh"
EXTRAS=test
if [ "$PYTHON_VERSION" = 3.13 ]; then
    EXTRAS=test,parallel
    export QUILLANE_REQUIRE_DASK=1
fi
. "$ROOT/tools/setup-venv.sh" "$EXTRAS" ""
cd "$ROOT"
exec "$PY" -m pytest -q tests "$@"
