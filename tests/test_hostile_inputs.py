"""Data and schemas whose own Python code fights the walk.

Each case ends in a correct result or a Python exception, and the validator
keeps giving the same answers afterwards.
"""

import signal
import time

import pytest
from validator_classes import DictValidator, Int, ListValidator, StringValidator, Validator

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


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize(
    "mutate",
    [
        lambda items: items.clear(),
        lambda items: items.pop(),
        # An earlier item deleted: the later ones shift under the walk's position.
        lambda items: items.pop(0),
        lambda items: items.extend(["y"] * 10),
        # Appended by the last item's hook: nothing is left to visit, but the
        # new item would go unchecked.
        lambda items: items.append("y"),
    ],
)
def test_list_changed_in_length_by_the_walk_is_a_fault(method, mutate):
    validator = quillane_core.compile_schema(ListValidator(Int()))
    items = [0, 1, None]
    items[2] = Hook(lambda: mutate(items))
    assert _panic_text(lambda: getattr(validator, method)(items)) == "list changed size during iteration"
    _still_usable(validator, [1, 2], [1, "x"])


def _rotate(items):
    items.append(items.pop(0))


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize(
    ("schema", "data_of"),
    [
        # Every item ahead of the walk moves one place back, behind it: "bad"
        # would never be read, though the list holds it throughout.
        (ListValidator(Int()), lambda hook: [1, hook(_rotate), "bad", 3]),
        (ListValidator(Int()), lambda hook: [1, hook(lambda items: items.__setitem__(0, "bad")), 3]),
        # The inner walk's hook changes the outer list behind the outer walk.
        (ListValidator(ListValidator(Int())), lambda hook: [[0], [hook(lambda items: items.__setitem__(0, ["bad"]))]]),
    ],
    ids=["shifted", "replaced-behind", "outer-replaced-behind"],
)
def test_list_changed_behind_the_walk_at_its_length_is_a_fault(method, schema, data_of):
    validator = quillane_core.compile_schema(schema)
    data = data_of(lambda change: Hook(lambda: change(data)))
    assert _panic_text(lambda: getattr(validator, method)(data)) == "list changed during iteration"
    _still_usable(validator, [], [None])


def test_list_item_replaced_in_place_is_read_at_its_position():
    validator = quillane_core.compile_schema(ListValidator(Int()))
    items = ["x", None, 7]
    items[1] = Hook(lambda: items.__setitem__(2, "z"))
    assert validator.collect(items) == [("[0]", "Expected int", "x"), ("[2]", "Expected int", "z")]
    items = [0, None, "z"]
    items[1] = Hook(lambda: items.__setitem__(2, 5))
    assert validator.validate(items) is items


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


# Faults found by hostile testing ---------------------------------------------


class DelKey(str):
    """A str key whose finaliser runs `on_del` once the last reference goes."""

    def __del__(self):
        self.on_del()


def _key_swap_data():
    """Data whose first value's integer read drops its own key (the walk then
    holds the key's last reference) and inserts another at constant size; the
    key's finaliser deletes the next value, only borrowed from the dict."""
    data = {}
    key = DelKey("a")
    key.on_del = lambda: data.pop("b", None)
    data[key] = Hook(lambda: (data.pop(next(iter(data))), data.__setitem__("c", 0)))
    data["b"] = [object()]
    del key
    return data


@pytest.mark.parametrize(
    "call",
    [
        lambda: quillane_core.compile_schema(RECORD).collect(_key_swap_data()),
        lambda: quillane_core.compile_schema(DictValidator(Int())).collect(_key_swap_data()),
    ],
    ids=["field-map", "str-keyed-dict"],
)
def test_key_finaliser_cannot_free_the_next_entry(call):
    assert _panic_text(call) in ("dictionary keys changed during iteration", "dictionary changed size during iteration")


def test_key_finaliser_during_compile_cannot_free_the_next_entry():
    from compile_support import schema_object

    schema = {}
    key = DelKey("a")
    key.on_del = lambda: schema.pop("b", None)

    def swap():
        schema.pop(next(iter(schema)))
        schema["c"] = Validator()

    schema[key] = schema_object("Validator", before={"_coerce": swap})
    schema["b"] = Validator()
    del key
    assert _panic_text(lambda: quillane_core.compile_schema(schema)) == "dictionary keys changed during iteration"


def _rebuild_table(data):
    # Deleting and re-inserting keys at constant size fills the table with
    # dummies until the dict compacts it, which moves every entry.
    for i in range(64):
        data.pop(f"k{i}")
        data[f"k{i}"] = 0


class Attrs:
    pass


def _instance_dict(change):
    # The instance's own (split-table) dict, changed by attribute assignment
    # while its second value is read.
    holder = Attrs()
    holder.a, holder.b, holder.c = 0, 0, 0
    holder.b = Hook(lambda: change(holder))
    return vars(holder)


def _reorder_attributes(holder):
    # Same size and entry count, other positions: "c" would go unvisited.
    del holder.a
    holder.a = 0
    holder.c = "bad"


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize(
    "case",
    ["compacted", "value-replaced", "instance-dict-reordered", "instance-dict-value-replaced"],
)
def test_dict_changed_at_constant_size_is_a_fault(method, case):
    if case == "compacted":
        data = {f"k{i}": 0 for i in range(64)}
        data = {"first": Hook(lambda: _rebuild_table(data)), **data, "last": "bad"}
        validator = quillane_core.compile_schema(DictValidator(Int()))
    elif case == "value-replaced":
        data = {"a": 0, "b": 0}
        data["b"] = Hook(lambda: data.__setitem__("a", "bad"))
        validator = quillane_core.compile_schema(DictValidator(Int()))
    elif case == "instance-dict-reordered":
        data = _instance_dict(_reorder_attributes)
        validator = quillane_core.compile_schema(DictValidator(Int()))
    else:
        data = _instance_dict(lambda holder: setattr(holder, "a", "bad"))
        validator = quillane_core.compile_schema(DictValidator(Int()))
    assert _panic_text(lambda: getattr(validator, method)(data)) == "dictionary keys changed during iteration"


class IdentityKey(str):
    """Equal only to itself: two of them can spell one field in one dict."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("fillers", [0, 10], ids=["scanned", "indexed"])
@pytest.mark.parametrize(
    "keys",
    [
        (IdentityKey("a"), IdentityKey("a")),
        ("a", IdentityKey("a")),
        (IdentityKey("a"), "a"),
    ],
    ids=["two-subclass-keys", "exact-then-subclass", "subclass-then-exact"],
)
def test_two_keys_spelling_one_field_do_not_stand_in_for_another(keys, fillers):
    names = [f"f{i}" for i in range(fillers)]
    validator = quillane_core.compile_schema({**dict.fromkeys(names, Int()), "a": Int(), "b": Int()})
    data = {keys[0]: 1, **dict.fromkeys(names, 0), keys[1]: 2}
    assert len(data) == fillers + 2
    assert validator.validate(data) is None
    assert validator.collect(data) == [("b", "Missing required field", None)]
    # The same keys in a field map give no compilable schema.
    assert quillane_core.compile_schema({keys[0]: Int(), keys[1]: StringValidator()}) is None


# An object() is smaller than a str's header: read as a str, it would be read
# past its end.
@pytest.mark.parametrize("other_key", [5, object()], ids=["int", "object"])
def test_subclass_key_beside_a_non_str_key(other_key):
    validator = quillane_core.compile_schema({"a": Int(), "b": Int()})
    data = {IdentityKey("a"): 1, other_key: 2}
    assert validator.validate(data) is None
    assert validator.collect(data) is None


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize(
    ("error", "passes_through"),
    [
        (ValueError("no"), False),
        (TypeError("no"), False),
        (OverflowError("no"), False),
        (ZeroDivisionError("no"), False),
        (MemoryError(), True),
        (RecursionError("deep"), True),
        (KeyboardInterrupt(), True),
        (SystemExit(3), True),
        (Interrupt(), True),
    ],
)
@pytest.mark.parametrize("method", ["validate", "collect"])
def test_integer_read_errors_that_are_no_answer_propagate(method, error, passes_through):
    def fail():
        raise error

    validator = quillane_core.compile_schema({"n": Int(), "s": StringValidator()})
    data = {"n": Hook(fail), "s": 5}
    if passes_through:
        with pytest.raises(BaseException) as caught:
            getattr(validator, method)(data)
        assert caught.value is error
    else:
        expected = None if method == "validate" else [("n", "Expected int", data["n"]), ("s", "Expected str", 5)]
        assert getattr(validator, method)(data) == expected


def test_fault_of_a_nested_call_in_an_integer_read_is_resumed(capfd):
    inner = quillane_core.compile_schema({"a": Int()})
    outer = quillane_core.compile_schema(ListValidator(Int()))

    def nested_fault():
        data = {}
        data["a"] = Hook(lambda: data.__setitem__("zz", 0))
        inner.validate(data)

    for method in ("validate", "collect"):
        assert _panic_text(lambda m=method: getattr(outer, m)([Hook(nested_fault)])) == (
            "dictionary changed size during iteration"
        )
    capfd.readouterr()


class Marker:
    pass


@pytest.mark.parametrize("make_value", [dict, lambda: {"x": 1}], ids=["empty-dict", "atoms-only-dict"])
def test_error_entries_never_make_uncollectable_cycles(make_value):
    import gc
    import weakref

    value = make_value()
    errors = quillane_core.compile_schema(Int()).collect(value)
    assert errors == [("", "Expected int", value)]
    marker = Marker()
    value["errors"], value["marker"] = errors, marker
    alive = weakref.ref(marker)
    del errors, value, marker
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize("outer_kind", ["list", "dict"])
@pytest.mark.parametrize("inner_kind", ["list", "dict", "record"])
def test_container_freed_by_python_code_is_held_by_its_walk(method, outer_kind, inner_kind):
    # The inner container's only owner is the outer one, which the hook
    # empties while the inner one is being walked. Walks borrow their
    # containers until Python code may run; under AddressSanitizer a walk
    # that did not take hold then reads freed memory.
    outer = [None] if outer_kind == "list" else {}
    hook = Hook(outer.clear)
    inner, inner_schema = {
        "list": ([hook, 1, "x", 2], ListValidator(Int())),
        "dict": ({"a": hook, "b": 1, "c": "x", "d": 2}, DictValidator(Int())),
        "record": ({"a": hook, "b": 1, "c": "x", "d": 2}, {k: Int() for k in "abcd"}),
    }[inner_kind]
    if outer_kind == "list":
        outer[0] = inner
        schema = ListValidator(inner_schema)
    else:
        outer["v"] = inner
        schema = {"v": inner_schema}
    del inner, hook
    validator = quillane_core.compile_schema(schema)
    if method == "collect":
        # The emptied outer container is a changed one once its walk goes on.
        kind = "dictionary" if outer_kind == "dict" else "list"
        assert _panic_text(lambda: validator.collect(outer)) == f"{kind} changed size during iteration"
    else:
        # validate stops at "x", before the outer walk goes on.
        assert validator.validate(outer) is None


def _long_key_path(key):
    return key if len(key) <= 256 else f"{key[:128]}...({len(key) - 128} more characters)"


@pytest.mark.parametrize(
    "keys",
    [
        ["k" * 256],  # at the bound: written whole
        ["k" * 257],
        ["é" * 100_000],
        ["\u4e00" * 300, "b" * 1000],  # every level is cut on its own
    ],
    ids=["at-bound", "just-over", "non-ascii", "two-levels"],
)
def test_long_data_keys_are_cut_short_in_paths(keys):
    # The sender picks a key's length and the number of entries under it:
    # paths that held the whole key would grow as the product of the two.
    schema = ListValidator(Int())
    data = ["x"] * 1000
    for key in reversed(keys):
        schema, data = DictValidator(schema), {key: data}
    prefix = ".".join(_long_key_path(key) for key in keys)
    errors = quillane_core.compile_schema(schema).collect(data)
    assert [path for path, _, _ in errors] == [f"{prefix}[{i}]" for i in range(1000)]


def _best_time(call, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


class BlockScalar(str):
    """A str subclass, as a YAML loader keeps its block scalars."""


@pytest.mark.parametrize("text_type", [str, BlockScalar])
@pytest.mark.parametrize(
    ("schema", "data_of", "method"),
    [
        (ListValidator(StringValidator()), lambda text, n: [text] * n, "validate"),
        (ListValidator(StringValidator()), lambda text, n: [text] * n, "collect"),
        # A key reached through many references to one dict.
        (ListValidator(DictValidator(Int())), lambda text, n: [{text: 1}] * n, "collect"),
    ],
    ids=["values-validate", "values-collect", "keys-collect"],
)
def test_one_long_str_through_many_references_is_scanned_once_per_call(schema, data_of, method, text_type):
    call = getattr(quillane_core.compile_schema(schema), method)
    text = text_type("\u4e00" * 1_000_000)  # two-byte units, no UTF-8 form: scanned for lone surrogates
    once, many = data_of(text, 1), data_of(text, 2000)
    assert call(many) is many if method == "validate" else call(many) == []
    # A scan per reference would cost 2000 times one; one scan per call and
    # a lookup per reference costs little more than one.
    assert _best_time(lambda: call(many)) < 20 * _best_time(lambda: call(once))


class _Alarm(Exception):
    pass


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize("handler_does", ["raise", "change-the-data"])
def test_signal_handlers_run_during_a_long_call(method, handler_does):
    # 200 million integer reads, and a last item whose read tells that the
    # walk got to the end.
    reached_the_end = []
    row = [0] * 100_000
    data = [row] * 2000 + [[Hook(lambda: reached_the_end.append(True))]]

    def handler(signum, frame):
        if handler_does == "raise":
            raise _Alarm
        data.append([0])

    validator = quillane_core.compile_schema(ListValidator(ListValidator(Int())))
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        if handler_does == "raise":
            with pytest.raises(_Alarm):
                getattr(validator, method)(data)
        else:
            assert _panic_text(lambda: getattr(validator, method)(data)) == "list changed size during iteration"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert reached_the_end == []
