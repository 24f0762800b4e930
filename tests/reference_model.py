"""Pure-Python model of quillane_core: the oracle of the agreement tests and
the pure-Python baseline of the benchmarks.

* ``compile_schema(schema)`` builds a tree of nodes from validator objects and
  field-map dicts, or returns ``NOT_COMPILABLE`` where the native
  ``compile_schema`` returns None.
* ``validate(tree, data)`` returns ``data`` itself when it conforms, else None.
* ``collect(tree, data)`` returns every violation as ``(path, message, value)``,
  or None when the walk is undecided (a tuple where a list is expected, a
  non-str key, a key naming no field, more keys than fields).

Messages, paths, entry order, number rendering and the exceptions that pass
through are the native module's. One deliberate difference: a dict changed by
an ``__index__`` method during a walk raises Python's own RuntimeError (same
text) instead of the native internal-fault exception, and so does a list whose
length changes.
"""

from __future__ import annotations

import math
from operator import index as _index
from typing import Any

__all__ = [
    "NOT_COMPILABLE",
    "Node",
    "collect",
    "compile_schema",
    "render_count",
    "render_double",
    "render_int",
    "validate",
]

INT64_MIN, INT64_MAX, UINT64_MAX = -(2**63), 2**63 - 1, 2**64 - 1


class _NotCompilable:
    def __repr__(self) -> str:
        return "NOT_COMPILABLE"

    def __bool__(self) -> bool:
        return False


NOT_COMPILABLE = _NotCompilable()


class _Undecided(Exception):
    """Abandons a walk; ``collect`` turns it into None."""


# Rendering ------------------------------------------------------------------

render_int = render_count = str


def render_double(value: float) -> str:
    """Shortest round-trip digits of a double, laid out without an exponent."""
    if value != value:
        return "NaN"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if math.isinf(value):
        return sign + "inf"
    if value == 0.0:
        return sign + "0"
    mantissa, _, exponent = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    # The value is 0.<digits> times ten to the power `point`.
    point = len(whole) + int(exponent or 0) - (len(whole + fraction) - len(digits))
    digits = digits.rstrip("0")
    if point <= 0:
        return sign + "0." + "0" * -point + digits
    if point < len(digits):
        return sign + digits[:point] + "." + digits[point:]
    return sign + digits + "0" * (point - len(digits))


_BELOW_MIN = "Value {} is less than minimum {}"
_ABOVE_MAX = "Value {} is greater than maximum {}"
_NOT_ABOVE_MIN = "Value {} must be greater than {}"
_NOT_BELOW_MAX = "Value {} must be less than {}"
MISSING_FIELD = "Missing required field"


def _length_message(what: str, n: int, min_len: int | None, max_len: int | None) -> str | None:
    if min_len is not None and n < min_len:
        return f"{what} length {n} is shorter than minimum length {min_len}"
    if max_len is not None and n > max_len:
        return f"{what} length {n} is longer than maximum length {max_len}"
    return None


# Reads, made on the value's type as the native code makes them -------------


def _is_float(value: Any) -> bool:
    cls = type(value)
    return cls is float or issubclass(cls, float)


def _is_str(value: Any) -> bool:
    cls = type(value)
    return cls is str or issubclass(cls, str)


def _is_list(value: Any) -> bool:
    cls = type(value)
    return cls is list or issubclass(cls, list)


def _is_dict(value: Any) -> bool:
    cls = type(value)
    return cls is dict or issubclass(cls, dict)


def _read_int(value: Any) -> int | None:
    """The signed 64-bit integer of an int, bool or ``__index__`` object; None
    when there is none, with an ordinary failure of the conversion discarded.
    MemoryError, RecursionError and exceptions that are not an Exception
    propagate."""
    if type(value) is int:
        number = value
    else:
        try:
            number = _index(value)
        except (MemoryError, RecursionError):
            raise
        except Exception:
            return None
    return number if INT64_MIN <= number <= INT64_MAX else None


def _utf8_check(text: str) -> None:
    """Raise UnicodeEncodeError when ``text`` has no UTF-8 form."""
    if not str.isascii(text):
        str.encode(text, "utf-8")


def _plain_str(text: str) -> str:
    return text if type(text) is str else str.__str__(text)


def _key_path(path: str, key: str) -> str:
    return f"{path}.{key}" if path else key


# Nodes ----------------------------------------------------------------------


class Node:
    """One node of a compiled tree. ``kind`` is the native kind number (0 Any
    ... 12 Fields). ``check`` answers validate's question; ``walk`` appends
    entries to ``errors``, returns True for a valid value and raises
    ``_Undecided`` to abandon the walk. ``runs_code`` is true when checking a
    value may run Python code (``__index__`` under an Int kind), so that
    containers below can change while they are looked at."""

    __slots__ = ("kind", "runs_code")

    def __init__(self, kind: int, runs_code: bool = False) -> None:
        self.kind = kind
        self.runs_code = runs_code

    def check(self, value: Any) -> bool:
        raise NotImplementedError

    def walk(self, value: Any, path: str, errors: list) -> bool:
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"{type(self).__name__}(kind={self.kind})"


class AnyNode(Node):
    __slots__ = ()

    def __init__(self) -> None:
        super().__init__(0)

    def check(self, value: Any) -> bool:
        return True

    def walk(self, value: Any, path: str, errors: list) -> bool:
        return True


class BoolNode(Node):
    __slots__ = ()

    def __init__(self) -> None:
        super().__init__(1)

    def check(self, value: Any) -> bool:
        return type(value) is bool

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if type(value) is bool:
            return True
        errors.append((path, "Expected bool", value))
        return False


class _NumberNode(Node):
    """Bounds of the integer kinds (2, 3, 4) and the float kinds (5, 6, 7):
    plain, with a bound, with an exclusive flag. NaN never breaks a bound."""

    __slots__ = ("min", "max", "exclusive_min", "exclusive_max")
    _first_kind = 0
    _reads_index = False

    def __init__(self, low=None, high=None, exclusive_min=False, exclusive_max=False) -> None:
        exclusive = exclusive_min or exclusive_max
        step = 2 if exclusive else 1 if low is not None or high is not None else 0
        super().__init__(self._first_kind + step, self._reads_index)
        self.min, self.max = low, high
        self.exclusive_min, self.exclusive_max = exclusive_min, exclusive_max

    def _breach(self, x: float) -> tuple[str, float] | None:
        """The template and the bound of the first bound that ``x`` breaks."""
        low = self.min
        if low is not None:
            if self.exclusive_min:
                if low >= x:
                    return _NOT_ABOVE_MIN, low
            elif low > x:
                return _BELOW_MIN, low
        high = self.max
        if high is not None:
            if self.exclusive_max:
                if x >= high:
                    return _NOT_BELOW_MAX, high
            elif x > high:
                return _ABOVE_MAX, high
        return None

    def _report(self, breach: tuple[str, float], value_text: str, path: str, value: Any, errors: list) -> bool:
        template, bound = breach
        errors.append((path, template.format(value_text, render_double(bound)), value))
        return False


class IntNode(_NumberNode):
    """``Int`` (2), ``IntRange`` (3), ``IntRangeExclusive`` (4): compared as
    the nearest double, shown with every digit."""

    __slots__ = ()
    _first_kind = 2
    _reads_index = True

    def check(self, value: Any) -> bool:
        number = _read_int(value)
        return number is not None and (self.kind == 2 or self._breach(float(number)) is None)

    def walk(self, value: Any, path: str, errors: list) -> bool:
        number = _read_int(value)
        if number is None:
            errors.append((path, "Expected int", value))
            return False
        breach = None if self.kind == 2 else self._breach(float(number))
        if breach is None:
            return True
        return self._report(breach, render_int(number), path, value, errors)


class FloatNode(_NumberNode):
    """``Float`` (5), ``FloatRange`` (6), ``FloatRangeExclusive`` (7): a
    float or float subclass, read by its stored double."""

    __slots__ = ()
    _first_kind = 5

    def check(self, value: Any) -> bool:
        if not _is_float(value):
            return False
        return self.kind == 5 or self._breach(float.__float__(value)) is None

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if not _is_float(value):
            errors.append((path, "Expected float", value))
            return False
        if self.kind == 5:
            return True
        x = float.__float__(value)
        breach = self._breach(x)
        if breach is None:
            return True
        return self._report(breach, render_double(x), path, value, errors)


class StrNode(Node):
    """``Str`` (8): lengths in code points; the UTF-8 form must exist."""

    __slots__ = ("min_len", "max_len")

    def __init__(self, min_len=None, max_len=None) -> None:
        super().__init__(8)
        self.min_len, self.max_len = min_len, max_len

    def check(self, value: Any) -> bool:
        if not _is_str(value):
            return False
        _utf8_check(value)
        n = str.__len__(value)
        return (self.min_len is None or n >= self.min_len) and (self.max_len is None or n <= self.max_len)

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if not _is_str(value):
            errors.append((path, "Expected str", value))
            return False
        _utf8_check(value)
        message = _length_message("String", str.__len__(value), self.min_len, self.max_len)
        if message is None:
            return True
        errors.append((path, message, value))
        return False


def _items(items: list, runs_code: bool):
    """The items of a list as the native loop sees them: each read afresh at
    its position, the list's length checked against the starting one before
    every read and at the end, and at the end each position checked to hold
    the item read there. Where no Python code can run between two items,
    plain iteration is the same thing."""
    if not runs_code:
        return enumerate(list.__iter__(items))
    return _guarded_items(items)


def _guarded_items(items: list):
    start = list.__len__(items)
    read = []
    for i in range(start + 1):
        if list.__len__(items) != start:
            raise RuntimeError("list changed size during iteration")
        if i < start:
            read.append(list.__getitem__(items, i))
            yield i, read[-1]
    # At the end, every position must still hold the item read there.
    if any(list.__getitem__(items, i) is not item for i, item in enumerate(read)):
        raise RuntimeError("list changed during iteration")


class ListNode(Node):
    """``List`` (9) and, with a length bound, ``ListSized`` (10)."""

    __slots__ = ("item", "min_len", "max_len")

    def __init__(self, item: Node, min_len=None, max_len=None) -> None:
        super().__init__(9 if min_len is None and max_len is None else 10, item.runs_code)
        self.item, self.min_len, self.max_len = item, min_len, max_len

    def check(self, value: Any) -> bool:
        if not _is_list(value):
            return False
        if self.kind == 10:
            n = list.__len__(value)
            if (self.min_len is not None and n < self.min_len) or (self.max_len is not None and n > self.max_len):
                return False
        check = self.item.check
        return all(check(item) for _, item in _items(value, self.runs_code))

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if not _is_list(value):
            if issubclass(type(value), tuple):
                raise _Undecided
            errors.append((path, "Expected list", value))
            return False
        if self.kind == 10:
            message = _length_message("List", list.__len__(value), self.min_len, self.max_len)
            if message is not None:
                errors.append((path, message, value))
                return False
        walk = self.item.walk
        valid = True
        for i, item in _items(value, self.runs_code):
            if not walk(item, f"{path}[{i}]", errors):
                valid = False
        return valid


class DictNode(Node):
    """``Dict`` (11): str keys (not read by ``check``), every value checked by one validator."""

    __slots__ = ("value",)

    def __init__(self, value: Node) -> None:
        super().__init__(11, value.runs_code)
        self.value = value

    def check(self, value: Any) -> bool:
        if not _is_dict(value):
            return False
        check = self.value.check
        return all(_is_str(key) and check(item) for key, item in dict.items(value))

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if not _is_dict(value):
            errors.append((path, "Expected dict", value))
            return False
        walk = self.value.walk
        valid = True
        for key, item in dict.items(value):
            if not _is_str(key):
                raise _Undecided
            _utf8_check(key)
            if not walk(item, _key_path(path, _plain_str(key)), errors):
                valid = False
        return valid


class FieldsNode(Node):
    """``Fields`` (12): a closed record of required fields, in schema order."""

    __slots__ = ("fields", "positions")

    def __init__(self, fields: list[tuple[str, Node]]) -> None:
        super().__init__(12, any(node.runs_code for _, node in fields))
        self.fields = fields
        self.positions: dict[str, int] = {}
        for position, (name, _) in enumerate(fields):
            self.positions.setdefault(name, position)

    def _lookup(self, key: Any) -> int | None:
        """The position of the field a dict key names, or None."""
        if not _is_str(key):
            return None
        _utf8_check(key)
        return self.positions.get(_plain_str(key))

    def _named(self, value: Any) -> list[bool]:
        """Which fields the dict's str keys name, by their text. Only a key of
        a str subclass (with an equality of its own) can repeat another key's
        text, so the first such key has this looked at once."""
        named = [False] * len(self.fields)
        for key in dict.keys(value):
            if _is_str(key):
                position = self.positions.get(_plain_str(key))
                if position is not None:
                    named[position] = True
        return named

    def check(self, value: Any) -> bool:
        if not _is_dict(value) or dict.__len__(value) != len(self.fields):
            return False
        fields = self.fields
        presence_checked = False
        for key, item in dict.items(value):
            position = self._lookup(key)
            if position is None:
                return False
            if type(key) is not str and not presence_checked:
                presence_checked = True
                if not all(self._named(value)):
                    return False
            if not fields[position][1].check(item):
                return False
        return True

    def walk(self, value: Any, path: str, errors: list) -> bool:
        if not _is_dict(value):
            errors.append((path, "Expected dict", value))
            return False
        fields = self.fields
        present = dict.__len__(value)
        if present > len(fields):
            raise _Undecided
        seen = [False] * len(fields) if present < len(fields) else None
        presence_checked = seen is not None
        valid = True
        for key, item in dict.items(value):
            position = self._lookup(key)
            if position is None:
                raise _Undecided
            if type(key) is not str and not presence_checked:
                presence_checked = True
                named = self._named(value)
                seen = None if all(named) else named
            if seen is not None:
                seen[position] = True
            name, node = fields[position]
            if not node.walk(item, _key_path(path, name), errors):
                valid = False
        if seen is not None:
            for position, (name, _) in enumerate(fields):
                if not seen[position]:
                    errors.append((_key_path(path, name), MISSING_FIELD, None))
                    valid = False
        return valid


# Entry points -----------------------------------------------------------------


def validate(tree: Node, data: Any) -> Any:
    """``data`` itself when it conforms to ``tree``, else None."""
    return data if tree.check(data) else None


def collect(tree: Node, data: Any) -> list | None:
    """Every violation as ``(path, message, value)``, or None when undecided."""
    errors: list = []
    try:
        tree.walk(data, "", errors)
    except _Undecided:
        return None
    return errors


# Compiling a schema -----------------------------------------------------------


def _conversion_error(obj: Any, target: str) -> TypeError:
    return TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def _read_bool(obj: Any) -> bool:
    cls = type(obj)
    if cls is bool:
        return obj
    if getattr(cls, "__module__", None) == "numpy" and cls.__name__ in ("bool_", "bool"):
        return bool(obj)
    raise _conversion_error(obj, "PyBool")


def _read_optional_double(obj: Any) -> float | None:
    if obj is None:
        return None
    if _is_float(obj):
        return float.__float__(obj)
    cls = type(obj)
    if not hasattr(cls, "__float__") and not hasattr(cls, "__index__"):
        raise TypeError(f"must be real number, not {cls.__name__}")
    return float(obj)


def _read_optional_count(obj: Any) -> int | None:
    if obj is None:
        return None
    number = obj if isinstance(obj, int) else _index(obj)
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number > UINT64_MAX:
        raise OverflowError("int too big to convert")
    return int(number)


def _read_string(obj: Any) -> str:
    if not _is_str(obj):
        raise _conversion_error(obj, "PyString")
    _utf8_check(obj)
    return _plain_str(obj)


def _type_name(obj: Any) -> str:
    return _read_string(getattr(obj, "__name__"))


def _lengths(schema: Any) -> tuple[int | None, int | None]:
    return _read_optional_count(getattr(schema, "_min_len")), _read_optional_count(getattr(schema, "_max_len"))


def compile_schema(schema: Any) -> Node | _NotCompilable:
    """The tree of ``schema``, or ``NOT_COMPILABLE``. Errors raised while the
    schema is read propagate, in the order the native compiler reads it."""
    if _is_dict(schema):
        fields = []
        for key, sub in dict.items(schema):
            if not _is_str(key):
                return NOT_COMPILABLE
            try:
                name = _read_string(key)
            except UnicodeEncodeError:
                return NOT_COMPILABLE
            if any(name == known for known, _ in fields):
                return NOT_COMPILABLE  # two keys of one text
            node = compile_schema(sub)
            if node is NOT_COMPILABLE:
                return NOT_COMPILABLE
            fields.append((name, node))
        return FieldsNode(fields)

    if (
        _read_bool(getattr(schema, "_coerce"))
        or len(getattr(schema, "_custom_checks")) != 0
        or getattr(schema, "_when_condition") is not None
        or getattr(schema, "_env_key") is not None
    ):
        return NOT_COMPILABLE
    kind = type(schema).__name__
    if kind == "Validator":
        return AnyNode()
    if kind == "BoolValidator":
        return BoolNode()
    if kind == "NumberValidator":
        node_class = {"int": IntNode, "float": FloatNode}.get(_type_name(getattr(schema, "_type_cls")))
        if node_class is None:
            return NOT_COMPILABLE
        low = _read_optional_double(getattr(schema, "_min"))
        high = _read_optional_double(getattr(schema, "_max"))
        exclusive_min = _read_bool(getattr(schema, "_exclusive_min"))
        return node_class(low, high, exclusive_min, _read_bool(getattr(schema, "_exclusive_max")))
    if kind == "StringValidator":
        return NOT_COMPILABLE if getattr(schema, "_regex") is not None else StrNode(*_lengths(schema))
    if kind == "ListValidator":
        item = compile_schema(getattr(schema, "_item_validator"))
        return NOT_COMPILABLE if item is NOT_COMPILABLE else ListNode(item, *_lengths(schema))
    if kind == "DictValidator":
        if _type_name(getattr(schema, "_key_type")) != "str":
            return NOT_COMPILABLE
        value = compile_schema(getattr(schema, "_value_validator"))
        return NOT_COMPILABLE if value is NOT_COMPILABLE else DictNode(value)
    return NOT_COMPILABLE
