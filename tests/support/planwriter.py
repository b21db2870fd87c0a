"""Builds plan documents for tests.

A plan is described with plain dicts (one per record, every field present) made by the
helpers below, and written as MessagePack by the ``msgpack`` library in either record form:

* ``"array"``: each record is an array of its fields in wire order; an object always has its
  8 elements, a field at least its first 8, later fields only up to the last non-default one;
* ``"map"``: each record is a map keyed by field name; fields that may be left out are written
  only when they differ from their default.

Typical use::

    from planwriter import obj, scalar_field, field, plan_bytes

    data = plan_bytes([
        obj("Point", [scalar_field("x", 0, "int32"), scalar_field("y", 1, "int32")]),
        obj("Shape", [field("origin", 0, kind="table", target="Point")]),
    ])

For documents that a well-behaved writer would never produce, ``pack`` accepts ``Raw`` values
(exact bytes spliced into the output) anywhere in the value, and the helpers ``int8``,
``float32``, ``raw_str``, ``ordered_map`` and friends build the common ones.
"""

import re
import struct

import msgpack

PLAN_VERSION = 2

FIELD_KINDS = (
    "scalar", "string", "table", "struct", "vector_byte", "vector_scalar", "vector_string",
    "vector_table", "vector_struct", "nested", "dynamic", "union", "union_vector",
    "array_scalar", "array_struct", "uuid", "decimal", "fallback",
)
SCALAR_KINDS = (
    "bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
    "float32", "float64",
)

MODULE_KEYS = ("version", "objects")
OBJECT_KEYS = (
    "name", "is_struct", "byte_size", "min_alignment", "fields", "serde_fields",
    "serde_tag_field", "serde_tag",
)
FIELD_KEYS = (
    "name", "slot", "offset", "kind", "scalar", "default", "optional", "required",
    "serde_nullable", "serde_element_nullable", "serde_python_int", "serde_omit_default", "key",
    "target", "type_slot", "type_scalar", "allowed_prefix", "enum_type", "dynamic_type", "arms",
    "fixed_length", "element_size", "fallback_id",
)
ARM_KEYS = ("tag", "target")
SERDE_FIELD_KEYS = ("attr_name", "encode_name")

# Fields that may be left out of a map-form record, with the value they then take.
OBJECT_OMITTABLE = {"serde_tag_field": None, "serde_tag": None}
FIELD_DEFAULTS = {
    "scalar": None,
    "serde_nullable": False,
    "serde_element_nullable": False,
    "serde_python_int": False,
    "serde_omit_default": False,
    "key": False,
    "target": None,
    "type_slot": None,
    "type_scalar": None,
    "allowed_prefix": None,
    "enum_type": None,
    "dynamic_type": None,
    "arms": (),
    "fixed_length": 0,
    "element_size": 0,
    "fallback_id": None,
}
# The first 8 elements of an array-form field are always written.
FIELD_ARRAY_MIN = 8


# ---------------------------------------------------------------------------------------------
# Records


def field(name, slot=0, offset=None, kind="scalar", scalar=None, default=None, optional=False,
          required=False, **rest):
    """One field record. ``offset`` defaults to the table vtable offset of ``slot``."""
    unknown = set(rest) - set(FIELD_KEYS)
    if unknown:
        raise TypeError(f"unknown field keys: {sorted(unknown)}")
    record = {
        "name": name,
        "slot": slot,
        "offset": 4 + 2 * slot if offset is None else offset,
        "kind": kind,
        "scalar": scalar,
        "default": default,
        "optional": optional,
        "required": required,
    }
    for key in FIELD_KEYS:
        if key not in record:
            record[key] = rest.get(key, FIELD_DEFAULTS[key])
    return record


def scalar_field(name, slot=0, scalar="int32", default=0, **rest):
    """A scalar field of the given scalar kind."""
    return field(name, slot, kind="scalar", scalar=scalar, default=default, **rest)


def string_field(name, slot=0, default=None, **rest):
    return field(name, slot, kind="string", default=default, **rest)


def arm(tag, target):
    """One union member."""
    return {"tag": tag, "target": target}


def serde_field(attr_name, encode_name=None):
    """One attribute-to-key pair; the key defaults to the attribute name."""
    return {"attr_name": attr_name, "encode_name": attr_name if encode_name is None else encode_name}


def obj(name, fields=(), serde_fields=None, is_struct=False, byte_size=0, min_alignment=0,
        serde_tag_field=None, serde_tag=None):
    """One object record. ``serde_fields`` defaults to one pair per field, keyed by its name."""
    if serde_fields is None:
        serde_fields = [serde_field(f["name"]) for f in fields]
    return {
        "name": name,
        "is_struct": is_struct,
        "byte_size": byte_size,
        "min_alignment": min_alignment,
        "fields": list(fields),
        "serde_fields": list(serde_fields),
        "serde_tag_field": serde_tag_field,
        "serde_tag": serde_tag,
    }


def struct_obj(name, fields=(), byte_size=0, min_alignment=1, **rest):
    return obj(name, fields, is_struct=True, byte_size=byte_size, min_alignment=min_alignment, **rest)


# ---------------------------------------------------------------------------------------------
# Wire forms: records as the lists and dicts that msgpack writes


def _check_form(form):
    if form not in ("array", "map"):
        raise ValueError(f"form must be 'array' or 'map', not {form!r}")


def arm_wire(record, form="array"):
    _check_form(form)
    if form == "array":
        return [record[k] for k in ARM_KEYS]
    return {k: record[k] for k in ARM_KEYS}


def serde_field_wire(record, form="array"):
    _check_form(form)
    if form == "array":
        return [record[k] for k in SERDE_FIELD_KEYS]
    return {k: record[k] for k in SERDE_FIELD_KEYS}


def _field_value(record, key, form):
    value = record[key]
    if key == "arms":
        return [arm_wire(a, form) for a in value]
    return value


def _is_default(value, default):
    if isinstance(default, tuple):
        return list(value) == list(default)
    return value is default if default is None else (type(value) is type(default) and value == default)


def field_wire(record, form="array"):
    _check_form(form)
    if form == "array":
        values = [_field_value(record, k, form) for k in FIELD_KEYS]
        end = len(values)
        while end > FIELD_ARRAY_MIN and _is_default(record[FIELD_KEYS[end - 1]], FIELD_DEFAULTS[FIELD_KEYS[end - 1]]):
            end -= 1
        return values[:end]
    out = {}
    for key in FIELD_KEYS:
        if key in FIELD_DEFAULTS and _is_default(record[key], FIELD_DEFAULTS[key]):
            continue
        out[key] = _field_value(record, key, form)
    return out


def object_wire(record, form="array"):
    _check_form(form)
    values = {
        **record,
        "fields": [field_wire(f, form) for f in record["fields"]],
        "serde_fields": [serde_field_wire(s, form) for s in record["serde_fields"]],
    }
    if form == "array":
        return [values[k] for k in OBJECT_KEYS]
    return {k: values[k] for k in OBJECT_KEYS if not (k in OBJECT_OMITTABLE and values[k] is None)}


def module_wire(objects, version=PLAN_VERSION, form="array"):
    _check_form(form)
    wired = [object_wire(o, form) for o in objects]
    if form == "array":
        return [version, wired]
    return {"version": version, "objects": wired}


def plan_bytes(objects=(), version=PLAN_VERSION, form="array"):
    """The plan document holding ``objects`` (records made by ``obj``)."""
    return pack(module_wire(objects, version, form))


# ---------------------------------------------------------------------------------------------
# Writing MessagePack, with exact bytes where needed


class Raw:
    """Bytes written as they are in place of one value."""

    def __init__(self, data):
        self.data = bytes(data)

    def __repr__(self):
        return f"Raw({self.data!r})"


_RAW_EXT_CODE = 0x5A
_RAW_MAGIC = b"\x00raw-splice\x00"  # 12 bytes; with a 4-byte index it fills a fixext 16
_RAW_PATTERN = re.compile(
    re.escape(b"\xd8" + bytes([_RAW_EXT_CODE]) + _RAW_MAGIC) + rb"(.{4})", re.DOTALL
)


def pack(value):
    """``value`` as MessagePack, with every ``Raw`` value replaced by its bytes."""
    spliced = []

    def default(o):
        if isinstance(o, Raw):
            spliced.append(o.data)
            return msgpack.ExtType(_RAW_EXT_CODE, _RAW_MAGIC + struct.pack(">I", len(spliced) - 1))
        if isinstance(o, tuple):
            return list(o)
        raise TypeError(f"cannot write {o!r}")

    packed = msgpack.packb(value, default=default, use_bin_type=True, strict_types=False)
    if not spliced:
        return packed
    return _RAW_PATTERN.sub(lambda m: spliced[struct.unpack(">I", m.group(1))[0]], packed)


def int8(v):
    return Raw(b"\xd0" + struct.pack(">b", v))


def int16(v):
    return Raw(b"\xd1" + struct.pack(">h", v))


def int32(v):
    return Raw(b"\xd2" + struct.pack(">i", v))


def int64(v):
    return Raw(b"\xd3" + struct.pack(">q", v))


def uint8(v):
    return Raw(b"\xcc" + struct.pack(">B", v))


def uint16(v):
    return Raw(b"\xcd" + struct.pack(">H", v))


def uint32(v):
    return Raw(b"\xce" + struct.pack(">I", v))


def uint64(v):
    return Raw(b"\xcf" + struct.pack(">Q", v))


def float32(v):
    return Raw(b"\xca" + struct.pack(">f", v))


def float64(v):
    return Raw(b"\xcb" + struct.pack(">d", v))


RESERVED = Raw(b"\xc1")


def ext(code, data):
    """An ext value; unlike ``msgpack.ExtType`` the type code may be negative (-128..127)."""
    data = bytes(data)
    fixed = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}
    n = len(data)
    if n in fixed:
        header = bytes([fixed[n]])
    elif n < 0x100:
        header = b"\xc7" + struct.pack(">B", n)
    elif n < 0x10000:
        header = b"\xc8" + struct.pack(">H", n)
    else:
        header = b"\xc9" + struct.pack(">I", n)
    return Raw(header + struct.pack(">b", code) + data)


def raw_str(data):
    """A str holding exactly ``data`` (which need not be valid UTF-8)."""
    data = bytes(data)
    n = len(data)
    if n < 32:
        header = bytes([0xA0 | n])
    elif n < 0x100:
        header = b"\xd9" + struct.pack(">B", n)
    elif n < 0x10000:
        header = b"\xda" + struct.pack(">H", n)
    else:
        header = b"\xdb" + struct.pack(">I", n)
    return Raw(header + data)


def ordered_map(pairs):
    """A map with exactly these entries in this order (repeated keys allowed)."""
    pairs = list(pairs)
    n = len(pairs)
    if n < 16:
        header = bytes([0x80 | n])
    elif n < 0x10000:
        header = b"\xde" + struct.pack(">H", n)
    else:
        header = b"\xdf" + struct.pack(">I", n)
    return Raw(header + b"".join(pack(k) + pack(v) for k, v in pairs))


def nested_arrays(depth, innermost=None):
    """``depth`` arrays, each holding the next; the last holds ``innermost`` (a value given to
    ``pack``) or nothing. Written as raw bytes, so any depth can be built."""
    inner = b"" if innermost is None else pack(innermost)
    last = b"\x90" if innermost is None else b"\x91"
    return Raw(b"\x91" * (depth - 1) + last + inner)
