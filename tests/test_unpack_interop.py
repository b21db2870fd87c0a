"""Buffers written by the official FlatBuffers Python builder, read by NativePlan.unpack.

The flatc-generated object API (the ``...T`` classes and their ``Pack``) writes model graphs for
the schema of ``monsters``; the plan of that module lays its objects out the way flatc lays out
the schema, so every field written by the generated code must come back field for field. What the
generated code cannot write (vectors of unions, structs holding arrays of structs) is written
with the builder API directly.
"""

import enum
import math

import flatbuffers
import numpy as np
import pytest
from trevalin import Struct

from flatcgen import generated_modules
from monsters import (DYNAMIC_TAG, GENERATED, SCHEMA, Cells, Color, Item, Level, Monster, Reading,
                      Scalars, Shield, Vec2, Weapon, make_box, new_plan)
from quorvel import _dynamic
from quorvel._runtime import InvalidBufferError
from unpacking import assert_same, raises_exactly

UNION_TAGS = {"Weapon": 1, "Shield": 2}


@pytest.fixture(scope="module")
def fb(tmp_path_factory):
    with generated_modules(SCHEMA, tmp_path_factory.mktemp("flatc"), "qvunpack", GENERATED) as ns:
        yield ns


@pytest.fixture(scope="module")
def plan():
    return new_plan()


def camel(name):
    head, *rest = name.split("_")
    return head + "".join(part[:1].upper() + part[1:] for part in rest)


class CellsWriter:
    """Stands in for CellsT, whose generated Pack cannot write an array of structs."""

    def __init__(self, fb, cells):
        self.fb, self.cells = fb, cells

    def Pack(self, builder):
        c = self.cells
        return self.fb.Cells_module.CreateCells(
            builder, [p.x for p in c.pairs], [p.y for p in c.pairs], [bool(b) for b in c.bits],
            [int(h) for h in c.hues])


def object_api(fb, value):
    """The generated object-API value that stands for ``value`` (a model, list, dict, ...)."""
    if isinstance(value, enum.Enum):
        return int(value)
    if isinstance(value, Cells):
        return CellsWriter(fb, value)
    if isinstance(value, Struct):
        name = type(value).__name__
        t = getattr(getattr(fb, name + "_module"), name + "T")()
        for attr in value.__struct_fields__:
            v = getattr(value, attr)
            if not hasattr(t, camel(attr)):
                assert v is None, f"{name}.{attr} has no place in the schema"
                continue
            if attr == "equipped" and v is not None:
                t.equippedType = UNION_TAGS[type(v).__name__]
            elif attr == "payload" and v is not None:
                v = np.frombuffer(write(fb, v), np.uint8).copy()
            elif attr == "meta" and v is not None:
                if v.tag is None:
                    t.metaTag, v = DYNAMIC_TAG, np.frombuffer(write(fb, v.value), np.uint8).copy()
                else:
                    t.metaTag, v = v.tag, np.frombuffer(v.payload, np.uint8).copy()
            setattr(t, camel(attr), object_api(fb, v))
        return t
    if isinstance(value, dict):
        return [object_api(fb, v) for v in value.values()]
    if isinstance(value, list):
        return [object_api(fb, v) for v in value]
    if isinstance(value, bytes):
        return list(value)
    return value


def write(fb, model, identifier=None, size_prefixed=False, force_defaults=False):
    """``model`` written by the generated object API and the official builder."""
    builder = flatbuffers.Builder(0)
    builder.ForceDefaults(force_defaults)
    root = object_api(fb, model).Pack(builder)
    ident = None if identifier is None else identifier.encode()
    if size_prefixed:
        builder.FinishSizePrefixed(root, ident)
    else:
        builder.Finish(root, ident)
    return bytes(builder.Output())


# --- scalars --------------------------------------------------------------------------------------


def test_scalars_at_their_defaults(plan, fb):
    got = plan.unpack("Scalars", write(fb, Scalars()))
    assert_same(got, Scalars())


def test_scalars_with_defaults_forced_into_the_buffer(plan, fb):
    got = plan.unpack("Scalars", write(fb, Scalars(), force_defaults=True))
    assert_same(got, Scalars())


@pytest.mark.parametrize(
    "values",
    [
        dict(flag=False, i8=-128, u8=255, i16=32767, u16=0, i32=-(2**31), u32=2**32 - 1),
        dict(i64=-(2**63), u64=2**63, f32=-0.5, f64=math.inf),
        dict(i64=2**63 - 1, u64=0, f32=float(np.float32(0.1)), f64=-1e-300),
        dict(maybe=0, maybe_flag=False, maybe_f64=0.0),
        dict(maybe=-7, maybe_flag=True, maybe_f64=7.5),
        dict(color=Color.RED, level=Level.LOW),
        dict(color=Color.BLUE, level=Level.HIGH),
    ],
)
def test_scalar_values(plan, fb, values):
    model = Scalars(**values)
    got = plan.unpack("Scalars", write(fb, model))
    assert_same(got, model)


# --- one kind at a time ---------------------------------------------------------------------------


CASES = {
    "name and hp": Monster(name="Ünïcødé ✓", hp=-3),
    "empty name": Monster(name=""),
    "inline structs": Monster(name="m", pos=Vec2(x=1.5, y=-2.0), box=make_box(3)),
    "struct arrays": Monster(name="m", cells=Cells(pairs=[Vec2(x=1.0, y=2.0), Vec2(x=-3.0, y=4.5)],
                                                   bits=np.array([True, False, False, True]),
                                                   hues=[Color.BLUE, Color.GREEN])),
    "nested tables": Monster(name="a", friend=Monster(name="b", hp=5, friend=Monster(name="c"))),
    "scalars table": Monster(name="m", scalars=Scalars(u16=1, maybe=4, color=Color.RED)),
    "byte vector": Monster(name="m", inventory=b"\x00\x01\xfe\xff"),
    "numeric vectors": Monster(
        name="m", weights=np.array([0.5, -1.25, 1e10], np.float32),
        ids=np.array([-(2**63), 0, 2**63 - 1], np.int64), flags=np.array([True, False, True]),
        deltas=np.array([-32768, 0, 32767], np.int16), counts=np.array([0, 4000000000], np.uint32),
        small=np.array([-128, 127], np.int8), wide=np.array([2**64 - 1, 1], np.uint64),
        halves=np.array([65535], np.uint16), totals=np.array([0.1, -0.0]),
        ints=np.array([-(2**31), 5], np.int32), octets=np.array([255, 0], np.uint8)),
    "enum vector": Monster(name="m", hues=[Color.RED, Color.BLUE, Color.GREEN]),
    "string vector": Monster(name="m", tags=["alpha", "", "ß✓", "x" * 300]),
    "struct vectors": Monster(name="m", path=[Vec2(x=float(i), y=-float(i)) for i in range(5)],
                              boxes=[make_box(1), make_box(2)]),
    "table vector": Monster(name="m", children=[Monster(name=f"kid{i}", hp=i) for i in range(4)]),
    "keyed by string": Monster(name="m", items={w: Item(name=w, count=i) for i, w in
                                                enumerate(sorted(["pear", "apple", "Zebra", "äpfel", "app"],
                                                                 key=str.encode))}),
    "keyed by integer": Monster(name="m", readings={s: Reading(stamp=s, value=s / 4)
                                                    for s in [-(2**63), -1, 0, 7, 2**40]}),
    "union weapon": Monster(name="m", equipped=Weapon(name="axe", damage=33)),
    "union shield": Monster(name="m", equipped=Shield(armor=-9)),
    "nested flatbuffer": Monster(name="out", payload=Monster(name="in", hp=12, tags=["t"],
                                                             weights=np.array([1.0], np.float32))),
    "dynamic known": Monster(name="m", meta=_dynamic.Dynamic(Weapon(name="dyn", damage=2))),
    "dynamic opaque": Monster(name="m", meta=_dynamic.Dynamic.opaque("rt.other", b"\x01\x02")),
    "empty vectors": Monster(
        name="m", inventory=b"", weights=np.zeros(0, np.float32), flags=np.zeros(0, bool), tags=[],
        path=[], boxes=[], children=[], items={}, readings={}, hues=[], octets=np.zeros(0, np.uint8)),
}


@pytest.mark.parametrize("model", CASES.values(), ids=CASES.keys())
def test_monster_fields(plan, fb, model):
    assert_same(plan.unpack("Monster", write(fb, model)), model)


def test_whole_graph_with_identifier_and_size_prefix(plan, fb):
    model = Monster(**{k: v for case in CASES.values() for k, v in vars(case).items()
                       if v is not None and k != "name"}, name="all")
    model.friend = Monster(name="pal", items={"z": Item(name="z", count=1)}, equipped=Shield(armor=2))
    for identifier in (None, "QVUN"):
        for size_prefixed in (False, True):
            data = write(fb, model, identifier=identifier, size_prefixed=size_prefixed)
            got = plan.unpack("Monster", data, identifier=identifier, size_prefixed=size_prefixed)
            assert_same(got, model)


def test_identifier_written_by_the_builder_is_checked(plan, fb):
    data = write(fb, Monster(name="m"), identifier="QVUN")
    with raises_exactly(InvalidBufferError, "expected file identifier [81, 86, 88, 88], got [81, 86, 85, 78]"):
        plan.unpack("Monster", data, identifier="QVXX")


def test_keyed_vector_written_out_of_order_is_refused(plan, fb):
    model = Monster(name="m", items={"b": Item(name="b"), "a": Item(name="a")})
    with raises_exactly(InvalidBufferError, "keyed table vector for Item is not strictly sorted"):
        plan.unpack("Monster", write(fb, model))


# --- written with the builder API -----------------------------------------------------------------


def monster_with(builder, name, slots):
    """A Monster table holding ``name`` and the given (slot, offset) pairs."""
    name_offset = builder.CreateString(name)
    builder.StartObject(33)
    builder.PrependUOffsetTRelativeSlot(0, name_offset, 0)
    for slot, offset in slots:
        builder.PrependUOffsetTRelativeSlot(slot, offset, 0)
    return builder.EndObject()


def test_union_vector(plan, fb):
    builder = flatbuffers.Builder(0)
    members = [object_api(fb, Weapon(name="bow")), None, object_api(fb, Shield(armor=4))]
    offsets = [None if m is None else m.Pack(builder) for m in members]
    builder.StartVector(1, 3, 1)
    for tag in reversed([1, 0, 2]):
        builder.PrependUint8(tag)
    types = builder.EndVector()
    builder.StartVector(4, 3, 4)
    for offset in reversed(offsets):
        if offset is None:
            builder.PrependUint32(0)
        else:
            builder.PrependUOffsetTRelative(offset)
    values = builder.EndVector()
    builder.Finish(monster_with(builder, "armory", [(31, types), (32, values)]))
    got = plan.unpack("Monster", bytes(builder.Output()))
    assert_same(got.loadout, [Weapon(name="bow"), None, Shield(armor=4)])


def test_shared_table_and_string_decode_to_separate_equal_objects(plan, fb):
    builder = flatbuffers.Builder(0)
    child = object_api(fb, Monster(name="twin", hp=2)).Pack(builder)
    tag = builder.CreateString("same")
    builder.StartVector(4, 3, 4)
    for _ in range(3):
        builder.PrependUOffsetTRelative(child)
    children = builder.EndVector()
    builder.StartVector(4, 2, 4)
    for _ in range(2):
        builder.PrependUOffsetTRelative(tag)
    tags = builder.EndVector()
    builder.Finish(monster_with(builder, "parent", [(12, children), (9, tags)]))
    got = plan.unpack("Monster", bytes(builder.Output()))
    assert got.tags == ["same", "same"]
    assert_same(got.children, [Monster(name="twin", hp=2)] * 3)
    assert len({id(c) for c in got.children}) == 3
