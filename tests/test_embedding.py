"""An application that embeds the interpreter, finalises it and initialises it
again, importing the module each time: every interpreter lifetime gets a
module of its own that works as in an ordinary program."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from compile_support import IMPORT_PATH, TESTS_DIR, run_python

import quillane_core

# Run once per interpreter lifetime by the host, and once in an ordinary
# interpreter for the output both lifetimes must print.
LIFETIME = """
import sys
from dict_watcher_ids import count_free_ids
from validator_classes import DictValidator, Int, NumberValidator, StringValidator

import sysconfig
free_ids = count_free_ids()
import quillane_core
# Each lifetime's import takes a watcher id of that interpreter's own (none
# on a free-threaded build, which watches no dict).
taken = 0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1
assert count_free_ids() == free_ids - taken, (free_ids, count_free_ids())
first = quillane_core
del sys.modules["quillane_core"]
import quillane_core
assert quillane_core is first

validator = quillane_core.compile_schema({"name": StringValidator(min_len=1), "age": NumberValidator(int, min=0)})
record = {"name": "Ada", "age": 36}
print(validator.validate(record) is record, validator.collect({"name": "", "age": -1}))

class ChangesItsDict:
    def __index__(self):
        data["b"] = "changed"
        return 0

data = {"a": ChangesItsDict(), "b": 0}
try:
    quillane_core.compile_schema(DictValidator(Int())).validate(data)
except BaseException as caught:
    print(type(caught).__name__, caught)
"""


def _host_build_command(host):
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the embedding host")
    # python3.13-config, or python3.13t-config for a free-threaded 3.13.
    version = sysconfig.get_python_version() + sys.abiflags
    config = os.path.join(sysconfig.get_config_var("BINDIR"), f"python{version}-config")
    if not os.access(config, os.X_OK):
        pytest.skip(f"no {os.path.basename(config)} next to the interpreter to build the embedding host with")

    def flags(*options):
        return subprocess.run([config, *options], capture_output=True, text=True, check=True).stdout.split()

    source = os.path.join(TESTS_DIR, "native", "reinitialising_host.cpp")
    # An interpreter built on Linux without a shared libpython links it into
    # the host, which must then export its symbols to the extension modules
    # the host imports (ctypes, say), as the interpreter's own executable
    # does (-Xlinker -export-dynamic).
    exported = []
    if sys.platform.startswith("linux") and not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        exported = (sysconfig.get_config_var("LINKFORSHARED") or "").split()
    return [compiler, "-o", str(host), source, *flags("--cflags"), *flags("--ldflags", "--embed"), *exported]


def test_each_interpreter_lifetime_gets_a_working_module(tmp_path):
    host = tmp_path / "host"
    build = subprocess.run(_host_build_command(host), capture_output=True, text=True)
    assert build.returncode == 0, build.stderr[-3000:]
    script = textwrap.dedent(LIFETIME)
    # The host's interpreter finds the installed module and the test helpers
    # by path, not through this environment's site-packages.
    path = os.pathsep.join([os.path.dirname(quillane_core.__file__), *IMPORT_PATH])
    ordinary = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=path)
    )
    assert ordinary.returncode == 0, ordinary.stderr[-3000:]
    embedded = subprocess.run(
        [str(host), script], capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=path), timeout=120
    )
    assert (embedded.returncode, embedded.stdout) == (0, ordinary.stdout * 2), embedded.stderr[-3000:]


def test_the_import_fails_when_the_reset_at_finalisation_cannot_be_registered():
    # Py_AtExit has room for 32 functions a process; were the module imported
    # without its own, a later interpreter would get one that no longer works.
    result = run_python("""
        import ctypes
        harmless = ctypes.cast(ctypes.CDLL(None).getpid, ctypes.c_void_p)
        while ctypes.pythonapi.Py_AtExit(harmless) == 0:
            pass
        try:
            import quillane_core
        except ImportError as error:
            print(error)
    """)
    assert result.returncode == 0 and "Py_AtExit has no room left" in result.stdout, result.stdout + result.stderr
