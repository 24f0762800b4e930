"""Schemas that contain themselves or nest very deeply.

The cases run in fresh interpreters, so that a crash shows up as a failed test
instead of taking the whole test run down.
"""

import pytest
from compile_support import run_python

PRELUDE = """
    import quillane_core
    from schema_classes import DictValidator, Int, ListValidator, StringValidator, Validator

    def outcome(schema):
        try:
            return "returned " + type(quillane_core.compile_schema(schema)).__name__
        except BaseException as exc:
            return type(exc).__name__

    def report(name, *values):
        print(name + ":", *values, flush=True)

    def normal_compile():
        validator = quillane_core.compile_schema({"n": Int(min=0), "s": StringValidator()})
        report("after", validator.collect({"n": -1}))
"""
AFTER = "[('n', 'Value -1 is less than minimum 0', -1), ('s', 'Missing required field', None)]"


def chain(wrap, leaf="Int", depth=100_000):
    return f"schema = {leaf}()\nfor i in range({depth}):\n    schema = {wrap}\n"


# Each builds `schema`; compiling it must raise RecursionError, twice in a row.
RECURSIVE = {
    "field-map-own-field": "schema = {}\nschema['self'] = schema\n",
    "field-map-own-field-after-others": "schema = {'a': Int(), 'b': {'c': StringValidator()}}\n"
    "schema['b']['loop'] = schema\n",
    "list-own-item": "schema = ListValidator(None)\nschema._item_validator = schema\n",
    "dict-own-value": "schema = DictValidator(None)\nschema._value_validator = schema\n",
    "list-dict-cycle": "inner = DictValidator(None)\nschema = ListValidator({'x': inner})\n"
    "inner._value_validator = schema\n",
    "list-chain-100000": chain("ListValidator(schema)"),
    "dict-validator-chain-100000": chain("DictValidator(schema)", leaf="Validator"),
    "field-map-chain-100000": chain("{'a': schema}"),
    "mixed-chain-100000": chain("ListValidator(schema) if i % 2 else {'a': schema}"),
}

CYCLES = "".join(f"{body}report({name!r}, outcome(schema), outcome(schema))\n" for name, body in RECURSIVE.items())

# After the errors the recursion depth is given back: a deep but legal chain
# compiles again and again, and its validator walks matching data.
AFTER_CYCLES = """
    chain = Int()
    for _ in range(300):
        chain = ListValidator(chain)
    data = 1
    for _ in range(300):
        data = [data]
    report("moderate", all(quillane_core.compile_schema(chain).validate(data) is data for _ in range(20)))
    normal_compile()
"""

# Finds the deepest list chain that compiles, then walks data of that depth.
DEEPEST = """
    nodes = [Int()]
    for _ in range(20000):
        nodes.append(ListValidator(nodes[-1]))
    depth = 20000
    while True:
        try:
            validator = quillane_core.compile_schema(nodes[depth])
            break
        except RecursionError:
            depth = int(depth * 0.8)
    report("compiled", depth > 0)
    good, bad = 1, "x"
    for _ in range(depth):
        good, bad = [good], [bad]
    for name, call, expected in [
        ("validate-good", lambda: validator.validate(good), good),
        ("validate-bad", lambda: validator.validate(bad), None),
        ("collect-bad", lambda: validator.collect(bad), [("[0]" * depth, "Expected int", "x")]),
        ("collect-good", lambda: validator.collect(good), []),
    ]:
        try:
            result = call()
            same = result is expected if name.startswith("validate") else result == expected
            report(name, "as-expected" if same else repr(result)[:200])
        except RecursionError:
            report(name, "RecursionError")
    normal_compile()
"""


@pytest.fixture(scope="module")
def reports():
    runs = [run_python(PRELUDE, CYCLES, AFTER_CYCLES), run_python(PRELUDE, DEEPEST)]
    found = {}
    for result in runs:
        assert result.returncode == 0, result.stderr[-2000:]
        for line in result.stdout.splitlines():
            name, _, value = line.partition(": ")
            found.setdefault(name, []).append(value)
    return found


@pytest.mark.parametrize("name", list(RECURSIVE))
def test_recursive_schema_raises_recursion_error_each_time(reports, name):
    assert reports[name] == ["RecursionError RecursionError"]


def test_process_lives_on_after_recursion_errors(reports):
    assert (reports["moderate"], reports["after"][0]) == (["True"], AFTER)


def test_deepest_compilable_chain_is_walked(reports):
    assert reports["compiled"] == ["True"]
    for step in ("validate-good", "validate-bad", "collect-bad", "collect-good"):
        assert reports[step][0] in ("as-expected", "RecursionError"), step
    assert reports["after"][1] == AFTER
