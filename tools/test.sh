#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the whole test suite, on the
# interpreter QUILLANE_PYTHON names (default 3.13; tools/python.sh). A 3.14 or
# 3.15 that this machine lacks comes from the sid environment
# (tools/sid-env.sh), which this then runs in. On 3.13 the Dask example runs
# among the tests (the parallel extra), and must then run, not skip.
# With QUILLANE_TEST_WHEEL naming a wheel (dist/...whl), the suite runs
# against that wheel installed into a venv of its own (.venv-installed),
# as a user installs it, instead of against a build from the sources.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/test.sh" "$@")
. "$ROOT/tools/python.sh"
EXTRAS=test
if [ "$PYTHON_VERSION" = 3.13 ]; then
    EXTRAS=test,parallel
    export QUILLANE_REQUIRE_DASK=1
fi
if [ -n "${QUILLANE_TEST_WHEEL:-}" ]; then
    WHEEL="$(realpath "$QUILLANE_TEST_WHEEL")"
    VENV="$ROOT/.venv-installed$VERSION_SUFFIX"
    . "$ROOT/tools/quietly.sh"
    if [ ! -x "$VENV/bin/python" ] || ! python_is_usable "$VENV/bin/python" "$PYTHON_VERSION"; then
        echo "creating the venv $(basename "$VENV") (Python $PYTHON_VERSION)"
        rm -rf "$VENV"
        "$BASE_PYTHON" -m venv "$VENV"
    fi
    PY="$VENV/bin/python"
    DEPENDENCIES="$("$PY" - "$ROOT/pyproject.toml" "$EXTRAS" <<'PYTHON'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    extras = tomllib.load(file)["project"]["optional-dependencies"]
print("\n".join(need for extra in sys.argv[2].split(",") for need in extras[extra]))
PYTHON
)"
    STAMP="$VENV/quillane-dependencies.txt"
    if [ "$(cat "$STAMP" 2>/dev/null || true)" != "$DEPENDENCIES" ]; then
        echo "installing the $EXTRAS extras into $(basename "$VENV") (once)"
        printf '%s\n' "$DEPENDENCIES" >"$STAMP.new"
        quietly "$ROOT/build/logs/installed-requirements.log" "$PY" -m pip install --disable-pip-version-check -r "$STAMP.new"
        mv "$STAMP.new" "$STAMP"
    fi
    echo "installing $(basename "$WHEEL") into $(basename "$VENV")"
    quietly "$ROOT/build/logs/installed-wheel.log" \
        "$PY" -m pip install --disable-pip-version-check --no-index --no-deps --force-reinstall "$WHEEL"
    # From an empty directory, so that nothing but the installed module is found.
    (cd "$ROOT/build" && "$PY" -c 'import quillane_core; print("testing", quillane_core.__file__)')
else
    . "$ROOT/tools/setup-venv.sh" "$EXTRAS" ""
fi
cd "$ROOT"
# Test files or directories named first run alone; otherwise the whole suite.
TARGETS=(tests)
if [ $# -gt 0 ] && [ -e "${1%%::*}" ]; then
    TARGETS=()
fi
exec "$PY" -m pytest -q "${TARGETS[@]}" "$@"
