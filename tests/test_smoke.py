from validator_classes import Int, ListValidator, StringValidator

import quillane_core


def test_worked_example_collects_in_documented_order():
    validator = quillane_core.compile_schema(
        {"name": StringValidator(min_len=1), "age": Int(min=0), "tags": ListValidator(StringValidator())}
    )
    assert validator.collect({"tags": ["x", 5], "age": -1}) == [
        ("tags[1]", "Expected str", 5),
        ("age", "Value -1 is less than minimum 0", -1),
        ("name", "Missing required field", None),
    ]
