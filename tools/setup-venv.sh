# Sourced by the project's scripts: makes the venv VENV (default .venv) with
# Python 3.13 and installs the package into it with the given extras.
# Usage: . tools/setup-venv.sh EXTRAS [BUILD_DIR] [CMAKE_DEFINE=VALUE...]
# EXTRAS may be empty; BUILD_DIR defaults to build/<venv name>.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/python313.sh"

VENV="${VENV:-$ROOT/.venv}"
EXTRAS="$1"
BUILD_DIR="${2:-}"
[ -n "$BUILD_DIR" ] || BUILD_DIR="build/$(basename "$VENV")"
shift 2 || shift $#

if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    rm -rf "$VENV"
    "$PYTHON313" -m venv "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null
CONFIG=(-Cbuild-dir="$BUILD_DIR")
for arg in "$@"; do
    CONFIG+=(-Ccmake.define."$arg")
done
TARGET="."
[ -z "$EXTRAS" ] || TARGET=".[$EXTRAS]"
(cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check "${CONFIG[@]}" "$TARGET")
