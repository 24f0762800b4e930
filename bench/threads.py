"""Throughput of `validate` on shared read-only data, by 1 and by 2 threads,
on a free-threaded interpreter with the GIL off: each thread validates the
same valid instance of the records payload (`payloads.py`, 10,000 records)
over and over for SECONDS, and the calls all threads made are counted.
Prints calls per second for each thread count, their ratio (2 threads over
1: 2.0 would be perfect scaling) and the machine's load average before each
measurement, since a shared machine's other work takes cores from the run.

Usage: PYTHON_GIL=0 python bench/threads.py [--seconds S] [--repeats N]
(the venv of QUILLANE_PYTHON=3.13t bash tools/test.sh:
PYTHON_GIL=0 .venv-quillane-3.13t/bin/python bench/threads.py)
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import payloads  # noqa: E402

import quillane_core  # noqa: E402


def calls_per_second(validate, data, threads: int, seconds: float) -> float:
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(slot: int) -> None:
        start.wait()
        done = 0
        while not stop.is_set():
            if validate(data) is not data:
                raise AssertionError("the valid instance did not validate")
            done += 1
        counts[slot] = done

    workers = [threading.Thread(target=work, args=(slot,)) for slot in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()
    if sys._is_gil_enabled():
        print("the GIL is on: run a free-threaded interpreter with PYTHON_GIL=0", file=sys.stderr)
        return 2
    validate = quillane_core.compile_schema(payloads.records_schema()).validate
    data = payloads.records_valid(random.Random(0))
    best = {}
    for _ in range(options.repeats):
        for threads in (1, 2):
            load = os.getloadavg()[0]
            rate = calls_per_second(validate, data, threads, options.seconds)
            best[threads] = max(best.get(threads, 0.0), rate)
            print(f"{threads} thread{'s' if threads > 1 else ''}: {rate:8.1f} calls/s (load average {load:.2f})")
    print(f"best: 1 thread {best[1]:.1f} calls/s, 2 threads {best[2]:.1f} calls/s, ratio {best[2] / best[1]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
