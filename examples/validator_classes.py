"""Schema classes for the examples: small stand-ins for a validation package's own.

quillane_core recognises a validator object by the name of its class and
reads its settings from underscore attributes (the README's "The schema
protocol"), so these classes carry exactly those names and attributes and
nothing else. A real validation package brings its own classes; these exist
so that every example runs with nothing but quillane_core installed. The
test suite builds its schemas from them too (tests/ and examples/ are both on
pytest's import path), passing settings of every kind, wrong ones included:
the classes store what they are given and check nothing, as the compiler is
the one that reads and judges the attributes.

Every constructor argument sets one attribute; every class takes the four
settings of Validator as keywords too. Int(...) and Float(...) are short for
NumberValidator(int, ...) and NumberValidator(float, ...).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TypedDict, Unpack

# A schema node: a validator object, or a field map of required fields.
type Schema = Validator | Mapping[str, Schema]


class Settings(TypedDict, total=False):
    """The four settings every validator object carries, as keyword arguments."""

    coerce: bool
    custom_checks: tuple[Callable[[object], bool], ...]
    when_condition: object
    env_key: str | None


class Validator:
    """Accepts any value. The four settings every validator object carries.

    A schema that coerces, runs custom checks, applies only under a condition
    or reads an environment key does not compile natively: compile_schema()
    gives None for it and the caller validates with its own code.
    """

    def __init__(
        self,
        *,
        coerce: bool = False,
        custom_checks: tuple[Callable[[object], bool], ...] = (),
        when_condition: object = None,
        env_key: str | None = None,
    ) -> None:
        self._coerce = coerce
        self._custom_checks = custom_checks
        self._when_condition = when_condition
        self._env_key = env_key


class BoolValidator(Validator):
    """Accepts exactly True or False."""


class NumberValidator(Validator):
    """An int or a float (by type_cls), with optional inclusive or exclusive bounds."""

    def __init__(
        self,
        type_cls: type[int | float] = int,
        *,
        min: float | None = None,
        max: float | None = None,
        exclusive_min: bool = False,
        exclusive_max: bool = False,
        **settings: Unpack[Settings],
    ) -> None:
        super().__init__(**settings)
        self._type_cls = type_cls
        self._min = min
        self._max = max
        self._exclusive_min = exclusive_min
        self._exclusive_max = exclusive_max


class StringValidator(Validator):
    """A str, with optional bounds on its length in code points."""

    def __init__(
        self,
        *,
        min_len: int | None = None,
        max_len: int | None = None,
        regex: str | None = None,
        **settings: Unpack[Settings],
    ) -> None:
        super().__init__(**settings)
        self._regex = regex  # any pattern makes the schema not compilable natively
        self._min_len = min_len
        self._max_len = max_len


class ListValidator(Validator):
    """A list whose every item conforms to item_validator, with optional length bounds."""

    def __init__(
        self,
        item_validator: Schema,
        *,
        min_len: int | None = None,
        max_len: int | None = None,
        **settings: Unpack[Settings],
    ) -> None:
        super().__init__(**settings)
        self._item_validator = item_validator
        self._min_len = min_len
        self._max_len = max_len


class DictValidator(Validator):
    """A dict whose every value conforms to value_validator; its keys must be of key_type.

    Only str keys compile natively: any other key_type gives None.
    """

    def __init__(self, value_validator: Schema, *, key_type: type = str, **settings: Unpack[Settings]) -> None:
        super().__init__(**settings)
        self._key_type = key_type
        self._value_validator = value_validator


def Int(
    *, min: float | None = None, max: float | None = None, exclusive_min: bool = False, exclusive_max: bool = False
) -> NumberValidator:
    return NumberValidator(int, min=min, max=max, exclusive_min=exclusive_min, exclusive_max=exclusive_max)


def Float(
    *, min: float | None = None, max: float | None = None, exclusive_min: bool = False, exclusive_max: bool = False
) -> NumberValidator:
    return NumberValidator(float, min=min, max=max, exclusive_min=exclusive_min, exclusive_max=exclusive_max)
