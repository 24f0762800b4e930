"""Benchmarks of quillane_core against the pure-Python baseline, peer
validators and a floor, timed by pyperf.

For every payload (see payloads.py) each system is first asked for its
verdict on the valid and the invalid instance, and for its list of
violations where it has one, on the instances as they are and on copies
freshly parsed from their JSON text. A system that disagrees on a payload is
reported as such and not timed on it. Then four operations are timed:
`validate` on the valid and on the invalid instance, `collect` on the valid
and on the invalid one, each on two kinds of data: the same instance on every
call, every str of it carrying its cached UTF-8 form ("cached"), and a copy
parsed by `json.loads` for every call, outside the timed region ("fresh"), as
data arrives from a socket or a file.

Every timed call is a pyperf benchmark of its own, named
PAYLOAD/KIND/OPERATION/SYSTEM (key-order/FIELDS/ORDER/OPERATION/SYSTEM and
compile/SCHEMA/SYSTEM for the other parts), timed in pyperf's worker
processes: each runs this file again (with --worker), loads the plan this
process wrote (the payloads as a pickle, which keeps the objects the built
instances share, the schema's field names among them), builds the one
system and data its benchmark needs, runs the warm-ups and takes the values.
This process checks the answers, plans, starts the workers, the systems of
one operation on one data taking turns a process each (`run_plan`), and
turns the medians into the tables (report.py) and the charts (charts.py).
pyperf's `-o PATH` keeps its JSON of every value, which `python -m pyperf
compare_to OLD NEW` compares between two runs.

memory.py measures how much the process grows over a validate and a collect
of fresh non-ASCII strs, one child process per system; probes.py lists where
the systems read the same rule differently.

Usage: python bench/run.py [--quick] [--write-readme | --markdown PATH] [--json PATH]
           [--only PART ...] [--systems KEY ...] [pyperf's options, -o PATH among them]
"""

from __future__ import annotations

import argparse
import datetime
import gc
import itertools
import json
import math
import os
import pickle
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import payloads as payload_module  # noqa: E402
import pyperf  # noqa: E402
import reference_model  # noqa: E402
import report  # noqa: E402
import systems as system_module  # noqa: E402
from report import DATA_KINDS, KEY_ORDER_OPERATIONS, OPERATIONS, KeyOrderResult, PayloadResult, Standing  # noqa: E402
from systems import ALL_SYSTEMS, System, Unavailable  # noqa: E402

SYSTEMS = {s.key: s for s in ALL_SYSTEMS}


@dataclass
class Settings:
    """pyperf's settings for a call fast enough to get them all; a slower one
    gets fewer processes, then fewer values, to fit the budget (`fit`)."""

    processes: int  # worker processes of one benchmark
    values: int  # values one process takes, after its warm-ups
    min_values: int  # the fewest, for a call too slow to get them all
    warmups: int
    sample: float  # seconds a value lasts at least (pyperf's --min-time)
    budget: float  # seconds of calls one benchmark should take at most
    parse_budget: float  # seconds of json.loads the copies for one value of fresh data may take


FULL = Settings(3, 3, min_values=2, warmups=1, sample=0.025, budget=3.0, parse_budget=0.05)
QUICK = Settings(1, 2, min_values=1, warmups=1, sample=0.005, budget=0.4, parse_budget=0.01)

# The pure-Python peer, hundreds of times slower than the others and never the
# fastest, takes most of a run's time: a quick run leaves it out.
QUICK_LEAVES_OUT = {"jsonschema"}

# Copies of fresh data parsed ahead of one timed run of calls, at most: more
# calls than that take several runs, each timed on its own.
FRESH_VALUES_AT_ONCE = 2_000

# Compiling a draft-07 schema of 20,000 properties into Python code takes
# fastjsonschema about 17 s; above this many fields it is left out.
FASTJSONSCHEMA_MOST_FIELDS = 1_000


# Timing (in pyperf's worker processes) --------------------------------------------


@dataclass
class Fresh:
    """An instance as JSON text, parsed anew for every call that needs it."""

    text: str
    values: int  # in one copy

    @classmethod
    def of(cls, instance: Any) -> Fresh:
        return cls(json.dumps(instance, ensure_ascii=False), payload_module.count_values(instance))

    def copy(self) -> Any:
        return json.loads(self.text)

    def parse_time(self) -> float:
        """Seconds one json.loads of the text takes, the least of three."""
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            json.loads(self.text)
            best = min(best, time.perf_counter() - start)
        return best


def time_calls(call: Callable[[Any], Any], data: Any, loops: int) -> float:
    """Seconds `loops` calls in a row on the same data take, the collector off."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        loop = itertools.repeat(None, loops)
        start = time.perf_counter()
        for _ in loop:
            call(data)
        return time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()


def time_fresh_calls(call: Callable[[Any], Any], fresh: Fresh, loops: int) -> float:
    """Seconds `loops` calls take, each on a copy of its own, parsed (and
    freed) outside the timed runs, in batches of about FRESH_VALUES_AT_ONCE
    values, so that each copy is as warm in the caches as data just received."""
    at_once = max(1, FRESH_VALUES_AT_ONCE // fresh.values)
    loads, text = json.loads, fresh.text
    elapsed = 0.0
    left = loops
    enabled = gc.isenabled()
    while left:
        copies = [loads(text) for _ in range(min(left, at_once))]
        gc.disable()
        try:
            start = time.perf_counter()
            for copy in copies:
                call(copy)
            elapsed += time.perf_counter() - start
        finally:
            if enabled:
                gc.enable()
        left -= len(copies)
        # The loop variable holds the last copy: free it here, outside the
        # timed run, not when the next run rebinds it.
        del copies, copy
    return elapsed


# The plan: what to time, written for the worker processes ------------------------


@dataclass
class Bench:
    """One pyperf benchmark: a system's call on one part's data."""

    name: str
    part: str  # "payload", "key-order" or "compile"
    source: str  # the payload's key, the key-order case's index, or the compiled schema's index
    system: str
    op: str  # one of OPERATIONS, or "compile"
    kind: str  # one of DATA_KINDS
    estimate: float  # seconds one call took during the agreement checks
    parse: float = 0.0  # seconds one json.loads of a fresh copy takes


def fit(bench: Bench, args: argparse.Namespace, settings: Settings) -> dict[str, Any]:
    """pyperf's settings for one benchmark: the command line's (the mode's
    defaults), with fewer values for fresh data whose parse dwarfs the call,
    and fewer processes, then values, for a call too slow for the budget."""
    estimate = max(bench.estimate, 1e-8)
    min_time = args.min_time
    if bench.parse:
        # As many calls to a value as parse_budget of json.loads allows.
        min_time = min(min_time, max(estimate, estimate * settings.parse_budget / bench.parse))
    if args.loops or estimate >= min_time:
        loops = args.loops or 1
    else:  # 0: pyperf calibrates them, in a process of its own
        loops = 0 if args.calibrate else math.ceil(min_time / estimate)
    value = max(min_time, estimate)
    value += value / estimate * bench.parse
    processes, values = args.processes, args.values

    def cost() -> float:
        return (processes + (loops == 0)) * (args.warmups + values) * value

    while processes > 1 and cost() > settings.budget:
        processes -= 1
    while values > min(settings.min_values, args.values) and cost() > settings.budget:
        values -= 1
    return {"processes": processes, "values": values, "warmups": args.warmups, "min_time": min_time, "loops": loops}


def timed(call: Callable[[Any], Any], data: Any) -> tuple[Any, float]:
    """The call's result and how long one call takes: the least of as many
    calls as fit in about 2 ms (one, for a slower call). `fit` plans with it."""
    start = time.perf_counter()
    result = call(data)
    best = spent = time.perf_counter() - start
    while spent < 0.002:
        start = time.perf_counter()
        call(data)
        took = time.perf_counter() - start
        best, spent = min(best, took), spent + took
    return result, best


def judge(
    system: System, prepared: system_module.Prepared, valid: Any, invalid: Any, violations: int, reference: list
) -> tuple[Standing, dict[str, float]]:
    """What a system's answers on one pair of instances allow to be timed, and
    how long each call took (the estimates `fit` plans with)."""
    if system.is_floor:
        walk_valid, walk_invalid = timed(prepared.validate, valid)[1], timed(prepared.validate, invalid)[1]
        estimates = {"validate_valid": walk_valid, "collect_valid": walk_valid}
        estimates |= {"validate_invalid": walk_invalid, "collect_invalid": walk_invalid}
        return Standing(collect=True), estimates
    estimates = {}
    try:
        valid_verdict, estimates["validate_valid"] = timed(prepared.check, valid)
        invalid_verdict, estimates["validate_invalid"] = timed(prepared.check, invalid)
    except Exception as error:
        return Standing(False, False, f"raises {type(error).__name__}: {error}"), estimates
    problems = []
    if not valid_verdict:
        problems.append("rejects the valid instance")
    if invalid_verdict:
        problems.append("accepts the invalid instance")
    if problems:
        return Standing(False, False, " and ".join(problems)), estimates
    if prepared.errors is None:
        return Standing(collect_reason="stops at the first error"), estimates
    standing = Standing()
    try:
        on_valid, estimates["collect_valid"] = timed(prepared.errors, valid)
        on_invalid, estimates["collect_invalid"] = timed(prepared.errors, invalid)
    except Exception as error:
        standing.collect_reason = f"collect raises {type(error).__name__}: {error}"
        return standing, estimates
    if on_valid is None or on_invalid is None:
        standing.collect_reason = "leaves the data undecided"
    elif len(on_valid) != 0:
        standing.collect_reason = f"lists {len(on_valid)} errors on the valid instance"
    elif len(on_invalid) != violations:
        standing.collect_reason = f"lists {len(on_invalid)} errors where there are {violations} violations"
    elif system is system_module.QUILLANE and on_invalid != reference:
        standing.collect_reason = "lists other errors than the pure-Python baseline"
    else:
        standing.collect = True
    return standing, estimates


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


def allowed(op: str, standing: Standing) -> bool:
    return standing.timed and (standing.collect or not op.startswith("collect"))


def fill_utf8(data: Any) -> None:
    """Give every str of data its cached UTF-8 form, the state any system that
    asks for that form leaves it in (the floor's helper; nothing without it)."""
    try:
        import quillane_bench_floor
    except ImportError:
        return
    quillane_bench_floor.fill_utf8(data)


@dataclass
class Source:
    """What the workers of one instance load from the plan: the schema and the
    instance in one pickle, which keeps the objects they share (the records'
    keys are the schema's field names, as in the payload code)."""

    schema: Any
    instance: Any
    fresh: Fresh | None  # the instance's JSON text
    tree: Any  # the pure-Python baseline's compiled schema


def save(plan_dir: str, name: str, source: Source) -> None:
    with open(os.path.join(plan_dir, f"{name}.pickle"), "wb") as handle:
        pickle.dump(source, handle, pickle.HIGHEST_PROTOCOL)


def load(plan_dir: str, name: str) -> Source:
    with open(os.path.join(plan_dir, f"{name}.pickle"), "rb") as handle:
        return pickle.load(handle)


def prepare(system: System, schema: Any, tree: Any) -> system_module.Prepared:
    """system.prepare(schema), but the pure-Python baseline from the tree it
    compiled before: it compiles a 20,000-field map in about a minute."""
    return system_module.reference_from_tree(tree) if system is system_module.REFERENCE else system.prepare(schema)


def plan_payload(
    payload: payload_module.Payload, systems: list[System], plan_dir: str, log: Callable[[str], None]
) -> tuple[PayloadResult, list[Bench]]:
    tree = reference_model.compile_schema(payload.schema)
    reference = reference_model.collect(tree, payload.invalid)
    if reference is None or len(reference) != payload.violations:
        raise SystemExit(
            f"payload {payload.key}: the invalid instance should hold {payload.violations} "
            f"violations, the pure-Python baseline finds {reference and len(reference)}"
        )
    if reference_model.collect(tree, payload.valid) != []:
        raise SystemExit(f"payload {payload.key}: the valid instance does not conform")
    fresh = {"valid": Fresh.of(payload.valid), "invalid": Fresh.of(payload.invalid)}
    if any(f.copy() != instance for f, instance in zip(fresh.values(), (payload.valid, payload.invalid), strict=True)):
        raise SystemExit(f"payload {payload.key}: an instance does not survive a round trip through JSON")
    # The workers load the payload as built, before any str has its UTF-8 form.
    for which, instance in (("valid", payload.valid), ("invalid", payload.invalid)):
        save(plan_dir, f"payload-{payload.key}-{which}", Source(payload.schema, instance, fresh[which], tree))
    parse = {which: f.parse_time() for which, f in fresh.items()}
    fill_utf8(payload.valid)
    fill_utf8(payload.invalid)

    standings, estimates = {}, {}
    for system in systems:
        prepared = prepare(system, payload.schema, tree)
        on_cached, estimates["cached", system.key] = judge(
            system, prepared, payload.valid, payload.invalid, payload.violations, reference
        )
        on_fresh, estimates["fresh", system.key] = judge(
            system, prepared, fresh["valid"].copy(), fresh["invalid"].copy(), payload.violations, reference
        )
        standing = standings[system.key] = both(on_cached, on_fresh)
        if not standing.timed:
            log(f"  {system.label}: disagrees ({standing.reason}), not timed")
        elif standing.collect_reason and standing.collect_reason != "stops at the first error":
            log(f"  {system.label}: collect not timed ({standing.collect_reason})")
    benches = [
        Bench(
            f"{payload.key}/{kind}/{op}/{system.key}",
            "payload",
            payload.key,
            system.key,
            op,
            kind,
            estimates[kind, system.key][op],
            parse[op.rpartition("_")[2]] if kind == "fresh" else 0.0,
        )
        for kind, _ in DATA_KINDS
        for op, _ in OPERATIONS
        for system in systems
        if allowed(op, standings[system.key])
    ]
    result = PayloadResult(
        payload, payload_module.count_values(payload.valid), payload_module.count_values(payload.invalid), standings
    )
    return result, benches


def plan_key_order(
    systems: list[System], plan_dir: str, log: Callable[[str], None]
) -> tuple[list[KeyOrderResult], list[Bench]]:
    results, benches = [], []
    prepared: dict[str, system_module.Prepared] = {}
    schema = tree = None
    for index, case in enumerate(payload_module.key_order_cases()):
        if case.schema is not schema:  # the cases of one field count share theirs
            schema, tree = case.schema, reference_model.compile_schema(case.schema)
            prepared = {
                s.key: prepare(s, schema, tree)
                for s in systems
                if s.key != "fastjsonschema" or case.fields <= FASTJSONSCHEMA_MOST_FIELDS
            }
        save(plan_dir, f"key-order-{index}", Source(schema, case.data, None, tree))
        left_out = {}
        for system in systems:
            if system.key not in prepared:
                left_out[system.label] = (
                    "not timed, since compiling a schema of so many properties takes it tens of seconds"
                )
                continue
            ready = prepared[system.key]
            estimates: dict[str, float] = {}
            standing = Standing(collect=ready.collect is not None)
            if system.is_floor:
                estimates["validate_valid"] = estimates["collect_valid"] = timed(ready.validate, case.data)[1]
            else:
                try:
                    verdict, estimates["validate_valid"] = timed(ready.check, case.data)
                    if not verdict:
                        standing = Standing(False, False, "rejects the data")
                    elif standing.collect:
                        errors, estimates["collect_valid"] = timed(ready.errors, case.data)
                        if errors != []:
                            standing.collect, standing.collect_reason = False, "lists errors on the data"
                except Exception as error:
                    standing = Standing(False, False, f"raises {type(error).__name__}: {error}")
            if standing.reason or standing.collect_reason:
                left_out[system.label] = standing.reason or standing.collect_reason
            order = case.order.replace(" ", "-")
            benches += [
                Bench(
                    f"key-order/{case.fields}/{order}/{op}/{system.key}",
                    "key-order",
                    str(index),
                    system.key,
                    op,
                    "cached",
                    estimates[op],
                )
                for op, _ in KEY_ORDER_OPERATIONS
                if allowed(op, standing)
            ]
        results.append(KeyOrderResult(case.fields, case.order, left_out))
        log(f"  {case.fields:,} fields, {case.order}: checked")
    return results, benches


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


def plan_compile(systems: list[System]) -> tuple[list[dict], list[Bench]]:
    rows, benches = [], []
    keys = {s.key for s in systems}
    for index, (label, schema) in enumerate(payload_module.compile_schemas()):
        rows.append({"schema": label, "nodes": payload_module.count_nodes(schema), "times": {}})
        for key, call, argument in compile_entries(schema):
            if key in keys:
                benches.append(
                    Bench(
                        f"compile/{re.sub(r'[^a-z0-9]+', '-', label.lower()).strip('-')}/{key}",
                        "compile",
                        str(index),
                        key,
                        "compile",
                        "cached",
                        timed(call, argument)[1],
                    )
                )
    return rows, benches


def timer(bench: Bench, plan_dir: str) -> Callable[[int], float]:
    """In a worker process: builds the system and the data of one benchmark,
    and gives the function that times `loops` calls of it."""
    if bench.part == "compile":
        schema = payload_module.compile_schemas()[int(bench.source)][1]
        _, call, argument = next(e for e in compile_entries(schema) if e[0] == bench.system)
        return lambda loops: time_calls(call, argument, loops)
    which = bench.op.rpartition("_")[2]
    name = f"payload-{bench.source}-{which}" if bench.part == "payload" else f"key-order-{bench.source}"
    source = load(plan_dir, name)
    ready = prepare(SYSTEMS[bench.system], source.schema, source.tree)
    call = ready.collect if bench.op.startswith("collect") else ready.validate
    if bench.kind == "fresh" and source.fresh is not None:
        fresh = source.fresh
        del source  # the instance as built is not needed
        return lambda loops: time_fresh_calls(call, fresh, loops)
    if bench.part == "payload":
        fill_utf8(source.instance)
    instance = source.instance
    return lambda loops: time_calls(call, instance, loops)


class Deferred:
    """The time function of one benchmark, which builds what it times on its
    first call: a worker process builds only its own benchmark's."""

    def __init__(self, bench: Bench, plan_dir: str) -> None:
        self.bench, self.plan_dir = bench, plan_dir
        self.run: Callable[[int], float] | None = None

    def __call__(self, loops: int) -> float:
        if self.run is None:
            self.run = timer(self.bench, self.plan_dir)
        return self.run(loops)


def run_worker(runner: pyperf.Runner, plan_dir: str) -> None:
    """pyperf's worker: registers every benchmark of the plan in its order,
    of which pyperf runs the one its --worker-task names."""
    with open(os.path.join(plan_dir, "plan.json"), encoding="utf-8") as handle:
        plan = json.load(handle)
    runner.metadata.update(plan["metadata"])
    for fields in plan["benches"]:
        bench = Bench(**fields)
        runner.bench_time_func(bench.name, Deferred(bench, plan_dir))


def spawn(index: int, bench: Bench, fitted: dict[str, Any], plan_dir: str, calibrate: bool) -> pyperf.Benchmark:
    """One pyperf worker process of one benchmark, and the run it took: its
    values, or with `calibrate` the number of loops it found."""
    out = os.path.join(plan_dir, f"values-{index}.json")
    command = [sys.executable, *WORKER, "--worker", f"--worker-task={index}", "--plan", plan_dir, "-q", "-o", out]
    command += ["--values", str(fitted["values"]), "--warmups", str(fitted["warmups"])]
    command += ["--min-time", repr(fitted["min_time"])]
    command += ["--calibrate-loops"] if calibrate else ["--loops", str(fitted["loops"])]
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{bench.name}: the worker process failed\n{done.stderr}")
    try:
        return pyperf.Benchmark.load(out)
    finally:
        os.unlink(out)


def run_plan(
    args: argparse.Namespace, benches: list[Bench], plan_dir: str, settings: Settings, log: Callable[[str], None]
) -> dict[str, pyperf.Benchmark]:
    """Runs every benchmark in pyperf's worker processes, each with the
    settings `fit` gives it. The systems of one operation on one data take
    turns, a process each, in an order that rotates from round to round, so
    that other work on the machine weighs on all of them alike and the ratios
    between them hold; each benchmark's runs add up in one pyperf Benchmark."""
    with open(os.path.join(plan_dir, "plan.json"), "w", encoding="utf-8") as handle:
        json.dump({"metadata": args.metadata_of_runs, "benches": [asdict(b) for b in benches]}, handle)
    results: dict[str, pyperf.Benchmark] = {}
    started, done = time.perf_counter(), 0
    for _, members in itertools.groupby(enumerate(benches), key=lambda pair: pair[1].name.rpartition("/")[0]):
        group = list(members)
        fitted = {index: fit(bench, args, settings) for index, bench in group}
        for index, bench in group:
            if fitted[index]["loops"] == 0:
                calibration = results[bench.name] = spawn(index, bench, fitted[index], plan_dir, calibrate=True)
                fitted[index]["loops"] = calibration.get_runs()[0].get_metadata()["calibrate_loops"]
        for turn in range(max(f["processes"] for f in fitted.values())):
            shift = turn % len(group)
            for index, bench in group[shift:] + group[:shift]:
                if turn < fitted[index]["processes"]:
                    run = spawn(index, bench, fitted[index], plan_dir, calibrate=False)
                    if bench.name in results:
                        results[bench.name].add_runs(run)
                    else:
                        results[bench.name] = run
        for _, bench in group:
            measured = results[bench.name]
            if not args.quiet:
                spread = f" ± {measured.format_value(measured.stdev())}" if measured.get_nvalue() > 1 else ""
                print(f"{bench.name}: {measured.format_value(measured.median())}{spread}", flush=True)
        done += len(group)
        if done // 50 != (done - len(group)) // 50:
            log(f"  {done} of {len(benches)} benchmarks, {time.perf_counter() - started:.0f} s")
    return results


# Memory and probes ------------------------------------------------------------------


# The worker processes need neither (nor the charts): they are imported where used.


def bench_memory(systems: list[System], log: Callable[[str], None]) -> list[dict]:
    """memory.py's figures for every system and for no call at all, each from
    a process of its own."""
    import memory as memory_module

    rows = []
    for key, label in [(memory_module.CONTROL, "no call (the method's own noise)")] + [
        (s.key, s.label) for s in systems
    ]:
        started = time.perf_counter()
        figures = memory_module.measure_in_child(key)
        log(f"  {label}: {time.perf_counter() - started:.1f} s")
        rows.append({"key": key, "label": label, "figures": figures})
    return rows


def run_probes(systems: list[System]) -> list[dict]:
    import probes as probe_module

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


# The machine ---------------------------------------------------------------------


def command_line(args: list[str]) -> str:
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=20, cwd=ROOT)
    except (OSError, subprocess.SubprocessError):
        return ""
    return out.stdout.strip() if out.returncode == 0 else ""


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


def source_revision() -> str:
    commit = command_line(["git", "rev-parse", "--short", "HEAD"])
    if not commit:
        return ""
    changed = command_line(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt"])
    return f"{commit} with local changes to src/" if changed else commit


def environment(systems: list[System], missing: list[System], quick: bool, metadata: dict) -> dict:
    """The machine and the software, from pyperf's metadata of the first
    benchmark where it has them."""
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    try:
        load = ", ".join(f"{x:.2f}" for x in os.getloadavg()) + " over 1, 5 and 15 minutes"
    except OSError:
        load = "unknown"
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "mode": "quick" if quick else "full",
        "cpu": metadata.get("cpu_model_name") or platform.processor() or platform.machine(),
        "cores": metadata.get("cpu_count") or os.cpu_count(),
        "usable_cores": usable,
        "os": f"{platform.system()} {platform.release()}",
        "python": f"{platform.python_implementation()} {platform.python_version()} ({platform.python_compiler()})",
        "pyperf": pyperf.__version__,
        "module_compiler": module_compiler(),
        "floor_compiler": (command_line([cc, "--version"]).splitlines() or [cc])[0],
        "revision": source_revision(),
        "load": load,
        "versions": {s.label: s.version() for s in systems if s.version() and not s.is_floor},
        "missing": [s.label for s in missing],
    }


# Command line ------------------------------------------------------------------------

PARTS = ["key-order", "memory", "compile"]


def add_options(parser: argparse.ArgumentParser) -> None:
    """This script's own options, next to pyperf's."""
    keys = list(payload_module.BUILDERS)
    parser.add_argument("--quick", action="store_true", help="fewer and shorter values, to check that it runs")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--write-readme", action="store_true", help="replace the results in bench/README.md")
    output.add_argument("--markdown", metavar="PATH", help="also write the results section (and charts) to PATH")
    parser.add_argument("--json", metavar="PATH", help="also write the medians and ratios as JSON")
    parser.add_argument(
        "--only",
        nargs="+",
        metavar="PART",
        choices=keys + PARTS,
        help=f"parts to run: payloads ({' '.join(keys)}) and {', '.join(PARTS)}",
    )
    parser.add_argument(
        "--systems", nargs="+", metavar="KEY", choices=list(SYSTEMS), help=f"systems to time: {' '.join(SYSTEMS)}"
    )
    parser.add_argument(
        "--calibrate",
        action="store_true",
        help="let pyperf calibrate the loops of every benchmark in a process of its own, instead of from "
        "the time of a call during the checks",
    )
    parser.add_argument("--plan", help=argparse.SUPPRESS)  # the manager's plan, for the worker processes


# A worker imports this file rather than run it, so that its compiled form is
# cached instead of compiled afresh in every process, and so that the plan's
# pickles name its classes alike in every process.
WORKER = ("-c", f"import sys; sys.path.insert(0, {HERE!r}); import run; sys.exit(run.main())")


def make_runner() -> pyperf.Runner:
    """pyperf's Runner, for its options (its defaults those of a full or a
    quick run) and, in a worker process, to time one benchmark."""
    early = argparse.ArgumentParser(add_help=False)
    early.add_argument("--quick", action="store_true")
    settings = QUICK if early.parse_known_args()[0].quick else FULL
    runner = pyperf.Runner(
        processes=settings.processes,
        values=settings.values,
        warmups=settings.warmups,
        min_time=settings.sample,
        program_args=WORKER,
    )
    runner.argparser.description = __doc__.splitlines()[0]
    add_options(runner.argparser)
    return runner


def main() -> int:
    runner = make_runner()
    args = runner.parse_args()
    if args.worker:
        run_worker(runner, args.plan)
        return 0
    if args.write_readme and (args.only or args.quick or args.systems):
        raise SystemExit("--write-readme needs a full run of every part: leave out --only, --quick and --systems")
    settings = QUICK if args.quick else FULL
    keys = list(payload_module.BUILDERS)
    wanted = set(args.only or keys + PARTS)

    def log(line: str) -> None:
        print(line, file=sys.stderr, flush=True)

    started = time.perf_counter()
    systems, missing = [], []
    probe_schema = {"n": payload_module.Int()}
    for system in ALL_SYSTEMS:
        if (args.quick and system.key in QUICK_LEAVES_OUT) or (args.systems and system.key not in args.systems):
            missing.append(system)
            continue
        try:
            system.prepare(probe_schema)
            systems.append(system)
        except Unavailable:
            missing.append(system)
            log(f"{system.label}: not installed, left out")

    plan_dir = tempfile.mkdtemp(prefix="quillane-bench-")
    try:
        results, benches = [], []
        for payload in payload_module.all_payloads(wanted):
            log(f"{payload.title}: checking the answers")
            result, more = plan_payload(payload, systems, plan_dir, log)
            results.append(result)
            benches += more
        key_order, compile_rows = [], []
        if "key-order" in wanted:
            log("key order: checking the answers")
            key_order, more = plan_key_order(systems, plan_dir, log)
            benches += more
        if "compile" in wanted:
            compile_rows, more = plan_compile(systems)
            benches += more
        args.metadata_of_runs = {"quillane_mode": "quick" if args.quick else "full"}
        if revision := source_revision():
            args.metadata_of_runs["quillane_revision"] = revision
        log(f"timing {len(benches)} benchmarks with pyperf")
        timings = run_plan(args, benches, plan_dir, settings, log)
    finally:
        shutil.rmtree(plan_dir, ignore_errors=True)

    for bench in benches:
        measured = timings[bench.name]
        median, taken = measured.median(), measured.get_nvalue()
        if bench.part == "payload":
            result = next(r for r in results if r.payload.key == bench.source)
            result.times.setdefault(bench.kind, {}).setdefault(bench.op, {})[bench.system] = median
            result.samples.setdefault(bench.kind, {}).setdefault(bench.op, {})[bench.system] = taken
        elif bench.part == "key-order":
            case = key_order[int(bench.source)]
            case.times.setdefault(bench.op, {})[bench.system] = median
            case.samples.setdefault(bench.op, {})[bench.system] = taken
        else:
            compile_rows[int(bench.source)]["times"][bench.system] = median
    for result in results:
        for kind, _ in DATA_KINDS:
            for op, _ in OPERATIONS:
                result.times.setdefault(kind, {}).setdefault(op, {})
                result.samples.setdefault(kind, {}).setdefault(op, {})
    suite = pyperf.BenchmarkSuite(list(timings.values())) if timings else None
    if suite and args.output:
        suite.dump(args.output)
    if suite and args.append:
        pyperf.add_runs(args.append, suite)
    unstable = [
        name for name, b in timings.items() if b.get_nvalue() >= 2 and b.stdev() >= 0.1 * b.mean()
    ]  # pyperf's own threshold for its warning
    memory = []
    if "memory" in wanted:
        log("memory:")
        memory = bench_memory(systems, log)
    first = next(iter(timings.values()), None)
    env = environment(systems, missing, args.quick, first.get_metadata() if first else {})
    took = time.perf_counter() - started
    env["took"] = f"{took / 60:.0f} minutes" if took >= 120 else f"{took:.0f} s"
    rendered = report.Report(env, results, key_order, memory, compile_rows, run_probes(systems), unstable, len(benches))

    chart_dir, prefix = None, ""
    if args.write_readme:
        chart_dir, prefix = os.path.join(HERE, "charts"), "charts/"
    elif args.markdown:
        chart_dir = os.path.join(os.path.dirname(os.path.abspath(args.markdown)), "charts")
        prefix = "charts/"
    if chart_dir:
        import charts

        rendered.charts = [(title, prefix + name) for title, name in charts.draw(results, chart_dir)]
    section = report.render(rendered, systems)
    print(section)
    if args.write_readme:
        report.write_readme(rendered, section)
        log(f"wrote {os.path.relpath(report.README, ROOT)} and its charts in {os.path.relpath(chart_dir, ROOT)}")
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as handle:
            handle.write(section)
        log(f"wrote {args.markdown}" + (f" and its charts in {chart_dir}" if rendered.charts else ""))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump(report.raw(rendered), handle, indent=1, ensure_ascii=False)
    log(f"done in {took:.0f} s")
    return 0


if __name__ == "__main__":
    # Run as the module `run`, as the worker processes import it, so that the
    # plan's pickles name its classes the same way in both.
    import run

    sys.exit(run.main())
