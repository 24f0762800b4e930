"""Validates the sample orders on a Dask cluster, where the partitions are.

Starts a local cluster of worker processes (dask.distributed LocalCluster),
or joins the cluster whose scheduler is given, and:

- registers a worker plugin that holds the order schema, the plain Python
  objects of examples/order_schema.py, which pickle like any data. Each worker
  compiles it once, when the plugin is set up there; a NativeValidator
  cannot be pickled, and none ever leaves the worker that compiled it;
- reads the orders file in partitions (dask.bag.read_text) on the workers and
  keeps the decoded orders in their memory;
- checks each partition on the worker that holds it, and brings back only
  the summaries, which make the same report as examples/demo.py in one
  process;
- measures how many orders per second validate() and collect() get through
  on all workers at once, in runs of as many passes over the orders as take
  --seconds at least (default 1), so that they measure the checking rather
  than the scheduling of the tasks.

The workers need quillane_core installed, the examples' own modules (the
schema classes, the report), which a local cluster's workers import from here
and those of a cluster joined with --scheduler get uploaded, and the orders
file at the same path.

Usage: python examples/dask_orders.py [ORDERS.jsonl] [--workers N] [--scheduler ADDRESS]
       [--partitions N] [--show N] [--repeats N] [--seconds S]
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from collections import Counter
from pathlib import Path

import dask.bag
from distributed import Client, LocalCluster, WorkerPlugin, futures_of, get_worker, wait
from order_checks import Order, Summary, check, compile_order_schema, parse_orders, print_report, run_passes
from order_schema import ORDER

import quillane_core

HERE = Path(__file__).resolve().parent
PLUGIN = "quillane-order-schema"
METHODS = ("validate", "collect")
TIMEOUT = 120  # seconds for any one step on the cluster
# What the workers import beyond quillane_core, uploaded to a joined cluster.
MODULES = ("validator_classes.py", "order_schema.py", "order_checks.py")


class CompiledSchema(WorkerPlugin):
    """Compiles the schema it carries once on each worker, when set up there."""

    name = PLUGIN

    def __init__(self, schema: object) -> None:
        self.schema = schema
        self.validator: quillane_core.NativeValidator | None = None
        self.compiles = 0

    def setup(self, worker: object) -> None:
        self.validator = compile_order_schema(self.schema)
        self.compiles += 1


def _validator() -> quillane_core.NativeValidator:
    """The validator that this worker compiled."""
    validator: quillane_core.NativeValidator | None = getattr(get_worker().plugins[PLUGIN], "validator", None)
    if validator is None:
        raise RuntimeError("the schema plugin has not been set up on this worker")
    return validator


def compiles_here(dask_worker: object) -> int:
    """How often the worker it runs on has compiled the schema (run with Client.run)."""
    plugin = dask_worker.plugins[PLUGIN]  # type: ignore[attr-defined]
    return plugin.compiles


def check_partition(orders: list[Order]) -> list[tuple[str, Summary]]:
    return [(get_worker().address, check(_validator(), orders))]


def run_partition(orders: list[Order], method: str, passes: int) -> list[int]:
    run_passes(_validator(), method, orders, passes)
    return [len(orders) * passes]


def validate_orders(client: Client, orders_path: Path, partitions: int, show: int, repeats: int, seconds: float) -> int:
    """Checks the orders on the client's cluster and prints the report; the exit status."""
    client.register_plugin(CompiledSchema(ORDER))
    workers = sorted(client.scheduler_info()["workers"])

    blocksize = max(1, orders_path.stat().st_size // partitions)
    lines = dask.bag.read_text(str(orders_path.resolve()), blocksize=blocksize)
    orders = client.persist(lines.map_partitions(parse_orders))
    wait(futures_of(orders), timeout=TIMEOUT)

    results = client.compute(orders.map_partitions(check_partition)).result(timeout=TIMEOUT)
    summary = Summary.combine(part for _, part in results)
    print_report(summary, orders_path, show)

    compiles = client.run(compiles_here)
    where = Counter(address for address, _ in results)
    print()
    counts = sorted(set(compiles.values()))
    print(
        f"Checked in {len(results)} partitions on {len(where)} of {len(workers)} workers, each of which compiled "
        f"the schema {'once' if counts == [1] else counts} (in the worker plugin's setup):"
    )
    for address in workers:
        print(f"  {address}  {where[address]} partitions")
    status = 0
    if counts != [1]:
        print("a worker compiled the schema other than once", file=sys.stderr)
        status = 1
    if summary.mismatched:
        print(f"validate() and collect() disagree on lines {', '.join(map(str, summary.mismatched))}", file=sys.stderr)
        status = 1

    print()
    runs = "1 run" if repeats == 1 else f"best of {repeats} runs"
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(
        f"Throughput on {len(workers)} workers, {runs} of at least {seconds:g} s each "
        f"(this machine: {os.cpu_count()} cores, load average {load:.2f} before the runs):"
    )

    def timed(method: str, passes: int) -> tuple[float, int]:
        began = time.perf_counter()
        done = client.compute(orders.map_partitions(run_partition, method, passes))
        calls = sum(done.result(timeout=TIMEOUT))
        return time.perf_counter() - began, calls

    for method in METHODS:
        # Passes doubled until a run takes the time asked for: each run on the
        # cluster costs tens of milliseconds of scheduling besides the work.
        passes = 1
        while timed(method, passes)[0] < seconds:
            passes *= 2
        best = float("inf")
        calls = 0
        for _ in range(repeats):
            took, calls = timed(method, passes)
            best = min(best, took)
        print(f"  {method:<8}  {calls / best:>12,.0f} orders/s  ({passes} passes)")
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument(
        "orders",
        nargs="?",
        type=Path,
        default=HERE / "orders.jsonl",
        help="a JSON Lines file with one order per line (default: the shipped sample)",
    )
    parser.add_argument("--workers", type=int, default=2, metavar="N", help="local worker processes (default 2)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="join this cluster instead of starting one")
    parser.add_argument("--partitions", type=int, metavar="N", help="partitions of the file (default 2 per worker)")
    parser.add_argument("--show", type=int, default=10, metavar="N", help="violations to list (default 10)")
    parser.add_argument("--repeats", type=int, default=5, metavar="N", help="timed runs per method (default 5)")
    parser.add_argument("--seconds", type=float, default=1.0, metavar="S", help="a timed run's least time (default 1)")
    args = parser.parse_args()
    repeats = max(1, args.repeats)

    if args.scheduler:
        with Client(args.scheduler, timeout=TIMEOUT) as client:
            for module in MODULES:
                client.upload_file(str(HERE / module))
            partitions = args.partitions or 2 * len(client.scheduler_info()["workers"])
            return validate_orders(client, args.orders, partitions, args.show, repeats, args.seconds)
    # One thread per worker process: validating holds the GIL, so more threads
    # in one process would only take turns; the processes run side by side.
    with (
        LocalCluster(
            n_workers=args.workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        Client(cluster, timeout=TIMEOUT) as client,
    ):
        partitions = args.partitions or 2 * args.workers
        return validate_orders(client, args.orders, partitions, args.show, repeats, args.seconds)


if __name__ == "__main__":
    sys.exit(main())
