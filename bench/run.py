"""Benchmarks of quillane_core against the pure-Python baseline, peer
validators and a floor, all in one process.

For every payload (see payloads.py) each system is first asked for its
verdict on the valid and the invalid instance, and for its list of
violations where it has one. A system that disagrees on a payload is reported
as such and not timed on it. Then three operations are timed: `validate` on
the valid instance, `validate` on the invalid one and `collect` on the invalid
one. For each operation the systems take turns: every repeat times each
system once (one sample of enough calls to last the sample time), the order
rotating from repeat to repeat, and the result is the median of the repeats.
Ratios compare medians from the same run. The garbage collector is off while
samples are taken, as in timeit.

compile_schema is timed the same way on every payload's schema and on a wide
field map, and reported per schema node.

Usage: python bench/run.py [--quick] [--write-readme] [--json PATH] [--only KEY ...]
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
    ("collect_invalid", "collect, invalid instance"),
]


@dataclass
class Settings:
    repeats: int  # samples per system and operation
    min_repeats: int  # for a system too slow to get all of them in its budget
    sample: float  # seconds one sample lasts at least
    budget: float  # seconds of samples one system gets for one operation


FULL = Settings(repeats=11, min_repeats=3, sample=0.025, budget=3.0)
QUICK = Settings(repeats=3, min_repeats=2, sample=0.005, budget=0.4)


# Timing ---------------------------------------------------------------------------


@dataclass
class Entry:
    key: str
    call: Callable[[Any], Any]
    data: Any
    number: int = 1
    repeats: int = 1
    samples: list[float] = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


def run_calls(call: Callable[[Any], Any], data: Any, number: int) -> float:
    """Seconds per call of `number` calls in a row."""
    loop = itertools.repeat(None, number)
    start = time.perf_counter()
    for _ in loop:
        call(data)
    return (time.perf_counter() - start) / number


def calibrate(entry: Entry, settings: Settings) -> None:
    """Choose how many calls make one sample and how many samples fit the budget."""
    entry.call(entry.data)  # the first call fills caches (type info, UTF-8 forms)
    number = 1
    while True:
        per_call = run_calls(entry.call, entry.data, number)
        if per_call * number >= settings.sample / 10 or number >= 10**7:
            break
        number *= 10
    if per_call * number < settings.sample:
        # A fast call: the least of three tries, so that one preempted try
        # does not make the samples too short.
        per_call = min(per_call, run_calls(entry.call, entry.data, number), run_calls(entry.call, entry.data, number))
    entry.number = max(1, round(settings.sample / per_call))
    sample_time = per_call * entry.number
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
                    entry.samples.append(run_calls(entry.call, entry.data, entry.number))
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
    system: System, prepared: system_module.Prepared, payload: payload_module.Payload, reference_errors: list
) -> Standing:
    standing = Standing()
    if system.is_floor:
        standing.collect = True
        return standing
    try:
        valid_verdict = prepared.check(payload.valid)
        invalid_verdict = prepared.check(payload.invalid)
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
        on_valid = prepared.errors(payload.valid)
        on_invalid = prepared.errors(payload.invalid)
    except Exception as error:
        standing.collect_reason = f"collect raises {type(error).__name__}: {error}"
        return standing
    if on_valid is None or on_invalid is None:
        standing.collect_reason = "leaves the data undecided"
    elif len(on_valid) != 0:
        standing.collect_reason = f"lists {len(on_valid)} errors on the valid instance"
    elif len(on_invalid) != payload.violations:
        standing.collect_reason = f"lists {len(on_invalid)} errors where there are {payload.violations} violations"
    elif system is system_module.QUILLANE and on_invalid != reference_errors:
        standing.collect_reason = "lists other errors than the pure-Python baseline"
    else:
        standing.collect = True
    return standing


# One payload ----------------------------------------------------------------------


@dataclass
class PayloadResult:
    payload: payload_module.Payload
    values_valid: int
    values_invalid: int
    standings: dict[str, Standing]
    times: dict[str, dict[str, float]]  # operation -> system key -> median seconds
    samples: dict[str, dict[str, int]]  # operation -> system key -> repeats taken


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

    prepared = {}
    standings = {}
    for system in systems:
        prepared[system.key] = system.prepare(payload.schema)
        standings[system.key] = judge(system, prepared[system.key], payload, reference_errors)
        standing = standings[system.key]
        if not standing.timed:
            log(f"  {system.label}: disagrees ({standing.reason}), not timed")
        elif standing.collect_reason and standing.collect_reason != "stops at the first error":
            log(f"  {system.label}: collect not timed ({standing.collect_reason})")

    times: dict[str, dict[str, float]] = {}
    samples: dict[str, dict[str, int]] = {}
    for op, label in OPERATIONS:
        data = payload.valid if op == "validate_valid" else payload.invalid
        entries = []
        for system in systems:
            standing = standings[system.key]
            if not standing.timed:
                continue
            if op == "collect_invalid":
                if not standing.collect:
                    continue
                call = prepared[system.key].collect
            else:
                call = prepared[system.key].validate
            entries.append(Entry(system.key, call, data))
        started = time.perf_counter()
        measure(entries, settings)
        times[op] = {entry.key: entry.median for entry in entries}
        samples[op] = {entry.key: len(entry.samples) for entry in entries}
        log(f"  {label}: {time.perf_counter() - started:.1f} s")
    return PayloadResult(
        payload,
        payload_module.count_values(payload.valid),
        payload_module.count_values(payload.invalid),
        standings,
        times,
        samples,
    )


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


def payload_section(result: PayloadResult, systems: list[System]) -> list[str]:
    p = result.payload
    out = [f"### {p.title}", "", p.summary[0].upper() + p.summary[1:] + ".", ""]
    out.append("| operation | system | median | per value | vs quillane_core | vs floor |")
    out.append("| --- | --- | ---: | ---: | ---: | ---: |")
    for op, label in OPERATIONS:
        times = result.times[op]
        values = result.values_valid if op == "validate_valid" else result.values_invalid
        base = times.get("quillane")
        floor = times.get("floor")
        for system in systems:
            if system.key not in times:
                continue
            t = times[system.key]
            name = f"**{system.label}**" if system.key == "quillane" else system.label
            per_value = "–" if op == "validate_invalid" else fmt_time(t / values)
            out.append(
                f"| {label} | {name} | {fmt_time(t)} | {per_value} | "
                f"{fmt_ratio(t / base) if base else '–'} | {fmt_ratio(t / floor) if floor else '–'} |"
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
    few = sorted(
        {
            s.label
            for s in systems
            for op in result.samples
            if result.samples[op].get(s.key, 0) and result.samples[op][s.key] < max(result.samples[op].values())
        }
    )
    if few:
        notes.append(f"- Fewer repeats within the time budget for: {', '.join(few)}.")
    if notes:
        out += ["", *notes]
    out.append("")
    return out


def compile_section(rows: list[dict]) -> list[str]:
    keys = [k for k in COMPILE_LABELS if any(k in row["times"] for row in rows)]
    out = [
        "### Building a validator from a schema",
        "",
        "Median time per schema node (one node per validator object and per field map) to build "
        "each system's validator from a schema already written in its own form; the ratio compares "
        "with quillane_core. msgspec and jsonschema build lazily on first use and are left out.",
        "",
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
        "### Where the rules differ",
        "",
        "Verdicts of each system's yes/no check on single values that the payloads avoid, "
        "each under a one-field record.",
        "",
        "| value | " + " | ".join(s.label for s in shown) + " |",
        "| --- | " + " | ".join(":---:" for _ in shown) + " |",
    ]
    for row in rows:
        out.append(f"| {row['probe']} | " + " | ".join(row["verdicts"].get(s.key, "–") for s in shown) + " |")
    out.append("")
    return out


def render(
    env: dict, results: list[PayloadResult], compile_rows: list[dict], probe_rows: list[dict], systems: list[System]
) -> str:
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
        out.append(f"- Not installed, left out: {', '.join(env['missing'])}")
    out += [
        "",
        'Times are medians per call; "per value" divides by the number of values in the instance '
        "(containers included; not given for validate on the invalid instance, which may stop at the "
        "first violation); the ratios divide by quillane_core's and by the floor's median for "
        "the same operation in the same run, so above 1× is slower. msgspec and fastjsonschema stop "
        "at the first error and have no collect rows.",
        "",
    ]
    for result in results:
        out += payload_section(result, systems)
    out += compile_section(compile_rows)
    out += probe_section(probe_rows, systems)
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter samples (under a minute)")
    parser.add_argument("--write-readme", action="store_true", help="replace the results in bench/README.md")
    parser.add_argument("--json", metavar="PATH", help="also write the raw results as JSON")
    parser.add_argument(
        "--only",
        nargs="+",
        metavar="KEY",
        help="payloads to run (flat nested records mapping ints strings); skips compile",
    )
    args = parser.parse_args()
    settings = QUICK if args.quick else FULL

    def log(line: str) -> None:
        print(line, file=sys.stderr, flush=True)

    started = time.perf_counter()
    systems, missing = [], []
    probe_schema = {"n": payload_module.Int()}
    for system in ALL_SYSTEMS:
        try:
            system.prepare(probe_schema)
            systems.append(system)
        except Unavailable:
            missing.append(system)
            log(f"{system.label}: not installed, left out")

    results = []
    for payload in payload_module.all_payloads():
        if args.only and payload.key not in args.only:
            continue
        log(f"{payload.title}:")
        results.append(bench_payload(payload, systems, settings, log))
    compile_rows = []
    if not args.only:
        log("compile_schema:")
        compile_rows = bench_compile(settings, log)
    probe_rows = run_probes(systems)

    env = environment(systems, missing, args.quick)
    section = render(env, results, compile_rows, probe_rows, systems)
    print(section)
    if args.write_readme:
        if args.only:
            raise SystemExit("--write-readme needs every payload: leave out --only")
        write_readme(section)
        log(f"wrote {os.path.relpath(README, ROOT)}")
    if args.json:
        raw = {
            "environment": env,
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
            "compile": compile_rows,
            "probes": probe_rows,
        }
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump(raw, handle, indent=1, ensure_ascii=False)
    log(f"done in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
