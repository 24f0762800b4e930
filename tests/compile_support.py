"""Schema objects built to order, and helpers shared by the compile tests."""

import os
import subprocess
import sys
import textwrap

import pytest
from validator_classes import Validator

from quillane_core import compile_schema

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
# The schema classes: the examples' stand-ins for a validation package's own.
EXAMPLES_DIR = os.path.join(os.path.dirname(TESTS_DIR), "examples")
# What a child interpreter puts first on its import path: the test helpers and the schema classes.
IMPORT_PATH = [TESTS_DIR, EXAMPLES_DIR]
GATE_NAMES = ("_coerce", "_custom_checks", "_when_condition", "_env_key")
GATES = {"_coerce": False, "_custom_checks": (), "_when_condition": None, "_env_key": None}
CHANGED_SIZE = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"
LIST_CHANGED_SIZE = "list changed size during iteration"
LIST_CHANGED = "list changed during iteration"


def schema_object(class_name, *, log=None, label="", before=None, fail=None, **attrs):
    """An object of a fresh class named class_name, with the common gates and attrs.

    Each attribute read is logged as "label.name"; reading a name in before first
    runs its action; reading a name in fail raises its error, or what it returns
    if it is a function.
    """

    def getattribute(self, name):
        if log is not None:
            log.append(f"{label}.{name}")
        if before and name in before:
            before[name]()
        if fail and name in fail:
            raise fail[name]() if callable(fail[name]) else fail[name]
        return object.__getattribute__(self, name)

    obj = type(class_name, (), {"__getattribute__": getattribute})()
    for name, value in {**GATES, **attrs}.items():
        object.__setattr__(obj, name, value)
    return obj


def type_like(name, log=None, label=""):
    """Stands in for a type object: only its __name__ is read."""
    return schema_object("TypeLike", log=log, label=label, __name__=name)


def raised(schema):
    """The exception that compiling schema raises."""
    with pytest.raises(BaseException) as info:
        compile_schema(schema)
    return info.value


def mutating(action):
    """A "Validator" whose _coerce read runs action first."""
    return schema_object("Validator", before={"_coerce": action})


def field_map(build):
    """A dict filled with build(the dict itself), so that its values can refer to it."""
    schema = {}
    schema.update(build(schema))
    return schema


def adds_key(target):
    return mutating(lambda: target.__setitem__("added", Validator()))


def growing_schema():
    """A field map that gains a key while its first value is read."""
    return field_map(lambda schema: {"a": adds_key(schema), "b": Validator()})


def run_python(*parts, timeout=120):
    """Runs the script parts in a fresh interpreter that can import the test helpers."""
    code = f"import sys\nsys.path[:0] = {IMPORT_PATH!r}\n" + "".join(textwrap.dedent(part) for part in parts)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
