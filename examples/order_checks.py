"""Checking the sample orders: the verdicts, their report, and worker processes.

Shared by demo.py (in this process, or in worker processes with --workers N)
and dask_orders.py (on a Dask cluster), so that all of them sort the orders
alike and print the same report.

A NativeValidator cannot be pickled, so it never travels between processes:
each worker compiles the schema once (the schema itself is plain Python
objects and pickles like any data), and only summaries of plain data come
back.
"""

from __future__ import annotations

import itertools
import json
import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from order_schema import ORDER

import quillane_core

type Order = object  # one decoded JSON line
type Violation = tuple[str, str, object]


@dataclass
class Summary:
    """The verdicts on a run of orders, numbered from 1 within that run."""

    orders: int = 0
    conforming: int = 0
    invalid: list[tuple[int, list[Violation]]] = field(default_factory=list)  # (number, violations)
    undecided: list[int] = field(default_factory=list)  # left to the caller's own validation
    mismatched: list[int] = field(default_factory=list)  # validate() and collect() disagree

    @classmethod
    def combine(cls, parts: Iterable[Summary]) -> Summary:
        """One summary of consecutive runs, given in order, numbered as one run."""
        whole = cls()
        for part in parts:
            offset = whole.orders
            whole.orders += part.orders
            whole.conforming += part.conforming
            whole.invalid += [(offset + number, errors) for number, errors in part.invalid]
            whole.undecided += [offset + number for number in part.undecided]
            whole.mismatched += [offset + number for number in part.mismatched]
        return whole


def compile_order_schema(schema: object = ORDER) -> quillane_core.NativeValidator:
    validator = quillane_core.compile_schema(schema)
    if validator is None:
        raise SystemExit("the order schema did not compile to a native validator")
    return validator


def parse_orders(lines: Iterable[str]) -> list[Order]:
    return [json.loads(line) for line in lines if line.strip()]


def read_orders(path: Path) -> list[Order]:
    with path.open(encoding="utf-8") as lines:
        return parse_orders(lines)


def check(validator: quillane_core.NativeValidator, orders: Iterable[Order]) -> Summary:
    summary = Summary()
    for number, order in enumerate(orders, start=1):
        summary.orders += 1
        passed = validator.validate(order) is order
        errors = validator.collect(order)
        if errors is None:
            summary.undecided.append(number)
        elif errors:
            summary.invalid.append((number, errors))
        else:
            summary.conforming += 1
        if passed != (errors == []):
            summary.mismatched.append(number)
    return summary


def run_passes(validator: quillane_core.NativeValidator, method: str, orders: list[Order], passes: int) -> None:
    call = getattr(validator, method)
    for _ in range(passes):
        for order in orders:
            call(order)


def shorten(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def print_report(summary: Summary, source: Path, show: int) -> None:
    """What the orders of `source` hold: the shares, the undecided lines, the first `show` violations."""
    total = summary.orders
    root = Path(__file__).resolve().parent.parent  # a sample beside the examples reads as examples/...
    resolved = source.resolve()
    shown = resolved.relative_to(root) if resolved.is_relative_to(root) else resolved
    size_mb = source.stat().st_size / 1e6
    violations = sum(len(errors) for _, errors in summary.invalid)

    def share(count: int) -> str:
        return f"{count:>6,}  {100 * count / total:5.1f}%"

    print(f"{total:,} orders from {shown} ({size_mb:.2f} MB), checked against the compiled order schema")
    print()
    print(f"  conform    {share(summary.conforming)}")
    print(f"  invalid    {share(len(summary.invalid))}   {violations:,} violations")
    print(f"  undecided  {share(len(summary.undecided))}   left to the Python validator (unknown fields)")
    undecided = summary.undecided
    if undecided:
        more = f" and {len(undecided) - 12:,} more" if len(undecided) > 12 else ""
        print(f"             lines {', '.join(map(str, undecided[:12]))}{more}")

    if summary.invalid and show > 0:
        rows = [
            (number, path or "(root)", message, shorten(repr(value), 28))
            for number, errors in summary.invalid
            for path, message, value in errors
        ][:show]
        path_w = max(len("path"), *(len(row[1]) for row in rows))
        msg_w = max(len("message"), *(len(row[2]) for row in rows))
        print()
        print(f"First {len(rows)} violations:")
        print(f"  {'line':>5}  {'path':<{path_w}}  {'message':<{msg_w}}  value")
        for number, path, message, value in rows:
            print(f"  {number:>5}  {path:<{path_w}}  {message:<{msg_w}}  {value}")


# Worker processes (concurrent.futures.ProcessPoolExecutor): start_worker is
# the pool's initializer, so each process compiles the schema exactly once
# and reads the orders file itself; a task names a slice of the orders and
# returns plain data.

_validator: quillane_core.NativeValidator | None = None
_orders: list[Order] = []
_compiles = 0


def start_worker(path: str) -> None:
    global _validator, _orders, _compiles
    _validator = compile_order_schema()
    _compiles += 1
    _orders = read_orders(Path(path))


def _worker_validator() -> quillane_core.NativeValidator:
    if _validator is None:
        raise RuntimeError("start_worker() has not run in this process")
    return _validator


def check_slice(start: int, stop: int) -> tuple[int, int, Summary]:
    """(process id, compiles in that process, the summary of orders[start:stop])."""
    return os.getpid(), _compiles, check(_worker_validator(), _orders[start:stop])


def run_slice(method: str, start: int, stop: int, passes: int) -> int:
    """Runs `passes` passes of `method` over orders[start:stop]; returns how many calls that made."""
    orders = _orders[start:stop]
    run_passes(_worker_validator(), method, orders, passes)
    return len(orders) * passes


def slices(total: int, parts: int) -> list[tuple[int, int]]:
    """`parts` consecutive (start, stop) ranges covering range(total), as even as can be."""
    bounds = [total * part // parts for part in range(parts + 1)]
    return [(start, stop) for start, stop in itertools.pairwise(bounds) if stop > start]
