"""The examples and the README's quick start, run the way a user runs them.

The examples are copied to a folder outside the repository and each runs
from another folder, with -E (no PYTHONPATH), so that nothing but the
installed module and the examples' own files can serve their imports.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
REPORT_END = re.compile(r"^(Checked in |Throughput)", re.MULTILINE)


@pytest.fixture(scope="module")
def copied(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A copy of examples/ outside the repository; tests run in its sibling folder `elsewhere`."""
    base = tmp_path_factory.mktemp("user")
    assert not base.resolve().is_relative_to(ROOT)
    shutil.copytree(EXAMPLES, base / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    (base / "elsewhere").mkdir()
    return base / "examples"


def run(args: list[str], cwd: Path, timeout: float = 300, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    """Runs this interpreter on `args` in `cwd`, ignoring PYTHON* variables, in its own session.

    On a timeout the whole process group goes, so that no worker process
    outlives the test.
    """
    with subprocess.Popen(
        [sys.executable, "-E", *args],
        cwd=cwd,
        stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    ) as process:
        try:
            out, err = process.communicate(stdin, timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            pytest.fail(f"{args} took longer than {timeout} s:\n{out}\n{err}")
        finally:
            left = survivors(process.pid)
    assert not left, f"{args} left processes running: {left}"
    return subprocess.CompletedProcess(args, process.returncode, out, err)


def survivors(group: int, grace: float = 10.0) -> bool:
    """Whether any process of the group is still running after `grace` seconds; kills them if so."""
    deadline = time.monotonic() + grace
    while True:
        try:
            os.killpg(group, 0)
        except ProcessLookupError:
            return False
        if time.monotonic() > deadline:
            os.killpg(group, signal.SIGKILL)
            return True
        time.sleep(0.1)


def report_of(output: str) -> str:
    """The report part of a demo's output: everything before the workers and the throughput."""
    match = REPORT_END.search(output)
    assert match, output
    return output[: match.start()].rstrip()


def succeeded(result: subprocess.CompletedProcess[str]) -> str:
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def single_process_report(copied: Path) -> str:
    return report_of(succeeded(run([str(copied / "demo.py"), "--repeats", "1"], copied.parent / "elsewhere")))


def test_demo_reports_the_sample_orders(single_process_report: str) -> None:
    lines = single_process_report.splitlines()
    assert lines[0] == "2,500 orders from examples/orders.jsonl (1.29 MB), checked against the compiled order schema"
    counts = {line.split()[0]: int(line.split()[1].replace(",", "")) for line in lines[2:5]}
    assert set(counts) == {"conform", "invalid", "undecided"} and sum(counts.values()) == 2500
    assert counts["undecided"] == 10 and counts["invalid"] > 0


def test_typed_usage_runs_outside_the_repository(copied: Path) -> None:
    output = succeeded(run([str(copied / "typed_usage.py")], copied.parent / "elsewhere"))
    assert "tags[1]: Expected str (got 5)" in output


def test_sample_data_is_regenerated_byte_for_byte(copied: Path) -> None:
    target = copied / "orders.jsonl"
    target.unlink()
    output = succeeded(run([str(copied / "make_sample_data.py")], copied.parent / "elsewhere"))
    assert output.startswith("wrote 2500 orders to ")
    assert target.read_bytes() == (EXAMPLES / "orders.jsonl").read_bytes()


def readme_blocks() -> list[tuple[str, str]]:
    """Every Python block of the README, each with the heading of its section."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```$", readme, re.DOTALL | re.MULTILINE):
        heading = re.findall(r"^#+ (.+)$", readme[: match.start()], re.MULTILINE)[-1]
        blocks.append((heading, match.group(1)))
    return blocks


# What the blocks that print print; the others print nothing.
README_OUTPUT = {"Quick start": "valid\n", "Validating in parallel": "1 of 10001 orders invalid\n"}


@pytest.mark.parametrize(
    ("heading", "code"), [pytest.param(*block, id=f"{index}-{block[0]}") for index, block in enumerate(readme_blocks())]
)
def test_readme_code_runs_as_written(copied: Path, heading: str, code: str) -> None:
    """Each block saved as a script of its own, in a folder with nothing else in it, as a user pastes it."""
    script = copied.parent / "elsewhere" / f"readme_{re.sub(r'\W+', '_', heading.lower())}.py"
    script.write_text(code, encoding="utf-8")
    result = run([str(script)], script.parent)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert result.stdout == README_OUTPUT.get(heading, "")


def test_workers_give_the_same_report_as_one_process(copied: Path, single_process_report: str) -> None:
    output = succeeded(
        run(
            [str(copied / "demo.py"), "--workers", "2", "--repeats", "1", "--seconds", "0.2"],
            copied.parent / "elsewhere",
        )
    )
    assert report_of(output) == single_process_report
    assert re.search(
        r"^Checked in 8 slices by [12] of 2 worker processes, each of which compiled the schema once ",
        output,
        re.MULTILINE,
    ), output
    rates = re.findall(
        r"^  (validate|collect)\s+([12]) workers?\s+([\d,]+) orders/s .*\((\d+) passes\)$", output, re.MULTILINE
    )
    assert sorted((method, workers) for method, workers, _, _ in rates) == [
        ("collect", "1"),
        ("collect", "2"),
        ("validate", "1"),
        ("validate", "2"),
    ]


def test_dask_workers_compile_once_and_check_their_partitions(copied: Path, single_process_report: str) -> None:
    """The example starts a LocalCluster of 2 worker processes and closes it; run() checks that none is left."""
    if importlib.util.find_spec("distributed") is None:
        # tools/test.sh installs it and sets QUILLANE_REQUIRE_DASK, so that CI never skips this.
        assert os.environ.get("QUILLANE_REQUIRE_DASK") != "1", "dask.distributed is not installed"
        pytest.skip("dask.distributed is not installed (the parallel extra: pip install '.[parallel]')")
    output = succeeded(
        run(
            [str(copied / "dask_orders.py"), "--workers", "2", "--repeats", "1", "--seconds", "0.2"],
            copied.parent / "elsewhere",
            240,
        )
    )
    assert report_of(output) == single_process_report
    checked = re.search(
        r"^Checked in 4 partitions on ([12]) of 2 workers, each of which compiled the schema once ",
        output,
        re.MULTILINE,
    )
    assert checked, output
    placed = re.findall(r"^  tcp://127\.0\.0\.1:\d+  (\d) partitions$", output, re.MULTILINE)
    assert len(placed) == 2 and sum(map(int, placed)) == 4
    assert re.search(r"^  validate\s+[\d,]+ orders/s  \(\d+ passes\)$", output, re.MULTILINE), output
