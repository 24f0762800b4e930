"""What compile_schema makes of a schema: a validator, None, or an exception.

The compiled kind is not visible directly, so it is checked through the
behaviour of the resulting validator, with both validate and collect.
"""

import pytest
from compile_support import field_map, raised, schema_object, type_like
from validator_classes import (
    BoolValidator,
    DictValidator,
    Float,
    Int,
    ListValidator,
    NumberValidator,
    StringValidator,
    Validator,
)

from quillane_core import NativeValidator, compile_schema

FloatLike = type("FloatLike", (), {"__float__": lambda self: 2.5})
IndexLike = type("IndexLike", (), {"__index__": lambda self: 3})
EmptyChecks = type("EmptyChecks", (), {"__len__": lambda self: 0})
FloatSub = type("FloatSub", (float,), {})
Key = type("Key", (str,), {})
# A dict subclass dressed up as a validator with coercion: still a field map.
OddDict = type("DictValidator", (dict,), {"_coerce": True, "_custom_checks": (1, 2), "_key_type": int})
# A dict subclass whose Python-level views lie: the entries come from the dict itself.
IterLies = type("IterLies", (dict,), {"__iter__": lambda self: iter(()), "keys": lambda self: [], "items": None})
# Settings served by __getattr__, or by the class rather than the instance.
Dynamic = type(
    "NumberValidator",
    (),
    {
        "__getattr__": lambda self, name: {
            "_coerce": False,
            "_custom_checks": [],
            "_type_cls": int,
            "_min": 10,
            "_exclusive_min": False,
            "_exclusive_max": False,
        }.get(name)
    },
)
NumberOnClass = type(
    "NumberValidator",
    (),
    {
        "_coerce": False,
        "_custom_checks": (),
        "_when_condition": None,
        "_env_key": None,
        "_type_cls": float,
        "_min": None,
        "_max": 1.0,
        "_exclusive_min": False,
        "_exclusive_max": False,
    },
)
SameNamedString = type("StringValidator", (StringValidator,), {})


def throw(error):
    raise error


def numpy_bool(value=None, name="bool_", module="numpy"):
    """Looks like numpy's boolean; its __bool__ gives value (or raises it); no __bool__ without a value."""
    namespace = {"__module__": module}
    if value is not None:
        namespace["__bool__"] = lambda self: throw(value) if isinstance(value, BaseException) else value
    return type(name, (), namespace)()


def missing(message, value=None):
    return [(message, "Missing required field", value)]


def less(value, bound, path=""):
    return [(path, f"Value {value} is less than minimum {bound}", value)]


def above(value, bound):
    return [("", f"Value {value} must be greater than {bound}", value)]


def shorter(text, bound):
    return [("", f"String length {len(text)} is shorter than minimum length {bound}", text)]


def expected(kind, value, path=""):
    return [(path, f"Expected {kind}", value)]


BIG = 2**63 - 1

# (schema, data, what collect returns); validate must agree: data itself for [], else None.
COMPILED = {
    "empty-field-map": ({}, {}, []),
    "empty-field-map-extra-key": ({}, {"a": 1}, None),
    "any": (Validator(), object(), []),
    "any-none": (Validator(), None, []),
    "bool": (BoolValidator(), True, []),
    "bool-rejects-int": (BoolValidator(), 1, expected("bool", 1)),
    "int-unbounded": (Int(), BIG, []),
    "int-rejects-float": (Int(), 1.0, expected("int", 1.0)),
    "int-min-zero-present": (Int(min=0), -1, less(-1, 0)),
    "int-min-only": (Int(min=1, max=None), BIG, []),
    "int-max-only": (Int(max=10), 11, [("", "Value 11 is greater than maximum 10", 11)]),
    "int-inclusive-bounds": (Int(min=3, max=3), 3, []),
    "int-exclusive-max-no-max": (Int(exclusive_max=True, max=None), BIG, []),
    "int-exclusive-keeps-type": (Int(exclusive_max=True), 0.5, expected("int", 0.5)),
    "int-exclusive-min-no-min": (Int(exclusive_min=True), -(2**63), []),
    "int-exclusive-min": (Int(min=0, exclusive_min=True), 0, above(0, 0)),
    "int-exclusive-max": (Int(max=7, exclusive_max=True), 7, [("", "Value 7 must be less than 7", 7)]),
    "int-exclusive-other-inclusive": (Int(min=0, max=7, exclusive_max=True), -1, less(-1, 0)),
    "int-bound-rounded": (
        Int(max=2**53 + 1),
        2**53 + 2,
        [("", "Value 9007199254740994 is greater than maximum 9007199254740992", 2**53 + 2)],
    ),
    "bound-float": (Int(min=5.0), 4, less(4, 5)),
    "bound-__float__": (Int(min=FloatLike()), 0, less(0, 2.5)),
    "bound-__index__": (Int(min=IndexLike()), 0, less(0, 3)),
    "bound-float-subclass": (Int(min=FloatSub(2.5)), 0, less(0, 2.5)),
    "bound-bool": (Int(min=True), 0, less(0, 1)),
    "float": (Float(), 1.5, []),
    "float-rejects-int": (Float(), 1, expected("float", 1)),
    "float-range": (Float(min=0.5), 0.25, less(0.25, 0.5)),
    "float-min-zero-present": (Float(min=0), -0.5, less(-0.5, 0)),
    "float-exclusive": (Float(max=1.0, exclusive_max=True), 1.0, [("", "Value 1 must be less than 1", 1.0)]),
    "float-exclusive-min-no-min": (Float(exclusive_min=True), -1e308, []),
    "str-unbounded": (StringValidator(), "any length at all", []),
    "str-rejects-int": (StringValidator(), 5, expected("str", 5)),
    "str-min-len": (StringValidator(min_len=2), "a", shorter("a", 2)),
    "str-max-len": (
        StringValidator(max_len=2),
        "abc",
        [("", "String length 3 is longer than maximum length 2", "abc")],
    ),
    "count-bool": (StringValidator(min_len=True), "", shorter("", 1)),
    "count-__index__": (StringValidator(min_len=IndexLike()), "", shorter("", 3)),
    "count-u64-max": (StringValidator(min_len=2**64 - 1), "", shorter("", 2**64 - 1)),
    "list": (ListValidator(Int()), [1, "x"], expected("int", "x", "[1]")),
    "list-min-len-zero": (ListValidator(Int(), min_len=0, max_len=None), [], []),
    "list-min-len-zero-items": (ListValidator(Int(), min_len=0), ["x"], expected("int", "x", "[0]")),
    "list-min-len": (ListValidator(Int(), min_len=1), [], [("", "List length 0 is shorter than minimum length 1", [])]),
    "list-max-len": (
        ListValidator(Int(), max_len=1),
        [1, 2],
        [("", "List length 2 is longer than maximum length 1", [1, 2])],
    ),
    "dict": (DictValidator(Int()), {"a": "x"}, expected("int", "x", "a")),
    "dict-non-str-key-undecided": (DictValidator(Int()), {1: 1}, None),
    "nested-field-map": ({"a": {"b": Int()}}, {"a": {"b": "x"}}, expected("int", "x", "a.b")),
    "nested-field-map-missing": ({"a": {"b": Int()}}, {"a": {}}, missing("a.b")),
    "field-order": ({"b": Int(), "a": Int()}, {}, missing("b") + missing("a")),
    "dict-subclass-always-fields": (OddDict(n=Int()), {"n": "x"}, expected("int", "x", "n")),
    "dict-subclass-named-validator": (type("Validator", (dict,), {})(n=Int()), {"n": 1.5}, expected("int", 1.5, "n")),
    "dict-subclass-entries-from-dict": (IterLies(n=Int()), {}, missing("n")),
    "str-subclass-key": ({Key("k"): Int()}, {"k": "x"}, expected("int", "x", "k")),
    "non-ascii-key": ({"größe": Int()}, {}, missing("größe")),
    "class-by-name-not-ancestry": (schema_object("Validator"), 1.5, []),
    "same-named-subclass": (SameNamedString(min_len=1), "", shorter("", 1)),
    "attrs-from-getattr": (Dynamic(), 9, less(9, 10)),
    "attrs-from-class": (NumberOnClass(), 2.0, [("", "Value 2 is greater than maximum 1", 2.0)]),
    "type-cls-name-int": (NumberValidator(type_like("int")), 1.5, expected("int", 1.5)),
    "type-cls-name-float": (NumberValidator(type_like("float")), 1, expected("float", 1)),
    "type-cls-name-str-subclass": (NumberValidator(type_like(Key("int"))), 1.5, expected("int", 1.5)),
    "key-type-name": (DictValidator(Int(), key_type=type_like("str")), {"a": 1.5}, expected("int", 1.5, "a")),
    "empty-checks-list": (Validator(custom_checks=[]), 1, []),
    "empty-checks-len-0": (Validator(custom_checks=EmptyChecks()), 1, []),
    "numpy-bool-false-coerce": (Validator(coerce=numpy_bool(False)), 1, []),
    "numpy-bool-named-bool": (Validator(coerce=numpy_bool(False, "bool")), 1, []),
    "numpy-bool-true-flag": (Int(min=0, exclusive_min=numpy_bool(True)), 0, above(0, 0)),
    "numpy-bool-false-flag": (Int(min=0, exclusive_min=numpy_bool(False)), 0, []),
}


@pytest.mark.parametrize(("schema", "data", "entries"), list(COMPILED.values()), ids=list(COMPILED))
def test_compiled_behaviour(schema, data, entries):
    validator = compile_schema(schema)
    assert type(validator) is NativeValidator
    assert validator.collect(data) == entries
    assert validator.validate(data) is (data if entries == [] else None)


def test_field_order_after_deleting_and_reinserting():
    schema = {"a": Int(), "b": Int(), "c": Int()}
    del schema["a"]
    schema["a"] = Int()
    assert [path for path, _, _ in compile_schema(schema).collect({})] == ["b", "c", "a"]


class EmailValidator(StringValidator):
    pass


# Each gives None; the "wins" cases hold an invalid or raising setting after the deciding one.
NOT_COMPILABLE = {
    "coerce": Validator(coerce=True),
    "coerce-bool": BoolValidator(coerce=True),
    "custom-checks": Validator(custom_checks=[len]),
    "when-condition-falsy": Validator(when_condition=0),
    "env-key-empty": StringValidator(env_key=""),
    "numpy-bool-true-coerce": Validator(coerce=numpy_bool(True)),
    "numpy-bool-named-bool-true": Validator(coerce=numpy_bool(True, "bool")),
    "type-cls-bool": NumberValidator(bool),
    "type-cls-Int": NumberValidator(type_like("Int")),
    "type-cls-int-space": NumberValidator(type_like("int ")),
    "regex-empty": StringValidator(regex=""),
    "key-type-int": DictValidator(Int(), key_type=int),
    "key-type-Str": DictValidator(Int(), key_type=type_like("Str")),
    "unknown-class": schema_object("FooValidator"),
    "lowercase-name": schema_object("validator"),
    "name-prefix": schema_object("ListValidatorX"),
    "renamed-subclass": EmailValidator(),
    "int-key": {"a": Validator(), 1: Validator()},
    "surrogate-key": {"\udc80": Validator()},
    "item-coerce": ListValidator(Validator(coerce=True)),
    "value-regex": DictValidator(StringValidator(regex="x")),
    "deep": {"a": {"b": ListValidator(DictValidator(ListValidator({"c": StringValidator(regex="x")})))}},
    "deep-last-field": {"a": Int(), "b": Int(), "c": {"d": Int(), "e": Validator(env_key="E")}},
    "wins:key-before-raising-value": {"a": Validator(), 1: Validator(), "c": object()},
    "wins:value-before-raising-value": {"a": Validator(coerce=True), "b": object()},
    "wins:value-before-bad-bool": {"a": BoolValidator(env_key="X"), "b": Validator(coerce=1)},
    "wins:nested-first": {"a": {"x": Validator(coerce=True)}, "b": 5},
    "wins:item-before-bad-min-len": ListValidator(Validator(coerce=True), min_len=-1),
    "wins:key-type-before-value": DictValidator(None, key_type=int),
    "wins:type-cls-before-bounds": NumberValidator(bool, min="x", exclusive_min=None),
    "wins:regex-before-lengths": StringValidator(regex="", min_len=-1),
    "wins:coerce-before-custom-checks": Validator(coerce=True, custom_checks=None),
    "wins:custom-checks-before-class": schema_object("Nope", _custom_checks=[1]),
}


@pytest.mark.parametrize("schema", list(NOT_COMPILABLE.values()), ids=list(NOT_COMPILABLE))
def test_not_compilable_gives_none(schema):
    assert compile_schema(schema) is None


def test_raising_value_before_non_compilable_value_raises():
    with pytest.raises(AttributeError):
        compile_schema({"b": object(), "a": Validator(coerce=True)})


# --- failures ------------------------------------------------------------------


@pytest.mark.parametrize("schema", [5, [], None, object()], ids=["int", "list", "None", "unknown-class"])
def test_object_without_gates_raises_attribute_error(schema):
    error = raised(schema)
    assert (type(error), error.name) == (AttributeError, "_coerce")


FULL = {
    "Validator": {},
    "BoolValidator": {},
    "Unknown": {},
    "NumberValidator": {"_type_cls": int, "_min": None, "_max": None, "_exclusive_min": False, "_exclusive_max": False},
    "StringValidator": {"_regex": None, "_min_len": None, "_max_len": None},
    "ListValidator": {"_item_validator": Validator(), "_min_len": None, "_max_len": None},
    "DictValidator": {"_key_type": str, "_value_validator": Validator()},
}
READ_ATTRIBUTES = [
    ("Validator", "_coerce"),
    ("Validator", "_custom_checks"),
    ("BoolValidator", "_when_condition"),
    ("Unknown", "_env_key"),
    ("NumberValidator", "_type_cls"),
    ("NumberValidator", "_min"),
    ("NumberValidator", "_max"),
    ("NumberValidator", "_exclusive_min"),
    ("NumberValidator", "_exclusive_max"),
    ("StringValidator", "_regex"),
    ("StringValidator", "_max_len"),
    ("ListValidator", "_item_validator"),
    ("ListValidator", "_min_len"),
    ("ListValidator", "_max_len"),
    ("DictValidator", "_key_type"),
    ("DictValidator", "_value_validator"),
]


class Fatal(BaseException):
    pass


@pytest.mark.parametrize(("class_name", "attribute"), READ_ATTRIBUTES)
def test_failing_attribute_read_raises_its_error(class_name, attribute):
    obj = schema_object(class_name, **FULL[class_name])
    delattr(obj, attribute)
    error = raised(obj)
    assert (type(error), error.name) == (AttributeError, attribute)
    for error in (LookupError("from the schema"), Fatal("from the schema")):
        assert raised(schema_object(class_name, fail={attribute: error}, **FULL[class_name])) is error


class Holder:
    class Flag:
        pass


def cannot(type_name, target="PyBool"):
    return f"'{type_name}' object cannot be converted to '{target}'"


FAILURES = {
    "coerce-int": (Validator(coerce=1), TypeError, cannot("int")),
    "coerce-None": (Validator(coerce=None), TypeError, cannot("NoneType")),
    "exclusive-min-None": (Int(exclusive_min=None), TypeError, cannot("NoneType")),
    "exclusive-max-int": (Float(exclusive_max=1), TypeError, cannot("int")),
    "qualified-type-name": (Validator(coerce=Holder.Flag()), TypeError, cannot("Holder.Flag")),
    "numpy-bool8": (Validator(coerce=numpy_bool(False, "bool8")), TypeError, cannot("bool8")),
    "numpy-Bool_": (Validator(coerce=numpy_bool(False, "Bool_")), TypeError, cannot("Bool_")),
    "numpy-core-module": (Validator(coerce=numpy_bool(False, module="numpy.core")), TypeError, cannot("bool_")),
    "numpy-bool-no-slot": (
        Validator(coerce=numpy_bool()),
        TypeError,
        "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
    ),
    "type-cls-name-int": (NumberValidator(type_like(5)), TypeError, cannot("int", "PyString")),
    "type-cls-name-None": (NumberValidator(type_like(None)), TypeError, cannot("NoneType", "PyString")),
    "key-type-name-bytes": (DictValidator(Int(), key_type=type_like(b"str")), TypeError, cannot("bytes", "PyString")),
    "type-cls-name-surrogate": (NumberValidator(type_like("in\udc80t")), UnicodeEncodeError, None),
    "min-len-negative": (StringValidator(min_len=-1), OverflowError, "can't convert negative int to unsigned"),
    "max-len-2**64": (ListValidator(Int(), max_len=2**64), OverflowError, None),
    "min-len-float": (StringValidator(min_len=2.0), TypeError, "'float' object cannot be interpreted as an integer"),
    "max-len-str": (ListValidator(Int(), max_len="3"), TypeError, None),
    "custom-checks-None": (Validator(custom_checks=None), TypeError, "object of type 'NoneType' has no len()"),
    "min-str": (Int(min="x"), TypeError, None),
    "min-int-too-large": (Float(min=10**400), OverflowError, None),
    "type-cls-None": (NumberValidator(None), AttributeError, None),
    "key-type-None": (DictValidator(Int(), key_type=None), AttributeError, None),
    "item-None": (ListValidator(None), AttributeError, None),
    "value-None": (DictValidator(None), AttributeError, None),
    "field-plain-object": ({"a": object()}, AttributeError, None),
    "deep-item-int": ({"a": Int(), "b": {"c": ListValidator(5)}}, AttributeError, None),
}


@pytest.mark.parametrize(("schema", "error_type", "message"), list(FAILURES.values()), ids=list(FAILURES))
def test_invalid_setting_raises(schema, error_type, message):
    error = raised(schema)
    assert type(error) is error_type
    assert message is None or str(error) == message


# --- exceptions from Python code pass through unchanged ----------------------


class Raises:
    """Raises its error from every conversion the compiler may ask of it."""

    def __init__(self, error):
        self.error = error

    __float__ = __index__ = __len__ = lambda self: throw(self.error)
    __name__ = property(__float__)


RAISING = {
    "deep": lambda e: {"a": Int(), "b": ListValidator(DictValidator({"c": StringValidator(max_len=Raises(e))}))},
    "__float__": lambda e: Int(min=Raises(e)),
    "__index__": lambda e: StringValidator(max_len=Raises(e)),
    "__len__": lambda e: Validator(custom_checks=Raises(e)),
    "__name__": lambda e: NumberValidator(Raises(e)),
    "numpy-bool": lambda e: Validator(coerce=numpy_bool(e)),
}


@pytest.mark.parametrize("error_type", [LookupError, Fatal])
@pytest.mark.parametrize("make_schema", list(RAISING.values()), ids=list(RAISING))
def test_exception_from_python_code_propagates_unchanged(make_schema, error_type):
    error = error_type("from the schema")
    assert raised(make_schema(error)) is error


# --- where a compile error arose: one note ------------------------------------


def chain(depth, leaf):
    for _ in range(depth):
        leaf = {"a": leaf}
    return leaf


def nested_compile(error):
    """A schema whose setting compiles another schema, which fails at "inner"."""
    return {"outer": schema_object("Validator", before={"_coerce": lambda: compile_schema({"inner": bad(error)})})}


def bad(error):
    return StringValidator(max_len=Raises(error))


def dict_growing_at(error):
    """A field map that gains a key while its field "a" is read: a fault, no note."""
    return {"top": field_map(lambda d: {"a": schema_object("Validator", before={"_coerce": lambda: d.update(b=1)})})}


WHERE = {
    "root": (bad, "its root"),
    "field-map": (lambda e: {"name": Int(), "age": bad(e)}, "age"),
    "list-item": (lambda e: ListValidator(bad(e)), "[]"),
    "dict-value": (lambda e: DictValidator(bad(e)), "{}"),
    "nested-field": (lambda e: {"orders": ListValidator({"customer": {"email": bad(e)}})}, "orders[].customer.email"),
    "dict-value-field": (lambda e: {"meta": DictValidator({"id": bad(e)})}, "meta{}.id"),
    "list-of-lists": (lambda e: {"grid": ListValidator(ListValidator(DictValidator(bad(e))))}, "grid[][]{}"),
    "12-levels-in-full": (lambda e: chain(12, bad(e)), ".".join(["a"] * 12)),
    "13-levels-elided": (lambda e: chain(13, bad(e)), "a.a.a.a.a...(3 levels)...a.a.a.a.a"),
    "1000-levels-elided": (lambda e: chain(1000, bad(e)), "a.a.a.a.a...(990 levels)...a.a.a.a.a"),
    "mixed-elided": (
        lambda e: DictValidator(ListValidator(chain(20, ListValidator(DictValidator(bad(e)))))),
        "{}[].a.a.a...(14 levels)...a.a.a[]{}",
    ),
    # Noted by the compile it arose in, not again by the one around it.
    "nested-compile": (nested_compile, "inner"),
    # A fault of the module is not an error of the schema.
    "panic": (dict_growing_at, None),
}


@pytest.mark.parametrize("error_type", [LookupError, Fatal])
@pytest.mark.parametrize(("make_schema", "path"), list(WHERE.values()), ids=list(WHERE))
def test_compile_error_is_noted_once_with_its_schema_path(make_schema, path, error_type):
    error = error_type("from the schema")
    schema = make_schema(error)
    if path is None:
        fault = raised(schema)
        assert (type(fault).__name__, hasattr(fault, "__notes__")) == ("PanicException", False)
        return
    note = f"while compiling the schema at {path}"
    # Compiled twice: the same exception object, its message as it was, one note.
    for _ in range(2):
        assert raised(schema) is error
        assert (error.args, error.__notes__) == (("from the schema",), [note])


def test_compile_error_from_the_interpreter_is_noted():
    error = raised({"a": {"b": int}})
    assert (type(error), str(error)) == (AttributeError, "type object 'int' has no attribute '_coerce'")
    assert error.__notes__ == ["while compiling the schema at a.b"]
    bad_flag = raised({"a": ListValidator(Validator(coerce=1))})
    assert (type(bad_flag), bad_flag.__notes__) == (TypeError, ["while compiling the schema at a[]"])


class NotesNotAList(LookupError):
    __notes__ = "not a list"


class NoteRefused(LookupError):
    def __init__(self, refusal):
        super().__init__("from the schema")
        self.refusal = refusal

    def add_note(self, note):
        raise self.refusal


@pytest.mark.parametrize(
    ("make_error", "raises"),
    [
        (lambda: NotesNotAList("from the schema"), "error"),
        (lambda: NoteRefused(ValueError("no notes")), "error"),
        (lambda: NoteRefused(Fatal("stop")), "refusal"),
        (lambda: NoteRefused(MemoryError()), "refusal"),
    ],
    ids=["notes-not-a-list", "ordinary-refusal", "base-exception-refusal", "memory-error-refusal"],
)
def test_failing_to_add_the_note(make_error, raises):
    """The note is a courtesy: the error goes on without it, unless adding it
    raised what must not be swallowed."""
    error = make_error()
    assert raised({"a": bad(error)}) is (error if raises == "error" else error.refusal)
    assert getattr(error, "__notes__", None) == getattr(type(error), "__notes__", None)


def test_compile_error_keeps_the_notes_it_had():
    error = LookupError("from the schema")
    error.add_note("raised by the schema")
    assert raised({"a": bad(error)}) is error
    assert error.__notes__ == ["raised by the schema", "while compiling the schema at a"]
