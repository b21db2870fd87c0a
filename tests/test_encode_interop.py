"""encode_serde documents read back by Python's json and the msgpack package: a schema with every
field kind the native writer serves, floats and big integers exactly."""

import decimal
import enum
import json
import random
import struct
import uuid

import msgpack
import numpy as np
import pytest

from encoding import bound, f
from planwriter import field, obj, scalar_field, string_field

SCALARS = ("bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64")
DTYPES = dict(zip(SCALARS, (np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
                            np.uint64, np.float32, np.float64)))
SCALAR_VALUES = dict(zip(SCALARS, (True, -128, 255, -32768, 65535, -2**31, 2**32 - 1, -2**63, 2**64 - 1, 0.25, -1e-300)))


class Color(enum.IntEnum):
    RED = 1
    BLUE = -2


def schema():
    arms = [{"tag": 1, "target": "Cat"}, {"tag": 2, "target": "Dog"}]
    fields = [scalar_field(f"s_{k}", i, k, 0) for i, k in enumerate(SCALARS)]
    fields += [f("vector_scalar", k, name=f"v_{k}", slot=20 + i) for i, k in enumerate(SCALARS)]
    fields += [
        field("big", 40, kind="scalar", scalar="int64", serde_python_int=True),
        string_field("text", 41),
        field("leaf", 42, kind="table", target="Cat"),
        field("point", 43, kind="struct", target="Vec"),
        field("inner", 44, kind="nested", target="Cat"),
        field("pet", 45, kind="union", arms=arms),
        field("leaves", 46, kind="vector_table", target="Cat"),
        field("points", 47, kind="vector_struct", target="Vec"),
        field("pets", 48, kind="union_vector", arms=arms),
        field("corners", 49, kind="array_struct", target="Vec", fixed_length=2),
        field("fixed", 50, kind="array_scalar", scalar="float64", fixed_length=3),
        field("colors", 51, kind="vector_scalar", scalar="int16", enum_type="Color"),
        field("names", 52, kind="vector_string"),
        field("id", 53, kind="uuid"),
        field("amount", 54, kind="decimal"),
        field("extra", 55, kind="fallback"),
    ]
    return bound(
        obj("Vec", [scalar_field("x", 0, "float32", offset=0), scalar_field("y", 1, "float32", offset=4)],
            is_struct=True, byte_size=8, min_alignment=4),
        obj("Cat", [string_field("name", 0)], serde_tag_field="type", serde_tag="cat"),
        obj("Dog", [scalar_field("age", 0, "uint8")], serde_tag_field="type", serde_tag="dog"),
        obj("All", fields),
    )


def test_every_kind_reads_back():
    plan, c = schema()
    vec, cat, dog = c["Vec"], c["Cat"], c["Dog"]
    values = {f"s_{k}": v for k, v in SCALAR_VALUES.items()}
    values |= {f"v_{k}": np.array([SCALAR_VALUES[k], 0], dtype=DTYPES[k]) for k in SCALARS}
    values |= dict(
        big=-(2**100) - 7, text="naïve \"quoted\"\n\u2028\U0001f600", leaf=cat(name="tom"), point=vec(x=1.5, y=-2.0),
        inner=cat(name="in"), pet=dog(age=3), leaves=[cat(name="a"), None], points=[vec(x=0.5, y=0.0)],
        pets=[cat(name="c"), dog(age=200)], corners=[vec(x=1.0, y=2.0), vec(x=3.0, y=4.0)],
        fixed=np.array([1.0, 2.0, 3.0])[::-1], colors=[Color.RED, Color.BLUE], names=["x", ""],
        id=uuid.UUID(int=2**128 - 1), amount=decimal.Decimal("-12.3400"), extra={"k": [1, None]},
    )
    model = c["All"](**values)
    expected = {f"s_{k}": v for k, v in SCALAR_VALUES.items()}
    expected |= {f"v_{k}": [SCALAR_VALUES[k], 0] for k in SCALARS}
    expected["v_bool"] = [True, False]
    expected |= dict(
        big=-(2**100) - 7, text=values["text"], leaf={"type": "cat", "name": "tom"}, point={"x": 1.5, "y": -2.0},
        inner={"type": "cat", "name": "in"}, pet={"type": "dog", "age": 3},
        leaves=[{"type": "cat", "name": "a"}, None], points=[{"x": 0.5, "y": 0.0}],
        pets=[{"type": "cat", "name": "c"}, {"type": "dog", "age": 200}],
        corners=[{"x": 1.0, "y": 2.0}, {"x": 3.0, "y": 4.0}], fixed=[3.0, 2.0, 1.0], colors=[1, -2],
        names=["x", ""], id=str(uuid.UUID(int=2**128 - 1)), amount="-12.3400", extra={"k": [1, None]},
    )
    js = plan.encode_serde("All", model, True, fallback_encoder=lambda v: json.dumps(v).encode())
    assert json.loads(js) == expected
    assert list(json.loads(js)) == list(expected)

    values["big"] = 2**64 - 1
    expected["big"] = 2**64 - 1
    mp = plan.encode_serde("All", c["All"](**values), False, fallback_encoder=msgpack.packb)
    assert msgpack.unpackb(mp) == expected
    sorted_doc = plan.encode_serde("All", model, True, fallback_encoder=lambda v: b"0", order="sorted")
    assert list(json.loads(sorted_doc)) == sorted(expected)


def shortest(text, lo, hi):
    """Reference number form from shortest digits in any notation."""
    sign, digits, exponent = decimal.Decimal(text).normalize().as_tuple()
    digits = "".join(map(str, digits))
    if digits == "0":
        return "-0.0" if sign else "0.0"
    e = len(digits) - 1 + exponent
    head = "-" if sign else ""
    if e < lo or e > hi:
        return f"{head}{digits[0]}{'.' + digits[1:] if len(digits) > 1 else ''}e{'-' if e < 0 else '+'}{abs(e)}"
    if e < 0:
        return f"{head}0.{'0' * (-e - 1)}{digits}"
    if len(digits) <= e + 1:
        return f"{head}{digits}{'0' * (e + 1 - len(digits))}.0"
    return f"{head}{digits[:e + 1]}.{digits[e + 1:]}"


def random_finite(rng, fmt, count):
    out = []
    while len(out) < count:
        bits = rng.getrandbits(struct.calcsize(fmt) * 8)
        (x,) = struct.unpack(fmt, bits.to_bytes(struct.calcsize(fmt), "little"))
        if x == x and abs(x) != float("inf"):
            out.append(x)
    # plus short decimals, thirds, and values around the notation boundaries
    out += [rng.randrange(-10**rng.randrange(1, 17), 10**16) / 10 ** rng.randrange(0, 12) for _ in range(count)]
    out += [rng.randrange(1, 10**9) / 3 for _ in range(count // 4)] + [2.0**49 - 1, 2.0**49, 5e6, 4999999.99999999]
    return out + [10.0 ** k * m for k in range(-9, 18) for m in (1, -1.5, 9.999)]


@pytest.mark.parametrize("scalar, fmt, lo, hi", [("float64", "<d", -5, 15), ("float32", "<f", -6, 12)])
def test_float_arrays_exact_and_shortest(scalar, fmt, lo, hi):
    rng = random.Random(scalar)
    plan, c = bound(obj("M", [f("vector_scalar", scalar)]))
    array = np.array(random_finite(rng, fmt, 3000), dtype=DTYPES[scalar])
    js = plan.encode_serde("M", c["M"](v=array), True, fallback_encoder=None)
    texts = js[len(b'{"v":['):-2].decode().split(",")
    parsed = np.array(json.loads(js)["v"], dtype=DTYPES[scalar])
    assert np.array_equal(parsed, array)
    ref = [shortest(repr(float(x)) if scalar == "float64" else np.format_float_scientific(x, unique=True, trim="-"),
                    lo, hi) for x in array]
    assert texts == ref
    mp = plan.encode_serde("M", c["M"](v=array), False, fallback_encoder=None)
    assert np.array_equal(np.array(msgpack.unpackb(mp)["v"], dtype=DTYPES[scalar]), array)


def test_scalars_and_big_ints_exact():
    rng = random.Random(7)
    plan, c = bound(obj("M", [scalar_field("x", 0, "float64"),
                              field("n", 1, kind="scalar", scalar="int64", serde_python_int=True)]))
    for x in random_finite(rng, "<d", 500):
        n = rng.getrandbits(rng.randrange(1, 200)) * rng.choice((1, -1))
        model = c["M"](x=x, n=n)
        js = plan.encode_serde("M", model, True, fallback_encoder=None)
        assert json.loads(js) == {"x": x, "n": n}
        assert js == b'{"x":%s,"n":%d}' % (shortest(repr(x), -5, 15).encode(), n)
        if -2**63 <= n < 2**64:
            assert msgpack.unpackb(plan.encode_serde("M", model, False, fallback_encoder=None)) == {"x": x, "n": n}


def test_strings_match_python_json():
    rng = random.Random(3)
    alphabet = 'ab"\\\x00\x1f\x7f\n\t\u00e9\u2028\U0001f600/ '
    plan, c = bound(obj("M", [string_field("s", 0)]))
    for _ in range(300):
        s = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))
        doc = plan.encode_serde("M", c["M"](s=s), True, fallback_encoder=None)
        assert doc == b'{"s":' + json.dumps(s, ensure_ascii=False).encode() + b"}"
