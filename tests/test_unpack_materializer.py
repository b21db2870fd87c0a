"""How unpack turns the decoded fields into model objects: construction by keyword in plan order,
exceptions of model classes, the subclasses chosen through model_types, the cap on decoded
objects, and graphs too deep for recursion."""

import struct as binary

import numpy as np
import pytest
from trevalin import Struct

from plans import field, make_plan, struct, table
from quorvel import _flatbuffer
from quorvel._runtime import BufferBoundsError, InvalidBufferError
from unpacking import Image, Record, raises_exactly, record_types, single_table

CAP_ERROR = "FlatBuffer contains more than 1000000 decoded objects"


class Nothing:
    """A model class whose objects are None: keeps huge decoded graphs small in memory."""

    def __new__(cls, **fields):
        return None


# --- construction ---------------------------------------------------------------------------------


class Recorder:
    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, list(kwargs.items())))
        self.kwargs = kwargs


def int_table(values):
    """A table whose int32 fields are given by {slot: value}; other slots absent."""
    slots = max(values) + 1
    entries = [4 + 4 * sorted(values).index(s) if s in values else 0 for s in range(slots)]
    img, at = single_table(entries, 4 + 4 * len(values))
    for i, slot in enumerate(sorted(values)):
        img.i32(at + 4 + 4 * i, values[slot])
    return img.bytes()


def test_objects_are_constructed_by_keyword_in_plan_order():
    plan = make_plan(table("T", [field("c", slot=2), field("a", slot=0), field("b", "string", slot=1)]))
    plan.bind_types({"T": Recorder})
    data = int_table({0: 10, 2: 30})
    Recorder.calls.clear()
    got = plan.unpack("T", data)
    assert type(got) is Recorder
    assert Recorder.calls == [((), [("c", 30), ("a", 10), ("b", None)])]


def test_repeated_field_names_keep_the_last_value():
    plan = make_plan(table("T", [field("x", slot=0), field("x", slot=1), field("y", slot=2)]))
    plan.bind_types({"T": Recorder})
    Recorder.calls.clear()
    got = plan.unpack("T", int_table({0: 1, 1: 2, 2: 3}))
    assert got.kwargs == {"x": 2, "y": 3}


def test_any_class_can_be_the_model_class():
    plan = make_plan(table("T", [field("a", slot=0), field("b", slot=1)]))
    plan.bind_types({"T": dict})
    assert plan.unpack("T", int_table({0: 5, 1: 6})) == {"a": 5, "b": 6}


class Kid(Struct):
    v: int = 0


class Refusing(Kid):
    def __init__(self, **values):
        if values.get("v") == 13:
            raise Refusing.error
        super().__init__(**values)


Refusing.error = OverflowError("unlucky")


class Parent(Struct):
    kids: list = None


def test_exception_of_a_model_class_passes_through():
    plan = make_plan(table("Kid", [field("v", slot=0)]),
                     table("Parent", [field("kids", "vector_table", slot=0, target="Kid")]))
    plan.bind_types({"Kid": Refusing, "Parent": Parent})
    fine = plan.pack("Parent", Parent(kids=[Refusing(v=1), Refusing(v=2)]))
    assert [k.v for k in plan.unpack("Parent", fine).kids] == [1, 2]
    kid = Refusing(v=1)
    kid.v = 13
    with pytest.raises(OverflowError) as info:
        plan.unpack("Parent", plan.pack("Parent", Parent(kids=[Refusing(v=1), kid])))
    assert info.value is Refusing.error


# --- model_types ----------------------------------------------------------------------------------


class GenRoot(Struct):
    child: object = None
    other: object = None
    kids: list = None
    pick: object = None
    picks: list = None
    inner: object = None
    spot: object = None
    spots: list = None


class GenChild(Struct):
    v: int = 0
    next: object = None


class GenSpot(Struct):
    a: int = 0


class MyRoot(GenRoot):
    pass


class MyChild(GenChild):
    pass


class MyChild2(GenChild):
    pass


class MySpot(GenSpot):
    pass


MODEL_OBJECTS = [
    table("Root", [
        field("child", "table", slot=0, target="Child"),
        field("other", "table", slot=1, target="Child"),
        field("kids", "vector_table", slot=2, target="Child"),
        field("pick", "union", slot=4, type_slot=3, type_scalar="uint8", arms=[(1, "Child")]),
        field("picks", "union_vector", slot=6, type_slot=5, type_scalar="uint8", arms=[(1, "Child")]),
        field("inner", "nested", slot=7, target="Child"),
        field("spot", "struct", slot=8, target="Spot"),
        field("spots", "vector_struct", slot=9, target="Spot"),
    ]),
    table("Child", [field("v", slot=0), field("next", "table", slot=1, target="Child")]),
    struct("Spot", [field("a", offset=0)], byte_size=4, min_alignment=4),
]


def nested_types(payload, *, type, dynamic_overrides=None):
    """Model decoder that reports the class it was asked for."""
    return ("decoded", type)


@pytest.fixture(scope="module")
def model_plan():
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_flatbuffer, "decode", nested_types)
        plan = make_plan(*MODEL_OBJECTS)
    plan.bind_types({"Root": GenRoot, "Child": GenChild, "Spot": GenSpot})
    _flatbuffer.register(GenChild, plan, "Child")
    return plan


def chain(*values):
    node = None
    for v in reversed(values):
        node = GenChild(v=v, next=node)
    return node


@pytest.fixture(scope="module")
def graph(model_plan):
    root = GenRoot(
        child=chain(1, 2, 3), other=chain(4, 5, 6), kids=[GenChild(v=7), GenChild(v=8)], pick=GenChild(v=9),
        picks=[GenChild(v=10), None, GenChild(v=11)], inner=GenChild(v=12), spot=GenSpot(a=1),
        spots=[GenSpot(a=2), GenSpot(a=3)],
    )
    return bytes(model_plan.pack("Root", root))


def classes(node):
    """The classes along a chain of children."""
    out = []
    while node is not None:
        out.append(type(node))
        node = node.next
    return out


def unpack_with(plan, data, requested_root, bindings):
    types = plan.model_types(GenRoot, requested_root, bindings)
    return plan.unpack("Root", data, model_types=types)


def test_without_model_types_every_object_has_its_bound_class(model_plan, graph):
    got = model_plan.unpack("Root", graph)
    assert type(got) is GenRoot
    assert classes(got.child) == classes(got.other) == [GenChild] * 3
    assert got.inner == ("decoded", GenChild)


def test_root_subclass(model_plan, graph):
    got = unpack_with(model_plan, graph, MyRoot, [])
    assert type(got) is MyRoot
    assert classes(got.child) == [GenChild] * 3
    assert {type(k) for k in got.kids} == {GenChild}
    assert type(got.spot) is GenSpot


def test_child_subclass_through_one_field(model_plan, graph):
    got = unpack_with(model_plan, graph, MyRoot, [(GenRoot, MyRoot, "child", GenChild, MyChild)])
    assert classes(got.child) == [MyChild, GenChild, GenChild]
    assert classes(got.other) == [GenChild] * 3
    assert [type(k) for k in got.kids] == [GenChild, GenChild]
    assert type(got.pick) is GenChild
    assert got.child.v == 1 and got.child.next.v == 2


def test_binding_names_the_class_constructed_for_the_parent(model_plan, graph):
    bindings = [(GenRoot, GenRoot, "child", GenChild, MyChild)]
    assert classes(unpack_with(model_plan, graph, MyRoot, bindings).child)[0] is GenChild
    assert classes(unpack_with(model_plan, graph, GenRoot, bindings).child)[0] is MyChild


def test_bindings_chain(model_plan, graph):
    bindings = [
        (GenRoot, MyRoot, "child", GenChild, MyChild),
        (GenChild, MyChild, "next", GenChild, MyChild2),
    ]
    got = unpack_with(model_plan, graph, MyRoot, bindings)
    assert classes(got.child) == [MyChild, MyChild2, GenChild]
    assert classes(got.other) == [GenChild] * 3
    bindings.append((GenChild, GenChild, "next", GenChild, MyChild))
    got = unpack_with(model_plan, graph, MyRoot, bindings)
    assert classes(got.child) == [MyChild, MyChild2, GenChild]
    assert classes(got.other) == [GenChild, MyChild, MyChild2]


SUBCLASSED = {
    "kids": [MyChild, MyChild], "pick": MyChild, "picks": [MyChild, type(None), MyChild], "spot": MySpot,
    "spots": [MySpot, MySpot],
}
UNCHANGED = {
    "kids": [GenChild, GenChild], "pick": GenChild, "picks": [GenChild, type(None), GenChild], "spot": GenSpot,
    "spots": [GenSpot, GenSpot],
}


def kinds(value):
    return [type(v) for v in value] if isinstance(value, list) else type(value)


@pytest.mark.parametrize("name", sorted(SUBCLASSED))
def test_child_subclass_through_each_kind_of_field(model_plan, graph, name):
    child, requested = (GenSpot, MySpot) if name.startswith("spot") else (GenChild, MyChild)
    got = unpack_with(model_plan, graph, GenRoot, [(GenRoot, GenRoot, name, child, requested)])
    for other in SUBCLASSED:
        assert kinds(getattr(got, other)) == (SUBCLASSED if other == name else UNCHANGED)[other], other
    assert classes(got.child) == [GenChild] * 3
    assert got.inner == ("decoded", GenChild)


def test_nested_payload_is_decoded_into_the_subclass(model_plan, graph):
    got = unpack_with(model_plan, graph, GenRoot, [(GenRoot, GenRoot, "inner", GenChild, MyChild)])
    assert got.inner == ("decoded", MyChild)
    assert type(got.child) is GenChild


def test_subclasses_keep_the_decoded_values(model_plan, graph):
    got = unpack_with(model_plan, graph, MyRoot, [(GenRoot, MyRoot, "spots", GenSpot, MySpot),
                                                  (GenRoot, MyRoot, "picks", GenChild, MyChild)])
    assert [s.a for s in got.spots] == [2, 3]
    assert [p if p is None else p.v for p in got.picks] == [10, None, 11]


# --- the cap on decoded objects -------------------------------------------------------------------


def hub_buffer(count):
    """A Hub whose vector holds ``count`` offsets, all to one empty Dot table."""
    vector = 20
    dot_vtable = vector + 4 + 4 * count
    dot = dot_vtable + 4
    img = Image().root(12).vtable(4, 8, [4]).table(12, vtable=4).uoffset(16, vector)
    slots = vector + 4 + 4 * np.arange(count, dtype=np.int64)
    img.vector(vector, count, (dot - slots).astype("<u4").tobytes())
    img.vtable(dot_vtable, 4).table(dot, vtable=dot_vtable)
    return img.bytes()


@pytest.fixture(scope="module")
def cap_plan():
    plan = make_plan(
        table("Dot", []),
        table("Hub", [field("dots", "vector_table", slot=0, target="Dot")]),
        struct("Zero", [], byte_size=0),
        table("Zeros", [field("zeros", "vector_struct", slot=0, target="Zero")]),
        table("Fork", [field("a", "table", slot=0, target="Fork"), field("b", "table", slot=1, target="Fork")]),
    )
    plan.bind_types({"Dot": Nothing, "Hub": Record, "Zero": Nothing, "Zeros": Record, "Fork": Nothing})
    return plan


def test_one_million_objects_decode(cap_plan):
    got = cap_plan.unpack("Hub", hub_buffer(999_999))
    assert len(got.dots) == 999_999


def test_one_more_object_is_refused(cap_plan):
    with raises_exactly(InvalidBufferError, CAP_ERROR):
        cap_plan.unpack("Hub", hub_buffer(1_000_000))


def zeros_buffer(count):
    img, at = single_table([4], 8)
    return img.uoffset(at + 4, at + 8).vector(at + 8, count).bytes()


def test_structs_count_towards_the_cap(cap_plan):
    assert len(cap_plan.unpack("Zeros", zeros_buffer(999_999)).zeros) == 999_999
    with raises_exactly(InvalidBufferError, CAP_ERROR):
        cap_plan.unpack("Zeros", zeros_buffer(1_000_000))
    with raises_exactly(InvalidBufferError, CAP_ERROR):
        cap_plan.unpack("Zeros", zeros_buffer(2**32 - 1))


def fork_buffer(levels):
    """``levels`` tables, each of whose two fields point at the next: every table is reached
    twice as often as the one before it."""
    img = Image().root(16).vtable(4, 12, [4, 8]).vtable(12, 4)
    for i in range(levels):
        at = 16 + 12 * i
        if i < levels - 1:
            img.table(at, vtable=4).uoffset(at + 4, at + 12).uoffset(at + 8, at + 12)
        else:
            img.table(at, vtable=12)
    return img.bytes()


def test_shared_subtables_count_each_time_they_are_reached(cap_plan):
    assert cap_plan.unpack("Fork", fork_buffer(10)) is None  # 1023 objects
    data = fork_buffer(40)
    with raises_exactly(InvalidBufferError, f"FlatBuffer contains more than {len(data) + 4096} decoded objects"):
        cap_plan.unpack("Fork", data)


def test_offsets_only_lead_forward(cap_plan):
    # A field offset of 2**32 - 8 would reach the table itself if offsets wrapped around; read as
    # the unsigned distance it is, it leads past the end of the buffer instead of into a cycle.
    img = Image().root(16).vtable(4, 12, [4, 8]).vtable(12, 4).table(16, vtable=4)
    img.u32(20, 2**32 - 4).u32(24, 2**32 - 8)
    length = len(img.data)
    with raises_exactly(BufferBoundsError, f"table field offset at offset {20 + 2**32 - 4} with size 1 exceeds "
                                           f"a {length}-byte buffer"):
        cap_plan.unpack("Fork", img.bytes())


def test_the_cap_is_per_call(cap_plan):
    data = hub_buffer(999_999)
    for _ in range(2):
        assert len(cap_plan.unpack("Hub", data).dots) == 999_999


class Byte(Struct):
    v: int = 0


class Wrap(Struct):
    b: Byte = None


class Pair(Struct):
    bs: list = None


class Bytes(Struct):
    ws: list = None
    ps: list = None


class Hub(Struct):
    dots: list = None


class Dot(Struct):
    pass


@pytest.fixture(scope="module")
def sized_plan():
    plan = make_plan(
        table("Dot", []),
        table("Hub", [field("dots", "vector_table", slot=0, target="Dot")]),
        struct("Byte", [field("v", scalar="uint8", offset=0)], byte_size=1),
        struct("Wrap", [field("b", "struct", offset=0, target="Byte")], byte_size=1),
        struct("Pair", [field("bs", "array_struct", offset=0, target="Byte", fixed_length=2, element_size=1)],
               byte_size=2),
        table("Bytes", [field("ws", "vector_struct", slot=0, target="Wrap"),
                        field("ps", "vector_struct", slot=1, target="Pair")]),
        table("Fan", [field("kids", "vector_table", slot=0, target="Hub")]),
        table("FanBytes", [field("kids", "vector_table", slot=0, target="Bytes")]),
    )
    plan.bind_types({"Dot": Dot, "Hub": Hub, "Byte": Byte, "Wrap": Wrap, "Pair": Pair, "Bytes": Bytes,
                     "Fan": Record, "FanBytes": Record})
    return plan


@pytest.mark.parametrize("model, objects", [
    # Members and fixed-array elements of a struct share its bytes: 2 and 3 objects per element.
    (Bytes(ws=[Wrap(b=Byte(v=7))] * 20_000), 40_001),
    (Bytes(ps=[Pair(bs=[Byte(v=1), Byte(v=2)])] * 20_000), 60_001),
], ids=["members", "arrays"])
def test_structs_inside_structs_are_not_charged_to_the_sized_cap(sized_plan, model, objects):
    data = bytes(sized_plan.pack("Bytes", model))
    assert objects > len(data) + 4096
    assert sized_plan.unpack("Bytes", data) == model


def fan_buffer(references, count, element=None):
    """A table whose vector holds ``references`` offsets, all to one child table whose field 0 is a
    vector of ``count`` elements: offsets to one empty table, or copies of the struct ``element``."""
    img = Image().root(12).vtable(4, 8, [4]).table(12, vtable=4).uoffset(16, 20)
    child = 24 + 4 * references
    img.vector(20, references)
    for i in range(references):
        img.uoffset(24 + 4 * i, child)
    img.table(child, vtable=4).uoffset(child + 4, child + 8)
    if element is not None:
        return img.vector(child + 8, count, element * count).bytes()
    empty = child + 12 + 4 * count
    img.vector(child + 8, count).vtable(empty, 4).table(empty + 4, vtable=empty)
    for i in range(count):
        img.uoffset(child + 12 + 4 * i, empty + 4)
    return img.bytes()


@pytest.mark.parametrize("root, element", [("Fan", None), ("FanBytes", b"\x07")], ids=["tables", "structs"])
def test_shared_vectors_are_capped_by_the_input_size(sized_plan, root, element):
    # 500 references to one table whose vector holds 500 elements: 250,501 objects from 4 kB.
    data = fan_buffer(500, 500, element)
    with raises_exactly(InvalidBufferError, f"FlatBuffer contains more than {len(data) + 4096} decoded objects"):
        sized_plan.unpack(root, data)
    got = sized_plan.unpack(root, fan_buffer(3, 500, element)).kids
    assert len(got) == 3 and got[0] == got[2]


# --- depth ----------------------------------------------------------------------------------------


class Link(Struct):
    next: object = None
    kids: list = None


def link_chain(depth, through_vectors):
    """``depth`` Link tables, each holding the next in ``next`` or as the one element of ``kids``."""
    entries = [0, 4] if through_vectors else [4]
    img = Image().root(16).vtable(4, 8, entries).vtable(12, 4)
    parts = [bytes(img.data)]
    step = 16 if through_vectors else 8
    for i in range(depth):
        at = 16 + step * i
        last = i == depth - 1
        soffset = at - (12 if last else 4)
        if through_vectors:
            # table (soffset, offset to its vector) then the vector (count 1, offset to the next table)
            parts.append(binary.pack("<iIII", soffset, 0 if last else 4, 0 if last else 1, 0 if last else 4))
        else:
            parts.append(binary.pack("<iI", soffset, 0 if last else 4))
    return b"".join(parts)


@pytest.mark.parametrize("through_vectors, depth", [(False, 100_000), (True, 50_000)])
def test_deep_chain_decodes_without_recursion(through_vectors, depth):
    plan = make_plan(table("Link", [field("next", "table", slot=0, target="Link"),
                                    field("kids", "vector_table", slot=1, target="Link")]))
    plan.bind_types({"Link": Link})
    node = plan.unpack("Link", link_chain(depth, through_vectors))
    seen = 0
    while node is not None:
        seen += 1
        assert type(node) is Link
        node = node.kids[0] if node.kids else node.next
    assert seen == depth


# --- shared offsets -------------------------------------------------------------------------------


def shared_blob_buffer(references, blob_size):
    """A root whose table vector holds `references` offsets, all to one table with a byte vector."""
    buf = bytearray(4)
    vt_root = len(buf)
    buf += binary.pack("<HHHxx", 6, 8, 4)
    root = len(buf)
    buf += binary.pack("<iI", root - vt_root, 0)
    vector = len(buf)
    buf += binary.pack("<I", references) + bytes(4 * references)
    vt_leaf = len(buf)
    buf += binary.pack("<HHHxx", 6, 8, 4)
    leaf = len(buf)
    buf += binary.pack("<iI", leaf - vt_leaf, 0)
    blob = len(buf)
    buf += binary.pack("<I", blob_size) + b"x" * blob_size
    binary.pack_into("<I", buf, 0, root)
    binary.pack_into("<I", buf, root + 4, vector - (root + 4))
    for i in range(references):
        slot = vector + 4 + 4 * i
        binary.pack_into("<I", buf, slot, leaf - slot)
    binary.pack_into("<I", buf, leaf + 4, blob - (leaf + 4))
    return bytes(buf)


@pytest.fixture
def shared_plan():
    class Holder(Struct):
        items: list = None

    class Leaf(Struct):
        blob: bytes = None

    plan = make_plan(
        table("Holder", [field("items", "vector_table", target="Leaf")]),
        table("Leaf", [field("blob", "vector_byte")]),
    )
    plan.bind_types({"Holder": Holder, "Leaf": Leaf})
    return plan


def test_shared_tables_decode_to_copies(shared_plan):
    got = shared_plan.unpack("Holder", shared_blob_buffer(10, 100))
    assert [leaf.blob for leaf in got.items] == [b"x" * 100] * 10


def test_sharing_cannot_expand_a_buffer_without_bound(shared_plan):
    # 2000 references to one 10 kB vector: 20 MB of copies from an 18 kB buffer.
    data = shared_blob_buffer(2000, 10_000)
    with pytest.raises(InvalidBufferError) as info:
        shared_plan.unpack("Holder", data)
    assert str(info.value) == f"FlatBuffer decodes to more than {64 * len(data) + 4096} bytes of data"


# --- nested payloads ------------------------------------------------------------------------------


def shared_nested_buffer(references, payload):
    """A root whose ``references`` nested fields all point at one byte vector holding ``payload``."""
    at = 4 + (4 + 2 * references + 3) // 4 * 4
    vector = at + 4 + 4 * references
    img = Image().root(at).vtable(4, 4 + 4 * references, [4 + 4 * i for i in range(references)]).table(at, vtable=4)
    for i in range(references):
        img.uoffset(at + 4 + 4 * i, vector)
    return img.vector(vector, len(payload), payload).bytes()


def shared_string_buffer(count, text):
    """A Words table whose ``count`` strings are all one string."""
    img, at = single_table([4], 8)
    vector = at + 8
    img.uoffset(at + 4, vector).vector(vector, count)
    for i in range(count):
        img.uoffset(vector + 4 + 4 * i, vector + 4 + 4 * count)
    return img.string(vector + 4 + 4 * count, text).bytes()


@pytest.fixture(scope="module")
def nesting_plan():
    types = record_types("Hub", "Words", "HubNest", "WordsNest")
    plan = make_plan(
        table("Dot", []),
        table("Hub", [field("dots", "vector_table", slot=0, target="Dot")]),
        table("Words", [field("words", "vector_string", slot=0)]),
        table("HubNest", [field(f"n{i}", "nested", slot=i, target="Hub") for i in range(3)]),
        table("WordsNest", [field(f"n{i}", "nested", slot=i, target="Words") for i in range(20)]),
    )
    plan.bind_types({"Dot": Nothing, **types})
    _flatbuffer.register(types["Hub"], plan, "Hub")
    _flatbuffer.register(types["Words"], plan, "Words")
    return plan


@pytest.mark.parametrize("root, payload_root, make_payload, references", [
    # 400,001 objects per payload: three of them pass the cap of one call.
    ("HubNest", "Hub", lambda: hub_buffer(400_000), 3),
    # 100 references to one 100-byte string: 10 kB of text per payload, 200 kB for all twenty.
    ("WordsNest", "Words", lambda: shared_string_buffer(100, "w" * 100), 20),
], ids=["objects", "bytes"])
def test_nested_payloads_draw_on_the_limits_of_their_call(nesting_plan, root, payload_root, make_payload, references):
    payload = make_payload()
    data = shared_nested_buffer(references, payload)
    message = CAP_ERROR if root == "HubNest" else f"FlatBuffer decodes to more than {64 * len(data) + 4096} bytes of data"
    for _ in range(2):
        with raises_exactly(InvalidBufferError, message):
            nesting_plan.unpack(root, data)
    # The payload alone fits, and after a refusal the next call starts afresh.
    assert nesting_plan.unpack(payload_root, payload) is not None
    assert nesting_plan.unpack_view(payload_root, payload, 12) is not None
