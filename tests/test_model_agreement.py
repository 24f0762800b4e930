"""The native module against the pure-Python reference model.

Schemas are generated from the schema classes; data is mostly derived from the
schema (close to valid, with a few mutations) so that the walks get deep and
meet their bounds, and partly plain noise.
"""

import ctypes
import math
import os

import reference_model as model
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from validator_classes import (
    BoolValidator,
    DictValidator,
    Float,
    Int,
    ListValidator,
    NumberValidator,
    StringValidator,
    Validator,
)
from value_shapes import INT64_MAX, INT64_MIN, DictSub, FloatSub, Indexable, IntSub, ListSub, StrSub

import quillane_core

# tools/fuzz.sh raises the budget to fuzz for hours; the suite keeps it small.
SETTINGS = settings(
    max_examples=int(os.environ.get("QUILLANE_FUZZ_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Opaque:
    def __repr__(self):
        return "Opaque()"


class OtherValidator(Validator):
    """A validator class the compiler does not know."""


EDGE_INTS = [
    0,
    1,
    -1,
    2**53,
    2**53 + 1,
    -(2**53) - 1,
    INT64_MAX,
    INT64_MIN,
    INT64_MAX - 511,
    INT64_MAX - 512,
    2**63,
    INT64_MIN - 1,
    2**64,
    2**100,
    -(2**100),
]
EDGE_FLOATS = [
    0.0,
    -0.0,
    0.5,
    -2.5,
    1.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e300,
    2.0**53,
    0.1 + 0.2,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
]
SURROGATES = ["\ud800", "\udfff", "a\udc80b"]
# One alphabet per storage width of a str: 1, 2 and 4 bytes per code point.
ALPHABETS = ["abcxyz\u00e9\u00ff", "ab\u0436\u4e2d\u20ac\uffff", "a\u4e2d\U0001f600\U0010ffff"]


def _cache_utf8(text):
    """The str with its UTF-8 form made and kept, as the interpreter does
    for strs that have been through some C API calls."""
    ctypes.pythonapi.PyUnicode_AsUTF8.restype = ctypes.c_void_p
    ctypes.pythonapi.PyUnicode_AsUTF8(ctypes.py_object(text))
    return text


@st.composite
def wide_texts(draw, size=None, surrogate=False):
    """Fresh strs of every width, optionally with a lone surrogate at any
    position, optionally with their UTF-8 form already cached."""
    alphabet = draw(st.sampled_from(ALPHABETS))
    if size is None:
        size = draw(st.integers(0, 12))
    chars = draw(st.lists(st.sampled_from(alphabet), min_size=size, max_size=size))
    if surrogate:
        chars.insert(draw(st.integers(0, len(chars))), draw(st.sampled_from(["\ud800", "\udbff", "\udc00", "\udfff"])))
    text = "".join(chars)
    if not surrogate and draw(st.integers(0, 3)) == 0:
        text = _cache_utf8(text)
    return text


noise = st.one_of(
    st.sampled_from(
        [
            None,
            True,
            False,
            0,
            1,
            -1,
            2**63,
            1.0,
            math.nan,
            math.inf,
            "",
            "x",
            "\u00e9",
            "\ud800",
            b"x",
            (),
            (1,),
            [],
            [1],
            {},
            {"a": 1},
            {1: 1},
            Opaque(),
        ]
    ),
    st.builds(Indexable, st.sampled_from([3, -3, 2**64, 1.5, "2", ValueError("no")])),
    st.builds(IntSub, st.integers(-5, 5)),
    st.builds(FloatSub, st.floats(-10, 10)),
    st.builds(StrSub, st.text(max_size=3)),
    st.integers(),
    st.floats(),
    st.text(max_size=4),
)

# Schemas ----------------------------------------------------------------------


def bounds(integer_family):
    return st.one_of(
        st.none(),
        st.none(),
        st.integers(-10, 10),
        st.sampled_from(EDGE_FLOATS),
        st.floats(),
        *([st.sampled_from(EDGE_INTS)] if integer_family else []),
    )


def number_schemas(type_cls):
    return st.builds(
        NumberValidator,
        st.just(type_cls),
        min=bounds(type_cls is int),
        max=bounds(type_cls is int),
        exclusive_min=st.booleans(),
        exclusive_max=st.booleans(),
    )


counts = st.one_of(st.none(), st.none(), st.integers(0, 4), st.just(2**64 - 1))
field_names = st.text(alphabet="ab.[]0 \u00e9\u0436\U0001f600", max_size=3)
leaves = st.one_of(
    st.builds(Validator),
    st.builds(BoolValidator),
    number_schemas(int),
    number_schemas(float),
    st.builds(StringValidator, min_len=counts, max_len=counts),
)
not_compilable_leaves = st.sampled_from(
    [
        lambda: Validator(coerce=True),
        lambda: Validator(custom_checks=[len]),
        lambda: Validator(when_condition="x"),
        lambda: BoolValidator(env_key="HOME"),
        lambda: StringValidator(regex=""),
        lambda: NumberValidator(bool),
        lambda: NumberValidator(complex),
        lambda: DictValidator(Int(), key_type=int),
        OtherValidator,
    ]
).map(lambda make: make())


def containers(children):
    return st.one_of(
        st.builds(ListValidator, children, min_len=counts, max_len=counts),
        st.builds(ListValidator, children),
        st.builds(DictValidator, children),
        st.dictionaries(field_names, children, max_size=4),
    )


compilable_schemas = st.recursive(leaves, containers, max_leaves=8)
any_schemas = st.recursive(
    st.one_of(leaves, not_compilable_leaves),
    lambda children: st.one_of(
        containers(children),
        st.dictionaries(st.one_of(field_names, st.sampled_from([1, "\ud800"])), children, max_size=3),
    ),
    max_leaves=6,
)

# Data close to a schema ----------------------------------------------------------


def int_near(draw, schema):
    anchors = [0] + [int(b) for b in (schema._min, schema._max) if b is not None and math.isfinite(float(b))]
    anchor = draw(st.sampled_from(anchors))
    number = draw(
        st.one_of(st.integers(anchor - 3, anchor + 3), st.sampled_from(EDGE_INTS), st.integers(INT64_MIN, INT64_MAX))
    )
    wrap = draw(st.integers(0, 9))
    if wrap == 0:
        return Indexable(number)
    if wrap == 1 and INT64_MIN <= number <= INT64_MAX:
        return IntSub(number)
    return draw(st.booleans()) if wrap == 2 else number


def float_near(draw, schema):
    anchor = draw(st.sampled_from([0.0] + [float(b) for b in (schema._min, schema._max) if b is not None]))
    candidates = [st.sampled_from(EDGE_FLOATS), st.floats()]
    if math.isfinite(anchor):
        candidates += [
            st.sampled_from([anchor, math.nextafter(anchor, math.inf), math.nextafter(anchor, -math.inf), -anchor]),
            st.floats(anchor - 2, anchor + 2),
        ]
    number = draw(st.one_of(candidates))
    return FloatSub(number) if draw(st.integers(0, 9)) == 0 else number


def text_near(draw, schema):
    lengths = [0, 1, 3]
    for bound in (schema._min_len, schema._max_len):
        if bound is not None and bound < 10:
            lengths += [bound, bound + 1, max(bound - 1, 0)]
    size = draw(st.sampled_from(lengths))
    text = draw(st.one_of(st.text(min_size=size, max_size=size), wide_texts(size)))
    pick = draw(st.integers(0, 14))
    if pick == 0:
        return draw(st.one_of(st.sampled_from(SURROGATES), wide_texts(surrogate=True)))
    return StrSub(text) if pick == 1 else text


def key_for(draw):
    pick = draw(st.integers(0, 19))
    if pick == 0:
        return draw(st.sampled_from([1, None, (1,), 2.5]))
    if pick == 1:
        return draw(st.one_of(st.sampled_from(SURROGATES), wide_texts(surrogate=True)))
    if pick == 3:
        return draw(wide_texts())
    return StrSub(draw(field_names)) if pick == 2 else draw(field_names)


@st.composite
def data_for(draw, schema):
    """A value for ``schema``: usually close to valid, sometimes noise."""
    if draw(st.integers(0, 11)) == 0:
        return draw(noise)
    if isinstance(schema, dict):
        return draw(record_for(schema))
    name = type(schema).__name__
    if name == "BoolValidator":
        return draw(st.sampled_from([True, False, 0, 1]))
    if name == "NumberValidator":
        return (int_near if getattr(schema._type_cls, "__name__", None) == "int" else float_near)(draw, schema)
    if name == "StringValidator":
        return text_near(draw, schema)
    if name == "ListValidator":
        sizes = [0, 1, 2, 3] + [
            n + d for n in (schema._min_len, schema._max_len) if n is not None and n < 6 for d in (0, 1)
        ]
        items = [draw(data_for(schema._item_validator)) for _ in range(draw(st.sampled_from(sizes)))]
        shape = draw(st.integers(0, 11))
        return tuple(items) if shape == 0 else ListSub(items) if shape == 1 else items
    if name == "DictValidator":
        result = {key_for(draw): draw(data_for(schema._value_validator)) for _ in range(draw(st.integers(0, 3)))}
        return DictSub(result) if draw(st.integers(0, 9)) == 0 else result
    return draw(noise)


@st.composite
def record_for(draw, fields):
    """Fields of ``fields`` (a few left out) and a few extra keys, in any order."""
    entries = [(name, draw(data_for(sub))) for name, sub in fields.items() if draw(st.integers(0, 9)) > 0]
    entries += [(key_for(draw), draw(noise)) for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2])))]
    result = DictSub() if draw(st.integers(0, 9)) == 0 else {}
    for key, value in draw(st.permutations(entries)):
        result[key] = value
    return result


def with_data(schemas):
    return schemas.flatmap(lambda schema: st.tuples(st.just(schema), data_for(schema)))


# Comparison ----------------------------------------------------------------------


def outcome(call):
    try:
        return "value", call()
    except Exception as error:
        return "raised", type(error)


def compile_both(schema):
    """The native validator and the model's tree, or None where neither compiles."""
    native, reference = (
        outcome(lambda: quillane_core.compile_schema(schema)),
        outcome(lambda: model.compile_schema(schema)),
    )
    if "raised" in (native[0], reference[0]):
        assert native == reference
        return None
    assert (native[1] is None) == (reference[1] is model.NOT_COMPILABLE)
    return None if native[1] is None else (native[1], reference[1])


def assert_agree(validator, tree, data):
    validated, expected = outcome(lambda: validator.validate(data)), outcome(lambda: model.validate(tree, data))
    assert validated[0] == expected[0] and validated[1] is expected[1]
    collected, expected = outcome(lambda: validator.collect(data)), outcome(lambda: model.collect(tree, data))
    assert collected[0] == expected[0]
    if collected[0] == "raised" or None in (collected[1], expected[1]):
        assert collected[1] is expected[1]
    else:
        assert [entry[:2] for entry in collected[1]] == [entry[:2] for entry in expected[1]]
        assert all(got[2] is want[2] for got, want in zip(collected[1], expected[1], strict=True))
    event(
        "raised"
        if collected[0] == "raised"
        else "undecided"
        if collected[1] is None
        else "invalid"
        if collected[1]
        else "valid"
    )
    # Where neither raised, validate accepts exactly the data that collect finds no fault with.
    if validated[0] == collected[0] == "value" and data is not None:
        assert (validated[1] is data) == (collected[1] == [])


@given(with_data(compilable_schemas))
@SETTINGS
def test_generated_schemas_and_close_data(case):
    schema, data = case
    assert_agree(*compile_both(schema), data)


@given(with_data(any_schemas))
@SETTINGS
def test_schemas_with_features_the_tree_cannot_hold(case):
    schema, data = case
    both = compile_both(schema)
    if both is not None:
        assert_agree(*both, data)


@given(st.dictionaries(field_names, leaves, max_size=5).flatmap(lambda s: st.tuples(st.just(s), record_for(s))))
@SETTINGS
def test_records_with_extra_missing_and_odd_keys(case):
    schema, data = case
    assert_agree(*compile_both(schema), data)


@given(
    st.one_of(number_schemas(int), number_schemas(float)),
    st.lists(st.one_of(st.integers(), st.floats(), st.sampled_from(EDGE_INTS + EDGE_FLOATS)), max_size=6),
)
@SETTINGS
def test_number_bounds_on_many_values(schema, values):
    validator, tree = compile_both(ListValidator(schema))
    assert_agree(validator, tree, values)
    for value in values:
        assert_agree(validator, tree, [value])


@given(st.floats(), st.floats(), st.booleans(), st.booleans(), st.floats())
@SETTINGS
def test_float_ranges(low, high, exclusive_min, exclusive_max, value):
    assert_agree(
        *compile_both(Float(min=low, max=high, exclusive_min=exclusive_min, exclusive_max=exclusive_max)), value
    )


@given(
    st.one_of(st.none(), st.integers(-(2**70), 2**70)),
    st.one_of(st.none(), st.integers(-(2**70), 2**70)),
    st.booleans(),
    st.booleans(),
    st.integers(-(2**65), 2**65),
)
@SETTINGS
def test_int_ranges(low, high, exclusive_min, exclusive_max, value):
    assert_agree(*compile_both(Int(min=low, max=high, exclusive_min=exclusive_min, exclusive_max=exclusive_max)), value)
