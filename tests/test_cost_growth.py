"""How the cost of a call grows with sizes the data's sender controls, as the
ratio of two sizes' times in one run: the height of the path to a
violation, and a long dict walked where the interpreter has no dict-watcher
id left for the module."""

import pytest
from compile_support import run_python
from test_hostile_inputs import _best_time
from validator_classes import DictValidator, Int, ListValidator

import quillane_core

WRAPPERS = {
    "lists": (ListValidator, lambda data: [data]),
    "dicts": (DictValidator, lambda data: {"k": data}),
    "fields": (lambda schema: {"k": schema}, lambda data: {"k": data}),
}


def _tall_violation(shape, height, mass):
    """collect, `mass` conforming ints and one str in the deepest list of a
    tree of `height` levels, and the path of the one error for it."""
    wrap_schema, wrap_data = WRAPPERS[shape]
    schema, data = ListValidator(Int()), [0] * mass + ["bad"]
    for _ in range(height - 1):
        schema, data = wrap_schema(schema), wrap_data(data)
    above = "[0]" * (height - 1) if shape == "lists" else ".".join(["k"] * (height - 1))
    return quillane_core.compile_schema(schema).collect, data, f"{above}[{mass}]"


@pytest.mark.parametrize("shape", WRAPPERS)
def test_collect_cost_does_not_grow_with_the_height_of_the_path_to_a_violation(shape):
    # Each container on the path is checked, found failing and walked: a
    # walk that checked its failing child's subtree again at every level
    # would cost the height times the data.
    calls = [_tall_violation(shape, height, 200_000) for height in (2, 16)]
    for collect, data, path in calls:
        assert collect(data) == [(path, "Expected int", "bad")]
    low, high = (_best_time(lambda collect=collect, data=data: collect(data), 5) for collect, data, _ in calls)
    # Linear: about the same; checked again at every level: 24 to 31 times.
    assert high < 8 * low


DICT_COSTS = """
    import time
    import dict_watcher_ids
    from validator_classes import DictValidator, Int

    if TAKE_EVERY_ID:
        dict_watcher_ids.take_every_id()
    import quillane_core

    class Index:
        def __index__(self):
            return 0

    def best(call):
        times = []
        for _ in range(3):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return min(times)

    validator = quillane_core.compile_schema(DictValidator(Int()))
    # The first value's __index__ is Python code: from it on, the dict is
    # compared with its copy wherever it could have changed.
    data = {"first": Index(), **{f"k{i}": i for i in range(40_000)}}
    schema = {f"f{i}": Int() for i in range(40_000)}
    print("walk", best(lambda: getattr(validator, METHOD)(data)))
    print("compile", best(lambda: quillane_core.compile_schema(schema)))
"""


def _dict_costs(method, take_every_id):
    result = run_python(f"METHOD = {method!r}\nTAKE_EVERY_ID = {take_every_id}\n", DICT_COSTS, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    return {name: float(seconds) for name, seconds in (line.split() for line in result.stdout.splitlines())}


@pytest.mark.parametrize("method", ["validate", "collect"])
def test_dicts_cost_linear_time_without_a_watcher_id(method):
    # Without a watcher id the module copies the dict and compares it with
    # the copy where it could have changed: a few times the cost of a
    # watched walk, where a comparison before every step would cost ten
    # thousand times as much at this size.
    watched, unwatched = _dict_costs(method, False), _dict_costs(method, True)
    assert {name: unwatched[name] < 100 * watched[name] for name in watched} == {"walk": True, "compile": True}, (
        watched,
        unwatched,
    )


SUBCLASS_KEYS = """
    import gc
    from validator_classes import Int
    from test_hostile_inputs import _best_time
    import quillane_core

    class PlainKey(str):
        \"\"\"A str subclass that changes nothing: a schema's keys as some loaders make them.\"\"\"

    def schema(size):
        return {PlainKey(f"field{i}"): Int() for i in range(size)}

    small, large = schema(2_000), schema(20_000)
    record = dict.fromkeys(large, 1)
    assert quillane_core.compile_schema(large).validate(record) is record
    gc.disable()  # a collection's cost follows the heap, not the compile
    large_time = _best_time(lambda: quillane_core.compile_schema(large), 5)
    print(large_time / _best_time(lambda: quillane_core.compile_schema(small), 5))
"""


def test_field_map_of_str_subclass_keys_compiles_in_linear_time():
    # Keys of a str subclass may repeat a text, so each name is checked
    # against the fields before it: a scan per name would grow as the square
    # of the field count, 100 times from the small map to the large one.
    result = run_python(SUBCLASS_KEYS, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert float(result.stdout) < 30
