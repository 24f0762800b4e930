"""One benchmark payload's calls, for counting their instructions under
callgrind (tools/instructions.sh): the same count on a loaded machine as on an
idle one. The script runs with N and 2N calls; the difference, per call, is
what one call costs.
"""

import gc
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))

import payloads  # noqa: E402

import quillane_core  # noqa: E402

# Calls per run: enough that each run's count is mostly the calls'.
CALLS = {"flat": 4000, "nested": 200, "records": 4, "mapping": 40, "ints": 20, "strings": 200, "geo": 10}


def main() -> None:
    which = sys.argv[1]  # "payload:method:instance", method validate, collect or floor
    key, method, instance = which.split(":")
    payload = getattr(payloads, f"{key}_payload")()
    data = getattr(payload, instance)
    if method == "floor":
        # The benchmarks' floor (bench/floor), as tools/bench.sh installs it.
        import quillane_bench_floor

        call = quillane_bench_floor.walk
    else:
        call = getattr(quillane_core.compile_schema(payload.schema), method)
    calls = CALLS[key] * int(os.environ.get("QUILLANE_RUN", "1"))
    gc.disable()  # no collection at a different point in the two runs
    call(data)  # warm: the first call makes what later calls reuse
    for _ in range(calls):
        call(data)


if __name__ == "__main__":
    main()
