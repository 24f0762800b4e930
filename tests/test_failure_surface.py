"""Internal faults and how they reach Python as PanicException."""

import gc
import sys

import pytest
from compile_support import (
    CHANGED_SIZE,
    KEYS_CHANGED,
    adds_key,
    field_map,
    growing_schema,
    mutating,
    raised,
    run_python,
    schema_object,
)
from validator_classes import DictValidator, Int, ListValidator, StringValidator, Validator

from quillane_core import NativeValidator, compile_schema

PanicException = type(raised(growing_schema()))


def key_swapping_schema():
    """Same size before and after, but a visited key is replaced by a new one,
    so the iteration yields more items than the dict had."""
    return field_map(lambda d: {"a": mutating(lambda: (d.pop("a"), d.__setitem__("c", Validator()))), "b": Validator()})


def test_panic_exception_class():
    assert (PanicException.__name__, PanicException.__qualname__, PanicException.__module__) == (
        "PanicException",
        "PanicException",
        "pyo3_runtime",
    )
    assert PanicException.__bases__ == (BaseException,) and not issubclass(PanicException, Exception)
    assert isinstance(PanicException.__doc__, str) and PanicException.__doc__.strip()


@pytest.mark.parametrize(
    ("make_schema", "message"),
    [
        (growing_schema, CHANGED_SIZE),
        (lambda: field_map(lambda d: {"a": Validator(), "b": adds_key(d)}), CHANGED_SIZE),
        (
            lambda: field_map(lambda d: {"a": mutating(lambda: d.pop("c")), "b": Validator(), "c": Validator()}),
            CHANGED_SIZE,
        ),
        (lambda: {"outer": field_map(lambda d: {"x": adds_key(d), "z": Validator()})}, CHANGED_SIZE),
        (lambda: {"l": ListValidator(DictValidator(field_map(lambda d: {"x": adds_key(d)})))}, CHANGED_SIZE),
        (lambda: field_map(lambda d: {"outer": {"x": adds_key(d)}, "after": Validator()}), CHANGED_SIZE),
        (key_swapping_schema, KEYS_CHANGED),
    ],
    ids=["grow", "grow-last", "shrink", "inner", "below-list", "outer-from-inner", "swap-keys"],
)
def test_field_map_mutated_while_compiled_panics(make_schema, message):
    error = raised(make_schema())
    assert (type(error), error.args, str(error)) == (PanicException, (message,), message)


def test_fault_reported_on_stderr_only_and_module_works_after(capfd):
    capfd.readouterr()
    raised(key_swapping_schema())
    raised(growing_schema())
    out, err = capfd.readouterr()
    assert (out, KEYS_CHANGED in err, CHANGED_SIZE in err) == ("", True, True)
    validator = compile_schema({"name": StringValidator(min_len=1), "n": Int(min=0)})
    assert type(validator) is NativeValidator
    assert validator.collect({"n": -1}) == [
        ("n", "Value -1 is less than minimum 0", -1),
        ("name", "Missing required field", None),
    ]


def panic_kind(call, *args):
    try:
        call(*args)
    except BaseException as exc:
        return type(exc).__name__
    return None


def test_compile_panic_releases_schema_references():
    schema = growing_schema()
    value = schema["b"]
    gc.collect()
    before = (sys.getrefcount(schema), sys.getrefcount(value))
    kinds = set()
    for _ in range(50):
        schema.pop("added", None)
        kinds.add(panic_kind(compile_schema, schema))
    schema.pop("added", None)
    gc.collect()
    assert (kinds, sys.getrefcount(schema), sys.getrefcount(value)) == ({"PanicException"}, *before)


# --- a PanicException that travels back through Python code -------------------


def reraising(error):
    return schema_object("Validator", fail={"_coerce": error})


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def test_resumed_panic_is_a_new_exception_with_the_same_text(capfd):
    original = raised(growing_schema())
    for schema in (reraising(original), {"a": {"b": reraising(original)}}):
        error = raised(schema)
        assert (type(error), error.args, error is original) == (PanicException, (CHANGED_SIZE,), False)
    capfd.readouterr()
    error = raised({"x": reraising(PanicException("made in Python"))})
    assert (type(error), error.args) == (PanicException, ("made in Python",))
    assert "pyo3_runtime.PanicException: made in Python" in capfd.readouterr().err
    error = raised(reraising(PanicException(Unprintable())))
    assert (type(error), len(error.args), type(error.args[0])) == (PanicException, 1, str)
    assert compile_schema(Int(max=1)).validate(2) is None


@pytest.mark.parametrize("entry", ["compile", "collect"])
def test_fault_report_leaves_excepthook_and_last_exception_alone(entry, monkeypatch, capfd):
    # An application's excepthook may end the process; a fault the caller
    # handles must reach the caller's own except clause first.
    hook_calls = []
    monkeypatch.setattr(sys, "excepthook", lambda *args: hook_calls.append(args) or sys.exit(9))
    monkeypatch.delattr(sys, "last_exc", raising=False)
    original = raised(growing_schema())
    if entry == "compile":
        error = raised(reraising(original))
    else:

        class Reraise:
            def __index__(self):
                raise original

        with pytest.raises(BaseException) as caught:
            compile_schema(ListValidator(Int())).collect([Reraise()])
        error = caught.value
    assert (type(error), error.args) == (PanicException, (CHANGED_SIZE,))
    assert hook_calls == []
    assert not hasattr(sys, "last_exc")
    assert "PanicException: dictionary changed size during iteration" in capfd.readouterr().err


def test_panic_subclass_passes_through_unchanged():
    original = type("Derived", (PanicException,), {})("derived")
    assert raised(reraising(original)) is original


# --- faults during a walk ------------------------------------------------------


def index_runs(action):
    """An int-like value (1) whose conversion runs action first."""
    return type("IntLike", (), {"__index__": lambda self: (action(), 1)[1]})()


def grows(data):
    return index_runs(lambda: data.__setitem__("added", 0))


def swaps(data):
    return index_runs(lambda: (data.pop("a"), data.__setitem__("c", 0)))


WALKED = {"dict": DictValidator(Int()), "fields": {"a": Int(), "b": Int()}}


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize(
    ("node", "mutation", "message"),
    [("dict", grows, CHANGED_SIZE), ("fields", grows, CHANGED_SIZE), ("dict", swaps, KEYS_CHANGED)],
)
def test_dict_mutated_during_walk_panics_and_instance_stays_usable(node, mutation, message, method):
    validator = compile_schema(WALKED[node])
    data = {}
    data["a"] = mutation(data)
    data["b"] = 2
    with pytest.raises(PanicException) as info:
        getattr(validator, method)(data)
    assert info.value.args == (message,)
    assert validator.collect({"a": "y", "b": 1}) == [("a", "Expected int", "y")]


def test_walk_panic_releases_data_references():
    validator = compile_schema(DictValidator(Int()))
    data = {}
    item = data["a"] = grows(data)
    gc.collect()
    before = (sys.getrefcount(data), sys.getrefcount(item), sys.getrefcount(validator))
    kinds = set()
    for _ in range(50):
        for method in (validator.collect, validator.validate):
            data.pop("added", None)
            kinds.add(panic_kind(method, data))
    del method
    data.pop("added", None)
    gc.collect()
    after = (sys.getrefcount(data), sys.getrefcount(item), sys.getrefcount(validator))
    assert (kinds, after) == ({"PanicException"}, before)


def test_uncaught_panic_ends_script_with_traceback():
    result = run_python(
        """
        from compile_support import growing_schema
        import quillane_core
        try:
            quillane_core.compile_schema(growing_schema())
        except Exception:
            print("caught as Exception")
    """,
        timeout=60,
    )
    last_line = result.stderr.strip().splitlines()[-1]
    assert (result.returncode, result.stdout, last_line) == (1, "", f"pyo3_runtime.PanicException: {CHANGED_SIZE}")
