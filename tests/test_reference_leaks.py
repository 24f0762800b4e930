"""Every public call pattern, run many times, leaves nothing behind.

After a warm-up, a few hundred more calls must bring the interpreter's count
of allocated blocks back to where it stood, and leave the reference counts
of the inputs and of the NativeValidator class unchanged. (None, True and
False are immortal in 3.13: their counts never move, so they prove nothing.)
"""

import gc
import sys
import sysconfig

import pytest
from validator_classes import Int, ListValidator, StringValidator, Validator

import quillane_core

ROUNDS = 2000
# Free lists and caches make a little noise; a leak of one block per call
# would add at least ROUNDS blocks.
BLOCK_TOLERANCE = ROUNDS // 4
# A free-threaded interpreter's allocator keeps what a faulting call's
# exception, traceback and report used for a first run of about ROUNDS calls
# before the count settles (it then stays put however many more run), so
# the warm-up there is as long as the measured run.
WARM_UP = ROUNDS if sysconfig.get_config_var("Py_GIL_DISABLED") else 50


class GrowsDictWhenRead:
    """An int-like value that adds a key to a dict when its integer is read."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target[f"k{len(self.target)}"] = 0
        return 1


def _record_schema():
    return {"name": StringValidator(min_len=1), "age": Int(min=0), "tags": ListValidator(StringValidator())}


class _GrowingSchemaValue(Validator):
    """Adds a key to the field map being compiled when its gates are read.

    Compiled as a "Validator" (the class name is what counts), so that the
    compile goes on to the next entry and meets the changed dict.
    """

    def __init__(self, field_map):
        super().__init__()
        self._field_map = field_map

    @property
    def _env_key(self):
        self._field_map[f"x{len(self._field_map)}"] = Validator()
        return None

    @_env_key.setter
    def _env_key(self, value):
        pass


_GrowingSchemaValue.__name__ = _GrowingSchemaValue.__qualname__ = "Validator"


def _outcome(call):
    try:
        return call()
    except BaseException as error:  # PanicException is a BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return type(error)


VALIDATOR = quillane_core.compile_schema(_record_schema())
VALID = {"name": "Ada", "age": 36, "tags": ["x"]}
INVALID = {"name": "", "age": -1, "tags": ["x", 5]}
UNDECIDED = {"name": "Ada", "age": 36, "tags": ("x",)}
RAISING = {"name": "\ud800", "age": 1, "tags": []}


def _faulting_data():
    data = {}
    data["a"] = GrowsDictWhenRead(data)
    return data


INT_DICT = quillane_core.compile_schema({"a": Int()})


def _faulting_schema():
    field_map = {}
    field_map["a"] = _GrowingSchemaValue(field_map)
    return field_map


PATTERNS = {
    "compile good": (lambda: quillane_core.compile_schema(_record_schema()), quillane_core.NativeValidator),
    "compile not compilable": (lambda: quillane_core.compile_schema({"a": Validator(coerce=True)}), None),
    "compile raising": (lambda: quillane_core.compile_schema({"a": 5}), AttributeError),
    "compile faulting": (lambda: quillane_core.compile_schema(_faulting_schema()), "PanicException"),
    "validate valid": (lambda: VALIDATOR.validate(VALID), dict),
    "validate invalid": (lambda: VALIDATOR.validate(INVALID), None),
    "validate raising": (lambda: VALIDATOR.validate(RAISING), UnicodeEncodeError),
    "validate faulting": (lambda: INT_DICT.validate(_faulting_data()), "PanicException"),
    "collect valid": (lambda: VALIDATOR.collect(VALID), list),
    "collect invalid": (lambda: VALIDATOR.collect(INVALID), list),
    "collect undecided": (lambda: VALIDATOR.collect(UNDECIDED), None),
    "collect raising": (lambda: VALIDATOR.collect(RAISING), UnicodeEncodeError),
    "collect faulting": (lambda: INT_DICT.collect(_faulting_data()), "PanicException"),
    "construct": (lambda: quillane_core.NativeValidator(1, a=2), TypeError),
}
for _name, _call in [
    ("compile_schema", quillane_core.compile_schema),
    ("validate", VALIDATOR.validate),
    ("collect", VALIDATOR.collect),
]:
    PATTERNS[f"{_name} missing"] = (lambda f=_call: f(), TypeError)
    PATTERNS[f"{_name} too many"] = (lambda f=_call: f(VALID, VALID), TypeError)
    PATTERNS[f"{_name} unknown keyword"] = (lambda f=_call: f(strict=VALID), TypeError)
    PATTERNS[f"{_name} twice"] = (
        lambda f=_call: f(VALID, **{"schema" if f is quillane_core.compile_schema else "data": VALID}),
        TypeError,
    )


def _kind(value):
    if isinstance(value, type):
        return value.__name__ if value.__name__ == "PanicException" else value
    return None if value is None else type(value)


@pytest.mark.parametrize("name", list(PATTERNS))
def test_call_pattern_leaks_nothing(name, capfd):
    call, expected = PATTERNS[name]
    watched = [VALID, INVALID, UNDECIDED, RAISING, VALIDATOR, quillane_core.NativeValidator]
    kind = _kind(_outcome(call))
    assert kind == expected or (isinstance(kind, type) and isinstance(expected, type) and issubclass(kind, expected))
    for _ in range(WARM_UP):
        _outcome(call)
    gc.collect()
    blocks = sys.getallocatedblocks()
    counts = [sys.getrefcount(obj) for obj in watched]
    for _ in range(ROUNDS):
        _outcome(call)
    gc.collect()
    capfd.readouterr()  # fault reports went to stderr
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getallocatedblocks() - blocks < BLOCK_TOLERANCE
