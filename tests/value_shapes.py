"""Values of unusual shapes that the engine tests feed to compiled validators."""

import quillane_core

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


class Indexable:
    """Read as an integer through ``__index__``, which raises ``result`` if it is an exception."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Indexable({self.result!r})"


class OnIndex:
    """Runs ``action`` when its integer is read, then reads as ``result``."""

    def __init__(self, action, result=1):
        self.action, self.result = action, result

    def __index__(self):
        self.action()
        return self.result


class Interrupt(BaseException):
    """Not an Exception: an integer read lets it propagate."""


class IntSub(int):
    """Its int value counts, never its ``__index__`` (which would overflow)."""

    def __index__(self):
        return 10**30

    def __repr__(self):
        return f"IntSub({int(self)})"


class FloatSub(float):
    """Its stored double counts, never its ``__float__``."""

    def __float__(self):
        return 1e300

    def __repr__(self):
        return f"FloatSub({float.__repr__(self)})"


class StrSub(str):
    def __repr__(self):
        return f"StrSub({str.__repr__(self)})"


class ListSub(list):
    def __repr__(self):
        return f"ListSub({list.__repr__(self)})"


class DictSub(dict):
    def __repr__(self):
        return f"DictSub({dict.__repr__(self)})"


def compiled(schema):
    validator = quillane_core.compile_schema(schema)
    assert validator is not None
    return validator
