"""Writes examples/orders.jsonl, the sample orders the demo validates.

The output is deterministic (fixed seed): running this again reproduces the
shipped file byte for byte. Most orders conform to examples/order_schema.py;
about one in eight is broken in one or two ways, and a handful carry a field
that the schema does not know, which the native walk leaves undecided.

Usage: python examples/make_sample_data.py [COUNT]
"""

from __future__ import annotations

import json
import random
import string
import sys
from pathlib import Path

SEED = 20240617
DEFAULT_COUNT = 2500
BROKEN_SHARE = 0.12
UNDECIDED_COUNT = 10

OUT = Path(__file__).resolve().parent / "orders.jsonl"

FIRST = [
    "Ada",
    "Bram",
    "Chiara",
    "Dmitri",
    "Elif",
    "Farid",
    "Greta",
    "Hiro",
    "Ines",
    "Jonas",
    "Kai",
    "Lena",
    "Mateo",
    "Nadia",
    "Oskar",
    "Priya",
    "Quentin",
    "Rosa",
    "Sven",
    "Tomás",
    "Uma",
    "Vera",
    "Wim",
    "Yara",
    "Zoë",
]
LAST = [
    "Andersen",
    "Baptiste",
    "Castellanos",
    "Dubois",
    "Eriksen",
    "Fischer",
    "García",
    "Horvat",
    "Ivanova",
    "Jansen",
    "Kowalski",
    "Lindqvist",
    "Moreau",
    "Nakamura",
    "Okafor",
    "Petrov",
    "Rossi",
    "Schmidt",
    "Tanaka",
    "Vogel",
    "Weber",
    "Zhang",
]
STREETS = [
    "Main St",
    "Harbour Rd",
    "Lindenallee",
    "Rue des Lilas",
    "Via Roma",
    "Kirkegata",
    "Elm Grove",
    "Station Rd",
    "Calle Mayor",
    "Mill Lane",
]
CITIES = [
    ("Lyon", "FR"),
    ("Bergen", "NO"),
    ("Leipzig", "DE"),
    ("Porto", "PT"),
    ("Bologna", "IT"),
    ("Utrecht", "NL"),
    ("Cork", "IE"),
    ("Gdańsk", "PL"),
    ("Valencia", "ES"),
    ("Leeds", "GB"),
    ("Osaka", "JP"),
    ("Austin", "US"),
]
DOMAINS = ["example.com", "mail.example.org", "post.example.net"]
TAGS = [
    "first-order",
    "repeat",
    "wholesale",
    "fragile",
    "priority",
    "holiday",
    "b2b",
    "promo",
    "eco-pack",
    "pickup",
    "oversize",
    "vip",
]
SCORE_NAMES = ["fraud_risk", "churn_risk", "ltv_rank", "return_risk"]


def make_order(rng: random.Random, n: int) -> dict:
    first, last = rng.choice(FIRST), rng.choice(LAST)
    city, country = rng.choice(CITIES)
    items = []
    for _ in range(rng.choices([1, 2, 3, 4], weights=[50, 30, 12, 8])[0]):
        items.append(
            {
                "sku": "".join(rng.choices(string.ascii_uppercase, k=3)) + "-" + f"{rng.randrange(10**5):05d}",
                "quantity": rng.choices([1, 2, 3, rng.randint(4, 40)], weights=[60, 20, 10, 10])[0],
                "unit_price": round(rng.uniform(0.5, 400.0), 2),
                "gift_wrap": rng.random() < 0.1,
            }
        )
    return {
        "order_id": f"ORD-{n:08d}",
        "placed_at": 1_704_067_200 + rng.randrange(366 * 86_400),
        "customer": {
            "customer_id": rng.randint(1, 250_000),
            "name": f"{first} {last}",
            "email": f"{first.lower()}.{last.lower()}@{rng.choice(DOMAINS)}",
            "verified": rng.random() < 0.8,
            "address": {
                "street": f"{rng.randint(1, 250)} {rng.choice(STREETS)}",
                "city": city,
                "postal_code": f"{rng.randrange(10**5):05d}",
                "country": country,
            },
        },
        "items": items,
        "discount": rng.choice([0.0, 0.0, 0.0, 0.05, 0.1, 0.15, 0.25]),
        "express": rng.random() < 0.2,
        "tags": rng.sample(TAGS, rng.choices([0, 1, 2, 3], weights=[40, 35, 15, 10])[0]),
        "scores": {name: round(rng.random(), 3) for name in rng.sample(SCORE_NAMES, rng.randint(0, 3))},
        "notes": rng.choice([None, None, None, "leave at the door", "call before delivery", {"gate": "4B"}]),
    }


# Each breakage changes one order so that it no longer conforms. Those that
# replace a whole part of the order run after the others.

BREAKAGES: list = []


def breakage(fn=None, *, last=False):
    def register(fn):
        fn.last = last
        BREAKAGES.append(fn)
        return fn

    return register(fn) if fn is not None else register


def _item(rng: random.Random, order: dict) -> dict:
    items = order["items"]
    return rng.choice(items) if isinstance(items, list) and items else {}


@breakage
def quantity_zero(rng, o):
    _item(rng, o)["quantity"] = 0


@breakage
def quantity_too_large(rng, o):
    _item(rng, o)["quantity"] = rng.randint(1000, 5000)


@breakage
def quantity_as_text(rng, o):
    item = _item(rng, o)
    item["quantity"] = str(item.get("quantity", 1))


@breakage
def quantity_as_float(rng, o):
    _item(rng, o)["quantity"] = float(rng.randint(1, 5))


@breakage
def price_zero(rng, o):
    _item(rng, o)["unit_price"] = 0.0


@breakage
def price_negative(rng, o):
    _item(rng, o)["unit_price"] = -round(rng.uniform(1, 50), 2)


@breakage
def price_as_int(rng, o):
    _item(rng, o)["unit_price"] = rng.randint(1, 300)


@breakage
def price_too_high(rng, o):
    _item(rng, o)["unit_price"] = 250_000.0


@breakage
def sku_too_short(rng, o):
    _item(rng, o)["sku"] = "X-1"


@breakage
def gift_wrap_as_int(rng, o):
    _item(rng, o)["gift_wrap"] = 1


@breakage
def item_missing_sku(rng, o):
    _item(rng, o).pop("sku", None)


@breakage(last=True)
def no_items(rng, o):
    o["items"] = []


@breakage(last=True)
def too_many_items(rng, o):
    o["items"] = (o["items"] * 60)[: rng.randint(51, 60)]


@breakage(last=True)
def items_not_a_list(rng, o):
    o["items"] = o["items"][0]


@breakage
def name_empty(rng, o):
    o["customer"]["name"] = ""


@breakage
def name_too_long(rng, o):
    o["customer"]["name"] = " ".join([o["customer"]["name"]] * 8)


@breakage
def email_too_short(rng, o):
    o["customer"]["email"] = "a@b"


@breakage
def verified_as_text(rng, o):
    o["customer"]["verified"] = rng.choice(["yes", "no"])


@breakage
def customer_id_zero(rng, o):
    o["customer"]["customer_id"] = 0


@breakage(last=True)
def customer_missing(rng, o):
    o["customer"] = None


@breakage
def country_three_letters(rng, o):
    o["customer"]["address"]["country"] = rng.choice(["FRA", "DEU", "USA"])


@breakage
def postal_code_missing(rng, o):
    del o["customer"]["address"]["postal_code"]


@breakage
def postal_code_as_int(rng, o):
    o["customer"]["address"]["postal_code"] = rng.randrange(10**4, 10**5)


@breakage
def order_id_malformed(rng, o):
    o["order_id"] = o["order_id"][4:]


@breakage
def placed_at_in_ms(rng, o):
    o["placed_at"] = o.get("placed_at", 1_704_067_200) * 1000


@breakage
def placed_at_missing(rng, o):
    del o["placed_at"]


@breakage
def discount_full(rng, o):
    o["discount"] = 1.0


@breakage
def discount_as_int(rng, o):
    o["discount"] = 0


@breakage
def discount_percent(rng, o):
    o["discount"] = 15.0


@breakage
def too_many_tags(rng, o):
    o["tags"] = list(TAGS[: rng.randint(9, 12)])


@breakage
def empty_tag(rng, o):
    o["tags"] = o["tags"] + [""]


@breakage
def tag_too_long(rng, o):
    o["tags"] = o["tags"] + ["customer-requested-gift-receipt"]


@breakage
def score_above_one(rng, o):
    o["scores"][rng.choice(SCORE_NAMES)] = round(rng.uniform(1.5, 90), 1)


@breakage
def score_as_int(rng, o):
    o["scores"][rng.choice(SCORE_NAMES)] = 1


@breakage(last=True)
def scores_as_list(rng, o):
    o["scores"] = list(o["scores"].values())


@breakage
def express_as_null(rng, o):
    o["express"] = None


def make_undecided(rng: random.Random, o: dict) -> None:
    """Adds a field that no record of the schema names."""
    where = rng.choice(["order", "customer", "address", "item"])
    if where == "order":
        o["coupon_code"] = "SPRING24"
    elif where == "customer":
        o["customer"]["middle_name"] = "J."
    elif where == "address":
        o["customer"]["address"]["state"] = "TX"
    else:
        _item(rng, o)["color"] = "teal"


def main(argv: list[str]) -> int:
    count = int(argv[1]) if len(argv) > 1 else DEFAULT_COUNT
    rng = random.Random(SEED)
    undecided = set(rng.sample(range(count), min(UNDECIDED_COUNT, count)))
    with OUT.open("w", encoding="utf-8", newline="\n") as out:
        for n in range(count):
            order = make_order(rng, n + 1)
            if n in undecided:
                make_undecided(rng, order)
            elif rng.random() < BROKEN_SHARE:
                chosen = rng.sample(BREAKAGES, rng.choices([1, 2], weights=[80, 20])[0])
                for breaking in sorted(chosen, key=lambda fn: fn.last):
                    breaking(rng, order)
            out.write(json.dumps(order, ensure_ascii=False, separators=(",", ":")) + "\n")
    print(f"wrote {count} orders to {OUT} ({OUT.stat().st_size / 1e6:.2f} MB)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
