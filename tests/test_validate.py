"""NativeValidator.validate: the short-circuiting conformance check."""

import math
import sys

import pytest
from validator_classes import BoolValidator, DictValidator, Float, Int, ListValidator, StringValidator, Validator
from value_shapes import (
    INT64_MAX,
    INT64_MIN,
    DictSub,
    FloatSub,
    Indexable,
    IntSub,
    ListSub,
    OnIndex,
    StrSub,
    compiled,
)

TINY = 5e-324
AB = {"a": Int(), "b": StringValidator()}


def passes(schema, value):
    """True when validate hands back ``value`` itself, False when it returns None."""
    result = compiled(schema).validate(value)
    assert result is None or result is value
    return result is value


@pytest.mark.parametrize(
    "schema, value, expected",
    [
        # bool, int and float are told apart; True is the int 1
        (Int(), True, True),
        (Int(min=2), True, False),
        (BoolValidator(), False, True),
        (BoolValidator(), 1, False),
        (Float(), 1, False),
        (Float(), True, False),
        (Int(), 1.0, False),
        (Int(min=0), "1", False),
        # signed 64-bit range, with and without bounds that would admit more
        (Int(), INT64_MAX, True),
        (Int(), 2**63, False),
        (Int(max=0), INT64_MIN, True),
        (Int(), INT64_MIN - 1, False),
        (Int(max=1e300), 2**64, False),
        (Int(min=-1e300, exclusive_min=True), -(2**200), False),
        # ints are compared as the nearest double; bounds are stored as doubles
        (Int(max=2**53), 2**53 + 1, True),
        (Int(max=2**53), 2**53 + 2, False),
        (Int(min=2**53 + 1), 2**53, True),
        (Int(max=INT64_MAX, exclusive_max=True), INT64_MAX, False),
        (Int(max=INT64_MAX, exclusive_max=True), INT64_MAX - 511, False),  # halfway: ties to even, up to 2**63
        (Int(max=INT64_MAX, exclusive_max=True), INT64_MAX - 512, True),
        # __index__ objects and int subclasses
        (Int(), Indexable(5), True),
        (Int(max=10), Indexable(11), False),
        (Int(), Indexable(2**63), False),
        (Int(), Indexable(5.0), False),
        (Int(), Indexable(ValueError("no")), False),
        (Int(max=10), IntSub(3), True),
        (Float(max=1.0), FloatSub(0.5), True),
        (Float(max=1.0), FloatSub(2.0), False),
        # NaN never breaks a bound; infinities
        (Float(min=0, max=1), math.nan, True),
        (Float(min=0, max=1, exclusive_min=True, exclusive_max=True), -math.nan, True),
        (Float(min=math.inf), math.nan, True),
        (Float(min=math.nan, max=math.nan, exclusive_min=True), -math.inf, True),
        (Int(min=math.nan, max=math.nan), -5, True),
        (Float(max=10), math.inf, False),
        (Float(max=math.inf), math.inf, True),
        (Float(max=math.inf, exclusive_max=True), math.inf, False),
        (Float(min=-math.inf, exclusive_min=True), -math.inf, False),
        (Int(max=math.inf), INT64_MAX, True),
        # inclusive and exclusive bounds; a flag without its bound imposes nothing
        (Float(min=0, exclusive_min=True), 0.0, False),
        (Float(min=0, exclusive_min=True), -0.0, False),
        (Float(min=0, exclusive_min=True), TINY, True),
        (Float(min=0), -0.0, True),
        (Float(exclusive_min=True), -1e308, True),
        (Float(exclusive_min=True), -math.inf, True),
        (Float(max=1.0, exclusive_min=True), -math.inf, True),
        (Float(exclusive_max=True), math.inf, True),
        (Int(exclusive_max=True), INT64_MAX, True),
        (Float(max=1.0, exclusive_max=True), math.nextafter(1.0, 0.0), True),
        (Float(max=1.0), math.nextafter(1.0, 2.0), False),
        (Int(min=5, exclusive_min=True), 5, False),
        (Int(min=5, exclusive_min=True), 6, True),
        (Int(min=5), 5, True),
        (Int(min=5, exclusive_max=True), 4, False),
        (Int(max=7, exclusive_max=True), 7, False),
        (Int(max=7, exclusive_min=True), 7, True),
        (Int(min=10, max=0), 5, False),
        # str lengths in code points, unsigned 64-bit bounds
        (StringValidator(max_len=1), "\u00e9", True),
        (StringValidator(min_len=2), "\u00e9", False),
        (StringValidator(min_len=5, max_len=5), "h\u00e9llo", True),
        (StringValidator(max_len=1), "\U0001f600", True),
        (StringValidator(max_len=3), "\u65e5\u672c\u8a9e\u6587", False),
        (StringValidator(min_len=3, max_len=3), "a\x00b", True),
        (StringValidator(min_len=1), "", False),
        (StringValidator(max_len=2**64 - 1), "abc", True),
        (StringValidator(min_len=2**64 - 1), "abc", False),
        (StringValidator(max_len=1), StrSub("xy"), False),
        (StringValidator(), b"x", False),
        # lists: tuples fail, subclasses count, lengths come before items
        (ListValidator(Int()), (1, 2), False),
        (ListValidator(Validator()), (), False),
        (ListValidator(Int()), ListSub([1, 2]), True),
        (ListValidator(Int()), ListSub([1, "x"]), False),
        (ListValidator(Int(min=0, max=-1)), [], True),
        (ListValidator(Int(), min_len=1), [], False),
        (ListValidator(Int(), min_len=0), [], True),
        (ListValidator(Int(), max_len=2), [1, 2, 3], False),
        (ListValidator(Int()), "ab", False),
        (ListValidator(ListValidator(Int())), [[1], (2,)], False),
        # dicts and field maps: keys must be str; a field map needs exactly its names
        (DictValidator(Int()), {}, True),
        (DictValidator(Int()), {"x": 1, 2: 2}, False),
        (DictValidator(Int()), {"x": "y"}, False),
        (DictValidator(Int()), DictSub(x=1), True),
        (DictValidator(Int()), [("x", 1)], False),
        (AB, {"b": "x", "a": 1}, True),
        (AB, DictSub(a=1, b="x"), True),
        (AB, {StrSub("a"): 1, "b": "x"}, True),
        (AB, {"a": 1}, False),
        (AB, {"a": 1, "b": "x", "c": 3}, False),
        (AB, {"a": 1, "c": 3}, False),
        (AB, {"a": 1, 2: "x"}, False),
        (AB, {"a": "x", "b": 1}, False),
        ({}, {}, True),
        ({}, {"a": 1}, False),
        ({"a.b": Int()}, {"a.b": 1}, True),
        ({"\u00e9": Int()}, {"e\u0301": 1}, False),
        ({"a": {"b": Int()}}, {"a": {"b": "x"}}, False),
        # a lone surrogate passes where no UTF-8 form is needed
        (Validator(), "\ud800", True),
        (DictValidator(Int()), {"\ud800": 1}, True),
        ({"a": Validator()}, {"a": "\ud800"}, True),
    ],
)
def test_verdicts(schema, value, expected):
    assert passes(schema, value) is expected


@pytest.mark.parametrize(
    "schema, value",
    [
        (StringValidator(), "\ud800"),
        (StringValidator(max_len=0), "\ud800xyz"),
        (StringValidator(), StrSub("\udc80")),
        (ListValidator(StringValidator()), ["fine", "\ud800"]),
        (DictValidator(StringValidator()), {"k": "\ud800"}),
        (AB, {"a": 1, "b": "\udfff"}),
        ({"a": Int()}, {"\ud800": 1}),
        ({"a": Int()}, {StrSub("\ud800"): 1}),
    ],
)
def test_lone_surrogate_raises_where_utf8_is_read(schema, value):
    validator = compiled(schema)
    with pytest.raises(UnicodeEncodeError):
        validator.validate(value)
    assert validator.validate(None) is None


@pytest.mark.parametrize(
    "schema, value",
    [
        (ListValidator(StringValidator()), [5, "\ud800"]),
        (AB, {"a": "bad", "b": "\ud800"}),
        ({"a": Int()}, {"x": 1, "\ud800": 2}),  # wrong length: no key is read
        ({"a": Int(), "b": Int()}, {1: 1, "\ud800": 1}),
        ({"a": Int(), "b": Int()}, {"c": 1, "\ud800": 1}),
        (ListValidator(StringValidator(), max_len=1), ["x", "\ud800"]),
        (ListValidator(StringValidator()), ("\ud800",)),
        (ListValidator({"s": StringValidator()}), [{"s": 1}, {"s": "\ud800"}]),
    ],
)
def test_first_failure_stops_before_a_value_that_would_raise(schema, value):
    assert compiled(schema).validate(value) is None


def test_index_is_not_read_after_the_first_failure():
    calls = []
    validator = compiled(ListValidator(Int()))
    assert validator.validate(["bad", OnIndex(lambda: calls.append(1))]) is None
    assert calls == []
    data = [OnIndex(lambda: calls.append(1)), OnIndex(lambda: calls.append(2))]
    assert validator.validate(data) is data and calls == [1, 2]


def test_self_containing_list_does_not_loop():
    outer = [[1]]
    outer.append(outer)
    assert not passes(ListValidator(ListValidator(Int())), outer)
    assert passes(ListValidator(ListValidator(Validator())), outer)


@pytest.mark.parametrize(
    "schema, value",
    [
        (Int(), 2**40),
        (Float(), 1.5),
        (StringValidator(), StrSub("text")),
        (ListValidator(Int()), ListSub([1])),
        (DictValidator(Int()), {"a": 1}),
        ({}, DictSub()),
        (Int(), Indexable(3)),
        (Validator(), object()),
    ],
)
def test_conforming_data_is_returned_itself(schema, value):
    validator = compiled(schema)
    assert validator.validate(value) is value
    assert validator.validate(data=value) is value


def test_nested_data_is_not_copied_or_changed():
    inner = [1, 2]
    data = {"items": inner}
    result = compiled({"items": ListValidator(Int())}).validate(data)
    assert result is data and result["items"] is inner and inner == [1, 2]


def test_none_under_an_any_root_comes_back_as_none():
    assert compiled(Validator()).validate(None) is None


def _fresh_mixed_script_data():
    # Made anew each time, as json.loads or a driver would hand them over:
    # no str here has a UTF-8 form cached yet.
    words = [
        "".join(chr(c) for c in codes)
        for codes in ([0x4E2D, 0x6587], [0x0436, 0x0443, 0x043A], [0x00E9, 0x0074, 0x00E9], [0x1F600, 0x61])
    ]
    keys = [w + "k" for w in words]
    return {
        "names": [*words, "x" * 40],  # the last one breaks the max length
        "by_key": dict(zip(keys, words, strict=True)) | {keys[0] + "!": 5},
        "record": {words[0]: words[1], words[2]: 7},
    }


EXPECTED_PATHS = ["names[4]", "by_key.\u4e2d\u6587k!", "record.\u00e9t\u00e9"]


@pytest.mark.parametrize("method", ["validate", "collect"])
def test_strs_are_left_as_they_were_found(method):
    record = {chr(0x4E2D) + chr(0x6587): StringValidator(), chr(0x00E9) + "t" + chr(0x00E9): StringValidator()}
    validator = compiled(
        {
            "names": ListValidator(StringValidator(max_len=8)),
            "by_key": DictValidator(StringValidator()),
            "record": record,
        }
    )
    data = _fresh_mixed_script_data()
    strs = list(_all_strs(data))
    sizes = [sys.getsizeof(s) for s in strs]
    result = getattr(validator, method)(data)
    assert result is None if method == "validate" else [path for path, _, _ in result] == EXPECTED_PATHS
    assert [sys.getsizeof(s) for s in strs] == sizes


def _all_strs(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for item in value:
            yield from _all_strs(item)
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from _all_strs(item)


# Names of equal length that differ only in their first word, their last
# word or one middle byte; with enough fields to use the hash index or few
# enough to be scanned; keys listed in an order other than the schema's.
LOOKALIKE_NAMES = ["abcdefgh1", "zbcdefgh1", "abcdefgh2", "ab", "ax", "abc", "axc", "a\u00e9c", "a\u0436c"]


@pytest.mark.parametrize("extra_fields", [0, 10], ids=["scanned", "indexed"])
def test_keys_are_told_from_lookalike_field_names(extra_fields):
    names = LOOKALIKE_NAMES + [f"filler{i:02d}" for i in range(extra_fields)]
    validator = compiled({name: Int() for name in names})
    data = dict.fromkeys(reversed(names), 1)
    assert validator.validate(data) is data
    assert validator.collect(data) == []
    for name in LOOKALIKE_NAMES:
        near_miss = name[:-1] + chr(ord(name[-1]) + 1) if name[-1] != "1" else "y" + name[1:]
        assert near_miss not in names
        changed = {near_miss if key == name else key: value for key, value in data.items()}
        assert validator.validate(changed) is None, name
        assert validator.collect(changed) is None, name


def _unit_size(text):
    """Bytes per code unit of the str text: the narrowest width that holds its widest character."""
    widest = max(map(ord, text), default=0)
    return 1 if widest < 0x100 else 2 if widest < 0x10000 else 4


def _one_byte_off(name):
    """Texts of name's length and width that differ from it in one byte of their code units, for each byte that can."""
    size = _unit_size(name)
    for position in range(len(name) * size):
        index, byte = divmod(position, size)
        for bit in range(8):
            code = ord(name[index]) ^ (1 << (8 * byte + bit))
            if code > 0x10FFFF or 0xD800 <= code < 0xE000:
                continue
            other = name[:index] + chr(code) + name[index + 1 :]
            if _unit_size(other) == size:
                yield other
                break


def _narrower(name):
    """The text of name's length in one-byte units holding name's first bytes, if name is stored wider."""
    size = _unit_size(name)
    return [name.encode(f"utf-{8 * size}-le")[: len(name)].decode("latin-1")] if size > 1 else []


# Names stored in 1 to 33 bytes, across the byte, half-word and word compares
# of field lookup: ASCII, Latin-1, two-byte and four-byte code units. Each
# near miss of a name differs from it in one byte of the same length and
# width, or holds its first bytes in narrower units, or is one character
# shorter or longer.
NEAR_MISS_NAMES = {
    **{f"ascii-{n}": "abcdefghijklmnopqrstuvwxyz0123456"[:n] for n in [*range(1, 21), 24, 25, 32, 33]},
    **{f"latin1-{n}": "\u00e9a\u00fc\u00f1\u00e7\u00f8\u00df\u00e0\u00ee"[:n] for n in [1, 2, 3, 4, 5, 8, 9]},
    **{f"ucs2-{n}": "\u4e00b\u0436\u4e8c\u03a9\u4e09c\u05d0\u4e5d\u0101\u4e94\u00e9"[:n] for n in range(1, 13)},
    **{f"ucs4-{n}": "\U0001f600a\U0001f601\u4e00\U00010348\U0010fffd"[:n] for n in range(1, 7)},
}


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize("name", list(NEAR_MISS_NAMES.values()), ids=list(NEAR_MISS_NAMES))
def test_near_miss_keys_name_no_field(name, method):
    call = getattr(compiled({name: Int(), "nested": {name: Int()}}), method)
    valid = {name: 1, "nested": {name: 1}}
    assert call(valid) is valid if method == "validate" else call(valid) == []
    near_misses = [*_one_byte_off(name), *_narrower(name), name[:-1], name + name[-1], name[1:]]
    assert len(near_misses) >= len(name) + 3
    for near_miss in near_misses:
        for data in ({near_miss: 1, "nested": {name: 1}}, {name: 1, "nested": {near_miss: 1}}):
            assert call(data) is None, (near_miss, data)


@pytest.mark.parametrize("length", [1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100])
@pytest.mark.parametrize("filler", ["\u4e00", "\U0001f600"], ids=["two-byte", "four-byte"])
def test_lone_surrogate_is_found_at_every_position(filler, length):
    # The scan reads the str in blocks and words; a surrogate at any
    # position, and the code points just outside the surrogate range, must
    # be told apart wherever they fall.
    validator = compiled(StringValidator())
    for position in range(length):
        near_misses = (("\ud7ff", False), ("\ue000", False), ("\U0001d800", False))
        for unit, has_surrogate in (("\ud800", True), ("\udfff", True), *near_misses):
            text = filler * position + unit + filler * (length - position - 1)
            if has_surrogate:
                with pytest.raises(UnicodeEncodeError):
                    validator.validate(text)
            else:
                assert validator.validate(text) is text
