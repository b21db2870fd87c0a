"""NativePlan.unpack and unpack_view: the checks made before any byte is read, in their order, the
choice of the root class, struct and table roots, and the Python objects accepted as the buffer."""

import array

import numpy as np
import pytest
from trevalin import Struct

from plans import field, make_plan, struct, table
from quorvel._runtime import BufferBoundsError, InvalidBufferError
from unpacking import Image, bounds_message, raises_exactly

OFFSET_ERROR = "offset must be greater than or equal to zero"
IDENTIFIER_ERROR = "FlatBuffers file identifiers must contain four ASCII bytes"


class Leaf(Struct):
    name: str = None
    value: int = 0


class Point(Struct):
    x: int = 0
    y: int = 0


class Holder(Struct):
    point: Point = None
    leaf: Leaf = None
    leaves: list = None


class MyLeaf(Leaf):
    pass


OBJECTS = [
    table("Leaf", [field("name", "string", slot=0), field("value", slot=1)]),
    struct("Point", [field("x", offset=0), field("y", offset=4)], byte_size=8, min_alignment=4),
    table("Holder", [
        field("point", "struct", slot=0, target="Point"),
        field("leaf", "table", slot=1, target="Leaf"),
        field("leaves", "vector_table", slot=2, target="Leaf"),
    ]),
]
TYPES = {"Leaf": Leaf, "Point": Point, "Holder": Holder}


def new_plan(types=TYPES):
    plan = make_plan(*OBJECTS)
    if types is not None:
        plan.bind_types(dict(types))
    return plan


@pytest.fixture(scope="module")
def plan():
    return new_plan()


@pytest.fixture(scope="module")
def holder_bytes(plan):
    model = Holder(point=Point(x=3, y=-4), leaf=Leaf(name="one", value=1),
                   leaves=[Leaf(name="a", value=2), Leaf(name="b", value=3)])
    return bytes(plan.pack("Holder", model))


def expected_holder():
    return Holder(point=Point(x=3, y=-4), leaf=Leaf(name="one", value=1),
                  leaves=[Leaf(name="a", value=2), Leaf(name="b", value=3)])


def root_position(data):
    return int.from_bytes(data[:4], "little")


# --- the order of the entry checks ----------------------------------------------------------------


def test_negative_offset(plan, holder_bytes):
    with raises_exactly(ValueError, OFFSET_ERROR):
        plan.unpack("Holder", holder_bytes, offset=-1)
    with raises_exactly(ValueError, OFFSET_ERROR):
        plan.unpack_view("Holder", holder_bytes, -1)
    with raises_exactly(ValueError, OFFSET_ERROR):
        plan.unpack_view("Point", holder_bytes, -(2**63))


def test_negative_offset_is_reported_first(plan):
    with raises_exactly(ValueError, OFFSET_ERROR):
        plan.unpack("Missing", "not bytes", identifier="toolong", offset=-5,
                    model_types=plan.model_types(Leaf, Leaf, []))
    with raises_exactly(ValueError, OFFSET_ERROR):
        plan.unpack_view("Missing", "not bytes", -5)


@pytest.mark.parametrize("identifier", ["", "ab", "abcde", "abé", "éé", "\x80abc", "ÿÿÿÿ", "ab\u2603"])
@pytest.mark.parametrize("check_identifier", [True, False])
def test_identifier_must_be_four_ascii_bytes(plan, holder_bytes, identifier, check_identifier):
    with raises_exactly(ValueError, IDENTIFIER_ERROR):
        plan.unpack("Holder", holder_bytes, identifier=identifier, check_identifier=check_identifier)


def test_bad_identifier_is_reported_before_an_unknown_root(plan):
    with raises_exactly(ValueError, IDENTIFIER_ERROR):
        plan.unpack("Missing", "not bytes", identifier="ab")


@pytest.mark.parametrize("identifier", ["\x00\x00\x00\x00", "\x7f~ !"])
def test_identifier_with_any_ascii_bytes_is_accepted(plan, identifier):
    data = bytes(plan.pack("Leaf", Leaf(value=5), identifier=identifier))
    assert plan.unpack("Leaf", data, identifier=identifier).value == 5


def test_unknown_root(plan, holder_bytes):
    with raises_exactly(ValueError, 'unknown native table "Missing"'):
        plan.unpack("Missing", holder_bytes)
    with raises_exactly(ValueError, 'unknown native table "Missing"'):
        plan.unpack_view("Missing", holder_bytes, 0)
    with raises_exactly(ValueError, 'unknown native table "a\\"b"'):
        plan.unpack("a\"b", holder_bytes)


def test_unknown_root_is_reported_before_the_buffer_is_read(plan):
    with raises_exactly(ValueError, 'unknown native table "Missing"'):
        plan.unpack("Missing", "not bytes")
    with raises_exactly(ValueError, 'unknown native table "Missing"'):
        plan.unpack_view("Missing", object(), 3)


def test_model_types_of_another_root(plan, holder_bytes):
    types = plan.model_types(Leaf, MyLeaf, [])
    with raises_exactly(TypeError, "native model types belong to a different root"):
        plan.unpack("Holder", holder_bytes, model_types=types)
    with raises_exactly(TypeError, "native model types belong to a different view type"):
        plan.unpack_view("Holder", holder_bytes, root_position(holder_bytes), model_types=types)


def test_model_types_of_another_plan_with_the_same_document(plan, holder_bytes):
    other = new_plan()
    types = other.model_types(Holder, Holder, [])
    with raises_exactly(TypeError, "native model types belong to a different root"):
        plan.unpack("Holder", holder_bytes, model_types=types)
    with raises_exactly(TypeError, "native model types belong to a different view type"):
        plan.unpack_view("Holder", holder_bytes, root_position(holder_bytes), model_types=types)
    assert type(other.unpack("Holder", holder_bytes, model_types=types)) is Holder


def test_foreign_model_types_are_reported_before_the_buffer_is_read(plan):
    types = plan.model_types(Leaf, Leaf, [])
    with raises_exactly(TypeError, "native model types belong to a different root"):
        plan.unpack("Holder", "not bytes", model_types=types)
    with raises_exactly(TypeError, "native model types belong to a different view type"):
        plan.unpack_view("Point", "not bytes", 0, model_types=types)


def test_root_class_must_be_bound(holder_bytes):
    with raises_exactly(RuntimeError, 'native type "Holder" is not bound'):
        new_plan(types=None).unpack("Holder", holder_bytes)
    with raises_exactly(RuntimeError, 'native type "Point" is not bound'):
        new_plan(types=None).unpack_view("Point", holder_bytes, 0)
    partial = new_plan({"Leaf": Leaf, "Point": Point})
    with raises_exactly(RuntimeError, 'native type "Holder" is not bound'):
        partial.unpack("Holder", "not bytes")


def test_child_class_is_looked_up_only_when_the_child_is_present(holder_bytes):
    partial = new_plan({"Holder": Holder, "Point": Point})
    with raises_exactly(RuntimeError, 'native type "Leaf" is not bound'):
        partial.unpack("Holder", holder_bytes)
    only_point = bytes(new_plan().pack("Holder", Holder(point=Point(x=1, y=2))))
    got = partial.unpack("Holder", only_point)
    assert (got.point, got.leaf, got.leaves) == (Point(x=1, y=2), None, None)


# --- table and struct roots -----------------------------------------------------------------------


def test_struct_root_is_refused_by_unpack(plan, holder_bytes):
    with raises_exactly(TypeError, "Point is a struct, not a table"):
        plan.unpack("Point", holder_bytes)


def test_struct_root_is_refused_after_the_header_is_read(plan):
    with raises_exactly(BufferBoundsError, bounds_message("root offset", 0, 4, 2)):
        plan.unpack("Point", b"\x00\x00")


def test_unpack_view_decodes_a_struct_at_its_position(plan):
    data = b"\xff" * 5 + (7).to_bytes(4, "little", signed=True) + (-8).to_bytes(4, "little", signed=True)
    assert plan.unpack_view("Point", data, 5) == Point(x=7, y=-8)
    with raises_exactly(BufferBoundsError, bounds_message("struct data", 6, 8, 13)):
        plan.unpack_view("Point", data, 6)
    with raises_exactly(BufferBoundsError, bounds_message("struct data", 2**63 - 1, 8, 13)):
        plan.unpack_view("Point", data, 2**63 - 1)


def test_unpack_view_decodes_a_struct_inside_a_packed_table(plan, holder_bytes):
    position = root_position(holder_bytes)
    holder = plan.unpack_view("Holder", holder_bytes, position)
    assert holder == expected_holder()
    # The inline struct of slot 0 sits at the table position plus its vtable entry.
    vtable = position - int.from_bytes(holder_bytes[position:position + 4], "little", signed=True)
    entry = int.from_bytes(holder_bytes[vtable + 4:vtable + 6], "little")
    assert plan.unpack_view("Point", holder_bytes, position + entry) == Point(x=3, y=-4)


def test_unpack_view_of_a_table_takes_no_header(plan, holder_bytes):
    with raises_exactly(BufferBoundsError, bounds_message("int32", len(holder_bytes), 4, len(holder_bytes))):
        plan.unpack_view("Holder", holder_bytes, len(holder_bytes))
    img = Image().vtable(0, table_size=4).table(4, vtable=0)
    assert plan.unpack_view("Leaf", img.bytes(), 4) == Leaf()


def test_unpack_view_with_model_types(plan, holder_bytes):
    types = plan.model_types(Holder, Holder, [(Holder, Holder, "leaf", Leaf, MyLeaf)])
    got = plan.unpack_view("Holder", holder_bytes, root_position(holder_bytes), model_types=types)
    assert type(got.leaf) is MyLeaf
    assert [type(x) for x in got.leaves] == [Leaf, Leaf]
    got = plan.unpack_view("Leaf", Image().vtable(0, table_size=4).table(4, vtable=0).bytes(), 4,
                           model_types=plan.model_types(Leaf, MyLeaf, []))
    assert type(got) is MyLeaf


# --- buffer objects -------------------------------------------------------------------------------


def test_bytes(plan, holder_bytes):
    assert plan.unpack("Holder", holder_bytes) == expected_holder()


def test_bytes_subclass(plan, holder_bytes):
    class Payload(bytes):
        pass

    assert plan.unpack("Holder", Payload(holder_bytes)) == expected_holder()


def test_memoryview_over_bytes_and_its_contiguous_slices(plan):
    data = bytes(plan.pack("Holder", expected_holder(), size_prefixed=True))
    view = memoryview(data)
    assert plan.unpack("Holder", view, size_prefixed=True) == expected_holder()
    assert plan.unpack("Holder", view[4:]) == expected_holder()
    assert plan.unpack("Holder", memoryview(view[4:])) == expected_holder()
    assert plan.unpack("Holder", view.cast("c")[4:]) == expected_holder()


def test_released_memoryview_fails_as_python_does(plan, holder_bytes):
    view = memoryview(holder_bytes)
    view.release()
    with pytest.raises(ValueError) as info:
        plan.unpack("Holder", view)
    assert type(info.value) is ValueError
    assert "released memoryview" in str(info.value)


def test_view_returned_by_pack(plan):
    view = plan.pack("Holder", expected_holder(), size_prefixed=True)
    assert plan.unpack("Holder", view, size_prefixed=True) == expected_holder()
    assert plan.unpack("Holder", view[4:]) == expected_holder()
    assert plan.unpack("Holder", memoryview(view.obj)[4:]) == expected_holder()
    position = 4 + int.from_bytes(bytes(view[4:8]), "little")
    assert plan.unpack_view("Holder", view, position) == expected_holder()
    assert plan.unpack_view("Holder", view[4:], position - 4) == expected_holder()


def test_native_buffer_itself_is_copied_through_bytes(plan):
    owner = plan.pack("Holder", expected_holder()).obj
    assert plan.unpack("Holder", owner) == expected_holder()


@pytest.mark.parametrize("make_view", [
    lambda v: v[::-1],
    lambda v: v[::2],
    lambda v: v.cast("B", (2, len(v) // 2)),
], ids=["reversed", "strided", "two-dimensional"])
@pytest.mark.parametrize("owner", ["bytes", "pack"])
def test_views_that_are_not_one_dimensional_and_contiguous(plan, make_view, owner):
    view = plan.pack("Holder", expected_holder())
    if owner == "bytes":
        view = memoryview(bytes(view))
    with raises_exactly(TypeError, "byte vector fields must be one-dimensional and C-contiguous"):
        plan.unpack("Holder", make_view(view))
    with raises_exactly(TypeError, "byte vector fields must be one-dimensional and C-contiguous"):
        plan.unpack_view("Holder", make_view(view), 0)


@pytest.mark.parametrize("fmt", ["i", "b", "H", "d"])
@pytest.mark.parametrize("owner", ["bytes", "pack"])
def test_views_cast_to_another_format(plan, fmt, owner):
    view = plan.pack("Holder", expected_holder())
    if owner == "bytes":
        view = memoryview(bytes(view))
    view = view[:len(view) // 8 * 8]
    with raises_exactly(BufferError, "buffer contents are not compatible with u8"):
        plan.unpack("Holder", view.cast(fmt))
    with raises_exactly(BufferError, "buffer contents are not compatible with u8"):
        plan.unpack_view("Holder", view.cast(fmt), 0)


@pytest.mark.parametrize("convert", [
    bytearray,
    lambda d: memoryview(bytearray(d)),
    lambda d: np.frombuffer(d, np.uint8).copy(),
    lambda d: array.array("B", d),
    lambda d: memoryview(array.array("B", d)),
], ids=["bytearray", "view of bytearray", "numpy", "array", "view of array"])
def test_other_buffers_are_read_through_a_copy(plan, holder_bytes, convert):
    assert plan.unpack("Holder", convert(holder_bytes)) == expected_holder()
    position = root_position(holder_bytes)
    assert plan.unpack_view("Holder", convert(holder_bytes), position) == expected_holder()


def test_bytearray_is_copied_before_decoding_runs_python_code(holder_bytes):
    data = bytearray(holder_bytes)

    class Wiping(Leaf):
        def __init__(self, **values):
            data[:] = bytes(len(data))
            super().__init__(**values)

    plan = new_plan({**TYPES, "Leaf": Wiping})
    got = plan.unpack("Holder", data)
    assert [(x.name, x.value) for x in got.leaves] == [("a", 2), ("b", 3)]
    assert got.leaf.name == "one"


def test_object_with_dunder_bytes(plan, holder_bytes):
    class Source:
        def __bytes__(self):
            return holder_bytes

    assert plan.unpack("Holder", Source()) == expected_holder()


def test_error_of_bytes_conversion_passes_through(plan):
    class Broken:
        def __bytes__(self):
            raise LookupError("no bytes here")

    with pytest.raises(LookupError, match="^no bytes here$"):
        plan.unpack("Holder", Broken())


def test_int_is_read_as_that_many_zero_bytes(plan):
    with raises_exactly(InvalidBufferError, "root table offset is null"):
        plan.unpack("Holder", 10)
    with raises_exactly(BufferBoundsError, bounds_message("root offset", 0, 4, 3)):
        plan.unpack("Holder", 3)
    with raises_exactly(BufferBoundsError, bounds_message("int32", 10, 4, 10)):
        plan.unpack_view("Holder", 10, 10)


@pytest.mark.parametrize("value", ["text", None, 1.5, [256], object()])
def test_objects_without_bytes_fail_as_bytes_does(plan, value):
    with pytest.raises(Exception) as expected:
        bytes(value)
    with pytest.raises(type(expected.value)) as info:
        plan.unpack("Holder", value)
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    if isinstance(value, str):
        assert type(info.value) is TypeError
