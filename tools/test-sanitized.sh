#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own venv (.venv-quillane-sanitized-3.13, ...) and runs the whole
# test suite against it in the ordinary release interpreter (tools/python.sh;
# in the sid environment for a 3.14 or 3.15 this machine lacks), with the
# sanitizer runtimes preloaded.
# Usage: tools/test-sanitized.sh [TEST_PATHS...] [PYTEST_ARGS...]; with test
# files or directories first, only those run.
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SID_RERUN=(bash "$ROOT/tools/test-sanitized.sh" "$@")
. "$ROOT/tools/python.sh"
VENV_KIND=sanitized
. "$ROOT/tools/setup-venv.sh" test "build/sanitized$VERSION_SUFFIX" QUILLANE_SANITIZE=ON
cd "$ROOT"

CXX_DRIVER="${CXX:-g++}"
ASAN_RUNTIME="$("$CXX_DRIVER" -print-file-name=libasan.so)"
UBSAN_RUNTIME="$("$CXX_DRIVER" -print-file-name=libubsan.so)"
for runtime in "$ASAN_RUNTIME" "$UBSAN_RUNTIME"; do
    if [ ! -e "$runtime" ]; then
        echo "sanitizer runtime not found: $runtime" >&2
        exit 1
    fi
done

# Sanitized frames are larger; give the deepest schemas the same headroom a
# release build has (threads take their default stack size from this too).
ulimit -s 65536 2>/dev/null || true

# The interpreter's own allocations stay alive until exit by design, so leak
# detection is left to the suite's reference and block counts.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
# Every allocation through malloc, where the sanitizer sees it; a
# free-threaded interpreter knows no other allocator than its own
# (mimalloc), so there only the module's own allocations are checked.
if [[ "$PYTHON_VERSION" != *t ]]; then
    export PYTHONMALLOC=malloc
fi
export QUILLANE_SANITIZED=1
TARGETS=(tests)
if [ $# -gt 0 ] && [ -e "${1%%::*}" ]; then
    TARGETS=()
fi
LD_PRELOAD="$ASAN_RUNTIME $UBSAN_RUNTIME" exec "$PY" -m pytest -q -p no:cacheprovider "${TARGETS[@]}" "$@"
