"""Numeric and byte vector fields of NativePlan.pack: native buffers of matching formats, Python
sequences, and the many byte-like inputs of byte vectors.

Inputs whose buffer export points into the request structure itself (array.array, bytes and
bytearray on the buffer path, a NativeBuffer object) are packed in a separate interpreter, since
they have crashed the process."""

import ctypes
import math
import struct

import flatbuffers.number_types as N
import numpy as np
import pytest
from trevalin import Struct

import packing
from fbplans import ref, table
from isolated import run_python

KINDS = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64"]
NAMES = ["Bool", "Int8", "Uint8", "Int16", "Uint16", "Int32", "Uint32", "Int64", "Uint64", "Float32", "Float64"]
FLAGS = {
    "bool": N.BoolFlags, "int8": N.Int8Flags, "uint8": N.Uint8Flags, "int16": N.Int16Flags,
    "uint16": N.Uint16Flags, "int32": N.Int32Flags, "uint32": N.Uint32Flags, "int64": N.Int64Flags,
    "uint64": N.Uint64Flags, "float32": N.Float32Flags, "float64": N.Float64Flags,
}
DTYPES = {
    "bool": np.bool_, "int8": np.int8, "uint8": np.uint8, "int16": np.int16, "uint16": np.uint16,
    "int32": np.int32, "uint32": np.uint32, "int64": np.int64, "uint64": np.uint64,
    "float32": np.float32, "float64": np.float64,
}
SAMPLES = {
    "bool": [True, False, True],
    "int8": [-128, 0, 127], "uint8": [0, 1, 255],
    "int16": [-32768, 7, 32767], "uint16": [0, 65535, 258],
    "int32": [-(2**31), 1, 2**31 - 1], "uint32": [0, 2**32 - 1, 65536],
    "int64": [-(2**63), 1, 2**63 - 1], "uint64": [0, 2**64 - 1, 2**32],
    "float32": [0.5, -1.25, 1e30], "float64": [0.1, -1e300, math.inf],
}


class Vectors(Struct):
    bool: object = None
    int8: object = None
    uint8: object = None
    int16: object = None
    uint16: object = None
    int32: object = None
    uint32: object = None
    int64: object = None
    uint64: object = None
    float32: object = None
    float64: object = None
    blob: object = None


BLOB_SLOT = len(KINDS)


def make_plan():
    fields = [ref(kind, "vector_scalar", slot, scalar=kind) for slot, kind in enumerate(KINDS)]
    fields.append(ref("blob", "vector_byte", BLOB_SLOT))
    return packing.make_plan([table("Vectors", fields)], {"Vectors": Vectors})


def pack(plan, **fields):
    return plan.pack("Vectors", Vectors(**fields))


def read(view, kind):
    """The elements of the vector field ``kind`` ("blob" gives bytes)."""
    tab = packing.root(view)
    if kind == "blob":
        return packing.vector_raw(tab, BLOB_SLOT, 1)
    return packing.scalar_vector(tab, KINDS.index(kind), FLAGS[kind])


def raw(view, kind):
    return packing.vector_raw(packing.root(view), KINDS.index(kind), FLAGS[kind].bytewidth)


def isolated(body):
    """Runs ``body`` in a fresh interpreter with ``t`` (this module) and ``plan`` defined."""
    return run_python("import test_pack_vectors as t\nplan = t.make_plan()\n" + body)


@pytest.fixture(scope="module")
def plan():
    return make_plan()


def f32(values):
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


def expected(kind, values):
    return f32(values) if kind == "float32" else list(values)


# --- native buffers -------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_numpy_array_of_the_declared_dtype(plan, kind):
    values = np.array(SAMPLES[kind], dtype=DTYPES[kind])
    view = pack(plan, **{kind: values})
    assert read(view, kind) == expected(kind, SAMPLES[kind])
    assert raw(view, kind) == values.tobytes()


def test_float64_array_prefix_holds_the_element_count(plan):
    view = pack(plan, float64=np.linspace(0.0, 1.0, 5))
    start, count = packing.vector(packing.root(view), KINDS.index("float64"))
    assert count == 5
    assert start % 8 == 0


@pytest.mark.parametrize(
    "kind, dtype",
    [
        ("int64", np.int32), ("int32", np.int64), ("int32", np.uint32), ("uint32", np.int32),
        ("float32", np.float64), ("float64", np.float32), ("uint8", np.int8), ("int8", np.uint8),
        ("int16", np.float16), ("uint64", np.int64), ("int64", np.float64),
    ],
)
def test_numpy_array_of_another_dtype_is_refused(plan, kind, dtype):
    with pytest.raises(TypeError) as info:
        pack(plan, **{kind: np.zeros(3, dtype=dtype)})
    assert str(info.value) == f"numeric vector field requires native {NAMES[KINDS.index(kind)]} data"


def test_big_endian_array_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, int32=np.array([1, 2], dtype=">i4"))
    assert str(info.value) == "numeric vector field requires native Int32 data"


def test_little_endian_prefix_is_accepted(plan):
    values = (ctypes.c_int32 * 3)(5, -6, 7)
    assert memoryview(values).format == "<i"
    assert read(pack(plan, int32=values), "int32") == [5, -6, 7]
    longs = (ctypes.c_int64 * 2)(-1, 2**62)
    assert read(pack(plan, int64=longs), "int64") == [-1, 2**62]


def test_big_endian_prefix_is_refused(plan):
    values = (ctypes.c_int32.__ctype_be__ * 2)(1, 2)
    with pytest.raises(TypeError) as info:
        pack(plan, int32=values)
    assert str(info.value) == "numeric vector field requires native Int32 data"


def test_native_long_format_follows_the_item_size(plan):
    values = np.array([1, -2], dtype=np.int64)
    assert memoryview(values).format == "l"
    assert read(pack(plan, int64=values), "int64") == [1, -2]
    with pytest.raises(TypeError) as info:
        pack(plan, int32=values)
    assert str(info.value) == "numeric vector field requires native Int32 data"


def test_array_of_longs_is_accepted_for_int64():
    out = isolated("""
import array
view = t.pack(plan, int64=array.array("l", [3, -4, 2**62]))
print(t.read(view, "int64"))
""")
    assert out == str([3, -4, 2**62])


def test_array_of_longs_is_refused_for_int32(plan):
    import array

    with pytest.raises(TypeError) as info:
        pack(plan, int32=array.array("l", [1]))
    assert str(info.value) == "numeric vector field requires native Int32 data"


ARRAY_CODES = {"int8": "b", "uint8": "B", "int16": "h", "uint16": "H", "int32": "i", "uint32": "I",
               "int64": "q", "uint64": "Q", "float32": "f", "float64": "d"}


@pytest.fixture(scope="module")
def array_module_packs():
    """The element bytes written for an array.array of each kind, packed in one separate run."""
    out = isolated(f"""
import array
from math import inf
for kind, code in {ARRAY_CODES!r}.items():
    view = t.pack(plan, **{{kind: array.array(code, t.SAMPLES[kind])}})
    print(kind, t.raw(view, kind).hex())
""")
    return dict(line.split() for line in out.splitlines())


@pytest.mark.parametrize("kind", sorted(ARRAY_CODES))
def test_array_module_arrays_pack_like_lists(plan, array_module_packs, kind):
    assert array_module_packs[kind] == raw(pack(plan, **{kind: SAMPLES[kind]}), kind).hex()


def test_bytes_for_uint8_take_the_buffer_path():
    out = isolated("""
view = t.pack(plan, uint8=b"\\x01\\x02\\xff")
print(t.read(view, "uint8"))
view = t.pack(plan, uint8=bytearray(b"\\x00\\x80"))
print(t.read(view, "uint8"))
""")
    assert out.splitlines() == ["[1, 2, 255]", "[0, 128]"]


def test_bytes_for_int8_are_refused_not_read_as_a_sequence(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, int8=b"\x01\x02")
    assert str(info.value) == "numeric vector field requires native Int8 data"


def test_two_dimensional_array_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, int32=np.zeros((2, 2), dtype=np.int32))
    assert str(info.value) == "numeric vector fields must be one-dimensional"


def test_dimension_is_checked_before_format(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, int32=np.zeros((2, 2), dtype=np.float64))
    assert str(info.value) == "numeric vector fields must be one-dimensional"


def test_zero_dimensional_array_is_refused(plan):
    scalar = np.array(5, dtype=np.int32)
    # The size estimate takes len() first; with an explicit size the writer sees the array.
    with pytest.raises(TypeError):
        pack(plan, int32=scalar)
    with pytest.raises(TypeError) as info:
        plan.pack("Vectors", Vectors(int32=scalar), initial_size=64)
    assert str(info.value) == "numeric vector fields must be one-dimensional"


@pytest.mark.parametrize("step", [2, 3, -1, -2])
def test_strided_slice_is_gathered(plan, step):
    base = np.arange(11, dtype=np.int64) * 10
    view = pack(plan, int64=base[::step])
    assert read(view, "int64") == base[::step].tolist()


def test_strided_memoryview_is_gathered(plan):
    base = np.arange(8, dtype=np.float64)
    view = pack(plan, float64=memoryview(base)[1::3])
    assert read(view, "float64") == [1.0, 4.0, 7.0]


# --- bool vectors ---------------------------------------------------------------------------------


def test_bool_vector_from_numpy(plan):
    values = np.array([True, False, False, True])
    view = pack(plan, bool=values)
    assert read(view, "bool") == [True, False, False, True]
    assert raw(view, "bool") == b"\x01\x00\x00\x01"


def test_bool_vector_strided(plan):
    values = np.array([True, False, False, True, True])
    assert read(pack(plan, bool=values[::2]), "bool") == [True, False, True]


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int32])
def test_bool_vector_refuses_numeric_arrays(plan, dtype):
    with pytest.raises(TypeError) as info:
        pack(plan, bool=np.array([1, 0], dtype=dtype))
    assert str(info.value) == "numeric vector field requires native Bool data"


def test_bool_vector_refuses_prefixed_format(plan):
    values = (ctypes.c_bool * 2)(True, False)
    assert memoryview(values).format == "<?"
    with pytest.raises(TypeError) as info:
        pack(plan, bool=values)
    assert str(info.value) == "numeric vector field requires native Bool data"


def test_bool_vector_checks_format_before_dimension(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, bool=np.zeros((2, 2), dtype=np.int8))
    assert str(info.value) == "numeric vector field requires native Bool data"
    with pytest.raises(TypeError) as info:
        pack(plan, bool=np.zeros((2, 2), dtype=np.bool_))
    assert str(info.value) == "numeric vector fields must be one-dimensional"


def test_bool_vector_from_sequence(plan):
    view = pack(plan, bool=[True, np.bool_(False), np.True_])
    assert raw(view, "bool") == b"\x01\x00\x01"


def test_bool_vector_refuses_ints_in_a_sequence(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, bool=[True, 1])
    assert str(info.value) == "'int' object is not an instance of 'bool'"


# --- sequences ------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_list_of_each_kind(plan, kind):
    assert read(pack(plan, **{kind: SAMPLES[kind]}), kind) == expected(kind, SAMPLES[kind])


def test_uint8_list_bytes(plan):
    assert raw(pack(plan, uint8=[1, 2, 3]), "uint8") == b"\x01\x02\x03"


def test_tuple_and_range_are_sequences(plan):
    assert read(pack(plan, int16=(1, -1)), "int16") == [1, -1]
    assert read(pack(plan, uint32=range(4)), "uint32") == [0, 1, 2, 3]


@pytest.mark.parametrize(
    "kind, value",
    [("uint8", 256), ("uint8", -1), ("int8", 128), ("int16", -32769), ("uint32", 2**32),
     ("int32", 2**31), ("uint64", -1), ("uint64", 2**64), ("int64", 2**63)],
)
def test_out_of_range_element(plan, kind, value):
    with pytest.raises(OverflowError):
        pack(plan, **{kind: [0, value]})


def test_float_element_in_an_integer_vector(plan):
    with pytest.raises(TypeError):
        pack(plan, int32=[1, 2.5])


def test_integer_elements_in_a_float_vector(plan):
    assert read(pack(plan, float64=[1, 2**53]), "float64") == [1.0, float(2**53)]


def test_float32_elements_are_rounded(plan):
    assert read(pack(plan, float32=[0.1, 1e40]), "float32") == [f32([0.1])[0], math.inf]


def test_str_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, int32="123")
    assert str(info.value) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("value", [5, {1, 2}, {1: 2}])
def test_non_sequence_is_refused(plan, value):
    with pytest.raises(TypeError):
        pack(plan, int32=value)


@pytest.mark.parametrize("kind", KINDS)
def test_empty_sequence(plan, kind):
    view = pack(plan, **{kind: []})
    assert packing.vector(packing.root(view), KINDS.index(kind))[1] == 0
    assert read(pack(plan, **{kind: np.zeros(0, dtype=DTYPES[kind])}), kind) == []


def test_list_shrinking_while_its_elements_convert(plan):
    values = []

    class Shrinking:
        def __init__(self, n):
            self.n = n

        def __index__(self):
            values.pop()
            return self.n

    values.extend([Shrinking(1), Shrinking(2), 3, 4])
    view = plan.pack("Vectors", Vectors(int32=values), initial_size=256)
    assert read(view, "int32") == [1, 2]


# --- byte vectors ---------------------------------------------------------------------------------


def test_bytes(plan):
    assert read(pack(plan, blob=b"\x00abc\xff"), "blob") == b"\x00abc\xff"


def test_empty_bytes(plan):
    view = pack(plan, blob=b"")
    assert packing.vector(packing.root(view), BLOB_SLOT)[1] == 0


def test_bytes_subclass(plan):
    class Payload(bytes):
        pass

    assert read(pack(plan, blob=Payload(b"sub")), "blob") == b"sub"


def test_memoryview_over_bytes_and_its_slices(plan):
    data = b"0123456789"
    assert read(pack(plan, blob=memoryview(data)), "blob") == data
    assert read(pack(plan, blob=memoryview(data)[2:5]), "blob") == b"234"
    assert read(pack(plan, blob=memoryview(data)[3:3]), "blob") == b""


def test_memoryview_over_a_native_buffer(plan):
    inner = pack(plan, int32=[1, 2, 3])
    assert read(pack(plan, blob=inner), "blob") == bytes(inner)
    assert read(pack(plan, blob=inner[4:]), "blob") == bytes(inner)[4:]
    assert read(pack(plan, blob=memoryview(inner.obj)), "blob") == bytes(inner)


def test_reversed_memoryview_over_bytes_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, blob=memoryview(b"abcd")[::-1])
    assert str(info.value) == "byte vector fields must be one-dimensional and C-contiguous"


def test_strided_memoryview_over_a_native_buffer_is_refused(plan):
    inner = pack(plan, uint8=[1, 2, 3, 4])
    with pytest.raises(TypeError) as info:
        pack(plan, blob=inner[::2])
    assert str(info.value) == "byte vector fields must be one-dimensional and C-contiguous"


def test_two_dimensional_memoryview_over_bytes_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, blob=memoryview(b"abcd").cast("B", (2, 2)))
    assert str(info.value) == "byte vector fields must be one-dimensional and C-contiguous"


def test_memoryview_over_bytes_cast_to_int_is_refused(plan):
    with pytest.raises(BufferError) as info:
        pack(plan, blob=memoryview(b"abcdefgh").cast("i"))
    assert str(info.value) == "buffer contents are not compatible with u8"


def test_memoryview_over_bytes_cast_to_char_is_accepted(plan):
    assert read(pack(plan, blob=memoryview(b"xy").cast("c")), "blob") == b"xy"


def test_non_contiguous_memoryview_over_bytearray_is_refused(plan):
    with pytest.raises(TypeError) as info:
        pack(plan, blob=memoryview(bytearray(b"abcdef"))[::2])
    assert str(info.value) == "byte vector fields must be one-dimensional and C-contiguous"


def test_contiguous_memoryview_over_bytearray(plan):
    data = bytearray(b"mutable")
    assert read(pack(plan, blob=memoryview(data)[1:4]), "blob") == b"uta"


def test_uint8_numpy_array(plan):
    assert read(pack(plan, blob=np.array([9, 8, 7], dtype=np.uint8)), "blob") == b"\x09\x08\x07"


def test_int_becomes_zero_bytes(plan):
    assert read(pack(plan, blob=3), "blob") == b"\x00\x00\x00"


def test_list_of_ints_goes_through_bytes(plan):
    assert read(pack(plan, blob=[1, 2, 255]), "blob") == b"\x01\x02\xff"


def test_array_of_another_format_goes_through_bytes(plan):
    values = np.array([1, 2], dtype=np.int32)
    assert read(pack(plan, blob=values), "blob") == values.tobytes()


def test_str_for_a_byte_vector(plan):
    with pytest.raises(TypeError):
        pack(plan, blob="text")


def test_bytearray_and_array_and_native_buffer_objects():
    out = isolated("""
import array
print(t.read(t.pack(plan, blob=bytearray(b"ba")), "blob").hex())
print(t.read(t.pack(plan, blob=array.array("B", [5, 6])), "blob").hex())
inner = t.pack(plan, uint8=[1])
print(t.read(t.pack(plan, blob=inner.obj), "blob") == bytes(inner))
""")
    assert out.splitlines() == ["6261", "0506", "True"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_interrupts_and_allocation_failures_while_exporting_bytes_pass_through(plan, error):
    class Exporter:
        calls = 0

        def __buffer__(self, flags):
            # Only the first export fails, so a swallowed failure would pack b"ok" instead.
            Exporter.calls += 1
            if Exporter.calls == 1:
                raise error("raised while exporting")
            return memoryview(b"ok")

    with pytest.raises(error, match="^raised while exporting$"):
        pack(plan, blob=Exporter())
