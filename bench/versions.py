"""The tables of how quillane_core's speed moves between CPython versions,
from the --json results of one run of bench/run.py on each and, beside each
(RESULTS-instructions.txt), the instruction counts of tools/instructions.sh
(tools/bench-versions.sh makes both): validate of the valid instance and
collect of the invalid one, per payload, on 3.14 and 3.15 as a ratio of the
3.13 figure, and next to the floor of the same version.

Usage: python bench/versions.py [--write-readme] RESULTS.json ...
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "README.md")
BEGIN = "<!-- versions: begin (written by bench/versions.py --write-readme) -->"
END = "<!-- versions: end -->"
OPERATIONS = [("validate_valid", "validate, valid"), ("collect_invalid", "collect, invalid")]
KINDS = [("cached", "cached"), ("fresh", "fresh JSON")]


def python_version(results: dict[str, Any]) -> str:
    """ "3.14" of an environment's "CPython 3.14.10 (GCC ...)"."""
    found = re.search(r"(\d+\.\d+)\.\d+", results["environment"]["python"])
    if not found:
        raise SystemExit(f"no Python version in {results['environment']['python']!r}")
    return found.group(1)


def median_of(payload: dict[str, Any], kind: str, operation: str, system: str = "quillane") -> float | None:
    return payload["times"].get(kind, {}).get(operation, {}).get(system)


def ratio(top: float | None, bottom: float | None) -> float | None:
    return top / bottom if top is not None and bottom else None


def cell(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def geometric_mean(values: list[float | None]) -> float | None:
    known = [v for v in values if v is not None]
    return math.exp(sum(math.log(v) for v in known) / len(known)) if known else None


def render(runs: dict[str, dict[str, Any]]) -> str:
    """The Markdown table of runs, by Python version; the first version is the
    one the others are divided by."""
    versions = sorted(runs, key=lambda v: tuple(int(p) for p in v.split(".")))
    base, others = versions[0], versions[1:]
    payloads = {v: {p["key"]: p for p in runs[v]["payloads"]} for v in versions}
    header = ["payload", "operation"]
    header += [f"{kind_label}: {v} ÷ {base}" for _, kind_label in KINDS for v in others]
    header += [f"÷ floor, cached, on {v}" for v in versions]
    lines = ["| " + " | ".join(header) + " |", "| --- | --- |" + " ---: |" * (len(header) - 2)]
    columns: list[list[float | None]] = [[] for _ in header[2:]]
    for key, first in payloads[base].items():
        for operation, operation_label in OPERATIONS:
            values: list[float | None] = []
            for kind, _ in KINDS:
                for v in others:
                    other = payloads[v].get(key)
                    values.append(
                        ratio(median_of(other, kind, operation), median_of(first, kind, operation)) if other else None
                    )
            for v in versions:
                mine = payloads[v].get(key)
                floor = mine and median_of(mine, "cached", operation, "floor")
                values.append(ratio(median_of(mine, "cached", operation), floor) if mine else None)
            for column, value in zip(columns, values, strict=True):
                column.append(value)
            title = first.get("title", key)
            lines.append(f"| {title} | {operation_label} | " + " | ".join(cell(v) for v in values) + " |")
    lines.append("| **geometric mean** | | " + " | ".join(cell(geometric_mean(c)) for c in columns) + " |")
    pythons = "; ".join(f"{v}: {runs[v]['environment']['python']}" for v in versions)
    return "\n".join(lines) + f"\n\nInterpreters: {pythons}.\n"


def read_instructions(results_path: str) -> dict[str, float] | None:
    """ "payload:method:instance" -> instructions per call, from the file
    tools/bench-versions.sh writes beside a version's results."""
    path = results_path.removesuffix(".json") + "-instructions.txt"
    if not os.path.exists(path):
        return None
    counts: dict[str, float] = {}
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            found = re.match(r"(\S+)\s+(\d+) instructions per call", line)
            if found:
                counts[found.group(1)] = float(found.group(2))
    return counts


def render_instructions(counts: dict[str, dict[str, float]], titles: dict[str, str]) -> str:
    """The Markdown table of instructions per call, by Python version."""
    versions = sorted(counts, key=lambda v: tuple(int(p) for p in v.split(".")))
    base, others = versions[0], versions[1:]
    header = ["payload", "operation", *(f"{v} ÷ {base}" for v in others), *(f"÷ floor on {v}" for v in versions)]
    lines = ["| " + " | ".join(header) + " |", "| --- | --- |" + " ---: |" * (len(header) - 2)]
    columns: list[list[float | None]] = [[] for _ in header[2:]]
    for key, title in titles.items():
        for operation, operation_label in OPERATIONS:
            method, instance = operation.split("_")
            case, floor = f"{key}:{method}:{instance}", f"{key}:floor:{instance}"
            values = [ratio(counts[v].get(case), counts[base].get(case)) for v in others]
            values += [ratio(counts[v].get(case), counts[v].get(floor)) for v in versions]
            for column, value in zip(columns, values, strict=True):
                column.append(value)
            lines.append(f"| {title} | {operation_label} | " + " | ".join(cell(v) for v in values) + " |")
    lines.append("| **geometric mean** | | " + " | ".join(cell(geometric_mean(c)) for c in columns) + " |")
    return "\n".join(lines) + "\n"


def write_readme(table: str) -> None:
    with open(README, encoding="utf-8") as handle:
        text = handle.read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        raise SystemExit(f"{README} has no versions markers")
    with open(README, "w", encoding="utf-8") as handle:
        handle.write(text[: start + len(BEGIN)] + "\n\n" + table + "\n" + text[end:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="the --json output of bench/run.py, one per Python version")
    parser.add_argument("--write-readme", action="store_true", help="put the table into bench/README.md")
    args = parser.parse_args()
    runs: dict[str, dict[str, Any]] = {}
    counts: dict[str, dict[str, float]] = {}
    for path in args.results:
        with open(path, encoding="utf-8") as handle:
            results = json.load(handle)
        version = python_version(results)
        runs[version] = results
        if (instructions := read_instructions(path)) is not None:
            counts[version] = instructions
    table = "Medians of the times per call, on each version:\n\n" + render(runs)
    if len(counts) == len(runs):
        titles = {p["key"]: p.get("title", p["key"]) for p in next(iter(runs.values()))["payloads"]}
        table += "\nInstructions per call (callgrind), on each version:\n\n" + render_instructions(counts, titles)
    if args.write_readme:
        write_readme(table)
    print(table)


if __name__ == "__main__":
    main()
