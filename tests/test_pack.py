"""NativePlan.pack: argument checks, root and model checks, the NativeBuffer that owns the result,
and the element counts of vectors written as raw bytes."""

import ctypes
import gc
import struct

import flatbuffers.number_types as N
import numpy as np
import pytest
from trevalin import Struct

import packing
from fbplans import member, ref, struct as struct_obj, table
from quorvel._native import NativeBuffer, NativePlan

IDENTIFIER_ERROR = "FlatBuffers file identifiers must contain four ASCII bytes"
INITIAL_SIZE_ERROR = "initial_size must be greater than or equal to zero"
SIZE_LIMIT_ERROR = "initial FlatBuffer size exceeds the 2 GiB format limit"


class Empty(Struct):
    pass


class Vec(Struct):
    x: float = 0.0
    y: float = 0.0


class Numbers(Struct):
    ints: object = None
    longs: object = None
    floats: object = None
    shorts: object = None
    vecs: list = None
    child: "Numbers" = None
    label: str = None


OBJECTS = [
    table("Empty", []),
    struct_obj("Vec", [member("x", "scalar", 0, "float32"), member("y", "scalar", 4, "float32")], 8, 4),
    table("Numbers", [
        ref("ints", "vector_scalar", 0, scalar="int32"),
        ref("longs", "vector_scalar", 1, scalar="int64"),
        ref("floats", "vector_scalar", 2, scalar="float32"),
        ref("shorts", "vector_scalar", 3, scalar="int16"),
        ref("vecs", "vector_struct", 4, target="Vec"),
        ref("child", "table", 5, target="Numbers"),
        ref("label", "string", 6),
    ]),
]


@pytest.fixture(scope="module")
def plan():
    return packing.make_plan(OBJECTS, {"Empty": Empty, "Vec": Vec, "Numbers": Numbers})


# --- arguments ----------------------------------------------------------------------------------


def test_negative_initial_size(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Empty", Empty(), initial_size=-1)
    assert str(info.value) == INITIAL_SIZE_ERROR


def test_negative_initial_size_is_reported_before_a_bad_identifier(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Empty", Empty(), identifier="toolong", initial_size=-5)
    assert str(info.value) == INITIAL_SIZE_ERROR


@pytest.mark.parametrize("identifier", ["", "abc", "abcde", "abé", "abcé", "\x80abc", "ÿÿÿÿ"])
def test_identifier_must_be_four_ascii_bytes(plan, identifier):
    with pytest.raises(ValueError) as info:
        plan.pack("Empty", Empty(), identifier=identifier)
    assert str(info.value) == IDENTIFIER_ERROR


@pytest.mark.parametrize("identifier", ["ABCD", "a\x00b\x00", "\x00\x00\x00\x00", "\x7f~ !"])
def test_identifier_is_written_after_the_root_offset(plan, identifier):
    data = bytes(plan.pack("Empty", Empty(), identifier=identifier))
    assert data[4:8] == identifier.encode()
    assert packing.root(data).Pos == struct.unpack_from("<I", data, 0)[0]
    data = bytes(plan.pack("Empty", Empty(), identifier=identifier, size_prefixed=True))
    assert data[8:12] == identifier.encode()


def test_identifier_is_checked_before_the_size_limit(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Empty", Empty(), identifier="abc", initial_size=2**31 + 1)
    assert str(info.value) == IDENTIFIER_ERROR


@pytest.mark.parametrize("initial_size", [2**31 + 1, 2**62, 2**63 - 1])
def test_initial_size_above_two_gib(plan, initial_size):
    with pytest.raises(ValueError) as info:
        plan.pack("Empty", Empty(), initial_size=initial_size)
    assert str(info.value) == SIZE_LIMIT_ERROR


def test_initial_size_of_exactly_two_gib_is_accepted(plan):
    view = plan.pack("Empty", Empty(), initial_size=2**31)
    assert view.obj._allocation_size == 2**31
    assert bytes(view) == bytes(plan.pack("Empty", Empty()))
    del view


def test_initial_size_none_is_refused(plan):
    with pytest.raises(TypeError):
        plan.pack("Empty", Empty(), initial_size=None)


def test_argument_checks_run_before_the_root_lookup(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Missing", object(), initial_size=-1)
    assert str(info.value) == INITIAL_SIZE_ERROR


def test_unknown_root(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Missing", Empty())
    assert str(info.value) == 'unknown native table "Missing"'


def test_model_of_another_object(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Empty", Numbers())
    assert str(info.value) == "Numbers must subclass Empty"


def test_model_without_a_bound_class(plan):
    class Loose:
        pass

    with pytest.raises(TypeError) as info:
        plan.pack("Empty", Loose())
    assert str(info.value) == "Loose does not have exactly one generated FlatBuffer model base"


def test_subclass_of_a_bound_class_is_packed(plan):
    class Labelled(Numbers):
        pass

    view = plan.pack("Numbers", Labelled(label="sub"))
    assert packing.string(packing.root(view), 6) == b"sub"


def test_pack_before_binding():
    from fbplans import plan_bytes

    plan = NativePlan(plan_bytes(OBJECTS))
    with pytest.raises(RuntimeError) as info:
        plan.pack("Empty", Empty())
    assert str(info.value) == "native model types are not bound"


# --- the result and its NativeBuffer ---------------------------------------------------------------


def test_result_is_a_read_only_byte_view_over_a_native_buffer(plan):
    view = plan.pack("Numbers", Numbers(label="x", ints=[1, 2]))
    assert isinstance(view, memoryview)
    assert type(view.obj) is NativeBuffer
    assert view.readonly
    assert view.format == "B" and view.itemsize == 1 and view.ndim == 1
    assert view.shape == (len(view),) and view.strides == (1,)
    assert view.c_contiguous


def test_view_length_and_allocation_size(plan):
    view = plan.pack("Numbers", Numbers(label="abc"))
    owner = view.obj
    again = memoryview(owner)
    assert bytes(again) == bytes(view)
    assert len(again) == len(view)
    assert owner._allocation_size >= len(view)
    assert isinstance(owner._allocation_size, int)


def test_allocation_size_is_read_only(plan):
    owner = plan.pack("Empty", Empty()).obj
    with pytest.raises(AttributeError):
        owner._allocation_size = 1


def test_native_buffer_cannot_be_constructed():
    with pytest.raises(TypeError):
        NativeBuffer()


def test_writing_through_the_view_is_refused(plan):
    view = plan.pack("Empty", Empty())
    with pytest.raises(TypeError):
        view[0] = 1


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


PyBUF_SIMPLE, PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0, 0x1, 0x4, 0x8, 0x18
get_buffer = ctypes.pythonapi.PyObject_GetBuffer
get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
get_buffer.restype = ctypes.c_int
release_buffer = ctypes.pythonapi.PyBuffer_Release
release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
release_buffer.restype = None


def test_writable_buffer_request_is_refused(plan):
    owner = plan.pack("Empty", Empty()).obj
    for flags in (PyBUF_WRITABLE, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES):
        with pytest.raises(BufferError) as info:
            get_buffer(owner, ctypes.byref(PyBuffer()), flags)
        assert str(info.value) == "native FlatBuffer is read-only"


@pytest.mark.parametrize(
    "flags, has_format, has_shape, has_strides",
    [
        (PyBUF_SIMPLE, False, False, False),
        (PyBUF_FORMAT, True, False, False),
        (PyBUF_ND, False, True, False),
        (PyBUF_STRIDES, False, True, True),
        (PyBUF_STRIDES | PyBUF_FORMAT, True, True, True),
    ],
)
def test_buffer_request_fields(plan, flags, has_format, has_shape, has_strides):
    view = plan.pack("Numbers", Numbers(label="fields"))
    owner = view.obj
    buf = PyBuffer()
    assert get_buffer(owner, ctypes.byref(buf), flags) == 0
    try:
        assert buf.len == len(view)
        assert ctypes.string_at(buf.buf, buf.len) == bytes(view)
        assert (buf.itemsize, buf.readonly, buf.ndim) == (1, 1, 1)
        assert (buf.format == b"B") if has_format else (buf.format is None)
        assert bool(buf.shape) == has_shape
        if has_shape:
            assert buf.shape[0] == buf.len
        assert bool(buf.strides) == has_strides
        if has_strides:
            assert buf.strides[0] == 1
        assert not buf.suboffsets
    finally:
        release_buffer(ctypes.byref(buf))


def test_bytes_outlive_the_first_view(plan):
    view = plan.pack("Numbers", Numbers(label="keep", ints=[4, 5, 6]))
    expected = bytes(view)
    second = view[4:]
    third = memoryview(view.obj)
    del view
    gc.collect()
    assert bytes(second) == expected[4:]
    assert bytes(third) == expected


def test_small_initial_size_still_gives_the_same_buffer(plan):
    model = Numbers(
        label="grow" * 50, ints=list(range(100)), longs=np.arange(40, dtype=np.int64),
        vecs=[Vec(x=1.0, y=2.0)] * 30, child=Numbers(floats=[1.5] * 20),
    )
    expected = bytes(plan.pack("Numbers", model))
    for initial_size in (1, True, 7, 64):
        view = plan.pack("Numbers", model, initial_size=initial_size)
        assert bytes(view) == expected
        assert view.obj._allocation_size >= len(view)


@pytest.mark.parametrize("initial_size", [4096, 1001])
def test_explicit_initial_size_is_the_allocation(plan, initial_size):
    # Taken as given, rounded up to the builder's block granularity of 8 bytes.
    view = plan.pack("Numbers", Numbers(label="roomy"), initial_size=initial_size)
    assert view.obj._allocation_size == -(-initial_size // 8) * 8
    assert len(view) < initial_size


# --- element counts of raw vectors ---------------------------------------------------------------


@pytest.mark.parametrize("identifier", [None, "FIXU"])
@pytest.mark.parametrize("size_prefixed", [False, True])
def test_vector_prefix_holds_the_element_count(plan, identifier, size_prefixed):
    view = plan.pack("Numbers", Numbers(ints=[7, 8, 9]), identifier=identifier, size_prefixed=size_prefixed)
    tab = packing.root(view, size_prefixed=size_prefixed)
    start, count = packing.vector(tab, 0)
    assert count == 3
    assert struct.unpack_from("<I", bytes(view), start - 4)[0] == 3
    assert packing.scalar_vector(tab, 0, N.Int32Flags) == [7, 8, 9]


@pytest.mark.parametrize("initial_size", [0, 1, 100])
def test_every_raw_vector_gets_its_count(plan, initial_size):
    model = Numbers(
        ints=np.array([1, -2, 3, -4, 5], dtype=np.int32),
        longs=np.array([2**40, -(2**40)], dtype=np.int64),
        floats=[0.5],
        shorts=np.arange(9, dtype=np.int16),
        vecs=[Vec(x=1.0, y=2.0), Vec(x=3.0, y=4.0), Vec(x=5.0, y=6.0)],
        child=Numbers(ints=[10, 20], vecs=[Vec(x=7.0, y=8.0)], child=Numbers(longs=[1, 2, 3, 4])),
    )
    view = plan.pack("Numbers", model, identifier="CNTS", size_prefixed=True, initial_size=initial_size)
    tab = packing.root(view, size_prefixed=True)
    assert packing.scalar_vector(tab, 0, N.Int32Flags) == [1, -2, 3, -4, 5]
    assert packing.scalar_vector(tab, 1, N.Int64Flags) == [2**40, -(2**40)]
    assert packing.scalar_vector(tab, 2, N.Float32Flags) == [0.5]
    assert packing.scalar_vector(tab, 3, N.Int16Flags) == list(range(9))
    assert packing.vector(tab, 4)[1] == 3
    assert packing.vector_raw(tab, 4, 8) == struct.pack("<6f", 1, 2, 3, 4, 5, 6)
    child = packing.table(tab, 5)
    assert packing.scalar_vector(child, 0, N.Int32Flags) == [10, 20]
    assert packing.vector(child, 4)[1] == 1
    grandchild = packing.table(child, 5)
    assert packing.scalar_vector(grandchild, 1, N.Int64Flags) == [1, 2, 3, 4]


def test_empty_raw_vectors_have_count_zero(plan):
    view = plan.pack("Numbers", Numbers(ints=[], longs=np.zeros(0, np.int64), vecs=[]))
    tab = packing.root(view)
    assert packing.vector(tab, 0)[1] == 0
    assert packing.vector(tab, 1)[1] == 0
    assert packing.vector(tab, 4)[1] == 0
