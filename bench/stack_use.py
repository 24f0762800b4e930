"""How much C stack a walk takes per level, in the build of quillane_core
that the running interpreter imports (bench/README.md, "Stack per walk level").

A leaf's __index__ method reads the stack pointer the kernel reports for the
thread's own read of /proc/thread-self/syscall, and so does the caller just
before the call: the difference is what the call took from the caller's frame
to the Python code at the leaf. Trees of heights 1 to 17, lists and field
maps, validate and collect. A level is the difference between two heights
from 2 on: a tree of height 1 is its leaf alone, read on a path of its own.
Linux only.
"""

from __future__ import annotations

import os
import sys
from itertools import pairwise

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

from validator_classes import Int, ListValidator

import quillane_core

HEIGHTS = range(1, 18)


def stack_pointer() -> int:
    with open("/proc/thread-self/syscall", "rb", buffering=0) as file:
        return int(file.read().split()[-2], 16)


# The stack pointer at each leaf's read, latest last.
seen_at_leaf: list[int] = []


class Leaf:
    """An int to the walk, which reads it through __index__."""

    def __index__(self) -> int:
        seen_at_leaf.append(stack_pointer())
        return 1


def stack_used(height: int, container: str, method: str) -> int:
    schema, data = Int(), Leaf()
    for _ in range(height - 1):
        schema, data = (ListValidator(schema), [data]) if container == "list" else ({"a": schema}, {"a": data})
    call = getattr(quillane_core.compile_schema(schema), method)
    top = stack_pointer()
    call(data)
    return top - seen_at_leaf[-1]


def main() -> None:
    print(f"Python {sys.version.split()[0]}, {quillane_core.__file__}")
    print("| walk | to the leaf at height 1 | per level | to the leaf at height 16 |")
    print("| --- | ---: | ---: | ---: |")
    largest = 0
    for container in ("list", "fields"):
        for method in ("validate", "collect"):
            used = [stack_used(height, container, method) for height in HEIGHTS]
            level = max(deeper - shallower for shallower, deeper in pairwise(used[1:]))
            largest = max(largest, level)
            print(f"| {method}, {container} | {used[0]} B | {level} B | {used[15]} B |")
    print(f"largest level: {largest} B")


if __name__ == "__main__":
    main()
