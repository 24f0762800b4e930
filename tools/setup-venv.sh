# Sourced by the project's scripts: makes the venv VENV (default .venv, or
# .venv-3.14 and .venv-3.15 for those versions) with the interpreter
# tools/python.sh chooses and installs the package into it with the given
# extras.
# Usage: . tools/setup-venv.sh EXTRAS [BUILD_DIR] [CMAKE_DEFINE=VALUE...]
# EXTRAS may be empty (or several, comma-separated); BUILD_DIR defaults to
# build/<venv name>.
#
# Reruns are incremental. The build requirements (and the extras) are
# installed into the venv once, and again only when pyproject.toml changes
# them; the package is built without build isolation into the kept BUILD_DIR,
# so CMake keeps its cache and Ninja recompiles only the sources that changed;
# and while the sources and the build settings are unchanged, nothing is
# built or installed at all. pip's output goes to
# build/logs/ and is shown only when pip fails.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/python.sh"
. "$ROOT/tools/quietly.sh"

VENV="${VENV:-$ROOT/.venv$VERSION_SUFFIX}"
EXTRAS="$1"
BUILD_DIR="${2:-}"
[ -n "$BUILD_DIR" ] || BUILD_DIR="build/$(basename "$VENV")"
shift 2 || shift $#
VENV_NAME="$(basename "$VENV")"
LOG_DIR="$ROOT/build/logs"
LOG_NAME="${VENV_NAME#.}"  # no hidden log files

if [ ! -x "$VENV/bin/python" ] || ! python_is_usable "$VENV/bin/python" "$PYTHON_VERSION"; then
    echo "creating the venv $VENV_NAME (Python $PYTHON_VERSION)"
    rm -rf "$VENV"
    "$BASE_PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
PIP=("$PY" -m pip --disable-pip-version-check)

# What a build needs ([build-system] requires, plus the CMake and Ninja that
# the backend would otherwise ask for) and the extras' dependencies.
REQUIREMENTS="$("$PY" - "$ROOT/pyproject.toml" "$EXTRAS" <<'EOF'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)
needed = [*project["build-system"]["requires"], "cmake" + project["tool"]["scikit-build"]["cmake"]["version"], "ninja"]
extras = project["project"].get("optional-dependencies", {})
for extra in filter(None, sys.argv[2].split(",")):
    needed += extras[extra]
print("\n".join(needed))
EOF
)"
REQUIREMENTS_STAMP="$VENV/quillane-requirements-${EXTRAS:-build}.txt"
if [ "$(cat "$REQUIREMENTS_STAMP" 2>/dev/null || true)" != "$REQUIREMENTS" ]; then
    echo "installing the build requirements${EXTRAS:+ and the $EXTRAS extra} into $VENV_NAME (once)"
    quietly "$LOG_DIR/$LOG_NAME-pip.log" "${PIP[@]}" install --upgrade pip
    printf '%s\n' "$REQUIREMENTS" >"$REQUIREMENTS_STAMP.new"
    quietly "$LOG_DIR/$LOG_NAME-requirements.log" "${PIP[@]}" install -r "$REQUIREMENTS_STAMP.new"
    mv "$REQUIREMENTS_STAMP.new" "$REQUIREMENTS_STAMP"
fi

CONFIG=(-Cbuild-dir="$BUILD_DIR")
for arg in "$@"; do
    CONFIG+=(-Ccmake.define."$arg")
done
# Everything the built package depends on: the settings, the environment the
# compiler reads, and the content of every file the build reads (the build
# requirements among them, in pyproject.toml).
SOURCES_STAMP="$VENV/quillane-installed.txt"
fingerprint() {
    printf '%s\n' "${CONFIG[@]}" "CXX=${CXX:-}" "CXXFLAGS=${CXXFLAGS:-}" "LDFLAGS=${LDFLAGS:-}"
    (cd "$ROOT" && find pyproject.toml CMakeLists.txt README.md LICENSE src quillane_core-stubs -type f -print0 |
        LC_ALL=C sort -z | xargs -0 sha1sum)
}
FINGERPRINT="$(fingerprint | sha1sum)"
if [ "$(cat "$SOURCES_STAMP" 2>/dev/null || true)" != "$FINGERPRINT" ] ||
    ! compgen -G "$VENV/lib/python$PYTHON_VERSION/site-packages/quillane_core.*" >/dev/null; then
    echo "building quillane_core into $VENV_NAME (in $BUILD_DIR; only changed sources recompile)"
    rm -f "$SOURCES_STAMP"
    (cd "$ROOT" && quietly "$LOG_DIR/$LOG_NAME-build.log" \
        "${PIP[@]}" install --verbose --no-build-isolation --no-deps "${CONFIG[@]}" .)
    printf '%s\n' "$FINGERPRINT" >"$SOURCES_STAMP"
fi
