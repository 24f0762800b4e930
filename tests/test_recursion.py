"""Schemas that contain themselves or nest very deeply.

The cases run in fresh interpreters, so that a crash shows up as a failed test
instead of taking the whole test run down.
"""

import os
import shutil
import subprocess
import sys

import pytest
from compile_support import TESTS_DIR, run_python

PRELUDE = """
    import quillane_core
    from validator_classes import DictValidator, Int, ListValidator, StringValidator, Validator

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

# Finds the deepest list chain that compiles, then walks data of that depth;
# a walk that stops there with RecursionError is tried again on the chain of
# half that depth ("<walk>-half").
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

    def walk(name, depth):
        validator = quillane_core.compile_schema(nodes[depth])
        good, bad = 1, "x"
        for _ in range(depth):
            good, bad = [good], [bad]
        call, expected = {
            "validate-good": (lambda: validator.validate(good), good),
            "validate-bad": (lambda: validator.validate(bad), None),
            "collect-bad": (lambda: validator.collect(bad), [("[0]" * depth, "Expected int", "x")]),
            "collect-good": (lambda: validator.collect(good), []),
        }[name]
        try:
            result = call()
            same = result is expected if name.startswith("validate") else result == expected
            return "as-expected" if same else repr(result)[:200]
        except RecursionError:
            return "RecursionError"

    for name in ("validate-good", "validate-bad", "collect-bad", "collect-good"):
        outcome = walk(name, depth)
        report(name, outcome)
        if outcome == "RecursionError":
            report(name + "-half", walk(name, depth // 2))
    normal_compile()
"""


@pytest.fixture(scope="module")
def reports():
    # The collect of the failing deepest chain takes minutes in a sanitized
    # build on a loaded machine.
    runs = [run_python(PRELUDE, CYCLES, AFTER_CYCLES), run_python(PRELUDE, DEEPEST, timeout=300)]
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
        if sys.version_info < (3, 14):
            # The interpreter counts levels: a walk counts one per level of
            # the tree, as its compile did, so the deepest tree that
            # compiles is walked whole.
            assert reports[step] == ["as-expected"], step
        elif reports[step] != ["as-expected"]:
            # From 3.14 on the interpreter measures the C stack, and a walk's
            # level may take more of it than a compile's (clang's frames do):
            # the walk may stop with RecursionError at that depth, but no
            # level of it takes twice a compile level's stack.
            assert reports[step] == ["RecursionError"], step
            assert reports[step + "-half"] == ["as-expected"], step
    assert reports["after"][1] == AFTER


# Re-entered walks and small thread stacks: each runs in a fresh interpreter,
# where a C stack overflow shows up as a crashed process.
REENTRY = """
    import sys

    def chain(height):
        schema = Int()
        for _ in range(height - 1):
            schema = ListValidator(schema)
        return quillane_core.compile_schema(schema)

    def nest(leaf, depth):
        for _ in range(depth):
            leaf = [leaf]
        return leaf

    for method in ("validate", "collect"):
        validator = chain(64)
        seen = []

        class Reenter:
            def __index__(self):
                try:
                    getattr(validator, method)(nest(Reenter(), 63))
                except RecursionError:
                    seen.append("RecursionError")
                    raise
                return 1

        try:
            getattr(validator, method)(nest(Reenter(), 63))
            outcome = "answered"
        except RecursionError:
            outcome = "RecursionError"
        report(method, bool(seen), outcome)
"""

THREAD_STACKS = """
    import os
    import threading

    nodes = [Int()]
    for _ in range(12000):
        nodes.append(ListValidator(nodes[-1]))

    def outcome(call):
        try:
            call()
            return "ok"
        except RecursionError:
            return "RecursionError"

    def deepest_in_main():
        depth = 12000
        while outcome(lambda: quillane_core.compile_schema(nodes[depth])) != "ok":
            depth -= 200
        return depth

    depth = deepest_in_main()
    good = 1
    for _ in range(depth):
        good = [good]

    def run(results):
        validator = [None]
        results.append(outcome(lambda: validator.__setitem__(0, quillane_core.compile_schema(nodes[depth]))))
        if validator[0] is not None:
            results.append(outcome(lambda: validator[0].validate(good)))
            results.append(outcome(lambda: validator[0].collect(good)))

    # Sanitized and unoptimised builds have frames several times larger.
    large = 262144
    for label, kib in (("256", 256), ("512", 512), ("4096", 4096), ("6144", 6144), ("large", large)):
        threading.stack_size(kib * 1024)
        results = []
        thread = threading.Thread(target=run, args=(results,))
        thread.start()
        thread.join()
        report(f"stack-{label}", *results)
"""


# A tall tree's walk counts its levels against the interpreter's limit, like
# the C code that calls it: started 8,000 levels deep (a nested repr), a
# 3,000-level walk runs out of levels.
COUNTED_WALK = """
    schema, data = Int(), 1
    for _ in range(2999):
        schema, data = ListValidator(schema), [data]
    validator = quillane_core.compile_schema(schema)
    found = [validator.validate(data) is data]

    class Probe:
        def __repr__(self):
            for call in (validator.validate, validator.collect):
                try:
                    call(data)
                    found.append("answered")
                except RecursionError:
                    found.append("RecursionError")
            return "probe"

    nested = Probe()
    for _ in range(8000):
        nested = [nested]
    repr(nested)
    report("counted", *found)
"""


@pytest.fixture(scope="module")
def stack_reports():
    found = {}
    for script in (REENTRY, THREAD_STACKS, COUNTED_WALK):
        result = run_python(PRELUDE, script, timeout=300)
        assert result.returncode == 0, result.stderr[-2000:]
        for line in result.stdout.splitlines():
            name, _, value = line.partition(": ")
            found[name] = value
    return found


@pytest.mark.parametrize("method", ["validate", "collect"])
def test_reentered_walks_end_in_recursion_error(stack_reports, method):
    # The innermost call meets the error, and it is no answer about the
    # value whose __index__ re-raised it: it ends every call out to the first.
    assert stack_reports[method] == "True RecursionError"


def test_tall_tree_walk_counts_its_levels(stack_reports):
    first, *calls = stack_reports["counted"].split()
    assert (first, len(calls)) == ("True", 2)
    if sys.version_info < (3, 14):
        # 3.13 counts levels against a fixed limit: 8,000 levels of reprs
        # leave too few for 3,000 more.
        assert calls == ["RecursionError", "RecursionError"]
    else:
        # From 3.14 on the interpreter measures the C stack left instead, and
        # the main thread's holds both: each call answers or meets
        # RecursionError, and none crashes.
        assert set(calls) <= {"answered", "RecursionError"}


# Sanitized builds have frames several times larger.
SANITIZED = bool(os.environ.get("QUILLANE_SANITIZED"))


@pytest.mark.parametrize("stack", ["256", "512", "4096", "6144", "large"])
def test_deepest_tree_on_a_small_thread_stack_raises_instead_of_crashing(stack_reports, stack):
    results = stack_reports[f"stack-{stack}"].split()
    if stack == "6144" and SANITIZED:
        pytest.skip("the README's stack figures are for release builds")
    if stack in ("large", "6144"):
        # 6 MiB holds the deepest list chain that the main thread compiles
        # here (9,800 levels on 3.13, 12,000 from 3.14 on) on every version:
        # the README's figures.
        assert results == ["ok", "ok", "ok"]
    elif stack == "4096":
        # Whether 4 MiB holds that chain depends on the compiler's frame sizes
        # (GCC's do not, clang's do, and then a walk may still run out): each
        # step compiles or walks, or raises, and a failed compile ends the run.
        assert results == ["RecursionError"] or (
            len(results) == 3 and results[0] == "ok" and set(results) <= {"ok", "RecursionError"}
        ), results
    else:
        assert results == ["RecursionError"]


# The main thread's stack as the floor computation sees it, fed the answers
# of both C libraries: musl's pthread_getattr_np reports only the part of the
# main stack mapped so far (132 KiB of an 8 MiB rlimit), glibc's the limit
# itself. The stack rlimit counts where the report is smaller, below the same
# top; an unlimited rlimit says no size, and the report stands.
MAIN_THREAD_EXTENTS = {
    "musl-mapped-part": (132, "8192", "8192 top-kept"),
    "glibc-whole-limit": (8192, "8192", "8192 top-kept"),
    "report-above-limit": (8192, "4096", "8192 top-kept"),
    "unlimited": (132, "unlimited", "132 top-kept"),
}


@pytest.fixture(scope="module")
def stack_extent_program(tmp_path_factory):
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if compiler is None or not sys.platform.startswith("linux"):
        pytest.skip("needs a C++ compiler on Linux to build the extent check")
    program = tmp_path_factory.mktemp("stack-extent") / "stack_extent"
    # The module's own source needs C++23, which an older system's compiler
    # (Debian 11's g++ 10, where tools/wheel-check.sh runs a wheel) lacks.
    probe = subprocess.run([compiler, "-std=c++23", "-x", "c++", "-fsyntax-only", os.devnull], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"{compiler} has no C++23 mode to build the extent check with")
    source = os.path.join(TESTS_DIR, "native", "stack_extent.cpp")
    sources = os.path.join(os.path.dirname(TESTS_DIR), "src")
    subprocess.run([compiler, "-std=c++23", "-O1", "-I", sources, "-o", str(program), source], check=True)
    return program


@pytest.mark.parametrize(("reported", "limit", "expected"), MAIN_THREAD_EXTENTS.values(), ids=MAIN_THREAD_EXTENTS)
def test_main_thread_stack_extent_takes_the_rlimit_over_a_smaller_report(
    stack_extent_program, reported, limit, expected
):
    result = subprocess.run([stack_extent_program, str(reported), limit], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == expected
