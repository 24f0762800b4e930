"""Threads sharing data while validate and collect walk it, on a free-threaded
interpreter with the GIL off (PYTHON_GIL=0, which this sets for its runs).

Three programs, each run RUNS times, each run in a child process of its own
so that a crash ends only that run:

  shared     four threads validate and collect one list of 600 records
             (one in eight with an age read through __index__, Python code
             run by the walk) while a fifth changes it: records replaced, appended, popped,
             their fields set, deleted and put back, their nested lists
             replaced, grown and cleared, the whole list emptied and filled
  read-only  four threads validate and collect one such list that nothing
             changes
  daemon-exit
             two daemon threads validating, collecting and compiling, each
             call running Python code at every step, while the interpreter
             exits under them: the run must end with status 0 and nothing on
             standard error

A child's threads take ROUNDS rounds each (a validate and a collect), or run
for SECONDS when given. Each answer is checked against what the data allows:
validate returns the data itself or None, collect a list of error entries or
None, where each entry is one the records' schema can give for some state
of a record (a path to a record's field, a message for that field: its
bounds, its list's length, the field missing); where nothing changes the
data, the data itself and no entry. The
internal fault (PanicException) is the answer to a change a call sees, so it
is an answer only in the shared program. A run that ends in a signal is a
crash; one that answers anything else is wrong.

Prints one line per run and a summary, and exits with 1 when any run crashed
or answered wrong. With --gdb, each crashed run's seed is run again under gdb
(batch mode, up to three tries, since the crash is a race) and the crashing
thread's backtrace is printed.

Usage: python tools/ft_stress.py [shared|read-only|daemon-exit] [--runs N] [--rounds N]
       [--seconds S] [--seed N] [--gdb]
(the venv of QUILLANE_PYTHON=3.13t bash tools/test.sh:
.venv-quillane-3.13t/bin/python tools/ft_stress.py shared --runs 15)
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests"))

from exit_program import DAEMON_SETUP  # noqa: E402

RECORDS = 600
READERS = 4
ROLES = ["admin", "editor", "viewer", "owner", "auditor"]


class Age:
    """An age read through __index__: Python code that the walk runs, so that
    the walks under way take hold of their containers (and watch their
    dicts) as they do around any Python code."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def record(rng: random.Random, number: int) -> dict:
    name = "".join(rng.choice("abcdefghij") for _ in range(rng.randint(3, 12))).capitalize()
    return {
        "id": number + 1,
        "name": name,
        "email": f"{name.lower()}{number}@example.org",
        "age": Age(rng.randint(0, 150)) if number % 8 == 0 else rng.randint(0, 150),
        "score": rng.random(),
        "active": rng.random() < 0.5,
        "roles": rng.sample(ROLES, rng.randint(0, 3)),
    }


# What the changing thread does, each a valid change of the shared data (some
# leave a record invalid, which the answers must then allow).
def change(rng: random.Random, records: list) -> None:
    what = rng.randrange(10)
    if not records or (what == 0 and rng.randrange(20) == 0):
        records[:] = [record(rng, n) for n in range(RECORDS)]
    elif what == 1:
        records[rng.randrange(len(records))] = record(rng, rng.randrange(1000))
    elif what == 2:
        if len(records) < 2 * RECORDS:
            records.append(record(rng, len(records)))
    elif what == 3:
        if len(records) > RECORDS // 2:
            records.pop(rng.randrange(len(records)))
    else:
        item = records[rng.randrange(len(records))]
        field = rng.choice(["age", "name", "score", "active", "roles", "email"])
        if what == 4:
            item["age"] = rng.randint(-5, 160)
        elif what == 5:
            value = item.pop(field, None)
            if value is not None:
                item[field] = value
        elif what == 6:
            item["roles"] = rng.sample(ROLES, rng.randint(0, 5))
        elif what in (7, 8):
            # Taken out and put back: a lookup on this thread (dict.get) of a
            # dict the walks read stalls for most of a second on 3.13t.
            roles = item.pop("roles", None)
            if isinstance(roles, list):
                if what == 7:
                    roles.append(rng.choice(ROLES))
                else:
                    roles.clear()
                item["roles"] = roles
        else:
            item["extra"] = 1
            del item["extra"]


# Every error entry some state of a record allows, as (path, message)
# patterns: the changes above leave ages out of bounds, role lists too long
# and fields briefly missing.
ENTRY_PATTERNS = [
    (re.compile(r"\[\d+\]\.age"), re.compile(r"Value -?\d+ is (greater than maximum 150|less than minimum 0)")),
    (re.compile(r"\[\d+\]\.roles"), re.compile(r"List length \d+ is longer than maximum length 4")),
    (re.compile(r"\[\d+\]\.(age|name|score|active|roles|email)"), re.compile(r"Missing required field")),
]


def entry_allowed(entry: object) -> bool:
    if not (isinstance(entry, tuple) and len(entry) == 3 and isinstance(entry[0], str) and isinstance(entry[1], str)):
        return False
    path, message, _ = entry
    return any(where.fullmatch(path) and what.fullmatch(message) for where, what in ENTRY_PATTERNS)


DAEMON_EXIT = (
    DAEMON_SETUP
    + """
def loop(seed):
    calls = [
        lambda: validator.validate(data),
        lambda: validator.collect(data),
        lambda: validator_of_dicts.collect({Finalised(): Number(1), "b": Number(2)}),
        lambda: quillane_core.compile_schema(ListValidator(Slow())),
    ]
    n = seed
    while True:
        calls[n % len(calls)]()
        n += 1

for seed in range(2):
    threading.Thread(target=loop, args=(SEED + seed,), daemon=True).start()
time.sleep(0.02)
"""
)


def child(program: str, seed: int, rounds: int, seconds: float | None) -> None:
    """One run: prints its counts as JSON and ends with status 0 unless it crashes."""
    import payloads  # the benchmarks' records: their schema

    import quillane_core

    validator = quillane_core.compile_schema(payloads.records_schema())
    panic_names = ("pyo3_runtime", "PanicException")
    rng = random.Random(seed)
    records = [record(rng, n) for n in range(RECORDS)]
    counts: collections.Counter[str] = collections.Counter()
    lock = threading.Lock()
    readers_done = threading.Event()
    deadline = time.monotonic() + seconds if seconds else None
    start = threading.Barrier(READERS + (program == "shared"))

    def tally(outcome: str) -> None:
        with lock:
            counts[outcome] += 1

    def read() -> None:
        start.wait()
        done = 0
        while (deadline is None and done < rounds) or (deadline is not None and time.monotonic() < deadline):
            done += 1
            for name, method in (("validate", validator.validate), ("collect", validator.collect)):
                try:
                    answer = method(records)
                except BaseException as error:  # every answer is sorted, faults included
                    kind = (type(error).__module__, type(error).__name__)
                    tally("fault" if kind == panic_names else f"raised {type(error).__name__}: {error}")
                    continue
                if not allowed(name, answer):
                    tally(f"{name} wrong")
                elif answer is None or answer == []:
                    tally(f"{name} {'valid' if answer == [] else 'None'}")
                else:
                    tally(f"{name} {'valid' if answer is records else 'errors'}")

    def allowed(name: str, answer: object) -> bool:
        if program == "read-only":
            return answer is records if name == "validate" else answer == []
        if name == "validate":
            return answer is records or answer is None
        return answer is None or (isinstance(answer, list) and all(entry_allowed(entry) for entry in answer))

    def mutate() -> None:
        start.wait()
        changer = random.Random(seed + 1)
        changes = 0
        while not readers_done.is_set():
            change(changer, records)
            changes += 1
        tally_many("changes", changes)

    def tally_many(outcome: str, count: int) -> None:
        with lock:
            counts[outcome] += count

    threads = [threading.Thread(target=read) for _ in range(READERS)]
    changer = threading.Thread(target=mutate) if program == "shared" else None
    for thread in [*threads, *([changer] if changer else [])]:
        thread.start()
    for thread in threads:
        thread.join()
    readers_done.set()
    if changer:
        changer.join()
    counts["GIL on" if sys._is_gil_enabled() else "GIL off"] = 1
    print(json.dumps(dict(counts)))


def run_once(program: str, seed: int, rounds: int, seconds: float | None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHON_GIL=os.environ.get("PYTHON_GIL", "0"))
    if program == "daemon-exit":
        env["PYTHONPATH"] = os.pathsep.join([str(ROOT / "examples"), env.get("PYTHONPATH", "")])
        code = DAEMON_EXIT.replace("SEED", str(seed))
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    args = ["--child", program, "--seed", str(seed), "--rounds", str(rounds)]
    if seconds:
        args += ["--seconds", str(seconds)]
    return subprocess.run(
        [sys.executable, __file__, *args], env=env, capture_output=True, text=True, timeout=(seconds or 0) + 600
    )


def backtrace(program: str, seed: int, rounds: int, seconds: float | None) -> str:
    """The crashing thread's backtrace of a run of `seed` under gdb, or why there is none."""
    gdb = shutil.which("gdb")
    if not gdb:
        return "(no gdb on this machine)"
    args = [sys.executable, __file__, "--child", program, "--seed", str(seed), "--rounds", str(rounds)]
    if seconds:
        args += ["--seconds", str(seconds)]
    env = dict(os.environ, PYTHON_GIL=os.environ.get("PYTHON_GIL", "0"))
    for _ in range(3):
        result = subprocess.run(
            [
                gdb,
                "-batch",
                "-nx",
                "-ex",
                "set pagination off",
                "-ex",
                "handle SIGPIPE nostop noprint",
                "-ex",
                "run",
                "-ex",
                "bt 25",
                "-ex",
                "info proc mappings",
                "--args",
                *args,
            ],
            env=env,
            capture_output=True,
            text=True,
            timeout=(seconds or 0) + 900,
        )
        lines = result.stdout.splitlines()
        received = [n for n, line in enumerate(lines) if "received signal" in line]
        if received:
            tail = lines[received[0] :]
            frames = [name_module_frame(line, lines) for line in tail if line.startswith(("#", "Thread", "["))]
            return "\n".join(frames or tail[:40])[:6000]
    return "(no crash in three runs under gdb)"


def name_module_frame(frame: str, gdb_output: list[str]) -> str:
    """The frame with the module's function named, where gdb has none: the
    installed module is stripped, and the build tree keeps the same build
    unstripped (the same file, by its build id)."""
    found = re.match(r"(#\d+ +)(0x[0-9a-f]+) in \?\? \(\) from (\S+)$", frame)
    if not found:
        return frame
    library = found.group(3)
    base = next(
        (
            int(line.split()[0], 16)
            for line in gdb_output
            if line.split()[-1:] == [library] and line.split()[3] == "0x0"
        ),
        None,
    )
    unstripped = next(
        (
            candidate
            for candidate in ROOT.glob(f"build/*/{Path(library).name}")
            if build_id(candidate) == build_id(Path(library))
        ),
        None,
    )
    if base is None or unstripped is None or not shutil.which("addr2line"):
        return frame
    named = subprocess.run(
        ["addr2line", "-f", "-C", "-e", str(unstripped), hex(int(found.group(2), 16) - base)],
        capture_output=True,
        text=True,
    ).stdout.splitlines()
    return f"{found.group(1)}{found.group(2)} in {named[0]} ({Path(library).name})" if named else frame


def build_id(path: Path) -> str:
    notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True).stdout
    found = re.search(r"Build ID: ([0-9a-f]+)", notes)
    return found.group(1) if found else ""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], usage=None)
    parser.add_argument("program", nargs="?", choices=["shared", "read-only", "daemon-exit"], default="shared")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--gdb", action="store_true")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.program, options.seed, options.rounds, options.seconds)
        return 0
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        print(
            "ft_stress.py needs a free-threaded interpreter (QUILLANE_PYTHON=3.13t, tools/free-threaded.sh)",
            file=sys.stderr,
        )
        return 2
    crashes: collections.Counter[str] = collections.Counter()
    totals: collections.Counter[str] = collections.Counter()
    wrong_runs = 0
    crashed_seeds = []
    for run in range(options.runs):
        seed = options.seed + 1000 * run
        result = run_once(options.program, seed, options.rounds, options.seconds)
        if result.returncode < 0:
            name = signal.Signals(-result.returncode).name
            last = next((line for line in reversed(result.stderr.splitlines()) if line.strip()), "")
            crashes[name] += 1
            crashed_seeds.append(seed)
            print(f"run {run + 1} (seed {seed}): crashed, {name}" + (f" ({last.strip()[:120]})" if last else ""))
            continue
        if options.program == "daemon-exit":
            ended = "ended" if (result.returncode, result.stderr) == (0, "") else "wrong"
            totals[ended] += 1
            wrong_runs += ended == "wrong"
            if ended == "wrong":
                print(f"run {run + 1} (seed {seed}): status {result.returncode}: {result.stderr.strip()[-300:]}")
            continue
        try:
            counts = json.loads(result.stdout.strip().splitlines()[-1])
        except (IndexError, json.JSONDecodeError):
            wrong_runs += 1
            print(f"run {run + 1} (seed {seed}): status {result.returncode}, no counts: {result.stderr.strip()[-300:]}")
            continue
        totals.update(counts)
        wrong = {key: value for key, value in counts.items() if key.endswith("wrong") or key.startswith("raised")}
        if options.program == "read-only" and "fault" in counts:
            wrong["fault"] = counts["fault"]
        wrong_runs += bool(wrong)
        print(f"run {run + 1} (seed {seed}): " + ", ".join(f"{key} {value}" for key, value in sorted(counts.items())))
    crashed = sum(crashes.values())
    print(
        f"{options.program}: {options.runs} runs, {crashed} crashed"
        + (f" ({', '.join(f'{name} {count}' for name, count in crashes.most_common())})" if crashed else "")
        + f", {wrong_runs} answered wrong; answers in the runs that ended: "
        + (", ".join(f"{key} {value}" for key, value in sorted(totals.items())) or "none")
    )
    if options.gdb:
        for seed in crashed_seeds:
            print(f"\nseed {seed} under gdb:\n{backtrace(options.program, seed, options.rounds, options.seconds)}")
    return 1 if crashed or wrong_runs else 0


if __name__ == "__main__":
    sys.exit(main())
