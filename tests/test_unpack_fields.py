"""How unpack decodes each kind of field from buffers that are well-formed as FlatBuffers but may
break the plan's rules: absent and required fields, fields the plan describes incompletely,
unions and vectors of unions, dynamic values, nested FlatBuffers and keyed table vectors."""

import enum
import math

import flatbuffers
import pytest

from plans import field, make_plan, struct, table
from quorvel import _dynamic, _flatbuffer
from quorvel._runtime import BufferBoundsError, InvalidBufferError
from unpacking import Record, raises_exactly, record_types, single_table


class Mood(enum.IntEnum):
    CALM = 1
    ANGRY = 2


class Wrapper:
    """Wrapper class of the dynamic fields: keeps what it was made from."""

    def __init__(self, value):
        self.value = value

    @classmethod
    def opaque(cls, tag, payload):
        wrapped = cls(None)
        wrapped.tag, wrapped.payload = tag, payload
        return wrapped


class Decoded:
    """What the recording model decoder returns."""

    def __init__(self, payload, kwargs):
        self.payload, self.kwargs = payload, kwargs


DECODE_CALLS = []


def recording_decode(payload, **kwargs):
    DECODE_CALLS.append((payload, kwargs))
    return Decoded(payload, kwargs)


PICK_ARMS = [(1, "Leaf"), (2, "Other")]
WIDE_ARMS = [(1, "Leaf"), (300, "Other"), (70000, "Other"), (2**40, "Leaf")]
KINDS_WITH_TARGET = {"table": "Leaf", "struct": "Point", "vector_table": "Leaf", "vector_struct": "Point",
                     "nested": "Leaf"}


def single(name, kind, **rest):
    """A table holding one field ``x`` of ``kind``; polymorphic kinds take slot 0 for their type."""
    if kind in ("union", "union_vector", "dynamic"):
        rest.setdefault("type_slot", 0)
        return table(name, [field("x", kind, slot=1, **rest)])
    return table(name, [field("x", kind, slot=0, **rest)])


def polymorphic(kind, **rest):
    rest.setdefault("type_slot", 0)
    if kind != "dynamic":
        rest.setdefault("type_scalar", "uint8")
        rest.setdefault("arms", PICK_ARMS)
    else:
        rest.setdefault("allowed_prefix", "p")
        rest.setdefault("dynamic_type", "Wrapper")
    return rest


REQUIRED_KINDS = ["string", "table", "struct", "vector_byte", "vector_scalar", "vector_string", "vector_table",
                  "vector_struct", "nested", "union", "union_vector", "dynamic"]


def required_object(kind):
    rest = {"required": True}
    if kind in KINDS_WITH_TARGET:
        rest["target"] = KINDS_WITH_TARGET[kind]
    if kind == "vector_scalar":
        rest["scalar"] = "int32"
    if kind in ("union", "union_vector", "dynamic"):
        rest = polymorphic(kind, **rest)
    return single(f"Req_{kind}", kind, **rest)


OBJECTS = [
    table("Leaf", [field("v", slot=0)]),
    table("Other", [field("w", slot=0)]),
    struct("Point", [field("x", offset=0), field("y", offset=4)], byte_size=8, min_alignment=4),
    *[required_object(kind) for kind in REQUIRED_KINDS],
    table("Quoted", [field('we"ird\n', "string", slot=0, required=True)]),
    table("Scalars", [
        field("plain", slot=0, default=-3, required=True),
        field("mood", slot=1, scalar="uint8", default=2, enum_type="Mood"),
        field("maybe", slot=2, scalar="uint8", default=1, optional=True, enum_type="Mood"),
        field("bad_default", slot=3, scalar="uint8", default=9, enum_type="Mood"),
    ]),
    table("GoodScalars", [
        field("mood", slot=1, scalar="uint8", default=2, enum_type="Mood"),
        field("maybe", slot=2, scalar="uint8", default=1, optional=True, enum_type="Mood"),
    ]),
    table("Unbound", [field("e", slot=0, scalar="uint8", default=1, enum_type="Missing")]),
    table("Raising", [field("e", slot=0, scalar="uint8", default=1, enum_type="Picky")]),
    # Fields the plan describes incompletely.
    single("NoTarget_table", "table"),
    single("NoTarget_struct", "struct"),
    single("NoTarget_vector_table", "vector_table"),
    single("NoTarget_vector_struct", "vector_struct"),
    single("NoTarget_nested", "nested"),
    single("NoKind_scalar", "scalar", scalar=None),
    single("NoKind_vector_scalar", "vector_scalar", scalar=None),
    struct("NoKindMember", [field("m", "scalar", offset=0, scalar=None)], byte_size=4),
    struct("NoKindArray", [field("m", "array_scalar", offset=0, scalar=None, fixed_length=1)], byte_size=4),
    struct("NoTargetMember", [field("m", "struct", offset=0)], byte_size=4),
    struct("NoTargetArray", [field("m", "array_struct", offset=0, fixed_length=1, element_size=4)], byte_size=4),
    *[single(f"InTable_{kind}", kind, scalar="int32", fixed_length=1) for kind in ("array_scalar", "array_struct")],
    *[single(f"Serde_{kind}", kind) for kind in ("uuid", "decimal", "fallback")],
    *[struct(f"Member_{kind}", [field("m", kind, offset=0, scalar="int32", target="Leaf")], byte_size=4)
      for kind in ("string", "table", "vector_byte", "vector_scalar", "union", "nested", "uuid")],
    # Unions.
    single("Pick8", "union", **polymorphic("union")),
    single("Pick16", "union", **polymorphic("union", type_scalar="uint16", arms=WIDE_ARMS)),
    single("Pick32", "union", **polymorphic("union", type_scalar="uint32", arms=WIDE_ARMS)),
    single("Pick64", "union", **polymorphic("union", type_scalar="uint64", arms=WIDE_ARMS)),
    single("PickSigned", "union", **polymorphic("union", type_scalar="int8")),
    single("PickFloat", "union", **polymorphic("union", type_scalar="float32")),
    single("PickStruct", "union", **polymorphic("union", arms=[(1, "Point")])),
    single("PickNoSlot", "union", **polymorphic("union", type_slot=None)),
    single("PickNoScalar", "union", **polymorphic("union", type_scalar=None)),
    single("Many8", "union_vector", **polymorphic("union_vector")),
    single("Many16", "union_vector", **polymorphic("union_vector", type_scalar="uint16", arms=WIDE_ARMS)),
    single("Many64", "union_vector", **polymorphic("union_vector", type_scalar="uint64", arms=WIDE_ARMS)),
    single("ManySigned", "union_vector", **polymorphic("union_vector", type_scalar="int16")),
    single("ManyStruct", "union_vector", **polymorphic("union_vector", arms=[(1, "Point")])),
    single("ManyNoSlot", "union_vector", **polymorphic("union_vector", type_slot=None)),
    single("ManyNoScalar", "union_vector", **polymorphic("union_vector", type_scalar=None)),
    # Dynamic values and nested FlatBuffers.
    single("Dyn", "dynamic", **polymorphic("dynamic")),
    single("DynNoSlot", "dynamic", **polymorphic("dynamic", type_slot=None)),
    single("DynNoPrefix", "dynamic", **polymorphic("dynamic", allowed_prefix=None)),
    single("DynNoWrapper", "dynamic", **polymorphic("dynamic", dynamic_type=None)),
    single("DynUnbound", "dynamic", **polymorphic("dynamic", dynamic_type="Nope")),
    single("Nest", "nested", target="Leaf"),
    # Keyed tables.
    table("Item", [field("name", "string", slot=0, key=True), field("n", slot=1)]),
    table("Num", [field("k", slot=0, scalar="int64", key=True)]),
    table("UNum", [field("k", slot=0, scalar="uint64", key=True)]),
    table("FNum", [field("k", slot=0, scalar="float64", key=True, default=0.0)]),
    table("BNum", [field("k", slot=0, scalar="bool", key=True, default=False)]),
    table("Bag", [
        field("items", "vector_table", slot=0, target="Item"),
        field("nums", "vector_table", slot=1, target="Num"),
        field("unums", "vector_table", slot=2, target="UNum"),
        field("fnums", "vector_table", slot=3, target="FNum"),
        field("bnums", "vector_table", slot=4, target="BNum"),
    ]),
]


class Picky:
    def __init__(self, value):
        raise LookupError(f"no member {value}")


TYPES = {**record_types(*(o[0] for o in OBJECTS if o[0] != "Item")), "Mood": Mood, "Wrapper": Wrapper,
         "Picky": Picky}


class Item(Record):
    pass


TYPES["Item"] = Item
Leaf, Other, Point = TYPES["Leaf"], TYPES["Other"], TYPES["Point"]


@pytest.fixture(scope="module")
def plan():
    # The plan takes its model decoder from the package module when it is built.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_flatbuffer, "decode", recording_decode)
        plan = make_plan(*OBJECTS)
    plan.bind_types(TYPES)
    return plan


@pytest.fixture(autouse=True)
def fresh_calls():
    DECODE_CALLS.clear()
    yield
    DECODE_CALLS.clear()


EMPTY = single_table([], 4)[0].bytes()


def build(body, force_defaults=True):
    """A buffer whose root table is written by ``body(builder)``."""
    builder = flatbuffers.Builder(0)
    builder.ForceDefaults(force_defaults)
    builder.Finish(body(builder))
    return bytes(builder.Output())


def scalar_table(builder, value):
    builder.StartObject(1)
    builder.PrependInt32Slot(0, value, 0)
    return builder.EndObject()


def offsets_vector(builder, offsets):
    """A vector of 32-bit offsets; 0 stands for a null offset."""
    builder.StartVector(4, len(offsets), 4)
    for offset in reversed(offsets):
        if offset == 0:
            builder.PrependUint32(0)
        else:
            builder.PrependUOffsetTRelative(offset)
    return builder.EndVector()


def scalars_vector(builder, fmt, values):
    prepend = getattr(builder, "Prepend" + fmt)
    width = {"Uint8": 1, "Uint16": 2, "Int16": 2, "Uint64": 8}[fmt]
    builder.StartVector(width, len(values), width)
    for value in reversed(values):
        prepend(value)
    return builder.EndVector()


def byte_vector(builder, data):
    return builder.CreateByteVector(bytes(data))


# --- absent and required fields -------------------------------------------------------------------


@pytest.mark.parametrize("kind", REQUIRED_KINDS)
def test_absent_required_field(plan, kind):
    with raises_exactly(InvalidBufferError, 'required field "x" is absent'):
        plan.unpack(f"Req_{kind}", EMPTY)


def test_required_field_name_is_quoted(plan):
    with raises_exactly(InvalidBufferError, 'required field "we\\"ird\\n" is absent'):
        plan.unpack("Quoted", EMPTY)


def test_absent_fields_that_are_not_required_are_none(plan):
    for name in ("Pick8", "Many8", "Dyn", "Nest", "NoTarget_table", "NoTarget_nested"):
        assert plan.unpack(name, EMPTY).x is None, name


def test_absent_scalar_default_goes_through_the_enum_class(plan):
    got = plan.unpack("GoodScalars", EMPTY)
    assert got.mood is Mood.ANGRY
    assert got.maybe is None


def test_absent_required_scalar_takes_its_default(plan):
    # plain (-3, required) and mood decode; the default 9 of bad_default is no Mood.
    with pytest.raises(ValueError, match="9 is not a valid Mood"):
        plan.unpack("Scalars", EMPTY)
    data = build(lambda b: (b.StartObject(4), b.PrependUint8Slot(3, 1, 0), b.EndObject())[-1])
    got = plan.unpack("Scalars", data)
    assert (got.plain, got.mood, got.maybe, got.bad_default) == (-3, Mood.ANGRY, None, Mood.CALM)


def test_present_scalar_through_its_enum_class(plan):
    data = build(lambda b: (b.StartObject(3), b.PrependUint8Slot(1, 1, 0), b.PrependUint8Slot(2, 2, 0),
                            b.EndObject())[-1])
    got = plan.unpack("GoodScalars", data)
    assert got.mood is Mood.CALM and got.maybe is Mood.ANGRY
    data = build(lambda b: (b.StartObject(3), b.PrependUint8Slot(1, 7, 0), b.EndObject())[-1])
    with pytest.raises(ValueError, match="7 is not a valid Mood"):
        plan.unpack("GoodScalars", data)


@pytest.mark.parametrize("scalar, default, expected", [
    ("int8", 200, -56),
    ("uint16", 2**16 + 5, 5),
    ("float32", 0.1, 0.10000000149011612),
    ("float64", 3, 3.0),
])
def test_absent_scalar_default_takes_the_fields_kind(scalar, default, expected):
    plan = make_plan(table("T", [field("x", slot=0, scalar=scalar, default=default)]))
    plan.bind_types({"T": Record})
    got = plan.unpack("T", EMPTY).x
    assert type(got) is type(expected) and got == expected


def test_absent_scalar_with_an_unusable_default():
    plan = make_plan(table("T", [field("x", slot=0, scalar="uint8", default=-1)]))
    plan.bind_types({"T": Record})
    with raises_exactly(TypeError, "invalid native unsigned default"):
        plan.unpack("T", EMPTY)
    img, at = single_table([4], 8)
    img.u8(at + 4, 9)
    assert plan.unpack("T", img.bytes()).x == 9


def test_enum_class_must_be_bound(plan):
    with raises_exactly(RuntimeError, 'native type "Missing" is not bound'):
        plan.unpack("Unbound", EMPTY)


def test_exception_of_the_enum_class_passes_through(plan):
    with pytest.raises(LookupError, match="^no member 1$"):
        plan.unpack("Raising", EMPTY)


# --- fields the plan describes incompletely -------------------------------------------------------


@pytest.mark.parametrize("name, message", [
    ("NoTarget_struct", "native struct field has no target"),
    ("NoTarget_vector_table", "native object vector has no target"),
    ("NoTarget_vector_struct", "native object vector has no target"),
    ("NoKind_scalar", "native scalar field has no scalar kind"),
    ("NoKind_vector_scalar", "native scalar vector has no scalar kind"),
    ("InTable_array_scalar", "fixed arrays may only be fields of structs"),
    ("InTable_array_struct", "fixed arrays may only be fields of structs"),
    ("Serde_uuid", "serde fallback fields cannot be decoded as FlatBuffers"),
    ("Serde_decimal", "serde fallback fields cannot be decoded as FlatBuffers"),
    ("Serde_fallback", "serde fallback fields cannot be decoded as FlatBuffers"),
    ("PickNoSlot", "union field has no type slot"),
    ("PickNoScalar", "union field has no type scalar"),
    ("ManyNoSlot", "union vector has no type slot"),
    ("ManyNoScalar", "union vector has no type scalar"),
    ("DynNoSlot", "dynamic field has no type slot"),
])
def test_incomplete_field_fails_even_when_absent(plan, name, message):
    with raises_exactly(ValueError, message):
        plan.unpack(name, EMPTY)


@pytest.mark.parametrize("name, label", [("NoTarget_table", "table field"), ("NoTarget_nested", "nested field")])
def test_missing_target_fails_only_when_the_field_is_present(plan, name, label):
    def body(b):
        child = scalar_table(b, 1) if label == "table field" else byte_vector(b, b"xyz")
        b.StartObject(1)
        b.PrependUOffsetTRelativeSlot(0, child, 0)
        return b.EndObject()

    with raises_exactly(ValueError, f"native {label} has no target"):
        plan.unpack(name, build(body))


@pytest.mark.parametrize("name, cls, message", [
    ("NoKindMember", ValueError, "native struct field has no scalar kind"),
    ("NoKindArray", ValueError, "native scalar array has no scalar kind"),
    ("NoTargetMember", ValueError, "native struct field has no target"),
    ("NoTargetArray", ValueError, "native struct array has no target"),
    *[(f"Member_{kind}", NotImplementedError, "unsupported native struct field")
      for kind in ("string", "table", "vector_byte", "vector_scalar", "union", "nested", "uuid")],
])
def test_struct_members_the_reader_cannot_decode(plan, name, cls, message):
    with raises_exactly(cls, message):
        plan.unpack_view(name, bytes(8), 0)


# --- unions ---------------------------------------------------------------------------------------


def union_buffer(type_fmt=None, tag=None, member=None):
    """A table with a union type at slot 0 (written when ``tag`` is given) and its value at slot 1:
    "leaf", "other", "null" (a zero offset) or None (absent)."""

    def body(b):
        value = {"leaf": lambda: scalar_table(b, 11), "other": lambda: scalar_table(b, 22)}.get(member)
        value = value() if value else None
        b.StartObject(2)
        if tag is not None:
            getattr(b, f"Prepend{type_fmt}Slot")(0, tag, 0)
        if value is not None:
            b.PrependUOffsetTRelativeSlot(1, value, 0)
        elif member == "null":
            b.PrependUint32Slot(1, 0, 1)
        return b.EndObject()

    return build(body)


@pytest.mark.parametrize("tag, member, expected", [
    (1, "leaf", Leaf(v=11)),
    (2, "other", Other(w=22)),
    (2, "leaf", Other(w=11)),  # the tag chooses the class, whatever table the offset reaches
    (0, None, None),
    (None, None, None),
])
def test_union(plan, tag, member, expected):
    assert plan.unpack("Pick8", union_buffer("Uint8", tag, member)).x == expected


@pytest.mark.parametrize("tag", [0, None])
def test_union_none_with_a_payload(plan, tag):
    with raises_exactly(InvalidBufferError, "union NONE discriminator has a payload"):
        plan.unpack("Pick8", union_buffer("Uint8", tag, "leaf"))


def test_union_discriminator_without_payload(plan):
    with raises_exactly(InvalidBufferError, "union discriminator 3 has no payload"):
        plan.unpack("Pick8", union_buffer("Uint8", 3, None))
    with raises_exactly(InvalidBufferError, "union discriminator 1 has no payload"):
        plan.unpack("Pick8", union_buffer("Uint8", 1, None))


def test_unknown_union_discriminator(plan):
    with raises_exactly(InvalidBufferError, "unknown union discriminator 9"):
        plan.unpack("Pick8", union_buffer("Uint8", 9, "leaf"))
    with raises_exactly(InvalidBufferError, f"unknown union discriminator {2**64 - 1}"):
        plan.unpack("Pick64", union_buffer("Uint64", 2**64 - 1, "leaf"))


def test_union_with_a_null_value_offset(plan):
    with raises_exactly(InvalidBufferError, "union field offset contains a null offset"):
        plan.unpack("Pick8", union_buffer("Uint8", 1, "null"))


@pytest.mark.parametrize("name, fmt, tag, expected", [
    ("Pick16", "Uint16", 300, Other(w=22)),
    ("Pick16", "Uint16", 1, Leaf(v=22)),
    ("Pick32", "Uint32", 70000, Other(w=22)),
    ("Pick64", "Uint64", 2**40, Leaf(v=22)),
])
def test_wide_union_discriminators(plan, name, fmt, tag, expected):
    assert plan.unpack(name, union_buffer(fmt, tag, "other")).x == expected


@pytest.mark.parametrize("name, fmt", [("PickSigned", "Int8"), ("PickFloat", "Float32")])
def test_union_discriminator_of_a_signed_or_floating_kind(plan, name, fmt):
    with raises_exactly(ValueError, "union discriminator must use an unsigned integer type"):
        plan.unpack(name, union_buffer(fmt, 1, "leaf"))
    assert plan.unpack(name, union_buffer(fmt, None, None)).x is None


def test_union_member_must_be_a_table(plan):
    with raises_exactly(TypeError, "Point is a struct, not a table"):
        plan.unpack("PickStruct", union_buffer("Uint8", 1, "leaf"))


# --- vectors of unions ----------------------------------------------------------------------------


def union_vector_buffer(types, values, fmt="Uint8"):
    """A table with a vector of union types at slot 0 and of values at slot 1; a list or None
    (absent) each. Values are "leaf", "other" or 0 (a null offset)."""

    def body(b):
        members = {"leaf": scalar_table(b, 11), "other": scalar_table(b, 22)}
        value_vector = None if values is None else offsets_vector(b, [members.get(v, 0) for v in values])
        type_vector = None if types is None else scalars_vector(b, fmt, types)
        b.StartObject(2)
        if type_vector is not None:
            b.PrependUOffsetTRelativeSlot(0, type_vector, 0)
        if value_vector is not None:
            b.PrependUOffsetTRelativeSlot(1, value_vector, 0)
        return b.EndObject()

    return build(body)


def test_union_vector(plan):
    got = plan.unpack("Many8", union_vector_buffer([1, 0, 2, 1], ["leaf", 0, "other", "other"]))
    assert got.x == [Leaf(v=11), None, Other(w=22), Leaf(v=22)]
    assert got.x[2] is not got.x[3]


def test_empty_and_absent_union_vectors(plan):
    assert plan.unpack("Many8", union_vector_buffer([], [])).x == []
    assert plan.unpack("Many8", union_vector_buffer(None, None)).x is None


@pytest.mark.parametrize("types, values", [([1, 2], ["leaf", "other", "leaf"]), ([1, 2, 1], ["leaf"]), ([], ["leaf"])])
def test_union_vector_lengths_differ(plan, types, values):
    with raises_exactly(InvalidBufferError, 'union vector "x" type/value lengths differ'):
        plan.unpack("Many8", union_vector_buffer(types, values))


@pytest.mark.parametrize("types, values", [([1], None), (None, ["leaf"]), ([], None), (None, [])])
def test_union_vector_presence_differs(plan, types, values):
    with raises_exactly(InvalidBufferError, 'union vector "x" type/value presence differs'):
        plan.unpack("Many8", union_vector_buffer(types, values))


def test_union_vector_none_with_a_payload(plan):
    with raises_exactly(InvalidBufferError, "union vector NONE has a payload"):
        plan.unpack("Many8", union_vector_buffer([1, 0], ["leaf", "other"]))


def test_union_vector_unknown_discriminator(plan):
    with raises_exactly(InvalidBufferError, "unknown union discriminator 9"):
        plan.unpack("Many8", union_vector_buffer([1, 9], ["leaf", "other"]))


def test_union_vector_null_offset(plan):
    with raises_exactly(InvalidBufferError, "union vector offset contains a null offset"):
        plan.unpack("Many8", union_vector_buffer([0, 2], [0, 0]))


def test_union_vector_with_wide_discriminators(plan):
    got = plan.unpack("Many16", union_vector_buffer([300, 1], ["leaf", "other"], "Uint16"))
    assert got.x == [Other(w=11), Leaf(v=22)]
    got = plan.unpack("Many64", union_vector_buffer([2**40, 0], ["other", 0], "Uint64"))
    assert got.x == [Leaf(v=22), None]


def test_union_vector_of_a_signed_kind(plan):
    with raises_exactly(ValueError, "union discriminator must use an unsigned integer type"):
        plan.unpack("ManySigned", union_vector_buffer([1], ["leaf"], "Int16"))
    assert plan.unpack("ManySigned", union_vector_buffer([], [], "Int16")).x == []


def test_union_vector_member_must_be_a_table(plan):
    assert plan.unpack("ManyStruct", union_vector_buffer([0], [0])).x == [None]
    with raises_exactly(TypeError, "Point is a struct, not a table"):
        plan.unpack("ManyStruct", union_vector_buffer([1], ["leaf"]))


def test_union_vector_data_is_bounds_checked(plan):
    data = bytearray(union_vector_buffer([1, 2], ["leaf", "other"]))
    # Find the type vector (count 2 followed by the bytes 1, 2) and claim far more types.
    at = bytes(data).index(b"\x02\x00\x00\x00\x01\x02")
    data[at:at + 4] = (2**31).to_bytes(4, "little")
    with raises_exactly(BufferBoundsError, f"vector data at offset {at + 4} with size {2**31} exceeds a "
                                           f"{len(data)}-byte buffer"):
        plan.unpack("Many8", bytes(data))


# --- dynamic values -------------------------------------------------------------------------------


def dynamic_buffer(tag=None, payload=None):
    """A table with a dynamic tag (str or bytes) at slot 0 and its payload at slot 1."""

    def body(b):
        data = None if payload is None else byte_vector(b, payload)
        text = None if tag is None else b.CreateString(tag)
        b.StartObject(2)
        if text is not None:
            b.PrependUOffsetTRelativeSlot(0, text, 0)
        if data is not None:
            b.PrependUOffsetTRelativeSlot(1, data, 0)
        return b.EndObject()

    return build(body)


class DynLeaf(Record):
    pass


class SpecialLeaf(DynLeaf):
    pass


@pytest.fixture(scope="module", autouse=True)
def registered_tag():
    _dynamic.dynamic_types.register("p.leaf", DynLeaf)


def test_dynamic_value_of_a_registered_tag(plan):
    got = plan.unpack("Dyn", dynamic_buffer("p.leaf", b"\x01\x02")).x
    assert type(got) is Wrapper and type(got.value) is Decoded
    assert got.value.payload == b"\x01\x02" and type(got.value.payload) is bytes
    assert got.value.kwargs == {"type": DynLeaf}
    assert len(DECODE_CALLS) == 1


def test_dynamic_overrides_choose_the_class(plan):
    overrides = {DynLeaf: SpecialLeaf}
    got = plan.unpack("Dyn", dynamic_buffer("p.leaf", b"\x03"), dynamic_overrides=overrides).x
    assert got.value.kwargs == {"type": SpecialLeaf, "dynamic_overrides": overrides}
    assert got.value.kwargs["dynamic_overrides"] is overrides
    got = plan.unpack("Dyn", dynamic_buffer("p.leaf", b"\x03"), dynamic_overrides={Leaf: SpecialLeaf}).x
    assert got.value.kwargs["type"] is DynLeaf


def test_dynamic_overrides_may_be_any_object_with_get(plan):
    class Always:
        def get(self, key, default):
            return SpecialLeaf

    got = plan.unpack("Dyn", dynamic_buffer("p.leaf", b""), dynamic_overrides=Always()).x
    assert got.value.kwargs["type"] is SpecialLeaf and got.value.payload == b""
    with pytest.raises(AttributeError):
        plan.unpack("Dyn", dynamic_buffer("p.leaf", b""), dynamic_overrides=42)


def test_dynamic_value_of_an_unknown_tag_is_opaque(plan):
    got = plan.unpack("Dyn", dynamic_buffer("p.unknown", b"\x00\xff")).x
    assert type(got) is Wrapper
    assert (got.value, got.tag, got.payload) == (None, "p.unknown", b"\x00\xff")
    assert DECODE_CALLS == []


@pytest.mark.parametrize("tag, shown", [("p", '"p"'), ("", '""'), ("q.leaf", '"q.leaf"'), ("P.leaf", '"P.leaf"'),
                                        ('"p', '"\\"p"')])
def test_dynamic_tag_outside_its_prefix(plan, tag, shown):
    with raises_exactly(ValueError, f'dynamic FlatBuffer tag {shown} is outside "p*"'):
        plan.unpack("Dyn", dynamic_buffer(tag, b"\x01"))


def test_dynamic_tag_without_data(plan):
    with raises_exactly(InvalidBufferError, 'dynamic field "x" type tag has no data'):
        plan.unpack("Dyn", dynamic_buffer("p.leaf", None))


def test_dynamic_data_without_tag(plan):
    with raises_exactly(InvalidBufferError, 'dynamic field "x" has data without a type tag'):
        plan.unpack("Dyn", dynamic_buffer(None, b"\x01"))
    with raises_exactly(InvalidBufferError, 'dynamic field "x" has data without a type tag'):
        plan.unpack("Req_dynamic", dynamic_buffer(None, b""))


def test_dynamic_tag_must_be_utf8(plan):
    with pytest.raises(UnicodeDecodeError):
        plan.unpack("Dyn", dynamic_buffer(b"p.\xff", b"\x01"))


@pytest.mark.parametrize("name, cls, message", [
    ("DynNoPrefix", ValueError, "dynamic field has no allowed prefix"),
    ("DynNoWrapper", ValueError, "dynamic field has no wrapper type"),
    ("DynUnbound", RuntimeError, 'native type "Nope" is not bound'),
])
def test_dynamic_field_described_incompletely(plan, name, cls, message):
    assert plan.unpack(name, EMPTY).x is None
    with raises_exactly(cls, message):
        plan.unpack(name, dynamic_buffer("p.leaf", b"\x01"))


def test_exceptions_of_the_dynamic_hooks_pass_through(plan, monkeypatch):
    def broken_lookup(self, tag):
        raise KeyError(tag)

    monkeypatch.setattr(type(_dynamic.dynamic_types), "lookup_tag", broken_lookup)
    with pytest.raises(KeyError):
        plan.unpack("Dyn", dynamic_buffer("p.leaf", b"\x01"))
    monkeypatch.undo()

    def broken_opaque(tag, payload):
        raise OSError("cannot wrap")

    monkeypatch.setattr(Wrapper, "opaque", staticmethod(broken_opaque))
    with pytest.raises(OSError, match="^cannot wrap$"):
        plan.unpack("Dyn", dynamic_buffer("p.unknown", b"\x01"))


# --- nested FlatBuffers ---------------------------------------------------------------------------


def nested_buffer(payload):
    def body(b):
        data = byte_vector(b, payload)
        b.StartObject(1)
        b.PrependUOffsetTRelativeSlot(0, data, 0)
        return b.EndObject()

    return build(body)


def test_nested_payload_goes_to_the_model_decoder(plan):
    got = plan.unpack("Nest", nested_buffer(b"\x10\x20\x30")).x
    assert type(got) is Decoded
    assert got.payload == b"\x10\x20\x30" and type(got.payload) is bytes
    assert got.kwargs == {"type": Leaf}


def test_nested_payload_with_dynamic_overrides(plan):
    overrides = {"anything": 1}
    got = plan.unpack("Nest", nested_buffer(b""), dynamic_overrides=overrides).x
    assert got.payload == b""
    assert got.kwargs == {"type": Leaf, "dynamic_overrides": overrides}
    assert got.kwargs["dynamic_overrides"] is overrides
    empty = {}
    got = plan.unpack("Nest", nested_buffer(b"\x01"), dynamic_overrides=empty).x
    assert got.kwargs["dynamic_overrides"] is empty
    got = plan.unpack("Nest", nested_buffer(b"\x01"), dynamic_overrides=None).x
    assert got.kwargs == {"type": Leaf}


def test_nested_decoder_errors_pass_through(monkeypatch):
    def failing(payload, **kwargs):
        raise ArithmeticError("bad nested payload")

    monkeypatch.setattr(_flatbuffer, "decode", failing)
    plan = make_plan(*OBJECTS)
    plan.bind_types(TYPES)
    with pytest.raises(ArithmeticError, match="^bad nested payload$"):
        plan.unpack("Nest", nested_buffer(b"\x01"))


# --- keyed table vectors --------------------------------------------------------------------------


def bag_buffer(slot, keys, kind="string"):
    """A Bag whose field ``slot`` holds one keyed table per key, in the order given."""

    def body(b):
        tables = []
        for key in keys:
            text = b.CreateString(key) if kind == "string" and key is not None else None
            b.StartObject(2)
            if text is not None:
                b.PrependUOffsetTRelativeSlot(0, text, 0)
            elif kind != "string":
                getattr(b, f"Prepend{kind}Slot")(0, key, 0)
            tables.append(b.EndObject())
        vector = offsets_vector(b, tables)
        b.StartObject(5)
        b.PrependUOffsetTRelativeSlot(slot, vector, 0)
        return b.EndObject()

    return build(body)


@pytest.mark.parametrize("keys", [[], ["a"], ["Z", "a", "ab", "abc", "b", "ä"], ["", "\x00", "\x01"]])
def test_keyed_string_tables_in_order(plan, keys):
    got = plan.unpack("Bag", bag_buffer(0, keys)).items
    assert type(got) is dict
    assert list(got) == keys
    assert all(type(v) is Item and v.name == k for k, v in got.items())


@pytest.mark.parametrize("keys", [["b", "a"], ["a", "a"], ["abc", "ab"], ["ä", "z"], ["a", "c", "b"]])
def test_keyed_string_tables_out_of_order(plan, keys):
    with raises_exactly(InvalidBufferError, "keyed table vector for Item is not strictly sorted"):
        plan.unpack("Bag", bag_buffer(0, keys))


@pytest.mark.parametrize("slot, kind, keys", [
    (1, "Int64", [-(2**63), -1, 0, 2**63 - 1]),
    (2, "Uint64", [0, 1, 2**63, 2**64 - 1]),
    (3, "Float64", [-math.inf, -1.5, 0.0, 1e-300, math.inf]),
    (4, "Bool", [False, True]),
])
def test_keyed_scalar_tables_in_order(plan, slot, kind, keys):
    got = getattr(plan.unpack("Bag", bag_buffer(slot, keys, kind)), ["", "nums", "unums", "fnums", "bnums"][slot])
    assert list(got) == keys


@pytest.mark.parametrize("slot, kind, keys, name", [
    (1, "Int64", [0, -1], "Num"),
    (1, "Int64", [5, 5], "Num"),
    (2, "Uint64", [2**63, 1], "UNum"),
    (3, "Float64", [-0.0, 0.0], "FNum"),
    (3, "Float64", [1.0, 0.5], "FNum"),
    (4, "Bool", [True, False], "BNum"),
    (4, "Bool", [False, False], "BNum"),
])
def test_keyed_scalar_tables_out_of_order(plan, slot, kind, keys, name):
    with raises_exactly(InvalidBufferError, f"keyed table vector for {name} is not strictly sorted"):
        plan.unpack("Bag", bag_buffer(slot, keys, kind))


def test_nan_key_is_invalid(plan):
    with raises_exactly(InvalidBufferError, "keyed table FNum has an invalid key"):
        plan.unpack("Bag", bag_buffer(3, [math.nan], "Float64"))


def test_absent_string_key_is_invalid(plan):
    with raises_exactly(InvalidBufferError, "keyed table Item has an invalid key"):
        plan.unpack("Bag", bag_buffer(0, ["a", None]))


class KeyedPlan:
    """A plan whose Item class is replaced, to see what the keyed dict is built from."""

    @staticmethod
    def make(item_class):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(_flatbuffer, "decode", recording_decode)
            plan = make_plan(*OBJECTS)
        plan.bind_types({**TYPES, "Item": item_class})
        return plan


def test_keyed_dict_uses_the_attributes_of_the_constructed_objects():
    class Upper(Record):
        def __init__(self, name, n):
            super().__init__(name=name.upper(), n=n)

    got = KeyedPlan.make(Upper).unpack("Bag", bag_buffer(0, ["a", "b"])).items
    assert list(got) == ["A", "B"]

    class Renamed(Record):
        def __init__(self, name, n):
            super().__init__(name={"a": "z", "b": "y"}[name], n=n)

    with raises_exactly(InvalidBufferError, "keyed table vector for Item is not strictly sorted"):
        KeyedPlan.make(Renamed).unpack("Bag", bag_buffer(0, ["a", "b"]))

    class Numbered(Record):
        def __init__(self, name, n):
            super().__init__(name=len(name), n=n)

    with raises_exactly(InvalidBufferError, "keyed table Item has an invalid key"):
        KeyedPlan.make(Numbered).unpack("Bag", bag_buffer(0, ["a"]))


def test_error_reading_the_key_attribute_passes_through():
    class Hidden:
        def __init__(self, name, n):
            pass

        @property
        def name(self):
            raise PermissionError("key is hidden")

    with pytest.raises(PermissionError, match="^key is hidden$"):
        KeyedPlan.make(Hidden).unpack("Bag", bag_buffer(0, ["a"]))


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_interrupts_and_allocation_failures_while_reading_a_key_pass_through(error):
    class Key:
        def __index__(self):
            raise error("raised while reading the key")

    class Keyed:
        def __init__(self, k):
            self.k = Key()

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_flatbuffer, "decode", recording_decode)
        plan = make_plan(*OBJECTS)
    plan.bind_types({**TYPES, "Item": Item, "Num": Keyed})
    with pytest.raises(error, match="^raised while reading the key$"):
        plan.unpack("Bag", bag_buffer(1, [1, 2], "Int64"))
