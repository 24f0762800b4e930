"""The order record schema used by the demo.

One record is a shop order: who placed it, where it ships, what it holds and
a few flags and scores attached by the shop's back office. Every field of a
record is required, and a record may carry no other fields.
"""

from __future__ import annotations

from validator_classes import (
    BoolValidator,
    DictValidator,
    Float,
    Int,
    ListValidator,
    StringValidator,
    Validator,
)

ADDRESS = {
    "street": StringValidator(min_len=3, max_len=120),
    "city": StringValidator(min_len=1, max_len=60),
    "postal_code": StringValidator(min_len=3, max_len=10),
    "country": StringValidator(min_len=2, max_len=2),  # ISO 3166 alpha-2
}

CUSTOMER = {
    "customer_id": Int(min=1),
    "name": StringValidator(min_len=1, max_len=80),
    "email": StringValidator(min_len=6, max_len=254),
    "verified": BoolValidator(),
    "address": ADDRESS,
}

LINE_ITEM = {
    "sku": StringValidator(min_len=8, max_len=16),
    "quantity": Int(min=1, max=999),
    "unit_price": Float(min=0, exclusive_min=True, max=100_000),
    "gift_wrap": BoolValidator(),
}

ORDER = {
    "order_id": StringValidator(min_len=12, max_len=12),
    "placed_at": Int(min=1_600_000_000, max=2_000_000_000),  # Unix seconds
    "customer": CUSTOMER,
    "items": ListValidator(LINE_ITEM, min_len=1, max_len=50),
    "discount": Float(min=0, max=1, exclusive_max=True),  # fraction of the total
    "express": BoolValidator(),
    "tags": ListValidator(StringValidator(min_len=1, max_len=24), max_len=8),
    "scores": DictValidator(Float(min=0, max=1)),  # risk and ranking scores by name
    "notes": Validator(),  # free-form, anything goes
}
