"""How much the process grows over one `validate` of the valid instance and
one `collect` of the invalid instance of the non-ASCII payload, freshly
parsed from its JSON text, as a validator meets such data.

Each system is measured in a process of its own (`python bench/memory.py
KEY` prints one JSON object), so that what one system leaves behind does not
hide or inflate what another does. In that process the system first checks
one pair of copies (one-time setup of its own is not growth over the data),
keeping them alive, since memory freed before the calls would take in what
they allocate, unseen by the resident set; then two figures are taken on new
copies:

* `strs`: the sum of `sys.getsizeof` over every str of both copies after the
  two calls, less the same sum before: a str's size includes the UTF-8 form
  the interpreter caches on it, so this is what the calls attached to the
  caller's data;
* `rss`: the growth of the process's resident set over the two calls
  (`/proc/self/statm`), which also sees memory that native code allocates
  outside the interpreter's allocators, in pages and arenas, so coarse;

and then, on a third pair of copies, `traced`: the bytes still allocated
through the interpreter's allocators after the two calls, by `tracemalloc`
(started after the copies are made, so only what the calls allocate and
keep counts). tracemalloc's own bookkeeping would inflate the resident set,
so it runs apart from the first pass.

The key `none` measures the same steps without any call: the method's own
noise. Systems without a `collect` check the invalid instance with their
yes/no check instead.
"""

from __future__ import annotations

import gc
import json
import os
import resource
import subprocess
import sys
import tracemalloc
from collections.abc import Callable
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import payloads  # noqa: E402

CONTROL = "none"


def str_bytes(value: Any) -> int:
    """sys.getsizeof summed over every str in value, dict keys included."""
    if isinstance(value, str):
        return sys.getsizeof(value)
    if isinstance(value, list):
        return sum(str_bytes(item) for item in value)
    if isinstance(value, dict):
        return sum(str_bytes(key) + str_bytes(item) for key, item in value.items())
    return 0


def resident_bytes() -> int:
    """The process's resident set now, or -1 where /proc does not tell."""
    try:
        with open("/proc/self/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize()
    except (OSError, IndexError, ValueError):
        return -1


def calls_of(key: str, schema: Any) -> Callable[[Any, Any], None]:
    """What is measured: validate on the valid copy, collect on the invalid one."""
    if key == CONTROL:
        return lambda valid, invalid: None
    import systems

    system = next(s for s in systems.ALL_SYSTEMS if s.key == key)
    prepared = system.prepare(schema)
    validate = prepared.validate
    collect = prepared.collect or prepared.validate

    def run(valid: Any, invalid: Any) -> None:
        validate(valid)
        collect(invalid)

    return run


def measure(key: str) -> dict[str, int]:
    payload = payloads.strings_payload()
    valid_text = json.dumps(payload.valid, ensure_ascii=False)
    invalid_text = json.dumps(payload.invalid, ensure_ascii=False)
    run = calls_of(key, payload.schema)

    # The first pair stays alive to the end (a local): memory it freed would
    # otherwise take in what the measured calls allocate, unseen by the
    # resident set.
    first = json.loads(valid_text), json.loads(invalid_text)
    run(*first)

    valid, invalid = json.loads(valid_text), json.loads(invalid_text)
    gc.collect()
    strs_before = str_bytes(valid) + str_bytes(invalid)
    resident_before = resident_bytes()
    run(valid, invalid)
    gc.collect()
    resident_after = resident_bytes()
    strs_after = str_bytes(valid) + str_bytes(invalid)

    valid, invalid = json.loads(valid_text), json.loads(invalid_text)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    run(valid, invalid)
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()

    return {
        "strs": strs_after - strs_before,
        "rss": resident_after - resident_before if resident_before >= 0 else -1,
        "traced": traced_after - traced_before,
        "str_count": len(payload.valid) + len(payload.invalid),
    }


def measure_in_child(key: str) -> dict[str, int] | str:
    """The figures of one system from a process of its own, or why there are none."""
    try:
        out = subprocess.run(
            [sys.executable, os.path.abspath(__file__), key], capture_output=True, text=True, timeout=600
        )
    except subprocess.SubprocessError as error:
        return f"{type(error).__name__}"
    if out.returncode != 0:
        lines = out.stderr.strip().splitlines()
        return lines[-1] if lines else f"exit status {out.returncode}"
    return json.loads(out.stdout)


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1])))
