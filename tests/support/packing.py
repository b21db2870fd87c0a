"""Helpers for the pack tests: bound plans from planwriter records, and a small reader over the
official FlatBuffers runtime's generic ``Table`` for buffers that have no flatc schema.

Slots are table field identifiers; the vtable offset of slot ``s`` is ``4 + 2 * s``.
"""

import struct

import flatbuffers.encode
import flatbuffers.number_types as N
import flatbuffers.packer
from flatbuffers.table import Table

from fbplans import plan_bytes
from quorvel._native import NativePlan


def make_plan(objects, types):
    """A NativePlan for ``objects`` (fbplans records) with ``types`` bound."""
    plan = NativePlan(plan_bytes(objects))
    plan.bind_types(dict(types))
    return plan


def voffset(slot):
    return 4 + 2 * slot


def root(buf, size_prefixed=False):
    """The root table of a finished buffer."""
    data = bytearray(bytes(buf))
    start = 4 if size_prefixed else 0
    return Table(data, flatbuffers.encode.Get(flatbuffers.packer.uoffset, data, start) + start)


def field_offset(tab, slot):
    return tab.Offset(voffset(slot))


def present(tab, slot):
    return field_offset(tab, slot) != 0


def vtable_size(tab):
    vt = tab.Pos - tab.Get(N.SOffsetTFlags, tab.Pos)
    return tab.Get(N.VOffsetTFlags, vt)


def present_slots(tab):
    """The slots whose vtable entry is non-zero."""
    count = (vtable_size(tab) - 4) // 2
    return [s for s in range(count) if present(tab, s)]


def scalar(tab, slot, flags, default=None):
    o = field_offset(tab, slot)
    return default if o == 0 else tab.Get(flags, tab.Pos + o)


def string(tab, slot):
    o = field_offset(tab, slot)
    return None if o == 0 else tab.String(tab.Pos + o)


def table(tab, slot):
    o = field_offset(tab, slot)
    return None if o == 0 else Table(tab.Bytes, tab.Indirect(tab.Pos + o))


def struct_bytes(tab, slot, size):
    o = field_offset(tab, slot)
    return None if o == 0 else bytes(tab.Bytes[tab.Pos + o:tab.Pos + o + size])


def vector(tab, slot):
    """(start of the element data, count from the length prefix), or None when absent."""
    o = field_offset(tab, slot)
    if o == 0:
        return None
    return tab.Vector(o), tab.VectorLen(o)


def vector_raw(tab, slot, width):
    """The element bytes of a vector, count taken from its prefix."""
    start, count = vector(tab, slot)
    return bytes(tab.Bytes[start:start + count * width])


def scalar_vector(tab, slot, flags):
    start, count = vector(tab, slot)
    return [tab.Get(flags, start + i * flags.bytewidth) for i in range(count)]


def offset_words(tab, slot):
    """The raw 32-bit words of a vector of offsets (0 for an absent element)."""
    start, count = vector(tab, slot)
    return [struct.unpack_from("<I", tab.Bytes, start + 4 * i)[0] for i in range(count)]


def string_vector(tab, slot):
    start, count = vector(tab, slot)
    return [tab.String(start + 4 * i) for i in range(count)]


def table_vector(tab, slot):
    """The tables of a vector of offsets; None for a 0 word."""
    start, count = vector(tab, slot)
    out = []
    for i in range(count):
        at = start + 4 * i
        word = struct.unpack_from("<I", tab.Bytes, at)[0]
        out.append(None if word == 0 else Table(tab.Bytes, tab.Indirect(at)))
    return out
