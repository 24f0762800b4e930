"""Every allocation of a compile, a validate and a collect may fail.

With the interpreter's allocators made to fail exactly the n-th allocation
after the hook is set, each call must end in its normal result, MemoryError,
or PanicException (an object constructor that failed), never in a crash, and
the module must keep working afterwards.
"""

import gc
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from compile_support import IMPORT_PATH, TESTS_DIR
from validator_classes import BoolValidator, DictValidator, Float, Int, ListValidator, StringValidator

import quillane_core

_testcapi = pytest.importorskip("_testcapi")

# Enough consecutive untouched runs to be sure the call has no allocation left.
UNTOUCHED_RUNS_TO_STOP = 25
MAX_ALLOCATIONS = 4000


def _schema():
    return {
        "name": StringValidator(min_len=2, max_len=8),
        "age": Int(min=0, max=150),
        "ratio": Float(min=0.0, max=1.0, exclusive_max=True),
        "flags": ListValidator(BoolValidator(), max_len=3),
        "scores": DictValidator(Float()),
        "tags": ListValidator({"label": StringValidator(), "weight": Int(min=1)}),
    }


VALID = {
    "name": "Ada",
    "age": 36,
    "ratio": 0.5,
    "flags": [True],
    "scores": {"a": 1.0},
    "tags": [{"label": "x", "weight": 2}],
}
INVALID = {
    "name": "A" * 20,
    "age": -3,
    "ratio": 1.0,
    "flags": [1, 0],
    "scores": {"a": 1},
    "tags": [{"label": 5, "weight": 0}, {"label": "é"}],
}


def _outcome(call, failing=None):
    """The call's outcome; with `failing`, the n-th allocation from the hook
    on fails. The hook is set inside the try: a free-threaded interpreter
    allocates in the call into this function itself."""
    try:
        if failing is None:
            return ("result", call())
        _testcapi.set_nomemory(failing, failing + 1)
        try:
            return ("result", call())
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        return ("MemoryError", None)
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ == "PanicException":
            return ("PanicException", None)
        raise


def _inject_each_allocation(call, expected):
    """Fails allocation n for n = 0, 1, ... until the call no longer allocates."""
    kinds = set()
    untouched = 0
    for n in range(MAX_ALLOCATIONS):
        kind, value = _outcome(call, n)
        kinds.add(kind)
        if kind == "result":
            assert value == expected
            untouched += 1
            if untouched >= UNTOUCHED_RUNS_TO_STOP:
                return n, kinds
        else:
            untouched = 0
    pytest.fail(f"the call still allocated after {MAX_ALLOCATIONS} allocations")


def _compiled_shape(validator):
    return None if validator is None else validator.collect(INVALID)


@pytest.mark.parametrize(
    ("name", "make_call"),
    [
        ("compile", lambda v: lambda: _compiled_shape(quillane_core.compile_schema(_schema()))),
        ("validate valid", lambda v: lambda: v.validate(VALID) is VALID),
        ("validate invalid", lambda v: lambda: v.validate(INVALID)),
        ("collect valid", lambda v: lambda: v.collect(VALID)),
        ("collect invalid", lambda v: lambda: v.collect(INVALID)),
    ],
)
def test_failed_allocations_end_in_result_or_exception(name, make_call):
    validator = quillane_core.compile_schema(_schema())
    call = make_call(validator)
    expected = call()
    allocations, kinds = _inject_each_allocation(call, expected)
    # The call did allocate, and failures did reach it.
    assert allocations > UNTOUCHED_RUNS_TO_STOP or kinds == {"result"}
    # The module and this very validator keep working.
    assert call() == expected
    assert quillane_core.compile_schema(_schema()).collect(INVALID) == validator.collect(INVALID)


class _Discard:
    """A stderr that keeps nothing, so that fault reports take no memory."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_failed_allocations_leak_nothing(monkeypatch):
    monkeypatch.setattr(sys, "stderr", _Discard())
    validator = quillane_core.compile_schema(_schema())
    data = [dict(INVALID) for _ in range(3)]
    calls = [
        lambda: quillane_core.compile_schema(_schema()),
        lambda: validator.validate(VALID),
        lambda: validator.collect(data),
    ]

    def sweep():
        for call in calls:
            for n in range(300):
                _testcapi.set_nomemory(n, n + 1)
                try:
                    _outcome(call)
                finally:
                    _testcapi.remove_mem_hooks()

    baseline = [sys.getrefcount(item) for item in data]
    for _ in range(2):
        sweep()  # warm caches, interned strings, free lists
    growth = []
    for _ in range(5):
        gc.collect()
        before = sys.getallocatedblocks()
        sweep()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    # Free lists and the last printed exception make some noise that comes
    # and goes; a leak on the failure paths grows in every sweep.
    assert min(growth) < 30, growth
    assert [sys.getrefcount(item) for item in data] == baseline


def test_validate_of_conforming_data_allocates_nothing():
    validator = quillane_core.compile_schema(_schema())
    data = dict(VALID, name="Zoë", tags=[{"label": "naïve ✓", "weight": 2}] * 50)
    validate = validator.validate
    assert validate(data) is data
    _testcapi.set_nomemory(0)  # from here on, every allocation fails
    try:
        result = validate(data)
    finally:
        _testcapi.remove_mem_hooks()
    assert result is data


# The module's own C++ allocations (trees, paths, messages) fail in turn too:
# with a preloaded operator new that fails the n-th allocation, each call
# still ends in its result, MemoryError or PanicException, never in an abort.
# A preloaded operator new reaches the module only where it takes its C++
# runtime from a shared library (GCC's libstdc++); the script says first
# whether it does: a module with its runtime linked in (the wheels, built
# with libc++) allocates out of its reach.
NATIVE_SWEEP = """
    import ctypes
    import sys
    import quillane_core
    from test_allocation_failures import INVALID, VALID, _outcome, _schema

    sys.stderr = open("/dev/null", "w")  # fault reports
    shim = ctypes.CDLL(None)
    shim.failing_new_arm.argtypes = [ctypes.c_longlong]
    shim.failing_new_seen.restype = ctypes.c_longlong
    shim.failing_new_arm(1 << 62)  # counts, never fails
    validator = quillane_core.compile_schema(_schema())
    reached = shim.failing_new_seen()
    shim.failing_new_arm(-1)
    print("reached |", reached, flush=True)
    if not reached:
        sys.exit(0)
    calls = {
        "compile": lambda: quillane_core.compile_schema(_schema()) is not None,
        "validate valid": lambda: validator.validate(VALID) is VALID,
        "validate invalid": lambda: validator.validate(INVALID),
        "collect valid": lambda: validator.collect(VALID),
        "collect invalid": lambda: validator.collect(INVALID),
    }
    for name, call in calls.items():
        expected = call()
        kinds = set()
        for n in range(10_000):
            shim.failing_new_arm(n)
            kind, value = _outcome(call)
            seen = shim.failing_new_seen()
            shim.failing_new_arm(-1)
            if seen <= n:  # the call made no n-th allocation: all were failed once
                assert (kind, value) == ("result", expected), (name, n, kind)
                break
            kinds.add(kind)
        assert call() == expected
        print(name, "|", n, *sorted(kinds), flush=True)
"""


@pytest.mark.skipif(bool(os.environ.get("QUILLANE_SANITIZED")), reason="the sanitizers own operator new")
def test_failed_native_allocations_end_in_result_or_exception(tmp_path):
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the failing operator new")
    shim = tmp_path / "failing_new.so"
    source = os.path.join(TESTS_DIR, "native", "failing_new.cpp")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(shim), source], check=True)
    env = dict(os.environ, LD_PRELOAD=str(shim))
    code = f"import sys\nsys.path[:0] = {IMPORT_PATH!r}\n" + textwrap.dedent(NATIVE_SWEEP)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stdout[-1000:] + result.stderr[-2000:]
    lines = dict(line.split(" | ") for line in result.stdout.splitlines())
    if lines.pop("reached") == "0":
        pytest.skip("the module's C++ runtime is linked in: a preloaded operator new cannot reach its allocations")
    assert set(lines) == {"compile", "validate valid", "validate invalid", "collect valid", "collect invalid"}
    # Compile and collect allocate natively, and each failure became an exception.
    for name in ("compile", "collect invalid"):
        count, *kinds = lines[name].split()
        assert int(count) > 0 and set(kinds) <= {"MemoryError", "PanicException"}, (name, lines[name])
