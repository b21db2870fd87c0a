"""Small builders for plan documents, used by the binding, classification and model-type tests.

Every record is written in its array form. `table(...)` and `struct(...)` describe one object,
`field(...)` one of its fields; `make_plan(*objects)` packs them and builds the `NativePlan`.
"""

import msgpack

from quorvel._native import NativePlan

VERSION = 2
_UNSET = object()


def field(
    name,
    kind="scalar",
    *,
    slot=0,
    offset=None,
    scalar=_UNSET,
    default=_UNSET,
    optional=False,
    required=False,
    key=False,
    target=None,
    type_slot=None,
    type_scalar=None,
    allowed_prefix=None,
    enum_type=None,
    dynamic_type=None,
    arms=(),
    fixed_length=0,
    element_size=0,
    fallback_id=None,
):
    """One field record, all 23 elements written."""
    if scalar is _UNSET:
        scalar = "int32" if kind in ("scalar", "vector_scalar") else None
    if default is _UNSET:
        default = 0 if kind == "scalar" else None
    if offset is None:
        offset = 4 + 2 * slot
    return [
        name, slot, offset, kind, scalar, default, optional, required,
        False, False, False, False, key, target, type_slot, type_scalar,
        allowed_prefix, enum_type, dynamic_type, [list(arm) for arm in arms],
        fixed_length, element_size, fallback_id,
    ]


def table(name, fields=(), *, serde=None, tag_field=None, tag=None):
    """A table object. `serde` lists (attr_name, encode_name) pairs; by default one pair per
    field, each encoded under its own name."""
    fields = [list(f) for f in fields]
    if serde is None:
        serde = [(f[0], f[0]) for f in fields]
    return [name, False, 0, 1, fields, [list(pair) for pair in serde], tag_field, tag]


def struct(name, fields=(), *, byte_size=0, min_alignment=1, serde=None, tag_field=None, tag=None):
    obj = table(name, fields, serde=serde, tag_field=tag_field, tag=tag)
    obj[1], obj[2], obj[3] = True, byte_size, min_alignment
    return obj


def plan_bytes(*objects):
    return msgpack.packb([VERSION, [list(o) for o in objects]], use_bin_type=True)


def make_plan(*objects):
    return NativePlan(plan_bytes(*objects))
