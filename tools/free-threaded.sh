#!/usr/bin/env bash
# A free-threaded CPython 3.13 (configured with --disable-gil), to build and
# test the module without the GIL: QUILLANE_PYTHON=3.13t makes the project's
# scripts use it (tools/python.sh), and has it built first if need be.
# Usage: tools/free-threaded.sh [build|path|remove]
#        tools/free-threaded.sh run ARGS...
#   build   build it unless this machine has it already (the default), then
#           print the interpreter's path
#   path    print the interpreter's path (whether it is built or not)
#   remove  delete it (the next build makes it afresh)
#   run     build it if need be, then run it with ARGS (as
#           `tools/free-threaded.sh run -c 'import sys; print(sys.version)'`)
# With QUILLANE_FT_TSAN=1, the same for the interpreter built with
# ThreadSanitizer, in its own folder (tools/ft-tsan.sh uses it).
# It is built from the upstream sources that Debian's python3.13 source
# package carries (apt-get source, from the newest suite that serves it:
# trixie, else sid), fetched from the Debian archive this machine's apt
# already uses: its address is read from apt's own configuration
# (QUILLANE_SID_ARCHIVE may name another, as for tools/sid-env.sh), and the
# deb-src line lives only in a temporary apt state, so the machine's sources
# and package lists are left as they are. It installs into
# /var/cache/quillane/ft-3.13 ($QUILLANE_FT_PYTHON_DIR), outside the project,
# once per machine: about ten minutes on 2 cores (make -j2, niced; each
# stage and the compile count shown as it goes, the tools' output kept in
# build/logs/free-threaded-*.log). A stamp written last marks it complete; later
# runs find it and return within a second. A lock keeps two builds from
# racing. Needs CPython's build dependencies on the machine (a C compiler and
# the -dev packages of OpenSSL, zlib, libffi, bz2, lzma, sqlite3, readline,
# ncurses, uuid, gdbm and expat).
. "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/quietly.sh"

VERSION=3.13
# QUILLANE_FT_TSAN=1: the same interpreter built with ThreadSanitizer
# (--with-thread-sanitizer), into its own folder (ft-3.13-tsan), for a
# module built with -fsanitize=thread (an uninstrumented interpreter gives
# false reports).
TSAN_FLAGS=()
[ -z "${QUILLANE_FT_TSAN:-}" ] || TSAN_FLAGS=(--with-thread-sanitizer)
FT_DIR="$(realpath -m "${QUILLANE_FT_PYTHON_DIR:-/var/cache/quillane/ft-$VERSION${QUILLANE_FT_TSAN:+-tsan}}")"
FT_PYTHON="$FT_DIR/bin/python${VERSION}t"
LOCK="$FT_DIR.lock"
SOURCE_DIR="$FT_DIR.src"
LOGS="$ROOT/build/logs"
# Written first: what makes the folder one this script may delete.
OWNED_STAMP="$FT_DIR/.quillane-ft-python"
# Written last: the build is complete (it holds the source package's name).
DONE_STAMP="$FT_DIR/.quillane-ft-python-built"
JOBS=2

command="${1:-build}"
case "$command" in
    build | path | remove) [ $# -le 1 ] || refuse_option "$2" ;;
    run) shift ;;
    *) refuse_option "$command" ;;
esac

is_built() {
    [ -f "$DONE_STAMP" ] && [ -x "$FT_PYTHON" ]
}

take_lock() {
    mkdir -p "$(dirname "$LOCK")"
    exec {LOCK_FD}>>"$LOCK"
    if ! flock -n -x "$LOCK_FD"; then
        echo "waiting for another build of the free-threaded Python $VERSION to end"
        flock -x "$LOCK_FD"
    fi
}

# The Debian archive this machine's apt uses: the first one that serves this
# release's own suite, as apt's configuration lists its index targets.
archive_uri() {
    if [ -n "${QUILLANE_SID_ARCHIVE:-}" ]; then
        echo "$QUILLANE_SID_ARCHIVE"
        return
    fi
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' 2>/dev/null |
        awk -v suite="$codename" '$1 == "deb" && $2 == suite { print $3; exit }'
}

# Fetches the source package into SOURCE_DIR through a temporary apt state
# (its own sources list, package lists and no caches), from the first suite
# that serves it; prints that suite.
fetch_sources() {
    local uri="$1" state suite status=1
    state="$(mktemp -d)"
    mkdir -p "$state/lists/partial" "$state/parts"
    local -a apt=(apt-get -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts="$state/parts"
        -o Dir::State::Lists="$state/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
        -o APT::Sandbox::User=root)
    for suite in trixie sid; do
        printf 'deb-src %s %s main\n' "$uri" "$suite" >"$state/sources.list"
        quietly "$LOGS/free-threaded-apt-update.log" "${apt[@]}" update || break
        rm -rf "$SOURCE_DIR"
        mkdir -p "$SOURCE_DIR"
        if (cd "$SOURCE_DIR" && "${apt[@]}" source --download-only "python$VERSION") \
            >"$LOGS/free-threaded-source.log" 2>&1; then
            status=0
            break
        fi
    done
    rm -rf "$state"
    if [ $status != 0 ]; then
        echo "could not fetch Debian's python$VERSION sources (output in $LOGS/free-threaded-source.log)" >&2
        cat "$LOGS/free-threaded-source.log" >&2 2>/dev/null || true
        exit 1
    fi
    echo "$suite"
}

# make_with_count LOG WHERE PATTERN WHAT MAKE_ARGS...: runs make in the
# background and says every half minute how many files matching PATTERN it
# has made in WHERE (WHAT names them).
make_with_count() {
    local log="$1" where="$2" pattern="$3" what="$4" pid status=0 start=$SECONDS count
    shift 4
    nice make "$@" >"$log" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 30
        kill -0 "$pid" 2>/dev/null || break
        count="$(find "$where" -name "$pattern" 2>/dev/null | wc -l)"
        echo "    $count $what ($(( (SECONDS - start) / 60 )) min $(( (SECONDS - start) % 60 )) s)"
    done
    wait "$pid" || status=$?
    if [ $status != 0 ]; then
        echo "failed: make $* (its output follows; kept in $log)" >&2
        cat "$log" >&2
        exit $status
    fi
}

build() {
    local uri suite tarball
    if [ -e "$FT_DIR" ] && [ ! -e "$OWNED_STAMP" ]; then
        echo "$FT_DIR was not made by tools/free-threaded.sh, which leaves it alone: move it away to build there" >&2
        exit 1
    fi
    uri="$(archive_uri)"
    if [ -z "$uri" ]; then
        echo "no Debian archive found in this machine's apt configuration; set QUILLANE_SID_ARCHIVE to one" >&2
        exit 1
    fi
    local start=$SECONDS
    echo "building a free-threaded CPython $VERSION into $FT_DIR from Debian's python$VERSION sources" \
        "(once per machine; about ten minutes on 2 cores)"
    rm -rf "$FT_DIR"
    mkdir -p "$FT_DIR" "$LOGS"
    : >"$OWNED_STAMP"
    echo "  fetching the sources (apt-get source, a temporary apt state)"
    suite="$(fetch_sources "$uri")"
    tarball="$(cd "$SOURCE_DIR" && ls ./*.orig.tar.* | head -n 1)"
    echo "  the sources: ${tarball#./} (from $suite)"
    (cd "$SOURCE_DIR" && tar -xf "$tarball")
    cd "$SOURCE_DIR"/Python-*/
    echo "  configuring (--disable-gil${TSAN_FLAGS[*]:+ ${TSAN_FLAGS[*]}})"
    quietly "$LOGS/free-threaded-configure.log" ./configure --prefix="$FT_DIR" --disable-gil --with-ensurepip=install "${TSAN_FLAGS[@]}"
    echo "  compiling (make -j$JOBS, niced)"
    make_with_count "$LOGS/free-threaded-build.log" . '*.o' "objects compiled (of about 350)" -j"$JOBS"
    echo "  installing into $FT_DIR (and compiling the standard library's bytecode)"
    make_with_count "$LOGS/free-threaded-install.log" "$FT_DIR" '*.pyc' "bytecode files written (of about 5,600)" altinstall
    cd "$ROOT"
    rm -rf "$SOURCE_DIR"
    if ! "$FT_PYTHON" -c 'import sys, sysconfig, ssl, ctypes, sqlite3
assert sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled()' >/dev/null 2>&1; then
        echo "the interpreter built in $FT_DIR is not a working free-threaded one" \
            "(a module it needs is missing: see $LOGS/free-threaded-build.log)" >&2
        exit 1
    fi
    printf '%s from %s\n' "${tarball#./}" "$suite" >"$DONE_STAMP"
    echo "built $("$FT_PYTHON" -VV | head -n 1) in $(( (SECONDS - start) / 60 )) min ($(du -sh "$FT_DIR" | cut -f1))"
}

case "$command" in
    path)
        echo "$FT_PYTHON"
        ;;
    build | run)
        if ! is_built; then
            take_lock
            is_built || build >&2
        fi
        if [ "$command" = run ]; then
            exec "$FT_PYTHON" "$@"
        fi
        echo "$FT_PYTHON"
        ;;
    remove)
        take_lock
        if [ -e "$FT_DIR" ] && [ ! -e "$OWNED_STAMP" ]; then
            echo "$FT_DIR was not made by tools/free-threaded.sh, which leaves it alone" >&2
            exit 1
        fi
        echo "removing the free-threaded Python $VERSION in $FT_DIR"
        rm -rf "$FT_DIR" "$SOURCE_DIR"
        ;;
esac
