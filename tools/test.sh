#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the whole test suite, on the
# interpreter QUILLANE_PYTHON names (default 3.13; tools/python.sh).
# Usage: tools/test.sh [TEST_PATHS...] [PYTEST_ARGS...]; with test files or
# directories first, only those run; every argument goes to pytest. A 3.14 or
# 3.15 that this machine lacks comes from the sid environment
# (tools/sid-env.sh), which this then runs in. On 3.13 the Dask example runs
# among the tests (the parallel group), and must then run, not skip.
# With QUILLANE_TEST_WHEEL naming a wheel (dist/...whl), the suite runs
# against that wheel installed into a venv of its own
# (.venv-quillane-installed-X.Y), as a user installs it, instead of against a
# build from the sources.
# On the free-threaded 3.13 (QUILLANE_PYTHON=3.13t, tools/free-threaded.sh)
# the suite runs as it does elsewhere: the module declares that it runs
# without the GIL, so importing it leaves the GIL off (PYTHON_GIL=1 turns it
# on, and the suite passes both ways).
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/test.sh" "$@")
. "$ROOT/tools/python.sh"
GROUPS_WANTED=test
if [ "$PYTHON_VERSION" = 3.13 ]; then
    GROUPS_WANTED=test,parallel
    export QUILLANE_REQUIRE_DASK=1
fi
if [ -n "${QUILLANE_TEST_WHEEL:-}" ]; then
    WHEEL="$(realpath "$QUILLANE_TEST_WHEEL")"
    VENV="$ROOT/.venv-quillane-installed-$PYTHON_VERSION"
    . "$ROOT/tools/quietly.sh"
    own_venv "$VENV"
    PY="$VENV/bin/python"
    DEPENDENCIES="$("$PY" - "$ROOT/pyproject.toml" "$GROUPS_WANTED" <<'PYTHON'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    groups = tomllib.load(file)["dependency-groups"]
print("\n".join(f"{group}: {groups[group]}" for group in sys.argv[2].split(",")))
PYTHON
)"
    STAMP="$VENV/quillane-dependencies.txt"
    if [ "$(cat "$STAMP" 2>/dev/null || true)" != "$DEPENDENCIES" ]; then
        echo "installing pip and the $GROUPS_WANTED groups into $(basename "$VENV")" \
            "(once; half a minute to two minutes, each package named as pip collects it)"
        GROUP_ARGS=()
        IFS=, read -ra GROUP_NAMES <<<"$GROUPS_WANTED"
        for group in "${GROUP_NAMES[@]}"; do
            GROUP_ARGS+=(--group "$ROOT/pyproject.toml:$group")
        done
        progress "$ROOT/build/logs/installed-pip.log" '^Successfully installed' \
            "$PY" -m pip install --disable-pip-version-check --upgrade 'pip>=25.1'
        # As tools/setup-venv.sh: the free-threaded interpreter takes built
        # wheels of older releases over sources that need a toolchain.
        PREFER=()
        [[ "$PYTHON_VERSION" != *t ]] || PREFER=(--prefer-binary)
        progress "$ROOT/build/logs/installed-requirements.log" '^(Collecting|Successfully installed)' \
            "$PY" -m pip install --disable-pip-version-check "${PREFER[@]}" "${GROUP_ARGS[@]}"
        printf '%s\n' "$DEPENDENCIES" >"$STAMP"
    fi
    echo "installing $(basename "$WHEEL") into $(basename "$VENV")"
    quietly "$ROOT/build/logs/installed-wheel.log" \
        "$PY" -m pip install --disable-pip-version-check --no-index --no-deps --force-reinstall "$WHEEL"
    # From an empty directory, so that nothing but the installed module is found.
    (cd "$ROOT/build" && "$PY" -c 'import quillane_core; print("testing", quillane_core.__file__)')
else
    . "$ROOT/tools/setup-venv.sh" "$GROUPS_WANTED" ""
fi
cd "$ROOT"
# Test files or directories named first run alone; otherwise the whole suite.
TARGETS=(tests)
if [ $# -gt 0 ] && [ -e "${1%%::*}" ]; then
    TARGETS=()
fi
exec "$PY" -m pytest -q "${TARGETS[@]}" "$@"
