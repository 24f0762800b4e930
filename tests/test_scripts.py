"""The project's scripts as a user meets them: --help, options they do not
know, and a venv in their way that they did not make.

Each runs from a copy of tools/ in an otherwise empty project folder, so that
anything a script made or changed there shows.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
# The wheel scripts answer for themselves.
SCRIPTS = sorted(path.name for path in TOOLS.glob("*.sh") if path.name not in {"wheel.sh", "wheel-check.sh"})
# As the scripts name it: 3.13t for the free-threaded 3.13.
VERSION = f"{sys.version_info[0]}.{sys.version_info[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


@pytest.fixture
def project(tmp_path: Path) -> Path:
    shutil.copytree(TOOLS, tmp_path / "tools", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(ROOT / "pyproject.toml", tmp_path)
    return tmp_path


def contents(folder: Path) -> dict[str, bytes | None]:
    return {
        str(path.relative_to(folder)): path.read_bytes() if path.is_file() and not path.is_symlink() else None
        for path in sorted(folder.rglob("*"))
        if "__pycache__" not in path.parts
    }


def run_script(project: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = {key: value for key, value in os.environ.items() if key not in {"LD_PRELOAD", "VIRTUAL_ENV"}}
    env["QUILLANE_PYTHON"] = sys._base_executable  # this interpreter, outside its venv
    return subprocess.run(
        ["bash", *args], cwd=project, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60
    )


@pytest.mark.parametrize("script", SCRIPTS)
def test_help_prints_the_usage_and_does_nothing_else(project: Path, script: str) -> None:
    before = contents(project)
    result = run_script(project, f"tools/{script}", "--help")
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    header = (TOOLS / script).read_text().splitlines()
    first = header[1] if header[0].startswith("#!") else header[0]
    assert result.stdout.splitlines()[0] == first.removeprefix("# ")
    assert contents(project) == before


@pytest.mark.parametrize(
    "args",
    [
        ["tools/check-layers.sh", "--bogus"],
        ["tools/fuzz.sh", "--bogus"],
        ["tools/fuzz.sh", "10", "1", "extra"],
        ["tools/free-threaded.sh", "--bogus"],
        ["tools/free-threaded.sh", "path", "extra"],
        ["tools/lint.sh", "--bogus"],
        ["tools/lint.sh", "--fix", "--bogus"],
        ["tools/instructions.sh", "--bogus"],
        ["tools/sid-env.sh", "--bogus"],
    ],
    ids=" ".join,
)
def test_unknown_options_are_refused_before_anything_is_done(project: Path, args: list[str]) -> None:
    before = contents(project)
    result = run_script(project, *args)
    assert result.returncode == 2
    assert args[-1] in result.stderr or "usage" in result.stderr.lower() or "run [--] CMD" in result.stderr
    assert contents(project) == before


def test_a_venv_the_scripts_did_not_make_is_left_alone(project: Path) -> None:
    """As a user's own venvs, of another interpreter: .venv, and one at the path of the scripts' own."""
    theirs = project / f".venv-quillane-{VERSION}"
    for venv in (project / ".venv", theirs):
        (venv / "bin").mkdir(parents=True)
        (venv / "pyvenv.cfg").write_text("home = /opt/another/bin\n")
        (venv / "bin" / "python").write_text("#!/bin/sh\nexit 1\n")
        (venv / "bin" / "python").chmod(0o755)
        (venv / "installed-by-the-user.txt").write_text("keep me\n")
    before = contents(project)
    result = run_script(project, "tools/demo.sh")
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"{theirs} was not made by this project's scripts, which leave it alone: "
        "move it away to let them make their venv there"
    ]
    assert contents(project) == before
