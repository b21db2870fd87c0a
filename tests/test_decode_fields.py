"""decode_serde field values by kind, strict and lax, on both formats: scalars and their
coercions, Python ints, strings, numeric and enum vectors (NumPy arrays and lists), UUIDs,
decimals and fallback decoders."""

import decimal
import json
import math
import struct
import uuid

import msgpack
import numpy as np
import pytest

from decoding import FORMATS, Color, decode, error, make_plan
from planwriter import field, obj, plan_bytes, scalar_field, string_field
from quorvel._native import NativePlan
from trevalin import Struct


@pytest.fixture(scope="module")
def plan():
    return make_plan()


def value(plan, fmt, key, v, strict=True, **kw):
    attr = "name" if key == "full_name" else key
    return getattr(decode(plan, {key: v}, fmt, strict=strict, **kw), attr)


def same(a, b):
    return type(a) is type(b) and (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)))


STRICT_OK = [
    ("i8", -128, -128), ("u8", 255, 255), ("i64", -2**63, -2**63), ("u64", 2**64 - 1, 2**64 - 1),
    ("f64", 3, 3.0), ("f64", 1e308, 1e308), ("f32", 0.1, 0.1), ("flag", True, True),
    ("color", 2, Color.GREEN), ("full_name", "é\n\"", "é\n\""), ("tags", ["x", "y"], ["x", "y"]),
]
STRICT_FAIL = [
    ("i8", 200, "invalid value: integer `200`, expected i8"),
    ("u8", -1, "invalid value: integer `-1`, expected u8"),
    ("i8", 1.5, "invalid type: floating point `1.5`, expected i8"),
    ("i8", 1.0, "invalid type: floating point `1.0`, expected i8"),
    ("u64", "5", 'invalid type: string "5", expected u64'),
    ("flag", 1, "invalid type: integer `1`, expected a boolean"),
    ("f64", "1", 'invalid type: string "1", expected f64'),
    ("full_name", 5, "invalid type: integer `5`, expected a string"),
    ("tags", ["a", 1], "invalid type: integer `1`, expected a string"),
    ("tags", "ab", 'invalid type: string "ab", expected a sequence'),
    ("color", 9, "ValueError: 9 is not a valid Color"),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, expected", STRICT_OK)
def test_strict_values(plan, fmt, key, v, expected):
    assert same(value(plan, fmt, key, v), expected)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, message", STRICT_FAIL)
def test_strict_failures(plan, fmt, key, v, message):
    assert error(plan, {key: v}, fmt) == message


LAX_OK = [
    ("u8", 255, 255), ("u8", "7", 7), ("u8", 3.0, 3), ("i64", "1e3", 1000), ("i64", "-0", 0),
    ("i64", " 7 ", 7), ("flag", 0, False), ("flag", 1.0, True), ("flag", "TRUE", True), ("flag", "0", False),
    ("f32", 0.1, 0.10000000149011612), ("f32", "-Infinity", -math.inf), ("f64", "nan", math.nan),
    ("f64", 2**63 + 1, float(2**63)), ("f64", "1.5e3", 1500.0), ("f32", 1e39, math.inf),
    ("color", "2", Color.GREEN),
]
LAX_FAIL = [
    ("u8", 256, "integer 256 is out of range for Uint8"),
    ("u8", -1, "integer -1 is out of range for Uint8"),
    ("i8", 1.5, "float 1.5 is not an integer"),
    ("i64", 1e20, "float 100000000000000000000 is out of integer range"),
    ("i64", "9223372036854775808", "integer 9223372036854775808 is out of range for Int64"),
    ("i64", "012", 'string "012" is not an integer'),
    ("i64", "+5", 'string "+5" is not an integer'),
    ("flag", 2, "integer 2 is not a boolean"),
    ("flag", 2.0, "integer 2 is not a boolean"),
    ("flag", "yes", 'string "yes" is not a boolean'),
    ("f64", "1,5", 'string "1,5" is not a float'),
    ("i8", True, "boolean is not coercible to a numeric field"),
    ("i8", None, "invalid type: {null}, expected a value coercible to Int8"),
    ("i8", [1], "invalid type: sequence, expected a value coercible to Int8"),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, expected", LAX_OK)
def test_lax_values(plan, fmt, key, v, expected):
    assert same(value(plan, fmt, key, v, strict=False), expected)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, message", LAX_FAIL)
def test_lax_failures(plan, fmt, key, v, message):
    message = message.replace("{null}", "null" if fmt == "json" else "unit value")
    assert error(plan, {key: v}, fmt, strict=False) == message


PYTHON_INT = [
    # (document value, strict, result or error text)
    (10**30, True, 10**30), (-(10**30), True, -(10**30)), (2**64 - 1, False, 2**64 - 1), (-5, True, -5),
    (3.0, False, 3), (1e20, False, 2**64 - 1), (-1e20, False, -2**63), (3.5, False, "float is not coercible to an integer"),
    ("42", False, 42), ("18446744073709551615", False, 2**64 - 1), ("1e3", False, 1000),
    ("2.5", False, "float is not coercible to an integer"), ("5", True, "expected an integer"),
    (True, False, "invalid type: boolean `true`, expected an integer"),
    ([1], False, "invalid type: sequence, expected an integer"),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("v, strict, expected", PYTHON_INT)
def test_python_int(plan, fmt, v, strict, expected):
    if fmt == "msgpack" and isinstance(v, int) and not -2**63 <= v < 2**64:
        pytest.skip("MessagePack holds 64-bit integers only")
    if isinstance(expected, str):
        assert error(plan, {"big": v}, fmt, strict=strict) == expected
    else:
        got = value(plan, fmt, "big", v, strict=strict)
        assert type(got) is int and got == expected


@pytest.mark.parametrize("data, message", [
    (b'{"big": 1.0}', "ValueError: invalid literal for int() with base 10: '1.0'"),
    (b'{"big": "5"}', "expected an integer"),
])
def test_strict_json_python_int(plan, data, message):
    assert error(plan, data, "json") == message
    assert decode(plan, b'{"big": 123456789012345678901234567890}', "json").big == 123456789012345678901234567890


# The JSON reader holds -0 as the float -0.0, as it does -0.0 itself.
@pytest.mark.parametrize("data, strict, expected", [
    (b'{"f64": -0}', True, -0.0), (b'{"f64": -0}', False, -0.0), (b'{"i8": -0}', False, 0),
    (b'{"i8": -0}', True, "invalid type: floating point `-0.0`, expected i8"),
    (b'{"colors": [-0]}', True, "expected Uint8"),
    (b"-0", True, "invalid type: floating point `-0.0`, expected a generated model object"),
])
def test_json_negative_zero(plan, data, strict, expected):
    if isinstance(expected, str):
        assert error(plan, data, "json", strict=strict) == expected
    else:
        got = getattr(decode(plan, data, "json", strict=strict), "f64" if b"f64" in data else "i8")
        assert got == expected and math.copysign(1, got) == math.copysign(1, expected)


def test_strict_msgpack_python_int_refuses_floats(plan):
    assert error(plan, {"big": 1.0}, "msgpack") == "float is not coercible to an integer"


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, strict, dtype, expected", [
    ("nums", [1, None, 2.5], True, np.float64, [1.0, math.nan, 2.5]),
    ("nums", [], True, np.float64, []),
    ("shorts", [1, -2, 3], True, np.int16, [1, -2, 3]),
    ("shorts", [1, "2", 3.0], False, np.int16, [1, 2, 3]),
    ("nums", [None, "inf"], False, np.float64, [math.nan, math.inf]),
])
def test_numeric_vectors(plan, fmt, key, v, strict, dtype, expected):
    got = value(plan, fmt, key, v, strict=strict)
    assert type(got) is np.ndarray and got.dtype == dtype and got.shape == (len(expected),)
    assert got.flags.writeable and got.flags.c_contiguous and got.flags.owndata
    np.testing.assert_array_equal(got, np.array(expected, dtype=dtype))


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key, v, strict, message", [
    ("shorts", [1, 2], True, "fixed numeric array requires 3 values, got 2"),
    ("shorts", [1, 2, 3, 4], False, "fixed numeric array requires 3 values, got 4"),
    ("shorts", [1, 2.5, 3], True, "invalid type: floating point `2.5`, expected i16"),
    ("shorts", [1, 70000, 3], False, "integer 70000 is out of range for Int16"),
    ("shorts", [1, [2], 3], False, "value is not coercible to Int16"),
    ("shorts", [1, "x", 3, 4], False, 'string "x" is not an integer'),
    ("nums", ["1"], True, 'invalid type: string "1", expected f64'),
    ("nums", 5, True, "invalid type: integer `5`, expected a sequence"),
    ("colors", [1, 2, 9], True, "ValueError: 9 is not a valid Color"),
    ("colors", [1, "2"], True, "expected Uint8"),
])
def test_numeric_and_enum_vector_failures(plan, fmt, key, v, strict, message):
    assert error(plan, {key: v}, fmt, strict=strict) == message


@pytest.mark.parametrize("fmt", FORMATS)
def test_enum_vectors(plan, fmt):
    assert value(plan, fmt, "colors", [2, 1]) == [Color.GREEN, Color.RED]
    assert value(plan, fmt, "colors", ["2", 1.0], strict=False) == [Color.GREEN, Color.RED]
    assert type(value(plan, fmt, "colors", [])) is list


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("v, expected", [
    ([1, 2, 1], [Color.RED, Color.GREEN, Color.RED]),
    # The count is checked on the whole array before any element is converted.
    ([1, 9], "fixed enum array requires 3 values, got 2"),
    ([1, 2, 1, 2], "fixed enum array requires 3 values, got 4"),
])
def test_fixed_enum_arrays(fmt, v, expected):
    from decoding import Holder
    from planwriter import field, obj
    p = make_plan([obj("E", [field("colors", 0, kind="array_scalar", scalar="uint8", enum_type="Color", fixed_length=3)])],
                  {"E": Holder, "Color": Color})
    if isinstance(expected, str):
        assert error(p, {"colors": v}, fmt, root="E") == expected
    else:
        assert decode(p, {"colors": v}, fmt, root="E").colors == expected


def test_numpy_result_is_independent_of_the_input(plan):
    data = b'{"nums": [1.0, 2.0]}'
    first = decode(plan, data, "json").nums
    first[0] = 99.0
    assert list(decode(plan, data, "json").nums) == [1.0, 2.0]


def test_msgpack_numeric_vector_forms(plan):
    f32 = b"\x81\xa4nums\x92\xca" + struct.pack(">f", 0.5) + b"\xc0"
    assert list(decode(plan, f32, "msgpack").nums)[0] == 0.5
    # A bin stands for the sequence of its bytes.
    assert list(decode(plan, b"\x81\xa6shorts\xc4\x03\x01\x02\x03", "msgpack").shorts) == [1, 2, 3]


UID = uuid.UUID("12345678-1234-5678-1234-567812345678")


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("v, expected", [
    (str(UID), UID), (UID.hex, UID),
    ("1.10", decimal.Decimal("1.10")),
])
def test_uuid_and_decimal_text(plan, fmt, v, expected):
    key = "uid" if isinstance(expected, uuid.UUID) else "amount"
    got = value(plan, fmt, key, v)
    assert got == expected and str(got) == str(expected)


@pytest.mark.parametrize("fmt, data, key, expected", [
    ("json", b'{"amount": 1.10}', "amount", "1.10"),
    ("json", b'{"amount": 1e-3}', "amount", "0.001"),
    ("json", b'{"amount": "2.50"}', "amount", "2.50"),
    ("msgpack", b"\x81\xa6amount\xcb" + struct.pack(">d", 1.1), "amount", "1.1"),
    ("msgpack", b"\x81\xa6amount\xca" + struct.pack(">f", 0.1), "amount", "0.1"),
    ("msgpack", b"\x81\xa6amount\xd0\xfb", "amount", "-5"),
    ("msgpack", b"\x81\xa3uid\xc4\x10" + UID.bytes, "uid", str(UID)),
])
def test_uuid_and_decimal_forms(plan, fmt, data, key, expected):
    assert str(getattr(decode(plan, data, fmt), key)) == expected


@pytest.mark.parametrize("fmt, doc, message", [
    ("json", {"uid": 5}, "invalid type: integer `5`, expected a string"),
    ("msgpack", {"uid": 5}, "expected a UUID string or 16-byte value"),
    ("msgpack", {"uid": b"\x01" * 15}, "ValueError: bytes is not a 16-char string"),
    ("json", {"uid": "nope"}, "ValueError: badly formed hexadecimal UUID string"),
    ("msgpack", {"amount": None}, "expected a Decimal string or number"),
    ("json", {"amount": True}, "InvalidOperation: [<class 'decimal.ConversionSyntax'>]"),
])
def test_uuid_and_decimal_failures(plan, fmt, doc, message):
    assert error(plan, doc, fmt) == message


@pytest.mark.parametrize("fmt, data, raw", [
    ("json", b'{"extra": { "a" : 1 }}', b'{ "a" : 1 }'),
    ("json", b'{"extra": "x\\u0041"}', b'"x\\u0041"'),
    ("json", b'{"extra":-0.5e3 }', b"-0.5e3"),
    ("msgpack", b"\x81\xa5extra\xce\x00\x00\x00\x01", b"\x01"),
    ("msgpack", b"\x81\xa5extra\x92\xd1\x00\x05\xc3", b"\x92\x05\xc3"),
])
def test_fallback_decoders(plan, fmt, data, raw):
    seen = []
    got = decode(plan, data, fmt, fallback_decoders={"extra": lambda b: seen.append(b) or "decoded"}).extra
    assert got == "decoded" and seen == [raw] and type(seen[0]) is bytes


@pytest.mark.parametrize("fmt", FORMATS)
def test_fallback_failures(plan, fmt):
    assert error(plan, {"extra": 1}, fmt) == 'serde fallback decoder "extra" is not bound'

    def refuse(b):
        raise LookupError("no")
    assert error(plan, {"extra": 1}, fmt, fallback_decoders={"extra": refuse}) == "LookupError: no"


@pytest.mark.parametrize("fmt, data", [
    ("json", b'{"extra": [1 2]}'), ("json", b'{"extra":'), ("json", b'{"extra": "\xff"}'),
    ("json", b'{"extra": tru'), ("json", b'{"extra": "ab'), ("msgpack", b"\x81\xa5extra"),
    ("msgpack", b"\x81\xa5extra\xc1"), ("msgpack", b"\x81\xa5extra\xa5ab"),
])
def test_fallback_lookup_comes_before_the_value(plan, fmt, data):
    assert error(plan, data, fmt) == 'serde fallback decoder "extra" is not bound'


class Floats(Struct):
    v: object = None


@pytest.fixture(scope="module")
def floats_plan():
    return make_plan([obj("Floats", [field("v", 0, kind="vector_scalar", scalar="float32")])], {"Floats": Floats})


# Past 64 bits only a strict JSON element keeps its digits (a lax one is a double first).
WIDE_FLOAT32 = [(b"1180591691086155481089", 2**70 + 2**47), (b"-1180591691086155481089", -(2**70 + 2**47)),
                (b"1.180591691086155481089e21", 2**70 + 2**47), (b"1" + b"0" * 40, math.inf)]


@pytest.mark.parametrize("strict", [True, False])
@pytest.mark.parametrize("fmt", FORMATS)
def test_float32_elements_round_once(floats_plan, fmt, strict):
    values = [2**60 + 2**36 + 1, -(2**60 + 2**36 + 1), 2**64 - 1, 16777217, 0.1]
    got = decode(floats_plan, {"v": values}, fmt, root="Floats", strict=strict).v
    assert got.tolist() == np.array([2**60 + 2**37, -(2**60 + 2**37), 2**64, 16777216, 0.1], dtype=np.float32).tolist()
    if fmt == "json" and strict:
        got = decode(floats_plan, b'{"v": [%s]}' % b",".join(t for t, _ in WIDE_FLOAT32), fmt, root="Floats").v
        assert got.tolist() == np.array([v for _, v in WIDE_FLOAT32], dtype=np.float32).tolist()
    if fmt == "json":
        # Below 2^53 a fraction rounds through a double, as numpy.float32(float(text)) does: the
        # double is the tie 1 + 2^-24, which goes to 1.0, not to the nearest float32 1 + 2^-23.
        text = b"1.000000059604644775390625000000000001"
        got = decode(floats_plan, b'{"v": [%s]}' % text, fmt, root="Floats", strict=strict).v
        assert got.tolist() == [np.float32(float(text))] == [1.0]


# Every place that reads a number from text: (format, strict, key, how the number is written).
NUMBER_PLACES = [
    ("json", True, "f64", "{}"), ("json", False, "f64", "{}"), ("json", True, "i64", "{}"), ("json", False, "i64", "{}"),
    ("json", True, "big", "{}"), ("json", False, "big", "{}"), ("json", True, "nums", "[{}]"),
    ("json", False, "nums", "[{}]"), ("json", True, "shorts", "[{}, 0, 0]"), ("json", False, "shorts", "[{}, 0, 0]"),
    ("json", True, "v", "[{}]"), ("json", False, "v", '["{}"]'),
] + [(fmt, False, key, '"{}"') for fmt in FORMATS for key in ("f64", "i64", "big")] + [
    ("msgpack", False, "nums", '["{}"]'), ("msgpack", False, "shorts", '["{}", 0, 0]')]
EDGE_EXPONENTS = ["2147483648", "2147483649", "9223372036854775807", "9223372036854775808", "9223372036854775809",
                  "00009223372036854775808", "18446744073709551617"]


def number_outcome(plans, place, number):
    """What a place makes of a number: its value, or the reader's text with the number's own text
    taken out."""
    fmt, strict, key, form = place
    text = form.format(number)
    doc = b'{"%s": %s}' % (key.encode(), text.encode()) if fmt == "json" else {key: json.loads(text)}
    root = "Floats" if key == "v" else "Holder"
    try:
        got = getattr(decode(plans[root], doc, fmt, root=root, strict=strict), key)
    except ValueError as e:
        return str(e).split(" at line ")[0].replace(number, "N")
    return repr(got.tolist() if isinstance(got, np.ndarray) else got)


# An exponent at the edge of 32 or 64 bits reads like any other too large for a double: the same
# value or refusal as the same mantissa with the exponent 99999.
@pytest.mark.parametrize("place", NUMBER_PLACES, ids=lambda p: "{}-{}-{}-{}".format(p[0], "strict" if p[1] else "lax", p[2], p[3]))
@pytest.mark.parametrize("mantissa", ["1", "-99", "0.0012", "-12345678901234567890123.5"])
@pytest.mark.parametrize("sign", ["", "-", "+"], ids=["up", "down", "plus"])
def test_edge_exponents_read_like_large_ones(plan, floats_plan, place, mantissa, sign):
    plans = {"Holder": plan, "Floats": floats_plan}
    expected = number_outcome(plans, place, f"{mantissa}e{sign}99999")
    for exponent in EDGE_EXPONENTS:
        assert number_outcome(plans, place, f"{mantissa}e{sign}{exponent}") == expected, exponent


@pytest.mark.parametrize("fmt", FORMATS)
def test_nullable_fields(plan, fmt):
    assert value(plan, fmt, "full_name", None) is None
    assert error(plan, {"tags": None}, fmt) == "invalid type: {}, expected a sequence".format(
        "null" if fmt == "json" else "unit value")


class Cell(Struct):
    lead: int = 0
    i8: int = 0
    u8: int = 0
    i16: int = 0
    u32: int = 0
    i64: int = 0
    u64: int = 0
    f32: float = 0.0
    f64: float = 0.0
    flag: bool = False
    text: str = ""
    a_rather_long_field_name: int = 0


CELL_KINDS = [("lead", "int32"), ("i8", "int8"), ("u8", "uint8"), ("i16", "int16"), ("u32", "uint32"),
              ("i64", "int64"), ("u64", "uint64"), ("f32", "float32"), ("f64", "float64"), ("flag", "bool"),
              ("text", None), ("a_rather_long_field_name", "int32")]


@pytest.fixture(scope="module")
def cell_plan():
    fields = [string_field(n, k) if s is None else scalar_field(n, k, s) for k, (n, s) in enumerate(CELL_KINDS)]
    plan = NativePlan(plan_bytes([obj("Cell", fields)]))
    plan.bind_types({"Cell": Cell})
    return plan


def fields_before(key, filler, number):
    """(name, raw value) of every Cell field declared before `key`: `filler` by scalar kind, else
    `number`."""
    names = [n for n, _ in CELL_KINDS]
    return [(n, filler.get(s, number)) for n, s in CELL_KINDS[:names.index(key)]]


def cell_outcome(plan, entries):
    """The decoded field values, or the reader's text, of a MessagePack map of (key, raw value)."""
    doc = bytes([0x80 | len(entries)]) + b"".join(msgpack.packb(k) + raw for k, raw in entries)
    try:
        got = plan.decode_serde("Cell", doc, False, fallback_decoders={})
    except ValueError as e:
        return str(e).removeprefix("cannot decode MessagePack: ")
    return {name: getattr(got, name) for name, _ in CELL_KINDS}


# Every usual and unusual encoding of a field's value: read where it stands while the keys come in
# declared order, and by the general path when they do not, with one outcome either way.
@pytest.mark.parametrize("key, raw, expected", [
    ("i8", b"\x7f", 127), ("i8", b"\xe0", -32), ("i8", b"\xd0\x80", -128), ("i8", b"\xd0\x05", 5),
    ("i8", b"\xcc\x05", 5), ("i8", b"\xcc\x80", "invalid value: integer `128`, expected i8"),
    ("u8", b"\xcc\xff", 255), ("u8", b"\xcd\x01\x00", "invalid value: integer `256`, expected u8"),
    ("u8", b"\xff", "invalid value: integer `-1`, expected u8"),
    ("i16", b"\xd1\x80\x00", -32768), ("i16", b"\xd2\xff\xff\xff\xff", -1),
    ("i16", b"\xcd\x80\x00", "invalid value: integer `32768`, expected i16"),
    ("u32", b"\xce\xff\xff\xff\xff", 2**32 - 1),
    ("u32", b"\xcf\x00\x00\x00\x01\x00\x00\x00\x00", "invalid value: integer `4294967296`, expected u32"),
    ("i64", b"\xd3\x80" + bytes(7), -2**63), ("i64", b"\xcf\x7f" + b"\xff" * 7, 2**63 - 1),
    ("i64", b"\xcf\x80" + bytes(7), "invalid value: integer `9223372036854775808`, expected i64"),
    ("u64", b"\xcf" + b"\xff" * 8, 2**64 - 1), ("u64", b"\xd3" + b"\xff" * 8, "invalid value: integer `-1`, expected u64"),
    ("i8", b"\xcb" + struct.pack(">d", 1.0), "invalid type: floating point `1.0`, expected i8"),
    ("f32", b"\xca" + struct.pack(">f", 0.5), 0.5), ("f32", b"\xcb" + struct.pack(">d", 0.1), 0.1),
    ("f64", b"\xd0\xfb", -5.0), ("f64", b"\xc0", "invalid type: unit value, expected f64"),
    ("f64", b"\xa1x", 'invalid type: string "x", expected f64'),
    ("flag", b"\xc3", True), ("flag", b"\x01", "invalid type: integer `1`, expected a boolean"),
    ("text", b"\xa0", ""), ("text", b"\xd9\x03abc", "abc"), ("text", b"\xda\x00\x03abc", "abc"),
    ("text", b"\xa2\xc3\xa9", "é"), ("text", b"\xc4\x03abc", "abc"),
    ("text", b"\xa2\xff\xfe", "invalid value: byte array, expected a string"),
    ("text", b"\xc0", "invalid type: unit value, expected a string"),
    ("a_rather_long_field_name", b"\x07", 7),
])
def test_msgpack_values_in_and_out_of_order(cell_plan, key, raw, expected):
    before = fields_before(key, {"bool": b"\xc2", None: b"\xa0"}, b"\x00")
    pad = [("pad", msgpack.packb("x" * 20))]  # an unknown key after: no read nears the end
    in_order = cell_outcome(cell_plan, before + [(key, raw)] + pad)
    assert in_order == cell_outcome(cell_plan, [(key, raw)] + before + pad)
    assert same(in_order if isinstance(in_order, str) else in_order[key], expected)


def cell_entries(**changes):
    """Every Cell field in declared order with a plain value, some replaced or dropped (None)."""
    values = {"lead": b"\x01", "i8": b"\x02", "u8": b"\x03", "i16": b"\x04", "u32": b"\x05", "i64": b"\x06",
              "u64": b"\x07", "f32": b"\xca\x3f\x00\x00\x00", "f64": b"\xcb" + struct.pack(">d", 1.25),
              "flag": b"\xc3", "text": b"\xa3abc", "a_rather_long_field_name": b"\x08"}
    values.update(changes)
    return [(k, v) for k, v in values.items() if v is not None]


# The map loop leaves the in-place path and comes back to it as the keys go.
@pytest.mark.parametrize("entries, expected", [
    (cell_entries(), {}),
    (cell_entries()[:3] + [("zz", b"\x92\x01\xa1x")] + cell_entries()[3:], {}),
    (cell_entries()[:3] + [("u32", b"\x09")] + cell_entries()[3:], {"u32": 5}),
    (cell_entries() + [("u32", b"\x09")], {"u32": 9}),
    ([("i8", b"\x09")] + cell_entries(i8=None), {"i8": 9}),
    (cell_entries(u8=None), {"u8": 0}),
])
def test_msgpack_entries_in_and_out_of_order(cell_plan, entries, expected):
    plain = {"lead": 1, "i8": 2, "u8": 3, "i16": 4, "u32": 5, "i64": 6, "u64": 7, "f32": 0.5, "f64": 1.25,
             "flag": True, "text": "abc", "a_rather_long_field_name": 8}
    assert cell_outcome(cell_plan, entries) == plain | expected


def json_cell_outcome(plan, entries):
    """The decoded field values, or the reader's text with the column that it names made relative
    to the end of the entry `key` (the only one that can fail), of a JSON object of (key, raw)."""
    doc = b"{" + b" , ".join(b'"%s" :%s' % (k.encode(), raw) for k, raw in entries) + b"}"
    try:
        got = plan.decode_serde("Cell", doc, True, fallback_decoders={})
    except ValueError as e:
        message, _, where = str(e).removeprefix("cannot decode JSON: ").partition(" at line 1 column ")
        return message, int(where.split()[0])
    return {name: getattr(got, name) for name, _ in CELL_KINDS}


# JSON: values read from their text while the keys come in declared order, and by the engine's
# typed reads otherwise (a key out of order, or written with an escape), with one outcome; an
# error names the same place relative to the value.
@pytest.mark.parametrize("key, raw, expected", [
    ("i8", b"127", 127), ("i8", b"-128", -128), ("i8", b"128", "invalid value: integer `128`, expected i8"),
    ("i8", b"-0", "invalid type: floating point `-0.0`, expected i8"),
    ("i8", b"1.0", "invalid type: floating point `1.0`, expected i8"),
    ("i8", b"1e2", "invalid type: floating point `100.0`, expected i8"),
    ("i8", b"true", "invalid type: boolean `true`, expected i8"), ("i8", b'"5"', 'invalid type: string "5", expected i8'),
    ("u64", b"18446744073709551615", 2**64 - 1),
    ("u64", b"18446744073709551616", "invalid type: floating point `18446744073709552000.0`, expected u64"),
    ("u64", b"-1", "invalid value: integer `-1`, expected u64"), ("i64", b"-9223372036854775808", -2**63),
    ("f64", b"0.1", 0.1), ("f64", b"-0.0", -0.0), ("f64", b"5", 5.0), ("f64", b"1E+2", 100.0),
    ("f64", b"48.0009765625", 48.0009765625), ("f64", b"123456789012345678901", 1.2345678901234568e20),
    ("f64", b"null", "invalid type: null, expected f64"), ("f32", b"0.1", 0.1),
    ("flag", b"true", True), ("flag", b"false", False), ("flag", b"0", "invalid type: integer `0`, expected a boolean"),
    ("text", b'""', ""), ("text", b'"abc"', "abc"), ("text", b'"\\u00e9\\n"', "é\n"), ("text", '"é"'.encode(), "é"),
    ("text", b"5", "invalid type: integer `5`, expected a string"),
    ("text", b'"a\\qb"', "Invalid escape chars in JSON string"),
    ("a_rather_long_field_name", b"7", 7),
])
def test_json_values_in_and_out_of_order(cell_plan, key, raw, expected):
    before = fields_before(key, {"bool": b"false", None: b'""'}, b"0")
    pad = [("pad", b'"' + b"x" * 20 + b'"')]
    in_order = json_cell_outcome(cell_plan, before + [(key, raw)] + pad)
    escaped = "".join(f"\\u{ord(c):04x}" for c in key)
    general = json_cell_outcome(cell_plan, before + [(escaped, raw)] + pad)
    moved = json_cell_outcome(cell_plan, [(key, raw)] + before + pad)
    if isinstance(in_order, tuple):
        # The same text, at the same place after the value (the escaped key is longer).
        shift = len(escaped) - len(key)
        assert (in_order[0], in_order[1] + shift) == general and in_order[0] == moved[0] == expected
    else:
        assert in_order == general == moved and same(in_order[key], expected)
