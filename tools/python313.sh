# Sourced by the project's scripts: sets PYTHON313 to a Python 3.13
# interpreter, wherever this machine keeps one, or stops with one line.
find_python313() {
    local candidate
    for candidate in \
        "${QUILLANE_PYTHON:-}" \
        "$(command -v python3.13 2>/dev/null || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 \
        /root/.pyenv/versions/3.13*/bin/python3.13 \
        /usr/local/bin/python3.13 \
        /usr/bin/python3.13; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        # pyenv's shim exists even when 3.13 is not the selected version.
        if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
            PYTHON313="$candidate"
            return 0
        fi
    done
    return 1
}

if ! find_python313; then
    echo "quillane_core needs Python 3.13, and none was found on this machine (set QUILLANE_PYTHON to its path)." >&2
    exit 1
fi
