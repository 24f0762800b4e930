"""Every call of quillane_core, written the way a typed caller writes it.

`mypy --strict examples/typed_usage.py` checks this file against the type
stubs that the wheel installs (quillane_core-stubs); `python
examples/typed_usage.py` runs it and checks the answers.

The schema classes come from validator_classes.py beside this file, the
examples' stand-ins for a validation package's own classes.
"""

from __future__ import annotations

from collections.abc import Mapping

from validator_classes import ListValidator, NumberValidator, Schema, StringValidator, Validator

import quillane_core
from quillane_core import NativeValidator, compile_schema

type Violation = tuple[str, str, object]


SCHEMA: Mapping[str, Schema] = {
    "name": StringValidator(min_len=1),
    "age": NumberValidator(int, min=0),
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
    assert compile_schema(Validator(coerce=True)) is None
    assert compile_schema({"code": StringValidator(regex=r"^[A-Z]{3}$")}) is None

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
