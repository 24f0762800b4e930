#!/usr/bin/env bash
# Fuzzes the module against the pure-Python reference model: random schemas
# and data, native validate/collect compared with the model's answers.
# Usage: tools/fuzz.sh [EXAMPLES_PER_PROPERTY] [MINUTES]
#   EXAMPLES_PER_PROPERTY  hypothesis examples per property and round (default 20000)
#   MINUTES                keep starting new rounds, each with fresh random
#                          seeds, until this many minutes have passed (default:
#                          one round). Failures are kept in .hypothesis/ and
#                          replayed first by every later run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/setup-venv.sh" test ""
cd "$ROOT"
EXAMPLES="${1:-20000}"
MINUTES="${2:-0}"
deadline=$(( $(date +%s) + MINUTES * 60 ))
round=0
while :; do
    round=$((round + 1))
    echo "fuzz round $round: $EXAMPLES examples per property"
    QUILLANE_FUZZ_EXAMPLES="$EXAMPLES" "$PY" -m pytest -q -p no:randomly tests/test_model_agreement.py
    [ "$(date +%s)" -lt "$deadline" ] || break
done
