"""decode_serde on MessagePack as other writers write it: an integer under any marker that holds
it reads as the same value as under its shortest marker, and a str whose bytes are not UTF-8 reads
exactly as a bin holding the same bytes (the old raw-string convention)."""

import struct
import uuid

import msgpack
import numpy as np
import pytest

from decoding import make_plan

# Every integer marker, with the struct format of its payload.
WIDE_MARKERS = [(0xcc, ">B"), (0xcd, ">H"), (0xce, ">I"), (0xcf, ">Q"),
                (0xd0, ">b"), (0xd1, ">h"), (0xd2, ">i"), (0xd3, ">q")]
VALUES = [0, 1, 5, -1, -32, -33, 127, 128, 255, 256, 300, -128, -129, 2**15 - 1, 2**16 - 1, -2**15,
          2**31 - 1, 2**32 - 1, -2**31, 2**53 + 1, 2**60 + 2**36 + 1, 2**63 - 1, 2**64 - 1, -2**63]


def forms(value):
    """The value under every marker that holds it."""
    out = [bytes([value & 0xff])] if -32 <= value <= 0x7f else []
    for code, fmt in WIDE_MARKERS:
        try:
            out.append(bytes([code]) + struct.pack(fmt, value))
        except struct.error:
            pass
    return out


def entry(key):
    return bytes([0xa0 | len(key)]) + key.encode()


# How a document places one integer: (field read back, bytes before the value, bytes after it).
PLACES = {
    "i8": ("i8", entry("i8"), b""), "u8": ("u8", entry("u8"), b""), "i64": ("i64", entry("i64"), b""),
    "u64": ("u64", entry("u64"), b""), "f32": ("f32", entry("f32"), b""), "f64": ("f64", entry("f64"), b""),
    "bool": ("flag", entry("flag"), b""), "enum": ("color", entry("color"), b""),
    "python int": ("big", entry("big"), b""),
    "float64 element": ("nums", entry("nums") + b"\x91", b""),
    "int16 element": ("shorts", entry("shorts") + b"\x93", b"\x00\x00"),
    "enum element": ("colors", entry("colors") + b"\x91", b""),
    "fallback": ("extra", entry("extra"), b""),
    "buffered before the tag": ("choice", entry("choice") + b"\x82" + entry("n"), entry("type") + entry("leaf")),
}


def outcome(plan, doc, strict, field):
    try:
        result = plan.decode_serde("Holder", doc, False, strict=strict, fallback_decoders={"extra": bytes})
    except ValueError as e:
        return str(e)
    value = getattr(result, field)
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.tolist()
    if field == "choice":
        return type(value).__name__, value.n
    return type(value).__name__, value


@pytest.fixture(scope="module")
def plan():
    return make_plan()


@pytest.mark.parametrize("strict", [True, False], ids=["strict", "lax"])
@pytest.mark.parametrize("place", PLACES)
def test_every_integer_marker_reads_as_the_shortest(plan, place, strict):
    field, before, after = PLACES[place]
    mismatches = []
    for value in VALUES:
        shortest = outcome(plan, b"\x81" + before + msgpack.packb(value) + after, strict, field)
        for form in forms(value):
            got = outcome(plan, b"\x81" + before + form + after, strict, field)
            if got != shortest:
                mismatches.append((value, form.hex(), got, shortest))
    assert not mismatches


@pytest.mark.parametrize("strict", [True, False], ids=["strict", "lax"])
@pytest.mark.parametrize("place", ["i8", "u8", "bool", "python int", "float64 element", "enum element"])
def test_signed_markers_keep_their_checks(plan, place, strict):
    # A non-negative value under a signed marker is checked as the value it is.
    field, before, after = PLACES[place]
    got = outcome(plan, b"\x81" + before + b"\xd1\x01\x2c" + after, strict, field)
    assert got == outcome(plan, b"\x81" + before + b"\xcd\x01\x2c" + after, strict, field)
    assert isinstance(got, str) or got[1] in (300, [300.0], 300.0)


RAW = b"\xff\xfe"


def as_str(data):
    """A str holding `data`, as a writer without the bin family writes it."""
    return (bytes([0xa0 | len(data)]) if len(data) < 32 else b"\xd9" + bytes([len(data)])) + data


@pytest.mark.parametrize("strict", [True, False], ids=["strict", "lax"])
@pytest.mark.parametrize("doc, field", [
    ([("uid", b"\x12\xff" * 8)], "uid"),
    ([("extra", RAW)], "extra"),
    ([("zz", RAW), ("i8", 3)], "i8"),
    ([("choice", [("n", RAW), ("type", "other")])], "choice"),
    ([("choice", [("flag", RAW), ("type", "other")])], "choice"),
    ([("full_name", RAW)], "name"),
    ([("tags", [RAW])], "tags"),
    ([("choice", [("type", RAW)])], "choice"),
    ([("shorts", RAW + b"\x01")], "shorts"),
    ([("nums", RAW)], "nums"),
    ([("leaves", RAW)], "leaves"),
    ([("colors", [RAW])], "colors"),
    ([("nums", [RAW])], "nums"),
    ([("i8", RAW)], "i8"),
    ([("f64", RAW)], "f64"),
    ([("big", RAW)], "big"),
    ([("amount", RAW)], "amount"),
    ([("point", RAW)], "point"),
    ([(RAW, 1)], "i8"),
])
def test_str_that_is_not_text_is_a_byte_string(plan, doc, field, strict):
    def write(value, raw_form):
        if isinstance(value, list):
            if value and isinstance(value[0], tuple):
                return bytes([0x80 | len(value)]) + b"".join(write(k, raw_form) + write(v, raw_form) for k, v in value)
            return bytes([0x90 | len(value)]) + b"".join(write(v, raw_form) for v in value)
        if isinstance(value, bytes):
            return as_str(value) if raw_form else msgpack.packb(value, use_bin_type=True)
        return msgpack.packb(value)
    as_text = outcome(plan, write(doc, True), strict, field)
    as_bin = outcome(plan, write(doc, False), strict, field)
    assert as_text == as_bin


def test_raw_strings_from_an_old_writer(plan):
    uid = uuid.UUID(bytes=b"\xfe" * 16)
    doc = msgpack.packb({"uid": uid.bytes, "extra": b"\xff\xfe", "i8": 7}, use_bin_type=False)
    result = plan.decode_serde("Holder", doc, False, fallback_decoders={"extra": bytes})
    assert (result.uid, result.extra, result.i8) == (uid, b"\xc4\x02\xff\xfe", 7)


# One value under every marker there is, each followed by a fixint (which a skip steps over in a
# run), in one array: what an unknown key or a value kept before a union's tag must be stepped over.
EVERY_MARKER = [
    b"\x00", b"\x7f", b"\xe0", b"\xff", b"\xc0", b"\xc2", b"\xc3", b"\xa1x", b"\x91\x01", b"\x81\xa1k\x01",
    b"\xc4\x01x", b"\xc5\x00\x01x", b"\xc6\x00\x00\x00\x01x", b"\xc7\x01\x05x", b"\xc8\x00\x01\x05x",
    b"\xc9\x00\x00\x00\x01\x05x", b"\xca" + bytes(4), b"\xcb" + bytes(8), b"\xcc\x01", b"\xcd" + bytes(2),
    b"\xce" + bytes(4), b"\xcf" + bytes(8), b"\xd0\x01", b"\xd1" + bytes(2), b"\xd2" + bytes(4), b"\xd3" + bytes(8),
    b"\xd4\x05x", b"\xd5\x05" + bytes(2), b"\xd6\x05" + bytes(4), b"\xd7\x05" + bytes(8), b"\xd8\x05" + bytes(16),
    b"\xd9\x01x", b"\xda\x00\x01x", b"\xdb\x00\x00\x00\x01x", b"\xdc\x00\x01\x01", b"\xdd\x00\x00\x00\x01\x01",
    b"\xde\x00\x01\xa1k\x01", b"\xdf\x00\x00\x00\x01\xa1k\x01",
]
EVERY_MARKER_ARRAY = b"\xdc" + struct.pack(">H", 2 * len(EVERY_MARKER)) + b"".join(v + b"\x01" for v in EVERY_MARKER)
# The same with runs of up to 27 fixints before each value, so that the markers stand at every place
# of an eight-byte word.
RUNS = [b"\x01\x7f\xe0\xff"[: k % 4] * (k // 4 + 1) for k in range(len(EVERY_MARKER))]
EVERY_MARKER_RUNS = (b"\xdc" + struct.pack(">H", len(EVERY_MARKER) + sum(map(len, RUNS)))
                     + b"".join(r + v for r, v in zip(RUNS, EVERY_MARKER)))


# Runs of fixints that end with their array, a fixint of the parent right after.
RUNS_TO_THE_END = msgpack.packb([[[0] * n, 0] for n in range(1, 20)])


@pytest.mark.parametrize("array", [EVERY_MARKER_ARRAY, EVERY_MARKER_RUNS, RUNS_TO_THE_END],
                         ids=["between", "runs", "ends"])
@pytest.mark.parametrize("doc, field, expected", [
    (b"\x82" + entry("zz") + b"%s" + entry("i8") + b"\x05", "i8", ("int", 5)),
    (b"\x81" + entry("choice") + b"\x83" + entry("zz") + b"%s" + entry("n") + b"\x07"
     + entry("type") + entry("leaf"), "choice", ("Leaf", 7)),
], ids=["unknown key", "kept before the tag"])
def test_values_under_every_marker_are_stepped_over(plan, array, doc, field, expected):
    assert outcome(plan, doc.replace(b"%s", array), True, field) == expected
