#!/usr/bin/env bash
# Runs each given wheel (default: every wheel in dist/) where it claims to
# run, as a user would: installed into a clean venv of its interpreter there,
# then the README's quick start, examples/typed_usage.py and the whole test
# suite against it. Where each runs:
#   x86-64, cp313        Debian 11 (glibc 2.31), CPython 3.13 built there from
#                        Debian's sources   (tools/sid-env.sh --root bullseye)
#   x86-64, cp314/cp315  Debian sid         (tools/sid-env.sh)
#   aarch64, cp313       Debian 13 arm64    (--root trixie-arm64, under qemu)
#   aarch64, cp314/cp315 Debian sid arm64   (--root sid-arm64, under qemu)
# The roots are made the first time they are needed and reused after (see
# tools/sid-env.sh: bullseye about ten minutes, an arm64 root fifteen), and
# the suite takes about 17 minutes under qemu. Needs root, like the roots.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
    cat <<'EOF'
usage: bash tools/wheel-check.sh [WHEEL...]
Installs each wheel (default: every wheel in dist/) into a clean venv where it
claims to run and runs the README's quick start, examples/typed_usage.py and
the test suite against it: x86-64 cp313 on Debian 11, cp314 and cp315 in the
sid environment, aarch64 in Debian's arm64 roots under qemu (each root made
the first time it is needed: tools/sid-env.sh). Needs root.
  bash tools/wheel.sh && bash tools/wheel-check.sh dist/*-cp313-*x86_64.whl
EOF
}

# Inside a root: the check itself, on the wheel WHEEL with interpreter PYTHON.
if [ "${1:-}" = __inside ]; then
    WHEEL="$2" PYTHON="$3"
    SCRATCH="$(mktemp -d)"
    trap 'rm -rf "$SCRATCH"' EXIT
    echo "system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -m), $(ldd --version | head -n 1 | sed 's/.* //') glibc;" \
        "$("$PYTHON" -c 'import sys; print("Python", sys.version.split()[0])')"
    "$PYTHON" -m venv "$SCRATCH/venv"
    PY="$SCRATCH/venv/bin/python"
    "$PY" -m pip install --disable-pip-version-check -q "$WHEEL" "pytest>=8" "hypothesis>=6.100" 2>&1 | grep -v '^WARNING: Location' || true
    (cd "$SCRATCH" && "$PY" -c 'import quillane_core; print("installed", quillane_core.__file__)')
    echo "== the README's quick start"
    "$PY" - "$ROOT/README.md" >"$SCRATCH/quick_start.py" <<'PYTHON'
import re
import sys

# The first Python block of the quick start, which defines what it needs.
quick_start = open(sys.argv[1], encoding="utf-8").read().split("\n## Quick start\n", 1)[1]
print(re.search(r"```python\n(.*?)```", quick_start, re.S).group(1))
PYTHON
    (cd "$SCRATCH" && "$PY" "$SCRATCH/quick_start.py")
    echo "== examples/typed_usage.py"
    (cd "$SCRATCH" && "$PY" "$ROOT/examples/typed_usage.py")
    echo "== the test suite"
    cd "$ROOT"
    exec "$PY" -m pytest -q -p no:cacheprovider tests
fi

WHEELS=()
for argument in "$@"; do
    case "$argument" in
        -h | --help) usage; exit 0 ;;
        -*) echo "tools/wheel-check.sh: unknown option '$argument' (bash tools/wheel-check.sh --help)" >&2; exit 2 ;;
    esac
    if [ ! -f "$argument" ]; then
        echo "tools/wheel-check.sh: no wheel at $argument" >&2
        exit 2
    fi
    WHEELS+=("$(realpath "$argument")")
done
cd "$ROOT"
# A free-threaded wheel (cp313t) has no system here but this machine, where
# .ci/run tests it: it is left out of dist/'s list.
[ ${#WHEELS[@]} -gt 0 ] || mapfile -t WHEELS < <(ls "$ROOT"/dist/*.whl 2>/dev/null | grep -v -- '-cp3[0-9]*t-')
if [ ${#WHEELS[@]} = 0 ]; then
    echo "no wheel to check in dist/: build one with bash tools/wheel.sh, or name one" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "tools/wheel-check.sh needs root (its roots are chroots): run it as root" >&2
    exit 1
fi
RESULTS=()
FAILED=0
for wheel in "${WHEELS[@]}"; do
    name="$(basename "$wheel")"
    if ! [[ "$name" =~ -cp3(1[345])-cp3[0-9]+-(.*)\.whl$ ]]; then
        echo "$name: not a CPython 3.13-3.15 wheel of this project" >&2
        exit 2
    fi
    version="3.${BASH_REMATCH[1]}"
    platform="${BASH_REMATCH[2]}"
    case "$platform" in
        *aarch64*) arch=aarch64 ;;
        *x86_64*) arch=x86_64 ;;
        *) echo "$name: no system here runs $platform" >&2; exit 2 ;;
    esac
    python="/usr/bin/python$version"
    case "$arch-$version" in
        x86_64-3.13) root=bullseye python=/opt/python3.13/bin/python3.13 ;;
        x86_64-*) root=sid-env ;;
        aarch64-3.13) root=trixie-arm64 ;;
        aarch64-*) root=sid-arm64 ;;
    esac
    echo "=== $name on $root"
    began=$SECONDS
    log="$ROOT/build/logs/wheel-check-${name%.whl}.log"
    mkdir -p "$(dirname "$log")"
    status=0
    QUILLANE_SID_ENV_BIND="$wheel" bash tools/sid-env.sh --root "$root" setup
    QUILLANE_SID_ENV_BIND="$wheel" bash tools/sid-env.sh --root "$root" run -- \
        bash "$ROOT/tools/wheel-check.sh" __inside "$wheel" "$python" 2>&1 | tee "$log" || status=$?
    summary="$(grep -E '^[0-9]+ (passed|failed)|(passed|failed).* in [0-9.]+s' "$log" | tail -n 1 || true)"
    system="$(grep -m 1 '^system:' "$log" | sed 's/^system: //' || true)"
    # Each step's heading is printed when the one before it has passed.
    quick_start="not run" typed_usage="not run"
    if grep -q '^== examples/typed_usage.py' "$log"; then
        quick_start=passed
    elif grep -q "^== the README's quick start" "$log"; then
        quick_start=FAILED
    fi
    if grep -q '^== the test suite' "$log"; then
        typed_usage=passed
    elif [ "$quick_start" = passed ]; then
        typed_usage=FAILED
    fi
    line="$name on $root ($system): quick start $quick_start, typed_usage $typed_usage, suite: ${summary:-no summary}"
    line+=" [$((SECONDS - began)) s]"
    if [ $status = 0 ]; then
        RESULTS+=("ok      $line")
    else
        RESULTS+=("FAILED  $line; log: $log")
        FAILED=1
    fi
done
echo
printf '%s\n' "${RESULTS[@]}"
exit $FAILED
