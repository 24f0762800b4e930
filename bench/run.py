"""Benchmarks of quillane_core against the pure-Python baseline, peer
validators and a floor, all in one process.

For every payload (see payloads.py) each system is first asked for its
verdict on the valid and the invalid instance, and for its list of
violations where it has one. A system that disagrees on a payload is reported
as such and not timed on it. Then four operations are timed: `validate` on
the valid and on the invalid instance, `collect` on the valid and on the
invalid one, each on two kinds of data: the same instance on every call, every
str of it carrying its cached UTF-8 form ("cached"), and a copy freshly parsed
by `json.loads` from the instance's JSON text for every call, parsed outside
the timed region ("fresh"), as data arrives from a socket or a file. The
agreement checks run on both. For each operation the systems take turns:
every repeat times each system once (one sample of enough calls to last the
sample time), the order rotating from repeat to repeat, and the result is the
median of the repeats. Ratios compare medians from the same run. The garbage
collector is off while samples are taken, as in timeit.

Field maps of 10, 1,000 and 20,000 fields are timed with keys in the schema's
order, reversed and shuffled (payloads.key_order_cases). memory.py measures
how much the process grows over a validate and a collect of fresh non-ASCII
strs, one child process per system. compile_schema is timed on every
payload's schema and on a wide field map, and reported per schema node.

Usage: python bench/run.py [--quick] [--write-readme | --markdown PATH] [--json PATH] [--only PART ...]
"""

from __future__ import annotations

import argparse
import datetime
import gc
import itertools
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import sysconfig
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import memory as memory_module  # noqa: E402
import payloads as payload_module  # noqa: E402
import probes as probe_module  # noqa: E402
import reference_model  # noqa: E402
import systems as system_module  # noqa: E402
from systems import ALL_SYSTEMS, System, Unavailable  # noqa: E402

README = os.path.join(HERE, "README.md")
BEGIN = "<!-- results: begin (written by bench/run.py --write-readme) -->"
END = "<!-- results: end -->"

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


@dataclass
class Settings:
    repeats: int  # samples per system and operation
    min_repeats: int  # for a system too slow to get all of them in its budget
    sample: float  # seconds one sample lasts at least
    budget: float  # seconds of samples one system gets for one operation; a
    # call slower than this on its own is timed once
    parse_budget: float  # seconds of json.loads one sample of fresh data may need


# The pure-Python peer, hundreds of times slower than the others and never the
# fastest, takes most of a run's time: a quick run leaves it out.
QUICK_LEAVES_OUT = {"jsonschema"}

FULL = Settings(repeats=11, min_repeats=3, sample=0.025, budget=3.0, parse_budget=0.05)
QUICK = Settings(repeats=3, min_repeats=2, sample=0.005, budget=0.4, parse_budget=0.01)

# Copies of fresh data parsed ahead of one timed run of calls, at most: more
# calls than that take several runs, each timed on its own.
FRESH_VALUES_AT_ONCE = 2_000


# Timing ---------------------------------------------------------------------------


@dataclass
class Fresh:
    """An instance as JSON text, parsed anew for every call that needs it."""

    text: str
    values: int  # in one copy
    parse: float = 0.0  # seconds one json.loads of the text takes

    @classmethod
    def of(cls, instance: Any) -> Fresh:
        text = json.dumps(instance, ensure_ascii=False)
        if json.loads(text) != instance:
            raise SystemExit("an instance does not survive a round trip through JSON")
        fresh = cls(text, payload_module.count_values(instance))
        fresh.parse = min(timed_parse(text) for _ in range(3))
        return fresh

    def copy(self) -> Any:
        return json.loads(self.text)


def timed_parse(text: str) -> float:
    start = time.perf_counter()
    json.loads(text)
    return time.perf_counter() - start


@dataclass
class Entry:
    key: str
    call: Callable[[Any], Any]
    data: Any  # the instance of every call, or a Fresh that makes one per call
    number: int = 1
    repeats: int = 1
    samples: list[float] = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def fresh(self) -> Fresh | None:
        return self.data if isinstance(self.data, Fresh) else None

    def run(self, number: int) -> float:
        """Seconds per call of `number` calls."""
        fresh = self.fresh
        if fresh is None:
            return run_calls(self.call, self.data, number)
        return run_fresh_calls(self.call, fresh, number)


def run_calls(call: Callable[[Any], Any], data: Any, number: int) -> float:
    """Seconds per call of `number` calls in a row on the same data."""
    loop = itertools.repeat(None, number)
    start = time.perf_counter()
    for _ in loop:
        call(data)
    return (time.perf_counter() - start) / number


def run_fresh_calls(call: Callable[[Any], Any], fresh: Fresh, number: int) -> float:
    """Seconds per call of `number` calls, each on a copy of its own, parsed
    (and freed) outside the timed runs."""
    at_once = max(1, FRESH_VALUES_AT_ONCE // fresh.values)
    loads, text = json.loads, fresh.text
    elapsed = 0.0
    left = number
    while left:
        copies = [loads(text) for _ in range(min(left, at_once))]
        start = time.perf_counter()
        for copy in copies:
            call(copy)
        elapsed += time.perf_counter() - start
        left -= len(copies)
        # The loop variable holds the last copy: free it here, outside the
        # timed run, not when the next run rebinds it.
        del copies, copy
    return elapsed / number


def calibrate(entry: Entry, settings: Settings) -> None:
    """Choose how many calls make one sample and how many samples fit the budget."""
    fresh = entry.fresh
    data = entry.data if fresh is None else fresh.copy()
    start = time.perf_counter()
    # The first call fills caches (type info, and on cached data nothing else).
    entry.call(data)
    first = time.perf_counter() - start
    if first >= settings.budget:
        # One call is all the budget holds, and at this length what a first
        # call fills does not count: it is the sample.
        entry.number, entry.repeats, entry.samples = 1, 1, [first]
        return
    parse = fresh.parse if fresh is not None else 0.0
    most = 10**7 if fresh is None else max(1, round(settings.parse_budget / parse))
    number = 1
    while True:
        per_call = entry.run(number)
        if per_call * number >= settings.sample / 10 or number >= most:
            break
        number = min(number * 10, most)
    if per_call * number < settings.sample:
        # A fast call: the least of three tries, so that one preempted try
        # does not make the samples too short.
        per_call = min(per_call, entry.run(number), entry.run(number))
    entry.number = max(1, min(most, round(settings.sample / per_call)))
    sample_time = (per_call + parse) * entry.number
    entry.repeats = max(settings.min_repeats, min(settings.repeats, int(settings.budget / sample_time)))


def measure(entries: list[Entry], settings: Settings) -> None:
    """Round-robin sampling: each repeat takes one sample of every entry."""
    gc.collect()
    gc.disable()
    try:
        for entry in entries:
            calibrate(entry, settings)
        for r in range(max(entry.repeats for entry in entries)):
            shift = r % len(entries)
            for entry in entries[shift:] + entries[:shift]:
                if len(entry.samples) < entry.repeats:
                    entry.samples.append(entry.run(entry.number))
    finally:
        gc.enable()
        gc.collect()


# Agreement ------------------------------------------------------------------------


@dataclass
class Standing:
    """What a system's answers on one payload allow to be timed."""

    timed: bool = True  # the verdicts agree: validate is timed
    collect: bool = False  # it lists violations, and the list agrees
    reason: str = ""  # why not, when it is not timed
    collect_reason: str = ""


def judge(
    system: System,
    prepared: system_module.Prepared,
    valid: Any,
    invalid: Any,
    violations: int,
    reference_errors: list,
) -> Standing:
    standing = Standing()
    if system.is_floor:
        standing.collect = True
        return standing
    try:
        valid_verdict = prepared.check(valid)
        invalid_verdict = prepared.check(invalid)
    except Exception as error:
        return Standing(False, False, f"raises {type(error).__name__}: {error}")
    problems = []
    if not valid_verdict:
        problems.append("rejects the valid instance")
    if invalid_verdict:
        problems.append("accepts the invalid instance")
    if problems:
        return Standing(False, False, " and ".join(problems))
    if prepared.errors is None:
        standing.collect_reason = "stops at the first error"
        return standing
    try:
        on_valid = prepared.errors(valid)
        on_invalid = prepared.errors(invalid)
    except Exception as error:
        standing.collect_reason = f"collect raises {type(error).__name__}: {error}"
        return standing
    if on_valid is None or on_invalid is None:
        standing.collect_reason = "leaves the data undecided"
    elif len(on_valid) != 0:
        standing.collect_reason = f"lists {len(on_valid)} errors on the valid instance"
    elif len(on_invalid) != violations:
        standing.collect_reason = f"lists {len(on_invalid)} errors where there are {violations} violations"
    elif system is system_module.QUILLANE and on_invalid != reference_errors:
        standing.collect_reason = "lists other errors than the pure-Python baseline"
    else:
        standing.collect = True
    return standing


def both(cached: Standing, fresh: Standing) -> Standing:
    """What the answers on both kinds of data allow: each op is timed only
    where the system agrees on both."""
    if not cached.timed:
        return cached
    if not fresh.timed:
        return Standing(False, False, f"on fresh data {fresh.reason}")
    if cached.collect_reason:
        return cached
    if fresh.collect_reason:
        return Standing(True, False, "", f"on fresh data {fresh.collect_reason}")
    return cached


def entries_for(
    op: str,
    systems: list[System],
    prepared: dict[str, system_module.Prepared],
    standings: dict[str, Standing],
    data: Any,
) -> list[Entry]:
    """One entry for every system whose answers allow timing `op` on data."""
    entries = []
    for system in systems:
        standing = standings[system.key]
        if not standing.timed:
            continue
        if op.startswith("collect"):
            if not standing.collect:
                continue
            call = prepared[system.key].collect
        else:
            call = prepared[system.key].validate
        entries.append(Entry(system.key, call, data))
    return entries


# One payload ----------------------------------------------------------------------


@dataclass
class PayloadResult:
    payload: payload_module.Payload
    values_valid: int
    values_invalid: int
    standings: dict[str, Standing]
    times: dict[str, dict[str, dict[str, float]]]  # data kind -> operation -> system key -> median seconds
    samples: dict[str, dict[str, dict[str, int]]]  # data kind -> operation -> system key -> repeats taken


def fill_utf8(data: Any) -> None:
    """Give every str of data its cached UTF-8 form, the state any system that
    asks for that form leaves it in (the floor's helper; nothing without it)."""
    try:
        import quillane_bench_floor
    except ImportError:
        return
    quillane_bench_floor.fill_utf8(data)


def bench_payload(
    payload: payload_module.Payload, systems: list[System], settings: Settings, log: Callable[[str], None]
) -> PayloadResult:
    reference_errors = reference_model.collect(reference_model.compile_schema(payload.schema), payload.invalid)
    if reference_errors is None or len(reference_errors) != payload.violations:
        raise SystemExit(
            f"payload {payload.key}: the invalid instance should hold {payload.violations} "
            f"violations, the pure-Python baseline finds {reference_errors and len(reference_errors)}"
        )
    if reference_model.collect(reference_model.compile_schema(payload.schema), payload.valid) != []:
        raise SystemExit(f"payload {payload.key}: the valid instance does not conform")
    instances = {
        "cached": {"valid": payload.valid, "invalid": payload.invalid},
        "fresh": {"valid": Fresh.of(payload.valid), "invalid": Fresh.of(payload.invalid)},
    }
    fill_utf8(payload.valid)
    fill_utf8(payload.invalid)

    prepared = {}
    standings = {}
    for system in systems:
        prepared[system.key] = system.prepare(payload.schema)
        on_cached = judge(
            system, prepared[system.key], payload.valid, payload.invalid, payload.violations, reference_errors
        )
        on_fresh = judge(
            system,
            prepared[system.key],
            instances["fresh"]["valid"].copy(),
            instances["fresh"]["invalid"].copy(),
            payload.violations,
            reference_errors,
        )
        standing = standings[system.key] = both(on_cached, on_fresh)
        if not standing.timed:
            log(f"  {system.label}: disagrees ({standing.reason}), not timed")
        elif standing.collect_reason and standing.collect_reason != "stops at the first error":
            log(f"  {system.label}: collect not timed ({standing.collect_reason})")

    times: dict[str, dict[str, dict[str, float]]] = {}
    samples: dict[str, dict[str, dict[str, int]]] = {}
    for kind, kind_label in DATA_KINDS:
        times[kind], samples[kind] = {}, {}
        for op, label in OPERATIONS:
            data = instances[kind]["valid" if op.endswith("_valid") else "invalid"]
            entries = entries_for(op, systems, prepared, standings, data)
            started = time.perf_counter()
            measure(entries, settings)
            times[kind][op] = {entry.key: entry.median for entry in entries}
            samples[kind][op] = {entry.key: len(entry.samples) for entry in entries}
            log(f"  {label}, {kind_label}: {time.perf_counter() - started:.1f} s")
    return PayloadResult(
        payload,
        payload_module.count_values(payload.valid),
        payload_module.count_values(payload.invalid),
        standings,
        times,
        samples,
    )


# Key order ----------------------------------------------------------------------------

# Compiling a draft-07 schema of 20,000 properties into Python code takes
# fastjsonschema about 17 s; above this many fields it is left out.
FASTJSONSCHEMA_MOST_FIELDS = 1_000


@dataclass
class KeyOrderResult:
    fields: int
    order: str
    times: dict[str, dict[str, float]]  # operation -> system key -> median seconds
    samples: dict[str, dict[str, int]]
    left_out: dict[str, str]  # system label -> why


KEY_ORDER_OPERATIONS = [("validate_valid", "validate"), ("collect_valid", "collect")]


def bench_key_order(systems: list[System], settings: Settings, log: Callable[[str], None]) -> list[KeyOrderResult]:
    results = []
    prepared: dict[str, system_module.Prepared] = {}
    prepared_for = None
    for case in payload_module.key_order_cases():
        left_out: dict[str, str] = {}
        if prepared_for is not case.schema:
            prepared, prepared_for = {}, case.schema
            for system in systems:
                if system.key == "fastjsonschema" and case.fields > FASTJSONSCHEMA_MOST_FIELDS:
                    continue
                prepared[system.key] = system.prepare(case.schema)
        standings = {}
        for system in systems:
            if system.key not in prepared:
                left_out[system.label] = (
                    "not timed, since compiling a schema of so many properties takes it tens of seconds"
                )
                standings[system.key] = Standing(False)
                continue
            standing = Standing(collect=prepared[system.key].collect is not None)
            if not system.is_floor:
                try:
                    if not prepared[system.key].check(case.data):
                        standing = Standing(False, False, "rejects the data")
                    elif standing.collect and prepared[system.key].errors(case.data) != []:
                        standing.collect = False
                        standing.collect_reason = "lists errors on the data"
                except Exception as error:
                    standing = Standing(False, False, f"raises {type(error).__name__}: {error}")
            if standing.reason or standing.collect_reason:
                left_out[system.label] = standing.reason or standing.collect_reason
            standings[system.key] = standing
        times, samples = {}, {}
        for op, label in KEY_ORDER_OPERATIONS:
            entries = entries_for(op, systems, prepared, standings, case.data)
            started = time.perf_counter()
            measure(entries, settings)
            times[op] = {entry.key: entry.median for entry in entries}
            samples[op] = {entry.key: len(entry.samples) for entry in entries}
            log(f"  {case.fields:,} fields, {case.order}, {label}: {time.perf_counter() - started:.1f} s")
        results.append(KeyOrderResult(case.fields, case.order, times, samples, left_out))
    return results


# compile_schema -------------------------------------------------------------------


def compile_entries(schema: Any) -> list[tuple[str, Callable[[Any], Any], Any]]:
    """(key, call, argument) of every system that builds a validator from `schema`."""
    entries: list[tuple[str, Callable[[Any], Any], Any]] = [
        ("quillane", system_module.quillane_core.compile_schema, schema),
        ("reference", reference_model.compile_schema, schema),
    ]
    try:
        from pydantic_core import SchemaValidator

        entries.append(("pydantic", SchemaValidator, system_module.pydantic_schema(schema, fail_fast=False)))
    except ImportError:
        pass
    try:
        import jsonschema_rs

        entries.append(("jsonschema_rs", jsonschema_rs.Draft7Validator, system_module.root_json_schema(schema)))
    except ImportError:
        pass
    try:
        import fastjsonschema

        entries.append(("fastjsonschema", fastjsonschema.compile, system_module.root_json_schema(schema)))
    except ImportError:
        pass
    return entries


COMPILE_LABELS = {
    "quillane": "quillane_core `compile_schema`",
    "reference": "pure-Python baseline `compile_schema`",
    "pydantic": "pydantic-core `SchemaValidator(...)`",
    "jsonschema_rs": "jsonschema-rs `Draft7Validator(...)`",
    "fastjsonschema": "fastjsonschema `compile(...)`",
}


def bench_compile(settings: Settings, log: Callable[[str], None]) -> list[dict]:
    rows = []
    for label, schema in payload_module.compile_schemas():
        nodes = payload_module.count_nodes(schema)
        entries = [Entry(key, call, argument) for key, call, argument in compile_entries(schema)]
        started = time.perf_counter()
        measure(entries, settings)
        log(f"  {label}: {time.perf_counter() - started:.1f} s")
        rows.append({"schema": label, "nodes": nodes, "times": {e.key: e.median for e in entries}})
    return rows


# Memory --------------------------------------------------------------------------------


def bench_memory(systems: list[System], log: Callable[[str], None]) -> list[dict]:
    """memory.py's figures for every system and for no call at all, each from
    a process of its own."""
    rows = []
    for key, label in [(memory_module.CONTROL, "no call (the method's own noise)")] + [
        (s.key, s.label) for s in systems
    ]:
        started = time.perf_counter()
        figures = memory_module.measure_in_child(key)
        log(f"  {label}: {time.perf_counter() - started:.1f} s")
        rows.append({"key": key, "label": label, "figures": figures})
    return rows


# Probes ----------------------------------------------------------------------------


def run_probes(systems: list[System]) -> list[dict]:
    rows = []
    for probe in probe_module.probes():
        verdicts = {}
        for system in systems:
            if system.is_floor:
                continue
            try:
                prepared = system.prepare(probe.schema)
            except Exception as error:
                verdicts[system.key] = f"cannot express it ({type(error).__name__})"
                continue
            verdicts[system.key] = probe_module.verdict(prepared.check, probe.value)
        rows.append({"probe": probe.what, "verdicts": verdicts})
    return rows


# The machine -------------------------------------------------------------------------


def command_line(args: list[str]) -> str:
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=20, cwd=ROOT)
    except (OSError, subprocess.SubprocessError):
        return ""
    return out.stdout.strip() if out.returncode == 0 else ""


def cpu_model() -> str:
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if not line.strip():
                    break  # the first processor tells
                name, _, value = line.partition(":")
                fields[name.strip()] = value.strip()
    except OSError:
        pass
    model = fields.get("model name") or platform.processor() or platform.machine()
    if "cpu family" in fields and "model" in fields:
        model += f" (family {fields['cpu family']}, model {fields['model']})"
    return model


def module_compiler() -> str:
    """The C++ compiler and build type of the module installed in this venv,
    from the CMake cache of its build directory."""
    cache = os.path.join(ROOT, "build", os.path.basename(sys.prefix), "CMakeCache.txt")
    compiler, build_type = "", ""
    try:
        with open(cache, encoding="utf-8") as lines:
            for line in lines:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    compiler = line.split("=", 1)[1].strip()
                elif line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip()
    except OSError:
        pass
    version = command_line([compiler or "c++", "--version"]).splitlines()
    text = version[0] if version else (compiler or "unknown")
    return f"{text}, {build_type} build" if build_type else text


def floor_compiler() -> str:
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    version = command_line([cc, "--version"]).splitlines()
    return version[0] if version else cc


def source_revision() -> str:
    commit = command_line(["git", "rev-parse", "--short", "HEAD"])
    if not commit:
        return ""
    changed = command_line(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt"])
    return f"{commit} with local changes to src/" if changed else commit


def environment(systems: list[System], missing: list[System], quick: bool) -> dict:
    cores = os.cpu_count()
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = cores
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "mode": "quick" if quick else "full",
        "cpu": cpu_model(),
        "cores": cores,
        "usable_cores": usable,
        "os": f"{platform.system()} {platform.release()}",
        "python": f"{platform.python_implementation()} {platform.python_version()} ({platform.python_compiler()})",
        "module_compiler": module_compiler(),
        "floor_compiler": floor_compiler(),
        "revision": source_revision(),
        "load": LOAD_AT_START,
        "versions": {s.label: s.version() for s in systems if s.version() and not s.is_floor},
        "missing": [s.label for s in missing],
    }


# Report ----------------------------------------------------------------------------


def load_average() -> str:
    try:
        return ", ".join(f"{x:.2f}" for x in os.getloadavg()) + " over 1, 5 and 15 minutes"
    except OSError:
        return "unknown"


LOAD_AT_START = load_average()


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
    """A note naming the systems that got fewer repeats than the others somewhere."""
    few = sorted(
        {s.label for taken in samples for s in systems if taken.get(s.key, 0) and taken[s.key] < max(taken.values())}
    )
    return [f"- Fewer repeats within the time budget for: {', '.join(few)}."] if few else []


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


def summary_section(results: list[PayloadResult]) -> list[str]:
    out = [
        *heading(
            "Summary",
            "quillane_core's median on every payload and operation, divided by the floor's and by the fastest "
            "peer's median for the same operation and data in the same run: below 1× is faster. The fastest peer "
            "of a collect row is the fastest of those that list every violation. On validate of the invalid "
            "instance the floor still walks the whole instance while a validator may stop at the first violation.",
        ),
        "| payload | operation | data | quillane_core | ÷ floor | fastest peer | ÷ fastest peer |",
        "| --- | --- | --- | ---: | ---: | --- | ---: |",
    ]
    for result in results:
        for op, label in OPERATIONS:
            for kind, kind_label in DATA_KINDS:
                times = result.times[kind][op]
                mine = times.get("quillane")
                if mine is not None:
                    out.append(
                        f"| {result.payload.title} | {label} | {kind_label} | {fmt_time(mine)} | "
                        f"{against_floor_and_peers(mine, times)} |"
                    )
    out.append("")
    return out


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


@dataclass
class Report:
    env: dict
    results: list[PayloadResult]
    key_order: list[KeyOrderResult]
    memory: list[dict]
    compile_rows: list[dict]
    probe_rows: list[dict]


def render(report: Report, systems: list[System]) -> str:
    env = report.env
    versions = ", ".join(f"{name} {version}" for name, version in env["versions"].items())
    out = [
        "## Results",
        "",
        f"{'Quick' if env['mode'] == 'quick' else 'Full'} run of `bash tools/bench.sh"
        f"{' --quick' if env['mode'] == 'quick' else ''}` on {env['date']}.",
        "",
        f"- Machine: {env['cpu']}, {env['cores']} cores ({env['usable_cores']} usable), {env['os']}",
        f"- Compiler: {env['module_compiler']} for the module; {env['floor_compiler']} for the floor",
        f"- Python: {env['python']}",
        f"- Load average when the run started: {env['load']}; other work on the machine makes the times noisier",
        f"- Packages: {versions}",
    ]
    if env["revision"]:
        out.append(f"- Module source: commit {env['revision']}")
    if env["missing"]:
        out.append(f"- Not installed or left out of a quick run: {', '.join(env['missing'])}")
    out += [
        "",
        'Times are medians per call; "cached" times the same instance on every call, each of its strs '
        'carrying its UTF-8 form; "fresh JSON" times every call on a copy of its own, parsed by `json.loads` '
        'outside the timed region. "Per value" divides by the number of values in the instance '
        "(containers included; not given for validate on the invalid instance, which may stop at the "
        "first violation); the ratios divide by quillane_core's and by the floor's median for "
        "the same operation and data in the same run, so above 1× is slower. msgspec and fastjsonschema stop "
        "at the first error and have no collect rows.",
        "",
    ]
    if report.results:
        out += summary_section(report.results)
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


def write_readme(section: str) -> None:
    with open(README, encoding="utf-8") as handle:
        text = handle.read()
    pattern = re.compile(re.escape(BEGIN) + r".*?" + re.escape(END), re.S)
    if not pattern.search(text):
        raise SystemExit(f"{README} has no results markers")
    text = pattern.sub(lambda _: f"{BEGIN}\n\n{section}\n{END}", text)
    with open(README, "w", encoding="utf-8") as handle:
        handle.write(text)


PARTS = ["key-order", "memory", "compile"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter samples, to check that it runs")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--write-readme", action="store_true", help="replace the results in bench/README.md")
    output.add_argument("--markdown", metavar="PATH", help="also write the results section to PATH")
    parser.add_argument("--json", metavar="PATH", help="also write the raw results as JSON")
    keys = [p.key for p in payload_module.all_payloads()]
    parser.add_argument(
        "--only",
        nargs="+",
        metavar="PART",
        choices=keys + PARTS,
        help=f"parts to run: payloads ({' '.join(keys)}) and {', '.join(PARTS)}",
    )
    args = parser.parse_args()
    if args.write_readme and (args.only or args.quick):
        raise SystemExit("--write-readme needs a full run of every part: leave out --only and --quick")
    settings = QUICK if args.quick else FULL
    wanted = set(args.only or keys + PARTS)

    def log(line: str) -> None:
        print(line, file=sys.stderr, flush=True)

    started = time.perf_counter()
    systems, missing = [], []
    probe_schema = {"n": payload_module.Int()}
    for system in ALL_SYSTEMS:
        if args.quick and system.key in QUICK_LEAVES_OUT:
            missing.append(system)
            continue
        try:
            system.prepare(probe_schema)
            systems.append(system)
        except Unavailable:
            missing.append(system)
            log(f"{system.label}: not installed, left out")

    results = []
    for payload in payload_module.all_payloads():
        if payload.key not in wanted:
            continue
        log(f"{payload.title}:")
        results.append(bench_payload(payload, systems, settings, log))
    key_order, memory, compile_rows = [], [], []
    if "key-order" in wanted:
        log("key order:")
        key_order = bench_key_order(systems, settings, log)
    if "memory" in wanted:
        log("memory:")
        memory = bench_memory(systems, log)
    if "compile" in wanted:
        log("compile_schema:")
        compile_rows = bench_compile(settings, log)
    report = Report(environment(systems, missing, args.quick), results, key_order, memory, compile_rows, [])
    report.probe_rows = run_probes(systems)

    section = render(report, systems)
    print(section)
    if args.write_readme:
        write_readme(section)
        log(f"wrote {os.path.relpath(README, ROOT)}")
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as handle:
            handle.write(section)
        log(f"wrote {args.markdown}")
    if args.json:
        raw = {
            "environment": report.env,
            "payloads": [
                {
                    "key": r.payload.key,
                    "values": r.values_valid,
                    "times": r.times,
                    "samples": r.samples,
                    "disagreements": {
                        k: s.reason or s.collect_reason for k, s in r.standings.items() if s.reason or s.collect_reason
                    },
                }
                for r in results
            ],
            "key_order": [
                {"fields": r.fields, "order": r.order, "times": r.times, "samples": r.samples, "left_out": r.left_out}
                for r in key_order
            ],
            "memory": memory,
            "compile": compile_rows,
            "probes": report.probe_rows,
        }
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump(raw, handle, indent=1, ensure_ascii=False)
    log(f"done in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
