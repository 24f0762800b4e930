"""The benchmark payloads, the floor and the peers' translations say what the
benchmark reports claim they say. Run with `python -m pytest bench`."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import payloads
import reference_model
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


def test_floor_reads_every_str():
    floor = pytest.importorskip("quillane_bench_floor")
    with pytest.raises(UnicodeEncodeError):
        floor.walk([["ok", "\ud800"]])
    with pytest.raises(UnicodeEncodeError):
        floor.walk({"\udfff": 1})


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
