"""Helpers for the unpack tests: FlatBuffers laid out byte by byte, exact exception checks, and a
deep comparison of decoded model graphs.

``Image`` places each part of a FlatBuffer at a position the test chooses, so that a test can
state exactly which offset, vtable entry or length is wrong::

    img = Image()
    img.root(8)                                  # root offset at 0 -> table at 8
    img.vtable(20, table_size=8, entries=[4])    # field 0 at table + 4
    img.table(8, vtable=20)                      # soffset 8 - 20
    img.uoffset(12, 40)                          # field 0 (at 8 + 4) points at 40
    img.string(40, b"hi")
    data = img.bytes()

Positions are absolute byte positions in the image; all values are little-endian.
"""

import contextlib
import math
import struct

import numpy as np
import pytest
from trevalin import Struct


class Image:
    """A FlatBuffer under construction, as a growable byte array written at fixed positions."""

    def __init__(self, size=0):
        self.data = bytearray(size)

    def _room(self, end):
        if end > len(self.data):
            self.data.extend(bytes(end - len(self.data)))

    def put(self, position, fmt, *values):
        """Writes ``values`` with struct format ``fmt`` (little-endian) at ``position``."""
        fmt = "<" + fmt
        self._room(position + struct.calcsize(fmt))
        struct.pack_into(fmt, self.data, position, *values)
        return self

    def raw(self, position, data):
        data = bytes(data)
        self._room(position + len(data))
        self.data[position:position + len(data)] = data
        return self

    def u8(self, position, value):
        return self.put(position, "B", value)

    def u16(self, position, value):
        return self.put(position, "H", value)

    def u32(self, position, value):
        return self.put(position, "I", value)

    def i32(self, position, value):
        return self.put(position, "i", value)

    def root(self, table, at=0):
        """The root offset at ``at``, pointing at ``table``."""
        return self.u32(at, table - at)

    def vtable(self, position, table_size, entries=(), vtable_size=None):
        """A vtable: its size (4 + 2 per entry unless given), the table size, then the entries."""
        entries = list(entries)
        size = 4 + 2 * len(entries) if vtable_size is None else vtable_size
        return self.put(position, f"HH{len(entries)}H", size, table_size, *entries)

    def table(self, position, vtable):
        """The soffset of a table at ``position`` whose vtable lies at ``vtable``."""
        return self.i32(position, position - vtable)

    def uoffset(self, position, target):
        """A 32-bit offset at ``position`` to ``target`` (which must not lie before it)."""
        return self.u32(position, target - position)

    def string(self, position, text, terminator=b"\0"):
        """A string: its byte length, the bytes and a terminator."""
        data = text.encode() if isinstance(text, str) else bytes(text)
        return self.u32(position, len(data)).raw(position + 4, data + terminator)

    def vector(self, position, count, data=b""):
        """A vector: its element count, then the element bytes."""
        return self.u32(position, count).raw(position + 4, data)

    def bytes(self):
        return bytes(self.data)


def single_table(entries, table_size, vtable_size=None):
    """Root offset at 0, a vtable at 4 and its table right after it, 4-aligned; returns the image
    and the table position. The table's bytes after its soffset are zero."""
    img = Image()
    at = 4 + (4 + 2 * len(entries) + 3) // 4 * 4
    img.root(at).vtable(4, table_size, entries, vtable_size).table(at, vtable=4)
    img.raw(at + 4, bytes(max(table_size - 4, 0)))
    return img, at


@contextlib.contextmanager
def raises_exactly(cls, message):
    """Expects an exception of exactly class ``cls`` (not a subclass) whose text is ``message``."""
    with pytest.raises(cls) as info:
        yield info
    assert type(info.value) is cls, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message


def bounds_message(label, position, size, length):
    return f"{label} at offset {position} with size {size} exceeds a {length}-byte buffer"


def assert_same(got, expected, path="value"):
    """Compares decoded values: model objects by class and field, NumPy arrays by dtype and
    elements, lists, dicts (with their key order) and everything else with ``==`` and its type."""
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray), f"{path}: {type(got).__name__} is not an array"
        assert got.dtype == expected.dtype, f"{path}: dtype {got.dtype} != {expected.dtype}"
        assert got.shape == expected.shape, f"{path}: shape {got.shape} != {expected.shape}"
        np.testing.assert_array_equal(got, expected, err_msg=path)
        return
    if isinstance(expected, Struct):
        assert type(got) is type(expected), f"{path}: {type(got).__name__} != {type(expected).__name__}"
        for name in expected.__struct_fields__:
            assert_same(getattr(got, name), getattr(expected, name), f"{path}.{name}")
        return
    if isinstance(expected, list):
        assert type(got) is list, f"{path}: {type(got).__name__} is not a list"
        assert len(got) == len(expected), f"{path}: length {len(got)} != {len(expected)}"
        for i, (g, e) in enumerate(zip(got, expected)):
            assert_same(g, e, f"{path}[{i}]")
        return
    if isinstance(expected, dict):
        assert type(got) is dict, f"{path}: {type(got).__name__} is not a dict"
        assert list(got) == list(expected), f"{path}: keys {list(got)} != {list(expected)}"
        for key in expected:
            assert_same(got[key], expected[key], f"{path}[{key!r}]")
        return
    assert type(got) is type(expected), f"{path}: {type(got).__name__} != {type(expected).__name__} ({got!r})"
    if isinstance(expected, float) and math.isnan(expected):
        assert math.isnan(got), f"{path}: {got!r} is not NaN"
        return
    assert got == expected, f"{path}: {got!r} != {expected!r}"
    if isinstance(expected, float):
        assert math.copysign(1.0, got) == math.copysign(1.0, expected), f"{path}: sign of {got!r}"


class Record:
    """A model class that takes any keywords: for plans whose tests need no declared fields."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __eq__(self, other):
        return type(self) is type(other) and vars(self) == vars(other)

    def __repr__(self):
        fields = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{type(self).__name__}({fields})"


def record_types(*names):
    """One new Record subclass per plan object name, as a bind_types dict."""
    return {name: type(name, (Record,), {}) for name in names}
