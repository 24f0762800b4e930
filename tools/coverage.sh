#!/usr/bin/env bash
# Line coverage of src/ by the test suite: builds the module with gcov
# counters into its own venv (.venv-quillane-coverage-X.Y), runs the whole suite against
# it, and prints each file's and the total line coverage of src/ with the
# lines never run (gcovr). A line of a template counts once, as run when any
# of its instances ran it. Exits with the test run's status.
# Usage: tools/coverage.sh [PYTEST_ARGS...]
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/coverage.sh" "$@")
. "$ROOT/tools/python.sh"
VENV_KIND=coverage
BUILD_DIR="build/coverage$VERSION_SUFFIX"
. "$ROOT/tools/setup-venv.sh" "test,coverage" "$BUILD_DIR" QUILLANE_COVERAGE=ON
cd "$ROOT"

# Counts add up across runs; start from none.
find "$BUILD_DIR" -name '*.gcda' -delete
# Unoptimised frames are larger; give the deepest schemas the same headroom a
# release build has (threads take their default stack size from this too).
ulimit -s 65536 2>/dev/null || true

status=0
"$PY" -m pytest -q -p no:cacheprovider tests "$@" || status=$?
echo
"$PY" -m gcovr --root "$ROOT" --filter "$ROOT/src/" --gcov-executable "${GCOV:-gcov}" \
    --merge-lines --txt-metric line --sort uncovered-percent "$BUILD_DIR"
exit "$status"
