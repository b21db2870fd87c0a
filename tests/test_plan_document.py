"""Reading the plan document: which MessagePack encodings each position accepts, and the exact
message of every rejection.

Each case builds a document with the ``msgpack`` library (through ``planwriter``), hands it to
``NativePlan`` and checks either that the plan is built or the ``ValueError`` it raises. Where a
decoded value has a visible effect (object names in messages, field kinds through the key-field
rule, target names through resolution), the case checks that effect too.
"""

import decimal
import re

import msgpack
import pytest

from planwriter import (
    FIELD_KEYS,
    FIELD_KINDS,
    OBJECT_KEYS,
    RESERVED,
    SCALAR_KINDS,
    Raw,
    arm,
    ext,
    field,
    field_wire,
    float32,
    float64,
    int8,
    int16,
    int32,
    int64,
    nested_arrays,
    obj,
    object_wire,
    ordered_map,
    pack,
    plan_bytes,
    raw_str,
    scalar_field,
    string_field,
    uint8,
    uint16,
    uint64,
)
from quorvel._native import NativePlan

U64_MAX = 2**64 - 1

FIELD_KIND_LIST = ", ".join(f"`{k}`" for k in FIELD_KINDS)
SCALAR_KIND_LIST = ", ".join(f"`{k}`" for k in SCALAR_KINDS)

KEY_RULE = 'native key field on "T" must be a table scalar or string'


def reject(data, message):
    """Building a plan from ``data`` fails with the reader's ``message``."""
    with pytest.raises(ValueError) as info:
        NativePlan(data)
    assert type(info.value) is ValueError
    assert str(info.value) == "invalid native plan: " + message
    assert not getattr(info.value, "__notes__", None)


def accept(data, objects=None):
    plan = NativePlan(data)
    if objects is not None:
        assert repr(plan) == f"NativePlan(objects={objects})"
    return plan


# A small valid plan, used where only one position is changed.

def base_field():
    return field_wire(scalar_field("x", 0, "int32", default=0))  # 8 elements


def base_object(fields=None):
    return object_wire(obj("T", []), "array")[:4] + [
        [base_field()] if fields is None else fields,
        [],
        None,
        None,
    ]


def doc(objects):
    return pack([2, objects])


def doc_with_object(value):
    return doc([value])


def doc_with_fields(*fields):
    return doc([base_object(list(fields))])


def field_with(**changes):
    """The base field in array form with some positions changed (by key), extended as needed."""
    values = base_field()
    for key, value in changes.items():
        index = FIELD_KEYS.index(key)
        while len(values) <= index:
            values.append(_wire_default(FIELD_KEYS[len(values)]))
        values[index] = value
    return values


def _wire_default(key):
    return {"arms": [], "fixed_length": 0, "element_size": 0}.get(
        key, False if key.startswith("serde_") or key == "key" else None
    )


def object_with(**changes):
    values = base_object()
    for key, value in changes.items():
        values[OBJECT_KEYS.index(key)] = value
    return values


# ---------------------------------------------------------------------------------------------
# Plans written by the helper, in both forms


@pytest.mark.parametrize("form", ["array", "map"])
def test_a_plan_with_every_kind_of_field_decodes_in_both_forms(form):
    objects = [
        obj("Point", [scalar_field("x", 0, "float32", 0.0), scalar_field("y", 1, "float32", 0.0)],
            is_struct=True, byte_size=8, min_alignment=4),
        obj("Leaf", [string_field("label", 0, key=True), scalar_field("n", 1, "uint64", 7)],
            serde_tag_field="type", serde_tag="leaf"),
        obj("Root", [
            field("p", 0, kind="struct", target="Point"),
            field("leaves", 1, kind="vector_table", target="Leaf"),
            field("u", 3, kind="union", type_slot=2, type_scalar="uint8",
                  arms=[arm(1, "Leaf"), arm(2, "Point")]),
            field("bytes", 4, kind="vector_byte", default=b"\x00\x01"),
            field("grid", 5, kind="array_scalar", scalar="int16", fixed_length=4, element_size=2),
            field("value", 6, kind="fallback", fallback_id="custom", serde_nullable=True,
                  serde_element_nullable=True, serde_python_int=True, serde_omit_default=True,
                  enum_type="Colour", optional=True, required=True),
        ]),
    ]
    accept(plan_bytes(objects, form=form), objects=3)


@pytest.mark.parametrize("form", ["array", "map"])
def test_an_empty_plan_decodes(form):
    accept(plan_bytes([], form=form), objects=0)


def test_array_and_map_forms_mix_freely():
    mixed = [2, [object_wire(obj("A", [scalar_field("x")]), "map"),
                 [*base_object()[:4], [field_wire(string_field("s"), "map")], [], None, None]]]
    accept(pack(mixed), objects=2)
    accept(pack({"version": 2, "objects": [base_object()]}), objects=1)


# ---------------------------------------------------------------------------------------------
# Array form: lengths


@pytest.mark.parametrize("length", range(8))
def test_object_array_shorter_than_eight_elements_is_refused(length):
    reject(doc_with_object(base_object()[:length]),
           f"invalid length {length}, expected struct ObjectWire with 8 elements")


def test_object_array_with_nine_elements_is_refused():
    reject(doc_with_object(base_object() + [None]), "array had incorrect length, expected 8")


def test_object_array_tag_fields_may_be_nil_or_text():
    accept(doc_with_object(object_with(serde_tag_field=None, serde_tag=None)))
    accept(doc_with_object(object_with(serde_tag_field="type", serde_tag="t")))


@pytest.mark.parametrize("length", range(8, 24))
def test_field_array_of_8_to_23_elements_decodes(length):
    values = field_with(fallback_id=None)  # all 23, every later field at its default value
    assert len(values) == 23
    accept(doc_with_fields(values[:length]))


@pytest.mark.parametrize("length, index", [(0, 0), (3, 3), (4, 5), (5, 5), (6, 6), (7, 7)])
def test_field_array_missing_a_required_element_names_its_index(length, index):
    # A 4-element array leaves the defaulted `scalar` out and stops at `default`, index 5.
    reject(doc_with_fields(base_field()[:length]),
           f"invalid length {index}, expected struct FieldWire with 23 elements")


def test_field_array_with_24_elements_is_refused():
    values = field_with(fallback_id=None) + [None]
    reject(doc_with_fields(values), "array had incorrect length, expected 23")


def test_field_array_with_an_explicit_nil_scalar_decodes():
    accept(doc_with_fields(field_with(scalar=None)))


@pytest.mark.parametrize("value, message", [
    ([], "invalid length 0, expected struct ModuleWire with 2 elements"),
    ([2], "invalid length 1, expected struct ModuleWire with 2 elements"),
    ([2, [], None], "array had incorrect length, expected 2"),
])
def test_module_array_length(value, message):
    reject(pack(value), message)


@pytest.mark.parametrize("value, message", [
    ([], "invalid length 0, expected struct ArmWire with 2 elements"),
    ([1], "invalid length 1, expected struct ArmWire with 2 elements"),
    ([1, "T", 3], "array had incorrect length, expected 2"),
])
def test_arm_array_length(value, message):
    reject(doc_with_fields(field_with(kind="union", arms=[value])), message)


@pytest.mark.parametrize("value, message", [
    ([], "invalid length 0, expected struct SerdeFieldWire with 2 elements"),
    (["x"], "invalid length 1, expected struct SerdeFieldWire with 2 elements"),
    (["x", "x", "x"], "array had incorrect length, expected 2"),
])
def test_serde_field_array_length(value, message):
    reject(doc_with_object(object_with(serde_fields=[value])), message)


def test_a_refused_extra_element_is_reported_even_if_it_is_malformed():
    # The count is checked once the fields have been read; the extra element is not looked at.
    reject(doc_with_object(base_object() + [RESERVED]), "array had incorrect length, expected 8")


# ---------------------------------------------------------------------------------------------
# Map form: keys, missing and duplicate fields


def map_object(**changes):
    values = object_wire(obj("T", []), "map")
    values["fields"] = [field_wire(scalar_field("x"), "map")]
    values.update(changes)
    return values


def map_field(**changes):
    values = field_wire(scalar_field("x"), "map")
    values.update(changes)
    return values


def test_object_map_with_keys_0_to_5_decodes_with_the_tags_absent():
    values = map_object()
    assert set(values) == set(OBJECT_KEYS[:6])
    accept(doc_with_object(values))


def test_object_array_of_six_elements_is_refused_where_the_same_map_decodes():
    six = base_object()[:6]
    reject(doc_with_object(six), "invalid length 6, expected struct ObjectWire with 8 elements")
    accept(doc_with_object(dict(zip(OBJECT_KEYS, six))))


@pytest.mark.parametrize("key", OBJECT_KEYS[:6])
def test_object_map_without_a_required_key_names_it(key):
    values = map_object(serde_tag="x")
    del values[key]
    reject(doc_with_object(values), f"missing field `{key}`")


def test_missing_fields_are_reported_in_wire_order_not_map_order():
    values = {"serde_fields": [], "fields": [], "min_alignment": 0, "is_struct": False}
    reject(doc_with_object(values), "missing field `name`")
    values["name"] = "T"
    reject(doc_with_object(values), "missing field `byte_size`")


@pytest.mark.parametrize("key", ["name", "slot", "offset", "kind", "default", "optional", "required"])
def test_field_map_without_a_required_key_names_it(key):
    values = map_field()
    del values[key]
    reject(doc_with_fields(values), f"missing field `{key}`")


def test_field_map_without_default_is_refused_even_though_nil_is_a_valid_default():
    values = map_field()
    values["default"] = None
    accept(doc_with_fields(values))
    del values["default"]
    reject(doc_with_fields(values), "missing field `default`")


def test_field_map_with_only_the_seven_required_keys_decodes():
    values = {"name": "x", "slot": 0, "offset": 4, "kind": "string", "default": None,
              "optional": False, "required": False}
    accept(doc_with_fields(values))


@pytest.mark.parametrize("key", ["version", "objects"])
def test_module_map_without_a_required_key_names_it(key):
    values = {"version": 2, "objects": []}
    del values[key]
    reject(pack(values), f"missing field `{key}`")


def test_arm_and_serde_field_maps():
    accept(doc_with_fields(field_with(kind="union", arms=[{"target": "T", "tag": 3}])))
    reject(doc_with_fields(field_with(kind="union", arms=[{"target": "T"}])), "missing field `tag`")
    accept(doc_with_object(object_with(serde_fields=[{"encode_name": "X", "attr_name": "x"}])))
    reject(doc_with_object(object_with(serde_fields=[{"attr_name": "x"}])), "missing field `encode_name`")


def test_map_entries_may_come_in_any_order():
    accept(pack({"objects": [dict(reversed(list(map_object().items())))], "version": 2}), objects=1)


def test_map_keys_may_be_bin():
    values = {b"version": 2, b"objects": [{k.encode(): v for k, v in map_object().items()}]}
    accept(pack(values), objects=1)


def test_map_keys_may_be_field_indices():
    values = {0: 2, 1: [{OBJECT_KEYS.index(k): v for k, v in map_object().items()}]}
    accept(pack(values), objects=1)


def test_field_index_3_sets_the_kind():
    values = map_field(key=True)
    del values["kind"]
    values[3] = "vector_table"
    with pytest.raises(ValueError, match=re.escape(KEY_RULE)):
        NativePlan(doc_with_fields(values))
    values[3] = "scalar"
    accept(doc_with_fields(values))


@pytest.mark.parametrize("index", [uint8(1), uint16(1), uint64(1)])
def test_field_index_may_use_any_unsigned_integer_marker(index):
    values = ordered_map([("version", 2), (index, [])])
    accept(pack(values), objects=0)


@pytest.mark.parametrize("key", [23, 24, 1000, U64_MAX])
def test_field_index_beyond_the_field_count_is_skipped_with_its_value(key):
    values = ordered_map([*map_field().items(), (key, {"deep": [1, [2, [3]]], "x": b"\x00"})])
    accept(doc_with_fields(values))


@pytest.mark.parametrize("key", ["colour", "Name", "name ", "", b"nam", raw_str(b"name\xff")])
def test_key_naming_no_field_is_skipped_with_its_value(key):
    # Keys match byte for byte and case-sensitively; a str that is not UTF-8 matches nothing.
    values = ordered_map([(key, [1, 2, {"a": None}]), *map_object().items()])
    accept(doc_with_object(values))


def test_skipped_key_does_not_count_as_the_field_it_resembles():
    values = map_object()
    del values["name"]
    values["Name"] = "T"
    reject(doc_with_object(values), "missing field `name`")


@pytest.mark.parametrize("key, found", [
    (int8(3), "integer `3`"),
    (int64(0), "integer `0`"),
    (-1, "integer `-1`"),
    (None, "unit value"),
    (True, "boolean `true`"),
    (False, "boolean `false`"),
    (1.5, "floating point `1.5`"),
    (float32(2.0), "floating point `2.0`"),
    (Raw(b"\x91\x00"), "sequence"),
    (Raw(b"\x81\x00\x00"), "map"),
    (msgpack.ExtType(1, b"x"), "newtype struct"),
])
def test_key_of_another_type_is_refused_as_field_identifier(key, found):
    values = ordered_map([*map_field().items(), (key, 0)])
    reject(doc_with_fields(values), f"invalid type: {found}, expected field identifier")


def test_reserved_byte_as_key_is_a_wrong_marker():
    reject(pack(ordered_map([(RESERVED, 0)])), "wrong msgpack marker Reserved")


@pytest.mark.parametrize("pairs, name", [
    ([("version", 2), ("version", 2)], "version"),
    ([("version", 2), (0, 2)], "version"),
    ([(b"objects", []), ("objects", [])], "objects"),
    ([(1, []), (1, [])], "objects"),
])
def test_duplicate_field_is_refused(pairs, name):
    reject(pack(ordered_map(pairs)), f"duplicate field `{name}`")


def test_duplicate_field_is_refused_before_its_value_is_read():
    reject(pack(ordered_map([("version", 2), ("version", RESERVED)])), "duplicate field `version`")


def test_duplicate_field_in_a_field_record():
    values = ordered_map([*map_field().items(), ("kind", "string")])
    reject(doc_with_fields(values), "duplicate field `kind`")


def test_skipped_value_must_be_well_formed():
    reject(pack(ordered_map([("extra", [1, RESERVED]), ("version", 2), ("objects", [])])),
           "wrong msgpack marker Reserved")


def test_skipped_value_must_be_complete():
    # A map of three entries whose last value announces two elements and holds one.
    truncated = b"\x83" + pack("version") + pack(2) + pack("objects") + pack([]) + pack("extra") + b"\x92\x01"
    reject(truncated, "IO error while reading marker: failed to fill whole buffer")


def test_skipped_value_counts_against_the_depth_limit():
    # The root map is one level; a skipped value below it may nest 1022 more.
    ok = ordered_map([("extra", nested_arrays(1022)), ("version", 2), ("objects", [])])
    accept(pack(ok), objects=0)
    too_deep = ordered_map([("extra", nested_arrays(1023)), ("version", 2), ("objects", [])])
    reject(pack(too_deep), "depth limit exceeded")


def test_skipped_entries_do_not_satisfy_a_missing_field():
    reject(pack({"extra": 1, "objects": []}), "missing field `version`")


# ---------------------------------------------------------------------------------------------
# Integers


def test_version_out_of_range():
    reject(pack([-1, []]), "invalid value: integer `-1`, expected u8")
    reject(pack([256, []]), "invalid value: integer `256`, expected u8")


@pytest.mark.parametrize("version", [int8(2), int16(2), int64(2), uint8(2), uint64(2)])
def test_version_may_use_any_integer_marker(version):
    accept(pack([version, []]), objects=0)


def test_version_is_read_as_its_value_whatever_the_marker():
    with pytest.raises(ValueError, match=r"^unsupported native plan version 3$"):
        NativePlan(pack([int16(3), []]))


@pytest.mark.parametrize("value, found", [
    (65536, "integer `65536`"),
    (U64_MAX, "integer `18446744073709551615`"),
    (-1, "integer `-1`"),
    (int64(-2**63), "integer `-9223372036854775808`"),
])
def test_slot_out_of_range(value, found):
    reject(doc_with_fields(field_with(slot=value)), f"invalid value: {found}, expected u16")


@pytest.mark.parametrize("value", [0, 65535, int16(7), int8(0), int32(65535), uint64(65535)])
def test_slot_in_range_decodes(value):
    accept(doc_with_fields(field_with(slot=value)))


@pytest.mark.parametrize("key", ["offset", "fixed_length", "element_size"])
def test_usize_fields_take_the_whole_unsigned_64_bit_range(key):
    accept(doc_with_fields(field_with(**{key: U64_MAX})))
    accept(doc_with_fields(field_with(**{key: int8(5)})))
    reject(doc_with_fields(field_with(**{key: -1})), "invalid value: integer `-1`, expected usize")


@pytest.mark.parametrize("key", ["byte_size", "min_alignment"])
def test_object_sizes_take_the_whole_unsigned_64_bit_range(key):
    accept(doc_with_object(object_with(**{key: U64_MAX})))
    reject(doc_with_object(object_with(**{key: int32(-70000)})),
           "invalid value: integer `-70000`, expected usize")


def test_arm_tag_is_u64():
    accept(doc_with_fields(field_with(kind="union", arms=[[U64_MAX, "T"]])))
    reject(doc_with_fields(field_with(kind="union", arms=[[-5, "T"]])),
           "invalid value: integer `-5`, expected u64")


def test_type_slot_is_an_optional_u16():
    accept(doc_with_fields(field_with(type_slot=None)))
    accept(doc_with_fields(field_with(type_slot=65535)))
    reject(doc_with_fields(field_with(type_slot=70000)), "invalid value: integer `70000`, expected u16")
    reject(doc_with_fields(field_with(type_slot="1")), "wrong msgpack marker FixStr(1)")


@pytest.mark.parametrize("value, found", [
    (None, "unit value"),
    (True, "boolean `true`"),
    (False, "boolean `false`"),
    (1.0, "floating point `1.0`"),
    (float32(7.0), "floating point `7.0`"),
])
def test_slot_of_nil_boolean_or_float_is_an_invalid_type(value, found):
    reject(doc_with_fields(field_with(slot=value)), f"invalid type: {found}, expected u16")


WRONG_MARKERS = [
    ("a", "FixStr(1)"),
    ("", "FixStr(0)"),
    ("x" * 31, "FixStr(31)"),
    ("x" * 32, "Str8"),
    ("x" * 256, "Str16"),
    ("x" * 65536, "Str32"),
    (b"", "Bin8"),
    (b"x" * 256, "Bin16"),
    (b"x" * 65536, "Bin32"),
    ([], "FixArray(0)"),
    ([1, 2], "FixArray(2)"),
    ([0] * 15, "FixArray(15)"),
    ([0] * 16, "Array16"),
    ([None] * 65536, "Array32"),
    ({}, "FixMap(0)"),
    ({"a": 1}, "FixMap(1)"),
    ({i: None for i in range(16)}, "Map16"),
    ({i: None for i in range(65536)}, "Map32"),
    (msgpack.ExtType(1, b"x"), "FixExt1"),
    (msgpack.ExtType(1, b"xx"), "FixExt2"),
    (msgpack.ExtType(1, b"x" * 4), "FixExt4"),
    (msgpack.ExtType(1, b"x" * 8), "FixExt8"),
    (msgpack.ExtType(1, b"x" * 16), "FixExt16"),
    (msgpack.ExtType(1, b"xyz"), "Ext8"),
    (msgpack.ExtType(1, b"x" * 256), "Ext16"),
    (msgpack.ExtType(1, b"x" * 65536), "Ext32"),
    (RESERVED, "Reserved"),
]


@pytest.mark.parametrize("value, marker", WRONG_MARKERS, ids=[m for _, m in WRONG_MARKERS])
def test_integer_position_names_the_wrong_marker(value, marker):
    reject(doc_with_fields(field_with(slot=value)), f"wrong msgpack marker {marker}")


def test_integer_position_with_an_invalid_utf8_str_is_a_wrong_marker():
    reject(doc_with_fields(field_with(slot=raw_str(b"\xff"))), "wrong msgpack marker FixStr(1)")


def test_version_given_as_a_str():
    reject(pack(["2", []]), "wrong msgpack marker FixStr(1)")


# ---------------------------------------------------------------------------------------------
# Floats as found values


@pytest.mark.parametrize("value, text", [
    (float64(1.0), "1.0"),
    (float64(1.5), "1.5"),
    (float64(-2.0), "-2.0"),
    (float64(0.0), "0.0"),
    (float64(-0.0), "-0.0"),
    (float64(0.1), "0.1"),
    (float64(123456789.125), "123456789.125"),
    (float64(1e21), "1000000000000000000000.0"),
    (float64(1.5e-7), "0.00000015"),
    (float64(5e-324), "0." + "0" * 323 + "5"),
    (float64(float("nan")), "NaN"),
    (float64(float("inf")), "inf"),
    (float64(float("-inf")), "-inf"),
    (float32(1.5), "1.5"),
    (float32(0.1), "0.10000000149011612"),
    (float32(16777216.0), "16777216.0"),
    (float32(float("inf")), "inf"),
    (float32(float("-inf")), "-inf"),
])
def test_float_found_where_an_integer_is_expected_is_rendered_in_plain_decimal(value, text):
    reject(doc_with_fields(field_with(offset=value)), f"invalid type: floating point `{text}`, expected usize")


@pytest.mark.parametrize("value, text", [
    (float64(1e23), "100000000000000000000000.0"),
    (float64(2.0**64), "18446744073709552000.0"),
    (float64(1e300), "1" + "0" * 300 + ".0"),
    (float64(1.7976931348623157e308), "17976931348623157" + "0" * 292 + ".0"),
    (float32(1e20), "100000002004087730000.0"),
    (float32(3.4028234663852886e38), "340282346638528860000000000000000000000.0"),
], ids=["1e23", "2**64", "1e300", "float64-max", "float32-1e20", "float32-max"])
def test_large_floats_are_rendered_with_their_shortest_digits_then_zeros(value, text):
    # The fewest significant digits that read back, padded with zeros up to the decimal point;
    # not the exact binary value written out in full.
    reject(doc_with_fields(field_with(offset=value)), f"invalid type: floating point `{text}`, expected usize")


def plain_decimal(x):
    """``x`` with the shortest digits that read back (as ``repr`` finds them), written out
    without an exponent, with ".0" when it has no fractional part."""
    text = format(decimal.Decimal(repr(x)), "f")
    return text if "." in text else text + ".0"


@pytest.mark.parametrize("x", [
    0.5, 2.5e-5, 1 / 3, 2 / 3, 0.1 + 0.2, 1e15, 1e16, 1e17, 2.0**53, 2.0**53 + 2, 123e18, 4.35e-310,
    -1e22, -7.25e25, 6.02214076e23, 2.0**-1074, 1.0000000000000002,
])
def test_float_rendering_matches_the_shortest_round_trip_digits(x):
    assert float(plain_decimal(x)) == x
    reject(doc_with_fields(field_with(offset=float64(x))),
           f"invalid type: floating point `{plain_decimal(x)}`, expected usize")


# ---------------------------------------------------------------------------------------------
# Booleans


BOOL_FIELDS = ["optional", "required", "serde_nullable", "serde_element_nullable",
               "serde_python_int", "serde_omit_default", "key"]


@pytest.mark.parametrize("key", BOOL_FIELDS)
def test_boolean_fields_take_false_and_true(key):
    accept(doc_with_fields(field_with(**{key: True})))
    accept(doc_with_fields(field_with(**{key: False})))


@pytest.mark.parametrize("key", BOOL_FIELDS)
@pytest.mark.parametrize("value, found", [
    (1, "integer `1`"),
    (0, "integer `0`"),
    (int8(-3), "integer `-3`"),
    (None, "unit value"),
    (0.0, "floating point `0.0`"),
])
def test_boolean_field_refuses_integers_nil_and_floats(key, value, found):
    reject(doc_with_fields(field_with(**{key: value})), f"invalid type: {found}, expected a boolean")


@pytest.mark.parametrize("value, marker", [
    ("true", "FixStr(4)"), (b"\x01", "Bin8"), ([True], "FixArray(1)"), ({}, "FixMap(0)"),
    (msgpack.ExtType(0, b"\x01"), "FixExt1"), (RESERVED, "Reserved"),
])
def test_boolean_field_names_the_wrong_marker_for_other_families(value, marker):
    reject(doc_with_fields(field_with(optional=value)), f"wrong msgpack marker {marker}")


def test_is_struct_is_a_boolean():
    reject(doc_with_object(object_with(is_struct=1)), "invalid type: integer `1`, expected a boolean")


def test_is_struct_is_read():
    # A key field is refused on a struct, so the flag is visible through that rule.
    values = object_with(is_struct=True, fields=[field_with(key=True)])
    with pytest.raises(ValueError, match=re.escape(KEY_RULE)):
        NativePlan(doc_with_object(values))
    accept(doc_with_object(object_with(is_struct=False, fields=[field_with(key=True)])))


# ---------------------------------------------------------------------------------------------
# Strings


def key_rule_message_for(name_value):
    """The key-field rule quotes the decoded object name; returns that message."""
    values = object_with(name=name_value, is_struct=True, fields=[field_with(key=True)])
    with pytest.raises(ValueError) as info:
        NativePlan(doc_with_object(values))
    return str(info.value)


def test_object_name_is_decoded_as_text():
    assert key_rule_message_for("Tée") == 'native key field on "Tée" must be a table scalar or string'


def test_object_name_given_as_bin_of_valid_utf8_is_that_text():
    assert key_rule_message_for("Tée".encode()) == 'native key field on "Tée" must be a table scalar or string'


def test_target_given_as_bin_resolves_like_the_text():
    accept(doc_with_fields(field_with(kind="table", target=b"T")))
    accept(doc_with_fields(field_with(kind="union", arms=[[1, b"T"]])))


def test_object_name_given_as_bin_of_invalid_utf8_is_refused():
    reject(doc_with_object(object_with(name=b"T\xff")), "invalid value: byte array, expected a string")


INVALID_UTF8 = [
    (b"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"x\xe2\x82y", "invalid utf-8 sequence of 2 bytes from index 1"),
    (b"\xf0\x9f\x98y", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"ok\xc3", "incomplete utf-8 byte sequence from index 2"),
    (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    (b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"),
    ("é".encode() + b"\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
]


@pytest.mark.parametrize("data, fault", INVALID_UTF8)
def test_str_that_is_not_utf8_at_a_string_field(data, fault):
    reject(doc_with_object(object_with(name=raw_str(data))), f"string found to be invalid utf8: {fault}")


def test_str_that_is_not_utf8_at_an_optional_string_field():
    reject(doc_with_fields(field_with(target=raw_str(b"\xfe"))),
           "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0")
    reject(doc_with_object(object_with(serde_tag=raw_str(b"a\xc3"))),
           "string found to be invalid utf8: incomplete utf-8 byte sequence from index 1")


@pytest.mark.parametrize("value, found", [
    (5, "integer `5`"),
    (-5, "integer `-5`"),
    (None, "unit value"),
    (False, "boolean `false`"),
    (2.5, "floating point `2.5`"),
    ([], "sequence"),
    (["T"], "sequence"),
    ({"a": 1}, "map"),
    (msgpack.ExtType(3, b"abc"), "newtype struct"),
])
def test_string_field_refuses_other_families(value, found):
    reject(doc_with_object(object_with(name=value)), f"invalid type: {found}, expected a string")


def test_string_field_refuses_the_reserved_byte():
    reject(doc_with_object(object_with(name=RESERVED)), "wrong msgpack marker Reserved")


def test_optional_string_is_absent_when_nil_in_both_forms():
    accept(doc_with_object(object_with(serde_tag=None, serde_tag_field=None)))
    accept(doc_with_object(map_object(serde_tag=None, serde_tag_field=None)))
    reject(doc_with_object(object_with(serde_tag=7)), "invalid type: integer `7`, expected a string")


def test_names_in_messages_escape_quotes_backslashes_and_newlines_only():
    name = 'a"b\\c\nd é\U0001f600'
    assert key_rule_message_for(name) == (
        'native key field on "a\\"b\\\\c\\nd é\U0001f600" must be a table scalar or string'
    )


# ---------------------------------------------------------------------------------------------
# Records and lists given as something else


@pytest.mark.parametrize("value, found", [
    ("x", 'string "x"'),
    ('a"b\\c\nd', 'string "a\\"b\\\\c\\nd"'),
    (3, "integer `3`"),
    (-3, "integer `-3`"),
    (None, "unit value"),
    (True, "boolean `true`"),
    (0.5, "floating point `0.5`"),
    (msgpack.ExtType(5, b""), "newtype struct"),
])
def test_object_of_another_family_is_an_invalid_type(value, found):
    reject(doc([value]), f"invalid type: {found}, expected struct ObjectWire")


@pytest.mark.parametrize("wrap, expecting", [
    (lambda v: pack(v), "struct ModuleWire"),
    (lambda v: doc_with_fields(v), "struct FieldWire"),
    (lambda v: doc_with_fields(field_with(kind="union", arms=[v])), "struct ArmWire"),
    (lambda v: doc_with_object(object_with(serde_fields=[v])), "struct SerdeFieldWire"),
])
def test_each_record_names_itself_when_given_another_family(wrap, expecting):
    reject(wrap("nope"), f'invalid type: string "nope", expected {expecting}')
    reject(wrap(None), f"invalid type: unit value, expected {expecting}")


def test_record_given_as_a_str_that_is_not_utf8():
    reject(pack(raw_str(b"\xff\xfe")),
           "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0")
    reject(doc([raw_str(b"abc\xe2")]), "string found to be invalid utf8: incomplete utf-8 byte sequence from index 3")


def test_record_given_as_the_reserved_byte():
    reject(RESERVED.data, "wrong msgpack marker Reserved")
    reject(doc([RESERVED]), "wrong msgpack marker Reserved")


@pytest.mark.parametrize("value, found", [
    ("abc", 'string "abc"'),
    (7, "integer `7`"),
    (None, "unit value"),
    (False, "boolean `false`"),
    (1.25, "floating point `1.25`"),
    ({}, "map"),
    ({"a": []}, "map"),
    (msgpack.ExtType(1, b"a"), "newtype struct"),
])
def test_list_of_another_family_is_an_invalid_type(value, found):
    reject(pack([2, value]), f"invalid type: {found}, expected a sequence")
    reject(doc_with_object(object_with(fields=value)), f"invalid type: {found}, expected a sequence")
    reject(doc_with_fields(field_with(arms=value)), f"invalid type: {found}, expected a sequence")


def test_list_given_as_a_str_that_is_not_utf8():
    reject(pack([2, raw_str(b"\xc3(")]),
           "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0")


def test_list_given_as_the_reserved_byte():
    reject(pack([2, RESERVED]), "wrong msgpack marker Reserved")


# ---------------------------------------------------------------------------------------------
# Bin read as a sequence of bytes


def test_empty_bin_is_an_empty_list():
    accept(pack([2, b""]), objects=0)
    accept(doc_with_object(object_with(fields=b"", serde_fields=b"")), objects=1)
    accept(doc_with_fields(field_with(kind="union", arms=b"")))


@pytest.mark.parametrize("where, expecting", [
    (lambda v: pack([2, v]), "struct ObjectWire"),
    (lambda v: doc_with_object(object_with(fields=v)), "struct FieldWire"),
    (lambda v: doc_with_object(object_with(serde_fields=v)), "struct SerdeFieldWire"),
    (lambda v: doc_with_fields(field_with(arms=v)), "struct ArmWire"),
])
def test_bytes_of_a_bin_list_are_not_records(where, expecting):
    reject(where(b"\x07"), f"invalid type: integer `7`, expected {expecting}")
    reject(where(b"\xff\x00"), f"invalid type: integer `255`, expected {expecting}")


def test_module_given_as_a_bin():
    reject(pack(b""), "invalid length 0, expected struct ModuleWire with 2 elements")
    reject(pack(b"\x02"), "invalid length 1, expected struct ModuleWire with 2 elements")
    # The first byte is taken as the version; the second cannot be the object list.
    reject(pack(b"\x02\x00"), "invalid type: integer `0`, expected a sequence")


@pytest.mark.parametrize("where", [
    lambda v: doc([v]),
    lambda v: doc_with_fields(v),
    lambda v: doc_with_object(object_with(serde_fields=[v])),
])
def test_records_given_as_a_bin_start_with_a_string(where):
    reject(where(b"A"), "invalid type: integer `65`, expected a string")


def test_empty_bin_as_a_record_is_too_short():
    reject(doc([b""]), "invalid length 0, expected struct ObjectWire with 8 elements")
    reject(doc_with_fields(b""), "invalid length 0, expected struct FieldWire with 23 elements")


def test_arm_given_as_a_bin():
    arms = lambda v: doc_with_fields(field_with(kind="union", arms=[v]))  # noqa: E731
    reject(arms(b""), "invalid length 0, expected struct ArmWire with 2 elements")
    reject(arms(b"\x05"), "invalid length 1, expected struct ArmWire with 2 elements")
    reject(arms(b"\x05\x06"), "invalid type: integer `6`, expected a string")


# ---------------------------------------------------------------------------------------------
# Enumerations


def key_field_plan(kind_value):
    return doc_with_fields(field_with(kind=kind_value, scalar=None, key=True))


@pytest.mark.parametrize("value", [
    "vector_table", b"vector_table", 7, uint8(7), uint64(7),
    {"vector_table": None}, {b"vector_table": None}, {7: None},
])
def test_kind_forms_select_the_same_variant(value):
    # vector_table cannot be a key field, so the rule shows which kind was read.
    with pytest.raises(ValueError) as info:
        NativePlan(key_field_plan(value))
    assert str(info.value) == KEY_RULE


@pytest.mark.parametrize("value", ["scalar", b"scalar", 0, {"scalar": None}, "string", 1, {b"string": None}])
def test_kind_forms_for_key_kinds(value):
    accept(key_field_plan(value))


@pytest.mark.parametrize("index, name", list(enumerate(FIELD_KINDS)))
def test_every_kind_index_matches_its_name(index, name):
    ok = name in ("scalar", "string")
    for value in (index, name):
        if ok:
            accept(key_field_plan(value))
        else:
            with pytest.raises(ValueError, match=re.escape(KEY_RULE)):
                NativePlan(key_field_plan(value))


@pytest.mark.parametrize("value", list(SCALAR_KINDS) + list(range(11)) + [{"float64": None}, b"uint8"])
def test_scalar_kinds_decode(value):
    accept(doc_with_fields(field_with(scalar=value)))
    accept(doc_with_fields(field_with(type_scalar=value)))


@pytest.mark.parametrize("name", ["Vector_table", "VECTOR_TABLE", "vector-table", "", "scalar "])
def test_unknown_kind_name(name):
    reject(doc_with_fields(field_with(kind=name)),
           f"unknown variant `{name}`, expected one of {FIELD_KIND_LIST}")


def test_unknown_kind_name_inside_a_one_entry_map():
    reject(doc_with_fields(field_with(kind={"Scalar": None})),
           f"unknown variant `Scalar`, expected one of {FIELD_KIND_LIST}")


def test_unknown_scalar_kind_name():
    reject(doc_with_fields(field_with(scalar="Int32")),
           f"unknown variant `Int32`, expected one of {SCALAR_KIND_LIST}")
    reject(doc_with_fields(field_with(type_scalar="int128")),
           f"unknown variant `int128`, expected one of {SCALAR_KIND_LIST}")


@pytest.mark.parametrize("data", [b"vec\xfftor", b"\xe2\x82", b"a\xf0\x9f\x98b", b"\xc3\xa9t\xed\xa0\x80"])
def test_unknown_kind_bin_shows_invalid_bytes_as_replacement_characters(data):
    text = data.decode("utf-8", "replace")
    reject(doc_with_fields(field_with(kind=data)),
           f"unknown variant `{text}`, expected one of {FIELD_KIND_LIST}")


def test_kind_given_as_a_str_that_is_not_utf8():
    reject(doc_with_fields(field_with(kind=raw_str(b"scalar\xff"))),
           "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 6")
    reject(doc_with_fields(field_with(kind={raw_str(b"\xe2\x82"): None})),
           "string found to be invalid utf8: incomplete utf-8 byte sequence from index 0")


def test_variant_index_out_of_range():
    reject(doc_with_fields(field_with(kind=18)),
           "invalid value: integer `18`, expected variant index 0 <= i < 18")
    reject(doc_with_fields(field_with(kind=uint64(U64_MAX))),
           "invalid value: integer `18446744073709551615`, expected variant index 0 <= i < 18")
    reject(doc_with_fields(field_with(kind={200: None})),
           "invalid value: integer `200`, expected variant index 0 <= i < 18")
    reject(doc_with_fields(field_with(scalar=11)),
           "invalid value: integer `11`, expected variant index 0 <= i < 11")
    reject(doc_with_fields(field_with(type_scalar=255)),
           "invalid value: integer `255`, expected variant index 0 <= i < 11")


@pytest.mark.parametrize("value, found", [
    (int8(3), "integer `3`"),
    (int64(0), "integer `0`"),
    (-1, "integer `-1`"),
    (True, "boolean `true`"),
    (3.0, "floating point `3.0`"),
    (["scalar"], "sequence"),
    (msgpack.ExtType(0, b"\x00"), "newtype struct"),
])
def test_kind_of_another_family_is_an_invalid_type(value, found):
    reject(doc_with_fields(field_with(kind=value)), f"invalid type: {found}, expected variant identifier")


def test_nil_kind_is_an_invalid_type_but_nil_scalar_is_absent():
    reject(doc_with_fields(field_with(kind=None)), "invalid type: unit value, expected variant identifier")
    accept(doc_with_fields(field_with(scalar=None, type_scalar=None)))


@pytest.mark.parametrize("key, found", [
    (int8(1), "integer `1`"),
    (None, "unit value"),
    (False, "boolean `false`"),
    (Raw(b"\x81\xa6scalar\xc0"), "map"),
    (Raw(b"\x91\x00"), "sequence"),
])
def test_one_entry_map_with_a_key_of_another_family(key, found):
    reject(doc_with_fields(field_with(kind=ordered_map([(key, None)]))),
           f"invalid type: {found}, expected variant identifier")


@pytest.mark.parametrize("value, marker", [
    (1, "FixPos(1)"),
    (127, "FixPos(127)"),
    (-1, "FixNeg(-1)"),
    (-32, "FixNeg(-32)"),
    (200, "U8"),
    (70000, "U32"),
    (2**40, "U64"),
    (-100, "I8"),
    (-200, "I16"),
    (-70000, "I32"),
    (-2**40, "I64"),
    (uint16(5), "U16"),
    (True, "True"),
    (False, "False"),
    (1.5, "F64"),
    (float32(1.5), "F32"),
    ("", "FixStr(0)"),
    (b"", "Bin8"),
    ([], "FixArray(0)"),
    ({}, "FixMap(0)"),
    (msgpack.ExtType(0, b"ab"), "FixExt2"),
    (RESERVED, "Reserved"),
])
def test_one_entry_map_needs_a_nil_value(value, marker):
    reject(doc_with_fields(field_with(scalar={"int8": value})), f"wrong msgpack marker {marker}")


@pytest.mark.parametrize("entries", [0, 2, 3, 16])
def test_enumeration_map_must_have_exactly_one_entry(entries):
    value = ordered_map([("int8", None)] * entries)
    reject(doc_with_fields(field_with(scalar=value)), f"array had incorrect length, expected {entries}")
    reject(doc_with_fields(field_with(kind=value)), f"array had incorrect length, expected {entries}")


def test_enumeration_given_as_the_reserved_byte():
    reject(doc_with_fields(field_with(kind=RESERVED)), "wrong msgpack marker Reserved")


# ---------------------------------------------------------------------------------------------
# Field defaults: any MessagePack value


DEFAULTS = [
    None, True, False, 0, 5, int8(5), int16(-5), int64(-2**63), uint64(U64_MAX), -1,
    1.5, float32(1.5), float64(float("nan")), "", "text", "é€😀", raw_str(b"\xff\xfe"), b"", b"\x00\xff",
    [], [1, "a", None, [2.5]], {}, {"a": 1, 2: [3], None: {}, 1.5: b"x"},
    ordered_map([("k", 1), ("k", 2)]), ext(-128, b""), msgpack.ExtType(127, b"x" * 300),
    msgpack.ExtType(1, b"abcd"), [ext(-1, b"\x00" * 8)],
]


@pytest.mark.parametrize("value", DEFAULTS, ids=[f"v{i}" for i in range(len(DEFAULTS))])
@pytest.mark.parametrize("form", ["array", "map"])
def test_default_takes_any_value(value, form):
    if form == "array":
        accept(doc_with_fields(field_with(default=value)))
    else:
        accept(doc_with_fields(map_field(default=value)))


@pytest.mark.parametrize("value", [RESERVED, [1, RESERVED], {"a": RESERVED}, ordered_map([(RESERVED, 1)])])
def test_default_refuses_the_reserved_byte_anywhere(value):
    reject(doc_with_fields(field_with(default=value)), "wrong msgpack marker Reserved")


def test_default_may_nest_1018_levels():
    accept(doc_with_fields(field_with(default=nested_arrays(1018))))
    accept(doc_with_fields(field_with(default=nested_arrays(1018, innermost=5))))


def test_default_nesting_1019_levels_exceeds_the_depth_limit():
    reject(doc_with_fields(field_with(default=nested_arrays(1019))), "depth limit exceeded")


def test_nested_maps_count_like_arrays():
    def maps(depth):
        return Raw(b"\x81\x00" * (depth - 1) + b"\x80")

    accept(doc_with_fields(field_with(default=maps(1018))))
    reject(doc_with_fields(field_with(default=maps(1019))), "depth limit exceeded")


def test_an_ext_counts_as_one_level():
    accept(doc_with_fields(field_with(default=nested_arrays(1017, msgpack.ExtType(1, b"x")))))
    reject(doc_with_fields(field_with(default=nested_arrays(1018, msgpack.ExtType(1, b"x")))),
           "depth limit exceeded")


def test_map_form_records_count_like_array_form_records():
    accept(doc_with_fields(map_field(default=nested_arrays(1018))))
    reject(doc_with_fields(map_field(default=nested_arrays(1019))), "depth limit exceeded")


# ---------------------------------------------------------------------------------------------
# Input that ends early, and bytes after the document


def test_empty_input():
    reject(b"", "IO error while reading marker: failed to fill whole buffer")


@pytest.mark.parametrize("data, message", [
    (b"\x92\x02", "IO error while reading marker: failed to fill whole buffer"),
    (b"\x92", "IO error while reading marker: failed to fill whole buffer"),
    (b"\x92\xcd\x00", "IO error while reading data: failed to fill whole buffer"),
    (b"\x92\xcf\x00\x00\x00", "IO error while reading data: failed to fill whole buffer"),
    (b"\x92\x02\xdc\x00", "IO error while reading data: failed to fill whole buffer"),
    (b"\x92\x02\xd9", "IO error while reading data: failed to fill whole buffer"),
    (b"\x92\x02\xc4", "IO error while reading data: failed to fill whole buffer"),
    (b"\x92\x02\xc4\x05\x01", "IO error while reading data: unexpected end of file"),
    (b"\x92\x02\x91\x98\xa5ab", "IO error while reading data: unexpected end of file"),
    (b"\x92\x02\x91\x98\xd9\x10abc", "IO error while reading data: unexpected end of file"),
    (b"\x92\x02\x91\x98\xc4\x03ab", "IO error while reading data: unexpected end of file"),
])
def test_truncated_input(data, message):
    reject(data, message)


@pytest.mark.parametrize("data, message", [
    (b"\x92\x02\xdd\xff\xff\xff\xff", "IO error while reading marker: failed to fill whole buffer"),
    (b"\x92\x02\xc6\xff\xff\xff\xff\x00", "IO error while reading data: unexpected end of file"),
    (b"\xdf\xff\xff\xff\xff", "IO error while reading marker: failed to fill whole buffer"),
])
def test_huge_announced_lengths_fail_on_the_missing_data(data, message):
    reject(data, message)


def test_a_default_announcing_huge_contents_fails_on_the_missing_data():
    huge_array = Raw(b"\xdd\xff\xff\xff\xff")
    huge_map = Raw(b"\xdf\xff\xff\xff\xff\x00")
    huge_str = Raw(b"\xdb\xff\xff\xff\xff")
    huge_ext = Raw(b"\xc9\xff\xff\xff\xff\x01")
    for value in (huge_array, huge_map):
        data = doc_with_fields(field_with(default=value))
        cut = data[:data.index(value.data) + len(value.data)]
        reject(cut, "IO error while reading marker: failed to fill whole buffer")
    data = doc_with_fields(field_with(default=huge_str))
    reject(data[:data.index(huge_str.data) + len(huge_str.data)], "IO error while reading data: unexpected end of file")
    data = doc_with_fields(field_with(default=huge_ext))
    with pytest.raises(ValueError, match="^invalid native plan: IO error while reading data: "):
        NativePlan(data[:data.index(huge_ext.data) + len(huge_ext.data)])


def test_every_truncation_of_a_plan_fails_with_an_io_error():
    objects = [
        obj("P", [scalar_field("x", 0, "float64", 1.5)], is_struct=True, byte_size=8, min_alignment=8),
        obj("T", [string_field("name", 0, key=True, default="n"),
                  field("p", 1, kind="struct", target="P", default={"x": [1, 2]}),
                  field("u", 3, kind="union", type_slot=2, type_scalar="uint8", arms=[arm(1, "P")])],
            serde_tag_field="t", serde_tag="T"),
    ]
    for form in ("array", "map"):
        data = plan_bytes(objects, form=form)
        accept(data, objects=2)
        for end in range(len(data)):
            with pytest.raises(ValueError) as info:
                NativePlan(data[:end])
            assert re.fullmatch(
                r"invalid native plan: IO error while reading (marker: failed to fill whole buffer"
                r"|data: failed to fill whole buffer|data: unexpected end of file)",
                str(info.value),
            ), (form, end, str(info.value))


@pytest.mark.parametrize("trailer", [b"\x00", b"\xc1", b"\xff\xff\xff", pack([1, 2, 3]), b"\x92\x02"])
@pytest.mark.parametrize("form", ["array", "map"])
def test_bytes_after_the_document_are_ignored(trailer, form):
    data = plan_bytes([obj("A", [scalar_field("x")]), obj("B")], form=form)
    accept(data + trailer, objects=2)


def test_a_failing_document_is_not_rescued_by_what_follows():
    reject(pack([2]) + pack([]), "invalid length 1, expected struct ModuleWire with 2 elements")
