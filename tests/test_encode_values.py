"""encode_serde field values: every kind on both formats, byte for byte."""

import decimal
import uuid

import numpy as np
import pytest

from encoding import f, json_value, msgpack_value, one_field

NAN = float("nan")
INF = float("inf")
U = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")


@pytest.mark.parametrize("fld, value, js, mp", [
    (f("scalar", "bool"), True, b"true", b"\xc3"),
    (f("scalar", "bool"), np.bool_(False), b"false", b"\xc2"),
    (f("scalar", "int32"), 5, b"5", b"\x05"),
    (f("scalar", "int32"), -33, b"-33", b"\xd0\xdf"),
    (f("scalar", "int32"), -32, b"-32", b"\xe0"),
    (f("scalar", "int8"), 1000, b"1000", b"\xcd\x03\xe8"),  # no range check on output
    (f("scalar", "int64"), -2**63, b"-9223372036854775808", b"\xd3\x80" + bytes(7)),
    (f("scalar", "int16"), -129, b"-129", b"\xd1\xff\x7f"),
    (f("scalar", "int64"), -2**31 - 1, b"-2147483649", b"\xd3\xff\xff\xff\xff\x7f\xff\xff\xff"),
    (f("scalar", "uint64"), 2**64 - 1, b"18446744073709551615", b"\xcf" + b"\xff" * 8),
    (f("scalar", "uint16"), 128, b"128", b"\xcc\x80"),
    (f("scalar", "uint32"), 65536, b"65536", b"\xce\x00\x01\x00\x00"),
    (f("scalar", "int32"), True, b"1", b"\x01"),
    (f("scalar", "float32"), 0.1, b"0.1", b"\xcb\x3f\xb9\x99\x99\x99\x99\x99\x9a"),
    (f("scalar", "float64"), NAN, b"null", b"\xcb\x7f\xf8" + bytes(6)),
    (f("scalar", "float64"), -INF, b"null", b"\xcb\xff\xf0" + bytes(6)),
    (f("scalar", "float64"), 3, b"3.0", b"\xcb\x40\x08" + bytes(6)),
    (f("scalar", "int64", serde_python_int=True), 2**64, b"18446744073709551616", OverflowError),
    (f("scalar", "int64", serde_python_int=True), -2**70, b"-1180591620717411303424", OverflowError),
    (f("scalar", "int64", serde_python_int=True), -1, b"-1", b"\xff"),
    (f("scalar", "int64", serde_python_int=True), 2**63, b"9223372036854775808", b"\xcf\x80" + bytes(7)),
    (f("string"), 'q"\\\b\f\n\r\t\x00\x1f\x7f/é€', b'"q\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7f/\xc3\xa9\xe2\x82\xac"',
     b"\xb1" + 'q"\\\b\f\n\r\t\x00\x1f\x7f/é€'.encode()),
    (f("string"), "x" * 32, b'"' + b"x" * 32 + b'"', b"\xd9\x20" + b"x" * 32),
    (f("string"), "x" * 256, b'"' + b"x" * 256 + b'"', b"\xda\x01\x00" + b"x" * 256),
    (f("string"), "", b'""', b"\xa0"),
    (f("vector_string"), ["a", "bc"], b'["a","bc"]', b"\x92\xa1a\xa2bc"),
    (f("vector_scalar", "int32", enum_type="E"), [1, -1], b"[1,-1]", b"\x92\x01\xff"),
    (f("uuid"), U, b'"12345678-9abc-def0-1234-56789abcdef0"', b"\xd9\x2412345678-9abc-def0-1234-56789abcdef0"),
    (f("decimal"), decimal.Decimal("1.10"), b'"1.10"', b"\xa41.10"),
] + [(f(kind, scalar), None, b"null", b"\xc0") for kind, scalar in [
    ("scalar", "int32"), ("string", None), ("table", None), ("vector_scalar", "float64"), ("vector_table", None),
    ("uuid", None), ("decimal", None), ("fallback", None), ("union", None)]])
def test_value_forms(fld, value, js, mp):
    assert json_value(fld, value) == js
    if isinstance(mp, type):
        with pytest.raises(mp):
            msgpack_value(fld, value)
    else:
        assert msgpack_value(fld, value) == mp


@pytest.mark.parametrize("value, text", [
    (100.0, "100.0"), (0.1, "0.1"), (1e16, "1e+16"), (1e15, "1000000000000000.0"), (1.5e-7, "1.5e-7"),
    (1e-5, "0.00001"), (1.5e-5, "0.000015"), (1.5e-6, "1.5e-6"), (1e-6, "1e-6"), (0.0, "0.0"), (-0.0, "-0.0"),
    (123456.789, "123456.789"), (-2.5, "-2.5"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (5e-324, "5e-324"), (1.2345e20, "1.2345e+20"), (9007199254740993.0, "9007199254740992.0"),
])
def test_double_forms(value, text):
    assert json_value(f("scalar", "float64"), value) == text.encode()


@pytest.mark.parametrize("value, text", [
    (0.1, "0.1"), (1e12, "1000000000000.0"), (1e13, "1e+13"), (1e-6, "0.000001"), (1e-7, "1e-7"),
    (16777216.0, "16777216.0"), (3.4028234663852886e38, "3.4028235e+38"), (-1.5, "-1.5"), (NAN, "null"),
])
def test_float32_array_forms(value, text):
    fld = f("vector_scalar", "float32")
    assert json_value(fld, np.array([value], dtype=np.float32)) == f"[{text}]".encode()


def arr(values, dtype):
    return np.array(values, dtype=dtype)


@pytest.mark.parametrize("scalar, array, mp", [
    ("uint8", arr([], np.uint8), b"\x90"),
    ("float64", arr([], np.float64), b"\x90"),
    ("uint8", arr([0, 200], np.uint8), b"\x92\x00\xcc\xc8"),
    ("int8", arr([-5, 100, -100], np.int8), b"\x93\xfb\x64\xd0\x9c"),
    ("int64", arr([-1, 2**40], np.int64), b"\x92\xff\xcf\x00\x00\x01\x00\x00\x00\x00\x00"),
    ("uint64", arr([2**64 - 1], np.uint64), b"\x91\xcf" + b"\xff" * 8),
    ("int16", arr([-32768, 300], np.int16), b"\x92\xd1\x80\x00\xcd\x01\x2c"),
    ("uint32", arr([70000], np.uint32), b"\x91\xce\x00\x01\x11\x70"),
    ("int32", arr([-40000], np.int32), b"\x91\xd2\xff\xff\x63\xc0"),
    ("float32", arr([1.5], np.float32), b"\x91\xca\x3f\xc0\x00\x00"),
    ("float64", arr([1.5], np.float64), b"\x91\xcb\x3f\xf8" + bytes(6)),
    ("bool", arr([True, False], np.bool_), b"\x92\xc3\xc2"),
    ("int32", arr(range(16), np.int32), b"\xdc\x00\x10" + bytes(range(16))),
    ("uint8", arr([1] * 65536, np.uint8), b"\xdd\x00\x01\x00\x00" + b"\x01" * 65536),
    ("int32", arr([1, 2, 3, 4], np.int32)[::-2], b"\x92\x04\x02"),
])
def test_numeric_vectors_msgpack(scalar, array, mp):
    assert msgpack_value(f("vector_scalar", scalar), array) == mp
    assert msgpack_value(f("array_scalar", scalar), array) == mp


@pytest.mark.parametrize("scalar, array, js", [
    ("int32", arr([1, 2, 3, 4], np.int32)[::-1], b"[4,3,2,1]"),
    ("bool", arr([True, False], np.bool_), b"[true,false]"),
    ("uint64", arr([2**64 - 1, 0], np.uint64), b"[18446744073709551615,0]"),
    ("int8", arr([-128], np.int8), b"[-128]"),
    ("float64", arr([0.1, NAN, INF, 1e300], np.float64), b"[0.1,null,null,1e+300]"),
    ("float64", [], b"[]"),
    ("float64", "", b"[]"),
])
def test_numeric_vectors_json(scalar, array, js):
    assert json_value(f("vector_scalar", scalar), array) == js


@pytest.mark.parametrize("scalar, value", [
    ("float64", [1.0]), ("int32", arr([1], np.int64)), ("int32", arr([[1]], np.int32)),
    ("int32", arr([1], ">i4")), ("float64", 5),
])
def test_numeric_vector_refusals(scalar, value):
    message = "numeric vector fields must be one-dimensional with the declared dtype"
    if scalar != "float64" or value != 5:
        with pytest.raises(TypeError, match=f"^cannot encode JSON: {message}$"):
            json_value(f("vector_scalar", scalar), value)
    with pytest.raises(TypeError, match=f"^{message}$"):
        msgpack_value(f("vector_scalar", scalar), value)
    with pytest.raises(TypeError, match=f"^{message}$"):
        msgpack_value(f("vector_scalar", scalar), [])


@pytest.mark.parametrize("options, js, mp", [
    ({}, b'"12345678-9abc-def0-1234-56789abcdef0"', None),
    ({"uuid_format": "hex"}, b'"123456789abcdef0123456789abcdef0"', b"\xd9\x20123456789abcdef0123456789abcdef0"),
    ({"uuid_format": "bytes"}, None, b"\xc4\x10" + U.bytes),
])
def test_uuid_forms(options, js, mp):
    if js is not None:
        assert json_value(f("uuid"), U, **options) == js
    if mp is not None:
        assert msgpack_value(f("uuid"), U, **options) == mp


@pytest.mark.parametrize("value, js, mp", [
    (decimal.Decimal("1.10"), b"1.10", b"\xcb" + np.float64(1.1).byteswap().tobytes()),
    (decimal.Decimal("-1E+3"), b"-1E+3", b"\xcb" + np.float64(-1000).byteswap().tobytes()),
    (decimal.Decimal("NaN"), TypeError, b"\xcb\x7f\xf8" + bytes(6)),
])
def test_decimal_as_number(value, js, mp):
    if isinstance(js, type):
        with pytest.raises(js, match="^cannot encode JSON: Invalid JSON value at line 1 column 1 near `NaN`$"):
            json_value(f("decimal"), value, decimal_format="number")
    else:
        assert json_value(f("decimal"), value, decimal_format="number") == js
    assert msgpack_value(f("decimal"), value, decimal_format="number") == mp


@pytest.mark.parametrize("returned, js, mp", [
    (b" [1, 2] ", b"[1, 2]", b" [1, 2] "),
    (b'\n{"a" : [true, null, -0.5e3, "\\u00e9\\ud83d\\ude00"]}\t', b'{"a" : [true, null, -0.5e3, "\\u00e9\\ud83d\\ude00"]}', None),
    (b"\x93\x01\x02\x03", "Invalid JSON value at line 1 column 1 near `....`", b"\x93\x01\x02\x03"),
    (b"", "EOF while parsing at line 1 column 0", b""),
    (b"[1,]", "JSON has a comma after the last value in an array or object at line 1 column 4 near `[1,]`", None),
    (b"1 2", "JSON has non-whitespace trailing characters after the value at line 1 column 3 near `1 2`", None),
    (b'{"a" 1}', "Expected this character to be a ':' while parsing at line 1 column 6 near `{\"a\" 1}`", None),
    (b"nul", "EOF while parsing at line 1 column 3 near `nul`", None),
    (b"-", "EOF while parsing at line 1 column 1 near `-`", None),
    (b"1.e5", "Invalid number at line 1 column 3 near `1.e5`", None),
    (b"[01]", "Invalid number at line 1 column 3 near `[01]`", None),
    (b'"\xff"', "Invalid UTF-8 characters in json at line 1 column 2 near `\".\"`", None),
    (b'"\x01"', "Control character found while parsing a string at line 1 column 2 near `\".\"`", None),
    (b'"\\ud800"', "Invalid surrogate in JSON string escape at line 1 column 8 near `\"\\ud800\"`", None),
    (b"[" * 254 + b"]" * 254, b"[" * 254 + b"]" * 254, None),
    (b"[" * 255 + b"]" * 255, "Encountered nesting of JSON maps and arrays more than 128 layers deep at line 1 column 255 near `" + "[" * 21 + "]" * 11 + "`", None),
    (b"\n\n  trux", "Invalid literal (`true`, `false`, or `null`) while parsing at line 3 column 6 near `  trux`", None),
    (bytearray(b"1"), TypeError("'bytearray' object is not an instance of 'bytes'"), TypeError),
])
def test_fallback_bytes(returned, js, mp):
    fld = f("fallback")
    seen = []

    def encoder(value):
        seen.append(value)
        return returned

    if isinstance(js, bytes):
        assert json_value(fld, 7, fallback_encoder=encoder) == js
    else:
        text = f"TypeError: {js.args[0]}" if isinstance(js, Exception) else js
        with pytest.raises(TypeError) as caught:
            json_value(fld, 7, fallback_encoder=encoder)
        assert str(caught.value) == f"cannot encode JSON: {text}"
    if isinstance(mp, type):
        with pytest.raises(mp, match="^'bytearray' object is not an instance of 'bytes'$"):
            msgpack_value(fld, 7, fallback_encoder=encoder)
    elif mp is not None:
        assert msgpack_value(fld, 7, fallback_encoder=encoder) == mp
    assert seen and all(v == 7 for v in seen)


@pytest.mark.parametrize("fld, value, error, text", [
    (f("string"), 3, TypeError, "'int' object is not an instance of 'str'"),
    (f("scalar", "bool"), 1, TypeError, "'int' object is not an instance of 'bool'"),
    (f("scalar", "uint8"), -1, OverflowError, "can't convert negative int to unsigned"),
    (f("scalar", "int64"), 2**63, OverflowError, "int too big to convert"),
    (f("scalar", "float64"), "x", TypeError, "must be real number, not str"),
    (f("vector_table"), (), TypeError, "'tuple' object is not an instance of 'list'"),
    (f("vector_string"), ["a", 1], TypeError, "'int' object is not an instance of 'str'"),
    (f("vector_scalar", "int32", enum_type="E"), [None], TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (f("table"), 3, TypeError, "int does not have exactly one generated FlatBuffer model base"),
    (f("uuid"), 3, AttributeError, "'int' object has no attribute 'hex'"),
])
def test_value_failures(fld, value, error, text):
    with pytest.raises(TypeError, match="^cannot encode JSON: ") as caught:
        json_value(fld, value, uuid_format="hex")
    assert str(caught.value) == f"cannot encode JSON: {error.__qualname__}: {text}"
    with pytest.raises(error) as caught:
        msgpack_value(fld, value, uuid_format="hex")
    assert str(caught.value) == text


@pytest.mark.parametrize("fld, error, text", [
    (f("scalar", None), RuntimeError, "scalar field has no scalar type"),
    (f("vector_scalar", None), RuntimeError, "numeric vector field has no scalar type"),
])
def test_own_messages(fld, error, text):
    plan, cls = one_field(fld)
    model = cls(v=1)
    with pytest.raises(TypeError, match=f"^cannot encode JSON: {text}$"):
        plan.encode_serde("M", model, True, fallback_encoder=None)
    with pytest.raises(error, match=f"^{text}$"):
        plan.encode_serde("M", model, False, fallback_encoder=None)
