"""Plan documents for the pack tests, written in the array form of each record.

``table`` and ``struct`` describe one object; ``scalar``, ``ref`` and ``member`` describe fields;
``plan_bytes`` packs a list of objects into the document that ``NativePlan`` reads.

Table fields take a ``slot``; their ``offset`` is the vtable offset ``4 + 2 * slot`` that readers
use. Struct fields take a byte ``offset`` inside the struct instead.
"""

import msgpack

VERSION = 2


def field(name, kind, *, slot=0, offset=None, scalar=None, default=None, optional=False,
          required=False, key=False, target=None, type_slot=None, type_scalar=None,
          allowed_prefix=None, dynamic_type=None, arms=(), fixed_length=0, element_size=0,
          fallback_id=None):
    """One field record with all 23 elements."""
    if offset is None:
        offset = 4 + 2 * slot
    return [
        name, slot, offset, kind, scalar, default, optional, required,
        False, False, False, False, key, target, type_slot, type_scalar,
        allowed_prefix, None, dynamic_type, [[tag, arm_target] for tag, arm_target in arms],
        fixed_length, element_size, fallback_id,
    ]


def scalar(name, kind, slot=0, default=0, **rest):
    """A scalar table field of ScalarKind ``kind`` (e.g. "int32")."""
    return field(name, "scalar", slot=slot, scalar=kind, default=default, **rest)


def ref(name, kind, slot=0, target=None, **rest):
    """A table field of a non-scalar kind (string, table, vector_..., nested, ...)."""
    return field(name, kind, slot=slot, target=target, **rest)


def member(name, kind, offset, scalar=None, target=None, default=None, **rest):
    """A struct field at byte ``offset``: kind "scalar", "struct", "array_scalar" or
    "array_struct"."""
    if default is None and kind == "scalar":
        default = False if scalar == "bool" else 0
    return field(name, kind, offset=offset, scalar=scalar, target=target, default=default, **rest)


def table(name, fields=()):
    fields = list(fields)
    return [name, False, 0, 1, fields, [[f[0], f[0]] for f in fields], None, None]


def struct(name, fields=(), byte_size=0, min_alignment=1):
    fields = list(fields)
    return [name, True, byte_size, min_alignment, fields, [[f[0], f[0]] for f in fields], None, None]


def plan_bytes(objects):
    return msgpack.packb([VERSION, list(objects)], use_bin_type=True)
