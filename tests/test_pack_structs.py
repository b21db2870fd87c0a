"""Structs written by NativePlan.pack: inline struct fields, nested structs, fixed arrays of
scalars and of structs, and struct vectors."""

import ctypes
import struct

import numpy as np
import pytest
from trevalin import Struct

import packing
from fbplans import member, ref, struct as struct_obj, table
from isolated import run_python


class F8(Struct):
    f: float = 0.0
    b: int = 0


class Tri(Struct):
    v: object = None


class Bits(Struct):
    bits: object = None


class Pt(Struct):
    x: int = 0
    y: int = 0


class Seg(Struct):
    a: Pt = None
    b: Pt = None
    pts: object = None


class Wide(Struct):
    v: int = 0


class Nothing(Struct):
    none: object = None


class Empty(Struct):
    pass


class EmptyHolder(Struct):
    e: Empty = None
    es: list = None


class Named(Struct):
    name: str = ""


class Popping:
    """A struct model whose `x` shortens the list it sits in when read."""

    def __init__(self, owner, n):
        self.owner, self.n = owner, n

    @property
    def x(self):
        self.owner.pop()
        return self.n

    y = 0


class Holder(Struct):
    f8: F8 = None
    tri: Tri = None
    bits: Bits = None
    seg: Seg = None
    wide: Wide = None
    f8s: list = None
    wides: list = None
    tris: list = None
    nothing: Nothing = None
    named: Named = None
    holder: object = None
    pops: list = None


OBJECTS = [
    struct_obj("F8", [member("f", "scalar", 0, "float32"), member("b", "scalar", 4, "int8")], 8, 4),
    struct_obj("Tri", [member("v", "array_scalar", 0, "int32", fixed_length=3, element_size=4)], 12, 4),
    struct_obj("Bits", [member("bits", "array_scalar", 0, "bool", fixed_length=4, element_size=1)], 4, 1),
    struct_obj("Pt", [member("x", "scalar", 0, "int16"), member("y", "scalar", 2, "int16")], 4, 2),
    struct_obj("Seg", [
        member("a", "struct", 0, target="Pt"),
        member("b", "struct", 4, target="Pt"),
        member("pts", "array_struct", 8, target="Pt", fixed_length=2, element_size=4),
    ], 16, 2),
    struct_obj("Wide", [member("v", "scalar", 0, "int64")], 16, 16),
    struct_obj("Nothing", [member("none", "array_scalar", 0, "int32", fixed_length=0, element_size=4)], 4, 4),
    struct_obj("Named", [member("name", "string", 0)], 4, 4),
    struct_obj("PopPt", [member("x", "scalar", 0, "int16"), member("y", "scalar", 2, "int16")], 4, 2),
    table("Holder", [
        ref("f8", "struct", 0, target="F8"),
        ref("tri", "struct", 1, target="Tri"),
        ref("bits", "struct", 2, target="Bits"),
        ref("seg", "struct", 3, target="Seg"),
        ref("wide", "struct", 4, target="Wide"),
        ref("f8s", "vector_struct", 5, target="F8"),
        ref("wides", "vector_struct", 6, target="Wide"),
        ref("tris", "vector_struct", 7, target="Tri"),
        ref("nothing", "struct", 8, target="Nothing"),
        ref("named", "struct", 9, target="Named"),
        ref("holder", "struct", 10, target="Holder"),
        ref("pops", "vector_struct", 11, target="PopPt"),
    ]),
    struct_obj("Empty", [], 0, 1),
    table("EmptyHolder", [ref("e", "struct", 0, target="Empty"), ref("es", "vector_struct", 1, target="Empty")]),
]

SIZES = {"f8": 8, "tri": 12, "bits": 4, "seg": 16, "nothing": 4}
SLOTS = {"f8": 0, "tri": 1, "bits": 2, "seg": 3, "nothing": 8}


def make_plan():
    return packing.make_plan(OBJECTS, {
        "F8": F8, "Tri": Tri, "Bits": Bits, "Pt": Pt, "Seg": Seg, "Wide": Wide, "Nothing": Nothing,
        "Named": Named, "PopPt": Popping, "Holder": Holder, "Empty": Empty, "EmptyHolder": EmptyHolder,
    })


@pytest.fixture(scope="module")
def plan():
    return make_plan()


def inline(plan, name, value):
    """The bytes of the inline struct field ``name`` holding ``value``."""
    view = plan.pack("Holder", Holder(**{name: value}))
    return packing.struct_bytes(packing.root(view), SLOTS[name], SIZES[name])


# --- scalars and padding --------------------------------------------------------------------------


def test_float_and_byte_with_zero_padding(plan):
    assert inline(plan, "f8", F8(f=1.5, b=-2)) == struct.pack("<fb3x", 1.5, -2)


def test_float32_member_is_rounded(plan):
    assert inline(plan, "f8", F8(f=0.1, b=0)) == struct.pack("<fb3x", 0.1, 0)


def test_struct_at_zero_is_still_written(plan):
    view = plan.pack("Holder", Holder(f8=F8()))
    assert packing.present(packing.root(view), 0)
    assert packing.struct_bytes(packing.root(view), 0, 8) == bytes(8)


def test_scalar_member_holding_none(plan):
    with pytest.raises(TypeError):
        plan.pack("Holder", Holder(f8=F8(f=1.0, b=None)))


def test_scalar_member_out_of_range(plan):
    with pytest.raises(OverflowError):
        plan.pack("Holder", Holder(f8=F8(f=1.0, b=128)))


# --- nested structs and struct arrays -------------------------------------------------------------


def test_nested_structs_and_struct_array(plan):
    seg = Seg(a=Pt(x=1, y=-1), b=Pt(x=300, y=-300), pts=[Pt(x=5, y=6), Pt(x=-7, y=8)])
    assert inline(plan, "seg", seg) == struct.pack("<8h", 1, -1, 300, -300, 5, 6, -7, 8)


def test_struct_array_from_tuple(plan):
    seg = Seg(a=Pt(), b=Pt(), pts=(Pt(x=1), Pt(y=2)))
    assert inline(plan, "seg", seg)[8:] == struct.pack("<4h", 1, 0, 0, 2)


def test_nested_struct_holding_none(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(seg=Seg(a=None, b=Pt(), pts=[Pt(), Pt()])))
    assert str(info.value) == "NoneType does not have exactly one generated FlatBuffer model base"


def test_nested_struct_of_another_model(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(seg=Seg(a=Pt(), b=F8(), pts=[Pt(), Pt()])))
    assert str(info.value) == "F8 must subclass Pt"


def test_struct_array_element_of_another_model(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(seg=Seg(a=Pt(), b=Pt(), pts=[Pt(), F8()])))
    assert str(info.value) == "F8 must subclass Pt"


@pytest.mark.parametrize("count", [1, 3])
def test_struct_array_length_mismatch(plan, count):
    with pytest.raises(ValueError) as info:
        plan.pack("Holder", Holder(seg=Seg(a=Pt(), b=Pt(), pts=[Pt()] * count)))
    assert str(info.value) == f"fixed array requires 2 items, got {count}"


def test_struct_field_whose_target_is_a_table(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(holder=Holder()))
    assert str(info.value) == "Holder is a table, not a struct"


def test_struct_member_of_an_unsupported_kind(plan):
    with pytest.raises(NotImplementedError) as info:
        plan.pack("Holder", Holder(named=Named(name="x")))
    assert str(info.value) == "unsupported native struct field"


# --- fixed scalar arrays --------------------------------------------------------------------------


def test_int_array_from_list(plan):
    assert inline(plan, "tri", Tri(v=[1, -2, 2**31 - 1])) == struct.pack("<3i", 1, -2, 2**31 - 1)


def test_int_array_from_numpy(plan):
    assert inline(plan, "tri", Tri(v=np.array([4, 5, 6], dtype=np.int32))) == struct.pack("<3i", 4, 5, 6)


def test_int_array_from_strided_numpy(plan):
    values = np.arange(6, dtype=np.int32)[::2]
    assert inline(plan, "tri", Tri(v=values)) == struct.pack("<3i", 0, 2, 4)


def test_int_array_from_ctypes(plan):
    assert inline(plan, "tri", Tri(v=(ctypes.c_int32 * 3)(7, 8, 9))) == struct.pack("<3i", 7, 8, 9)


def test_int_array_from_array_module():
    out = run_python("""
import array
import test_pack_structs as t
print(t.inline(t.make_plan(), "tri", t.Tri(v=array.array("i", [1, 2, 3]))).hex())
""")
    assert out == struct.pack("<3i", 1, 2, 3).hex()


@pytest.mark.parametrize("values, got", [([1, 2], 2), ([1, 2, 3, 4], 4), ([], 0)])
def test_fixed_array_length_mismatch(plan, values, got):
    with pytest.raises(ValueError) as info:
        plan.pack("Holder", Holder(tri=Tri(v=values)))
    assert str(info.value) == f"fixed array requires 3 items, got {got}"


def test_fixed_array_length_mismatch_from_numpy(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Holder", Holder(tri=Tri(v=np.zeros(2, dtype=np.int32))))
    assert str(info.value) == "fixed array requires 3 items, got 2"


@pytest.mark.parametrize("values", [np.zeros(3, dtype=np.int64), np.zeros((3, 1), dtype=np.int32),
                                    np.zeros(3, dtype=">i4")])
def test_int_array_refuses_other_native_data(plan, values):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(tri=Tri(v=values)))
    assert str(info.value) == "numeric array field requires one-dimensional native Int32 data"


def test_int_array_given_str(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(tri=Tri(v="123")))
    assert str(info.value) == "Can't extract `str` to `Vec`"


def test_int_array_element_out_of_range(plan):
    with pytest.raises(OverflowError):
        plan.pack("Holder", Holder(tri=Tri(v=[0, 0, 2**31])))


def test_int_array_given_none(plan):
    with pytest.raises(TypeError):
        plan.pack("Holder", Holder(tri=Tri(v=None)))


def test_empty_fixed_array(plan):
    assert inline(plan, "nothing", Nothing(none=[])) == bytes(4)


def test_bool_array_from_numpy(plan):
    assert inline(plan, "bits", Bits(bits=np.array([True, False, True, True]))) == b"\x01\x00\x01\x01"


def test_bool_array_from_list(plan):
    assert inline(plan, "bits", Bits(bits=[False, True, np.True_, False])) == b"\x00\x01\x01\x00"


def test_bool_array_refuses_ints_in_a_list(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(bits=Bits(bits=[False, 1, False, False])))
    assert str(info.value) == "'int' object is not an instance of 'bool'"


@pytest.mark.parametrize("values", [np.zeros((2, 2), dtype=np.bool_), np.zeros(4, dtype=np.int8),
                                    (ctypes.c_bool * 4)()])
def test_bool_array_refuses_other_native_data(plan, values):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(bits=Bits(bits=values)))
    assert str(info.value) == "numeric array field requires one-dimensional native Bool data"


# --- alignment ------------------------------------------------------------------------------------


def test_struct_alignment_sixteen_is_unsupported(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Holder", Holder(wide=Wide(v=1)))
    assert str(info.value) == "unsupported native struct alignment 16"


def test_struct_vector_alignment_sixteen_is_unsupported(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Holder", Holder(wides=[Wide(v=1)]))
    assert str(info.value) == "unsupported native struct alignment 16"


# --- struct vectors -------------------------------------------------------------------------------


def test_struct_vector_of_twelve_byte_structs(plan):
    tris = [Tri(v=[i, i + 1, i + 2]) for i in (0, 10, 20)]
    tab = packing.root(plan.pack("Holder", Holder(tris=tris)))
    start, count = packing.vector(tab, 7)
    assert count == 3
    assert packing.vector_raw(tab, 7, 12) == struct.pack("<9i", 0, 1, 2, 10, 11, 12, 20, 21, 22)


def test_struct_vector_padding_is_zero(plan):
    tab = packing.root(plan.pack("Holder", Holder(f8s=[F8(f=1.0, b=1), F8(f=2.0, b=-1)])))
    assert packing.vector_raw(tab, 5, 8) == struct.pack("<fb3xfb3x", 1.0, 1, 2.0, -1)


@pytest.mark.parametrize("model", [EmptyHolder(e=Empty()), EmptyHolder(es=[Empty()] * 3)], ids=["field", "vector"])
def test_struct_of_size_zero(plan, model):
    view = plan.pack("EmptyHolder", model)
    assert plan.unpack("EmptyHolder", view) == model


def test_empty_struct_vector(plan):
    tab = packing.root(plan.pack("Holder", Holder(f8s=[])))
    assert packing.vector(tab, 5)[1] == 0


def test_struct_vector_element_none(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(f8s=[F8(), None]))
    assert str(info.value) == "NoneType does not have exactly one generated FlatBuffer model base"


def test_struct_vector_element_of_another_model(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(f8s=[F8(), Pt()]))
    assert str(info.value) == "Pt must subclass F8"


def test_struct_vector_shrinking_during_the_walk(plan):
    items = []
    items.extend(Popping(items, n) for n in range(4))
    try:
        view = plan.pack("Holder", Holder(pops=items), initial_size=256)
    except (ValueError, RuntimeError):
        return  # refusing the changed list is acceptable
    tab = packing.root(view)
    start, count = packing.vector(tab, 11)
    # Each walked element wrote its x; the count must describe exactly the elements written.
    assert count == 2
    assert packing.vector_raw(tab, 11, 4) == struct.pack("<4h", 0, 0, 1, 0)
