"""The benchmark payloads, the floor and the peers' translations say what the
benchmark reports claim they say. Run with `python -m pytest bench`."""

from __future__ import annotations

import json
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import memory
import payloads
import reference_model
import run
import systems

import quillane_core

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
    run.run_fresh_calls(seen.append, fresh, 3)
    assert len({id(copy) for copy in seen}) == 3
    assert all(copy == payload.invalid for copy in seen)


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
