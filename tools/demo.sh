#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the demo: validates the
# shipped sample orders (examples/orders.jsonl) with the compiled order schema.
# Usage: tools/demo.sh [ORDERS.jsonl] [--show N] [--repeats N] [--workers N] [--seconds S]
# The arguments go to examples/demo.py: an orders file, how many violations to
# list, how many timed passes or runs, --workers N to check in N worker
# processes and time 1 against N of them, each run lasting about S seconds of
# one worker's work (default 1). QUILLANE_PYTHON chooses the interpreter
# (tools/python.sh), in the sid environment when this machine lacks it.
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/demo.sh" "$@")
. "$ROOT/tools/setup-venv.sh" "" ""
exec "$PY" "$ROOT/examples/demo.py" "$@"
