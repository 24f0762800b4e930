"""Single values on which the systems compared here read the same constraint
differently. The payloads stay clear of these; the run shows each system's
verdict on each of them, so that a reader knows what "the same job" leaves
out.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from payloads import Float, Int, ListValidator, StringValidator


@dataclass
class Probe:
    what: str
    schema: Any
    value: Any


def probes() -> list[Probe]:
    return [
        Probe("`True` where an int is expected", {"n": Int()}, {"n": True}),
        Probe("`3.0` where an int is expected", {"n": Int()}, {"n": 3.0}),
        Probe("`1` where a float is expected", {"x": Float()}, {"x": 1}),
        Probe("`nan` where a float in [0, 10] is expected", {"x": Float(min=0.0, max=10.0)}, {"x": float("nan")}),
        Probe("`inf` where an unbounded float is expected", {"x": Float()}, {"x": float("inf")}),
        Probe("`2**64` where an unbounded int is expected", {"n": Int()}, {"n": 2**64}),
        Probe("a tuple where a list is expected", {"xs": ListValidator(Int())}, {"xs": (1, 2)}),
        Probe(
            "`'😀😀😀'` (3 code points, 12 UTF-8 bytes) with at most 3",
            {"s": StringValidator(max_len=3)},
            {"s": "😀😀😀"},
        ),
        Probe("an unknown key in a record", {"n": Int()}, {"n": 1, "m": 2}),
    ]


def verdict(check, value: Any) -> str:
    try:
        return "accepts" if check(value) else "rejects"
    except Exception as error:  # a probe may make a system raise instead of answering
        return f"raises {type(error).__name__}"
