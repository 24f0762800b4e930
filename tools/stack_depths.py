"""The README's figures of how deep a schema can go ("Exceptions", the table
of deepest schemas), measured in the build of quillane_core that the running
interpreter imports.

For a chain of ListValidators and a chain of field maps: the deepest chain
that compile_schema compiles on the main thread, and on threads of 1 MiB and
4 MiB; and the smallest thread stack, in steps of 0.5 MiB, on which a chain
of 9,990 levels compiles and validate and collect walk it. Each depth is
found by bisection, compiling in a fresh thread each time.

Usage: python tools/stack_depths.py   (bash tools/test.sh has made the venv:
.venv-quillane-X.Y/bin/python tools/stack_depths.py; a minute or so)
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from validator_classes import Int, ListValidator, Schema

import quillane_core

MIB = 1024 * 1024
HELD_LEVELS = 9_990


def list_chain(levels: int) -> tuple[Schema, object]:
    schema: Schema = Int()
    data: object = 1
    for _ in range(levels):
        schema, data = ListValidator(schema), [data]
    return schema, data


def field_map_chain(levels: int) -> tuple[Schema, object]:
    schema: Schema = Int()
    data: object = 1
    for _ in range(levels):
        schema, data = {"a": schema}, {"a": data}
    return schema, data


def holds(chain: Callable[[int], tuple[Schema, object]], levels: int, stack: int | None, walk: bool) -> bool:
    """Whether a chain of `levels` compiles (and with `walk`, validates and collects) on a thread of `stack`
    bytes, or on the main thread for None."""
    schema, data = chain(levels)
    outcome: list[bool] = []

    def attempt() -> None:
        try:
            validator = quillane_core.compile_schema(schema)
            assert validator is not None
            if walk:
                assert validator.validate(data) is data
                assert validator.collect(data) == []
            outcome.append(True)
        except RecursionError:
            outcome.append(False)

    if stack is None:
        attempt()
    else:
        threading.stack_size(stack)
        thread = threading.Thread(target=attempt)
        thread.start()
        thread.join()
        threading.stack_size(0)
    return outcome == [True]


def deepest(chain: Callable[[int], tuple[Schema, object]], stack: int | None) -> int:
    low, high = 1, 2
    while holds(chain, high, stack, walk=False):
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if holds(chain, middle, stack, walk=False) else (low, middle)
    return low


def least_stack(chain: Callable[[int], tuple[Schema, object]]) -> float:
    half_mibs = 1
    while not holds(chain, HELD_LEVELS, half_mibs * MIB // 2, walk=True):
        half_mibs += 1
    return half_mibs / 2


def main() -> None:
    # glibc hands a new thread a cached stack of an earlier, larger thread
    # when one is free, so that a thread asked for 1.5 MiB may run on 4 MiB:
    # the measurement runs with its stack cache off.
    if "glibc.pthread.stack_cache_size=0" not in os.environ.get("GLIBC_TUNABLES", ""):
        tunables = ":".join(filter(None, [os.environ.get("GLIBC_TUNABLES"), "glibc.pthread.stack_cache_size=0"]))
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, "GLIBC_TUNABLES": tunables})
    sys.setrecursionlimit(1_000_000)  # the C stack ends the descent, not this
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    print(f"CPython {version}, {quillane_core.__file__}")
    for name, chain in (("ListValidator chain", list_chain), ("field-map chain", field_map_chain)):
        main_thread = deepest(chain, None)
        small = {size: deepest(chain, size * MIB) for size in (1, 4)}
        print(
            f"{name}: deepest {main_thread:,} levels on the main thread, {small[1]:,} on a 1 MiB thread, "
            f"{small[4]:,} on a 4 MiB one; {HELD_LEVELS:,} levels need a thread stack of {least_stack(chain)} MiB"
        )


if __name__ == "__main__":
    main()
