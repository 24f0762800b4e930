"""Schema classes as the validation package defines them.

The compiler recognises a validator by its class name and reads its settings
from underscore attributes, so these classes carry exactly those names and
attributes. Every constructor argument maps to one attribute.
"""

from __future__ import annotations

from typing import Any


class Validator:
    """Accepts any value."""

    def __init__(
        self,
        *,
        coerce: Any = False,
        custom_checks: Any = (),
        when_condition: Any = None,
        env_key: Any = None,
    ) -> None:
        self._coerce = coerce
        self._custom_checks = custom_checks
        self._when_condition = when_condition
        self._env_key = env_key


class BoolValidator(Validator):
    pass


class NumberValidator(Validator):
    def __init__(
        self,
        type_cls: Any = int,
        *,
        min: Any = None,
        max: Any = None,
        exclusive_min: Any = False,
        exclusive_max: Any = False,
        **common: Any,
    ) -> None:
        super().__init__(**common)
        self._type_cls = type_cls
        self._min = min
        self._max = max
        self._exclusive_min = exclusive_min
        self._exclusive_max = exclusive_max


class StringValidator(Validator):
    def __init__(self, *, min_len: Any = None, max_len: Any = None, regex: Any = None, **common: Any) -> None:
        super().__init__(**common)
        self._regex = regex
        self._min_len = min_len
        self._max_len = max_len


class ListValidator(Validator):
    def __init__(self, item_validator: Any, *, min_len: Any = None, max_len: Any = None, **common: Any) -> None:
        super().__init__(**common)
        self._item_validator = item_validator
        self._min_len = min_len
        self._max_len = max_len


class DictValidator(Validator):
    def __init__(self, value_validator: Any, *, key_type: Any = str, **common: Any) -> None:
        super().__init__(**common)
        self._key_type = key_type
        self._value_validator = value_validator


def Int(**bounds: Any) -> NumberValidator:
    return NumberValidator(int, **bounds)


def Float(**bounds: Any) -> NumberValidator:
    return NumberValidator(float, **bounds)
