"""Validates the sample orders with a compiled native validator.

Compiles the order schema of examples/order_schema.py, reads one order per line
from examples/orders.jsonl (or the file given), sorts the orders into those
that conform, those with violations and those the native walk leaves
undecided, shows the first violations, and measures how many orders per
second validate() and collect() get through.

With --workers N the orders are checked in N worker processes instead
(concurrent.futures.ProcessPoolExecutor). A validator cannot be pickled, so
none is sent: each worker compiles the schema once, in the pool's
initializer, and reads the orders file itself; the tasks name slices of the
orders and return summaries. The report is the same as in one process, and
the throughput is measured with 1 and with N workers: each timed run makes
as many passes over the orders as one worker gets through in --seconds
(default 1), so that the run measures the checking, not the handing out of
tasks, and the demo says how many cores the machine has and how busy it was.

Usage: python examples/demo.py [ORDERS.jsonl] [--show N] [--repeats N] [--workers N] [--seconds S]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from order_checks import (
    Order,
    Summary,
    check,
    check_slice,
    compile_order_schema,
    print_report,
    read_orders,
    run_passes,
    run_slice,
    slices,
    start_worker,
)

from quillane_core import NativeValidator

HERE = Path(__file__).resolve().parent
METHODS = ("validate", "collect")


def best_rate(validator: NativeValidator, method: str, orders: list[Order], repeats: int) -> float:
    """Orders per second of the fastest of `repeats` passes over all orders."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run_passes(validator, method, orders, 1)
        best = min(best, time.perf_counter() - start)
    return len(orders) / best


def in_this_process(orders_path: Path, orders: list[Order], show: int, repeats: int) -> Summary:
    validator = compile_order_schema()
    summary = check(validator, orders)
    print_report(summary, orders_path, show)
    print()
    passes = "1 pass" if repeats == 1 else f"best of {repeats} passes"
    print(f"Throughput, {passes} over all {len(orders):,} orders:")
    for method in METHODS:
        rate = best_rate(validator, method, orders, repeats)
        print(f"  {method:<8}  {rate:>12,.0f} orders/s  {1e6 / rate:7.2f} us per order")
    return summary


def in_workers(orders_path: Path, total: int, show: int, repeats: int, workers: int, seconds: float) -> Summary:
    with ProcessPoolExecutor(workers, initializer=start_worker, initargs=(str(orders_path),)) as pool:
        parts = [pool.submit(check_slice, start, stop) for start, stop in slices(total, 4 * workers)]
        results = [part.result() for part in parts]
        summary = Summary.combine(part for _, _, part in results)
        print_report(summary, orders_path, show)

        processes = {pid for pid, _, _ in results}
        compiles = sorted({count for _, count, _ in results})
        print()
        print(
            f"Checked in {len(results)} slices by {len(processes)} of {workers} worker processes, "
            f"each of which compiled the schema {'once' if compiles == [1] else compiles} (in the pool's initializer)."
        )
        if compiles != [1]:
            raise SystemExit("a worker process compiled the schema more than once")

        print()
        runs = "1 run" if repeats == 1 else f"best of {repeats} runs"
        load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
        print(
            f"Throughput in worker processes, {runs} of about {seconds:g} s of work for one worker, on "
            f"{os.cpu_count()} cores (load average {load:.2f} before the runs):"
        )
        for method in METHODS:
            # One worker's passes, doubled until they take a tenth of the time
            # asked for, set how many passes a run makes.
            passes = 1
            while True:
                began = time.perf_counter()
                pool.submit(run_slice, method, 0, total, passes).result()
                took = time.perf_counter() - began
                if took >= seconds / 10:
                    break
                passes *= 2
            passes = max(1, math.ceil(passes * seconds / took))
            rates = {}
            for count in sorted({1, workers}):
                best = float("inf")
                for _ in range(repeats):
                    began = time.perf_counter()
                    parts = slices(total, count)
                    tasks = [pool.submit(run_slice, method, start, stop, passes) for start, stop in parts]
                    calls = sum(task.result() for task in tasks)
                    best = min(best, time.perf_counter() - began)
                rates[count] = calls / best
                label = f"{count} worker" + ("s" if count > 1 else "")
                speedup = f"  {rates[count] / rates[1]:4.2f}x" if count > 1 else ""
                print(f"  {method:<8}  {label:<10} {rates[count]:>12,.0f} orders/s{speedup}  ({passes} passes)")
        if workers > 1:
            print(
                f"{workers} workers can reach {workers}x the orders of one only with {workers} cores free for them; "
                "other work on the machine takes its share."
            )
    return summary


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument(
        "orders",
        nargs="?",
        type=Path,
        default=HERE / "orders.jsonl",
        help="a JSON Lines file with one order per line (default: the shipped sample)",
    )
    parser.add_argument("--show", type=int, default=10, metavar="N", help="violations to list (default 10)")
    parser.add_argument("--repeats", type=int, default=5, metavar="N", help="timed passes or runs (default 5)")
    parser.add_argument(
        "--workers", type=int, default=0, metavar="N", help="check in N worker processes (default: in this one)"
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=1.0,
        metavar="S",
        help="with --workers: how long one worker's share of a timed run lasts (default 1)",
    )
    args = parser.parse_args()

    orders = read_orders(args.orders)
    if not orders:
        print(f"no orders in {args.orders}", file=sys.stderr)
        return 1
    repeats = max(1, args.repeats)
    if args.workers > 0:
        # The orders read here only cut the slices; each worker reads the file itself.
        summary = in_workers(args.orders, len(orders), args.show, repeats, args.workers, args.seconds)
    else:
        summary = in_this_process(args.orders, orders, args.show, repeats)

    if summary.mismatched:
        print()
        print(f"validate() and collect() disagree on lines {', '.join(map(str, summary.mismatched))}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
