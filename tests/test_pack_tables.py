"""Tables written by NativePlan.pack: absent and default fields, required fields, unions and union
vectors, fields that tables cannot hold, nested and dynamic payloads, lists that change while
they are walked, and deep graphs."""

import decimal
import uuid

import flatbuffers.number_types as N
import pytest
from trevalin import Struct

import packing
from fbplans import member, ref, scalar, struct as struct_obj, table
from quorvel import _dynamic, _flatbuffer

UNION_ARMS = [(1, "Child"), (2, "Other")]


class Child(Struct):
    n: int = 0


class Other(Struct):
    n: int = 0


class Vec(Struct):
    x: float = 0.0
    y: float = 0.0


class Holder(Struct):
    name: str = None
    count: int = 7
    maybe: int = None
    nums: list = None
    child: Child = None
    vec: Vec = None
    kids: list = None
    tags: list = None
    blob: bytes = None
    flag: bool = False


class Strict(Struct):
    name: str = "x"
    vec: Vec = Vec()
    kids: list = ()
    count: int = 0


class Pick8(Struct):
    u: object = None


class Pick16(Struct):
    u: object = None


class Pick32(Struct):
    u: object = None


class Pick64(Struct):
    u: object = None


class PickI8(Struct):
    u: object = None


class PickNoScalar(Struct):
    u: object = None


class PickNoSlot(Struct):
    u: object = None


class Loadout(Struct):
    items: list = None


class Loadout16(Struct):
    items: list = None


class LoadoutNoSlot(Struct):
    items: list = None


class Fallbacks(Struct):
    ident: object = None
    amount: object = None
    other: object = None


class Arrayed(Struct):
    ints: object = None
    vecs: object = None


class Node(Struct):
    next: "Node" = None
    v: int = 0


class Dyn(Struct):
    d: object = None


class DynBare(Struct):
    d: object = None


class DynNoPrefix(Struct):
    d: object = None


class DynParent(Struct):
    child: Dyn = None


class Nest(Struct):
    inner: Child = None


class PopKid:
    """A table model whose `n` shortens the list it sits in when read."""

    def __init__(self, owner, n):
        self.owner, self.n_value = owner, n

    @property
    def n(self):
        self.owner.pop()
        return self.n_value


class Crowd(Struct):
    kids: list = None
    mixed: list = None


def union_table(name, type_scalar, arms=UNION_ARMS, type_slot=0):
    return table(name, [ref("u", "union", 1, type_slot=type_slot, type_scalar=type_scalar, arms=arms)])


OBJECTS = [
    table("Child", [scalar("n", "int32", 0)]),
    table("Other", [scalar("n", "int32", 0)]),
    struct_obj("Vec", [member("x", "scalar", 0, "float32"), member("y", "scalar", 4, "float32")], 8, 4),
    table("Holder", [
        ref("name", "string", 0),
        scalar("count", "int32", 1, default=7),
        scalar("maybe", "int32", 2, default=5, optional=True),
        ref("nums", "vector_scalar", 3, scalar="int32"),
        ref("child", "table", 4, target="Child"),
        ref("vec", "struct", 5, target="Vec"),
        ref("kids", "vector_table", 6, target="Child"),
        ref("tags", "vector_string", 7),
        ref("blob", "vector_byte", 8),
        scalar("flag", "bool", 9, default=False),
    ]),
    table("Strict", [
        ref("name", "string", 0, required=True),
        ref("vec", "struct", 1, target="Vec", required=True),
        ref("kids", "vector_table", 2, target="Child", required=True),
        scalar("count", "int32", 3, required=True),
    ]),
    union_table("Pick8", "uint8", [(1, "Child"), (256, "Other")]),
    union_table("Pick16", "uint16", [(258, "Child"), (2, "Other")]),
    union_table("Pick32", "uint32", [(2**20 + 1, "Child")]),
    union_table("Pick64", "uint64", [(2**40 + 1, "Child")]),
    union_table("PickI8", "int8"),
    union_table("PickNoScalar", None),
    union_table("PickNoSlot", "uint8", type_slot=None),
    table("Loadout", [ref("items", "union_vector", 1, type_slot=0, type_scalar="uint8", arms=UNION_ARMS)]),
    table("Loadout16", [ref("items", "union_vector", 1, type_slot=0, type_scalar="uint16",
                            arms=[(258, "Child"), (3, "Other")])]),
    table("LoadoutNoSlot", [ref("items", "union_vector", 0, type_scalar="uint8", arms=UNION_ARMS)]),
    table("Fallbacks", [ref("ident", "uuid", 0), ref("amount", "decimal", 1),
                        ref("other", "fallback", 2, fallback_id="custom")]),
    table("Arrayed", [
        ref("ints", "array_scalar", 0, scalar="int32", fixed_length=3, element_size=4),
        ref("vecs", "array_struct", 1, target="Vec", fixed_length=2, element_size=8),
    ]),
    table("Node", [ref("next", "table", 0, target="Node"), scalar("v", "int32", 1)]),
    table("Dyn", [ref("d", "dynamic", 1, type_slot=0, allowed_prefix="app")]),
    table("DynBare", [ref("d", "dynamic", 0, allowed_prefix="app")]),
    table("DynNoPrefix", [ref("d", "dynamic", 1, type_slot=0)]),
    table("DynParent", [ref("child", "table", 0, target="Dyn")]),
    table("Nest", [ref("inner", "nested", 0, target="Child")]),
    table("PopKid", [scalar("n", "int32", 0)]),
    table("Crowd", [
        ref("kids", "vector_table", 0, target="PopKid"),
        ref("mixed", "union_vector", 2, type_slot=1, type_scalar="uint8", arms=[(1, "PopKid"), (2, "Child")]),
    ]),
]

TYPES = {
    cls.__name__: cls
    for cls in (Child, Other, Vec, Holder, Strict, Pick8, Pick16, Pick32, Pick64, PickI8, PickNoScalar,
                PickNoSlot, Loadout, Loadout16, LoadoutNoSlot, Fallbacks, Arrayed, Node, Dyn, DynBare,
                DynNoPrefix, DynParent, Nest, PopKid, Crowd)
}


class Recorder:
    """Stands in for a package encoder: records its calls and answers with ``impl``."""

    def __init__(self, impl):
        self.default = impl
        self.impl = impl
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return self.impl(*args)


def json_like(value, prefix):
    return f"{prefix}.json", repr(value).encode()


DYNAMIC = Recorder(json_like)
NESTED = Recorder(None)


@pytest.fixture(scope="module")
def plan():
    # The plan takes both encoders from the package modules when it is built.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_dynamic, "encode_dynamic", DYNAMIC)
        mp.setattr(_flatbuffer, "encode", NESTED)
        plan = packing.make_plan(OBJECTS, TYPES)
    NESTED.default = lambda value: plan.pack("Child", value)
    return plan


@pytest.fixture
def dynamic():
    DYNAMIC.impl, DYNAMIC.calls = DYNAMIC.default, []
    yield DYNAMIC
    DYNAMIC.impl, DYNAMIC.calls = DYNAMIC.default, []


@pytest.fixture
def nested(plan):
    NESTED.impl, NESTED.calls = NESTED.default, []
    yield NESTED
    NESTED.impl, NESTED.calls = NESTED.default, []


def root(plan, name, model, **kwargs):
    return packing.root(plan.pack(name, model, **kwargs))


# --- absent fields and defaults -------------------------------------------------------------------


def test_table_with_every_field_absent(plan):
    tab = root(plan, "Holder", Holder())
    assert packing.present_slots(tab) == []


def test_non_optional_scalar_at_its_default_is_left_out(plan):
    assert not packing.present(root(plan, "Holder", Holder(count=7)), 1)
    tab = root(plan, "Holder", Holder(count=8))
    assert packing.scalar(tab, 1, N.Int32Flags) == 8
    assert not packing.present(root(plan, "Holder", Holder(flag=False)), 9)
    assert packing.scalar(root(plan, "Holder", Holder(flag=True)), 9, N.BoolFlags) is True


def test_optional_scalar_at_its_default_is_written(plan):
    tab = root(plan, "Holder", Holder(maybe=5))
    assert packing.present_slots(tab) == [2]
    assert packing.scalar(tab, 2, N.Int32Flags) == 5


def test_field_order_in_memory(plan):
    # Pass 2 adds the fields in plan order, so the first field ends up last in memory.
    tab = root(plan, "Holder", Holder(count=1, maybe=2))
    assert packing.field_offset(tab, 1) > packing.field_offset(tab, 2)


# --- required fields ------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["name", "vec", "kids"])
def test_required_field_holding_none(plan, name):
    with pytest.raises(TypeError) as info:
        plan.pack("Strict", Strict(**{name: None}))
    assert str(info.value) == f'required field "{name}" is absent'


def test_required_fields_present(plan):
    tab = root(plan, "Strict", Strict(name="", vec=Vec(), kids=[]))
    assert packing.string(tab, 0) == b""
    assert packing.vector(tab, 2)[1] == 0
    assert packing.present(tab, 1)


def test_required_scalar_holding_none_fails_in_conversion(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Strict", Strict(count=None))
    assert "required field" not in str(info.value)


# --- unions ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, tag, flags",
    [("Pick8", 1, N.Uint8Flags), ("Pick16", 258, N.Uint16Flags), ("Pick32", 2**20 + 1, N.Uint32Flags),
     ("Pick64", 2**40 + 1, N.Uint64Flags)],
)
def test_union_type_is_written_at_its_width(plan, name, tag, flags):
    tab = root(plan, name, TYPES[name](u=Child(n=41)))
    assert packing.scalar(tab, 0, flags) == tag
    member_table = packing.table(tab, 1)
    assert packing.scalar(member_table, 0, N.Int32Flags) == 41


def test_union_type_of_the_second_arm(plan):
    tab = root(plan, "Pick16", Pick16(u=Other(n=3)))
    assert packing.scalar(tab, 0, N.Uint16Flags) == 2
    assert packing.scalar(packing.table(tab, 1), 0, N.Int32Flags) == 3


def test_uint8_union_type_whose_low_byte_is_zero_is_left_out(plan):
    tab = root(plan, "Pick8", Pick8(u=Other(n=1)))
    assert not packing.present(tab, 0)
    assert packing.present(tab, 1)


def test_absent_union(plan):
    assert packing.present_slots(root(plan, "Pick16", Pick16())) == []


def test_union_with_a_signed_type_scalar(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("PickI8", PickI8(u=Child()))
    assert str(info.value) == "polymorphic field has an invalid type scalar"


def test_union_without_a_type_scalar(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("PickNoScalar", PickNoScalar(u=Child()))
    assert str(info.value) == "native field has no valid scalar kind"
    with pytest.raises(ValueError) as info:
        plan.pack("PickNoScalar", PickNoScalar(u=Child()), initial_size=128)
    assert str(info.value) == "polymorphic field has an invalid type scalar"


def test_union_without_a_type_slot(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("PickNoSlot", PickNoSlot(u=Child()))
    assert str(info.value) == "union has no type slot"


def test_union_refuses_a_model_outside_its_arms(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Pick32", Pick32(u=Other()))
    assert str(info.value) == 'union field "u" does not accept model type Other'


def test_union_refuses_an_unbound_object(plan):
    class Loose:
        n = 1

    with pytest.raises(TypeError) as info:
        plan.pack("Pick8", Pick8(u=Loose()))
    assert str(info.value) == 'union field "u" does not accept model type Loose'
    with pytest.raises(TypeError) as info:
        plan.pack("Pick8", Pick8(u=42), initial_size=64)
    assert str(info.value) == 'union field "u" does not accept model type int'


def test_union_vector_with_a_gap(plan):
    tab = root(plan, "Loadout", Loadout(items=[Child(n=1), None, Other(n=2)]))
    assert packing.vector_raw(tab, 0, 1) == b"\x01\x00\x02"
    words = packing.offset_words(tab, 1)
    assert len(words) == 3 and words[0] != 0 and words[1] == 0 and words[2] != 0
    first, gap, last = packing.table_vector(tab, 1)
    assert gap is None
    assert packing.scalar(first, 0, N.Int32Flags) == 1
    assert packing.scalar(last, 0, N.Int32Flags) == 2


def test_union_vector_types_are_written_at_the_type_scalar_width(plan):
    # So that the reader, which reads them at that width, gets the tags back (258 does not fit a byte).
    tab = root(plan, "Loadout16", Loadout16(items=[Child(n=1), None, Other(n=2)]))
    assert packing.vector(tab, 0)[1] == 3
    assert packing.vector_raw(tab, 0, 2) == b"\x02\x01\x00\x00\x03\x00"
    got = plan.unpack("Loadout16", plan.pack("Loadout16", Loadout16(items=[Child(n=1), None, Other(n=2)])))
    assert got.items == [Child(n=1), None, Other(n=2)]


def test_empty_union_vector(plan):
    tab = root(plan, "Loadout", Loadout(items=[]))
    assert packing.vector(tab, 0)[1] == 0
    assert packing.vector(tab, 1)[1] == 0


def test_union_vector_refuses_a_model_outside_its_arms(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Loadout", Loadout(items=[Child(), Holder()]))
    assert str(info.value) == 'union field "items" does not accept model type Holder'


def test_union_vector_without_a_type_slot(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("LoadoutNoSlot", LoadoutNoSlot(items=[Child()]))
    assert str(info.value) == "union vector has no type slot"


# --- roots and kinds tables cannot hold -----------------------------------------------------------


def test_struct_as_the_root(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Vec", Vec())
    assert str(info.value) == "Vec is a struct, not a table"


def test_fallback_kinds_holding_none_are_absent(plan):
    assert packing.present_slots(root(plan, "Fallbacks", Fallbacks())) == []


@pytest.mark.parametrize(
    "field, value",
    [("ident", uuid.UUID(int=1)), ("amount", decimal.Decimal("1.5")), ("other", object())],
)
def test_fallback_kinds_cannot_be_packed(plan, field, value):
    with pytest.raises(ValueError) as info:
        plan.pack("Fallbacks", Fallbacks(**{field: value}))
    assert str(info.value) == "serde fallback fields cannot be encoded as FlatBuffers"


@pytest.mark.parametrize("field, value", [("ints", [1, 2, 3]), ("vecs", [Vec(), Vec()])])
def test_fixed_arrays_on_a_table(plan, field, value):
    with pytest.raises(ValueError) as info:
        plan.pack("Arrayed", Arrayed(**{field: value}))
    assert str(info.value) == "fixed arrays may only be fields of structs"


def test_fixed_arrays_on_a_table_holding_none(plan):
    assert packing.present_slots(root(plan, "Arrayed", Arrayed())) == []


# --- strings and child tables ---------------------------------------------------------------------


@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"x", "bytes"), (1.5, "float")])
def test_string_field_given_another_type(plan, value, type_name):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(name=value))
    assert str(info.value) == f"'{type_name}' object is not an instance of 'str'"


@pytest.mark.parametrize("initial_size", [0, 64])
@pytest.mark.parametrize("field", ["tags", "nums"])
def test_str_for_a_vector_is_refused_not_split(plan, field, initial_size):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(**{field: "abc"}), initial_size=initial_size)
    assert str(info.value) == "Can't extract `str` to `Vec`"


def test_string_vector_element_of_another_type(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(tags=["a", 5]), initial_size=64)
    assert str(info.value) == "'int' object is not an instance of 'str'"


def test_string_subclass_is_a_string(plan):
    class Label(str):
        pass

    tab = root(plan, "Holder", Holder(name=Label("sub"), tags=[Label("a")]))
    assert packing.string(tab, 0) == b"sub"
    assert packing.string_vector(tab, 7) == [b"a"]


def test_string_that_has_no_utf8_form(plan):
    with pytest.raises(UnicodeEncodeError):
        plan.pack("Holder", Holder(name="\ud800"))


def test_string_with_nul_and_its_terminator(plan):
    tab = root(plan, "Holder", Holder(name="a\x00b"))
    assert packing.string(tab, 0) == b"a\x00b"
    start, count = packing.vector(tab, 0)
    assert tab.Bytes[start + count] == 0


def test_child_table_of_another_model(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(child=Other()))
    assert str(info.value) == "Other must subclass Child"


def test_table_vector_element_none(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Holder", Holder(kids=[Child(), None]))
    assert str(info.value) == "NoneType does not have exactly one generated FlatBuffer model base"


def test_table_vector_keeps_the_given_order(plan):
    tab = root(plan, "Holder", Holder(kids=(Child(n=3), Child(n=1), Child(n=2))))
    assert [packing.scalar(t, 0, N.Int32Flags, 0) for t in packing.table_vector(tab, 6)] == [3, 1, 2]


# --- dynamic fields -------------------------------------------------------------------------------


def test_dynamic_field_writes_tag_and_payload(plan, dynamic):
    tab = root(plan, "Dyn", Dyn(d={"a": 1}))
    assert packing.string(tab, 0) == b"app.json"
    assert packing.vector_raw(tab, 1, 1) == repr({"a": 1}).encode()


def test_dynamic_encoder_is_called_once_for_a_root_field(plan, dynamic):
    value = [1, 2]
    plan.pack("Dyn", Dyn(d=value))
    assert len(dynamic.calls) == 1
    called_value, prefix = dynamic.calls[0]
    assert called_value is value
    assert type(prefix) is str and prefix == "app"


def test_dynamic_field_in_a_child_table(plan, dynamic):
    tab = root(plan, "DynParent", DynParent(child=Dyn(d=3)))
    child = packing.table(tab, 0)
    assert packing.string(child, 0) == b"app.json"
    assert packing.vector_raw(child, 1, 1) == b"3"


def test_dynamic_field_holding_none(plan, dynamic):
    assert packing.present_slots(root(plan, "Dyn", Dyn())) == []
    assert dynamic.calls == []


def test_dynamic_payload_from_a_memoryview(plan, dynamic):
    dynamic.impl = lambda value, prefix: ("app.raw", memoryview(b"xyz"))
    tab = root(plan, "Dyn", Dyn(d=1))
    assert packing.string(tab, 0) == b"app.raw"
    assert packing.vector_raw(tab, 1, 1) == b"xyz"


@pytest.mark.parametrize(
    "result, error, message",
    [
        (["app.json", b""], TypeError, "'list' object is not an instance of 'tuple'"),
        ((5, b""), TypeError, "'int' object is not an instance of 'str'"),
        (("app.json",), IndexError, None),
    ],
)
def test_dynamic_encoder_result_is_checked(plan, dynamic, result, error, message):
    dynamic.impl = lambda value, prefix: result
    for initial_size in (0, 256):
        with pytest.raises(error) as info:
            plan.pack("Dyn", Dyn(d=1), initial_size=initial_size)
        if message is not None:
            assert str(info.value) == message


def test_dynamic_encoder_error_passes_through(plan, dynamic):
    class Refused(Exception):
        pass

    def refuse(value, prefix):
        raise Refused("no")

    dynamic.impl = refuse
    with pytest.raises(Refused):
        plan.pack("Dyn", Dyn(d=1))


def test_dynamic_field_without_a_prefix(plan, dynamic):
    with pytest.raises(ValueError) as info:
        plan.pack("DynNoPrefix", DynNoPrefix(d=1))
    assert str(info.value) == "dynamic field has no allowed prefix"
    assert dynamic.calls == []


def test_dynamic_field_without_a_type_slot(plan, dynamic):
    with pytest.raises(ValueError) as info:
        plan.pack("DynBare", DynBare(d=1))
    assert str(info.value) == "dynamic field has no type slot"


# --- nested FlatBuffers ---------------------------------------------------------------------------


def test_nested_field_holds_the_encoder_result(plan, nested):
    tab = root(plan, "Nest", Nest(inner=Child(n=9)))
    payload = packing.vector_raw(tab, 0, 1)
    assert payload == bytes(plan.pack("Child", Child(n=9)))
    assert packing.scalar(packing.root(payload), 0, N.Int32Flags) == 9


def test_nested_encoder_is_called_once_for_a_root_field(plan, nested):
    inner = Child(n=2)
    plan.pack("Nest", Nest(inner=inner))
    assert len(nested.calls) == 1 and nested.calls[0][0] is inner


def test_nested_field_holding_none(plan, nested):
    assert packing.present_slots(root(plan, "Nest", Nest())) == []
    assert nested.calls == []


def test_nested_encoder_error_passes_through(plan, nested):
    def refuse(value):
        raise LookupError("unregistered")

    nested.impl = refuse
    with pytest.raises(LookupError):
        plan.pack("Nest", Nest(inner=Child()))


def test_nested_encoder_result_must_be_a_buffer(plan, nested):
    nested.impl = lambda value: "not bytes"
    with pytest.raises(TypeError):
        plan.pack("Nest", Nest(inner=Child()))


# --- lists changing during the walk ---------------------------------------------------------------


def test_table_vector_shrinking_during_the_walk(plan):
    kids = []
    kids.extend(PopKid(kids, n) for n in range(4))
    tab = root(plan, "Crowd", Crowd(kids=kids), initial_size=512)
    tables = packing.table_vector(tab, 0)
    assert [packing.scalar(t, 0, N.Int32Flags, 0) for t in tables] == [0, 1]


def test_union_vector_shrinking_during_the_walk(plan):
    mixed = []
    mixed.extend([PopKid(mixed, 5), Child(n=6), PopKid(mixed, 7), Child(n=8), Child(n=9)])
    # 5 drops 9 and 7 drops 8, so the walk ends after three elements.
    tab = root(plan, "Crowd", Crowd(mixed=mixed), initial_size=512)
    types = packing.vector_raw(tab, 1, 1)
    tables = packing.table_vector(tab, 2)
    assert types == b"\x01\x02\x01"
    assert [packing.scalar(t, 0, N.Int32Flags, 0) for t in tables] == [5, 6, 7]


# --- deep graphs ----------------------------------------------------------------------------------


def chain(length):
    node = None
    for v in range(length):
        node = Node(next=node, v=v)
    return node


def test_moderately_deep_chain(plan):
    tab = root(plan, "Node", chain(200))
    values = []
    while tab is not None:
        values.append(packing.scalar(tab, 1, N.Int32Flags, 0))
        tab = packing.table(tab, 0)
    assert values == list(range(199, -1, -1))


def test_very_deep_chain_raises_recursion_error(plan):
    head = chain(100_000)
    with pytest.raises(RecursionError):
        plan.pack("Node", head)
    # The plan is still usable afterwards.
    assert packing.scalar(root(plan, "Node", Node(v=3)), 1, N.Int32Flags) == 3


# --- what the builder cannot represent ------------------------------------------------------------


def test_two_fields_written_to_one_slot_are_refused():
    class Twice(Struct):
        a: int = 0
        b: int = 0

    plan = packing.make_plan([table("Twice", [scalar("a", "int32", 0), scalar("b", "int32", 0)])],
                             {"Twice": Twice})
    assert len(plan.pack("Twice", Twice(a=1))) > 0  # b at its default is not written
    with pytest.raises(ValueError) as info:
        plan.pack("Twice", Twice(a=1, b=2))
    assert str(info.value) == "native table Twice writes vtable slot 0 twice"


def test_a_sequence_claiming_a_huge_length_is_walked_as_it_is(plan):
    class Claims(list):
        def __len__(self):
            return 2**61

    tab = root(plan, "Holder", Holder(tags=Claims(["a", "b"]), kids=Claims([Child(n=1)])))
    assert packing.vector(tab, 7)[1] == 2
    assert packing.vector(tab, 6)[1] == 1


@pytest.mark.parametrize("slot, fits", [(32764, True), (32765, False), (65535, False)])
def test_slots_past_what_a_vtable_can_address_are_refused(slot, fits):
    class Far(Struct):
        a: int = 0

    plan = packing.make_plan([table("Far", [scalar("a", "int32", slot)])], {"Far": Far})
    if fits:
        assert plan.unpack("Far", plan.pack("Far", Far(a=5))) == Far(a=5)
    else:
        with pytest.raises(ValueError) as info:
            plan.pack("Far", Far(a=5))
        assert str(info.value) == f"native field slot {slot} exceeds the FlatBuffers vtable limit"


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_interrupts_and_allocation_failures_in_union_classification_pass_through(plan, error):
    armed = False

    class Meta(type):
        # Classification reads the subclass's field names through its class; make that read fail.
        @property
        def __struct_fields__(cls):
            if armed:
                raise error("raised while classifying")
            return Other.__struct_fields__

        @__struct_fields__.setter
        def __struct_fields__(cls, value):
            pass

    class Sub(Other, metaclass=Meta):
        pass

    armed = True

    with pytest.raises(error, match="^raised while classifying$"):
        plan.pack("Pick8", Pick8(u=Sub()))
