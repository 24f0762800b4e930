"""The systems under comparison, each set up from the same schema.

A schema is written once, in the validation package's own form (validator
objects and field maps); every other system gets a translation of it that
carries the same constraints:

* records: closed, every field required (msgspec Structs with
  `forbid_unknown_fields=True`; pydantic-core typed dicts with
  `extra_behavior='forbid'`; JSON Schema objects with `required` naming every
  property and `additionalProperties: false`);
* ints and floats: the same bounds, inclusive or exclusive as the schema says;
* strs and lists: the same length bounds (strs counted in code points by all);
* str-keyed dicts: str keys, every value checked against one schema.

Each system is strict where it has a choice (msgspec `strict=True`,
pydantic-core `strict=True`), and each is driven the way its users drive it for
a yes/no answer (`validate`) and for the list of every violation (`collect`,
where it has one). `Prepared.check` and `Prepared.errors` give the verdict and
the error list for the agreement check; `Prepared.validate` and
`Prepared.collect` are the callables that are timed.
"""

from __future__ import annotations

import functools
import itertools
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import reference_model  # noqa: E402

import quillane_core  # noqa: E402

JSON_SCHEMA_DRAFT = "http://json-schema.org/draft-07/schema#"


class Unavailable(Exception):
    """The system's package is not installed."""


@dataclass
class Prepared:
    """One system set up for one schema."""

    validate: Callable[[Any], Any]  # timed: the yes/no check
    check: Callable[[Any], bool]  # verdict of the yes/no check
    collect: Callable[[Any], Any] | None = None  # timed: every violation
    errors: Callable[[Any], list | None] | None = None  # the violations as a list


@dataclass
class System:
    key: str
    label: str
    package: str | None
    prepare: Callable[[Any], Prepared]
    note: str = ""
    is_floor: bool = False

    def version(self) -> str:
        import importlib.metadata  # slow to import, and only the report needs it

        if self.package is None:
            return ""
        try:
            return importlib.metadata.version(self.package)
        except importlib.metadata.PackageNotFoundError:
            return ""


# Reading the schema objects ------------------------------------------------------


def kind_of(node: Any) -> str:
    if isinstance(node, dict):
        return "fields"
    name = type(node).__name__
    if name == "NumberValidator":
        return "int" if node._type_cls is int else "float"
    return {
        "Validator": "any",
        "BoolValidator": "bool",
        "StringValidator": "str",
        "ListValidator": "list",
        "DictValidator": "dict",
    }[name]


def number_bounds(node: Any) -> dict[str, Any]:
    """The bounds of a number validator as ge/gt/le/lt, ints for the int kind."""
    convert = int if node._type_cls is int else float
    bounds: dict[str, Any] = {}
    if node._min is not None:
        bounds["gt" if node._exclusive_min else "ge"] = convert(node._min)
    if node._max is not None:
        bounds["lt" if node._exclusive_max else "le"] = convert(node._max)
    return bounds


def length_bounds(node: Any) -> dict[str, int]:
    bounds = {}
    if node._min_len is not None:
        bounds["min_length"] = node._min_len
    if node._max_len is not None:
        bounds["max_length"] = node._max_len
    return bounds


# This module and the reference model ------------------------------------------


def prepare_quillane(schema: Any) -> Prepared:
    validator = quillane_core.compile_schema(schema)
    if validator is None:
        raise ValueError("the schema did not compile to a native validator")
    return Prepared(
        validate=validator.validate,
        check=lambda data: validator.validate(data) is not None,
        collect=validator.collect,
        errors=validator.collect,
    )


def prepare_reference(schema: Any) -> Prepared:
    return reference_from_tree(reference_model.compile_schema(schema))


def reference_from_tree(tree: Any) -> Prepared:
    """The pure-Python baseline set up from a tree it compiled before (its
    compile of a 20,000-field map takes it about a minute)."""
    validate = functools.partial(reference_model.validate, tree)
    collect = functools.partial(reference_model.collect, tree)
    return Prepared(
        validate=validate,
        check=lambda data: validate(data) is not None,
        collect=collect,
        errors=collect,
    )


def prepare_floor(schema: Any) -> Prepared:
    try:
        import quillane_bench_floor
    except ImportError as error:
        raise Unavailable(str(error)) from None
    walk = quillane_bench_floor.walk
    return Prepared(validate=walk, check=lambda data: True, collect=walk)


# msgspec ----------------------------------------------------------------------------


def msgspec_type(node: Any, names: Callable[[], str]) -> Any:
    from typing import Annotated

    import msgspec

    kind = kind_of(node)
    if kind == "fields":
        fields = [(name, msgspec_type(sub, names)) for name, sub in node.items()]
        return msgspec.defstruct(names(), fields, forbid_unknown_fields=True)
    if kind == "any":
        return Any
    if kind == "bool":
        return bool
    if kind in ("int", "float"):
        base = int if kind == "int" else float
        bounds = number_bounds(node)
        return Annotated[base, msgspec.Meta(**bounds)] if bounds else base
    if kind == "str":
        bounds = length_bounds(node)
        return Annotated[str, msgspec.Meta(**bounds)] if bounds else str
    if kind == "list":
        item = msgspec_type(node._item_validator, names)
        bounds = length_bounds(node)
        return Annotated[list[item], msgspec.Meta(**bounds)] if bounds else list[item]
    if kind == "dict":
        return dict[str, msgspec_type(node._value_validator, names)]
    raise AssertionError(kind)


def prepare_msgspec(schema: Any) -> Prepared:
    try:
        import msgspec
    except ImportError as error:
        raise Unavailable(str(error)) from None
    counter = itertools.count()
    target = msgspec_type(schema, lambda: f"Record{next(counter)}")
    convert = msgspec.convert
    failure = msgspec.ValidationError

    def validate(data: Any) -> bool:
        try:
            convert(data, type=target, strict=True)
            return True
        except failure:
            return False

    return Prepared(validate=validate, check=validate)


# pydantic-core ------------------------------------------------------------------


def pydantic_schema(node: Any, fail_fast: bool) -> Any:
    from pydantic_core import core_schema as cs

    kind = kind_of(node)
    if kind == "fields":
        fields = {
            name: cs.typed_dict_field(pydantic_schema(sub, fail_fast), required=True) for name, sub in node.items()
        }
        return cs.typed_dict_schema(fields, strict=True, extra_behavior="forbid", total=True)
    if kind == "any":
        return cs.any_schema()
    if kind == "bool":
        return cs.bool_schema(strict=True)
    if kind == "int":
        return cs.int_schema(strict=True, **number_bounds(node))
    if kind == "float":
        return cs.float_schema(strict=True, **number_bounds(node))
    if kind == "str":
        return cs.str_schema(strict=True, **length_bounds(node))
    if kind == "list":
        return cs.list_schema(
            pydantic_schema(node._item_validator, fail_fast),
            strict=True,
            fail_fast=fail_fast or None,
            **length_bounds(node),
        )
    if kind == "dict":
        return cs.dict_schema(
            cs.str_schema(strict=True),
            pydantic_schema(node._value_validator, fail_fast),
            strict=True,
            fail_fast=fail_fast or None,
        )
    raise AssertionError(kind)


def prepare_pydantic(schema: Any) -> Prepared:
    try:
        from pydantic_core import SchemaValidator, ValidationError
    except ImportError as error:
        raise Unavailable(str(error)) from None
    # The yes/no check stops lists and dicts at their first bad item
    # (`fail_fast`); the full check gathers every error.
    quick = SchemaValidator(pydantic_schema(schema, fail_fast=True)).validate_python
    full = SchemaValidator(pydantic_schema(schema, fail_fast=False)).validate_python

    def validate(data: Any) -> bool:
        try:
            quick(data)
            return True
        except ValidationError:
            return False

    def collect(data: Any) -> list:
        try:
            full(data)
            return []
        except ValidationError as error:
            return error.errors()

    return Prepared(validate=validate, check=validate, collect=collect, errors=collect)


# JSON Schema ---------------------------------------------------------------------


def json_schema(node: Any) -> dict:
    kind = kind_of(node)
    if kind == "fields":
        return {
            "type": "object",
            "properties": {name: json_schema(sub) for name, sub in node.items()},
            "required": list(node),
            "additionalProperties": False,
        }
    if kind == "any":
        return {}
    if kind == "bool":
        return {"type": "boolean"}
    if kind in ("int", "float"):
        out: dict[str, Any] = {"type": "integer" if kind == "int" else "number"}
        names = {"ge": "minimum", "gt": "exclusiveMinimum", "le": "maximum", "lt": "exclusiveMaximum"}
        for bound, value in number_bounds(node).items():
            out[names[bound]] = value
        return out
    if kind == "str":
        out = {"type": "string"}
        bounds = length_bounds(node)
        if "min_length" in bounds:
            out["minLength"] = bounds["min_length"]
        if "max_length" in bounds:
            out["maxLength"] = bounds["max_length"]
        return out
    if kind == "list":
        out = {"type": "array", "items": json_schema(node._item_validator)}
        bounds = length_bounds(node)
        if "min_length" in bounds:
            out["minItems"] = bounds["min_length"]
        if "max_length" in bounds:
            out["maxItems"] = bounds["max_length"]
        return out
    if kind == "dict":
        return {"type": "object", "additionalProperties": json_schema(node._value_validator)}
    raise AssertionError(kind)


def root_json_schema(schema: Any) -> dict:
    return {"$schema": JSON_SCHEMA_DRAFT, **json_schema(schema)}


def prepare_jsonschema_rs(schema: Any) -> Prepared:
    try:
        import jsonschema_rs
    except ImportError as error:
        raise Unavailable(str(error)) from None
    validator = jsonschema_rs.Draft7Validator(root_json_schema(schema))
    iter_errors = validator.iter_errors

    def collect(data: Any) -> list:
        return list(iter_errors(data))

    return Prepared(validate=validator.is_valid, check=validator.is_valid, collect=collect, errors=collect)


def prepare_fastjsonschema(schema: Any) -> Prepared:
    try:
        import fastjsonschema
    except ImportError as error:
        raise Unavailable(str(error)) from None
    compiled = fastjsonschema.compile(root_json_schema(schema))
    failure = fastjsonschema.JsonSchemaValueException

    def validate(data: Any) -> bool:
        try:
            compiled(data)
            return True
        except failure:
            return False

    return Prepared(validate=validate, check=validate)


def prepare_jsonschema(schema: Any) -> Prepared:
    try:
        import jsonschema
    except ImportError as error:
        raise Unavailable(str(error)) from None
    validator = jsonschema.Draft7Validator(root_json_schema(schema))
    iter_errors = validator.iter_errors

    def collect(data: Any) -> list:
        return list(iter_errors(data))

    return Prepared(validate=validator.is_valid, check=validator.is_valid, collect=collect, errors=collect)


QUILLANE = System("quillane", "quillane_core", "quillane_core", prepare_quillane)
REFERENCE = System(
    "reference",
    "pure-Python baseline",
    None,
    prepare_reference,
    note="tests/reference_model.py, what runs without the module",
)
FLOOR = System(
    "floor",
    "floor (C walk)",
    "quillane-bench-floor",
    prepare_floor,
    is_floor=True,
    note="bench/floor: visits every value, type test, UTF-8 form of each str",
)

PEERS = [
    System(
        "msgspec",
        "msgspec",
        "msgspec",
        prepare_msgspec,
        note="convert(strict=True) into Structs (forbid_unknown_fields); stops at the first error",
    ),
    System(
        "pydantic",
        "pydantic-core",
        "pydantic-core",
        prepare_pydantic,
        note="strict SchemaValidator, typed dicts with extra_behavior='forbid'; "
        "validate with fail_fast lists and dicts, collect from ValidationError.errors()",
    ),
    System(
        "jsonschema_rs",
        "jsonschema-rs",
        "jsonschema-rs",
        prepare_jsonschema_rs,
        note="Draft7Validator: is_valid, list(iter_errors())",
    ),
    System(
        "fastjsonschema",
        "fastjsonschema",
        "fastjsonschema",
        prepare_fastjsonschema,
        note="compiled draft-07 validator, exception as verdict; stops at the first error",
    ),
    System(
        "jsonschema",
        "jsonschema",
        "jsonschema",
        prepare_jsonschema,
        note="Draft7Validator: is_valid, list(iter_errors())",
    ),
]

ALL_SYSTEMS = [QUILLANE, REFERENCE, *PEERS, FLOOR]
