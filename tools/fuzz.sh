#!/usr/bin/env bash
# Fuzzes the module. By default against the pure-Python reference model:
# random schemas and data, native validate/collect compared with the model's
# answers. With --hostile, with hostile objects instead (finaliser keys,
# __index__ hooks that change containers under the walk or re-enter it,
# identity-hashed keys, schema objects that change their field map): every
# call must end in a sound result or exception, never in a crash.
# Usage: tools/fuzz.sh [--hostile] [--sanitized] [EXAMPLES_PER_PROPERTY] [MINUTES]
#   --hostile              run tests/test_hostile_fuzz.py, not the agreement properties
#   --sanitized            run every round in the AddressSanitizer and
#                          UndefinedBehaviorSanitizer build (tools/test-sanitized.sh)
#   EXAMPLES_PER_PROPERTY  hypothesis examples per property and round (default 20000)
#   MINUTES                keep starting new rounds, each with fresh random
#                          seeds, until this many minutes have passed (default:
#                          one round). Failures are kept in .hypothesis/ and
#                          replayed first by every later run.
# A round that kills the interpreter leaves no falsifying example behind; the
# hostile properties name the call that was running in .hypothesis/last-example.
# QUILLANE_PYTHON chooses the interpreter as for tools/test.sh, and a 3.14 or
# 3.15 that this machine lacks brings the whole run into the sid environment.
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/fuzz.sh" "$@")
. "$ROOT/tools/python.sh"
TESTS=tests/test_model_agreement.py
SANITIZED=0
while [ $# -gt 0 ]; do
    case "$1" in
        --hostile) TESTS=tests/test_hostile_fuzz.py ;;
        --sanitized) SANITIZED=1 ;;
        -*) refuse_option "$1" ;;
        *) break ;;
    esac
    shift
done
[ $# -le 2 ] && [[ "${1:-0}${2:-0}" =~ ^[0-9]+$ ]] ||
    { echo "fuzz.sh: EXAMPLES_PER_PROPERTY and MINUTES are numbers, and there is nothing after them (--help shows the usage)" >&2; exit 2; }
[ "$SANITIZED" = 1 ] || . "$ROOT/tools/setup-venv.sh" test ""
cd "$ROOT"
EXAMPLES="${1:-20000}"
MINUTES="${2:-0}"
export QUILLANE_FUZZ_EXAMPLES="$EXAMPLES"
export QUILLANE_FUZZ_LAST="$ROOT/.hypothesis/last-example"
mkdir -p .hypothesis
deadline=$(( $(date +%s) + MINUTES * 60 ))
round=0
while :; do
    round=$((round + 1))
    echo "fuzz round $round: $EXAMPLES examples per property"
    rm -f "$QUILLANE_FUZZ_LAST"
    status=0
    if [ "$SANITIZED" = 1 ]; then
        bash tools/test-sanitized.sh "$TESTS" -p no:randomly || status=$?
    else
        "$PY" -m pytest -q -p no:randomly "$TESTS" || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        if [ "$status" -gt 128 ] && [ -s "$QUILLANE_FUZZ_LAST" ]; then
            echo "the interpreter died (status $status) in: $(cat "$QUILLANE_FUZZ_LAST")" >&2
        fi
        exit "$status"
    fi
    [ "$(date +%s)" -lt "$deadline" ] || break
done
