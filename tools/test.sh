#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the whole test suite.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/setup-venv.sh" test ""
cd "$ROOT"
exec "$PY" -m pytest -q tests "$@"
