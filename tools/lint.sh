#!/usr/bin/env bash
# Runs every static check of the project and fails if any of them fails:
#   tools/check-layers.sh                         (includes in src/ point downward only)
#   clang-format --dry-run --Werror on src/      (.clang-format)
#   clang-tidy on src/                            (.clang-tidy, compile database in build/lint)
#   ruff check and ruff format --check            ([tool.ruff] in pyproject.toml)
#   mypy --strict on the stubs and on examples/typed_usage.py (the stubs as a caller sees them)
#   mypy.stubtest quillane_core                   (the stubs against the built module)
# Needs no root: the package with its lint extra (ruff, mypy, clang-format,
# clang-tidy, cmake, ninja, all pinned in pyproject.toml) goes into the venv;
# CLANG_FORMAT / CLANG_TIDY may name other binaries.
# Usage: tools/lint.sh [--fix]   (--fix rewrites src/ with clang-format and
# applies ruff's fixes and formatting instead of only checking them)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FIX=0
case "${1:-}" in
    "") ;;
    --fix) FIX=1 ;;
    *) echo "usage: tools/lint.sh [--fix]" >&2; exit 2 ;;
esac

# The venv gets the module (for stubtest and mypy) and the lint tools.
. "$ROOT/tools/setup-venv.sh" lint ""
BIN="$(dirname "$PY")"
CLANG_FORMAT="${CLANG_FORMAT:-$BIN/clang-format}"
CLANG_TIDY="${CLANG_TIDY:-$BIN/clang-tidy}"
set +e
cd "$ROOT"
export RUFF_CACHE_DIR="$ROOT/build/ruff-cache"
mapfile -t CXX_FILES < <(find src -name '*.cpp' -o -name '*.hpp' | sort)
mapfile -t CXX_UNITS < <(find src -name '*.cpp' | sort)

FAILED=()
RESULTS=()
step() {
    local name="$1"
    shift
    echo "== $name"
    if "$@"; then
        RESULTS+=("ok      $name")
    else
        RESULTS+=("FAILED  $name")
        FAILED+=("$name")
    fi
}

clang_format() {
    "$CLANG_FORMAT" --version
    if [ $FIX = 1 ]; then
        "$CLANG_FORMAT" -i "${CXX_FILES[@]}"
    else
        "$CLANG_FORMAT" --dry-run --Werror "${CXX_FILES[@]}"
    fi
}

clang_tidy() {
    "$CLANG_TIDY" --version | grep -i version
    echo "configuring build/lint for its compile database (the lint preset of CMakePresets.json)"
    "$BIN/cmake" --preset lint -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DPython_EXECUTABLE="$PY" \
        >build/lint-configure.log 2>&1 || {
        cat build/lint-configure.log
        return 1
    }
    # One file per process, as many processes as cores; any finding is an
    # error (WarningsAsErrors in .clang-tidy).
    local jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    echo "running clang-tidy on ${#CXX_UNITS[@]} files, $jobs at a time (a few minutes)"
    printf '%s\n' "${CXX_UNITS[@]}" |
        xargs -P "$jobs" -n 1 "$CLANG_TIDY" -p build/lint --quiet 2>&1 |
        grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$\|^Suppressed [0-9]* warnings\|^Use -header-filter\|^Use -system-headers'
    return "${PIPESTATUS[1]}"
}

ruff_check() {
    if [ $FIX = 1 ]; then
        "$BIN/ruff" check --fix .
    else
        "$BIN/ruff" check .
    fi
}

ruff_format() {
    if [ $FIX = 1 ]; then
        "$BIN/ruff" format .
    else
        "$BIN/ruff" format --check .
    fi
}

mypy_strict() {
    "$PY" -m mypy --strict --cache-dir build/mypy-cache quillane_core-stubs/__init__.pyi &&
        "$PY" -m mypy --strict --cache-dir build/mypy-cache examples/typed_usage.py
}

stubtest() {
    # From an empty directory, so that only the installed module and stubs count.
    mkdir -p build/stubtest
    (cd build/stubtest && "$PY" -m mypy.stubtest quillane_core --mypy-config-file "$ROOT/pyproject.toml")
}

step "layers" bash tools/check-layers.sh
step "clang-format" clang_format
step "clang-tidy" clang_tidy
step "ruff check" ruff_check
step "ruff format" ruff_format
step "mypy --strict" mypy_strict
step "stubtest" stubtest

echo
printf '%s\n' "${RESULTS[@]}"
if [ ${#FAILED[@]} -gt 0 ]; then
    echo "lint failed: ${FAILED[*]}" >&2
    exit 1
fi
echo "lint passed"
