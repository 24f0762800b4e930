"""Walks started where the C stack is about to run out.

Short trees are walked without the interpreter's stack check, so every build
must keep such a walk, and the Python code it runs at its leaves, within the
stack the interpreter leaves between two of its checks. Each case runs in a
fresh interpreter, where an overrun shows up as a killed process.
"""

import pytest
from compile_support import run_python

# Recurses through the interpreter's C code (operator.index calling
# __index__ again) until the stack runs out, once to find how deep that is,
# then again for each height, calling the walk at each of the last levels
# before the limit. Each call answers as it does with stack to spare, until
# a RecursionError ends the descent: from a checked walk (which stops short
# of the stack's end, by the reserve it keeps) or from the interpreter's next
# level, whichever comes first. The leaf's __index__ always raises, so that
# its answer is the same whether the interpreter ran it or had no stack left
# to: the answer to a non-integer.
DESCENT = """
    import operator
    import sys

    import quillane_core
    from validator_classes import Int, ListValidator

    LAST_LEVELS = 1024
    # The C stack (or 3.13's count of C levels) ends the descent, not the
    # count of Python frames.
    sys.setrecursionlimit(10**7)

    class NoIndex:
        def __index__(self):
            raise LookupError("not an integer")

    def tree(height):
        schema, data = Int(), NoIndex()
        for _ in range(height - 1):
            if CONTAINER == "list":
                schema, data = ListValidator(schema), [data]
            else:
                schema, data = {"a": schema}, {"a": data}
        return getattr(quillane_core.compile_schema(schema), METHOD), data

    class Descent:
        def __init__(self, call, calls_from):
            self.call, self.calls_from = call, calls_from
            self.depth, self.answers = 0, []

        def __index__(self):
            self.depth += 1
            if self.depth >= self.calls_from:
                self.answers.append(self.call())
            return operator.index(self)

    def descend(call, calls_from):
        descent = Descent(call, calls_from)
        try:
            operator.index(descent)
        except RecursionError:
            return descent
        raise AssertionError("the descent ended without RecursionError")

    deepest = descend(None, float("inf")).depth
    for height in range(1, 17):
        walk, data = tree(height)
        expected = walk(data)
        answers = descend(lambda: walk(data), deepest - LAST_LEVELS).answers
        print(height, bool(answers) and all(answer == expected for answer in answers), flush=True)
"""


@pytest.mark.parametrize("container", ["list", "fields"])
@pytest.mark.parametrize("method", ["validate", "collect"])
def test_walks_at_the_stack_limit_answer_until_recursion_error(method, container):
    result = run_python(f"METHOD, CONTAINER = {method!r}, {container!r}\n", DESCENT, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr[:1000]
    assert result.stdout.splitlines() == [f"{height} True" for height in range(1, 17)]
