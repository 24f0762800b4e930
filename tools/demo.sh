#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the demo: validates the
# shipped sample orders (examples/orders.jsonl) with the compiled order schema.
# Arguments go to examples/demo.py (an orders file, --show N, --repeats N,
# --workers N to check in N worker processes and time 1 against N of them).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/setup-venv.sh" "" ""
exec "$PY" "$ROOT/examples/demo.py" "$@"
