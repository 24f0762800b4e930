#!/usr/bin/env bash
# Runs a representative subset of the tests under valgrind memcheck and fails
# on any invalid access, uninitialised use, or definite or indirect leak whose
# stack passes through the module. Extra arguments replace the subset.
# Usage: tools/valgrind.sh [TESTS...] [PYTEST_ARGS...]
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/valgrind.sh" "$@")
. "$ROOT/tools/setup-venv.sh" test ""
cd "$ROOT"
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }

TESTS=("$@")
if [ ${#TESTS[@]} -eq 0 ]; then
    TESTS=(tests/test_smoke.py tests/test_hostile_inputs.py tests/test_allocation_failures.py
           tests/test_reference_leaks.py)
fi
LOG="$ROOT/build/valgrind.log"
mkdir -p "$ROOT/build"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --num-callers=40 --log-file="$LOG" \
    "$PY" -m pytest -q -p no:cacheprovider "${TESTS[@]}" || status=$?
"$PY" "$ROOT/tools/valgrind_report.py" "$LOG" || status=1
exit $status
