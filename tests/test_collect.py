"""NativeValidator.collect: the walk that reports every violation it reaches."""

import math

import pytest
from validator_classes import BoolValidator, DictValidator, Float, Int, ListValidator, StringValidator, Validator
from value_shapes import DictSub, Indexable, ListSub, OnIndex, StrSub, compiled

CHANGED_SIZE = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"
LIST_CHANGED_SIZE = "list changed size during iteration"
WORKED = {"name": StringValidator(min_len=1), "age": Int(min=0), "tags": ListValidator(StringValidator())}
MISSING = "Missing required field"


def collect(schema, data):
    return compiled(schema).collect(data)


def assert_entries(actual, expected):
    """Same paths and messages, each value the identical object, entries exact 3-tuples of str, str, value."""
    assert [entry[:2] for entry in actual] == [entry[:2] for entry in expected]
    assert all(
        type(got) is tuple and len(got) == 3 and got[2] is want[2] for got, want in zip(actual, expected, strict=True)
    )
    assert all(type(path) is str and type(message) is str for path, message, _ in actual)


def assert_panic(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception) and info.value.args == (message,)


@pytest.mark.parametrize(
    "schema, value, message",
    [
        (BoolValidator(), 1, "Expected bool"),
        (Int(), 1.0, "Expected int"),
        (Int(), 2**63, "Expected int"),
        (Int(min=0, exclusive_min=True), -(2**63) - 1, "Expected int"),
        (Int(max=10), Indexable(ValueError("bad")), "Expected int"),
        (Int(min=0), Indexable(2**64), "Expected int"),
        (Float(), 1, "Expected float"),
        (Float(min=0), True, "Expected float"),
        (StringValidator(min_len=1), b"x", "Expected str"),
        (ListValidator(Int()), "abc", "Expected list"),
        (ListValidator(Int(), min_len=1), {}, "Expected list"),
        (DictValidator(Int()), [], "Expected dict"),
        ({}, None, "Expected dict"),
        (Int(min=5), 3, "Value 3 is less than minimum 5"),
        (Int(max=5), 6, "Value 6 is greater than maximum 5"),
        (Int(min=2), True, "Value 1 is less than minimum 2"),
        (Int(min=5, exclusive_min=True), 5, "Value 5 must be greater than 5"),
        (Int(min=5, exclusive_max=True), 4, "Value 4 is less than minimum 5"),
        (Int(max=7, exclusive_max=True), 7, "Value 7 must be less than 7"),
        (Int(max=7, exclusive_min=True), 8, "Value 8 is greater than maximum 7"),
        (Int(min=10, max=0), 5, "Value 5 is less than minimum 10"),
        (Int(min=10, max=0, exclusive_min=True, exclusive_max=True), 5, "Value 5 must be greater than 10"),
        (Int(min=0, max=10), Indexable(11), "Value 11 is greater than maximum 10"),
        (Float(min=1), 0.5, "Value 0.5 is less than minimum 1"),
        (Float(max=0.25, exclusive_max=True), 0.25, "Value 0.25 must be less than 0.25"),
        (Float(min=0, exclusive_min=True), -0.0, "Value -0 must be greater than 0"),
        (StringValidator(min_len=3), "ab", "String length 2 is shorter than minimum length 3"),
        (StringValidator(max_len=4), "h\u00e9llo", "String length 5 is longer than maximum length 4"),
        (StringValidator(min_len=2), StrSub("\U0001f600"), "String length 1 is shorter than minimum length 2"),
        (StringValidator(min_len=3, max_len=1), "ab", "String length 2 is shorter than minimum length 3"),
        (ListValidator(Int(), min_len=1), [], "List length 0 is shorter than minimum length 1"),
        (ListValidator(Int(), max_len=0), ListSub([1]), "List length 1 is longer than maximum length 0"),
        (
            ListValidator(Int(), min_len=2),
            ["bad"],
            "List length 1 is shorter than minimum length 2",
        ),  # items not visited
    ],
)
def test_one_violation_at_the_root(schema, value, message):
    assert_entries(collect(schema, value), [("", message, value)])


@pytest.mark.parametrize(
    "schema, value",
    [
        (Int(), True),
        (Int(min=5), 5),
        (Int(max=10), Indexable(10)),
        (Float(min=0, max=1), math.nan),
        (Float(max=math.inf), math.inf),
        (StringValidator(min_len=5, max_len=5), "h\u00e9llo"),
        (ListValidator(BoolValidator()), []),
        (ListValidator(Int(), min_len=0), []),
        ({}, {}),
        (Validator(), "\ud800"),
        ({"k": Validator()}, {"k": {"\ud800": ["\udfff"]}}),
        (DictValidator(Validator()), {"k": (1,)}),
    ],
)
def test_valid_data_gives_an_empty_list(schema, value):
    assert collect(schema, value) == []


@pytest.mark.parametrize(
    "schema, data, paths",
    [
        (ListValidator(Int()), ["a", 1, "b"], ["[0]", "[2]"]),
        (ListValidator({"name": StringValidator()}), [{"name": "x"}, {"name": "y"}, {"name": 3}], ["[2].name"]),
        ({"tags": ListValidator(StringValidator())}, {"tags": [1, "x", 2]}, ["tags[0]", "tags[2]"]),
        (ListValidator(ListValidator(Int())), [[1, "x"], [], ["y"]], ["[0][1]", "[2][0]"]),
        ({"a": ListValidator(ListValidator({"b": Int()}))}, {"a": [[{"b": 1}, {"b": "x"}]]}, ["a[0][1].b"]),
        (DictValidator(DictValidator(Int())), {"x": {"y": "z"}}, ["x.y"]),
        (
            DictValidator(Int()),
            {"[0]": "x", "\u00e9\U0001f600": "y", StrSub("sub"): "z"},
            ["[0]", "\u00e9\U0001f600", "sub"],
        ),
        (ListValidator(Int()), [*range(10), "x"], ["[10]"]),
        (DictValidator(DictValidator(Int())), {"": {"b": "x"}}, ["b"]),  # an empty key leaves the path empty
        (DictValidator(DictValidator(Int())), {"a": {"": "x"}}, ["a."]),
        (DictValidator(ListValidator(Int())), {"": [0, "x"]}, ["[1]"]),
    ],
)
def test_paths(schema, data, paths):
    assert [path for path, _, _ in collect(schema, data)] == paths


def test_dotted_key_reads_like_a_nested_field():
    assert collect(DictValidator(Int()), {"a.b": "x"}) == collect({"a": {"b": Int()}}, {"a": {"b": "x"}})
    assert collect(DictValidator(Int()), {"a.b": "x"}) == [("a.b", "Expected int", "x")]


def test_entries_hold_the_offending_objects_themselves():
    data = {"big": 2**70, "huge": 1e300, "text": "too long", "list": [1, 2, 3], "idx": Indexable(99), "sub": DictSub()}
    schema = {
        "big": Int(),
        "huge": Float(max=1),
        "text": StringValidator(max_len=3),
        "list": ListValidator(Int(), max_len=2),
        "idx": Int(max=10),
        "sub": ListValidator(Int()),
    }
    assert_entries(
        collect(schema, data),
        [
            ("big", "Expected int", data["big"]),
            ("huge", "Value 1" + "0" * 300 + " is greater than maximum 1", data["huge"]),
            ("text", "String length 8 is longer than maximum length 3", data["text"]),
            ("list", "List length 3 is longer than maximum length 2", data["list"]),
            ("idx", "Value 99 is greater than maximum 10", data["idx"]),
            ("sub", "Expected list", data["sub"]),
        ],
    )


@pytest.mark.parametrize(
    "data, expected",
    [
        (
            {"tags": ["x", 5], "age": -1},
            [("tags[1]", "Expected str", 5), ("age", "Value -1 is less than minimum 0", -1), ("name", MISSING, None)],
        ),
        (
            {"age": -1, "tags": ["x", 5]},
            [("age", "Value -1 is less than minimum 0", -1), ("tags[1]", "Expected str", 5), ("name", MISSING, None)],
        ),
        ({}, [("name", MISSING, None), ("age", MISSING, None), ("tags", MISSING, None)]),
        ({"tags": "x"}, [("tags", "Expected list", "x"), ("name", MISSING, None), ("age", MISSING, None)]),
        ({"name": "n", "age": 0, "tags": []}, []),
    ],
)
def test_entries_in_data_order_then_missing_fields(data, expected):
    assert_entries(collect(WORKED, data), expected)


def test_missing_fields_follow_field_order_at_every_level():
    assert collect({"c": Int(), "a": Int(), "b": Int(), "d": Int()}, {"b": "x", "d": 1}) == [
        ("b", "Expected int", "x"),
        ("c", MISSING, None),
        ("a", MISSING, None),
    ]
    schema = ListValidator({"outer": {"x": Int(), "y": Int()}, "z": Int()})
    assert collect(schema, [{"outer": {"y": "bad"}, "z": 1}, {"outer": {}}]) == [
        ("[0].outer.y", "Expected int", "bad"),
        ("[0].outer.x", MISSING, None),
        ("[1].outer.x", MISSING, None),
        ("[1].outer.y", MISSING, None),
        ("[1].z", MISSING, None),
    ]


@pytest.mark.parametrize(
    "schema, data",
    [
        (ListValidator(Int()), ()),
        (ListValidator(Int(), min_len=5), (1,)),
        ({"a": Int(), "b": ListValidator(ListValidator(Int()))}, {"a": "bad", "b": [[1, "bad"], (2,)]}),
        (DictValidator(Int()), {"ok": "bad", 5: 1}),
        ({"a": Int(), "b": Int()}, {"a": "bad", 1: 1}),
        ({"a": StringValidator(), "b": Int()}, {"a": "\ud800", "b": 2, "c": 3}),  # more keys than fields: nothing read
        ({}, {"a": 1}),
        ({"a": Int(), "b": Int()}, {"a": "bad", "c": 3}),
        ({"a": StringValidator(), "b": Int()}, {"c": 3, "a": "\ud800"}),
        ({"\u00e9": Int()}, {"e\u0301": 1}),
    ],
)
def test_undecided_data_gives_none(schema, data):
    validator = compiled(schema)
    assert validator.collect(data) is None
    assert validator.validate(data) is None


def test_undecided_drops_entries_found_before_it():
    validator = compiled(ListValidator(ListValidator(Int())))
    assert len(validator.collect([["a", "b"], ["c"]])) == 3
    assert validator.collect([["a", "b"], ["c"], ()]) is None


def test_a_raising_value_met_before_an_unknown_key_raises():
    with pytest.raises(UnicodeEncodeError):
        compiled({"a": StringValidator(), "b": Int()}).collect({"a": "\ud800", "c": 3})


@pytest.mark.parametrize(
    "schema, data",
    [
        (StringValidator(), "\ud800"),
        (ListValidator(StringValidator()), ["ok", 1, "\ud800"]),
        (DictValidator(Validator()), {"ok": 1, StrSub("\udc00"): 1}),
        ({"a": Int(), "b": Int()}, {"\ud800": 1}),
    ],
)
def test_lone_surrogate_raises_where_utf8_is_needed(schema, data):
    with pytest.raises(UnicodeEncodeError):
        collect(schema, data)


def test_surrogate_key_under_dict_raises_in_collect_only():
    validator, data = compiled(DictValidator(Int())), {"\ud800": 1}
    assert validator.validate(data) is data
    with pytest.raises(UnicodeEncodeError):
        validator.collect(data)


@pytest.mark.parametrize("data", [{"a": 1}, {"a": "bad"}, {}])
def test_each_call_returns_a_new_list(data):
    validator = compiled({"a": Int()})
    first, second = validator.collect(data), validator.collect(data)
    assert type(first) is list and first is not second and first == second
    first.append("scribble")
    assert validator.collect(data) == second


def grow(data, key="added"):
    return OnIndex(lambda: data.__setitem__(key, 1))


def swap_keys(data):
    def swap():
        del data["a"]
        data["c"] = 3

    return OnIndex(swap)


@pytest.mark.parametrize(
    "method, schema, keys, make_first, message",
    [
        *[(method, DictValidator(Int()), "ab", grow, CHANGED_SIZE) for method in ("validate", "collect")],
        *[(method, {"a": Int(), "b": Int()}, "ab", grow, CHANGED_SIZE) for method in ("validate", "collect")],
        *[(method, DictValidator(Int()), "ab", swap_keys, KEYS_CHANGED) for method in ("validate", "collect")],
        ("collect", {"a": Int(), "b": Int(), "c": Int()}, "a", lambda data: grow(data, "b"), CHANGED_SIZE),
    ],
)
def test_dict_changed_during_a_walk_is_an_internal_fault(method, schema, keys, make_first, message):
    validator, data = compiled(schema), {}
    for key in keys:
        data[key] = 2
    data["a"] = make_first(data)
    assert_panic(lambda: getattr(validator, method)(data), message)
    clean = dict.fromkeys(schema if isinstance(schema, dict) else "a", 1)
    assert validator.validate(clean) is clean
    assert validator.collect({**clean, "a": "x"}) == [("a", "Expected int", "x")]


@pytest.mark.parametrize(
    "mutate, rest, entries",
    [
        (lambda items: items.__delitem__(slice(2, None)), ["bad", "gone", "gone"], LIST_CHANGED_SIZE),
        (list.clear, ["never seen"], LIST_CHANGED_SIZE),
        (lambda items: items.append("added"), [2], LIST_CHANGED_SIZE),
        (lambda items: items.__setitem__(1, "replaced"), [2], [("[1]", "Expected int", "replaced")]),
    ],
)
def test_list_changed_during_a_walk(mutate, rest, entries):
    def fresh():
        items = []
        items.extend([OnIndex(lambda: mutate(items)), *rest])
        return items

    validator = compiled(ListValidator(Int()))
    if entries == LIST_CHANGED_SIZE:
        assert_panic(lambda: validator.collect(fresh()), LIST_CHANGED_SIZE)
        assert_panic(lambda: validator.validate(fresh()), LIST_CHANGED_SIZE)
        return
    assert validator.collect(fresh()) == entries
    items = fresh()
    assert (validator.validate(items) is items) == (entries == [])


def test_reentrant_calls_from_index():
    validator = compiled(ListValidator(Int(max=10)))
    other = compiled({"k": StringValidator(min_len=2)})
    inner = []

    def reenter():
        inner.extend(
            [
                validator.collect([1, 20, "x"]),
                validator.validate([1, 2]),
                validator.validate([11]),
                other.collect({"k": "x"}),
            ]
        )

    assert validator.collect([OnIndex(reenter, 5), 30]) == [("[1]", "Value 30 is greater than maximum 10", 30)]
    assert inner == [
        [("[1]", "Value 20 is greater than maximum 10", 20), ("[2]", "Expected int", "x")],
        [1, 2],
        None,
        [("k", "String length 1 is shorter than minimum length 2", "x")],
    ]
    data = [OnIndex(reenter, 5)]
    assert validator.validate(data) is data and len(inner) == 8
    assert validator.collect([11]) == [("[0]", "Value 11 is greater than maximum 10", 11)]


def test_fault_inside_a_reentrant_call_surfaces_there_only():
    validator = compiled(DictValidator(Int()))
    victim, caught = {}, []
    victim["a"] = grow(victim)

    def reenter():
        try:
            validator.collect(victim)
        except BaseException as error:
            caught.append(error)

    assert validator.collect({"x": OnIndex(reenter), "y": "bad"}) == [("y", "Expected int", "bad")]
    assert [(type(error).__name__, error.args) for error in caught] == [("PanicException", (CHANGED_SIZE,))]
