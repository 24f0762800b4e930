"""Threads sharing data while validate and collect walk it, with the GIL off.

Only on a free-threaded interpreter (QUILLANE_PYTHON=3.13t bash
tools/test.sh); tools/ft_stress.py runs the programs (threads sharing data
that another changes, threads sharing data that nothing changes, daemon
threads inside calls at exit), each run in a child process with
PYTHON_GIL=0, and fails when a run crashes or answers anything the data, as
the other threads leave it, does not allow.
"""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

STRESS = Path(__file__).resolve().parent.parent / "tools" / "ft_stress.py"

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)


# A short run each; the long run is the script's own, with --seconds (say
# tools/ft_stress.py shared --runs 10 --seconds 60).
RUNS = {"shared": ["--runs", "3", "--rounds", "200"], "read-only": ["--runs", "2"], "daemon-exit": ["--runs", "10"]}


@pytest.mark.parametrize(
    "program",
    [
        pytest.param(
            program,
            marks=pytest.mark.skipif(
                program == "daemon-exit" and bool(os.environ.get("QUILLANE_SANITIZED")),
                reason="AddressSanitizer's runtime fails its own stack check when pthread_exit unwinds a thread",
            ),
        )
        for program in RUNS
    ],
)
def test_threads_sharing_data_without_the_gil(program):
    result = subprocess.run(
        [sys.executable, str(STRESS), program, *RUNS[program]],
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert result.returncode == 0, result.stdout + result.stderr
