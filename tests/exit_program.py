"""The setup of the programs that exit with daemon threads inside the
module's calls (tests/test_interpreter_exit.py, tools/ft_stress.py): data
whose walk runs Python code at every step (an __index__ per item, a key's
finaliser) and a schema whose compile does (a property per attribute read).
No braces, so that a program may append its own loop and str.format it.
"""

DAEMON_SETUP = """
import threading, time
import quillane_core
from validator_classes import DictValidator, Int, ListValidator

class Number:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        sum(range(20))
        return self.value

class Finalised(str):
    def __del__(self):
        sum(range(20))

class Slow:
    _coerce, _custom_checks, _when_condition, _env_key = False, (), None, None
    _type_cls, _max, _exclusive_min, _exclusive_max = int, None, False, False
    @property
    def _min(self):
        sum(range(20))
        return 0
Slow.__name__ = "NumberValidator"

validator = quillane_core.compile_schema(ListValidator(Int()))
validator_of_dicts = quillane_core.compile_schema(DictValidator(Int()))
data = [Number(i) for i in range(500)]

"""
