"""Every call of quillane_core, written the way a typed caller writes it.

`mypy --strict examples/typed_usage.py` checks this file against the type
stubs that the wheel installs (quillane_core-stubs); `python
examples/typed_usage.py` runs it and checks the answers.

The schema classes below are the smallest stand-ins for a validation
package's own classes: the compiler recognises them by class name and reads
their underscore attributes.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping

import quillane_core
from quillane_core import NativeValidator, compile_schema

type Violation = tuple[str, str, object]


class Validator:
    """Accepts anything; the attributes every validator object carries."""

    def __init__(self) -> None:
        self._coerce = False
        self._custom_checks: tuple[Callable[[object], bool], ...] = ()
        self._when_condition: object = None
        self._env_key: str | None = None


class NumberValidator(Validator):
    def __init__(self, type_cls: type, *, minimum: float | None = None, maximum: float | None = None) -> None:
        super().__init__()
        self._type_cls = type_cls
        self._min = minimum
        self._max = maximum
        self._exclusive_min = False
        self._exclusive_max = False


class StringValidator(Validator):
    def __init__(self, *, min_len: int | None = None, max_len: int | None = None) -> None:
        super().__init__()
        self._regex: str | None = None
        self._min_len = min_len
        self._max_len = max_len


class ListValidator(Validator):
    def __init__(self, item_validator: object, *, min_len: int | None = None) -> None:
        super().__init__()
        self._item_validator = item_validator
        self._min_len = min_len
        self._max_len: int | None = None


SCHEMA: Mapping[str, object] = {
    "name": StringValidator(min_len=1),
    "age": NumberValidator(int, minimum=0),
    "tags": ListValidator(StringValidator()),
}


def python_fallback(data: object) -> list[Violation]:
    """Stands for the caller's own, slower validation."""
    return [("", "checked by the fallback", data)]


def violations(validator: NativeValidator | None, data: object) -> list[Violation]:
    """Every violation in `data`: natively when the module decides, else by the fallback."""
    if validator is None:
        return python_fallback(data)
    found = validator.collect(data)
    if found is None:
        return python_fallback(data)
    return found


def main() -> None:
    assert quillane_core.__all__ == ["compile_schema", "NativeValidator"]

    validator = compile_schema(SCHEMA)
    assert validator is not None
    by_keyword: NativeValidator | None = quillane_core.compile_schema(schema=SCHEMA)
    assert isinstance(by_keyword, NativeValidator)

    record: dict[str, object] = {"name": "Ada", "age": 36, "tags": ["admin"]}
    # validate() gives back the very object it was passed, typed as passed.
    same: dict[str, object] | None = validator.validate(record)
    assert same is record
    assert validator.validate(data={"name": "", "age": 36, "tags": []}) is None

    bad: dict[str, object] = {"tags": ["x", 5], "age": -1}
    assert violations(validator, bad) == [
        ("tags[1]", "Expected str", 5),
        ("age", "Value -1 is less than minimum 0", -1),
        ("name", "Missing required field", None),
    ]
    for path, message, value in validator.collect(data=bad) or []:
        print(f"{path or '<root>'}: {message} (got {value!r})")

    # A key that names no field is left to the caller's own validation.
    assert validator.collect({"name": "Ada", "age": 1, "tags": [], "extra": 0}) is None
    assert violations(validator, {"name": "Ada", "age": 1, "tags": [], "extra": 0})[0][1] == "checked by the fallback"

    # A schema the native tree cannot express compiles to None.
    coercing = StringValidator()
    coercing._coerce = True
    assert compile_schema(coercing) is None

    # A validator is made only by compile_schema(): the stubs reject the call
    # (this ignore would be reported as unused if they accepted it), and so
    # does the class at run time.
    try:
        NativeValidator()  # type: ignore[call-arg]
    except TypeError as error:
        assert str(error) == "No constructor defined for NativeValidator"
    else:
        raise AssertionError("NativeValidator() made an instance")


if __name__ == "__main__":
    main()
