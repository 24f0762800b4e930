"""Data and schemas whose own Python code fights the walk.

Each case ends in a correct result or a Python exception, and the validator
keeps giving the same answers afterwards.
"""

import pytest
from schema_classes import DictValidator, Int, ListValidator, StringValidator, Validator

import quillane_core

RECORD = {"a": Int(), "b": Int()}


class Hook:
    """An int-like value that runs `action` when its integer is read."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value


def _panic_text(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException"
    return caught.value.args[0]


def _still_usable(validator, valid, invalid):
    assert validator.validate(valid) is valid
    assert validator.validate(invalid) is None
    assert validator.collect(valid) == []
    assert validator.collect(invalid)


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize(
    ("schema", "mutate", "text"),
    [
        (DictValidator(Int()), lambda d: d.__setitem__("zz", 0), "dictionary changed size during iteration"),
        (DictValidator(Int()), lambda d: d.pop("b"), "dictionary changed size during iteration"),
        # The visited key swapped for a new one: the walk meets one entry more
        # than the dict had.
        (
            DictValidator(Int()),
            lambda d: (d.pop("a"), d.__setitem__("c", 0)),
            "dictionary keys changed during iteration",
        ),
        (RECORD, lambda d: d.__setitem__("zz", 0), "dictionary changed size during iteration"),
        (RECORD, lambda d: d.clear(), "dictionary changed size during iteration"),
    ],
)
def test_dict_changed_by_the_walk_is_a_fault(method, schema, mutate, text):
    validator = quillane_core.compile_schema(schema)
    data = {"a": 0, "b": 1}
    data["a"] = Hook(lambda: mutate(data))
    assert _panic_text(lambda: getattr(validator, method)(data)) == text
    _still_usable(validator, {"a": 1, "b": 2}, {"a": "x", "b": 2})


@pytest.mark.parametrize(
    ("mutate", "expected_entries"),
    [
        (lambda items: items.clear(), [("[0]", "Expected int", "x")]),
        (lambda items: items.pop(), [("[0]", "Expected int", "x")]),
        (lambda items: items.extend(["y"] * 10), [("[0]", "Expected int", "x"), ("[2]", "Expected int", "z")]),
        (lambda items: items.__setitem__(2, 5), [("[0]", "Expected int", "x")]),
    ],
)
def test_list_changed_by_the_walk_is_walked_safely(mutate, expected_entries):
    validator = quillane_core.compile_schema(ListValidator(Int()))
    items = ["x", None, "z"]
    items[1] = Hook(lambda: mutate(items))
    assert validator.collect(items) == expected_entries
    items = [0, None, "z"]
    items[1] = Hook(lambda: mutate(items))
    assert validator.validate(items) in (items, None)
    _still_usable(validator, [1, 2], [1, "x"])


def test_reentrant_calls_from_a_walk():
    validator = quillane_core.compile_schema({"n": Int(), "s": StringValidator(max_len=2)})
    seen = []

    def reenter():
        seen.append(validator.validate({"n": 1, "s": "ok"}) is not None)
        seen.append(validator.collect({"n": "x", "s": "long"}))
        seen.append(quillane_core.compile_schema({"n": Int()}) is not None)

    data = {"n": Hook(reenter), "s": "too long"}
    assert validator.collect(data) == [("s", "String length 8 is longer than maximum length 2", "too long")]
    assert seen == [
        True,
        [("n", "Expected int", "x"), ("s", "String length 4 is longer than maximum length 2", "long")],
        True,
    ]


def test_last_references_dropped_mid_call_stay_alive_for_the_call():
    holder = {"validator": quillane_core.compile_schema(ListValidator(Int(max=5)))}
    data = [Hook(lambda: holder.clear()), 9, "x"]
    holder["data"] = data
    collect = holder["validator"].collect
    del data
    entries = collect(holder["data"])
    assert [(path, message) for path, message, _ in entries] == [
        ("[1]", "Value 9 is greater than maximum 5"),
        ("[2]", "Expected int"),
    ]
    assert holder == {}


class OddKey(str):
    """A str key whose equality and hash say nothing useful."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 7


def test_str_subclass_keys_match_fields_by_their_bytes():
    validator = quillane_core.compile_schema({"a": Int(), "b": StringValidator()})
    data = {OddKey("b"): "text"}
    assert validator.collect(data) == [("a", "Missing required field", None)]
    data = {OddKey("a"): 1, "b": "x"}
    assert validator.validate(data) is data


def test_self_containing_list_is_walked_by_the_tree_not_the_data():
    data = []
    data.append(data)
    assert quillane_core.compile_schema(ListValidator(ListValidator(Validator()))).collect(data) == []
    assert quillane_core.compile_schema(ListValidator(Int())).collect(data) == [("[0]", "Expected int", data)]


def test_data_nested_far_deeper_than_the_schema():
    deep = "leaf"
    for _ in range(100_000):
        deep = [deep]
    validator = quillane_core.compile_schema(ListValidator(ListValidator(Validator())))
    assert validator.validate(deep) is deep
    assert quillane_core.compile_schema({"x": Validator()}).collect({"x": deep}) == []
