"""What the module and its one class look like from Python."""

import gc
import importlib
import inspect
import sys
import sysconfig
import weakref

import pytest
from compile_support import run_python

import quillane_core
from quillane_core import NativeValidator, compile_schema

METHODS = ["validate", "collect"]


def test_reimport_returns_the_cached_module_unchanged(monkeypatch):
    assert importlib.import_module("quillane_core") is quillane_core
    monkeypatch.setattr(quillane_core, "added_later", 42, raising=False)
    monkeypatch.delitem(sys.modules, "quillane_core")
    fresh = importlib.import_module("quillane_core")
    assert (fresh, fresh.added_later) == (quillane_core, 42)


def test_module_namespace():
    public = {name for name in vars(quillane_core) if not name.startswith("__")}
    assert (quillane_core.__name__, quillane_core.__doc__, public) == (
        "quillane_core",
        "",
        {"compile_schema", "NativeValidator"},
    )
    assert type(quillane_core.__all__) is list
    assert quillane_core.__all__ == ["compile_schema", "NativeValidator"]


def test_compile_schema_is_a_function_bound_to_the_module():
    f = compile_schema
    assert (f.__module__, f.__self__, f.__name__, f.__qualname__) == (
        "quillane_core",
        quillane_core,
        "compile_schema",
        "compile_schema",
    )
    params = inspect.signature(f).parameters.values()
    assert [(p.name, p.kind) for p in params] == [("schema", inspect.Parameter.POSITIONAL_OR_KEYWORD)]


@pytest.mark.parametrize(
    ("callable_", "signature"),
    [
        (compile_schema, "(schema)"),
        (NativeValidator.validate, "($self, data)"),
        (NativeValidator.collect, "($self, data)"),
    ],
    ids=["compile_schema", *METHODS],
)
def test_docstring_is_only_a_text_signature(callable_, signature):
    assert (callable_.__text_signature__, callable_.__doc__) == (signature, None)


@pytest.mark.parametrize("method", METHODS)
def test_method_signature_and_names(method):
    unbound = getattr(NativeValidator, method)
    params = inspect.signature(unbound).parameters
    assert list(params) == ["self", "data"]
    assert params["data"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert str(inspect.signature(getattr(compile_schema({}), method))) == "(data)"
    assert unbound.__qualname__ == f"NativeValidator.{method}"


def test_class_attributes():
    cls = NativeValidator
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == (
        "builtins",
        "NativeValidator",
        "NativeValidator",
        None,
    )
    assert repr(cls) == "<class 'builtins.NativeValidator'>"
    assert {name for name in vars(cls) if not name.startswith("__")} == {"validate", "collect"}
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC


def test_instances():
    first, second = compile_schema({}), compile_schema({})
    assert type(first) is NativeValidator and first is not second
    assert repr(first).startswith("<builtins.NativeValidator object at 0x")
    assert not hasattr(first, "__dict__") and gc.is_tracked(first) is False
    for name in ("anything", "validate"):
        with pytest.raises(AttributeError):
            setattr(first, name, 1)
    with pytest.raises(TypeError):
        weakref.ref(first)


@pytest.mark.parametrize(
    "construct",
    [
        lambda: NativeValidator(),
        lambda: NativeValidator({}, 1, schema=2, x=3),
        lambda: NativeValidator(data=1),
        lambda: NativeValidator.__new__(NativeValidator),
    ],
    ids=["no-args", "positional-and-keywords", "keyword-only", "dunder-new"],
)
def test_construction_refused(construct):
    with pytest.raises(TypeError) as info:
        construct()
    assert str(info.value) == "No constructor defined for NativeValidator"


def test_instance_made_around_the_refusing_constructor_checks_nothing():
    # The class is mutable, so Python code can swap its __new__; what that
    # makes holds no compiled schema and must never answer for data.
    result = run_python("""
        from quillane_core import NativeValidator
        NativeValidator.__new__ = staticmethod(lambda cls: object.__new__(cls))
        forged = NativeValidator()
        for call in (lambda: forged.validate(1), lambda: forged.collect(1)):
            try:
                print("answered", call())
            except TypeError as error:
                print("TypeError", error)
        del forged
        print("freed")
    """)
    assert result.returncode == 0, result.stderr
    text = "NativeValidator object holds no compiled schema (only compile_schema() makes usable instances)"
    assert result.stdout.splitlines() == [f"TypeError {text}", f"TypeError {text}", "freed"]


def test_subclassing_refused():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (NativeValidator,), {})


def test_method_descriptor_refuses_foreign_self():
    with pytest.raises(TypeError, match=r"'builtins\.NativeValidator'"):
        NativeValidator.validate(object(), {})


def test_type_reference_held_by_each_instance_and_given_back():
    before = sys.getrefcount(NativeValidator)
    validator = compile_schema({"a": {"b": {}}})
    assert sys.getrefcount(NativeValidator) == before + 1
    del validator
    validators = [compile_schema({}) for _ in range(500)]
    del validators
    assert sys.getrefcount(NativeValidator) == before


# --- a second interpreter ---------------------------------------------------

# driver: (module, attribute it needs, code defining run(code))
_DRIVERS = {
    "run_in_subinterp": ("_testcapi", "run_in_subinterp", "import _testcapi\nrun = _testcapi.run_in_subinterp\n"),
    "interpreters": (
        "_interpreters",
        "create",
        "import _interpreters\n"
        "_i = _interpreters.create(_interpreters.new_config('legacy'))\n"
        "run = lambda code: _interpreters.exec(_i, code)\n",
    ),
}

# Imports in the main interpreter, twice in a second one, then again in the
# main one after removing the module from sys.modules.
_PROBE = """
import quillane_core as first
DRIVER
run('''
import os
for _ in range(2):
    try:
        import quillane_core
        os.write(1, b"imported\\\\n")
    except BaseException as exc:
        os.write(1, (type(exc).__name__ + ": " + str(exc) + "\\\\n").encode())
''')
del sys.modules["quillane_core"]
import quillane_core as second
print("main:", first is second, type(second.compile_schema({})).__name__)
"""


@pytest.mark.parametrize("driver", sorted(_DRIVERS))
def test_second_interpreter_refused_every_time(driver):
    module, attribute, code = _DRIVERS[driver]
    if not hasattr(pytest.importorskip(module), attribute):
        pytest.skip(f"{driver} not available")
    result = run_python(_PROBE.replace("DRIVER", code), timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(":", 1)[0] for line in lines] == ["ImportError", "ImportError", "main"]
    # A free-threaded interpreter refuses the module itself, before its
    # initialisation runs: it loads no single-phase module into a
    # subinterpreter, whatever the interpreter's configuration says.
    refusal = (
        "does not support loading in subinterpreters"
        if sysconfig.get_config_var("Py_GIL_DISABLED")
        else "do not yet support subinterpreters"
    )
    assert all(refusal in line for line in lines[:2])
    assert lines[2] == "main: True NativeValidator"
