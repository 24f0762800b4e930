# Sourced by the project's scripts: makes their venv with the interpreter
# tools/python.sh chooses and installs the package into it, with the given
# dependency groups of pyproject.toml. The venv is .venv-quillane-X.Y (X.Y the
# version), or .venv-quillane-KIND-X.Y when the script sets VENV_KIND (a
# sanitized build, the benchmarks' peers); a name of the scripts' own, so that
# a venv of the user's (.venv) is never theirs to touch, and one that they did
# not make at their path stops them with one line (own_venv, tools/python.sh).
# Usage: . tools/setup-venv.sh GROUPS [BUILD_DIR] [CMAKE_DEFINE=VALUE...]
# GROUPS may be empty (or several, comma-separated); BUILD_DIR defaults to
# build/<venv name>.
#
# Reruns are incremental. The build requirements (and the extras) are
# installed into the venv once, and again only when pyproject.toml changes
# them; the package is built without build isolation into the kept BUILD_DIR,
# so CMake keeps its cache and Ninja recompiles only the sources that changed;
# and while the sources and the build settings are unchanged, nothing is
# built or installed at all. pip's output goes to
# build/logs/ and is shown whole only when pip fails; meanwhile the packages
# pip collects and the compile steps (n of N) are shown as they come.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    . "$(dirname "$0")/usage.sh"
    echo "$0 is sourced by the project's scripts, not run (--help shows what it does)" >&2
    exit 2
fi
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/python.sh"
. "$ROOT/tools/quietly.sh"

VENV="$ROOT/.venv-quillane${VENV_KIND:+-$VENV_KIND}-$PYTHON_VERSION"
GROUPS_WANTED="$1"
BUILD_DIR="${2:-}"
[ -n "$BUILD_DIR" ] || BUILD_DIR="build/$(basename "$VENV")"
shift 2 || shift $#
VENV_NAME="$(basename "$VENV")"
LOG_DIR="$ROOT/build/logs"
LOG_NAME="${VENV_NAME#.}"  # no hidden log files

own_venv "$VENV"
PY="$VENV/bin/python"
PIP=("$PY" -m pip --disable-pip-version-check)

# What a build needs ([build-system] requires, plus the CMake and Ninja that
# the backend would otherwise ask for) and the groups' packages, resolved by
# pip from pyproject.toml's [dependency-groups] (pip 25.1 or newer, which the
# venv is brought to first).
REQUIREMENTS="$("$PY" - "$ROOT/pyproject.toml" "$GROUPS_WANTED" <<'EOF'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)
needed = [*project["build-system"]["requires"], "cmake" + project["tool"]["scikit-build"]["cmake"]["version"], "ninja"]
groups = project.get("dependency-groups", {})
# The stamp holds every group's own list, so that a change to one reinstalls.
print("\n".join(needed + [f"{group}: {groups[group]}" for group in filter(None, sys.argv[2].split(","))]))
EOF
)"
REQUIREMENTS_STAMP="$VENV/quillane-requirements-${GROUPS_WANTED:-build}.txt"
if [ "$(cat "$REQUIREMENTS_STAMP" 2>/dev/null || true)" != "$REQUIREMENTS" ]; then
    GROUP_ARGS=()
    IFS=, read -ra GROUP_NAMES <<<"$GROUPS_WANTED"
    for group in "${GROUP_NAMES[@]}"; do
        GROUP_ARGS+=(--group "$ROOT/pyproject.toml:$group")
    done
    echo "installing pip, the build requirements${GROUPS_WANTED:+ and the $GROUPS_WANTED group} into $VENV_NAME" \
        "(once; half a minute to two minutes, each package named as pip collects it)"
    progress "$LOG_DIR/$LOG_NAME-pip.log" '^Successfully installed' "${PIP[@]}" install --upgrade 'pip>=25.1'
    mapfile -t BUILD_NEEDS < <(sed -n '/: /!p' <<<"$REQUIREMENTS")
    # A free-threaded interpreter finds no wheel of some packages' newest
    # releases (hypothesis's native part), whose sdists need a Rust
    # toolchain: it takes the newest release that has a wheel for it.
    PREFER=()
    [[ "$PYTHON_VERSION" != *t ]] || PREFER=(--prefer-binary)
    progress "$LOG_DIR/$LOG_NAME-requirements.log" '^(Collecting|Successfully installed)' \
        "${PIP[@]}" install "${PREFER[@]}" "${GROUP_ARGS[@]}" "${BUILD_NEEDS[@]}"
    printf '%s\n' "$REQUIREMENTS" >"$REQUIREMENTS_STAMP"
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
    echo "building quillane_core into $VENV_NAME (in $BUILD_DIR; only changed sources recompile:" \
        "a full build takes a minute or two, each compile step shown as it starts)"
    rm -f "$SOURCES_STAMP"
    (cd "$ROOT" && progress "$LOG_DIR/$LOG_NAME-build.log" '^ *(\[[0-9]+/[0-9]+\] |\*\*\* )' \
        "${PIP[@]}" install --verbose --no-build-isolation --no-deps "${CONFIG[@]}" .)
    printf '%s\n' "$FINGERPRINT" >"$SOURCES_STAMP"
fi
