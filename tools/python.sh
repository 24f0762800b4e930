# Sourced by the project's scripts: chooses the interpreter they use and says
# which one it is. QUILLANE_PYTHON names it: a path (/usr/bin/python3.14), a
# command (python3.14) or a version (3.14); without it, Python 3.13, wherever
# this machine keeps one. It must be CPython 3.13, 3.14 or 3.15 with the GIL,
# or the free-threaded 3.13 that tools/free-threaded.sh builds (3.13t, for trying
# the module without the GIL; built first when the machine lacks it; other
# free-threaded builds are not supported). Sets
#   BASE_PYTHON     the interpreter, that venvs are made from
#   PYTHON_VERSION  its version: 3.13, 3.14, 3.15 or 3.13t
#   VERSION_SUFFIX  what the names of build trees made with it end in: nothing
#                   for 3.13, else -3.14, -3.15 or -3.13t, so that each
#                   version keeps its own (build/sanitized, build/sanitized-3.14)
# and defines own_venv, which makes the scripts' venvs (below).
# When the version is one this machine lacks and the sid environment supplies
# (tools/sid-env.sh), a script that put the command that runs it again in
# SID_RERUN (an array) before sourcing this is run again in that environment;
# any other stops with one line that says how to run it there.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    . "$(dirname "$0")/usage.sh"
    echo "$0 is sourced by the project's scripts, not run (--help shows what it does)" >&2
    exit 2
fi
SUPPORTED_PYTHONS=(3.13 3.14 3.15)
SUPPORTED_TEXT="CPython 3.13, 3.14 or 3.15"
# The free-threaded builds the scripts take, by the versions that name them.
FREE_THREADED_PYTHONS=(3.13t)

# Prints "IMPLEMENTATION X.Y gil|free-threaded FULL_VERSION" for an
# interpreter, or nothing when it does not run.
describe_python() {
    "$1" -c 'import sys, sysconfig
print(sys.implementation.name, "%d.%d" % sys.version_info[:2],
      "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "gil", sys.version.split()[0])' \
        2>/dev/null || true
}

# Prints the version that names an interpreter: X.Y, or X.Yt for a
# free-threaded build.
python_version_name() {
    local version build
    read -r _ version build _ <<<"$(describe_python "$1")"
    [ "$build" = gil ] || version="${version}t"
    echo "$version"
}

# Succeeds when the interpreter is a supported one, of VERSION (X.Y or X.Yt)
# when given.
python_is_usable() {
    local implementation version
    read -r implementation _ <<<"$(describe_python "$1")"
    version="$(python_version_name "$1")"
    [ "$implementation" = cpython ] &&
        [[ " ${SUPPORTED_PYTHONS[*]} ${FREE_THREADED_PYTHONS[*]} " == *" $version "* ]] &&
        [ "${2:-$version}" = "$version" ]
}

choose_python() {
    local python_dir wanted="${QUILLANE_PYTHON:-}" version="" candidate rejected="" full
    local -a candidates=()
    python_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
    case "$wanted" in
        "") version=3.13 ;;
        */*) candidates=("$wanted") ;;
        [0-9]*) version="$wanted" ;;
        python[0-9]*.[0-9]*) version="${wanted#python}" ;;
        *) candidates=("$(command -v "$wanted" 2>/dev/null || true)") ;;
    esac
    # The version a path names (/usr/bin/python3.14), in case it is not here.
    [ -n "$version" ] || [[ ! "${wanted##*/}" =~ ^python([0-9]+\.[0-9]+t?)$ ]] || version="${BASH_REMATCH[1]}"
    if [[ "$version" == *t ]] && [[ " ${FREE_THREADED_PYTHONS[*]} " != *" $version "* ]]; then
        echo "QUILLANE_PYTHON=$wanted names a free-threaded build; quillane_core needs $SUPPORTED_TEXT with the GIL" \
            "(or 3.13t, the free-threaded 3.13 that tools/free-threaded.sh builds)." >&2
        exit 1
    fi
    if [ -n "$version" ] && [[ " ${SUPPORTED_PYTHONS[*]} ${FREE_THREADED_PYTHONS[*]} " != *" $version "* ]]; then
        echo "QUILLANE_PYTHON=$wanted names Python $version; quillane_core needs $SUPPORTED_TEXT." >&2
        exit 1
    fi
    if [ ${#candidates[@]} = 0 ] && [[ "$version" == *t ]]; then
        # Only the build of tools/free-threaded.sh, made now if the machine lacks it.
        candidates=("$(bash "$python_dir/free-threaded.sh" build)") || exit 1
    elif [ ${#candidates[@]} = 0 ]; then
        candidates=(
            "$(command -v "python$version" 2>/dev/null || true)"
            "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version"*/bin/python"$version"
            /root/.pyenv/versions/"$version"*/bin/python"$version"
            /usr/local/bin/python"$version"
            /usr/bin/python"$version"
        )
    fi
    for candidate in "${candidates[@]}"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        # pyenv's shim exists even when the version is not selected, and a
        # pyenv version directory may hold a free-threaded build.
        if python_is_usable "$candidate" "$version"; then
            BASE_PYTHON="$candidate"
            read -r _ _ _ full <<<"$(describe_python "$candidate")"
            PYTHON_VERSION="$(python_version_name "$candidate")"
            VERSION_SUFFIX="-$PYTHON_VERSION"
            [ "$PYTHON_VERSION" != 3.13 ] || VERSION_SUFFIX=""
            [[ "$PYTHON_VERSION" != *t ]] || full="$full free-threaded"
            echo "using Python $full ($BASE_PYTHON${QUILLANE_SID_ENV_INSIDE:+, in the sid environment})"
            return 0
        fi
        rejected="$candidate"
    done

    if [ -n "$version" ] && [ -z "${QUILLANE_SID_ENV_INSIDE:-}" ] && bash "$python_dir/sid-env.sh" supplies "$version"; then
        if [ -n "${SID_RERUN+set}" ]; then
            echo "Python $version is not on this machine: running in the sid environment (tools/sid-env.sh)"
            exec bash "$python_dir/sid-env.sh" run -- "${SID_RERUN[@]}"
        fi
        local script="${BASH_SOURCE[-1]}"
        [[ "$script" != "$(pwd)"/* ]] || script="${script#"$(pwd)"/}"
        echo "Python $version is not on this machine; the sid environment has it:" \
            "QUILLANE_PYTHON=$version bash tools/sid-env.sh run -- bash $script" >&2
        exit 1
    fi
    if [ -n "$rejected" ] && [ -n "$wanted" ]; then
        local implementation build
        read -r implementation version build _ <<<"$(describe_python "$rejected")"
        [ "$implementation" != cpython ] || implementation=CPython
        [ "$build" != gil ] || build=""
        echo "QUILLANE_PYTHON=$wanted is ${implementation:-no working interpreter} $version${build:+ ($build)}; quillane_core needs $SUPPORTED_TEXT with the GIL." >&2
    elif [ -n "$wanted" ]; then
        echo "QUILLANE_PYTHON=$wanted: no such interpreter on this machine." >&2
    else
        echo "quillane_core needs Python 3.13, and none was found on this machine (set QUILLANE_PYTHON to its path, or to python3.14 or python3.15)." >&2
    fi
    exit 1
}

# The file in each venv that the scripts make, which marks it as theirs.
VENV_MARK=.quillane-venv

# own_venv VENV: makes the venv VENV with BASE_PYTHON, marked as the scripts'
# own, or keeps it when it is theirs and of this version (one of theirs for
# another interpreter is made afresh). Anything else at that path is not
# theirs to touch: one line says so, and the script stops.
own_venv() {
    local venv="$1"
    if [ -e "$venv" ] && [ ! -e "$venv/$VENV_MARK" ]; then
        echo "$venv was not made by this project's scripts, which leave it alone: move it away to let them make their venv there" >&2
        exit 1
    fi
    if [ ! -x "$venv/bin/python" ] || ! python_is_usable "$venv/bin/python" "$PYTHON_VERSION"; then
        echo "creating the venv $(basename "$venv") (Python $PYTHON_VERSION)"
        [ ! -e "$venv" ] || rm -rf "$venv"  # marked as made here
        mkdir -p "$venv"
        : >"$venv/$VENV_MARK"
        "$BASE_PYTHON" -m venv "$venv"
    fi
}

# Chosen once per script, however often this is sourced; what a script sets
# for setup-venv.sh (VENV_KIND) after the first time stays as it set it.
if [ -z "${_QUILLANE_PYTHON_CHOSEN:-}" ]; then
    VENV_KIND=""
    choose_python
    _QUILLANE_PYTHON_CHOSEN=1
fi
