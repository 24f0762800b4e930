"""Validates the sample orders with a compiled native validator.

Compiles the order schema of examples/order_schema.py, reads one order per line
from examples/orders.jsonl (or the file given), sorts the orders into those
that conform, those with violations and those the native walk leaves
undecided, shows the first violations, and measures how many orders per
second validate() and collect() get through.

Usage: python examples/demo.py [ORDERS.jsonl] [--show N] [--repeats N]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from order_schema import ORDER

import quillane_core

HERE = Path(__file__).resolve().parent


def shorten(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def best_rate(method, records: list, repeats: int) -> float:
    """Orders per second of the fastest of `repeats` passes over all records."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for record in records:
            method(record)
        best = min(best, time.perf_counter() - start)
    return len(records) / best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "orders",
        nargs="?",
        type=Path,
        default=HERE / "orders.jsonl",
        help="a JSON Lines file with one order per line (default: the shipped sample)",
    )
    parser.add_argument("--show", type=int, default=10, metavar="N", help="violations to list (default 10)")
    parser.add_argument("--repeats", type=int, default=5, metavar="N", help="timed passes per method (default 5)")
    args = parser.parse_args()

    validator = quillane_core.compile_schema(ORDER)
    if validator is None:
        print("the order schema did not compile to a native validator", file=sys.stderr)
        return 1

    with args.orders.open(encoding="utf-8") as lines:
        records = [json.loads(line) for line in lines if line.strip()]
    total = len(records)
    if total == 0:
        print(f"no orders in {args.orders}", file=sys.stderr)
        return 1

    conforming = 0
    invalid: list[tuple[int, list]] = []  # (line number, violations)
    undecided: list[int] = []  # line numbers
    mismatched: list[int] = []  # validate() and collect() disagree
    for number, record in enumerate(records, start=1):
        passed = validator.validate(record) is record
        errors = validator.collect(record)
        if errors is None:
            undecided.append(number)
        elif errors:
            invalid.append((number, errors))
        else:
            conforming += 1
        if passed != (errors == []):
            mismatched.append(number)

    orders_path = args.orders.resolve()
    root = HERE.parent
    shown = str(orders_path.relative_to(root) if orders_path.is_relative_to(root) else orders_path)
    size_mb = args.orders.stat().st_size / 1e6
    violations = sum(len(errors) for _, errors in invalid)

    def share(count: int) -> str:
        return f"{count:>6,}  {100 * count / total:5.1f}%"

    print(f"{total:,} orders from {shown} ({size_mb:.2f} MB), checked against the compiled order schema")
    print()
    print(f"  conform    {share(conforming)}")
    print(f"  invalid    {share(len(invalid))}   {violations:,} violations")
    print(f"  undecided  {share(len(undecided))}   left to the Python validator (unknown fields)")
    if undecided:
        more = f" and {len(undecided) - 12:,} more" if len(undecided) > 12 else ""
        print(f"             lines {', '.join(map(str, undecided[:12]))}{more}")

    if invalid and args.show > 0:
        rows = [
            (number, path or "(root)", message, shorten(repr(value), 28))
            for number, errors in invalid
            for path, message, value in errors
        ][: args.show]
        path_w = max(len("path"), *(len(row[1]) for row in rows))
        msg_w = max(len("message"), *(len(row[2]) for row in rows))
        print()
        print(f"First {len(rows)} violations:")
        print(f"  {'line':>5}  {'path':<{path_w}}  {'message':<{msg_w}}  value")
        for number, path, message, value in rows:
            print(f"  {number:>5}  {path:<{path_w}}  {message:<{msg_w}}  {value}")

    repeats = max(1, args.repeats)
    print()
    passes = "1 pass" if repeats == 1 else f"best of {repeats} passes"
    print(f"Throughput, {passes} over all {total:,} orders:")
    for name in ("validate", "collect"):
        rate = best_rate(getattr(validator, name), records, repeats)
        print(f"  {name:<8}  {rate:>12,.0f} orders/s  {1e6 / rate:7.2f} us per order")

    if mismatched:
        print()
        print(f"validate() and collect() disagree on lines {', '.join(map(str, mismatched))}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
