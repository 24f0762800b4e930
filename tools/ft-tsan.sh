#!/usr/bin/env bash
# The stress test of threads sharing data (tools/ft_stress.py) under
# ThreadSanitizer: the free-threaded 3.13 built with --with-thread-sanitizer
# (QUILLANE_FT_TSAN=1 tools/free-threaded.sh, once per machine, twenty to
# thirty minutes on 2 cores), the module built with -fsanitize=thread into a
# venv of that interpreter (.venv-quillane-tsan-3.13t, build tree
# build/tsan), then ft_stress.py with the sanitizer's reports written to
# build/tsan-reports/. Prints how many reports are of a race in the module's
# own code (the target: none) and how many of races inside the interpreter,
# and ends with status 1 when any is the module's.
# Usage: tools/ft-tsan.sh [FT_STRESS_ARGS...]
# (default: shared --runs 3 --seconds 20; read-only --runs 5 for the other
# program)
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/quietly.sh"
cd "$ROOT"

STRESS_ARGS=("$@")
[ ${#STRESS_ARGS[@]} -gt 0 ] || STRESS_ARGS=(shared --runs 3 --seconds 20)
BASE_PYTHON="$(QUILLANE_FT_TSAN=1 bash "$ROOT/tools/free-threaded.sh" build)"
VENV="$ROOT/.venv-quillane-tsan-3.13t"
LOGS="$ROOT/build/logs"
if [ -e "$VENV" ] && [ ! -e "$VENV/.quillane-venv" ]; then
    echo "$VENV was not made by this project's scripts, which leave it alone" >&2
    exit 1
fi
# The interpreter's own races (it ships suppressions for them in its sources)
# are reported too: they are counted apart, not fixed here.
export TSAN_OPTIONS="halt_on_error=0:exitcode=0:log_path=$ROOT/build/tsan-reports/report"
if [ ! -x "$VENV/bin/python" ]; then
    echo "creating the venv $(basename "$VENV")"
    mkdir -p "$VENV"
    : >"$VENV/.quillane-venv"
    "$BASE_PYTHON" -m venv "$VENV"
    progress "$LOGS/tsan-requirements.log" '^(Collecting|Successfully installed)' \
        "$VENV/bin/python" -m pip install --disable-pip-version-check --prefer-binary \
        'scikit-build-core>=0.11' 'cmake>=3.26' ninja
fi
echo "building quillane_core with -fsanitize=thread into $(basename "$VENV") (in build/tsan)"
CXXFLAGS="-fsanitize=thread -g" LDFLAGS="-fsanitize=thread" \
    progress "$LOGS/tsan-build.log" '^ *(\[[0-9]+/[0-9]+\] |\*\*\* )' \
    "$VENV/bin/python" -m pip install --disable-pip-version-check --verbose --no-build-isolation --no-deps \
    -Cbuild-dir=build/tsan -Ccmake.build-type=RelWithDebInfo .
rm -rf build/tsan-reports
mkdir -p build/tsan-reports
PYTHON_GIL=0 "$VENV/bin/python" tools/ft_stress.py "${STRESS_ARGS[@]}" || true
# A report is the module's when one of its racing accesses is made by the
# module's own code (the top frame of an access's stack in the module); one
# whose accesses are both the interpreter's, reached from the module's calls
# (PyList_GetItemRef's lock-free read racing a list's change, which the
# interpreter allows itself), or from no call of the module, is counted
# apart.
module=0
reached=0
interpreter=0
for report in build/tsan-reports/report*; do
    [ -e "$report" ] || continue
    # One file per process, each holding that process's reports.
    while IFS= read -r -d '' block; do
        [[ "$block" == *"ThreadSanitizer"* ]] || continue
        if grep -Eq '^ +#0 .*quillane_core\.cpython' <<<"$block"; then
            module=$((module + 1))
        elif [[ "$block" == *quillane_core.cpython* ]]; then
            reached=$((reached + 1))
        else
            interpreter=$((interpreter + 1))
        fi
    done < <(awk 'BEGIN { RS = "==================\n" } { printf "%s%c", $0, 0 }' "$report")
done
echo "ThreadSanitizer: $module report(s) of a race in the module's code; in the interpreter's code:" \
    "$reached reached from the module's calls, $interpreter from elsewhere (build/tsan-reports/)"
[ "$module" = 0 ]
