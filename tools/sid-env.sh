#!/usr/bin/env bash
# A Debian unstable (sid) environment for the interpreters this machine lacks:
# Python 3.14 and 3.15 with their headers and venv module, g++, CMake, valgrind and
# Ninja, in a minimal root file system that the project's commands run in.
#   tools/sid-env.sh run [--] CMD [ARGS...]   run CMD in it (made first if need be)
#   tools/sid-env.sh setup                    make it, or complete it, and stop
#   tools/sid-env.sh supplies VERSION         succeed if it supplies Python VERSION
#   tools/sid-env.sh path                     print where it lives
#   tools/sid-env.sh remove                   delete it (the next run makes it afresh)
#   tools/sid-env.sh archive                  print the Debian archive it is made from
#   tools/sid-env.sh --root NAME COMMAND ...  the same for another root made
#                                             alike (for tools/wheel-check.sh):
#     trixie-arm64  Debian 13 for arm64 with Python 3.13 (run under qemu)
#     sid-arm64     Debian sid for arm64 with Python 3.14 and 3.15 (under qemu)
#     bullseye      Debian 11 (glibc 2.31) with Python 3.13 built in it from
#                   Debian's python3.13 sources into /opt/python3.13
# tools/test.sh, tools/fuzz.sh and tools/test-sanitized.sh run themselves in it
# when QUILLANE_PYTHON names a version it supplies and this machine lacks.
#
# Needs root (debootstrap, chroot, mounts). The first setup installs
# debootstrap on this machine if it is missing, bootstraps sid from the Debian
# archive this machine's apt already uses (read from its sources at run time;
# QUILLANE_SID_ARCHIVE may name another) and installs the packages without
# recommends: 758 MB (du -sh "$(bash tools/sid-env.sh path)"), made in one to four minutes (four on a busy 2-core
# machine). Later runs find it ready and start CMD within a second. A lock
# keeps two setups from racing, and a setup from changing the environment
# while a command runs in it.
#
# An arm64 root is bootstrapped in two stages (debootstrap --foreign, then the
# second stage run in it under qemu-user-static, which this installs on the
# machine with the kernel's binfmt_misc handler for arm64 programs): five to
# fifteen minutes; bullseye's Python build takes about five more. Each root
# lives in /var/cache/quillane/NAME.
#
# It lives outside the project, in $QUILLANE_SID_ENV (default
# /var/cache/quillane/sid-env): every checkout of the project on the machine
# shares the one tree, deleting build/ or .venv* to start afresh does not cost
# the setup again, and nothing that walks the project (ruff, the sdist, git
# clean) meets a root file system with device nodes in it.
#
# CMD runs as root with this project bound at its own path (venvs and build
# trees made inside record the same paths as outside) and in the current
# directory when that is in the project, else at its top. Each run mounts what
# the command needs in a mount namespace of its own: /proc, /dev, a read-only
# /sys, a fresh /tmp, the machine's resolv.conf and hosts, the project, and,
# read-only, what pip here is configured with (its pip.conf files, and the
# files and local package directories they and the PIP_* variables name, the
# CA bundles named by PIP_CERT, REQUESTS_CA_BUNDLE, SSL_CERT_FILE and
# CURL_CA_BUNDLE), so that pip inside reaches the package index as it does
# here, and, read-only at the same paths, what QUILLANE_SID_ENV_BIND names
# (paths separated by colons). The mounts are undone when the command ends, however it ends, and are
# never visible outside it. The machine's extra CA certificates
# (/usr/local/share/ca-certificates) are installed into the environment's own
# trust store. Only the variables a build or test reads pass in (PIP_*,
# QUILLANE_*, HYPOTHESIS_*, PYTEST_*, the sanitizers' options, compilers and
# their flags, proxies, certificate paths); PATH, HOME and LANG are the
# environment's own.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SELF="$ROOT/tools/sid-env.sh"
. "$ROOT/tools/quietly.sh"

ROOT_NAME=sid-env
if [ "${1:-}" = --root ]; then
    ROOT_NAME="${2:-}"
    shift 2 || shift $#
fi
SID_PYTHONS=(3.14 3.15)
SUITE=sid
DEB_ARCH=""       # another architecture than this machine's, run under qemu
BUILT_PYTHON=""   # a Python built from Debian's sources into /opt/pythonX.Y
case "$ROOT_NAME" in
    sid-env)
        LABEL="the sid environment"
        # valgrind: for tools/instructions.sh, which tools/bench-versions.sh
        # runs on each version.
        PACKAGES=(ca-certificates g++ cmake ninja-build valgrind)
        for version in "${SID_PYTHONS[@]}"; do
            PACKAGES+=("python$version" "python$version-dev" "python$version-venv")
        done
        ENV_DIR="$(realpath -m "${QUILLANE_SID_ENV:-/var/cache/quillane/sid-env}")"
        ;;
    trixie-arm64 | sid-arm64)
        SUITE="${ROOT_NAME%-arm64}"
        DEB_ARCH=arm64
        LABEL="the $ROOT_NAME root"
        PACKAGES=(ca-certificates)
        versions=(3.13)
        [ "$SUITE" = trixie ] || versions=("${SID_PYTHONS[@]}")
        for version in "${versions[@]}"; do
            PACKAGES+=("python$version" "python$version-dev" "python$version-venv")
        done
        ENV_DIR="/var/cache/quillane/$ROOT_NAME"
        ;;
    bullseye)
        SUITE=bullseye
        LABEL="the bullseye root"
        BUILT_PYTHON=3.13
        # What CPython's build needs for the modules the project and pip use.
        PACKAGES=(ca-certificates build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev
            liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev libexpat1-dev)
        ENV_DIR="/var/cache/quillane/$ROOT_NAME"
        ;;
    *)
        echo "tools/sid-env.sh: no root named '$ROOT_NAME' (trixie-arm64, sid-arm64 or bullseye)" >&2
        exit 2
        ;;
esac
LOCK="$ENV_DIR.lock"
LOGS="$ROOT/build/logs"
# Written first: what makes the folder one that this script may delete.
OWNED_STAMP="$ENV_DIR/.quillane-$ROOT_NAME"
# Written last by each setup step: the base system, the packages installed
# (every checkout's list, so that checkouts with different lists add to it),
# and the extra CA certificates installed.
BASE_STAMP="$ENV_DIR/.quillane-base"
PACKAGES_STAMP="$ENV_DIR/.quillane-packages"
CA_STAMP="$ENV_DIR/.quillane-ca-certificates"
PYTHON_STAMP="$ENV_DIR/.quillane-python$BUILT_PYTHON"
EXTRA_CA_DIR=/usr/local/share/ca-certificates
# The lines of debootstrap's output that start its stages (not the one line
# per package of each), shown while it runs.
DEBOOTSTRAP_STAGES='^I: (Retrieving Packages|Resolving dependencies|Installing core|Unpacking required|Configuring required|Unpacking the base|Configuring the base|Base system)'

usage() {
    sed -n '5,16p' "$SELF" | sed 's/^# *//' >&2
    exit 2
}

need_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "$LABEL needs root (debootstrap, chroot and mounts); run tools/sid-env.sh as root" >&2
        exit 1
    fi
}

# The Debian archive this machine's apt uses: the URI of the first enabled
# source of this release's own suite (deb822 .sources files, then one-line
# .list files).
archive_uri() {
    if [ -n "${QUILLANE_SID_ARCHIVE:-}" ]; then
        echo "$QUILLANE_SID_ARCHIVE"
        return
    fi
    local codename file
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    {
        for file in /etc/apt/sources.list.d/*.sources; do
            [ -f "$file" ] || continue
            awk -v suite="$codename" '
                function stanza_end() {
                    if (index(" " types " ", " deb ") && enabled != "no" && uri != "" && index(" " suites " ", " " suite " "))
                        print uri
                    types = suites = uri = enabled = ""
                }
                /^[[:space:]]*#/ { next }
                /^[[:space:]]*$/ { stanza_end(); next }
                tolower($1) == "types:" { $1 = ""; types = $0 }
                tolower($1) == "uris:" { uri = $2 }
                tolower($1) == "suites:" { $1 = ""; suites = $0 }
                tolower($1) == "enabled:" { enabled = tolower($2) }
                END { stanza_end() }' "$file"
        done
        for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$file" ] || continue
            awk -v suite="$codename" '
                $1 == "deb" {
                    i = 2
                    if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                    if ($(i + 1) == suite) print $i
                }' "$file"
        done
    } | head -n 1
}

extra_ca_state() {
    [ -d "$EXTRA_CA_DIR" ] || return 0
    (cd "$EXTRA_CA_DIR" && find -L . -type f -name '*.crt' -print0 | LC_ALL=C sort -z | xargs -0r sha1sum)
}

missing_packages() {
    printf '%s\n' "${PACKAGES[@]}" | LC_ALL=C sort -u |
        LC_ALL=C comm -23 - <(LC_ALL=C sort -u "$PACKAGES_STAMP" 2>/dev/null || true)
}

is_ready() {
    [ -f "$BASE_STAMP" ] && [ -f "$PACKAGES_STAMP" ] && [ -z "$(missing_packages)" ] &&
        [ "$(cat "$CA_STAMP" 2>/dev/null || true)" = "$(extra_ca_state)" ] &&
        { [ -z "$BUILT_PYTHON" ] || [ -f "$PYTHON_STAMP" ]; } && binfmt_ready
}

# An arm64 root's programs run under qemu-user-static, through the kernel's
# binfmt_misc handler (its F flag opens the emulator once, so that it serves
# inside chroots too).
binfmt_ready() {
    [ -z "$DEB_ARCH" ] || [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null)" = enabled ]
}

ensure_binfmt() {
    binfmt_ready && return 0
    if ! command -v qemu-aarch64-static >/dev/null || ! command -v update-binfmts >/dev/null; then
        echo "installing qemu-user-static on this machine (apt-get), to run arm64 programs"
        quietly "$LOGS/$ROOT_NAME-qemu-install.log" apt-get update
        quietly "$LOGS/$ROOT_NAME-qemu-install.log" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends qemu-user-static binfmt-support
    fi
    [ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    binfmt_ready || { echo "could not enable the binfmt_misc handler for arm64 programs (qemu-aarch64)" >&2; exit 1; }
}

# Deletes the environment, or what a failed setup left of it: only a folder
# that this script made, and with nothing mounted inside it (in this mount
# namespace; a run's mounts are in its own).
delete_env() {
    [ -e "$ENV_DIR" ] || return 0
    if [ ! -f "$OWNED_STAMP" ] && [ -n "$(ls -A "$ENV_DIR" 2>/dev/null)" ]; then
        echo "$ENV_DIR holds something other than $LABEL; not touching it" >&2
        exit 1
    fi
    if findmnt -rn -o TARGET | awk -v dir="$ENV_DIR" '$0 == dir || index($0, dir "/") == 1' | grep -q .; then
        echo "something is mounted inside $ENV_DIR; not touching it (see findmnt)" >&2
        exit 1
    fi
    rm -rf "$ENV_DIR"
}

# Takes the lock (-x for a setup or removal, -s for a command), on one open
# file kept for the life of the process, so that a setup's exclusive lock
# turns into the shared one of the command that follows it. A command holds
# its lock until it ends, so a setup waits for running commands.
LOCK_FD=
take_lock() {
    if [ -z "$LOCK_FD" ]; then
        mkdir -p "$(dirname "$LOCK")"
        exec {LOCK_FD}>>"$LOCK"
    fi
    if ! flock -n "$1" "$LOCK_FD"; then
        echo "waiting for $LABEL: another command is using or setting it up"
        flock "$1" "$LOCK_FD"
    fi
}

# Runs a command inside the environment during setup: with the system's
# mounts only, since packages may replace files that a run mounts over (the
# CA bundle).
in_env() {
    unshare --mount --propagation private -- bash "$SELF" --root "$ROOT_NAME" __inside system "$@"
}

bootstrap() {
    local uri="$1"
    if ! command -v debootstrap >/dev/null; then
        echo "installing debootstrap on this machine (apt-get)"
        quietly "$LOGS/$ROOT_NAME-debootstrap-install.log" \
            apt-get install -y --no-install-recommends debootstrap ||
            {
                quietly "$LOGS/$ROOT_NAME-apt-update.log" apt-get update &&
                    quietly "$LOGS/$ROOT_NAME-debootstrap-install.log" \
                        apt-get install -y --no-install-recommends debootstrap
            }
    fi
    delete_env
    mkdir -p "$ENV_DIR"
    : >"$OWNED_STAMP"
    # In a mount namespace of its own, so that the /proc and /sys it mounts in
    # the target go away with it even when it fails.
    if [ -z "$DEB_ARCH" ]; then
        echo "bootstrapping a minimal Debian $SUITE into $ENV_DIR (debootstrap, a minute or two; its stages shown as they start)"
        progress "$LOGS/$ROOT_NAME-debootstrap.log" "$DEBOOTSTRAP_STAGES" \
            unshare --mount --propagation private -- debootstrap --variant=minbase "$SUITE" "$ENV_DIR" "$uri"
    else
        ensure_binfmt
        echo "bootstrapping a minimal Debian $SUITE for $DEB_ARCH into $ENV_DIR: first stage (debootstrap --foreign, a minute or two)"
        progress "$LOGS/$ROOT_NAME-debootstrap.log" "$DEBOOTSTRAP_STAGES" unshare --mount --propagation private -- \
            debootstrap --arch="$DEB_ARCH" --foreign --variant=minbase "$SUITE" "$ENV_DIR" "$uri"
        echo "second stage, run in it under qemu (five to ten minutes)"
        quietly "$LOGS/$ROOT_NAME-debootstrap-second-stage.log" in_env /debootstrap/debootstrap --second-stage
    fi
    # The archive may serve a frozen copy of sid, whose Release file is past
    # its Valid-Until date; nothing here needs recommends, documentation,
    # manual pages or translations.
    cat >"$ENV_DIR/etc/apt/apt.conf.d/90quillane" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Acquire::Languages "none";
EOF
    # Nor does it need dpkg to sync every file it writes: an environment
    # that a crash left unsure is removed and made again.
    cat >"$ENV_DIR/etc/dpkg/dpkg.cfg.d/90quillane" <<'EOF'
force-unsafe-io
path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
EOF
    # No package starts a service in here.
    printf '#!/bin/sh\nexit 101\n' >"$ENV_DIR/usr/sbin/policy-rc.d"
    chmod 755 "$ENV_DIR/usr/sbin/policy-rc.d"
    rm -f "$ENV_DIR/etc/apt/sources.list"
    touch "$BASE_STAMP"
}

install_packages() {
    local uri="$1"
    local -a missing
    mapfile -t missing < <(missing_packages)
    echo "installing ${missing[*]} into $LABEL (apt-get, without recommends${DEB_ARCH:+, under qemu})"
    # The archive's address stays in the environment only while apt needs it.
    printf 'deb %s %s main\n' "$uri" "$SUITE" >"$ENV_DIR/etc/apt/sources.list"
    local status=0
    {
        quietly "$LOGS/$ROOT_NAME-apt-update.log" in_env apt-get update &&
            quietly "$LOGS/$ROOT_NAME-apt-install.log" in_env env DEBIAN_FRONTEND=noninteractive \
                apt-get install -y --no-install-recommends "${PACKAGES[@]}" &&
            in_env apt-get clean
    } || status=$?
    rm -f "$ENV_DIR/etc/apt/sources.list"
    find "$ENV_DIR/var/lib/apt/lists" -maxdepth 1 -type f -delete
    [ $status = 0 ] || exit $status
    {
        cat "$PACKAGES_STAMP" 2>/dev/null || true
        printf '%s\n' "${PACKAGES[@]}"
    } | LC_ALL=C sort -u >"$PACKAGES_STAMP.new"
    mv "$PACKAGES_STAMP.new" "$PACKAGES_STAMP"
}

install_extra_ca_certificates() {
    local state
    state="$(extra_ca_state)"
    echo "installing this machine's extra CA certificates ($EXTRA_CA_DIR) into $LABEL"
    rm -rf "${ENV_DIR:?}$EXTRA_CA_DIR"
    mkdir -p "$ENV_DIR$EXTRA_CA_DIR"
    [ ! -d "$EXTRA_CA_DIR" ] || cp -rL "$EXTRA_CA_DIR/." "$ENV_DIR$EXTRA_CA_DIR/"
    quietly "$LOGS/$ROOT_NAME-ca-certificates.log" in_env update-ca-certificates --fresh
    printf '%s\n' "$state" >"$CA_STAMP"
}

# quietly LOG COMMAND..., printing once a minute how long it has run and what
# the shell command PROGRESS says, so that a long step shows that it moves.
with_progress() {
    local progress="$1" began=$SECONDS ticker status=0
    shift
    (
        while sleep 60; do
            echo "    $(((SECONDS - began) / 60)) min: $(eval "$progress")"
        done
    ) &
    ticker=$!
    quietly "$@" || status=$?
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    return $status
}

# CPython BUILT_PYTHON, built in the root from the upstream sources that
# Debian's python source package of that version carries (from the newest
# suite the archive serves it in), into /opt/pythonX.Y.
build_python() {
    local uri="$1" suite
    echo "building CPython $BUILT_PYTHON in $LABEL from Debian's python$BUILT_PYTHON sources (five to ten minutes on 2 cores)"
    local status=0
    for suite in trixie sid; do
        printf 'deb-src %s %s main\n' "$uri" "$suite" >"$ENV_DIR/etc/apt/sources.list"
        quietly "$LOGS/$ROOT_NAME-apt-update.log" in_env apt-get update || { status=$?; break; }
        rm -rf "$ENV_DIR/usr/src/python"
        mkdir -p "$ENV_DIR/usr/src/python"
        if in_env sh -c "cd /usr/src/python && apt-get source --download-only python$BUILT_PYTHON" \
            >"$LOGS/$ROOT_NAME-python-source.log" 2>&1; then
            status=0
            break
        fi
        status=1
    done
    rm -f "$ENV_DIR/etc/apt/sources.list"
    find "$ENV_DIR/var/lib/apt/lists" -maxdepth 1 -type f -delete
    [ $status = 0 ] || { cat "$LOGS/$ROOT_NAME-python-source.log" >&2; exit 1; }
    local tarball
    tarball="$(cd "$ENV_DIR/usr/src/python" && ls ./*.orig.tar.* | grep -v '\.asc$' | head -n 1)"
    echo "  the sources: ${tarball#./} (from $suite)"
    echo "  configuring"
    quietly "$LOGS/$ROOT_NAME-python-configure.log" in_env sh -c "cd /usr/src/python && tar -xf $tarball && \
        cd Python-*/ && ./configure --prefix=/opt/python$BUILT_PYTHON --with-ensurepip=install"
    local jobs
    jobs="$(nproc)"
    [ "$jobs" -le 2 ] || jobs=2
    echo "  compiling (make -j$jobs, niced; a line a minute)"
    with_progress "find '$ENV_DIR/usr/src/python' -name '*.o' | wc -l | sed 's/\$/ object files compiled/'" \
        "$LOGS/$ROOT_NAME-python-build.log" in_env sh -c "cd /usr/src/python/Python-*/ && nice make -j$jobs"
    echo "  installing into /opt/python$BUILT_PYTHON (with the standard library's bytecode)"
    with_progress "find '$ENV_DIR/opt/python$BUILT_PYTHON' -name '*.pyc' 2>/dev/null | wc -l | sed 's/\$/ bytecode files written/'" \
        "$LOGS/$ROOT_NAME-python-install.log" in_env sh -c "cd /usr/src/python/Python-*/ && make altinstall"
    echo "  built: $(in_env "/opt/python$BUILT_PYTHON/bin/python$BUILT_PYTHON" -c 'import ssl, sys; print("Python", sys.version.split()[0])')"
    rm -rf "$ENV_DIR/usr/src/python"
    touch "$PYTHON_STAMP"
}

# Makes the environment ready and leaves the shared lock held.
prepare() {
    need_root
    if ! is_ready; then
        take_lock -x
        if ! is_ready; then
            local uri
            uri="$(archive_uri)"
            if [ -z "$uri" ]; then
                echo "no Debian archive found in this machine's apt sources; set QUILLANE_SID_ARCHIVE to one" >&2
                exit 1
            fi
            [ -f "$BASE_STAMP" ] || bootstrap "$uri"
            [ -z "$(missing_packages)" ] && [ -f "$PACKAGES_STAMP" ] || install_packages "$uri"
            [ "$(cat "$CA_STAMP" 2>/dev/null || true)" = "$(extra_ca_state)" ] || install_extra_ca_certificates
            [ -z "$BUILT_PYTHON" ] || [ -f "$PYTHON_STAMP" ] || build_python "$uri"
            ensure_binfmt
            echo "$LABEL is ready ($(du -sh "$ENV_DIR" 2>/dev/null | cut -f1) in $ENV_DIR)"
        fi
    fi
    take_lock -s
    if [ ! -f "$BASE_STAMP" ] || [ ! -f "$PACKAGES_STAMP" ]; then
        echo "$LABEL was removed while this command waited for it; run it again" >&2
        exit 1
    fi
}

# --- inside the mount namespace -------------------------------------------

MOUNTED=()

unmount_all() {
    local -a targets=()
    local index
    for ((index = ${#MOUNTED[@]} - 1; index >= 0; --index)); do
        targets+=("${MOUNTED[index]}")
    done
    MOUNTED=()
    [ ${#targets[@]} -gt 0 ] || return 0
    umount -R "${targets[@]}" 2>/dev/null || umount -R -l "${targets[@]}" 2>/dev/null || true
}

# Mounts SOURCE at PATH (default: SOURCE) inside the environment: MODE is ro,
# rw or tree (with the mounts below it). The place is made if missing (a
# directory or an empty file, like the source), and refused if a symbolic
# link in the environment would lead it out of it.
bind() {
    local mode="$1" source="$2" path="${3:-$2}" parent target
    parent="$(realpath -m "$ENV_DIR${path%/*}")"
    case "$parent/" in
        "$ENV_DIR"/*) ;;
        *) echo "not mounting $path: its place in the environment leads out of it" >&2; return 0 ;;
    esac
    target="$parent/${path##*/}"
    [ ! -L "$target" ] || rm -f "$target"
    if [ -d "$source" ]; then
        mkdir -p "$target"
    else
        mkdir -p "$parent"
        [ -e "$target" ] || : >"$target"
    fi
    case "$mode" in
        tree) mount --rbind "$source" "$target" ;;
        ro) mount --bind -o ro "$source" "$target" ;;
        *) mount --bind "$source" "$target" ;;
    esac
    MOUNTED+=("$target")
}

# What pip here is configured with: its config files (with where pip inside
# looks for them), then every local file or directory their settings and the
# PIP_* variables name.
pip_config_files() {
    local file
    for file in /etc/pip.conf /etc/xdg/pip/pip.conf ${PIP_CONFIG_FILE:+"$PIP_CONFIG_FILE"}; do
        [ -f "$file" ] && printf '%s\t%s\n' "$file" "$file"
    done
    for file in .config/pip/pip.conf .pip/pip.conf; do
        [ -f "$HOME/$file" ] && printf '%s\t%s\n' "$HOME/$file" "/root/$file"
    done
    return 0
}

pip_named_paths() {
    local token
    {
        pip_config_files | cut -f1 | xargs -r cat | grep -v -E '^[[:space:]]*[#;]' || true
        env | grep -E '^(PIP_[A-Z_]*|REQUESTS_CA_BUNDLE|SSL_CERT_FILE|CURL_CA_BUNDLE)=' | cut -d= -f2- || true
    } | tr -s ' \t=,' '\n' | while IFS= read -r token; do
        token="${token#file://}"
        case "$token" in
            /*) ;;
            *) continue ;;
        esac
        token="$(realpath -e "$token" 2>/dev/null)" || continue
        if [ -d "$token" ]; then
            # A local index's pages link to the files beside it.
            [ "$(basename "$token")" != simple ] || token="$(dirname "$token")"
            case "$token" in
                / | /bin* | /boot* | /dev* | /etc* | /lib* | /proc* | /run* | /sbin* | /sys* | /usr* | /var/lib*) continue ;;
            esac
            case "$ENV_DIR/" in
                "$token"/*) continue ;;
            esac
        fi
        echo "$token"
    done | LC_ALL=C sort -u
}

passed_environment() {
    local entry
    while IFS= read -r -d '' entry; do
        case "${entry%%=*}" in
            PIP_* | QUILLANE_* | HYPOTHESIS_* | PYTEST_* | ASAN_OPTIONS | UBSAN_OPTIONS | LSAN_OPTIONS | \
                CC | CXX | CFLAGS | CXXFLAGS | LDFLAGS | GCOV | CMAKE_* | SKBUILD_* | VENV | VENV_* | \
                PYTHONHASHSEED | PYTHONFAULTHANDLER | PYTHONDEVMODE | PYTHONWARNINGS | PYTHONMALLOC | \
                SSL_CERT_FILE | SSL_CERT_DIR | REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE | \
                http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY | \
                CI | TERM | COLUMNS | NO_COLOR | FORCE_COLOR)
                printf '%s\0' "$entry" ;;
        esac
    done < <(env -0)
}

# inside system|PROJECT CMD...: mounts what CMD needs (with PROJECT, what
# a run needs) and runs it in the environment.
inside() {
    local project="$1" directory=/
    shift
    trap unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mount -t proc proc "$ENV_DIR/proc"
    MOUNTED+=("$ENV_DIR/proc")
    bind tree /dev
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$ENV_DIR/sys"
    MOUNTED+=("$ENV_DIR/sys")
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$ENV_DIR/tmp"
    MOUNTED+=("$ENV_DIR/tmp")
    local file source path
    for file in /etc/resolv.conf /etc/hosts; do
        source="$(realpath -e "$file" 2>/dev/null)" && bind ro "$source" "$file"
    done
    if [ "$project" != system ]; then
        while IFS=$'\t' read -r source path; do
            bind ro "$source" "$path"
        done < <(pip_config_files)
        while IFS= read -r path; do
            bind ro "$path"
        done < <(pip_named_paths)
        bind rw "$project"
        local -a extra
        IFS=: read -r -a extra <<<"${QUILLANE_SID_ENV_BIND:-}"
        for path in "${extra[@]}"; do
            [ -z "$path" ] || [ ! -e "$path" ] || bind ro "$path"
        done
        directory="$project"
        case "$PWD/" in
            "$project"/*) directory="$PWD" ;;
        esac
    fi
    local -a variables
    mapfile -t -d '' variables < <(passed_environment)
    local status=0
    chroot "$ENV_DIR" /usr/bin/env -i --chdir="$directory" "${variables[@]}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        SHELL=/bin/bash QUILLANE_SID_ENV_INSIDE=1 "$@" || status=$?
    exit $status
}

command="${1:-}"
[ $# = 0 ] || shift
case "$command" in
    run)
        [ "${1:-}" != -- ] || shift
        [ $# -gt 0 ] || usage
        prepare
        exec unshare --mount --propagation private -- bash "$SELF" --root "$ROOT_NAME" __inside "$ROOT" "$@"
        ;;
    setup)
        prepare
        ;;
    supplies)
        [ $# = 1 ] || usage
        [[ " ${SID_PYTHONS[*]} " == *" $1 "* ]]
        ;;
    path)
        echo "$ENV_DIR"
        ;;
    archive)
        archive_uri
        ;;
    remove)
        need_root
        take_lock -x
        echo "removing $LABEL in $ENV_DIR"
        delete_env
        ;;
    __inside)
        inside "$@"
        ;;
    -h | --help)
        sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$SELF"
        ;;
    *)
        usage
        ;;
esac
