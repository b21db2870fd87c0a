"""A plan whose root model holds every field kind decode_serde reads, its model classes, and
helpers that write a document in either format (with Python's json or the msgpack package) and
decode it."""

import enum
import json

import msgpack
import pytest

from planwriter import arm, field, obj, plan_bytes, scalar_field, serde_field, string_field
from quorvel._native import NativePlan
from trevalin import Struct

FORMATS = ("json", "msgpack")
PREFIX = {"json": "cannot decode JSON: ", "msgpack": "cannot decode MessagePack: "}


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2


class Point(Struct):
    x: float = 0.0
    y: float = 0.0


class Leaf(Struct):
    name: str = None
    n: int = 0


class Other(Struct):
    flag: bool = False
    n: str = None


class Holder(Struct):
    i8: int = 0
    u8: int = 0
    i64: int = 0
    u64: int = 0
    f32: float = 0.0
    f64: float = 0.0
    flag: bool = False
    color: object = None
    big: int = 0
    name: str = None
    tags: list = None
    point: Point = None
    leaf: Leaf = None
    leaves: list = None
    pair: list = None
    nums: object = None
    shorts: object = None
    colors: list = None
    choice: object = None
    choices: list = None
    uid: object = None
    amount: object = None
    extra: object = None


OBJECTS = [
    obj("Point", [scalar_field("x", 0, "float64", 0.0), scalar_field("y", 1, "float64", 0.0)],
        is_struct=True, byte_size=16, min_alignment=8),
    obj("Leaf", [string_field("name", 0, serde_nullable=True), scalar_field("n", 1, "int16")], serde_tag_field="type", serde_tag="leaf"),
    obj("Other", [scalar_field("flag", 0, "bool", False), string_field("n", 1, serde_nullable=True)],
        serde_tag_field="type", serde_tag="other"),
    obj("Holder", [
        scalar_field("i8", 0, "int8"), scalar_field("u8", 1, "uint8"), scalar_field("i64", 2, "int64"),
        scalar_field("u64", 3, "uint64"), scalar_field("f32", 4, "float32", 0.0),
        scalar_field("f64", 5, "float64", 0.0), scalar_field("flag", 6, "bool", False),
        scalar_field("color", 7, "uint8", 1, enum_type="Color"),
        scalar_field("big", 8, "int64", serde_python_int=True),
        string_field("name", 9, serde_nullable=True),
        field("tags", 10, kind="vector_string"),
        field("point", 11, kind="struct", target="Point"),
        field("leaf", 12, kind="table", target="Leaf", serde_nullable=True),
        field("leaves", 13, kind="vector_table", target="Leaf", serde_element_nullable=True),
        field("pair", 14, kind="array_struct", target="Point", fixed_length=2),
        field("nums", 15, kind="vector_scalar", scalar="float64"),
        field("shorts", 16, kind="array_scalar", scalar="int16", fixed_length=3),
        field("colors", 17, kind="vector_scalar", scalar="uint8", enum_type="Color"),
        field("choice", 18, kind="union", arms=[arm(1, "Leaf"), arm(2, "Other")]),
        field("choices", 19, kind="union_vector", arms=[arm(1, "Leaf"), arm(2, "Other")]),
        field("uid", 20, kind="uuid"),
        field("amount", 21, kind="decimal"),
        field("extra", 22, kind="fallback", fallback_id="extra"),
    ], serde_fields=None),
]
# "name" travels under another key than its attribute.
OBJECTS[3]["serde_fields"] = [serde_field(f["name"], "full_name" if f["name"] == "name" else None)
                              for f in OBJECTS[3]["fields"]]
TYPES = {"Point": Point, "Leaf": Leaf, "Other": Other, "Holder": Holder, "Color": Color}


def make_plan(objects=OBJECTS, types=TYPES):
    plan = NativePlan(plan_bytes(objects))
    if types is not None:
        plan.bind_types(dict(types))
    return plan


class Pairs(list):
    """A map written with exactly these (key, value) entries in order; keys may repeat."""


def encode(doc, fmt):
    """The document in the format; `bytes` are taken as a finished document."""
    if isinstance(doc, (bytes, bytearray)):
        return bytes(doc)
    return _write(doc, fmt)


def _write(doc, fmt):
    encode = _write
    if fmt == "json":
        if isinstance(doc, Pairs):
            return b"{" + b",".join(json.dumps(k).encode() + b":" + encode(v, fmt) for k, v in doc) + b"}"
        if isinstance(doc, dict):
            return encode(Pairs(doc.items()), fmt)
        if isinstance(doc, list):
            return b"[" + b",".join(encode(v, fmt) for v in doc) + b"]"
        return json.dumps(doc).encode()
    if isinstance(doc, Pairs):
        return _map_header(len(doc)) + b"".join(
            encode(k, fmt) + encode(v, fmt) for k, v in doc)
    if isinstance(doc, dict):
        return encode(Pairs(doc.items()), fmt)
    if isinstance(doc, list):
        return _array_header(len(doc)) + b"".join(encode(v, fmt) for v in doc)
    return msgpack.packb(doc)


def _map_header(n):
    return bytes([0x80 | n]) if n < 16 else b"\xde" + n.to_bytes(2, "big")


def _array_header(n):
    return bytes([0x90 | n]) if n < 16 else b"\xdc" + n.to_bytes(2, "big")


def decode(plan, doc, fmt, root="Holder", fallback_decoders=None, **kwargs):
    return plan.decode_serde(root, encode(doc, fmt), fmt == "json", fallback_decoders=fallback_decoders or {}, **kwargs)


def error(plan, doc, fmt, root="Holder", **kwargs):
    """The reader's text of a failing decode: the format's prefix checked and removed, and the
    JSON position suffix cut off."""
    with pytest.raises(ValueError) as info:
        decode(plan, doc, fmt, root, **kwargs)
    message = str(info.value)
    assert message.startswith(PREFIX[fmt]), message
    return message[len(PREFIX[fmt]):].split(" at line ")[0]
