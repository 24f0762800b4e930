#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel into dist/ (python -m build), checks
# that both hold what they must, shows `auditwheel show` for a Linux wheel,
# then installs the wheel into a fresh venv with --no-index and no compiler on
# PATH and runs examples/typed_usage.py against it.
# The tools (build, auditwheel) live in their own venv, .venv-wheel (or $VENV).
# The installers' and the build's output go to build/logs/ and are shown only
# when they fail.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$ROOT/tools/python.sh"
. "$ROOT/tools/quietly.sh"
cd "$ROOT"

VENV="${VENV:-$ROOT/.venv-wheel$VERSION_SUFFIX}"
if [ ! -x "$VENV/bin/python" ] || ! python_is_usable "$VENV/bin/python" "$PYTHON_VERSION"; then
    rm -rf "$VENV"
    "$BASE_PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
LOGS="$ROOT/build/logs"
TOOLS=(build)
[ "$(uname -s)" != Linux ] || TOOLS+=(auditwheel)
echo "installing ${TOOLS[*]} into $(basename "$VENV")"
quietly "$LOGS/wheel-tools.log" "$PY" -m pip install --disable-pip-version-check --upgrade pip "${TOOLS[@]}"

rm -rf dist
echo "building the sdist, then the wheel from it, into dist/ (about a minute)"
quietly "$LOGS/wheel-build.log" "$PY" -m build --outdir dist .
SDIST="$(ls dist/*.tar.gz)"
WHEEL="$(ls dist/*.whl)"

echo "== sdist contents"
"$PY" - "$SDIST" <<'EOF'
import sys
import tarfile

with tarfile.open(sys.argv[1]) as archive:
    names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "LICENSE", "src/lib.cpp", "src/exports.map",
          "quillane_core-stubs/__init__.pyi", "tests/test_smoke.py", "examples/typed_usage.py"]
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

if [ "$(uname -s)" = Linux ]; then
    echo "== auditwheel show"
    "$VENV/bin/auditwheel" show "$WHEEL"
fi

echo "== install into a fresh venv, offline, without a compiler"
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
