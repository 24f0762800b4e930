"""How compile_schema, validate and collect bind their single argument."""

import sys

import pytest
from validator_classes import Int, StringValidator

from quillane_core import compile_schema

VALIDATOR = compile_schema({"n": Int()})

# (callable, full name used in messages, parameter name, the other callables' parameter name)
CALLABLES = [
    pytest.param(compile_schema, "compile_schema()", "schema", "data", id="compile_schema"),
    pytest.param(VALIDATOR.validate, "NativeValidator.validate()", "data", "schema", id="validate"),
    pytest.param(VALIDATOR.collect, "NativeValidator.collect()", "data", "schema", id="collect"),
]

# (positional count, keyword names in call order, message after the full name);
# {p} is the parameter's name, {o} the other parameter name, {u} the parameter's name upper-cased.
WRONG_CALLS = [
    (0, [], "missing 1 required positional argument: '{p}'"),
    (2, [], "takes 1 positional arguments but 2 were given"),
    (3, [], "takes 1 positional arguments but 3 were given"),
    (2, ["x"], "takes 1 positional arguments but 2 were given"),
    (2, ["{p}"], "takes 1 positional arguments but 2 were given"),
    (0, ["foo"], "got an unexpected keyword argument 'foo'"),
    (1, ["strict"], "got an unexpected keyword argument 'strict'"),
    (0, ["zeta", "alpha"], "got an unexpected keyword argument 'zeta'"),
    (0, ["extra", "{p}"], "got an unexpected keyword argument 'extra'"),
    (0, ["{p}", "extra"], "got an unexpected keyword argument 'extra'"),
    (0, ["{o}"], "got an unexpected keyword argument '{o}'"),
    (0, ["{u}"], "got an unexpected keyword argument '{u}'"),
    (0, ["déjà"], "got an unexpected keyword argument 'déjà'"),
    (0, ["\udc80"], "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (1, ["ab\udc80cd"], "got an unexpected keyword argument 'ab\ufffd\ufffd\ufffdcd'"),
    (1, ["{p}"], "got multiple values for argument '{p}'"),
    (1, ["{p}", "extra"], "got multiple values for argument '{p}'"),
    (1, ["extra", "{p}"], "got an unexpected keyword argument 'extra'"),
]


def type_error_text(func, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize(("func", "full_name", "param", "other"), CALLABLES)
@pytest.mark.parametrize(("positional", "keywords", "message"), WRONG_CALLS)
def test_wrong_call_message(func, full_name, param, other, positional, keywords, message):
    names = {"p": param, "o": other, "u": param.upper()}
    kwargs = {keyword.format(**names): {} for keyword in keywords}
    text = type_error_text(func, *[{}] * positional, **kwargs)
    assert text == f"{full_name} {message.format(**names)}"


class ShownKeyword(str):
    def __str__(self):
        return "shown"


class UnprintableKeyword(str):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(("func", "full_name", "param", "other"), CALLABLES)
def test_unexpected_keyword_is_shown_by_its_str(func, full_name, param, other, monkeypatch):
    assert type_error_text(func, **{ShownKeyword("x"): 1}) == f"{full_name} got an unexpected keyword argument 'shown'"
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value))))
    text = type_error_text(func, **{UnprintableKeyword("x"): 1})
    assert text == f"{full_name} got an unexpected keyword argument '<unprintable UnprintableKeyword object>'"
    assert seen == [(ValueError, "no text")]


@pytest.mark.parametrize(
    ("func", "keyword", "argument", "expected"),
    [
        (compile_schema, "schema", {"n": Int()}, "NativeValidator"),
        (VALIDATOR.validate, "data", {"n": 1}, "dict"),
        (VALIDATOR.collect, "data", {"n": 1}, "list"),
    ],
    ids=["compile_schema", "validate", "collect"],
)
def test_keyword_compared_by_its_text_not_its_str(func, keyword, argument, expected):
    assert type(func(**{ShownKeyword(keyword): argument})).__name__ == expected


def test_compile_schema_by_keyword_equals_positional():
    schema = {"name": StringValidator(min_len=2), "n": Int(min=0)}
    data = {"name": "a", "n": -1}
    assert compile_schema(schema=schema).collect(data) == compile_schema(schema).collect(data) != []
    assert compile_schema(schema=StringValidator(regex="x")) is None
    with pytest.raises(AttributeError):
        compile_schema(schema=5)


@pytest.mark.parametrize("data", [{"n": 1}, {"n": "x"}, {}, {"m": 1}, 7, None])
def test_methods_by_keyword_equal_positional(data):
    assert VALIDATOR.validate(data=data) is VALIDATOR.validate(data)
    assert VALIDATOR.collect(data=data) == VALIDATOR.collect(data)


def test_validate_by_keyword_returns_the_same_object():
    data = {"n": 3}
    assert VALIDATOR.validate(data=data) is data


def test_failed_binding_takes_no_reference():
    data = {"n": 1}
    before = sys.getrefcount(data)
    for _ in range(100):
        for call in (
            lambda: VALIDATOR.validate(data, data),
            lambda: VALIDATOR.collect(data, extra=data),
            lambda: compile_schema(data, schema=data),
        ):
            with pytest.raises(TypeError):
                call()
    assert sys.getrefcount(data) == before
