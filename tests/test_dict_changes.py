"""Dicts changed by Python code while the module walks them, as the dict
watchers see it: nesting, re-entry, every way out, and an interpreter with no
watcher id to give."""

import contextlib
import subprocess
import sys
import sysconfig

import pytest
from compile_support import run_python
from dict_watcher_ids import watcher_bits
from test_hostile_inputs import Hook, _panic_text
from validator_classes import DictValidator, Int, ListValidator, Validator

import quillane_core

KEYS_CHANGED = "dictionary keys changed during iteration"


@pytest.mark.parametrize("method", ["validate", "collect"])
def test_a_walk_reentered_on_the_same_dict_still_sees_a_later_change(method):
    validator = quillane_core.compile_schema(DictValidator(Int()))
    data = {"a": 0, "b": 0, "c": 0}
    entered = []

    def reenter_then_change():
        # The inner walk of the same dict ends first; the outer one must still
        # notice the change.
        if entered:
            return
        entered.append(None)
        assert getattr(validator, method)(dict.fromkeys(data, 0)) is not None
        getattr(validator, method)(data)
        data["a"] = "bad"

    data["b"] = Hook(reenter_then_change)
    assert _panic_text(lambda: getattr(validator, method)(data)) == KEYS_CHANGED
    assert watcher_bits(data) == 0


@pytest.mark.parametrize("method", ["validate", "collect"])
def test_a_dict_that_holds_itself_stays_watched_for_its_outer_walk(method):
    # The record is walked twice at once, outer and inner. Its hook runs in
    # both walks; the second time, after the inner walk has ended, it
    # replaces a value, which the outer walk must still notice.
    validator = quillane_core.compile_schema({"me": {"me": Validator(), "n": Int()}, "n": Int()})
    calls = []
    data = {}

    def change_the_second_time():
        calls.append(None)
        if len(calls) == 2:
            data["me"] = {}

    data["me"], data["n"] = data, Hook(change_the_second_time)
    assert _panic_text(lambda: getattr(validator, method)(data)) == KEYS_CHANGED
    assert (len(calls), watcher_bits(data)) == (2, 0)


class _Stop(BaseException):
    pass


def _raise(error):
    raise error


# Every way a call can end after Python code ran with the dicts walked.
ENDINGS = {
    "passes": (lambda: None, None),
    "fails": (lambda: None, "bad"),
    "undecided": (lambda: None, ("tuple",)),
    "raises": (lambda: _raise(_Stop()), None),
    "fault": ("change", None),
}


@pytest.mark.parametrize("method", ["validate", "collect"])
@pytest.mark.parametrize("ending", ENDINGS, ids=ENDINGS)
def test_nothing_stays_watched_after_a_call(method, ending):
    action, last = ENDINGS[ending]
    validator = quillane_core.compile_schema({"outer": DictValidator(ListValidator(Int())), "z": Int()})
    inner = {"x": [0], "y": [0]}
    data = {"outer": inner, "z": 0}
    inner["x"] = [Hook(lambda: inner.__setitem__("y", [1]) if action == "change" else action())]
    if last is not None:
        inner["y"] = [last] if not isinstance(last, tuple) else last
    with contextlib.suppress(BaseException):  # the raise and the fault cases
        getattr(validator, method)(data)
    assert (watcher_bits(data), watcher_bits(inner)) == (0, 0)


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="a free-threaded build watches no dict (runtime/dict_watch.cpp): it takes no id",
)
def test_the_module_takes_its_watcher_id_when_imported():
    # Profilers, JITs and other extensions take the few ids an interpreter
    # has; asked for only at a first walk, the module's might be gone.
    result = run_python("""
        from dict_watcher_ids import count_free_ids
        free_ids = count_free_ids()
        import quillane_core
        print(free_ids - count_free_ids())
    """)
    assert (result.returncode, result.stdout) == (0, "1\n"), result.stderr


def test_changes_are_caught_without_a_free_watcher_id():
    # The dict-change tests again, in an interpreter whose watcher ids are all
    # taken before the module asks for one.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "dict_watcher_ids",
            "-p",
            "no:cacheprovider",
            "tests/test_hostile_inputs.py",
            "tests/test_collect.py",
            "tests/test_compile.py",
            "-k",
            "changed or finaliser or churn or mutat",
        ],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert " passed" in result.stdout and " deselected" in result.stdout
