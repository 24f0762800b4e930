"""The benchmark payloads: a schema, an instance that conforms to it and an
instance with violations spread through it, for each shape of data.

Every payload is built from a fixed seed, so every run measures the same data.
The data keep clear of the places where the systems compared here read the
same constraint differently (a bool where an int is expected, an int where a
float is expected, a float with an integral value where an int is expected,
NaN, ints beyond 64 bits, tuples for lists): every int position holds a plain
int, every float position a finite float, every list a list, so that each
system can give the same verdict on each instance. `probes.py` shows those
differences on their own.

Each invalid instance holds exactly `violations` violations, each one a single
entry for every system that lists them all: a value of the wrong type, a value
out of bounds, a str or list of the wrong length, a missing field. Records
never carry an unknown key, since the module's `collect` leaves such data to
the caller (it returns None there).
"""

from __future__ import annotations

import json
import os
import random
import sys
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

from validator_classes import (  # noqa: E402
    BoolValidator,
    DictValidator,
    Float,
    Int,
    ListValidator,
    StringValidator,
    Validator,
)


@dataclass
class Payload:
    key: str
    title: str
    summary: str
    schema: Any
    valid: Any
    invalid: Any
    violations: int


def spread(count: int, total: int) -> list[int]:
    """`count` positions spread evenly over `total`, the first and last half a
    step from either end."""
    return [(2 * i + 1) * total // (2 * count) for i in range(count)]


def count_leaves(value: Any) -> int:
    """Values that are neither list nor dict, anywhere in `value`."""
    if isinstance(value, list):
        return sum(count_leaves(item) for item in value)
    if isinstance(value, dict):
        return sum(count_leaves(item) for item in value.values())
    return 1


def count_values(value: Any) -> int:
    """Every value in `value`, containers included (what the floor visits)."""
    if isinstance(value, list):
        return 1 + sum(count_values(item) for item in value)
    if isinstance(value, dict):
        return 1 + sum(count_values(item) for item in value.values())
    return 1


def count_nodes(schema: Any) -> int:
    """Nodes of the tree a schema compiles to: one per validator object and
    one per field map."""
    if isinstance(schema, dict):
        return 1 + sum(count_nodes(sub) for sub in schema.values())
    if type(schema).__name__ == "ListValidator":
        return 1 + count_nodes(schema._item_validator)
    if type(schema).__name__ == "DictValidator":
        return 1 + count_nodes(schema._value_validator)
    return 1


# Text ----------------------------------------------------------------------

# Runs of letters from several scripts, most of them two or three bytes a code
# point in UTF-8, some four (outside the Basic Multilingual Plane), so that a
# length counted in bytes or in UTF-16 units would differ from the count in
# code points.
ALPHABETS = [
    "αβγδεζηθικλμνξοπρστυφχψω",
    "абвгдеёжзийклмнопрстуфхцчшщъыьэюя",
    "的一是不了人我在有他这中大来上个国到说们为子和你地出道也时年",
    "가나다라마바사아자차카타파하거너더러머버서어저처커터퍼허",
    "ßçéèêëàâäîïôöùûüÿñœæøå",
    "अआइईउऊऋएऐओऔकखगघङचछजझञटठडढणतथदधनपफबभमयरलवशषसह",
    "😀😁😂🤣😃😄😅😆😉😊😋😎😍😘🥰🙂🤗🤩🤔🤨😐🌍🌸🍀🎵🚀",
    "𝔄𝔅ℭ𝔇𝔈𝔉𝔊ℌℑ𝔍𝔎𝔏𝔐𝔑𝔒𝔓𝔔ℜ𝔖𝔗",
]


def text(rng: random.Random, length: int) -> str:
    """A str of `length` code points from one or two scripts, with spaces."""
    first, second = rng.sample(ALPHABETS, 2)
    chars = []
    for i in range(length):
        if i and i % 7 == 0:
            chars.append(" ")
        else:
            chars.append(rng.choice(first if i % 3 else second))
    return "".join(chars)


def word(rng: random.Random, low: int, high: int) -> str:
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(low, high)))


# Flat record -----------------------------------------------------------------


def flat_schema() -> dict:
    """One field of every leaf kind the module knows, under one field map."""
    return {
        "id": Int(min=1, max=2**31 - 1),
        "active": BoolValidator(),
        "level": Int(),
        "rank": Int(min=0, max=10, exclusive_min=True),
        "weight": Float(),
        "score": Float(min=0.0, max=100.0),
        "ratio": Float(min=0.0, max=1.0, exclusive_min=True, exclusive_max=True),
        "name": StringValidator(min_len=1, max_len=40),
        "aliases": ListValidator(StringValidator()),
        "tags": ListValidator(StringValidator(max_len=16), max_len=8),
        "labels": DictValidator(StringValidator()),
        "extra": Validator(),
    }


def flat_valid() -> dict:
    return {
        "id": 48213,
        "active": True,
        "level": -7,
        "rank": 3,
        "weight": 72.5,
        "score": 88.25,
        "ratio": 0.375,
        "name": "Ada Lovelace",
        "aliases": ["ada", "countess"],
        "tags": ["math", "engine"],
        "labels": {"team": "analytical", "site": "london"},
        "extra": {"source": "import", "lines": [1, 2, 3]},
    }


def flat_payload() -> Payload:
    invalid = flat_valid()
    invalid["level"] = "-7"  # wrong type
    invalid["ratio"] = 1.0  # at an exclusive bound
    invalid["tags"] = [f"t{i}" for i in range(9)]  # list too long
    invalid["labels"] = {"team": "analytical", "site": 5}  # wrong type in a dict
    return Payload(
        key="flat",
        title="Flat record",
        summary="one record of 12 fields, one of every leaf kind (any, bool, int with "
        "and without inclusive or exclusive bounds, float likewise, str with length bounds, "
        "list, sized list, str-keyed dict); the invalid one has 4 violations",
        schema=flat_schema(),
        valid=flat_valid(),
        invalid=invalid,
        violations=4,
    )


# Nested records ------------------------------------------------------------

SECTIONS = 10
ROWS = 20


def nested_schema() -> dict:
    row = {
        "sku": StringValidator(min_len=8, max_len=8),
        "qty": Int(min=0, max=10_000),
        "price": Float(min=0.0, exclusive_min=True),
        "in_stock": BoolValidator(),
        "tags": ListValidator(StringValidator(min_len=1, max_len=12), max_len=4),
    }
    section = {
        "name": StringValidator(min_len=1, max_len=60),
        "weight": Float(min=0.0, max=1.0),
        "rows": ListValidator(row, max_len=50),
    }
    return {
        "id": Int(min=1),
        "title": StringValidator(min_len=1, max_len=120),
        "sections": ListValidator(section, min_len=1, max_len=64),
    }


def nested_valid(rng: random.Random) -> dict:
    sections = []
    for s in range(SECTIONS):
        rows = []
        for r in range(ROWS):
            rows.append(
                {
                    "sku": f"SK{s:02d}{r:04d}",
                    "qty": rng.randint(0, 10_000),
                    "price": round(rng.uniform(0.01, 999.0), 2),
                    "in_stock": rng.random() < 0.8,
                    # Two tags on even rows, none on odd ones: one leaf a row on average.
                    "tags": [word(rng, 3, 10) for _ in range(2 if r % 2 == 0 else 0)],
                }
            )
        sections.append({"name": f"Section {s}", "weight": round(rng.random(), 3), "rows": rows})
    return {"id": 7001, "title": "Quarterly inventory", "sections": sections}


NESTED_BREAKS: list[Callable[[dict], None]] = [
    lambda row: row.__setitem__("qty", -3),  # below minimum
    lambda row: row.__setitem__("sku", "SK123"),  # too short
    lambda row: row.__setitem__("price", "12.50"),  # wrong type
    lambda row: row.__setitem__("in_stock", None),  # wrong type
    lambda row: row.__delitem__("price"),  # missing field
    lambda row: row.__setitem__("tags", ["a", "b", "c", "d", "e"]),  # list too long
    lambda row: row.__setitem__("price", 0.0),  # at an exclusive bound
    lambda row: row.__setitem__("qty", 2.5),  # wrong type
    lambda row: row.__setitem__("qty", 10_001),  # above maximum
    lambda row: row.__setitem__("sku", "SK1234567"),  # too long
]


def nested_payload() -> Payload:
    valid = nested_valid(random.Random(11))
    invalid = nested_valid(random.Random(11))
    for n, position in enumerate(spread(10, SECTIONS * ROWS)):
        row = invalid["sections"][position // ROWS]["rows"][position % ROWS]
        NESTED_BREAKS[n % len(NESTED_BREAKS)](row)
    return Payload(
        key="nested",
        title="Nested records",
        summary=f"a document of {SECTIONS} sections of {ROWS} rows (three levels of records, "
        f"{count_leaves(valid):,} leaf values); the invalid one has 10 violations spread over the rows",
        schema=nested_schema(),
        valid=valid,
        invalid=invalid,
        violations=10,
    )


# Many records in a list ------------------------------------------------------

RECORDS = 10_000


def records_schema() -> ListValidator:
    return ListValidator(
        {
            "id": Int(min=1),
            "name": StringValidator(min_len=1, max_len=32),
            "email": StringValidator(min_len=3, max_len=64),
            "age": Int(min=0, max=150),
            "score": Float(min=0.0, max=1.0),
            "active": BoolValidator(),
            "roles": ListValidator(StringValidator(min_len=1, max_len=16), max_len=4),
        }
    )


def records_valid(rng: random.Random) -> list:
    records = []
    for i in range(RECORDS):
        name = word(rng, 3, 12).capitalize()
        records.append(
            {
                "id": i + 1,
                "name": name,
                "email": f"{name.lower()}{i}@example.org",
                "age": rng.randint(0, 150),
                "score": rng.random(),
                "active": rng.random() < 0.5,
                "roles": rng.sample(["admin", "editor", "viewer", "owner", "auditor"], rng.randint(0, 3)),
            }
        )
    return records


RECORD_BREAKS: list[Callable[[dict], None]] = [
    lambda rec: rec.__setitem__("age", 151),  # above maximum
    lambda rec: rec.__setitem__("email", "x@"),  # too short
    lambda rec: rec.__setitem__("score", "0.5"),  # wrong type
    lambda rec: rec.__delitem__("active"),  # missing field
    lambda rec: rec.__setitem__("id", 0),  # below minimum
    lambda rec: rec.__setitem__("roles", ["a", "b", "c", "d", "e"]),  # list too long
    lambda rec: rec.__setitem__("name", ""),  # too short
    lambda rec: rec.__setitem__("active", "yes"),  # wrong type
]


def records_payload() -> Payload:
    valid = records_valid(random.Random(23))
    invalid = records_valid(random.Random(23))
    for n, position in enumerate(spread(100, RECORDS)):
        RECORD_BREAKS[n % len(RECORD_BREAKS)](invalid[position])
    return Payload(
        key="records",
        title="List of records",
        summary=f"{RECORDS:,} records of 7 fields in a list; the invalid one has 100 "
        "violations, one in every 100 records",
        schema=records_schema(),
        valid=valid,
        invalid=invalid,
        violations=100,
    )


# A large str -> float dict -----------------------------------------------------

ENTRIES = 10_000


def mapping_schema() -> DictValidator:
    return DictValidator(Float(min=-1000.0, max=1000.0))


def mapping_valid(rng: random.Random) -> dict:
    return {f"sensor-{i:05d}": rng.uniform(-999.0, 999.0) for i in range(ENTRIES)}


def mapping_payload() -> Payload:
    valid = mapping_valid(random.Random(31))
    invalid = mapping_valid(random.Random(31))
    breaks = [1500.5, "12.5", None, -2000.25]
    keys = list(invalid)
    for n, position in enumerate(spread(100, ENTRIES)):
        invalid[keys[position]] = breaks[n % len(breaks)]
    return Payload(
        key="mapping",
        title="str to float dict",
        summary=f"a dict of {ENTRIES:,} str keys to floats bounded to [-1000, 1000]; the invalid "
        "one has 100 violations (out of bounds, wrong type)",
        schema=mapping_schema(),
        valid=valid,
        invalid=invalid,
        violations=100,
    )


# A long list of bounded ints -----------------------------------------------------

INTS = 100_000


def ints_schema() -> ListValidator:
    return ListValidator(Int(min=0, max=1_000_000), min_len=1, max_len=INTS)


def ints_payload() -> Payload:
    valid = [random.Random(43).randint(0, 1_000_000) for _ in range(INTS)]
    rng = random.Random(43)
    invalid = [rng.randint(0, 1_000_000) for _ in range(INTS)]
    breaks = [-1, 1_000_001, 2.5, "42"]
    for n, position in enumerate(spread(100, INTS)):
        invalid[position] = breaks[n % len(breaks)]
    return Payload(
        key="ints",
        title="List of bounded ints",
        summary=f"{INTS:,} ints bounded to [0, 1000000] in a list of at most {INTS:,} items; the "
        "invalid one has 100 violations (out of bounds, wrong type)",
        schema=ints_schema(),
        valid=valid,
        invalid=invalid,
        violations=100,
    )


# Non-ASCII strings with length bounds ---------------------------------------------

STRINGS = 10_000


def strings_schema() -> ListValidator:
    return ListValidator(StringValidator(min_len=3, max_len=24))


def strings_valid(rng: random.Random) -> list:
    return [text(rng, rng.randint(3, 24)) for _ in range(STRINGS)]


def strings_payload() -> Payload:
    valid = strings_valid(random.Random(59))
    rng = random.Random(59)
    invalid = strings_valid(rng)
    for n, position in enumerate(spread(100, STRINGS)):
        if n % 5 == 4:
            invalid[position] = 24  # wrong type
        elif n % 2:
            invalid[position] = text(rng, rng.randint(1, 2))  # too short
        else:
            invalid[position] = text(rng, rng.randint(25, 30))  # too long
    utf8 = sum(len(s.encode()) for s in valid)
    points = sum(len(s) for s in valid)
    return Payload(
        key="strings",
        title="Non-ASCII strings",
        summary=f"{STRINGS:,} strs of 3 to 24 code points from eight scripts, emoji and other "
        f"astral characters among them ({utf8 / points:.2f} UTF-8 bytes a code point), in a list; "
        "the invalid one has 100 violations (too long, too short, wrong type)",
        schema=strings_schema(),
        valid=valid,
        invalid=invalid,
        violations=100,
    )


# Polygons: many small lists of two floats -----------------------------------------

FEATURES = 200
RINGS_PER_FEATURE = 2
POINTS_PER_RING = 100


def geo_schema() -> ListValidator:
    """Features of a GeoJSON-like document: each a record whose geometry is a
    list of rings, each ring a list of [longitude, latitude] points."""
    point = ListValidator(Float(min=-180.0, max=180.0), min_len=2, max_len=2)
    return ListValidator(
        {
            "id": Int(min=0),
            "name": StringValidator(min_len=1, max_len=64),
            "rings": ListValidator(ListValidator(point, min_len=4), min_len=1),
        }
    )


def geo_valid(rng: random.Random) -> list:
    features = []
    for i in range(FEATURES):
        lon, lat = rng.uniform(-170.0, 170.0), rng.uniform(-80.0, 80.0)
        rings = []
        for _ in range(RINGS_PER_FEATURE):
            ring = [[lon + rng.uniform(-5.0, 5.0), lat + rng.uniform(-5.0, 5.0)] for _ in range(POINTS_PER_RING - 1)]
            rings.append([*ring, list(ring[0])])  # closed: the last point repeats the first
        features.append({"id": i, "name": word(rng, 4, 16), "rings": rings})
    return features


GEO_BREAKS: list[Callable[[list], None]] = [
    lambda point: point.__setitem__(0, 181.0),  # above maximum
    lambda point: point.append(0.0),  # three coordinates
    lambda point: point.__setitem__(1, "12.5"),  # wrong type
    lambda point: point.pop(),  # one coordinate
]


def geo_payload() -> Payload:
    valid = geo_valid(random.Random(67))
    invalid = geo_valid(random.Random(67))
    points = [point for feature in invalid for ring in feature["rings"] for point in ring]
    for n, position in enumerate(spread(100, len(points))):
        GEO_BREAKS[n % len(GEO_BREAKS)](points[position])
    return Payload(
        key="geo",
        title="Polygons",
        summary=f"{FEATURES:,} records, each with {RINGS_PER_FEATURE} rings of {POINTS_PER_RING} "
        f"[longitude, latitude] lists ({len(points):,} lists of two bounded floats); the invalid one "
        "has 100 violations (out of bounds, wrong type, wrong length)",
        schema=geo_schema(),
        valid=valid,
        invalid=invalid,
        violations=100,
    )


BUILDERS: dict[str, Callable[[], Payload]] = {
    "flat": flat_payload,
    "nested": nested_payload,
    "records": records_payload,
    "mapping": mapping_payload,
    "ints": ints_payload,
    "strings": strings_payload,
    "geo": geo_payload,
}


def all_payloads(keys: Collection[str] | None = None) -> list[Payload]:
    """Every payload, or those whose keys are given, in BUILDERS' order."""
    return [build() for key, build in BUILDERS.items() if keys is None or key in keys]


# Schemas timed by compile_schema only ----------------------------------------------

WIDE_FIELDS = 2_000


def wide_schema() -> dict:
    """A large field map: 2,000 fields cycling through the leaf kinds and a few
    small containers, every validator object its own."""
    makers: list[Callable[[], Any]] = [
        lambda: Int(min=0, max=1000),
        lambda: StringValidator(min_len=1, max_len=64),
        lambda: Float(min=0.0, max=1.0, exclusive_max=True),
        lambda: BoolValidator(),
        lambda: ListValidator(StringValidator(max_len=16), max_len=8),
        lambda: Int(),
        lambda: DictValidator(Float()),
        lambda: Validator(),
        lambda: StringValidator(),
        lambda: {"x": Float(), "y": Float()},
    ]
    return {f"field_{i:04d}": makers[i % len(makers)]() for i in range(WIDE_FIELDS)}


def compile_schemas() -> list[tuple[str, Any]]:
    """(label, schema) of every schema whose compile time is measured."""
    return [
        ("Flat record", flat_schema()),
        ("Nested records", nested_schema()),
        ("List of records", records_schema()),
        ("str to float dict", mapping_schema()),
        ("List of bounded ints", ints_schema()),
        ("Non-ASCII strings", strings_schema()),
        (f"Wide field map ({WIDE_FIELDS:,} fields)", wide_schema()),
    ]


# Key order ----------------------------------------------------------------------

KEY_ORDER_FIELDS = (10, 1_000, 20_000)
KEY_ORDERS = ("schema order", "reversed", "shuffled")


@dataclass
class KeyOrderCase:
    fields: int
    order: str
    schema: dict  # shared by the cases of one field count
    data: dict


def key_order_cases() -> list[KeyOrderCase]:
    """A field map of each size in KEY_ORDER_FIELDS, with conforming data
    whose keys come in the schema's order, reversed and shuffled. The data's
    keys are strs of their own, as `json.loads` makes them, not the schema's
    interned names."""
    makers: list[Callable[[], Any]] = [
        lambda: Int(min=0, max=1000),
        lambda: StringValidator(max_len=16),
        lambda: Float(min=0.0, max=1.0),
        lambda: BoolValidator(),
    ]
    values: list[Any] = [500, "value", 0.5, True]
    cases = []
    for fields in KEY_ORDER_FIELDS:
        names = [f"field_{i:05d}" for i in range(fields)]
        schema = {name: makers[i % len(makers)]() for i, name in enumerate(names)}
        entries = [(name, values[i % len(values)]) for i, name in enumerate(names)]
        shuffled = list(entries)
        random.Random(fields).shuffle(shuffled)
        for order, listed in zip(KEY_ORDERS, (entries, entries[::-1], shuffled), strict=True):
            data = json.loads(json.dumps(dict(listed)))
            cases.append(KeyOrderCase(fields, order, schema, data))
    return cases
