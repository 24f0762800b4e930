"""The interpreter's dict watcher ids, seen from Python through ctypes.

As a pytest plugin (``-p dict_watcher_ids``) it takes every id left before
the tests import the module, which asks for its id when imported, so that
the module meets an interpreter with none to give.
"""

import ctypes

_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
_ignore = _CALLBACK(lambda event, dict_, key, value: 0)
taken = []


def take_every_id():
    while True:
        try:
            taken.append(ctypes.pythonapi.PyDict_AddWatcher(_ignore))
        except RuntimeError:  # "no more dict watcher IDs available"
            return


def count_free_ids():
    """How many dict watcher ids the interpreter has left to give; none is kept."""
    already_taken = len(taken)
    take_every_id()
    counted = taken[already_taken:]
    del taken[already_taken:]
    for watcher_id in counted:
        ctypes.pythonapi.PyDict_ClearWatcher(watcher_id)
    return len(counted)


def watcher_bits(mapping):
    """The low byte of the dict's watcher tag: one bit per watcher id watching it."""
    # After the object header and ma_used, on 3.13 (ma_version_tag) and later
    # (_ma_watcher_tag) alike. The header is object's own size: 16 bytes, or
    # 32 on a free-threaded build (ob_tid, ob_flags, ob_mutex, ob_gc_bits,
    # ob_ref_local, ob_ref_shared, then ob_type).
    return ctypes.c_uint64.from_address(id(mapping) + object.__basicsize__ + 8).value & 0xFF


def pytest_configure(config):
    take_every_id()
    assert taken, "no dict watcher id was free"
