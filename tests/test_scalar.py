"""Scalar conversions: Python objects and plan defaults to FlatBuffer scalars and back.

The conversions are reached through the test-only ``_scalar_probe`` module; the tables that
``push_table`` builds are read back with the official FlatBuffers Python runtime.
"""

import array
import math
import operator
import struct

import flatbuffers
import flatbuffers.encode
import flatbuffers.number_types as N
import flatbuffers.packer
import flatbuffers.table
import msgpack
import numpy as np
import pytest

import _scalar_probe as probe

# Scalar kinds, by index.
BOOL, INT8, UINT8, INT16, UINT16, INT32, UINT32, INT64, UINT64, FLOAT32, FLOAT64 = range(11)

NAMES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64"]
SIGNED = [INT8, INT16, INT32, INT64]
UNSIGNED = [UINT8, UINT16, UINT32, UINT64]
FLOATS = [FLOAT32, FLOAT64]
NARROW_RANGES = {
    INT8: (-(2**7), 2**7 - 1),
    UINT8: (0, 2**8 - 1),
    INT16: (-(2**15), 2**15 - 1),
    UINT16: (0, 2**16 - 1),
    INT32: (-(2**31), 2**31 - 1),
    UINT32: (0, 2**32 - 1),
}
WIDTH = {BOOL: 1, INT8: 1, UINT8: 1, INT16: 2, UINT16: 2, INT32: 4, UINT32: 4, INT64: 8, UINT64: 8, FLOAT32: 4, FLOAT64: 8}
FLAGS = {
    BOOL: N.BoolFlags,
    INT8: N.Int8Flags,
    UINT8: N.Uint8Flags,
    INT16: N.Int16Flags,
    UINT16: N.Uint16Flags,
    INT32: N.Int32Flags,
    UINT32: N.Uint32Flags,
    INT64: N.Int64Flags,
    UINT64: N.Uint64Flags,
    FLOAT32: N.Float32Flags,
    FLOAT64: N.Float64Flags,
}
LITTLE_ENDIAN = {
    BOOL: "<?", INT8: "<b", UINT8: "<B", INT16: "<h", UINT16: "<H", INT32: "<i",
    UINT32: "<I", INT64: "<q", UINT64: "<Q", FLOAT32: "<f", FLOAT64: "<d",
}

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
F32_TENTH = 0.10000000149011612  # 0.1 in single precision, widened

OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_UNSIGNED = "union discriminator must use an unsigned integer type"
BAD_BOOL = "invalid native boolean default"
BAD_SIGNED = "invalid native signed default"
BAD_UNSIGNED = "invalid native unsigned default"
BAD_FLOAT = "invalid native floating-point default"
BAD_DEFAULT = {BOOL: BAD_BOOL, **{k: BAD_SIGNED for k in SIGNED}, **{k: BAD_UNSIGNED for k in UNSIGNED},
               **{k: BAD_FLOAT for k in FLOATS}}


def ids(kinds):
    return [NAMES[k] for k in kinds]


def packed(value):
    return msgpack.packb(value)


def packed_f32(value):
    return msgpack.packb(value, use_single_float=True)


# MessagePack integers under an explicit marker.
def mp_int8(v):
    return b"\xd0" + struct.pack(">b", v)


def mp_int64(v):
    return b"\xd3" + struct.pack(">q", v)


def mp_uint64(v):
    return b"\xcf" + struct.pack(">Q", v)


def f32(x):
    """The single-precision value nearest to x (ties to even), widened back to a float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def interpreter_error(call):
    """The exception class and text the interpreter itself gives for a failing conversion."""
    with pytest.raises(Exception) as info:
        call()
    return info.type, str(info.value)


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Holder:
    class Thing:
        pass


class IntOnly:
    def __int__(self):
        return 7


NON_DEFAULTS = {
    "nil": packed(None),
    "str": packed("1"),
    "bin": packed(b"\x01"),
    "array": packed([1]),
    "map": packed({1: 1}),
    "ext": packed(msgpack.ExtType(1, b"\x01")),
}


# --- reading tables back with the official runtime ---------------------------------------------


def root_table(buf):
    return flatbuffers.table.Table(buf, flatbuffers.encode.Get(flatbuffers.packer.uoffset, buf, 0))


def present_offsets(buf):
    """Vtable offsets of every field present in the root table."""
    tab = root_table(buf)
    vtable = tab.Pos - tab.Get(N.SOffsetTFlags, tab.Pos)
    vtable_len = tab.Get(N.VOffsetTFlags, vtable)
    return [vo for vo in range(4, vtable_len, 2) if tab.Offset(vo) != 0]


def read_slot(buf, kind, slot):
    """(value, absolute position) of the field at `slot`, or None when it is absent."""
    tab = root_table(buf)
    o = tab.Offset(4 + 2 * slot)
    if o == 0:
        return None
    pos = o + tab.Pos
    return tab.Get(FLAGS[kind], pos), pos


def push(kind, obj, default, force=False, slot=0):
    return probe.push_table(kind, obj, default, force, slot)


def assert_written(buf, kind, slot, expected):
    assert present_offsets(buf) == [4 + 2 * slot]
    got = read_slot(buf, kind, slot)
    assert got is not None
    value, pos = got
    assert pos % WIDTH[kind] == 0
    raw = bytes(buf[pos:pos + WIDTH[kind]])
    assert raw == struct.pack(LITTLE_ENDIAN[kind], expected)
    if kind in FLOATS:
        assert same_float(value, expected)
    else:
        assert value == expected
    return raw


def assert_omitted(buf, slot):
    assert present_offsets(buf) == []
    assert read_slot(buf, INT8, slot) is None


# --- extract: bool -----------------------------------------------------------------------------


class TestExtractBool:
    def test_python_booleans(self):
        assert probe.extract(BOOL, True) is True
        assert probe.extract(BOOL, False) is False

    def test_numpy_booleans_through_their_truth_value(self):
        assert probe.extract(BOOL, np.bool_(True)) is True
        assert probe.extract(BOOL, np.bool_(False)) is False
        assert probe.extract(BOOL, (np.arange(3) > 1)[0]) is False

    @pytest.mark.parametrize("obj, type_name", [(1, "int"), (0, "int"), (1.0, "float"), ("True", "str"),
                                                (np.int64(1), "int64"), (Holder.Thing(), "Holder.Thing")])
    def test_other_objects_refused_naming_their_type(self, obj, type_name):
        with pytest.raises(TypeError) as info:
            probe.extract(BOOL, obj)
        assert str(info.value) == f"'{type_name}' object is not an instance of 'bool'"

    def test_none_refused(self):
        with pytest.raises(TypeError) as info:
            probe.extract(BOOL, None)
        assert str(info.value) == "'None' is not an instance of 'bool'"

    @pytest.mark.parametrize("name", ["bool_", "bool"])
    def test_recognised_by_type_module_and_name(self, name):
        def make(module, truth):
            return type(name, (), {"__module__": module, "__bool__": lambda self: truth})()

        assert probe.extract(BOOL, make("numpy", True)) is True
        assert probe.extract(BOOL, make("numpy", False)) is False
        with pytest.raises(TypeError, match="is not an instance of 'bool'"):
            probe.extract(BOOL, make("not_numpy", True))

    def test_other_numpy_type_names_refused(self):
        fake = type("int_", (), {"__module__": "numpy", "__bool__": lambda self: True})()
        with pytest.raises(TypeError, match="is not an instance of 'bool'"):
            probe.extract(BOOL, fake)


# --- extract: integers -------------------------------------------------------------------------


class TestExtractNarrowIntegers:
    @pytest.mark.parametrize("kind", list(NARROW_RANGES), ids=ids(NARROW_RANGES))
    def test_whole_range_bounds(self, kind):
        lo, hi = NARROW_RANGES[kind]
        for v in (lo, hi, 0, 1):
            got = probe.extract(kind, v)
            assert got == v and type(got) is int

    @pytest.mark.parametrize("kind", list(NARROW_RANGES), ids=ids(NARROW_RANGES))
    def test_just_outside_range(self, kind):
        lo, hi = NARROW_RANGES[kind]
        for v in (lo - 1, hi + 1, -(2**63), 2**63 - 1):
            with pytest.raises(OverflowError) as info:
                probe.extract(kind, v)
            assert str(info.value) == OUT_OF_RANGE

    @pytest.mark.parametrize("kind", list(NARROW_RANGES), ids=ids(NARROW_RANGES))
    @pytest.mark.parametrize("v", [2**63, -(2**63) - 1, 10**30])
    def test_beyond_c_long_gives_interpreters_error(self, kind, v):
        cls, text = interpreter_error(lambda: array.array("l", [v]))
        with pytest.raises(cls) as info:
            probe.extract(kind, v)
        assert cls is OverflowError
        assert str(info.value) == text
        assert str(info.value) != OUT_OF_RANGE

    @pytest.mark.parametrize("kind", list(NARROW_RANGES), ids=ids(NARROW_RANGES))
    @pytest.mark.parametrize("obj", [1.5, 2.0, "1", None, b"\x01", IntOnly()])
    def test_non_integers_give_interpreters_type_error(self, kind, obj):
        cls, text = interpreter_error(lambda: operator.index(obj))
        with pytest.raises(TypeError) as info:
            probe.extract(kind, obj)
        assert cls is TypeError
        assert str(info.value) == text

    @pytest.mark.parametrize("kind", list(NARROW_RANGES), ids=ids(NARROW_RANGES))
    def test_booleans_are_integers(self, kind):
        assert probe.extract(kind, True) == 1 and type(probe.extract(kind, True)) is int
        assert probe.extract(kind, False) == 0

    def test_index_protocol(self):
        assert probe.extract(INT8, Index(-128)) == -128
        assert probe.extract(UINT16, Index(65535)) == 65535
        assert probe.extract(INT16, np.int64(-300)) == -300
        assert probe.extract(UINT8, np.uint8(255)) == 255
        with pytest.raises(OverflowError) as info:
            probe.extract(UINT8, Index(256))
        assert str(info.value) == OUT_OF_RANGE
        with pytest.raises(OverflowError) as info:
            probe.extract(INT32, np.int64(2**31))
        assert str(info.value) == OUT_OF_RANGE

    def test_unsigned_refuses_negative_with_range_message(self):
        for kind in (UINT8, UINT16, UINT32):
            with pytest.raises(OverflowError) as info:
                probe.extract(kind, -1)
            assert str(info.value) == OUT_OF_RANGE


class TestExtractInt64:
    def test_full_signed_range(self):
        for v in (-(2**63), 2**63 - 1, 0, -1, True):
            got = probe.extract(INT64, v)
            assert got == v and type(got) is int

    @pytest.mark.parametrize("v", [2**63, -(2**63) - 1])
    def test_beyond_range(self, v):
        cls, text = interpreter_error(lambda: array.array("l", [v]))
        with pytest.raises(OverflowError) as info:
            probe.extract(INT64, v)
        assert str(info.value) == text

    def test_index_protocol_and_non_integers(self):
        assert probe.extract(INT64, Index(-(2**63))) == -(2**63)
        assert probe.extract(INT64, np.int32(-5)) == -5
        for obj in (1.0, "1", IntOnly()):
            cls, text = interpreter_error(lambda: operator.index(obj))
            with pytest.raises(TypeError) as info:
                probe.extract(INT64, obj)
            assert str(info.value) == text


class TestExtractUint64:
    def test_full_unsigned_range(self):
        for v in (0, 1, 2**63 - 1, 2**63, 2**64 - 1, True):
            got = probe.extract(UINT64, v)
            assert got == v and type(got) is int

    @pytest.mark.parametrize("v", [-1, -(2**63), 2**64, 10**30])
    def test_negative_or_too_large(self, v):
        with pytest.raises(OverflowError) as info:
            probe.extract(UINT64, v)
        assert str(info.value) != OUT_OF_RANGE

    def test_index_protocol(self):
        assert probe.extract(UINT64, Index(2**64 - 1)) == 2**64 - 1
        assert probe.extract(UINT64, np.uint64(2**64 - 1)) == 2**64 - 1
        with pytest.raises(OverflowError):
            probe.extract(UINT64, Index(-1))

    @pytest.mark.parametrize("obj", [1.0, "1", None, IntOnly()])
    def test_non_integers(self, obj):
        cls, text = interpreter_error(lambda: operator.index(obj))
        with pytest.raises(TypeError) as info:
            probe.extract(UINT64, obj)
        assert str(info.value) == text


# --- extract: floating point -------------------------------------------------------------------


class TestExtractFloat64:
    def test_floats_kept_exactly(self):
        for v in (0.1, -0.0, 1e308, 5e-324, math.inf, -math.inf):
            assert same_float(probe.extract(FLOAT64, v), v)
        assert math.isnan(probe.extract(FLOAT64, math.nan))

    def test_integers_converted_to_nearest(self):
        got = probe.extract(FLOAT64, 3)
        assert got == 3.0 and type(got) is float
        assert probe.extract(FLOAT64, 2**53 + 1) == float(2**53)
        assert probe.extract(FLOAT64, 2**64 - 1) == 2.0**64
        assert probe.extract(FLOAT64, True) == 1.0

    def test_float_and_index_protocols(self):
        assert probe.extract(FLOAT64, FloatOnly(2.5)) == 2.5
        assert probe.extract(FLOAT64, Index(7)) == 7.0
        assert probe.extract(FLOAT64, np.float32(0.1)) == F32_TENTH

    def test_int_too_large(self):
        cls, text = interpreter_error(lambda: float(10**400))
        with pytest.raises(OverflowError) as info:
            probe.extract(FLOAT64, 10**400)
        assert str(info.value) == text

    @pytest.mark.parametrize("obj", ["1.0", None, b"1", IntOnly()])
    def test_non_numbers(self, obj):
        cls, text = interpreter_error(lambda: math.fsum([obj]))
        with pytest.raises(TypeError) as info:
            probe.extract(FLOAT64, obj)
        assert cls is TypeError
        assert str(info.value) == text


class TestExtractFloat32:
    def test_rounded_to_single_precision(self):
        assert probe.extract(FLOAT32, 0.1) == F32_TENTH
        assert probe.extract(FLOAT32, 16777217) == 16777216.0
        # Ties go to even.
        assert probe.extract(FLOAT32, 1 + 2.0**-24) == 1.0
        assert probe.extract(FLOAT32, 1 + 3 * 2.0**-24) == 1 + 2.0**-22
        for v in (1 / 3, 123456.789, -2.5e-38, 1e-45):
            assert probe.extract(FLOAT32, v) == f32(v)

    def test_beyond_single_range_becomes_infinity(self):
        assert probe.extract(FLOAT32, 1e39) == math.inf
        assert probe.extract(FLOAT32, -1e39) == -math.inf
        assert probe.extract(FLOAT32, 1e308) == math.inf
        assert probe.extract(FLOAT32, 2**200) == math.inf

    def test_values_rounding_down_to_the_largest_finite(self):
        assert probe.extract(FLOAT32, 3.4028235e38) == FLT_MAX
        assert probe.extract(FLOAT32, -3.4028235e38) == -FLT_MAX

    def test_underflow_and_non_finite_values(self):
        assert same_float(probe.extract(FLOAT32, 1e-50), 0.0)
        assert same_float(probe.extract(FLOAT32, -1e-50), -0.0)
        assert same_float(probe.extract(FLOAT32, -0.0), -0.0)
        assert math.isnan(probe.extract(FLOAT32, math.nan))
        assert probe.extract(FLOAT32, math.inf) == math.inf

    def test_conversion_failures_as_float64(self):
        with pytest.raises(OverflowError):
            probe.extract(FLOAT32, 10**400)
        with pytest.raises(TypeError):
            probe.extract(FLOAT32, "0.5")
        assert probe.extract(FLOAT32, FloatOnly(0.1)) == F32_TENTH
        assert probe.extract(FLOAT32, Index(3)) == 3.0


# --- into_py -----------------------------------------------------------------------------------


class TestIntoPy:
    @pytest.mark.parametrize("kind", SIGNED + UNSIGNED, ids=ids(SIGNED + UNSIGNED))
    def test_integers_come_back_as_plain_int(self, kind):
        got = probe.extract(kind, True)
        assert got == 1 and type(got) is int

    def test_unsigned_top_bit_is_not_a_sign(self):
        assert probe.extract(UINT64, 2**63) == 2**63
        assert probe.extract(UINT32, 2**32 - 1) == 2**32 - 1
        assert probe.extract(UINT8, 255) == 255

    def test_booleans_are_the_singletons(self):
        assert probe.extract(BOOL, np.bool_(True)) is True
        assert probe.extract(BOOL, np.bool_(False)) is False

    def test_float32_widened_exactly(self):
        got = probe.extract(FLOAT32, 0.1)
        assert type(got) is float
        assert got == 0.10000000149011612
        assert repr(got) == "0.10000000149011612"


# --- as_u64 ------------------------------------------------------------------------------------


class TestAsU64:
    @pytest.mark.parametrize("kind, v", [(UINT8, 255), (UINT16, 65535), (UINT32, 2**32 - 1), (UINT64, 2**64 - 1),
                                         (UINT64, 2**63), (UINT8, 0)])
    def test_unsigned_kinds_zero_extended(self, kind, v):
        assert probe.as_u64(kind, v) == v

    @pytest.mark.parametrize("kind, v", [(BOOL, True), (INT8, 5), (INT16, 1), (INT32, 0), (INT64, 2**62),
                                         (FLOAT32, 1.0), (FLOAT64, 3.0)])
    def test_other_kinds_refused_even_when_positive(self, kind, v):
        with pytest.raises(ValueError) as info:
            probe.as_u64(kind, v)
        assert str(info.value) == NOT_UNSIGNED


# --- from_default ------------------------------------------------------------------------------


class TestBoolDefault:
    def test_booleans(self):
        assert probe.from_default(BOOL, packed(True)) is True
        assert probe.from_default(BOOL, packed(False)) is False

    @pytest.mark.parametrize("default", [packed(0), packed(1), packed(1.0), packed_f32(0.0), *NON_DEFAULTS.values()])
    def test_anything_else_refused(self, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(BOOL, default)
        assert str(info.value) == BAD_BOOL


class TestSignedDefault:
    @pytest.mark.parametrize("kind", SIGNED, ids=ids(SIGNED))
    def test_small_values_any_marker(self, kind):
        assert probe.from_default(kind, packed(5)) == 5
        assert probe.from_default(kind, packed(-5)) == -5
        assert probe.from_default(kind, mp_int8(5)) == 5
        assert probe.from_default(kind, mp_int8(-128)) == -128
        assert probe.from_default(kind, mp_uint64(7)) == 7
        assert probe.from_default(kind, mp_int64(-7)) == -7

    @pytest.mark.parametrize("kind, default, expected", [
        (INT8, 200, -56),
        (INT8, 256, 0),
        (INT8, -129, 127),
        (INT16, 40000, -25536),
        (INT16, -(2**15) - 1, 2**15 - 1),
        (INT32, 2**31, -(2**31)),
        (INT32, 2**32 - 1, -1),
        (INT8, 2**63 - 1, -1),
        (INT64, 2**63 - 1, 2**63 - 1),
        (INT64, -(2**63), -(2**63)),
        (INT8, -(2**63), 0),
    ])
    def test_low_bits_as_twos_complement(self, kind, default, expected):
        assert probe.from_default(kind, packed(default)) == expected

    @pytest.mark.parametrize("kind", SIGNED, ids=ids(SIGNED))
    @pytest.mark.parametrize("default", [2**63, 2**64 - 1])
    def test_beyond_signed_64_bit_refused(self, kind, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(kind, packed(default))
        assert str(info.value) == BAD_SIGNED

    @pytest.mark.parametrize("kind", SIGNED, ids=ids(SIGNED))
    @pytest.mark.parametrize("default", [packed(True), packed(1.0), packed_f32(1.0), *NON_DEFAULTS.values()])
    def test_non_integers_refused(self, kind, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(kind, default)
        assert str(info.value) == BAD_SIGNED


class TestUnsignedDefault:
    @pytest.mark.parametrize("kind, default, expected", [
        (UINT8, 300, 44),
        (UINT8, 255, 255),
        (UINT8, 2**64 - 1, 255),
        (UINT16, 65537, 1),
        (UINT32, 2**32 + 7, 7),
        (UINT32, 2**64 - 1, 2**32 - 1),
        (UINT64, 2**64 - 1, 2**64 - 1),
        (UINT64, 2**63, 2**63),
        (UINT64, 0, 0),
    ])
    def test_low_bits(self, kind, default, expected):
        assert probe.from_default(kind, packed(default)) == expected

    @pytest.mark.parametrize("kind", UNSIGNED, ids=ids(UNSIGNED))
    def test_non_negative_under_any_marker(self, kind):
        assert probe.from_default(kind, mp_int8(5)) == 5
        assert probe.from_default(kind, mp_int64(9)) == 9
        assert probe.from_default(kind, mp_uint64(11)) == 11

    @pytest.mark.parametrize("kind", UNSIGNED, ids=ids(UNSIGNED))
    @pytest.mark.parametrize("default", [packed(-1), mp_int8(-1), mp_int64(-(2**63)), packed(-300)])
    def test_negative_refused(self, kind, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(kind, default)
        assert str(info.value) == BAD_UNSIGNED

    @pytest.mark.parametrize("kind", UNSIGNED, ids=ids(UNSIGNED))
    @pytest.mark.parametrize("default", [packed(False), packed(1.0), packed_f32(1.0), *NON_DEFAULTS.values()])
    def test_non_integers_refused(self, kind, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(kind, default)
        assert str(info.value) == BAD_UNSIGNED


class TestFloatDefault:
    def test_float32_from_float32_as_is(self):
        got = probe.from_default(FLOAT32, packed_f32(0.1))
        assert got == F32_TENTH and type(got) is float

    def test_float32_from_float64_rounded(self):
        assert probe.from_default(FLOAT32, packed(0.1)) == F32_TENTH
        assert probe.from_default(FLOAT32, packed(1 + 2.0**-24)) == 1.0
        assert probe.from_default(FLOAT32, packed(1e39)) == math.inf
        assert probe.from_default(FLOAT32, packed(-1e39)) == -math.inf

    def test_float32_from_integer(self):
        assert probe.from_default(FLOAT32, packed(3)) == 3.0
        assert probe.from_default(FLOAT32, packed(16777217)) == 16777216.0
        assert probe.from_default(FLOAT32, packed(-16777219)) == -16777220.0
        assert probe.from_default(FLOAT32, packed(2**64 - 1)) == 2.0**64

    def test_float32_from_integer_rounds_through_double(self):
        # 2**60 + 2**36 + 1 is just above the midpoint between two neighbouring single-precision
        # values, but the nearest double is the midpoint itself, which then ties to even.
        n = 2**60 + 2**36 + 1
        assert probe.from_default(FLOAT32, packed(n)) == 2.0**60
        assert probe.from_default(FLOAT32, packed(-n)) == -(2.0**60)

    def test_float64_from_each_form(self):
        assert probe.from_default(FLOAT64, packed(0.1)) == 0.1
        assert probe.from_default(FLOAT64, packed_f32(0.1)) == F32_TENTH
        assert probe.from_default(FLOAT64, packed(2**53 + 1)) == 2.0**53
        assert probe.from_default(FLOAT64, packed(-(2**63))) == -(2.0**63)
        assert probe.from_default(FLOAT64, mp_int8(-3)) == -3.0
        got = probe.from_default(FLOAT64, packed(7))
        assert got == 7.0 and type(got) is float

    @pytest.mark.parametrize("kind", FLOATS, ids=ids(FLOATS))
    def test_nan_infinity_and_signed_zero(self, kind):
        assert math.isnan(probe.from_default(kind, packed(math.nan)))
        assert math.isnan(probe.from_default(kind, packed_f32(math.nan)))
        assert probe.from_default(kind, packed(-math.inf)) == -math.inf
        assert same_float(probe.from_default(kind, packed(-0.0)), -0.0)
        assert same_float(probe.from_default(kind, packed_f32(-0.0)), -0.0)

    @pytest.mark.parametrize("kind", FLOATS, ids=ids(FLOATS))
    @pytest.mark.parametrize("default", [packed(True), packed("1.5"), *NON_DEFAULTS.values()])
    def test_non_numbers_refused(self, kind, default):
        with pytest.raises(TypeError) as info:
            probe.from_default(kind, default)
        assert str(info.value) == BAD_FLOAT


# --- push: omission against the default --------------------------------------------------------


class TestPushOmission:
    @pytest.mark.parametrize("kind, obj, default", [
        (BOOL, True, packed(True)),
        (BOOL, np.bool_(False), packed(False)),
        (INT32, 0, packed(0)),
        (INT64, -(2**63), packed(-(2**63))),
        (UINT64, 2**64 - 1, packed(2**64 - 1)),
        (FLOAT64, 1.0, packed(1)),
        (FLOAT64, 0.5, packed_f32(0.5)),
    ], ids=lambda p: repr(p) if not isinstance(p, bytes) else p.hex())
    def test_equal_to_default_omitted(self, kind, obj, default):
        assert_omitted(push(kind, obj, default, slot=2), 2)

    @pytest.mark.parametrize("kind, obj, default", [
        (UINT8, 44, 300),
        (UINT16, 1, 65537),
        (UINT32, 7, 2**32 + 7),
        (INT8, -56, 200),
        (INT16, -25536, 40000),
        (INT32, -1, 2**32 - 1),
    ])
    def test_integers_compared_on_the_kinds_width(self, kind, obj, default):
        assert_omitted(push(kind, obj, packed(default)), 0)

    def test_value_next_to_the_truncated_default_written(self):
        buf = push(UINT8, 45, packed(300))
        assert_written(buf, UINT8, 0, 45)

    def test_float32_negative_zero_equals_zero_default(self):
        assert_omitted(push(FLOAT32, -0.0, packed(0)), 0)
        assert_omitted(push(FLOAT32, 0.0, packed(-0.0)), 0)
        assert_omitted(push(FLOAT64, -0.0, packed(0.0)), 0)

    def test_float32_default_rounded_before_comparing(self):
        assert_omitted(push(FLOAT32, 0.1, packed(0.1)), 0)
        assert_omitted(push(FLOAT32, 0.1, packed_f32(0.1)), 0)
        assert_omitted(push(FLOAT32, 16777216.0, packed(16777217)), 0)
        assert_omitted(push(FLOAT32, 1e39, packed(math.inf)), 0)

    def test_float64_compares_with_the_widened_float32_default(self):
        assert_written(push(FLOAT64, 0.1, packed_f32(0.1)), FLOAT64, 0, 0.1)
        assert_omitted(push(FLOAT64, F32_TENTH, packed_f32(0.1)), 0)

    @pytest.mark.parametrize("kind", FLOATS, ids=ids(FLOATS))
    @pytest.mark.parametrize("default", [packed(math.nan), packed_f32(math.nan), packed(0)])
    def test_nan_always_written(self, kind, default):
        buf = push(kind, math.nan, default)
        assert present_offsets(buf) == [4]
        value, pos = read_slot(buf, kind, 0)
        assert math.isnan(value)
        assert pos % WIDTH[kind] == 0

    @pytest.mark.parametrize("kind, obj, default, expected", [
        (BOOL, False, packed(True), False),
        (INT8, 0, packed(-1), 0),
        (UINT32, 0, packed(1), 0),
        (INT64, 0, packed(2**63 - 1), 0),
        (UINT64, 2**64 - 1, packed(2**64 - 2), 2**64 - 1),
        (FLOAT32, 0.0, packed(1.0), 0.0),
        (FLOAT64, 1.0 + 2.0**-52, packed(1), 1.0 + 2.0**-52),
    ])
    def test_different_from_default_written(self, kind, obj, default, expected):
        assert_written(push(kind, obj, default, slot=1), kind, 1, expected)

    def test_bool_is_not_compared_with_integer_defaults(self):
        with pytest.raises(TypeError) as info:
            push(BOOL, False, packed(0))
        assert str(info.value) == BAD_BOOL


class TestPushBadDefault:
    @pytest.mark.parametrize("kind, obj", [(BOOL, True), (INT8, 1), (UINT16, 1), (INT64, 1), (UINT64, 1),
                                           (FLOAT32, 1.0), (FLOAT64, 1.0)], ids=lambda p: repr(p))
    @pytest.mark.parametrize("default", list(NON_DEFAULTS.values()), ids=list(NON_DEFAULTS))
    def test_unforced_raises_the_default_error(self, kind, obj, default):
        with pytest.raises(TypeError) as info:
            push(kind, obj, default)
        assert str(info.value) == BAD_DEFAULT[kind]

    def test_unforced_out_of_range_defaults(self):
        with pytest.raises(TypeError) as info:
            push(INT64, 5, packed(2**63))
        assert str(info.value) == BAD_SIGNED
        with pytest.raises(TypeError) as info:
            push(UINT8, 5, packed(-1))
        assert str(info.value) == BAD_UNSIGNED

    @pytest.mark.parametrize("kind, obj", [(BOOL, True), (INT8, -3), (UINT16, 9), (INT64, -(2**63)),
                                           (UINT64, 2**64 - 1), (FLOAT32, 0.5), (FLOAT64, -2.25)],
                             ids=lambda p: repr(p))
    @pytest.mark.parametrize("default", [*NON_DEFAULTS.values(), packed(2**63), packed(-1)],
                             ids=[*NON_DEFAULTS, "2**63", "-1"])
    def test_forced_ignores_the_default(self, kind, obj, default):
        assert_written(push(kind, obj, default, force=True, slot=3), kind, 3, obj)


# --- push: the written field -------------------------------------------------------------------


ROUND_TRIP = [
    (BOOL, True, 1),
    (BOOL, False, 0),
    (INT8, -128, -128),
    (INT8, 127, 127),
    (UINT8, 255, 255),
    (INT16, -32768, -32768),
    (UINT16, 0xBEEF, 0xBEEF),
    (INT32, -(2**31), -(2**31)),
    (INT32, 0x12345678, 0x12345678),
    (UINT32, 2**32 - 1, 2**32 - 1),
    (INT64, -(2**63), -(2**63)),
    (INT64, 0x0102030405060708, 0x0102030405060708),
    (UINT64, 2**64 - 1, 2**64 - 1),
    (UINT64, 2**63 + 5, 2**63 + 5),
    (FLOAT32, 0.1, F32_TENTH),
    (FLOAT32, -0.0, -0.0),
    (FLOAT32, 1e39, math.inf),
    (FLOAT64, 0.1, 0.1),
    (FLOAT64, -math.inf, -math.inf),
    (FLOAT64, 5e-324, 5e-324),
]


class TestPushWritten:
    @pytest.mark.parametrize("slot", [0, 1, 6, 31])
    @pytest.mark.parametrize("kind, obj, expected", ROUND_TRIP,
                             ids=[f"{NAMES[k]}-{o!r}" for k, o, _ in ROUND_TRIP])
    def test_read_back_by_the_runtime_at_slot_and_alignment(self, kind, obj, expected, slot):
        assert_written(push(kind, obj, b"\xc0", force=True, slot=slot), kind, slot, expected)

    @pytest.mark.parametrize("kind, obj, expected", ROUND_TRIP,
                             ids=[f"{NAMES[k]}-{o!r}" for k, o, _ in ROUND_TRIP])
    def test_forced_even_when_equal_to_default(self, kind, obj, expected):
        default = packed(bool(expected)) if kind == BOOL else packed(obj)
        assert_omitted(push(kind, obj, default, slot=4), 4)
        assert_written(push(kind, obj, default, force=True, slot=4), kind, 4, expected)

    def test_forced_zero(self):
        for kind in (INT8, UINT16, INT32, UINT64, FLOAT32, FLOAT64):
            zero = 0.0 if kind in FLOATS else 0
            assert_written(push(kind, zero, packed(0), force=True, slot=2), kind, 2, zero)

    def test_bool_written_as_one_byte_zero_or_one(self):
        raw = assert_written(push(BOOL, np.bool_(True), packed(False), slot=0), BOOL, 0, True)
        assert raw == b"\x01"
        raw = assert_written(push(BOOL, False, packed(True), slot=0), BOOL, 0, False)
        assert raw == b"\x00"

    def test_negative_zero_keeps_its_sign_when_written(self):
        raw = assert_written(push(FLOAT32, -0.0, packed(1), slot=0), FLOAT32, 0, -0.0)
        assert raw == b"\x00\x00\x00\x80"

    @pytest.mark.parametrize("kind", [INT16, UINT32, INT64, UINT64, FLOAT32, FLOAT64], ids=ids(
        [INT16, UINT32, INT64, UINT64, FLOAT32, FLOAT64]))
    def test_buffer_length_honours_the_scalar_alignment(self, kind):
        obj = 1.0 if kind in FLOATS else 1
        for slot in range(5):
            buf = push(kind, obj, packed(0), slot=slot)
            assert len(buf) % WIDTH[kind] == 0
            _, pos = read_slot(buf, kind, slot)
            assert pos % WIDTH[kind] == 0
            # The field lies inside the table, after its vtable offset.
            tab = root_table(buf)
            assert tab.Pos + 4 <= pos and pos + WIDTH[kind] <= len(buf)
