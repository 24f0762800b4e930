#!/usr/bin/env bash
# Runs every static check of the project and fails if any of them fails:
#   tools/check-layers.sh                         (includes in src/ point downward only)
#   clang-format --dry-run --Werror on src/      (.clang-format)
#   clang-tidy on src/                            (.clang-tidy, compile database in build/lint;
#                                                  only files changed since they were last found clean,
#                                                  here or in the commit .ci/clang-tidy-clean names)
#   ruff check and ruff format --check            ([tool.ruff] in pyproject.toml)
#   mypy --strict on the stubs and on examples/typed_usage.py (the stubs as a caller sees them)
#   mypy.stubtest quillane_core                   (the stubs against the built module)
# Needs no root: the package with its lint extra (ruff, mypy, clang-format,
# clang-tidy, cmake, ninja, all pinned in pyproject.toml) goes into the venv;
# CLANG_FORMAT / CLANG_TIDY may name other binaries.
# Usage: tools/lint.sh [--fix]   (--fix rewrites src/ with clang-format and
# applies ruff's fixes and formatting instead of only checking them)
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FIX=0
case "${1:-}" in
    "") ;;
    --fix) FIX=1 ;;
    *) refuse_option "$1" ;;
esac
[ $# -le 1 ] || refuse_option "$2"

# The venv gets the module (for stubtest and mypy) and the lint tools.
SID_RERUN=(bash "$ROOT/tools/lint.sh" "$@")
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

# clang-tidy on one translation unit ($1, whose key is $2), run by xargs:
# reports the file with how long it took and what was found, in one write so
# that parallel runs do not interleave, and on a clean result writes the key
# into the file's stamp under TIDY_STAMPS, so that later runs skip it.
tidy_one() {
    local file="$1" key="$2" stamp="$TIDY_STAMPS/${1//\//_}" began=$SECONDS output status
    # A file can take minutes: each says when it starts, and what it found when it ends.
    printf '  started   %s\n' "$file"
    output="$("$CLANG_TIDY" -p build/lint --quiet "$file" 2>&1)"
    status=$?
    if [ $status = 0 ]; then
        printf '%s\n' "$key" >"$stamp"
        printf '  clean     %s (%d s)\n' "$file" $((SECONDS - began))
    else
        rm -f "$stamp"
        printf '  FINDINGS  %s (%d s):\n%s\n' "$file" $((SECONDS - began)) "$(
            grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$\|^Suppressed [0-9]* warnings\|^Use -header-filter\|^Use -system-headers' <<<"$output" |
                sed 's/^/    /'
        )"
    fi
    return $status
}

clang_tidy() {
    "$CLANG_TIDY" --version | grep -i version
    echo "configuring build/lint for its compile database (the lint preset of CMakePresets.json)"
    "$BIN/cmake" --preset lint -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DPython_EXECUTABLE="$PY" \
        >build/lint-configure.log 2>&1 || {
        cat build/lint-configure.log
        return 1
    }
    # A file found clean is not checked again while nothing that can change its
    # result has changed: its key hashes the file itself with what every file
    # shares, namely clang-tidy, .clang-tidy, the compile database (every flag
    # and include path), the compiler it names (whose standard headers
    # clang-tidy reads) and every header of src/ (so a header change re-checks
    # all files).
    export TIDY_STAMPS=build/lint/tidy-clean CLANG_TIDY
    TIDY_RECORD=.ci/clang-tidy-clean
    mkdir -p "$TIDY_STAMPS"
    local shared compiler
    compiler="$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' build/lint/compile_commands.json | head -n 1)"
    shared="$({
        "$CLANG_TIDY" --version
        "$compiler" --version
        sha1sum .clang-tidy build/lint/compile_commands.json
        find src -name '*.hpp' -print0 | LC_ALL=C sort -z | xargs -0 sha1sum
    } | sha1sum | cut -d' ' -f1)"
    local file key stale=()  # pairs: file, key
    for file in "${CXX_UNITS[@]}"; do
        key="$({ echo "$shared"; sha1sum "$file"; } | sha1sum | cut -d' ' -f1)"
        [ "$(cat "$TIDY_STAMPS/${file//\//_}" 2>/dev/null || true)" = "$key" ] || stale+=("$file" "$key")
    done
    # A fresh clone (CI's) has no stamps. .ci/clang-tidy-clean names a commit
    # whose every file was found clean, with the key of the toolchain that
    # found it so (clang-tidy, .clang-tidy, the compiler and its flags, with
    # the checkout's own path left out): under the same key, only the files
    # changed since that commit, and those that include a changed header,
    # need checking. Another key means a full pass.
    local toolchain record_key="" record_commit=""
    toolchain="$(tidy_toolchain_key)"
    read -r record_key record_commit <"$TIDY_RECORD" 2>/dev/null || true
    if [ ${#stale[@]} -gt 0 ] && [ "$record_key" = "$toolchain" ] && [ -n "$record_commit" ] &&
        git merge-base --is-ancestor "$record_commit" HEAD 2>/dev/null; then
        local -a affected kept=()
        mapfile -t affected < <(units_affected_since "$record_commit")
        local index
    for ((index = 0; index < ${#stale[@]}; index += 2)); do
            [[ " ${affected[*]} " != *" ${stale[index]} "* ]] || kept+=("${stale[index]}" "${stale[index + 1]}")
        done
        echo "$(((${#stale[@]} - ${#kept[@]}) / 2)) files unchanged since ${record_commit:0:12}, found clean there (.ci/clang-tidy-clean)"
        stale=("${kept[@]}")
    elif [ ${#stale[@]} -gt 0 ] && [ -n "$record_key" ] && [ "$record_key" != "$toolchain" ]; then
        echo "clang-tidy, its configuration or the compiler changed since .ci/clang-tidy-clean: a full pass"
    fi
    local checking=$((${#stale[@]} / 2))
    if [ $checking = 0 ]; then
        echo "all ${#CXX_UNITS[@]} files unchanged since they were last found clean; nothing to check"
        record_clean "$toolchain"
        return 0
    fi
    # One file per process, as many processes as cores; any finding is an
    # error (WarningsAsErrors in .clang-tidy). Each file reports as it ends.
    local jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    echo "checking $checking of ${#CXX_UNITS[@]} files, $jobs at a time (a file takes up to a few minutes), each reported as it starts and ends;" \
        "$((${#CXX_UNITS[@]} - checking)) unchanged since they were last found clean"
    export -f tidy_one
    printf '%s\n' "${stale[@]}" | xargs -P "$jobs" -n 2 bash -c 'tidy_one "$0" "$1"' || return 1
    record_clean "$toolchain"
}

# What .ci/clang-tidy-clean keys its commit by: what decides every file's
# result but the files themselves, with this checkout's path left out of the
# compile database.
tidy_toolchain_key() {
    {
        "$CLANG_TIDY" --version
        "$compiler" --version
        sha1sum <.clang-tidy
        sed "s#$ROOT#.#g" build/lint/compile_commands.json | sha1sum
    } | sha1sum | cut -d' ' -f1
}

# The translation units that a change since COMMIT can touch: those changed
# (committed or not), and those that include a changed header, directly or
# through other headers.
units_affected_since() {
    {
        git diff --name-only "$1" -- src
        git ls-files --others --exclude-standard -- src
    } | "$PY" -c '
import re
import sys
from pathlib import Path

changed = {line.strip() for line in sys.stdin if line.strip()}
files = [path.as_posix() for path in Path("src").rglob("*.[ch]pp")]
includes = {f: {"src/" + name for name in re.findall(r"^#include \"([^\"]+)\"", Path(f).read_text(), re.M)}
            for f in files}
affected = set(changed)
grew = True
while grew:
    grew = False
    for f, names in includes.items():
        if f not in affected and names & affected:
            affected.add(f)
            grew = True
print("\n".join(sorted(f for f in affected if f.endswith(".cpp"))))
'
}

# When every file is clean and src/ and .clang-tidy are as committed, the
# record names HEAD (commit .ci/clang-tidy-clean with the work).
record_clean() {
    local file key
    for file in "${CXX_UNITS[@]}"; do
        key="$({ echo "$shared"; sha1sum "$file"; } | sha1sum | cut -d' ' -f1)"
        [ "$(cat "$TIDY_STAMPS/${file//\//_}" 2>/dev/null || true)" = "$key" ] || return 0
    done
    [ -z "$(git status --porcelain -- src .clang-tidy 2>/dev/null)" ] || return 0
    local head
    head="$(git rev-parse HEAD 2>/dev/null)" || return 0
    if [ "$(cat "$TIDY_RECORD" 2>/dev/null || true)" != "$1 $head" ]; then
        printf '%s %s\n' "$1" "$head" >"$TIDY_RECORD"
        echo "every file clean at ${head:0:12}: .ci/clang-tidy-clean records it"
    fi
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
