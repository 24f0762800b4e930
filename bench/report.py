"""The results of a run as Markdown tables (and the raw figures and ratios as
JSON): the summary, one table per payload, key order, memory, compile_schema
and the probes. bench/run.py measures; this module only formats, so that the
tables, the JSON and the charts (charts.py) are made from the same figures.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Any

import payloads as payload_module
import systems as system_module
from systems import System

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "README.md")
BEGIN = "<!-- results: begin (written by bench/run.py --write-readme) -->"
END = "<!-- results: end -->"
PROJECT_README = os.path.join(os.path.dirname(HERE), "README.md")
PROJECT_BEGIN = "<!-- benchmark summary: begin (written by bench/run.py --write-readme) -->"
PROJECT_END = "<!-- benchmark summary: end -->"

OPERATIONS = [
    ("validate_valid", "validate, valid instance"),
    ("validate_invalid", "validate, invalid instance"),
    ("collect_valid", "collect, valid instance"),
    ("collect_invalid", "collect, invalid instance"),
]
DATA_KINDS = [
    ("cached", "cached"),  # the same instance every call, UTF-8 forms cached
    ("fresh", "fresh JSON"),  # a new json.loads copy every call
]
KEY_ORDER_OPERATIONS = [("validate_valid", "validate"), ("collect_valid", "collect")]
COMPILE_LABELS = {
    "quillane": "quillane_core `compile_schema`",
    "reference": "pure-Python baseline `compile_schema`",
    "pydantic": "pydantic-core `SchemaValidator(...)`",
    "jsonschema_rs": "jsonschema-rs `Draft7Validator(...)`",
    "fastjsonschema": "fastjsonschema `compile(...)`",
}


@dataclass
class Standing:
    """What a system's answers on one payload allow to be timed."""

    timed: bool = True  # the verdicts agree: validate is timed
    collect: bool = False  # it lists violations, and the list agrees
    reason: str = ""  # why not, when it is not timed
    collect_reason: str = ""


@dataclass
class PayloadResult:
    payload: payload_module.Payload
    values_valid: int
    values_invalid: int
    standings: dict[str, Standing]
    # data kind -> operation -> system key -> median seconds per call, and values taken
    times: dict[str, dict[str, dict[str, float]]] = field(default_factory=dict)
    samples: dict[str, dict[str, dict[str, int]]] = field(default_factory=dict)


@dataclass
class KeyOrderResult:
    fields: int
    order: str
    left_out: dict[str, str]  # system label -> why
    times: dict[str, dict[str, float]] = field(default_factory=dict)  # operation -> system key -> median
    samples: dict[str, dict[str, int]] = field(default_factory=dict)


@dataclass
class Report:
    env: dict
    results: list[PayloadResult]
    key_order: list[KeyOrderResult]
    memory: list[dict]
    compile_rows: list[dict]
    probe_rows: list[dict]
    unstable: list[str]  # benchmarks whose values spread by a tenth of their mean or more
    benchmarks: int  # how many were timed
    charts: list[tuple[str, str]] = field(default_factory=list)  # (title, path relative to the Markdown)


# Tables ----------------------------------------------------------------------------


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds:.3g} s"


def fmt_ratio(ratio: float) -> str:
    if ratio >= 100:
        return f"{ratio:,.0f}×"
    if ratio >= 10:
        return f"{ratio:.1f}×"
    return f"{ratio:.2f}×"


def heading(title: str, text: str) -> list[str]:
    """A results section's heading and the paragraph that says what it shows."""
    return [f"### {title}", "", text, ""]


def ratio_cell(time: float | None, base: float | None) -> str:
    return fmt_ratio(time / base) if time is not None and base else "–"


def fmt_bytes(size: int) -> str:
    return "unknown" if size < 0 else f"{size:,} B"


def fewer_repeats_note(samples: list[dict[str, int]], systems: list[System]) -> list[str]:
    """A note naming the systems that got fewer values than the others somewhere
    (run.py gives a slow call fewer worker processes and values)."""
    few = sorted(
        {s.label for taken in samples for s in systems if taken.get(s.key, 0) and taken[s.key] < max(taken.values())}
    )
    return [f"- Fewer values within the time budget for: {', '.join(few)}."] if few else []


def fastest_peer(times: dict[str, float]) -> tuple[str, float] | None:
    """The label and time of the fastest peer in times (not this module, the
    pure-Python baseline or the floor)."""
    peers = [(t, s.label) for s in system_module.PEERS if (t := times.get(s.key)) is not None]
    if not peers:
        return None
    t, label = min(peers)
    return label, t


def against_floor_and_peers(mine: float, times: dict[str, float]) -> str:
    """The cells "÷ floor | fastest peer | ÷ fastest peer" for quillane_core's time."""
    peer = fastest_peer(times)
    peer_cells = f"{peer[0]} ({fmt_time(peer[1])}) | {fmt_ratio(mine / peer[1])}" if peer else "– | –"
    return f"{ratio_cell(mine, times.get('floor'))} | {peer_cells}"


SUMMARY_HEADER = [
    "| payload | operation | data | quillane_core | ÷ floor | fastest peer | ÷ fastest peer | collect ÷ validate |",
    "| --- | --- | --- | ---: | ---: | --- | ---: | ---: |",
]


def summary_rows(results: list[PayloadResult], operations: list[tuple[str, str]]) -> list[str]:
    """One row per payload, operation and data kind: quillane_core's median,
    ÷ the floor, ÷ the fastest peer, and collect ÷ validate."""
    out = []
    for result in results:
        for op, label in operations:
            for kind, kind_label in DATA_KINDS:
                times = result.times[kind][op]
                mine = times.get("quillane")
                if mine is None:
                    continue
                validate = result.times[kind][op.replace("collect", "validate")].get("quillane")
                over_validate = ratio_cell(mine, validate) if op.startswith("collect") else "–"
                out.append(
                    f"| {result.payload.title} | {label} | {kind_label} | {fmt_time(mine)} | "
                    f"{against_floor_and_peers(mine, times)} | {over_validate} |"
                )
    return out


def summary_section(results: list[PayloadResult]) -> list[str]:
    return [
        *heading(
            "Summary",
            "quillane_core's median on every payload and operation, divided by the floor's and by the fastest "
            "peer's median for the same operation and data in the same run: below 1× is faster. The fastest peer "
            "of a collect row is the fastest of those that list every violation. On validate of the invalid "
            "instance the floor still walks the whole instance while a validator may stop at the first violation. "
            '"collect ÷ validate" divides quillane_core\'s collect by its validate of the same instance and data.',
        ),
        *SUMMARY_HEADER,
        *summary_rows(results, OPERATIONS),
        "",
    ]


def project_summary(report: Report) -> str:
    """The table of the project's README: the summary without validate of the
    invalid instance (which stops at the first violation), and the run it
    comes from."""
    env = report.env
    operations = [(op, label.replace(" instance", "")) for op, label in OPERATIONS if op != "validate_invalid"]
    return "\n".join(
        [
            f"From the run of {env['date']} (CPython {env['python'].split()[1]}, module source {env['revision']}):",
            "",
            *SUMMARY_HEADER,
            *summary_rows(report.results, operations),
        ]
    )


def payload_section(result: PayloadResult, systems: list[System]) -> list[str]:
    p = result.payload
    out = heading(p.title, p.summary[0].upper() + p.summary[1:] + ".")
    out.append(
        "| operation | system | cached | fresh JSON | per value, fresh | vs quillane_core, cached | "
        "vs quillane_core, fresh | vs floor, cached | vs floor, fresh |"
    )
    out.append("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for op, label in OPERATIONS:
        cached, fresh = result.times["cached"][op], result.times["fresh"][op]
        values = result.values_valid if op.endswith("_valid") else result.values_invalid
        for system in systems:
            if system.key not in cached and system.key not in fresh:
                continue
            t_cached, t_fresh = cached.get(system.key), fresh.get(system.key)
            name = f"**{system.label}**" if system.key == "quillane" else system.label
            per_value = "–" if op == "validate_invalid" or t_fresh is None else fmt_time(t_fresh / values)
            out.append(
                f"| {label} | {name} | {fmt_time(t_cached) if t_cached else '–'} | "
                f"{fmt_time(t_fresh) if t_fresh else '–'} | {per_value} | "
                f"{ratio_cell(t_cached, cached.get('quillane'))} | {ratio_cell(t_fresh, fresh.get('quillane'))} | "
                f"{ratio_cell(t_cached, cached.get('floor'))} | {ratio_cell(t_fresh, fresh.get('floor'))} |"
            )
    notes = []
    for system in systems:
        standing = result.standings.get(system.key)
        if standing is None:
            continue
        if not standing.timed:
            notes.append(f"- {system.label} disagrees here ({standing.reason}); not timed.")
        elif standing.collect_reason and standing.collect_reason != "stops at the first error":
            notes.append(f"- {system.label}: collect disagrees ({standing.collect_reason}); not timed.")
    notes += fewer_repeats_note([t for kind in result.samples.values() for t in kind.values()], systems)
    if notes:
        out += ["", *notes]
    out.append("")
    return out


def key_order_section(results: list[KeyOrderResult], systems: list[System]) -> list[str]:
    out = [
        *heading(
            "Key order",
            "A field map of 10, 1,000 and 20,000 fields (int, str, float and bool fields in turn, named "
            "`field_00000` and on) and data that conforms, whose keys come in the schema's order, reversed or "
            "shuffled; the data's keys are strs of their own, as `json.loads` makes them. The same data on every "
            'call. "vs schema order" divides by the time for the same field count and operation with keys in '
            "the schema's order; the floor walks the same dict without looking a key up.",
        ),
        "| fields | key order | operation | quillane_core | per field | vs schema order | ÷ floor "
        "| fastest peer | ÷ fastest peer |",
        "| ---: | --- | --- | ---: | ---: | ---: | ---: | --- | ---: |",
    ]
    first = payload_module.KEY_ORDERS[0]
    in_order = {(r.fields, op): r.times[op] for r in results if r.order == first for op in r.times}
    for op, label in KEY_ORDER_OPERATIONS:
        for r in results:
            times = r.times[op]
            mine = times.get("quillane")
            if mine is not None:
                out.append(
                    f"| {r.fields:,} | {r.order} | {label} | {fmt_time(mine)} | {fmt_time(mine / r.fields)} | "
                    f"{ratio_cell(mine, in_order[(r.fields, op)].get('quillane'))} | "
                    f"{against_floor_and_peers(mine, times)} |"
                )
    shown = [s for s in systems if any(s.key in r.times[op] for r in results for op in r.times)]
    out += [
        "",
        "Every system, with its time divided by its own time for keys in the schema's order:",
        "",
        "| fields | key order | operation | " + " | ".join(s.label for s in shown) + " |",
        "| ---: | --- | --- | " + " | ".join("---:" for _ in shown) + " |",
    ]
    for op, label in KEY_ORDER_OPERATIONS:
        for r in results:
            cells = []
            for s in shown:
                t = r.times[op].get(s.key)
                base = in_order[(r.fields, op)].get(s.key)
                cells.append("–" if t is None else f"{fmt_time(t)} ({ratio_cell(t, base)})")
            out.append(f"| {r.fields:,} | {r.order} | {label} | " + " | ".join(cells) + " |")
    notes = sorted({f"- {label} at {r.fields:,} fields: {why}." for r in results for label, why in r.left_out.items()})
    notes += fewer_repeats_note([t for r in results for t in r.samples.values()], systems)
    if notes:
        out += ["", *notes]
    out.append("")
    return out


def memory_section(rows: list[dict]) -> list[str]:
    out = [
        *heading(
            "Memory",
            "How much the process grows over one validate of the valid instance and one collect of the invalid "
            "instance of the non-ASCII payload (validate again for systems without collect), each freshly parsed "
            "from its JSON text, measured in a process of its own for each system (bench/memory.py): the growth of "
            "`sys.getsizeof` summed over the strs of both instances (the UTF-8 forms cached on the caller's strs), "
            "of the bytes allocated through the interpreter's allocators and still held (tracemalloc), and of the "
            "resident set (coarse: pages and arenas, but it also sees native allocations).",
        ),
        "| system | strs grow by | held allocations grow by | resident set grows by |",
        "| --- | ---: | ---: | ---: |",
    ]
    for row in rows:
        figures = row["figures"]
        name = f"**{row['label']}**" if row["key"] == "quillane" else row["label"]
        if isinstance(figures, str):
            out.append(f"| {name} | {figures} | – | – |")
            continue
        per_str = f" ({figures['strs'] / figures['str_count']:.1f} B a str)" if figures["strs"] else ""
        out.append(
            f"| {name} | {fmt_bytes(figures['strs'])}{per_str} | {fmt_bytes(figures['traced'])} | "
            f"{fmt_bytes(figures['rss'])} |"
        )
    out.append("")
    return out


def compile_section(rows: list[dict]) -> list[str]:
    keys = [k for k in COMPILE_LABELS if any(k in row["times"] for row in rows)]
    out = [
        *heading(
            "Building a validator from a schema",
            "Median time per schema node (one node per validator object and per field map) to build "
            "each system's validator from a schema already written in its own form; the ratio compares "
            "with quillane_core. msgspec and jsonschema build lazily on first use and are left out.",
        ),
        "| schema | nodes | " + " | ".join(COMPILE_LABELS[k] for k in keys) + " |",
        "| --- | ---: | " + " | ".join("---:" for _ in keys) + " |",
    ]
    for row in rows:
        base = row["times"]["quillane"]
        cells = []
        for key in keys:
            t = row["times"].get(key)
            if t is None:
                cells.append("–")
            elif key == "quillane":
                cells.append(f"**{t / row['nodes'] * 1e6:.3g} µs** ({fmt_time(t)} in all)")
            else:
                cells.append(f"{t / row['nodes'] * 1e6:.3g} µs ({fmt_ratio(t / base)})")
        out.append(f"| {row['schema']} | {row['nodes']:,} | " + " | ".join(cells) + " |")
    out.append("")
    return out


def probe_section(rows: list[dict], systems: list[System]) -> list[str]:
    shown = [s for s in systems if not s.is_floor]
    out = [
        *heading(
            "Where the rules differ",
            "Verdicts of each system's yes/no check on single values that the payloads avoid, "
            "each under a one-field record.",
        ),
        "| value | " + " | ".join(s.label for s in shown) + " |",
        "| --- | " + " | ".join(":---:" for _ in shown) + " |",
    ]
    for row in rows:
        out.append(f"| {row['probe']} | " + " | ".join(row["verdicts"].get(s.key, "–") for s in shown) + " |")
    out.append("")
    return out


def charts_section(charts: list[tuple[str, str]]) -> list[str]:
    if not charts:
        return []
    out = heading(
        "Charts",
        "The same medians as the tables, per call and on a log scale: one chart per operation, each payload a "
        "group, cached data on the left and fresh JSON on the right (bench/charts.py).",
    )
    for title, path in charts:
        out += [f"![{title}]({path})", ""]
    return out


def render(report: Report, systems: list[System]) -> str:
    env = report.env
    quick = env["mode"] == "quick"
    versions = ", ".join(f"{name} {version}" for name, version in env["versions"].items())
    out = [
        "## Results",
        "",
        f"{'Quick' if quick else 'Full'} run of `bash tools/bench.sh{' --quick' if quick else ''}` on {env['date']}.",
        "",
        f"- Machine: {env['cpu']}, {env['cores']} cores ({env['usable_cores']} usable), {env['os']}",
        f"- Compiler: {env['module_compiler']} for the module; {env['floor_compiler']} for the floor",
        f"- Python: {env['python']}; pyperf {env['pyperf']}",
        f"- Load average when the run started: {env['load']}; other work on the machine makes the times noisier",
        f"- Packages: {versions}",
    ]
    if env["revision"]:
        out.append(f"- Module source: commit {env['revision']}")
    if env["missing"]:
        out.append(f"- Not installed or left out: {', '.join(env['missing'])}")
    if env.get("took"):
        out.append(f"- The run took {env['took']}")
    out += [
        "",
        'Times are medians per call; "cached" times the same instance on every call, each of its strs '
        'carrying its UTF-8 form; "fresh JSON" times every call on a copy of its own, parsed by `json.loads` '
        'outside the timed region. "Per value" divides by the number of values in the instance '
        "(containers included; not given for validate on the invalid instance, which may stop at the "
        "first violation); the ratios divide by quillane_core's and by the floor's median for "
        "the same operation and data in the same run, so above 1× is slower. msgspec and fastjsonschema stop "
        "at the first error and have no collect rows.",
    ]
    if report.benchmarks:
        spread = (
            f"{len(report.unstable)} of the {report.benchmarks:,} benchmarks have a standard deviation of a tenth "
            "of their mean or more (the bound of pyperf's own stability check), mostly from other work on the "
            "machine"
            if report.unstable
            else f"none of the {report.benchmarks:,} benchmarks has a standard deviation of a tenth of its mean "
            "or more (the bound of pyperf's own stability check)"
        )
        out += ["", f"Each time is the median of the values pyperf took in its worker processes; {spread}."]
    out.append("")
    if report.results:
        out += summary_section(report.results)
    out += charts_section(report.charts)
    for result in report.results:
        out += payload_section(result, systems)
    if report.key_order:
        out += key_order_section(report.key_order, systems)
    if report.memory:
        out += memory_section(report.memory)
    if report.compile_rows:
        out += compile_section(report.compile_rows)
    out += probe_section(report.probe_rows, systems)
    return "\n".join(out).rstrip() + "\n"


def replace_between(path: str, begin: str, end: str, section: str) -> None:
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    pattern = re.compile(re.escape(begin) + r".*?" + re.escape(end), re.S)
    if not pattern.search(text):
        raise SystemExit(f"{path} has no results markers")
    text = pattern.sub(lambda _: f"{begin}\n\n{section}\n{end}", text)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)


def write_readme(report: Report, section: str) -> None:
    """The results into bench/README.md, and their summary into the
    project's README."""
    replace_between(README, BEGIN, END, section)
    replace_between(PROJECT_README, PROJECT_BEGIN, PROJECT_END, project_summary(report) + "\n")


# Raw figures ----------------------------------------------------------------------


def quotient(time: float | None, base: float | None) -> float | None:
    return time / base if time is not None and base else None


def payload_ratios(result: PayloadResult) -> dict[str, Any]:
    """The ratios the tables show, per data kind: collect ÷ validate of the same
    instance, each system ÷ the floor, each system ÷ quillane_core, and for
    quillane_core the fastest peer's time ÷ its own (of those that list every
    violation, for collect), so above 1 is faster."""
    out: dict[str, Any] = {}
    for kind, _ in DATA_KINDS:
        times = result.times.get(kind, {})
        mine = {op: times.get(op, {}).get("quillane") for op, _ in OPERATIONS}
        out[kind] = {
            "collect_over_validate": {
                instance: quotient(mine[f"collect_{instance}"], mine[f"validate_{instance}"])
                for instance in ("valid", "invalid")
            },
            "over_floor": {
                op: {key: quotient(t, times[op].get("floor")) for key, t in times[op].items()} for op in times
            },
            "over_quillane": {
                op: {key: quotient(t, times[op].get("quillane")) for key, t in times[op].items()} for op in times
            },
            "fastest_peer_over_quillane": {
                op: (
                    {"peer": peer[0], "ratio": quotient(peer[1], times[op].get("quillane"))}
                    if (peer := fastest_peer(times[op]))
                    else None
                )
                for op in times
            },
        }
    return out


def raw(report: Report) -> dict[str, Any]:
    """Everything the tables show, as numbers (seconds per call, bytes)."""
    return {
        "environment": report.env,
        "payloads": [
            {
                "key": r.payload.key,
                "title": r.payload.title,
                "values": {"valid": r.values_valid, "invalid": r.values_invalid},
                "times": r.times,
                "values_taken": r.samples,
                "ratios": payload_ratios(r),
                "disagreements": {
                    k: s.reason or s.collect_reason for k, s in r.standings.items() if s.reason or s.collect_reason
                },
            }
            for r in report.results
        ],
        "key_order": [
            {"fields": r.fields, "order": r.order, "times": r.times, "values_taken": r.samples, "left_out": r.left_out}
            for r in report.key_order
        ],
        "memory": report.memory,
        "compile": report.compile_rows,
        "probes": report.probe_rows,
        "unstable": report.unstable,
    }
