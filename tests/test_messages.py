"""How numbers are written into the messages of collect."""

import math
import re
import sys
from decimal import Decimal

import pytest
import reference_model as model
from hypothesis import example, given, settings
from hypothesis import strategies as st
from validator_classes import Float, Int, ListValidator, StringValidator
from value_shapes import INT64_MAX, INT64_MIN, compiled

MAX_DOUBLE = sys.float_info.max
TINY = 5e-324


def only_message(schema, value):
    result = compiled(schema).collect(value)
    assert len(result) == 1 and result[0][0] == "" and result[0][2] is value
    return result[0][1]


def rendered(x):
    """The module's text for ``x``, once as a failing value and once as the bound it broke."""
    as_value = re.fullmatch(r"Value (\S+) is greater than maximum -inf", only_message(Float(max=-math.inf), x))
    as_bound = re.fullmatch(
        r"Value -inf must be greater than (\S+)", only_message(Float(min=x, exclusive_min=True), -math.inf)
    )
    return as_value[1], as_bound[1]


def positional(x):
    """The shortest digits of ``repr(x)``, laid out without an exponent."""
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    sign, digit_tuple, exponent = Decimal(repr(x)).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    exponent += len(digit_tuple) - len(digits)
    if exponent >= 0:
        text = digits + "0" * exponent
    elif len(digits) > -exponent:
        text = digits[:exponent] + "." + digits[exponent:]
    else:
        text = "0." + "0" * (-exponent - len(digits)) + digits
    return "-" * sign + text


@pytest.mark.parametrize(
    "x, text",
    [
        (1.0, "1"),
        (-2.5, "-2.5"),
        (0.1, "0.1"),
        (0.1 + 0.2, "0.30000000000000004"),
        (100.0, "100"),
        (1e16, "1" + "0" * 16),
        (1e21, "1" + "0" * 21),
        (1.5e-7, "0.00000015"),
        (123456.789, "123456.789"),
        (2.0**53, "9007199254740992"),
        (MAX_DOUBLE, "17976931348623157" + "0" * 292),
        (TINY, "0." + "0" * 323 + "5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (math.inf, "inf"),
    ],
)
def test_double_examples(x, text):
    assert rendered(x) == (text, text)
    assert model.render_double(x) == text


@given(st.floats(allow_nan=False, allow_infinity=False))
@example(2.0**53)
@example(1e21)
@example(1e300)
@example(-MAX_DOUBLE)
@example(TINY * 3)
@example(2.2250738585072014e-308)
@example(9.999999999999999e22)
@example(1e-5)
@example(-0.0)
@settings(max_examples=300, deadline=None)
def test_doubles_render_as_repr_digits_without_exponent(x):
    text = positional(x)
    assert rendered(x) == (text, text)
    assert model.render_double(x) == text


def test_nan_never_reaches_a_message():
    assert compiled(Float(max=-math.inf)).collect(math.nan) == []
    assert compiled(Float(min=math.nan, max=math.nan)).collect(-math.inf) == []
    assert model.render_double(math.nan) == model.render_double(-math.nan) == "NaN"


@pytest.mark.parametrize(
    "schema, value, message",
    [
        (Int(min=5.0), 3, "Value 3 is less than minimum 5"),
        (Int(min=2.5), 2, "Value 2 is less than minimum 2.5"),
        (Float(max=1e299), 1e300, "Value 1" + "0" * 300 + " is greater than maximum 1" + "0" * 299),
        (Float(max=10), math.inf, "Value inf is greater than maximum 10"),
        (Float(min=0), -math.inf, "Value -inf is less than minimum 0"),
        (Float(max=math.inf, exclusive_max=True), math.inf, "Value inf must be less than inf"),
        (Float(min=-0.0, exclusive_min=True), -0.0, "Value -0 must be greater than -0"),
        (Int(max=-0.0), 1, "Value 1 is greater than maximum -0"),
        # an int value keeps every digit although it was compared as a double
        (Int(max=2**53, exclusive_max=True), 2**53 + 1, "Value 9007199254740993 must be less than 9007199254740992"),
        (Int(min=0), INT64_MIN, "Value -9223372036854775808 is less than minimum 0"),
        (Int(max=0), INT64_MAX, "Value 9223372036854775807 is greater than maximum 0"),
        # an int bound is the double it was stored as
        (Int(min=INT64_MAX), 0, "Value 0 is less than minimum 9223372036854776000"),
        (Int(max=-(2**70)), -1, "Value -1 is greater than maximum -1180591620717411300000"),
        (
            StringValidator(min_len=2**64 - 1),
            "x",
            "String length 1 is shorter than minimum length 18446744073709551615",
        ),
        (ListValidator(Int(), max_len=9), list(range(12)), "List length 12 is longer than maximum length 9"),
    ],
)
def test_range_and_length_messages(schema, value, message):
    assert only_message(schema, value) == message
