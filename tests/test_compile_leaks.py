"""compile_schema gives back every reference and every block it takes."""

import ctypes
import ctypes.util
import gc
import sys

import pytest
from compile_support import growing_schema, schema_object, type_like
from validator_classes import DictValidator, Float, Int, ListValidator, NumberValidator, StringValidator, Validator

from quillane_core import NativeValidator, compile_schema

ROUNDS = 3000
# A leak of even one block per call grows the count by at least ROUNDS; the
# interpreter's own free lists and caches move it by a few hundred at most.
BLOCK_TOLERANCE = ROUNDS // 4


class Payload:
    """A plain object whose reference count (and its class's) the tests follow."""


def key(text):
    return "".join(["field_", text])  # built at run time, so not interned


def build(kind):
    """A schema of the given outcome, and the objects in it whose reference counts are followed."""
    bound, name, payload, checks = 10**12 + 7, "".join(["in", "t"]), Payload(), []
    item = StringValidator(min_len=1, max_len=2**40)
    schema = {
        key("a"): Int(min=bound, max=None, exclusive_max=True),
        key("b"): NumberValidator(type_like(name)),
        key("c"): ListValidator(item, min_len=0),
        key("d"): {key("e"): Float(min=0.5)},
    }
    schema[key("z")] = {
        "good": DictValidator({key("f"): Validator(custom_checks=checks)}),
        "not-compilable": ListValidator(StringValidator(regex="".join(["^", "x"]))),
        "raising-read": ListValidator(
            schema_object("NumberValidator", _type_cls=int, fail={"_min": lambda: LookupError(payload)})
        ),
        "missing-attribute": DictValidator({key("g"): payload}),
        "conversion-error": Validator(coerce=payload),
    }[kind]
    schema[key("never-read")] = payload if kind == "not-compilable" else Validator()
    return schema, [bound, name, payload, checks, item, *schema.values(), *schema.keys()]


KINDS = ["good", "not-compilable", "raising-read", "missing-attribute", "conversion-error"]


def compile_quietly(schema):
    try:
        compile_schema(schema)
    except BaseException:
        schema.pop("added", None)


@pytest.mark.parametrize("kind", KINDS)
def test_reference_counts_restored(kind):
    schema, parts = build(kind)
    watched = [schema, *parts, Payload, NativeValidator, None, True, False]
    for _ in range(10):
        compile_quietly(schema)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(500):
        compile_quietly(schema)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_allocated_blocks_settle(capfd):
    schemas = [build(kind)[0] for kind in KINDS] + [growing_schema()]

    def churn(rounds):
        for _ in range(rounds):
            kept = [compile_schema(schemas[0]) for _ in range(3)]
            for schema in schemas:
                compile_quietly(schema)
            del kept
        gc.collect()
        capfd.readouterr()  # the faults' reports

    churn(ROUNDS // 10)
    start = sys.getallocatedblocks()
    churn(ROUNDS)
    assert sys.getallocatedblocks() - start <= BLOCK_TOLERANCE


# --- native memory of the compiled trees -----------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


@pytest.mark.parametrize(
    "tail", [None, StringValidator(regex="x"), Validator(coerce=None)], ids=["compiled", "not-compilable", "failed"]
)
def test_native_heap_settles(tail):
    libc_name = ctypes.util.find_library("c")
    mallinfo2 = getattr(ctypes.CDLL(libc_name), "mallinfo2", None) if libc_name else None
    if mallinfo2 is None:
        pytest.skip("mallinfo2 not available")
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # Many field names and nested nodes, so every tree owns plenty of native
    # memory; with a tail, everything before it is built and then dropped.
    leaf = {"".join(["name_", str(i), "_" * 40]): Int(min=i) for i in range(100)}
    schema = {"".join(["top_", str(i)]): ListValidator(DictValidator(leaf), min_len=1) for i in range(10)}
    if tail is not None:
        schema["zz_last"] = tail
    for _ in range(20):
        compile_quietly(schema)
    gc.collect()
    start = in_use()
    for _ in range(100):
        compile_quietly(schema)
    gc.collect()
    # Each tree holds 1,000 names of about 50 bytes; a leak would show megabytes.
    assert in_use() - start < 1_000_000
