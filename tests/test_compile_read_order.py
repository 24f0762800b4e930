"""The order in which the compiler reads a schema's attributes.

Every schema object here logs each attribute lookup made on it as "label.name",
so a test compares the whole sequence of reads of one compile_schema call.
"""

import pytest
from compile_support import GATE_NAMES, schema_object, type_like

from quillane_core import compile_schema


def gates(label):
    return [f"{label}.{name}" for name in GATE_NAMES]


def obj(log, label, class_name="Validator", **attrs):
    return schema_object(class_name, log=log, label=label, **attrs)


def number(log, label="n", type_cls="int", **attrs):
    settings = {
        "_type_cls": type_like(type_cls, log, f"{label}._type_cls"),
        "_min": None,
        "_max": None,
        "_exclusive_min": False,
        "_exclusive_max": False,
    }
    return obj(log, label, "NumberValidator", **{**settings, **attrs})


def string(log, label="s", **attrs):
    return obj(log, label, "StringValidator", **{"_regex": None, "_min_len": None, "_max_len": None, **attrs})


def list_of(log, item, label="l", **attrs):
    return obj(log, label, "ListValidator", **{"_item_validator": item, "_min_len": None, "_max_len": None, **attrs})


def dict_of(log, value, label="d", key_type="str"):
    return obj(
        log, label, "DictValidator", _key_type=type_like(key_type, log, f"{label}._key_type"), _value_validator=value
    )


def outcome(schema):
    """What compiling gives: the result's type name, or the exception's."""
    try:
        return type(compile_schema(schema)).__name__
    except Exception as exc:
        return type(exc).__name__


@pytest.mark.parametrize("class_name", ["Validator", "BoolValidator", "Unknown", "Number"])
def test_simple_and_unknown_classes_read_only_the_gates(class_name):
    log = []
    schema = obj(log, "v", class_name, _type_cls=int, _min=0, _regex="x", _item_validator=None)
    expected = "NativeValidator" if class_name.endswith("Validator") else "NoneType"
    assert (outcome(schema), log) == (expected, gates("v"))


@pytest.mark.parametrize(
    ("attrs", "count", "result"),
    [
        ({"_coerce": True}, 1, "NoneType"),
        ({"_custom_checks": [len]}, 2, "NoneType"),
        ({"_when_condition": "x"}, 3, "NoneType"),
        ({"_env_key": "KEY"}, 4, "NoneType"),
        ({"_coerce": 1}, 1, "TypeError"),
        ({"_custom_checks": None}, 2, "TypeError"),
    ],
)
def test_gates_stop_at_the_deciding_one(attrs, count, result):
    log = []
    assert (outcome(number(log, **attrs)), log) == (result, gates("n")[:count])


def test_custom_checks_length_taken_once():
    calls = []
    checks = type("Checks", (), {"__len__": lambda self: calls.append("len") or 0})()
    compile_schema(obj([], "v", _custom_checks=checks))
    assert calls == ["len"]


NUMBER_READS = ["n._type_cls", "n._type_cls.__name__", "n._min", "n._max", "n._exclusive_min", "n._exclusive_max"]


@pytest.mark.parametrize(
    ("attrs", "last", "result"),
    [
        ({}, None, "NativeValidator"),
        ({"type_cls": "float", "_min": 0.5, "_max": 2, "_exclusive_min": True}, None, "NativeValidator"),
        ({"type_cls": "bool", "_min": "x", "_exclusive_min": None}, "n._type_cls.__name__", "NoneType"),
        ({"type_cls": "str", "_min": "x"}, "n._type_cls.__name__", "NoneType"),
        ({"type_cls": 5, "_min": "x"}, "n._type_cls.__name__", "TypeError"),
        ({"_min": "x"}, "n._min", "TypeError"),
        ({"_max": 10**400}, "n._max", "OverflowError"),
        ({"_exclusive_min": None}, "n._exclusive_min", "TypeError"),
        ({"_exclusive_max": 1}, "n._exclusive_max", "TypeError"),
    ],
)
def test_number_reads(attrs, last, result):
    log = []
    reads = NUMBER_READS[: NUMBER_READS.index(last) + 1] if last else NUMBER_READS
    assert (outcome(number(log, **attrs)), log) == (result, gates("n") + reads)


@pytest.mark.parametrize(
    ("attrs", "reads", "result"),
    [
        ({"_min_len": 1, "_max_len": 3}, ["s._regex", "s._min_len", "s._max_len"], "NativeValidator"),
        ({"_regex": "", "_min_len": -1}, ["s._regex"], "NoneType"),
        ({"_min_len": -1}, ["s._regex", "s._min_len"], "OverflowError"),
    ],
)
def test_string_reads(attrs, reads, result):
    log = []
    assert (outcome(string(log, **attrs)), log) == (result, gates("s") + reads)


ITEM_READS = ["item._regex", "item._min_len", "item._max_len"]


@pytest.mark.parametrize(
    ("item_attrs", "list_attrs", "reads", "result"),
    [
        ({}, {"_min_len": 0}, gates("item") + ITEM_READS + ["l._min_len", "l._max_len"], "NativeValidator"),
        ({"_env_key": "E"}, {"_min_len": -1}, gates("item"), "NoneType"),
        ({"_coerce": None}, {}, ["item._coerce"], "TypeError"),
        ({}, {"_min_len": "x", "_max_len": -1}, gates("item") + ITEM_READS + ["l._min_len"], "TypeError"),
    ],
)
def test_list_compiles_its_item_before_reading_lengths(item_attrs, list_attrs, reads, result):
    log = []
    schema = list_of(log, string(log, "item", **item_attrs), **list_attrs)
    assert (outcome(schema), log) == (result, [*gates("l"), "l._item_validator", *reads])


@pytest.mark.parametrize(
    ("key_type", "reads", "result"),
    [
        ("str", ["d._value_validator", *gates("value")], "NativeValidator"),
        ("int", [], "NoneType"),
        ("Str", [], "NoneType"),
    ],
)
def test_dict_reads_value_validator_only_for_str_keys(key_type, reads, result):
    log = []
    schema = dict_of(log, obj(log, "value"), key_type=key_type)
    assert (outcome(schema), log) == (result, [*gates("d"), "d._key_type", "d._key_type.__name__", *reads])


def test_field_map_compiles_values_in_key_order():
    log = []
    assert outcome({"z": obj(log, "z"), "a": obj(log, "a", "BoolValidator")}) == "NativeValidator"
    assert log == gates("z") + gates("a")


@pytest.mark.parametrize(
    ("make_schema", "reads", "result"),
    [
        (
            lambda log: {"a": obj(log, "a"), "b": obj(log, "b", _when_condition=True), "c": obj(log, "c")},
            gates("a") + gates("b")[:3],
            "NoneType",
        ),
        (lambda log: {"a": obj(log, "a"), 2: obj(log, "two"), "c": obj(log, "c", "X")}, gates("a"), "NoneType"),
        (lambda log: {"a": obj(log, "a", _coerce="no"), "b": obj(log, "b")}, ["a._coerce"], "TypeError"),
    ],
    ids=["not-compilable-value", "non-str-key", "failing-value"],
)
def test_field_map_stops_at_the_first_deciding_entry(make_schema, reads, result):
    log = []
    assert (outcome(make_schema(log)), log) == (result, reads)


def test_nested_schema_read_depth_first():
    log = []
    inner = {"x": number(log, "x"), "y": obj(log, "y")}
    schema = {"first": list_of(log, dict_of(log, inner, "d"), "l"), "last": obj(log, "b", "BoolValidator")}
    expected = (
        gates("l")
        + ["l._item_validator"]
        + gates("d")
        + ["d._key_type", "d._key_type.__name__", "d._value_validator"]
        + gates("x")
        + [read.replace("n.", "x.", 1) for read in NUMBER_READS]
        + gates("y")
        + ["l._min_len", "l._max_len"]
        + gates("b")
    )
    assert (outcome(schema), log) == ("NativeValidator", expected)


def test_shared_node_read_once_per_occurrence_and_per_compile():
    log = []
    shared = obj(log, "v")
    for _ in range(2):
        compile_schema({"a": shared, "b": shared})
    assert log == gates("v") * 4
