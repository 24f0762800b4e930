"""The benchmark payloads, the floor and the peers' translations say what the
benchmark reports claim they say. Run with `python -m pytest bench`."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

import pyperf
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import memory
import payloads
import reference_model
import run
import systems

import quillane_core

HERE = os.path.dirname(os.path.abspath(__file__))
PAYLOADS = payloads.all_payloads()
IDS = [p.key for p in PAYLOADS]


@pytest.mark.parametrize("payload", PAYLOADS, ids=IDS)
def test_reference_model_sees_the_violations_the_payload_claims(payload):
    tree = reference_model.compile_schema(payload.schema)
    assert reference_model.validate(tree, payload.valid) is payload.valid
    assert reference_model.validate(tree, payload.invalid) is None
    errors = reference_model.collect(tree, payload.invalid)
    assert errors is not None and len(errors) == payload.violations


@pytest.mark.parametrize("payload", PAYLOADS, ids=IDS)
def test_module_agrees_with_the_reference_model(payload):
    validator = quillane_core.compile_schema(payload.schema)
    assert validator is not None
    assert validator.validate(payload.valid) is payload.valid
    assert validator.validate(payload.invalid) is None
    tree = reference_model.compile_schema(payload.schema)
    assert validator.collect(payload.invalid) == reference_model.collect(tree, payload.invalid)


def test_payload_sizes():
    by_key = {p.key: p for p in PAYLOADS}
    assert 900 <= payloads.count_leaves(by_key["nested"].valid) <= 1100
    assert len(by_key["records"].valid) == 10_000
    assert len(by_key["mapping"].valid) == 10_000
    assert len(by_key["ints"].valid) == 100_000
    assert len(by_key["strings"].valid) == 10_000
    assert len(by_key["flat"].valid) == 12
    # Every str of the strings payload is mostly outside ASCII.
    assert all(sum(ord(c) > 127 for c in s) * 2 > len(s) for s in by_key["strings"].valid)


def test_spread_positions():
    assert payloads.spread(4, 100) == [12, 37, 62, 87]
    assert payloads.spread(100, 10_000)[0] == 50 and payloads.spread(100, 10_000)[-1] == 9950


@pytest.mark.parametrize("payload", PAYLOADS, ids=IDS)
def test_floor_visits_every_value(payload):
    floor = pytest.importorskip("quillane_bench_floor")
    assert floor.walk(payload.valid) == payloads.count_values(payload.valid)
    assert floor.walk(payload.invalid) == payloads.count_values(payload.invalid)


@pytest.mark.parametrize(
    "text",
    ["\ud800", "a\udfff", "\u4e2d\u6587\ud800\u4e2d", "\U0001f600\udbff", "\udc00\U0001f600" * 9],
    ids=["alone", "after-latin", "among-2-byte", "after-4-byte", "long-4-byte"],
)
def test_floor_finds_a_lone_surrogate_in_every_kind_and_position(text):
    floor = pytest.importorskip("quillane_bench_floor")
    with pytest.raises(UnicodeEncodeError):
        floor.walk([["ok", {"k": text}]])


def test_floor_leaves_every_str_as_it_found_it():
    floor = pytest.importorskip("quillane_bench_floor")
    data = json.loads(json.dumps({"é" * 5: ["中文" * 7, "😀 ok", "plain"], "\ud800": 1}))
    before = memory.str_bytes(data)
    assert floor.walk(data) == 6  # keys are type-tested only: the lone surrogate key passes
    assert memory.str_bytes(data) == before
    del data["\ud800"]
    # fill_utf8 caches the UTF-8 forms the walk never builds, which str_bytes sees.
    assert floor.fill_utf8(data) == 4  # strs, keys included
    assert memory.str_bytes(data) > before
    assert floor.walk(data) == 5


@pytest.mark.parametrize("payload", PAYLOADS, ids=IDS)
def test_fresh_copies_are_new_objects_equal_to_the_instance(payload):
    fresh = run.Fresh.of(payload.invalid)
    seen = []
    assert run.time_fresh_calls(seen.append, fresh, 3) > 0
    assert len({id(copy) for copy in seen}) == 3
    assert all(copy == payload.invalid for copy in seen)


def settings_for(estimate, parse=0.0, settings=run.FULL, **given):
    """fit's answer for one call under a run's defaults, with pyperf's options as given."""
    args = argparse.Namespace(
        processes=settings.processes,
        values=settings.values,
        warmups=settings.warmups,
        min_time=settings.sample,
        loops=0,
        calibrate=False,
    )
    vars(args).update(given)
    kind = "fresh" if parse else "cached"
    bench = run.Bench("x", "payload", "flat", "quillane", "validate_valid", kind, estimate, parse)
    return run.fit(bench, args, settings)


@pytest.mark.parametrize("settings", [run.FULL, run.QUICK], ids=["full", "quick"])
def test_fit_keeps_every_benchmark_near_its_budget(settings):
    fast = settings_for(1e-6, settings=settings)
    assert (fast["processes"], fast["values"], fast["warmups"]) == (
        settings.processes,
        settings.values,
        settings.warmups,
    )
    assert fast["min_time"] == settings.sample
    # The loops are what the call's time asks for, or pyperf calibrates them (0).
    assert fast["loops"] == pytest.approx(settings.sample / 1e-6, rel=1e-3)
    assert settings_for(1e-6, settings=settings, calibrate=True)["loops"] == 0
    for estimate in (0.001, 0.01, 0.2, 1.5):
        slow = settings_for(estimate, settings=settings)
        if estimate >= settings.sample:
            assert slow["loops"] == 1
        calls = slow["processes"] * (slow["warmups"] + slow["values"])
        fewest = settings.warmups + min(settings.min_values, settings.values)
        assert calls * max(estimate, settings.sample) <= settings.budget or (slow["processes"] == 1 and calls == fewest)
    assert settings_for(1.5, settings=settings)["values"] < settings.values
    # A call 100 times faster than the parse of its copy: a value gets no more
    # copies than parse_budget of parsing allows.
    fresh = settings_for(1e-5, parse=1e-3, settings=settings)
    assert fresh["min_time"] == pytest.approx(1e-5 * settings.parse_budget / 1e-3)
    assert fresh["min_time"] < settings.sample


def test_fit_keeps_what_the_command_line_asks_for():
    # pyperf's --debug-single-value: one process, one value, one loop, no warm-up.
    debug = settings_for(1e-6, processes=1, values=1, warmups=0, loops=1, min_time=1e-9)
    assert debug == {"processes": 1, "values": 1, "warmups": 0, "min_time": 1e-9, "loops": 1}
    assert settings_for(1e-6, processes=7)["processes"] == 7


def test_a_worker_builds_the_same_calls_from_the_plan(tmp_path):
    payload = next(p for p in PAYLOADS if p.key == "flat")
    result, benches = run.plan_payload(payload, [systems.QUILLANE, systems.REFERENCE], str(tmp_path), print)
    assert result.standings["quillane"].collect
    assert {b.name for b in benches} == {
        f"flat/{kind}/{op}/{key}"
        for kind, _ in run.DATA_KINDS
        for op, _ in run.OPERATIONS
        for key in ("quillane", "reference")
    }
    loaded = run.load(str(tmp_path), "payload-flat-valid")
    # The pickle keeps what the built payload shares: each field's name is the
    # very key object of the instance, as it is in the payload as built.
    assert loaded.instance == payload.valid
    assert all(any(key is name for name in loaded.schema) for key in loaded.instance)
    assert all(any(key is name for name in payload.schema) for key in payload.valid)
    for bench in benches:
        assert bench.estimate > 0
        assert (bench.parse > 0) == (bench.kind == "fresh")
        assert run.timer(bench, str(tmp_path))(3) > 0


def test_run_times_through_pyperf_and_writes_what_compare_to_reads(tmp_path):
    """The whole path: the answers, the plan, pyperf's worker processes, the
    tables, the charts, the ratios, and pyperf's JSON for compare_to."""
    out = tmp_path / "values.json"
    command = [
        sys.executable,
        os.path.join(HERE, "run.py"),
        "--only",
        "flat",
        "--systems",
        "quillane",
        "floor",
        "--markdown",
        str(tmp_path / "results.md"),
        "--json",
        str(tmp_path / "raw.json"),
        # Two processes of one value each, after pyperf's calibration.
        *("-p", "2", "-n", "1", "-w", "0", "--min-time", "0.001", "--calibrate"),
        "-o",
        str(out),
    ]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    names = {
        f"flat/{kind}/{op}/{key}"
        for kind, _ in run.DATA_KINDS
        for op, _ in run.OPERATIONS
        for key in ("quillane", "floor")
    }
    suite = pyperf.BenchmarkSuite.load(str(out))
    assert set(suite.get_benchmark_names()) == names
    for bench in suite.get_benchmarks():
        assert bench.get_nrun() == 3 and bench.get_nvalue() == 2  # a calibration run and two of values
        assert bench.median() > 0 and bench.get_metadata()["quillane_mode"] == "full"
    with open(tmp_path / "raw.json", encoding="utf-8") as handle:
        raw = json.load(handle)
    (flat,) = raw["payloads"]
    for kind, _ in run.DATA_KINDS:
        for op, _ in run.OPERATIONS:
            mine = flat["times"][kind][op]["quillane"]
            assert mine == suite.get_benchmark(f"flat/{kind}/{op}/quillane").median()
            floor = flat["times"][kind][op]["floor"]
            assert flat["ratios"][kind]["over_floor"][op]["quillane"] == pytest.approx(mine / floor)
        collect, validate = (
            flat["times"][kind]["collect_valid"]["quillane"],
            flat["times"][kind]["validate_valid"]["quillane"],
        )
        assert flat["ratios"][kind]["collect_over_validate"]["valid"] == pytest.approx(collect / validate)
    text = (tmp_path / "results.md").read_text(encoding="utf-8")
    assert "| Flat record | collect, valid instance | fresh JSON |" in text
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "![" not in text
    else:
        for name in ("summary.png", "validate-valid.png", "collect-invalid.png"):
            assert f"](charts/{name})" in text
            assert (tmp_path / "charts" / name).read_bytes().startswith(b"\x89PNG")
    compared = subprocess.run(
        [sys.executable, "-m", "pyperf", "compare_to", str(out), str(out)], capture_output=True, text=True, timeout=60
    )
    assert compared.returncode == 0, compared.stderr
    assert "flat/cached/validate_valid/quillane" in compared.stdout


def test_key_order_cases():
    cases = payloads.key_order_cases()
    assert {(c.fields, c.order) for c in cases} == {
        (n, order) for n in payloads.KEY_ORDER_FIELDS for order in payloads.KEY_ORDERS
    }
    for case in cases:
        names = list(case.schema)
        keys = list(case.data)
        if case.order == "shuffled":
            assert sorted(keys) == names != keys
        else:
            assert keys == (names if case.order == "schema order" else names[::-1])
        assert all(key is not name for key, name in zip(sorted(keys), sorted(names), strict=True))
        assert reference_model.collect(reference_model.compile_schema(case.schema), case.data) == []


def test_node_count():
    assert payloads.count_nodes(payloads.flat_schema()) == 16
    wide = payloads.wide_schema()
    assert len(wide) == payloads.WIDE_FIELDS
    assert payloads.count_nodes(wide) == 1 + 2000 + 200 * (1 + 1 + 2)


@pytest.mark.parametrize("payload", PAYLOADS, ids=IDS)
@pytest.mark.parametrize("system", systems.PEERS, ids=[s.key for s in systems.PEERS])
def test_peers_agree_on_verdicts_and_error_counts(system, payload):
    try:
        prepared = system.prepare(payload.schema)
    except systems.Unavailable:
        pytest.skip(f"{system.label} is not installed")
    assert prepared.check(payload.valid) is True
    assert prepared.check(payload.invalid) is False
    if prepared.errors is not None:
        assert prepared.errors(payload.valid) == []
        assert len(prepared.errors(payload.invalid)) == payload.violations


def test_version_tables_divide_each_version_by_the_first_and_by_its_own_floor(tmp_path):

    def results(version, scale):
        times = {op: {"quillane": 2e-6 * scale, "floor": 1e-6 * scale} for op in ("validate_valid", "collect_invalid")}
        payload = {"key": "flat", "title": "Flat record", "times": {"cached": times, "fresh": times}}
        return {"environment": {"python": f"CPython {version}.1 (GCC)"}, "payloads": [payload]}

    paths = []
    for version, scale in (("3.13", 1), ("3.14", 3)):
        path = tmp_path / f"{version}.json"
        path.write_text(json.dumps(results(version, scale)))
        (tmp_path / f"{version}-instructions.txt").write_text(
            f"flat:validate:valid {1000 * scale} instructions per call\n"
            f"flat:floor:valid {400 * scale} instructions per call\n"
        )
        paths.append(str(path))
    out = subprocess.run(
        [sys.executable, os.path.join(HERE, "versions.py"), *paths], capture_output=True, text=True, check=True
    ).stdout
    assert "| Flat record | validate, valid | 3.00 | 3.00 | 2.00 | 2.00 |" in out
    assert "| Flat record | validate, valid | 3.00 | 2.50 | 2.50 |" in out
