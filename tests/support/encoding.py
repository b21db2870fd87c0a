"""Helpers for the encode_serde tests: bound plans from planwriter records, with one generated
model class per object, and short calls for both formats."""

from planwriter import field, obj, plan_bytes
from quorvel._native import NativePlan
from trevalin import Struct


def model_class(record):
    names = [f["name"] for f in record["fields"]]
    return type(record["name"], (Struct,), {"__annotations__": {n: object for n in names}, **{n: None for n in names}})


def bound(*records):
    """(plan, {name: class}) for the records, every object bound."""
    plan = NativePlan(plan_bytes(list(records)))
    classes = {r["name"]: model_class(r) for r in records}
    plan.bind_types(dict(classes))
    return plan, classes


def one_field(value_field, **obj_options):
    """(plan, class) of a model "M" holding the one field."""
    plan, classes = bound(obj("M", [value_field], **obj_options))
    return plan, classes["M"]


def write_value(value_field, value, is_json, **options):
    """The document of model "M" whose one field holds ``value``."""
    plan, cls = one_field(value_field)
    return plan.encode_serde("M", cls(**{value_field["name"]: value}), is_json, fallback_encoder=options.pop(
        "fallback_encoder", None), **options)


def json_value(value_field, value, **options):
    """The JSON text of the value alone (the document is {"v":...})."""
    doc = write_value(value_field, value, True, **options)
    prefix = b'{"' + value_field["name"].encode() + b'":'
    assert doc.startswith(prefix) and doc.endswith(b"}"), doc
    return doc[len(prefix):-1]


def msgpack_value(value_field, value, **options):
    """The MessagePack bytes of the value alone (the document is a one-entry fixmap)."""
    doc = write_value(value_field, value, False, **options)
    key = value_field["name"].encode()
    prefix = bytes([0x81, 0xA0 | len(key)]) + key
    assert doc.startswith(prefix), doc
    return doc[len(prefix):]


def f(kind, scalar=None, name="v", slot=0, **rest):
    """A field record named ``name``."""
    return field(name, slot, kind=kind, scalar=scalar, **rest)
