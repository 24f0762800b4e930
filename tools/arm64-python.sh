#!/usr/bin/env bash
# Debian's arm64 CPython of one version, unpacked from its packages (no root
# file system, nothing installed, no chroot): what tools/wheel.sh cross
# builds an aarch64 wheel with. The interpreter, its minimal standard library
# with the build's sysconfig data, its headers and the libraries the
# interpreter loads (what its package depends on, recursively), downloaded with apt-get from the
# Debian archive this machine's apt already uses (tools/sid-env.sh archive)
# into a private apt state, then unpacked with dpkg-deb -x into
# build/arm64-python<VERSION>. CMake asks that interpreter for its settings
# under qemu-user-static (qemu-aarch64-static -L <that folder>), which this
# installs on the machine when it is missing (root needed only then).
# 3.13 comes from Debian 13 (trixie), 3.14 and 3.15 from sid. Unpacked once
# and reused: a second call only prints the folder. Under a minute.
# Usage: tools/arm64-python.sh VERSION   prints the folder on standard output
#        tools/arm64-python.sh --help
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/quietly.sh"

usage() {
    sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}
case "${1:-}" in
    -h | --help) usage; exit 0 ;;
    3.13) SUITE=trixie ;;
    3.14 | 3.15) SUITE=sid ;;
    "") usage >&2; exit 2 ;;
    *) echo "tools/arm64-python.sh: no arm64 CPython '$1' (3.13, 3.14 or 3.15)" >&2; exit 2 ;;
esac
[ $# = 1 ] || { usage >&2; exit 2; }
VERSION="$1"
OUT="$ROOT/build/arm64-python$VERSION"
LOGS="$ROOT/build/logs"
# Written last: the packages unpacked, with their versions.
STAMP="$OUT/.quillane-packages"

if ! command -v qemu-aarch64-static >/dev/null; then
    if [ "$(id -u)" != 0 ]; then
        echo "qemu-user-static is missing: install it (apt-get install qemu-user-static) or run this as root" >&2
        exit 1
    fi
    echo "installing qemu-user-static on this machine (apt-get), to run the arm64 interpreter" >&2
    quietly "$LOGS/arm64-qemu-install.log" apt-get update
    quietly "$LOGS/arm64-qemu-install.log" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends qemu-user-static
fi

if [ ! -f "$STAMP" ]; then
    began=$SECONDS
    uri="$(bash "$ROOT/tools/sid-env.sh" archive)"
    if [ -z "$uri" ]; then
        echo "no Debian archive found in this machine's apt sources; set QUILLANE_SID_ARCHIVE to one" >&2
        exit 1
    fi
    echo "unpacking Debian's arm64 Python $VERSION ($SUITE) into ${OUT#"$ROOT"/}" >&2
    APT_DIR="$ROOT/build/arm64-apt-$SUITE"
    rm -rf "$OUT" "$APT_DIR"
    mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$APT_DIR/parts" "$APT_DIR/debs"
    : >"$APT_DIR/status"
    printf 'deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$uri" "$SUITE" >"$APT_DIR/sources.list"
    # Only this folder's sources, lists, package cache and (empty) dpkg
    # status; the machine's proxy and other settings still apply. The archive
    # may serve a frozen copy of sid, past its Release file's Valid-Until.
    APT=(-q -o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts="$APT_DIR/parts"
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$APT_DIR/parts"
        -o Dir::State="$APT_DIR" -o Dir::State::Lists="$APT_DIR/lists" -o Dir::State::status="$APT_DIR/status"
        -o Dir::Cache="$APT_DIR/cache" -o APT::Architecture=arm64 -o APT::Architectures::=arm64
        -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none -o APT::Sandbox::User=root
        -o Debug::NoLocking=1)
    echo "  reading the archive's arm64 package list ($SUITE)" >&2
    quietly "$LOGS/arm64-python$VERSION-apt.log" apt-get "${APT[@]}" update
    # The interpreter's package and what it depends on, recursively (the C
    # library, libexpat, zlib, ...), and the headers' package alone.
    mapfile -t packages < <(apt-cache "${APT[@]}" depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "python$VERSION-minimal" | grep -E '^[a-z0-9]' | LC_ALL=C sort -u)
    packages+=("libpython$VERSION-dev")
    echo "  downloading ${packages[*]}" >&2
    (cd "$APT_DIR/debs" && quietly "$LOGS/arm64-python$VERSION-apt.log" apt-get "${APT[@]}" download "${packages[@]}")
    mkdir -p "$OUT"
    for deb in "$APT_DIR"/debs/*.deb; do
        dpkg-deb -x "$deb" "$OUT"
    done
    # The packages keep their files in /usr only; a Debian system's /lib
    # leads there, and the dynamic loader is looked for in /lib.
    [ -e "$OUT/lib" ] || ln -s usr/lib "$OUT/lib"
    (cd "$APT_DIR/debs" && ls ./*.deb | sed 's#^\./##') >"$STAMP.new"
    rm -rf "$APT_DIR"
    if [ ! -f "$OUT/usr/include/python$VERSION/Python.h" ] || [ ! -x "$OUT/usr/bin/python$VERSION" ]; then
        echo "the packages hold no Python $VERSION interpreter or headers (see ${OUT#"$ROOT"/})" >&2
        exit 1
    fi
    mv "$STAMP.new" "$STAMP"
    echo "  done in $((SECONDS - began)) s: $(sed -n "s/^python$VERSION-minimal_\([^_]*\)_.*/$VERSION \1/p" "$STAMP" | sed 's/%3a/:/')," \
        "$(du -sh "$OUT" | cut -f1)" >&2
fi
# The interpreter must run under the emulator: CMake asks it for its settings.
if ! qemu-aarch64-static -L "$OUT" "$OUT/usr/bin/python$VERSION" -c 'import sysconfig' 2>"$LOGS/arm64-python$VERSION-run.log"; then
    rm -f "$STAMP"
    echo "Debian's arm64 Python $VERSION in ${OUT#"$ROOT"/} does not run under qemu-aarch64-static" \
        "(unpacked afresh on the next call):" >&2
    cat "$LOGS/arm64-python$VERSION-run.log" >&2
    exit 1
fi
echo "$OUT"
