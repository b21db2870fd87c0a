"""Buffers written by NativePlan.pack, read back with the official FlatBuffers Python runtime.

The schema below is compiled by flatc during the test session; the plan that packs it is written
by hand to the layout flatc gives that schema (field identifiers in declaration order, a union
taking two: its `_type` field and then the value). Every value packed is read back through the
generated accessors.
"""

import json
import math
import struct
import sys

import flatbuffers.util
import numpy as np
import pytest
from trevalin import Struct

import packing
from fbplans import member, ref, scalar, struct as struct_obj, table
from flatcgen import generated_modules
from quorvel import _dynamic, _flatbuffer

SCHEMA = """
namespace qvinterop;

file_identifier "QVMN";

struct Vec2 { x: float; y: float; }
struct Inner { a: short; b: byte; }
struct Box { lo: Vec2; tag: ubyte; hi: Vec2; ids: [int:3]; inner: Inner; big: long; }
struct Cells { pairs: [Vec2:2]; bits: [bool:4]; }

table Scalars {
  flag: bool = true;
  i8: byte = -5;
  u8: ubyte = 200;
  i16: short = -300;
  u16: ushort = 60000;
  i32: int = -70000;
  u32: uint = 4000000000;
  i64: long = -5000000000;
  u64: ulong = 18446744073709551615;
  f32: float = 1.5;
  f64: double = -2.25;
  maybe: int = null;
  maybe_flag: bool = null;
}

table Weapon { name: string; damage: short = 10; }
table Shield { armor: int; }
union Equipment { Weapon, Shield }

table Item { name: string (key); count: int; }
table Reading { stamp: long (key); value: double; }

table Monster {
  name: string (required);
  hp: short = 100;
  pos: Vec2;
  box: Box;
  friend: Monster;
  inventory: [ubyte];
  weights: [float];
  ids: [long];
  flags: [bool];
  tags: [string];
  path: [Vec2];
  boxes: [Box];
  children: [Monster];
  items: [Item];
  equipped: Equipment;
  payload: [ubyte] (nested_flatbuffer: "Monster");
  meta_tag: string;
  meta: [ubyte];
  cells: Cells;
  scalars: Scalars;
  deltas: [short];
  totals: [double];
  readings: [Reading];
  counts: [uint];
}

root_type Monster;
"""

GENERATED = ("Vec2", "Inner", "Box", "Cells", "Scalars", "Weapon", "Shield", "Equipment", "Item",
             "Reading", "Monster")


@pytest.fixture(scope="session")
def fb(tmp_path_factory):
    """The generated reader classes, compiled from SCHEMA into a temporary directory."""
    with generated_modules(SCHEMA, tmp_path_factory.mktemp("flatc"), "qvinterop", GENERATED) as ns:
        yield ns


# --- model classes ---------------------------------------------------------------------------


class Vec2(Struct):
    x: float = 0.0
    y: float = 0.0


class Inner(Struct):
    a: int = 0
    b: int = 0


class Box(Struct):
    lo: Vec2 = None
    tag: int = 0
    hi: Vec2 = None
    ids: list = None
    inner: Inner = None
    big: int = 0


class Cells(Struct):
    pairs: list = None
    bits: list = None


class Scalars(Struct):
    flag: bool = True
    i8: int = -5
    u8: int = 200
    i16: int = -300
    u16: int = 60000
    i32: int = -70000
    u32: int = 4000000000
    i64: int = -5000000000
    u64: int = 2**64 - 1
    f32: float = 1.5
    f64: float = -2.25
    maybe: int = None
    maybe_flag: bool = None


class Weapon(Struct):
    name: str = None
    damage: int = 10


class Shield(Struct):
    armor: int = 0


class Item(Struct):
    name: str = ""
    count: int = 0


class Reading(Struct):
    stamp: int = 0
    value: float = 0.0


class Monster(Struct):
    name: str = ""
    hp: int = 100
    pos: Vec2 = None
    box: Box = None
    friend: "Monster" = None
    inventory: bytes = None
    weights: object = None
    ids: object = None
    flags: object = None
    tags: list = None
    path: list = None
    boxes: list = None
    children: list = None
    items: dict = None
    equipped: object = None
    payload: "Monster" = None
    meta: object = None
    cells: Cells = None
    scalars: Scalars = None
    deltas: object = None
    totals: object = None
    readings: dict = None
    counts: object = None


class Armory(Struct):
    loadout: list = None


# --- the plan, laid out as flatc lays out SCHEMA -------------------------------------------------

SCALAR_FIELDS = [
    ("flag", "bool", True), ("i8", "int8", -5), ("u8", "uint8", 200), ("i16", "int16", -300),
    ("u16", "uint16", 60000), ("i32", "int32", -70000), ("u32", "uint32", 4000000000),
    ("i64", "int64", -5000000000), ("u64", "uint64", 2**64 - 1), ("f32", "float32", 1.5),
    ("f64", "float64", -2.25),
]

EQUIPMENT = [(1, "Weapon"), (2, "Shield")]

OBJECTS = [
    struct_obj("Vec2", [member("x", "scalar", 0, "float32"), member("y", "scalar", 4, "float32")], 8, 4),
    struct_obj("Inner", [member("a", "scalar", 0, "int16"), member("b", "scalar", 2, "int8")], 4, 2),
    struct_obj("Box", [
        member("lo", "struct", 0, target="Vec2"),
        member("tag", "scalar", 8, "uint8"),
        member("hi", "struct", 12, target="Vec2"),
        member("ids", "array_scalar", 20, "int32", fixed_length=3, element_size=4),
        member("inner", "struct", 32, target="Inner"),
        member("big", "scalar", 40, "int64"),
    ], 48, 8),
    struct_obj("Cells", [
        member("pairs", "array_struct", 0, target="Vec2", fixed_length=2, element_size=8),
        member("bits", "array_scalar", 16, "bool", fixed_length=4, element_size=1),
    ], 20, 4),
    table("Scalars", [scalar(n, k, slot=i, default=d) for i, (n, k, d) in enumerate(SCALAR_FIELDS)] + [
        scalar("maybe", "int32", slot=11, default=None, optional=True),
        scalar("maybe_flag", "bool", slot=12, default=None, optional=True),
    ]),
    table("Weapon", [ref("name", "string", 0), scalar("damage", "int16", 1, default=10)]),
    table("Shield", [scalar("armor", "int32", 0)]),
    table("Item", [ref("name", "string", 0, key=True), scalar("count", "int32", 1)]),
    table("Reading", [scalar("stamp", "int64", 0, key=True), scalar("value", "float64", 1, default=0.0)]),
    table("Monster", [
        ref("name", "string", 0, required=True),
        scalar("hp", "int16", 1, default=100),
        ref("pos", "struct", 2, target="Vec2"),
        ref("box", "struct", 3, target="Box"),
        ref("friend", "table", 4, target="Monster"),
        ref("inventory", "vector_byte", 5),
        ref("weights", "vector_scalar", 6, scalar="float32"),
        ref("ids", "vector_scalar", 7, scalar="int64"),
        ref("flags", "vector_scalar", 8, scalar="bool"),
        ref("tags", "vector_string", 9),
        ref("path", "vector_struct", 10, target="Vec2"),
        ref("boxes", "vector_struct", 11, target="Box"),
        ref("children", "vector_table", 12, target="Monster"),
        ref("items", "vector_table", 13, target="Item"),
        ref("equipped", "union", 15, type_slot=14, type_scalar="uint8", arms=EQUIPMENT),
        ref("payload", "nested", 16, target="Monster"),
        ref("meta", "dynamic", 18, type_slot=17, allowed_prefix="app"),
        ref("cells", "struct", 19, target="Cells"),
        ref("scalars", "table", 20, target="Scalars"),
        ref("deltas", "vector_scalar", 21, scalar="int16"),
        ref("totals", "vector_scalar", 22, scalar="float64"),
        ref("readings", "vector_table", 23, target="Reading"),
        ref("counts", "vector_scalar", 24, scalar="uint32"),
    ]),
    table("Armory", [ref("loadout", "union_vector", 1, type_slot=0, type_scalar="uint8", arms=EQUIPMENT)]),
]

TYPES = {
    "Vec2": Vec2, "Inner": Inner, "Box": Box, "Cells": Cells, "Scalars": Scalars, "Weapon": Weapon,
    "Shield": Shield, "Item": Item, "Reading": Reading, "Monster": Monster, "Armory": Armory,
}


def json_dynamic(value, prefix):
    """Dynamic encoder: the value as JSON under the tag "<prefix>.json"."""
    return f"{prefix}.json", json.dumps(value).encode()


@pytest.fixture(scope="module")
def plan():
    # The plan takes the dynamic encoder from the package module when it is built.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_dynamic, "encode_dynamic", json_dynamic)
        plan = packing.make_plan(OBJECTS, TYPES)
    _flatbuffer.register(Monster, plan, "Monster")
    return plan


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def make_box(seed=1):
    return Box(
        lo=Vec2(x=0.5 * seed, y=-1.0), tag=200 + seed, hi=Vec2(x=2.25, y=3.5 * seed),
        ids=[seed, -seed, 2**31 - 1], inner=Inner(a=-32768 + seed, b=-seed), big=-(2**62) - seed,
    )


def check_box(fb_box, box):
    assert fb_box.Lo(fb_vec2()).X() == box.lo.x
    assert fb_box.Lo(fb_vec2()).Y() == box.lo.y
    assert fb_box.Tag() == box.tag
    assert fb_box.Hi(fb_vec2()).X() == box.hi.x
    assert fb_box.Hi(fb_vec2()).Y() == box.hi.y
    assert fb_box.Ids() == box.ids
    assert fb_box.Inner(fb_inner()).A() == box.inner.a
    assert fb_box.Inner(fb_inner()).B() == box.inner.b
    assert fb_box.Big() == box.big


def fb_vec2():
    return sys.modules["qvinterop.Vec2"].Vec2()


def fb_inner():
    return sys.modules["qvinterop.Inner"].Inner()


# --- scalars --------------------------------------------------------------------------------------


def test_scalars_at_their_defaults_are_left_out(plan, fb):
    buf = plan.pack("Scalars", Scalars())
    s = fb.Scalars.GetRootAs(buf)
    assert packing.present_slots(packing.root(buf)) == []
    assert (s.Flag(), s.I8(), s.U8(), s.I16(), s.U16()) == (True, -5, 200, -300, 60000)
    assert (s.I32(), s.U32(), s.I64(), s.U64()) == (-70000, 4000000000, -5000000000, 2**64 - 1)
    assert (s.F32(), s.F64()) == (1.5, -2.25)
    assert s.Maybe() is None and s.MaybeFlag() is None


@pytest.mark.parametrize(
    "attr, value, expected",
    [
        ("flag", False, False),
        ("i8", -128, -128), ("i8", 127, 127), ("i8", 0, 0),
        ("u8", 0, 0), ("u8", 255, 255),
        ("i16", -32768, -32768), ("i16", 32767, 32767),
        ("u16", 0, 0), ("u16", 65535, 65535),
        ("i32", -(2**31), -(2**31)), ("i32", 2**31 - 1, 2**31 - 1),
        ("u32", 0, 0), ("u32", 2**32 - 1, 2**32 - 1),
        ("i64", -(2**63), -(2**63)), ("i64", 2**63 - 1, 2**63 - 1),
        ("u64", 0, 0), ("u64", 2**63, 2**63),
        ("f32", 0.1, f32(0.1)), ("f32", -1e39, -math.inf), ("f32", 3, 3.0),
        ("f64", 1e300, 1e300), ("f64", -0.0, -0.0), ("f64", math.inf, math.inf),
    ],
)
def test_scalar_values_read_back(plan, fb, attr, value, expected):
    buf = plan.pack("Scalars", Scalars(**{attr: value}))
    s = fb.Scalars.GetRootAs(buf)
    slot = [n for n, _, _ in SCALAR_FIELDS].index(attr)
    assert packing.present_slots(packing.root(buf)) == [slot]
    got = getattr(s, attr[0].upper() + attr[1:])()
    assert got == expected
    assert math.copysign(1, got) == math.copysign(1, expected)


class SlottedScalars(Scalars):
    """Fields in slots, which a table of scalars is converted from directly."""
    __slots__ = ("flag", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f32", "f64", "maybe", "maybe_flag")


SCALAR_VARIANTS = [{}, {"i64": 7, "u8": 1}, {"f64": 0.5, "maybe": 0, "flag": False},
                   {"i16": 3, "f32": 2.0, "maybe_flag": True, "u64": 0}, {"i8": -5, "u32": 1}]


@pytest.mark.parametrize("cls", [Scalars, SlottedScalars])
def test_tables_repeating_at_other_alignments_read_back(plan, fb, cls):
    """Tables of one object with the same fields present recur at other alignments (the names
    between them vary in length); each reads back whole."""
    names = [n for n, _, _ in SCALAR_FIELDS] + ["maybe", "maybe_flag"]
    defaults = {n: getattr(Scalars(), n) for n in names}
    kids = [Monster(name="k" * (i % 7), hp=i, scalars=cls(**{**defaults, **SCALAR_VARIANTS[i % 5]})) for i in range(60)]
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", children=kids)))
    for i, kid in enumerate(kids):
        child = m.Children(i)
        assert (child.Name(), child.Hp()) == (kid.name.encode(), i)
        read = child.Scalars()
        assert [getattr(read, "".join(p.capitalize() for p in n.split("_")))() for n in names] == \
            [getattr(kid.scalars, n) for n in names]


def test_float_nan_is_written(plan, fb):
    s = fb.Scalars.GetRootAs(plan.pack("Scalars", Scalars(f32=math.nan, f64=math.nan)))
    assert math.isnan(s.F32()) and math.isnan(s.F64())


def test_optional_scalars_are_written_whenever_present(plan, fb):
    buf = plan.pack("Scalars", Scalars(maybe=0, maybe_flag=False))
    s = fb.Scalars.GetRootAs(buf)
    assert s.Maybe() == 0 and s.MaybeFlag() is False
    assert packing.present_slots(packing.root(buf)) == [11, 12]
    s = fb.Scalars.GetRootAs(plan.pack("Scalars", Scalars(maybe=-7, maybe_flag=True)))
    assert s.Maybe() == -7 and s.MaybeFlag() is True


# --- the Monster graph ----------------------------------------------------------------------------


def test_required_string_and_short_with_default(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="Orc")))
    assert m.Name() == b"Orc"
    assert m.Hp() == 100
    assert not packing.present(packing.root(plan.pack("Monster", Monster(name="Orc"))), 1)
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="Ünïcødé ✓", hp=-3)))
    assert m.Name().decode() == "Ünïcødé ✓"
    assert m.Hp() == -3


def test_empty_string_is_present(plan, fb):
    buf = plan.pack("Monster", Monster(name=""))
    assert fb.Monster.GetRootAs(buf).Name() == b""


def test_inline_structs(plan, fb):
    box = make_box(3)
    monster = Monster(name="m", pos=Vec2(x=1.5, y=-2.0), box=box)
    m = fb.Monster.GetRootAs(plan.pack("Monster", monster))
    assert (m.Pos().X(), m.Pos().Y()) == (1.5, -2.0)
    check_box(m.Box(), box)


def test_inline_struct_padding_is_zero(plan):
    box = make_box(1)
    buf = plan.pack("Monster", Monster(name="m", box=box))
    raw = packing.struct_bytes(packing.root(buf), 3, 48)
    expected = (
        struct.pack("<ffB3xff", 0.5, -1.0, 201, 2.25, 3.5)
        + struct.pack("<3i", 1, -1, 2**31 - 1)
        + struct.pack("<hbx4x", -32767, -1)
        + struct.pack("<q", -(2**62) - 1)
    )
    assert raw == expected


def test_struct_with_fixed_arrays_of_structs_and_bools(plan, fb):
    cells = Cells(pairs=[Vec2(x=1.0, y=2.0), Vec2(x=-3.0, y=4.5)], bits=[True, False, False, True])
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", cells=cells)))
    c = m.Cells()
    assert c.PairsLength() == 2
    assert [(c.Pairs(i).X(), c.Pairs(i).Y()) for i in range(2)] == [(1.0, 2.0), (-3.0, 4.5)]
    assert c.Bits() == [True, False, False, True]


def test_bool_array_from_numpy(plan, fb):
    cells = Cells(pairs=[Vec2(), Vec2()], bits=np.array([False, True, True, False]))
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", cells=cells)))
    assert m.Cells().Bits() == [False, True, True, False]


def test_box_ids_from_numpy(plan, fb):
    box = make_box(2)
    box.ids = np.array([7, 8, 9], dtype=np.int32)
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", box=box)))
    assert m.Box().Ids() == [7, 8, 9]


def test_nested_tables(plan, fb):
    chain = Monster(name="a", friend=Monster(name="b", hp=5, friend=Monster(name="c")))
    m = fb.Monster.GetRootAs(plan.pack("Monster", chain))
    names = []
    while m is not None:
        names.append(m.Name())
        m = m.Friend()
    assert names == [b"a", b"b", b"c"]
    assert fb.Monster.GetRootAs(plan.pack("Monster", chain)).Friend().Hp() == 5


def test_table_field_holding_scalars_table(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", scalars=Scalars(u16=1, maybe=4))))
    s = m.Scalars()
    assert (s.U16(), s.Maybe(), s.I8()) == (1, 4, -5)


def test_byte_vector(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", inventory=b"\x00\x01\xfe\xff")))
    assert m.InventoryLength() == 4
    assert m.InventoryAsNumpy().tolist() == [0, 1, 254, 255]
    assert m.Inventory(2) == 254


def test_numeric_vectors(plan, fb):
    weights = np.array([0.5, -1.25, 1e10], dtype=np.float32)
    totals = np.arange(10, dtype=np.float64)[::3]
    monster = Monster(
        name="m",
        weights=weights,
        ids=[-(2**63), 0, 2**63 - 1],
        flags=[True, False, True],
        deltas=[-32768, 0, 32767, 5],
        totals=totals,
        counts=np.array([0, 4000000000], dtype=np.uint32),
    )
    m = fb.Monster.GetRootAs(plan.pack("Monster", monster))
    assert m.WeightsLength() == 3
    assert m.WeightsAsNumpy().tolist() == weights.tolist()
    assert m.IdsLength() == 3
    assert m.IdsAsNumpy().tolist() == [-(2**63), 0, 2**63 - 1]
    assert m.FlagsLength() == 3
    assert [m.Flags(i) for i in range(3)] == [True, False, True]
    assert m.DeltasLength() == 4
    assert m.DeltasAsNumpy().tolist() == [-32768, 0, 32767, 5]
    assert m.TotalsLength() == 4
    assert m.TotalsAsNumpy().tolist() == [0.0, 3.0, 6.0, 9.0]
    assert m.CountsLength() == 2
    assert m.CountsAsNumpy().tolist() == [0, 4000000000]


def test_numeric_vectors_from_lists(plan, fb):
    monster = Monster(name="m", weights=[1, 2.5], ids=[5, -6], totals=[0.1], counts=[1, 2, 3])
    m = fb.Monster.GetRootAs(plan.pack("Monster", monster))
    assert m.WeightsAsNumpy().tolist() == [1.0, 2.5]
    assert m.IdsAsNumpy().tolist() == [5, -6]
    assert m.TotalsAsNumpy().tolist() == [0.1]
    assert m.CountsAsNumpy().tolist() == [1, 2, 3]


def test_bool_vector_from_numpy(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", flags=np.array([False, True]))))
    assert m.FlagsAsNumpy().tolist() == [False, True]


def test_string_vector(plan, fb):
    tags = ["alpha", "", "ß✓", "x" * 300]
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", tags=tags)))
    assert m.TagsLength() == 4
    assert [m.Tags(i).decode() for i in range(4)] == tags


def test_string_vector_from_tuple(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", tags=("a", "b"))))
    assert [m.Tags(i) for i in range(m.TagsLength())] == [b"a", b"b"]


def test_struct_vectors(plan, fb):
    path = [Vec2(x=float(i), y=-float(i)) for i in range(5)]
    boxes = [make_box(1), make_box(2)]
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", path=path, boxes=boxes)))
    assert m.PathLength() == 5
    assert [(m.Path(i).X(), m.Path(i).Y()) for i in range(5)] == [(p.x, p.y) for p in path]
    assert m.BoxesLength() == 2
    for i, box in enumerate(boxes):
        check_box(m.Boxes(i), box)


def test_table_vector(plan, fb):
    children = [Monster(name=f"kid{i}", hp=i) for i in range(4)]
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", children=children)))
    assert m.ChildrenLength() == 4
    assert [(m.Children(i).Name(), m.Children(i).Hp()) for i in range(4)] == [
        (b"kid0", 0), (b"kid1", 1), (b"kid2", 2), (b"kid3", 3)
    ]


def test_empty_vectors_are_present_with_no_elements(plan, fb):
    monster = Monster(
        name="m", inventory=b"", weights=np.zeros(0, np.float32), ids=[], flags=[], tags=[], path=[],
        boxes=[], children=[], items={}, deltas=(), totals=np.empty(0), readings={},
    )
    m = fb.Monster.GetRootAs(plan.pack("Monster", monster))
    for name in ("Inventory", "Weights", "Ids", "Flags", "Tags", "Path", "Boxes", "Children", "Items",
                 "Deltas", "Totals", "Readings"):
        assert not getattr(m, name + "IsNone")(), name
        assert getattr(m, name + "Length")() == 0, name


def find_item(m, key):
    """Binary search over the sorted Items vector, as a keyed lookup does."""
    lo, hi = 0, m.ItemsLength()
    key = key.encode()
    while lo < hi:
        mid = (lo + hi) // 2
        name = m.Items(mid).Name()
        if name == key:
            return m.Items(mid)
        if name < key:
            lo = mid + 1
        else:
            hi = mid
    return None


def test_keyed_table_is_sorted_and_searchable(plan, fb):
    words = ["pear", "apple", "fig", "Zebra", "banana", "äpfel", "app"]
    items = {w: Item(name=w, count=i) for i, w in enumerate(words)}
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", items=items)))
    names = [m.Items(i).Name() for i in range(m.ItemsLength())]
    assert names == sorted(w.encode() for w in words)
    for i, w in enumerate(words):
        found = find_item(m, w)
        assert found is not None and found.Count() == i
    assert find_item(m, "cherry") is None


def test_keyed_table_with_integer_keys(plan, fb):
    stamps = [5, -(2**63), 2**40, -1, 0]
    readings = {s: Reading(stamp=s, value=s / 2) for s in stamps}
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", readings=readings)))
    got = [(m.Readings(i).Stamp(), m.Readings(i).Value()) for i in range(m.ReadingsLength())]
    assert got == [(s, s / 2) for s in sorted(stamps)]


@pytest.mark.parametrize("equipment, tag", [(Weapon(name="axe", damage=33), 1), (Shield(armor=-9), 2)])
def test_union_member(plan, fb, equipment, tag):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", equipped=equipment)))
    assert m.EquippedType() == tag
    assert tag == (fb.Equipment.Weapon if isinstance(equipment, Weapon) else fb.Equipment.Shield)
    t = m.Equipped()
    if tag == 1:
        w = fb.Weapon()
        w.Init(t.Bytes, t.Pos)
        assert (w.Name(), w.Damage()) == (b"axe", 33)
    else:
        s = fb.Shield()
        s.Init(t.Bytes, t.Pos)
        assert s.Armor() == -9


def test_absent_union_has_no_type(plan, fb):
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m")))
    assert m.EquippedType() == 0 and m.Equipped() is None


def test_union_vector(plan, fb):
    loadout = [Weapon(name="bow"), None, Shield(armor=4), Weapon(name="sword", damage=1)]
    buf = plan.pack("Armory", Armory(loadout=loadout))
    tab = packing.root(buf)
    assert packing.scalar_vector(tab, 0, flatbuffers.number_types.Uint8Flags) == [1, 0, 2, 1]
    members = packing.table_vector(tab, 1)
    assert members[1] is None
    assert packing.offset_words(tab, 1)[1] == 0
    readers = []
    for t, cls in zip([members[0], members[2], members[3]], [fb.Weapon, fb.Shield, fb.Weapon]):
        r = cls()
        r.Init(t.Bytes, t.Pos)
        readers.append(r)
    assert (readers[0].Name(), readers[0].Damage()) == (b"bow", 10)
    assert readers[1].Armor() == 4
    assert (readers[2].Name(), readers[2].Damage()) == (b"sword", 1)


def test_nested_flatbuffer(plan, fb):
    inner = Monster(name="inside", hp=12, weights=np.array([1.0, 2.0, 3.0], np.float32), tags=["t"])
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="outside", payload=inner)))
    nested = m.PayloadNestedRoot()
    assert (nested.Name(), nested.Hp()) == (b"inside", 12)
    assert nested.WeightsLength() == 3
    assert nested.WeightsAsNumpy().tolist() == [1.0, 2.0, 3.0]
    assert nested.Tags(0) == b"t"
    assert bytes(m.PayloadAsNumpy()) == bytes(plan.pack("Monster", inner))


def test_dynamic_field_writes_tag_and_payload(plan, fb):
    value = {"k": [1, 2, None], "s": "v"}
    m = fb.Monster.GetRootAs(plan.pack("Monster", Monster(name="m", meta=value)))
    assert m.MetaTag() == b"app.json"
    assert json.loads(bytes(m.MetaAsNumpy())) == value


@pytest.mark.parametrize("identifier", [None, "QVMN"])
@pytest.mark.parametrize("size_prefixed", [False, True])
def test_identifier_and_size_prefix(plan, fb, identifier, size_prefixed):
    monster = Monster(name="id", ids=[1, 2, 3], path=[Vec2(x=1.0, y=2.0)])
    buf = plan.pack("Monster", monster, identifier=identifier, size_prefixed=size_prefixed)
    data = bytes(buf)
    offset = 0
    if size_prefixed:
        assert flatbuffers.util.GetSizePrefix(data, 0) == len(data) - 4
        data, offset = flatbuffers.util.RemoveSizePrefix(data, 0)
    assert fb.Monster.MonsterBufferHasIdentifier(bytes(buf), 0, size_prefixed=size_prefixed) == (
        identifier is not None
    )
    m = fb.Monster.GetRootAs(data, offset)
    assert m.Name() == b"id"
    assert m.IdsAsNumpy().tolist() == [1, 2, 3]
    assert m.PathLength() == 1


def rich_monster():
    return Monster(
        name="boss",
        hp=900,
        pos=Vec2(x=1.0, y=2.0),
        box=make_box(4),
        friend=Monster(name="pal", items={"z": Item(name="z", count=1)}),
        inventory=memoryview(bytearray(b"loot")),
        weights=np.array([0.25, 0.5], np.float32),
        ids=np.array([10, 20, 30], np.int64),
        flags=[False, True],
        tags=["big", "bad"],
        path=[Vec2(x=0.0, y=1.0), Vec2(x=2.0, y=3.0)],
        boxes=[make_box(5)],
        children=[Monster(name="minion", hp=1), Monster(name="minion2", equipped=Shield(armor=2))],
        items={"sword": Item(name="sword", count=1), "gold": Item(name="gold", count=500)},
        equipped=Weapon(name="club", damage=40),
        payload=Monster(name="ghost", deltas=[1, -1]),
        meta=[1, "two"],
        cells=Cells(pairs=[Vec2(x=9.0, y=8.0), Vec2(x=7.0, y=6.0)], bits=[True, True, False, False]),
        scalars=Scalars(i8=1, u64=0, maybe=3),
        deltas=[-1, -2],
        totals=[1.5],
        readings={3: Reading(stamp=3, value=0.5), 1: Reading(stamp=1)},
        counts=[7],
    )


def as_list(values):
    """The object API gives numpy arrays where numpy is available, lists otherwise."""
    return values.tolist() if hasattr(values, "tolist") else list(values)


def test_object_api_reads_the_whole_graph(plan, fb):
    buf = plan.pack("Monster", rich_monster(), identifier="QVMN", size_prefixed=True)
    t = fb.Monster_module.MonsterT.InitFromPackedBuf(bytearray(bytes(buf)), 4)
    assert t.name == b"boss" and t.hp == 900
    assert (t.pos.x, t.pos.y) == (1.0, 2.0)
    assert as_list(t.box.ids) == [4, -4, 2**31 - 1] and t.box.big == -(2**62) - 4
    assert t.friend.name == b"pal" and [i.name for i in t.friend.items] == [b"z"]
    assert as_list(t.inventory) == list(b"loot")
    assert as_list(t.weights) == [0.25, 0.5]
    assert as_list(t.ids) == [10, 20, 30]
    assert as_list(t.flags) == [False, True]
    assert t.tags == [b"big", b"bad"]
    assert [(p.x, p.y) for p in t.path] == [(0.0, 1.0), (2.0, 3.0)]
    assert len(t.boxes) == 1 and t.boxes[0].tag == 205
    assert [c.name for c in t.children] == [b"minion", b"minion2"]
    assert t.children[1].equippedType == 2 and t.children[1].equipped.armor == 2
    assert [(i.name, i.count) for i in t.items] == [(b"gold", 500), (b"sword", 1)]
    assert t.equippedType == 1 and (t.equipped.name, t.equipped.damage) == (b"club", 40)
    assert t.metaTag == b"app.json" and json.loads(bytes(as_list(t.meta))) == [1, "two"]
    assert [(p.x, p.y) for p in t.cells.pairs] == [(9.0, 8.0), (7.0, 6.0)]
    assert as_list(t.cells.bits) == [True, True, False, False]
    assert (t.scalars.i8, t.scalars.u64, t.scalars.maybe, t.scalars.i16) == (1, 0, 3, -300)
    assert as_list(t.deltas) == [-1, -2] and as_list(t.totals) == [1.5] and as_list(t.counts) == [7]
    assert [(r.stamp, r.value) for r in t.readings] == [(1, 0.0), (3, 0.5)]
    m = fb.Monster.GetRootAs(bytearray(bytes(buf)), 4)
    assert m.PayloadNestedRoot().Name() == b"ghost"
    assert m.PayloadNestedRoot().DeltasAsNumpy().tolist() == [1, -1]


def test_wide_data_is_aligned(plan, fb):
    buf = plan.pack("Monster", rich_monster())
    data = bytes(buf)
    assert len(data) % 8 == 0
    m = fb.Monster.GetRootAs(data)
    tab = packing.root(data)
    for slot in (7, 11, 22):  # [long], [Box], [double]
        start, _ = packing.vector(tab, slot)
        assert start % 8 == 0, slot
    assert (tab.Pos + packing.field_offset(tab, 3)) % 8 == 0  # inline Box
    assert m.Box().Big() == -(2**62) - 4
