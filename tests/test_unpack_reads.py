"""Reading untrusted bytes: the buffer header (size prefix, root offset, file identifier), table
headers and vtables, offsets, strings, vectors and scalars, each in hand-made buffers that are
valid except for the one fault under test. Out-of-range reads raise BufferBoundsError, in-range
but malformed content InvalidBufferError, invalid text UnicodeDecodeError."""

import enum

import numpy as np
import pytest

from plans import field, make_plan, struct, table
from quorvel._runtime import BufferBoundsError, InvalidBufferError
from unpacking import Image, bounds_message, raises_exactly, record_types, single_table


class Mood(enum.IntEnum):
    CALM = 1
    ANGRY = 2


OBJECTS = [
    table("Leaf", [
        field("name", "string", slot=0),
        field("value", slot=1, default=42),
        field("flag", slot=2, scalar="bool", default=False),
        field("big", slot=3, scalar="int64", default=0),
    ]),
    struct("Point", [field("x", offset=0), field("y", offset=4)], byte_size=8, min_alignment=4),
    table("Holder", [
        field("leaf", "table", slot=0, target="Leaf"),
        field("longs", "vector_scalar", slot=1, scalar="int64"),
        field("blob", "vector_byte", slot=2),
        field("tags", "vector_string", slot=3),
        field("point", "struct", slot=4, target="Point"),
        field("flags", "vector_scalar", slot=5, scalar="bool"),
        field("leaves", "vector_table", slot=6, target="Leaf"),
        field("points", "vector_struct", slot=7, target="Point"),
    ]),
    table("Odd2", [field("s", "string", slot=0, offset=2)]),
    table("Odd3", [field("v", slot=0, offset=3)]),
    table("Odd5", [field("b", "vector_byte", slot=0, offset=5)]),
    table("Odd0", [field("v", slot=0, offset=0)]),
    struct("Wide", [field("a", "array_scalar", offset=0, scalar="int32", fixed_length=100, element_size=4)],
           byte_size=4, min_alignment=4),
    struct("Huge", [field("a", "array_scalar", offset=0, scalar="int64", fixed_length=2**62, element_size=8)],
           byte_size=8, min_alignment=8),
    struct("Moods", [field("m", "array_scalar", offset=0, scalar="uint8", fixed_length=3, element_size=1,
                           enum_type="Mood")], byte_size=1),
    struct("Far", [field("x", offset=2**64 - 1)], byte_size=4),
    struct("FarStruct", [field("p", "struct", offset=2**64 - 2, target="Point")], byte_size=8),
    struct("FarArray", [field("a", "array_scalar", offset=2**64 - 1, scalar="uint8", fixed_length=1)],
           byte_size=1),
    struct("Beyond", [field("x", offset=4)], byte_size=4),
    struct("Bits", [field("one", offset=0, scalar="bool", default=False),
                    field("many", "array_scalar", offset=1, scalar="bool", fixed_length=3, element_size=1)],
           byte_size=4),
    struct("Giant", [], byte_size=2**62),
    table("Giants", [field("all", "vector_struct", slot=0, target="Giant")]),
]

TYPES = record_types(*{o[0] for o in OBJECTS})
TYPES["Mood"] = Mood
Leaf, Point, Holder = TYPES["Leaf"], TYPES["Point"], TYPES["Holder"]


@pytest.fixture(scope="module")
def plan():
    plan = make_plan(*OBJECTS)
    plan.bind_types(TYPES)
    return plan


def default_leaf(**values):
    return Leaf(**{"name": None, "value": 42, "flag": False, "big": 0, **values})


def leaf_with_name(text_bytes, terminator=b"\0"):
    """A Leaf whose name (slot 0, at table + 4) is a string placed right after the table."""
    img, at = single_table([4], 8)
    img.uoffset(at + 4, at + 8).string(at + 8, text_bytes, terminator)
    return img


# --- header: size prefix, root offset, file identifier ---------------------------------------------


@pytest.mark.parametrize("length", [0, 1, 2, 3])
def test_buffer_too_short_for_the_root_offset(plan, length):
    with raises_exactly(BufferBoundsError, bounds_message("root offset", 0, 4, length)):
        plan.unpack("Leaf", bytes(length))


def test_root_offset_beyond_the_end_at_an_offset(plan):
    data = single_table([], 4)[0].bytes()
    with raises_exactly(BufferBoundsError, bounds_message("root offset", len(data) - 3, 4, len(data))):
        plan.unpack("Leaf", data, offset=len(data) - 3)
    with raises_exactly(BufferBoundsError, bounds_message("root offset", 2**63 - 1, 4, len(data))):
        plan.unpack("Leaf", data, offset=2**63 - 1)


def test_null_root_offset(plan):
    with raises_exactly(InvalidBufferError, "root table offset is null"):
        plan.unpack("Leaf", bytes(8))
    with raises_exactly(InvalidBufferError, "root table offset is null"):
        plan.unpack("Leaf", b"\x01\x02" + bytes(4), offset=2)


def test_root_table_outside_the_buffer(plan):
    with raises_exactly(BufferBoundsError, bounds_message("int32", 100, 4, 12)):
        plan.unpack("Leaf", Image(12).u32(0, 100).bytes())
    with raises_exactly(BufferBoundsError, bounds_message("int32", 4 + 2**32 - 1, 4, 12)):
        plan.unpack("Leaf", Image(12).u32(4, 2**32 - 1).bytes(), offset=4)


def test_root_table_is_found_relative_to_the_offset(plan):
    img, at = single_table([0, 4], 8)
    img.i32(at + 4, -9)
    data = b"\xaa" * 6 + img.bytes()
    assert plan.unpack("Leaf", data, offset=6) == default_leaf(value=-9)
    assert plan.unpack_view("Leaf", data, 6 + at) == default_leaf(value=-9)


def test_missing_size_prefix(plan):
    with raises_exactly(BufferBoundsError, bounds_message("uint32", 0, 4, 3)):
        plan.unpack("Leaf", b"\x01\x02\x03", size_prefixed=True)
    with raises_exactly(BufferBoundsError, bounds_message("uint32", 2, 4, 5)):
        plan.unpack("Leaf", bytes(5), size_prefixed=True, offset=2)


@pytest.mark.parametrize("offset", [0, 3])
def test_size_prefix_larger_than_the_rest(plan, offset):
    payload = single_table([], 4)[0].bytes()
    for excess in (1, 2**32 - 1 - len(payload)):
        prefix = len(payload) + excess
        data = b"\x55" * offset + prefix.to_bytes(4, "little") + payload
        with raises_exactly(BufferBoundsError,
                            bounds_message("size-prefixed buffer", offset + 4, prefix, len(data))):
            plan.unpack("Leaf", data, size_prefixed=True, offset=offset)


def test_reads_inside_a_size_prefixed_payload_report_the_payload_length(plan):
    payload = leaf_with_name(b"hello").bytes()
    cut = len(payload) - 10  # the string's bytes lie past the declared payload
    data = cut.to_bytes(4, "little") + payload
    name_at = 12 + 8  # table at 12 in the payload, the string after its 8 bytes
    with raises_exactly(BufferBoundsError, bounds_message("string offset", name_at, 1, cut)):
        plan.unpack("Leaf", data, size_prefixed=True)
    exact = len(payload).to_bytes(4, "little") + payload + b"\xff" * 7
    assert plan.unpack("Leaf", exact, size_prefixed=True) == default_leaf(name="hello")


def test_empty_size_prefixed_payload(plan):
    with raises_exactly(BufferBoundsError, bounds_message("root offset", 0, 4, 0)):
        plan.unpack("Leaf", bytes(4) + single_table([], 4)[0].bytes(), size_prefixed=True)


def identified_leaf(identifier=b"\0\0\0\0"):
    """Root offset 12, the identifier, a vtable at 8 and an empty table at 12."""
    return Image().root(12).raw(4, identifier).vtable(8, 4).table(12, vtable=8).bytes()


def test_identifier_mismatch(plan):
    data = identified_leaf()
    with raises_exactly(InvalidBufferError, "expected file identifier [65, 66, 67, 68], got [0, 0, 0, 0]"):
        plan.unpack("Leaf", data, identifier="ABCD")
    assert plan.unpack("Leaf", data, identifier="ABCD", check_identifier=False) == default_leaf()
    assert plan.unpack("Leaf", data) == default_leaf()
    assert plan.unpack("Leaf", identified_leaf(b"ABCD"), identifier="ABCD") == default_leaf()


def test_identifier_is_compared_byte_for_byte(plan):
    with raises_exactly(InvalidBufferError, "expected file identifier [97, 66, 67, 68], got [65, 66, 67, 68]"):
        plan.unpack("Leaf", identified_leaf(b"ABCD"), identifier="aBCD")
    with raises_exactly(InvalidBufferError, "expected file identifier [0, 0, 0, 1], got [0, 0, 0, 0]"):
        plan.unpack("Leaf", identified_leaf(), identifier="\0\0\0\x01")


def test_identifier_follows_the_size_prefix_and_the_offset(plan):
    payload = identified_leaf(b"WXYZ")
    data = b"\x09\x09" + len(payload).to_bytes(4, "little") + payload
    assert plan.unpack("Leaf", data, offset=2, size_prefixed=True, identifier="WXYZ") == default_leaf()
    with raises_exactly(InvalidBufferError, "expected file identifier [87, 87, 87, 87], got [87, 88, 89, 90]"):
        plan.unpack("Leaf", data, offset=2, size_prefixed=True, identifier="WWWW")
    data = b"\x09\x09\x09" + payload
    with raises_exactly(InvalidBufferError, "expected file identifier [87, 87, 87, 87], got [87, 88, 89, 90]"):
        plan.unpack("Leaf", data, offset=3, identifier="WWWW")


def test_identifier_outside_the_buffer_is_read_only_when_checked(plan):
    data = Image().root(4).u16(4, 0).bytes()  # 6 bytes
    with raises_exactly(BufferBoundsError, bounds_message("file identifier", 4, 4, 6)):
        plan.unpack("Leaf", data, identifier="ABCD")
    with raises_exactly(BufferBoundsError, bounds_message("int32", 4, 4, 6)):
        plan.unpack("Leaf", data, identifier="ABCD", check_identifier=False)


# --- table headers --------------------------------------------------------------------------------


def test_vtable_before_the_start_of_the_buffer(plan):
    img = Image().root(8).i32(8, 12).raw(12, bytes(4))
    with raises_exactly(BufferBoundsError, "vtable header lies outside a 16-byte buffer"):
        plan.unpack("Leaf", img.bytes())


def test_vtable_before_the_start_of_a_size_prefixed_payload(plan):
    # In the whole input the vtable would lie at 4; in the payload it lies before its start.
    payload = Image().root(4).i32(4, 8).vtable(8, 4).bytes()
    data = bytes([4, 0, 4, 0]) + len(payload).to_bytes(4, "little") + payload
    with raises_exactly(BufferBoundsError, f"vtable header lies outside a {len(payload)}-byte buffer"):
        plan.unpack("Leaf", data, offset=4, size_prefixed=True)


def test_vtable_after_its_table(plan):
    img = Image().root(4).i32(4, -12).i32(8, 77).vtable(16, 8, [0, 4])
    assert plan.unpack("Leaf", img.bytes()) == default_leaf(value=77)


@pytest.mark.parametrize("soffset, vtable", [(-100, 108), (-(2**31), 8 + 2**31)])
def test_vtable_after_the_end(plan, soffset, vtable):
    data = Image().root(8).i32(8, soffset).bytes()
    with raises_exactly(BufferBoundsError, bounds_message("vtable header", vtable, 4, 12)):
        plan.unpack("Leaf", data)


def test_vtable_header_cut_short(plan):
    data = Image().root(4).i32(4, -4).u16(8, 4).bytes()  # 10 bytes: the vtable at 8 has 2
    with raises_exactly(BufferBoundsError, bounds_message("vtable header", 8, 4, 10)):
        plan.unpack("Leaf", data)


@pytest.mark.parametrize("vtable_size, table_size", [(2, 4), (5, 4), (0, 4), (7, 8), (6, 3), (4, 0), (4, 2)])
def test_invalid_table_metadata(plan, vtable_size, table_size):
    img, _ = single_table([0], 8)
    img.u16(4, vtable_size).u16(6, table_size)
    with raises_exactly(InvalidBufferError, "invalid FlatBuffers table metadata"):
        plan.unpack("Leaf", img.bytes())


def test_smallest_valid_table(plan):
    img = Image().root(8).vtable(4, 4).table(8, vtable=4)
    assert plan.unpack("Leaf", img.bytes()) == default_leaf()


def test_vtable_longer_than_the_buffer(plan):
    img, at = single_table([], 4, vtable_size=100)
    with raises_exactly(BufferBoundsError, bounds_message("vtable", 4, 100, len(img.data))):
        plan.unpack("Leaf", img.bytes())


def test_table_longer_than_the_buffer(plan):
    img, at = single_table([], 4)
    img.u16(6, 200)
    with raises_exactly(BufferBoundsError, bounds_message("table", at, 200, len(img.data))):
        plan.unpack("Leaf", img.bytes())


def test_table_soffset_cut_short(plan):
    data = Image().root(6).u16(6, 0).bytes()
    with raises_exactly(BufferBoundsError, bounds_message("int32", 6, 4, 8)):
        plan.unpack("Leaf", data)


# --- vtable entries -------------------------------------------------------------------------------


def test_zero_entries_and_short_vtables_mean_absent(plan):
    img, at = single_table([0, 0, 0, 0], 4)
    assert plan.unpack("Leaf", img.bytes()) == default_leaf()
    img, at = single_table([0, 4], 8)  # value present; flag and big lie past the vtable
    img.i32(at + 4, 5)
    assert plan.unpack("Leaf", img.bytes()) == default_leaf(value=5)


@pytest.mark.parametrize("entry", [1, 2, 3])
def test_entry_inside_the_soffset(plan, entry):
    img, _ = single_table([entry], 8)
    with raises_exactly(InvalidBufferError, "field lies outside its FlatBuffers table"):
        plan.unpack("Leaf", img.bytes())


@pytest.mark.parametrize("entries, table_size", [
    ([0, 6], 8),      # int32 at 6..10 in an 8-byte table
    ([0, 8], 8),
    ([0, 0, 8], 8),   # bool at 8 in an 8-byte table
    ([0, 0, 0, 4], 8),  # int64 at 4..12 in an 8-byte table
    ([0, 0, 0, 4], 11),
    ([0, 65535], 8),
])
def test_entry_past_the_end_of_its_table(plan, entries, table_size):
    img, _ = single_table(entries, table_size)
    img.raw(len(img.data), bytes(64))  # the bytes exist; only the table size is exceeded
    with raises_exactly(InvalidBufferError, "field lies outside its FlatBuffers table"):
        plan.unpack("Leaf", img.bytes())


def test_fields_that_end_exactly_at_the_table_end(plan):
    img, at = single_table([0, 4, 16, 8], 17)
    img.i32(at + 4, -1).put(at + 8, "q", -(2**63)).u8(at + 16, 1)
    assert plan.unpack("Leaf", img.bytes()) == default_leaf(value=-1, flag=True, big=-(2**63))
    img, at = single_table([0, 13, 0, 5], 17)
    img.put(at + 5, "q", 2**62).i32(at + 13, 7)
    assert plan.unpack("Leaf", img.bytes()) == default_leaf(value=7, big=2**62)


@pytest.mark.parametrize("root", ["Odd2", "Odd3", "Odd5", "Odd0"])
def test_plan_offset_that_is_no_vtable_offset(plan, root):
    img, _ = single_table([], 4)
    with raises_exactly(ValueError, "vtable field offsets must be even and at least 4"):
        plan.unpack(root, img.bytes())
    img, _ = single_table([4, 4], 8)
    with raises_exactly(ValueError, "vtable field offsets must be even and at least 4"):
        plan.unpack(root, img.bytes())


# --- offsets and strings --------------------------------------------------------------------------


@pytest.mark.parametrize("slot, label", [
    (0, "table field offset"), (1, "vector offset"), (2, "vector offset"), (3, "vector offset"),
    (5, "vector offset"), (6, "vector offset"),
])
def test_null_offsets_in_holder_fields(plan, slot, label):
    img, at = single_table([0] * slot + [4], 8)
    with raises_exactly(InvalidBufferError, f"{label} contains a null offset"):
        plan.unpack("Holder", img.bytes())


def test_null_string_offset(plan):
    img, _ = single_table([4], 8)
    with raises_exactly(InvalidBufferError, "string offset contains a null offset"):
        plan.unpack("Leaf", img.bytes())


def holder_with_vector(slot, count, elements=b""):
    """A Holder whose field ``slot`` is a vector placed right after the table."""
    img, at = single_table([0] * slot + [4], 8)
    img.uoffset(at + 4, at + 8).vector(at + 8, count, elements)
    return img, at + 8


def test_null_offsets_inside_vectors(plan):
    img, vec = holder_with_vector(3, 1, bytes(4))
    with raises_exactly(InvalidBufferError, "string offset contains a null offset"):
        plan.unpack("Holder", img.bytes())
    img, vec = holder_with_vector(6, 1, bytes(4))
    with raises_exactly(InvalidBufferError, "table vector offset contains a null offset"):
        plan.unpack("Holder", img.bytes())


def test_offset_target_outside_the_buffer(plan):
    img, at = single_table([4], 8)
    img.u32(at + 4, 1000)
    with raises_exactly(BufferBoundsError, bounds_message("string offset", at + 4 + 1000, 1, len(img.data))):
        plan.unpack("Leaf", img.bytes())
    img, at = single_table([4], 8)
    img.u32(at + 4, 4)  # lands exactly on the end of the buffer
    with raises_exactly(BufferBoundsError, bounds_message("table field offset", at + 8, 1, at + 8)):
        plan.unpack("Holder", img.bytes())


def test_string_offset_on_the_last_byte(plan):
    img, at = single_table([4], 8)
    img.uoffset(at + 4, at + 8).u8(at + 8, 0)
    length = len(img.data)
    with raises_exactly(BufferBoundsError, bounds_message("uint32", length - 1, 4, length)):
        plan.unpack("Leaf", img.bytes())


def test_string_without_room_for_its_terminator(plan):
    data = leaf_with_name(b"", terminator=b"").bytes()
    with raises_exactly(BufferBoundsError, bounds_message("string data", len(data), 1, len(data))):
        plan.unpack("Leaf", data)
    data = leaf_with_name(b"abc", terminator=b"").bytes()
    with raises_exactly(BufferBoundsError, bounds_message("string data", len(data) - 3, 4, len(data))):
        plan.unpack("Leaf", data)


def test_string_length_beyond_the_buffer(plan):
    img = leaf_with_name(b"abc")
    at = 12
    img.u32(at + 8, 2**32 - 1)
    with raises_exactly(BufferBoundsError, bounds_message("string data", at + 12, 2**32, len(img.data))):
        plan.unpack("Leaf", img.bytes())


def test_empty_string_needs_five_bytes(plan):
    data = leaf_with_name(b"").bytes()
    assert data.endswith(bytes(5))
    assert plan.unpack("Leaf", data) == default_leaf(name="")


@pytest.mark.parametrize("terminator", [b"x", b"\x01", b"\xff"])
def test_string_without_terminator(plan, terminator):
    with raises_exactly(InvalidBufferError, "FlatBuffers string is not null-terminated"):
        plan.unpack("Leaf", leaf_with_name(b"abc", terminator=terminator).bytes())


def test_string_with_embedded_nul(plan):
    assert plan.unpack("Leaf", leaf_with_name(b"a\0b").bytes()).name == "a\0b"


@pytest.mark.parametrize("text, start, end, reason", [
    (b"ab\xffcd", 2, 3, "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe2\x28\xa1", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ok\xf0\x90\x28xyz", 2, 4, "invalid utf-8 sequence of 2 bytes from index 2"),
    (b"\xf0\x90\x80\x28", 0, 3, "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xc0\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xed\xa0\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf4\x90\x80\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe2\x82\xacok\xe2\x82", 5, 6, "incomplete utf-8 byte sequence from index 5"),
    (b"ab\xf0", 2, 3, "incomplete utf-8 byte sequence from index 2"),
    (b"\xf0\x9f\x98", 0, 1, "incomplete utf-8 byte sequence from index 0"),
])
def test_invalid_utf8(plan, text, start, end, reason):
    with pytest.raises(UnicodeDecodeError) as info:
        plan.unpack("Leaf", leaf_with_name(text).bytes())
    error = info.value
    assert type(error) is UnicodeDecodeError
    assert (error.encoding, error.object, error.start, error.end, error.reason) == (
        "utf-8", text, start, end, reason)


def test_invalid_utf8_in_a_string_vector(plan):
    img, vec = holder_with_vector(3, 2, bytes(8))
    img.uoffset(vec + 4, vec + 12).string(vec + 12, b"fine")
    img.uoffset(vec + 8, vec + 24).string(vec + 24, b"\xfe")
    with pytest.raises(UnicodeDecodeError) as info:
        plan.unpack("Holder", img.bytes())
    assert (info.value.object, info.value.start, info.value.end) == (b"\xfe", 0, 1)


# --- vectors --------------------------------------------------------------------------------------


@pytest.mark.parametrize("slot, count, width", [
    (1, 2**31, 8), (1, 2**32 - 1, 8), (2, 2**32 - 1, 1), (3, 2**30, 4), (5, 9, 1), (6, 2**31, 4),
    (7, 2**29, 8),
])
def test_vector_data_beyond_the_buffer(plan, slot, count, width):
    img, vec = holder_with_vector(slot, count, bytes(8))
    with raises_exactly(BufferBoundsError, bounds_message("vector data", vec + 4, count * width, len(img.data))):
        plan.unpack("Holder", img.bytes())


def test_vector_length_beyond_the_buffer(plan):
    img, at = single_table([0, 4], 8)
    img.uoffset(at + 4, at + 8).u16(at + 8, 1)
    with raises_exactly(BufferBoundsError, bounds_message("uint32", at + 8, 4, at + 10)):
        plan.unpack("Holder", img.bytes())


def test_vector_byte_length_overflow(plan):
    img, at = single_table([4], 8)
    img.uoffset(at + 4, at + 8).vector(at + 8, 5)
    with raises_exactly(BufferBoundsError, "vector byte length overflows"):
        plan.unpack("Giants", img.bytes())


def test_empty_vectors(plan):
    img, at = single_table([0, 4, 4, 4, 0, 4, 4, 4], 8)
    img.uoffset(at + 4, at + 8).vector(at + 8, 0)
    got = plan.unpack("Holder", img.bytes())
    assert got.blob == b"" and type(got.blob) is bytes
    assert got.longs.dtype == np.int64 and got.longs.shape == (0,)
    assert got.flags.dtype == np.bool_ and got.flags.shape == (0,)
    assert got.tags == [] and got.leaves == [] and got.points == []
    assert got.leaf is None and got.point is None


def test_vectors_read_their_elements(plan):
    img, vec = holder_with_vector(1, 3)
    img.put(vec + 4, "3q", -1, 2**62, 3)
    assert plan.unpack("Holder", img.bytes()).longs.tolist() == [-1, 2**62, 3]
    img, vec = holder_with_vector(2, 3, b"xyz")
    assert plan.unpack("Holder", img.bytes()).blob == b"xyz"
    img, vec = holder_with_vector(7, 2)
    img.put(vec + 4, "4i", 1, 2, -3, -4)
    assert plan.unpack("Holder", img.bytes()).points == [Point(x=1, y=2), Point(x=-3, y=-4)]


# --- scalars and struct members -------------------------------------------------------------------


@pytest.mark.parametrize("byte", [1, 2, 0x80, 0xFF])
def test_any_nonzero_bool_byte_is_true(plan, byte):
    img, at = single_table([0, 0, 4], 8)
    img.u8(at + 4, byte)
    got = plan.unpack("Leaf", img.bytes())
    assert got.flag is True
    data = bytes([4, byte, 0, byte])
    bits = plan.unpack_view("Bits", data, 0)
    assert bits.one is True
    assert bits.many.dtype == np.bool_ and bits.many.tolist() == [True, False, True]
    assert bits.many.view(np.uint8).tolist() == [1, 0, 1]


def test_bool_vector_bytes_are_normalised(plan):
    img, vec = holder_with_vector(5, 4, bytes([2, 0, 0xFF, 1]))
    flags = plan.unpack("Holder", img.bytes()).flags
    assert flags.dtype == np.bool_
    assert flags.tolist() == [True, False, True, True]
    assert flags.view(np.uint8).tolist() == [1, 0, 1, 1]


def test_inline_struct_field_must_fit_its_table(plan):
    img, at = single_table([0, 0, 0, 0, 4], 8)
    img.raw(len(img.data), bytes(16))
    with raises_exactly(InvalidBufferError, "field lies outside its FlatBuffers table"):
        plan.unpack("Holder", img.bytes())
    img, at = single_table([0, 0, 0, 0, 4], 12)
    img.put(at + 4, "2i", 5, 6)
    assert plan.unpack("Holder", img.bytes()).point == Point(x=5, y=6)


def test_struct_members_are_bounded_by_the_buffer_not_the_struct(plan):
    assert plan.unpack_view("Beyond", (1).to_bytes(4, "little") + (9).to_bytes(4, "little"), 0).x == 9
    with raises_exactly(BufferBoundsError, bounds_message("scalar data", 4, 4, 6)):
        plan.unpack_view("Beyond", bytes(6), 0)


def test_fixed_array_beyond_the_buffer(plan):
    with raises_exactly(BufferBoundsError, bounds_message("numeric vector data", 0, 400, 8)):
        plan.unpack_view("Wide", bytes(8), 0)


def test_fixed_array_byte_length_overflow(plan):
    with raises_exactly(BufferBoundsError, "numeric vector byte length overflows"):
        plan.unpack_view("Huge", bytes(16), 0)


def test_enum_array_reads_each_element_in_range(plan):
    assert plan.unpack_view("Moods", bytes([1, 2, 1]), 0).m == [Mood.CALM, Mood.ANGRY, Mood.CALM]
    with raises_exactly(BufferBoundsError, bounds_message("scalar data", 2, 1, 2)):
        plan.unpack_view("Moods", bytes([1, 2]), 0)


@pytest.mark.parametrize("root", ["Far", "FarStruct", "FarArray"])
def test_struct_member_offset_overflow(plan, root):
    with raises_exactly(BufferBoundsError, "struct field offset overflows"):
        plan.unpack_view(root, bytes(16), 4)
