"""Calls under way in daemon threads when the interpreter exits.

At exit the interpreter ends a daemon thread that asks for the interpreter
back, here inside Python code that the module called. The process must end as
it would without the module: status 0, nothing on standard error.
"""

import os

import pytest
from compile_support import run_python
from exit_program import DAEMON_SETUP

CALLS = {
    # An __index__ method per item: the walk runs Python code at every step.
    "validate": "validator.validate(data)",
    "collect": "validator.collect(data)",
    # A key finaliser run by the walk's own release of the previous entry.
    "collect-finaliser": "validator_of_dicts.collect({Finalised(): Number(1), 'b': Number(2)})",
    # Attribute reads that run Python code in the middle of a compile.
    "compile_schema": "quillane_core.compile_schema(ListValidator(Slow()))",
}

PROGRAM = (
    DAEMON_SETUP
    + """
def loop():
    while True:
        {call}

for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.02)
"""
)


@pytest.mark.skipif(
    bool(os.environ.get("QUILLANE_SANITIZED")),
    reason="AddressSanitizer's runtime fails its own stack check when pthread_exit unwinds a thread",
)
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_daemon_threads_inside_calls_at_exit(call):
    for _ in range(6):
        result = run_python(PROGRAM.format(call=call), timeout=60)
        assert (result.returncode, result.stderr) == (0, "")
