#!/usr/bin/env bash
# Instructions per call of validate and collect on each benchmark payload, by
# callgrind: repeatable whatever else the machine is doing, so that two builds
# can be compared on a busy machine. Prints one line per payload and method.
# Usage: tools/instructions.sh [PAYLOAD:METHOD:INSTANCE...]
# (default: every payload, validate and collect, on the valid instance;
# METHOD floor walks the benchmarks' floor, in the venv of tools/bench.sh,
# which must have run once on that interpreter).
# QUILLANE_PYTHON picks the interpreter as for the other scripts.
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/instructions.sh" "$@")
for case in "$@"; do
    [[ "$case" =~ ^[a-z-]+:[a-z]+:[a-z]+$ ]] || refuse_option "$case"
done
. "$ROOT/tools/python.sh"
# The floor is in the benchmarks' venv (tools/bench.sh installs it there).
if [[ " $* " == *":floor:"* ]]; then
    VENV_KIND=bench
fi
. "$ROOT/tools/setup-venv.sh" "" ""
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
CASES=("$@")
if [ ${#CASES[@]} -eq 0 ]; then
    for payload in flat nested records mapping ints strings geo; do
        CASES+=("$payload:validate:valid" "$payload:collect:valid")
    done
fi
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
count() {  # count RUN CASE: the instructions of the whole run
    QUILLANE_RUN="$1" PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$OUT/cg.out" \
        "$PY" "$ROOT/tools/instructions.py" "$2" >/dev/null 2>"$OUT/log" || { cat "$OUT/log" >&2; exit 1; }
    grep -m1 '^summary:' "$OUT/cg.out" | awk '{print $2}'
}
for case in "${CASES[@]}"; do
    # Two runs, N and 2N calls (N by payload, in instructions.py): what they
    # share (start-up, the payload's construction, the interpreter warming up
    # its loop) cancels out.
    base="$(count 1 "$case")"
    total="$(count 2 "$case")"
    calls="$("$PY" -c "import sys; sys.path.insert(0, '$ROOT/tools'); import instructions; print(instructions.CALLS['${case%%:*}'])")"
    printf '%-28s %14s instructions per call\n' "$case" "$(( (total - base) / calls ))"
done
