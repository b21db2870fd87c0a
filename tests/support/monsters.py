"""The model graph shared by the round-trip and interop tests of unpack: model classes, the plan
objects describing them, and the flatc schema whose layout those objects follow.

Table fields take their slots in declaration order, as flatc assigns field identifiers; a union
takes two (its type field, then its value). The plan's Monster has one field more than SCHEMA's,
a vector of unions in the last two slots, which the generated Python code cannot express.
"""

import enum

import numpy as np
from trevalin import Struct

from plans import field, make_plan, struct, table
from quorvel import _dynamic, _flatbuffer

SCHEMA = """
namespace qvunpack;

enum Color : ubyte { Red = 1, Green = 2, Blue = 3 }
enum Level : byte { Low = -1, Mid = 0, High = 1 }

struct Vec2 { x: float; y: float; }
struct Inner { a: short; b: byte; }
struct Box { lo: Vec2; tag: ubyte; hi: Vec2; ids: [int:3]; inner: Inner; big: long; }
struct Cells { pairs: [Vec2:2]; bits: [bool:4]; hues: [Color:2]; }

table Scalars {
  flag: bool = true; i8: byte = -5; u8: ubyte = 200; i16: short = -300; u16: ushort = 60000;
  i32: int = -70000; u32: uint = 4000000000; i64: long = -5000000000;
  u64: ulong = 18446744073709551615; f32: float = 1.5; f64: double = -2.25;
  maybe: int = null; maybe_flag: bool = null; maybe_f64: double = null;
  color: Color = Green; level: Level = Mid;
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
  readings: [Reading];
  hues: [Color];
  deltas: [short];
  counts: [uint];
  small: [byte];
  wide: [ulong];
  halves: [ushort];
  totals: [double];
  ints: [int];
  octets: [ubyte];
}

root_type Monster;
"""

GENERATED = ("Vec2", "Inner", "Box", "Cells", "Scalars", "Weapon", "Shield", "Equipment", "Item",
             "Reading", "Monster", "Color", "Level")


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2
    BLUE = 3


class Level(enum.IntEnum):
    LOW = -1
    MID = 0
    HIGH = 1


class Inner(Struct):
    a: int = 0
    b: int = 0


class Vec2(Struct):
    x: float = 0.0
    y: float = 0.0


class Box(Struct):
    lo: Vec2 = None
    tag: int = 0
    hi: Vec2 = None
    ids: object = None
    inner: Inner = None
    big: int = 0


class Cells(Struct):
    pairs: list = None
    bits: object = None
    hues: list = None


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
    maybe_f64: float = None
    color: Color = Color.GREEN
    level: Level = Level.MID


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
    readings: dict = None
    hues: list = None
    deltas: object = None
    counts: object = None
    small: object = None
    wide: object = None
    halves: object = None
    totals: object = None
    ints: object = None
    octets: object = None
    loadout: list = None


SCALARS = [
    ("flag", "bool", True), ("i8", "int8", -5), ("u8", "uint8", 200), ("i16", "int16", -300),
    ("u16", "uint16", 60000), ("i32", "int32", -70000), ("u32", "uint32", 4000000000),
    ("i64", "int64", -5000000000), ("u64", "uint64", 2**64 - 1), ("f32", "float32", 1.5),
    ("f64", "float64", -2.25),
]
EQUIPMENT = [(1, "Weapon"), (2, "Shield")]


def member(name, offset, scalar=None, **rest):
    """A struct member at byte ``offset``."""
    if scalar is not None:
        rest.setdefault("default", False if scalar == "bool" else 0)
        return field(name, "scalar", offset=offset, scalar=scalar, **rest)
    return field(name, rest.pop("kind", "struct"), offset=offset, scalar=None, **rest)


OBJECTS = [
    struct("Inner", [member("a", 0, "int16"), member("b", 2, "int8")], byte_size=4, min_alignment=2),
    struct("Vec2", [member("x", 0, "float32"), member("y", 4, "float32")], byte_size=8, min_alignment=4),
    struct("Box", [
        member("lo", 0, target="Vec2"),
        member("tag", 8, "uint8"),
        member("hi", 12, target="Vec2"),
        field("ids", "array_scalar", offset=20, scalar="int32", fixed_length=3, element_size=4),
        member("inner", 32, target="Inner"),
        member("big", 40, "int64"),
    ], byte_size=48, min_alignment=8),
    struct("Cells", [
        member("pairs", 0, kind="array_struct", target="Vec2", fixed_length=2, element_size=8),
        field("bits", "array_scalar", offset=16, scalar="bool", fixed_length=4, element_size=1),
        field("hues", "array_scalar", offset=20, scalar="uint8", fixed_length=2, element_size=1,
              enum_type="Color"),
    ], byte_size=24, min_alignment=4),
    table("Scalars", [field(n, slot=i, scalar=k, default=d) for i, (n, k, d) in enumerate(SCALARS)] + [
        field("maybe", slot=11, scalar="int32", default=None, optional=True),
        field("maybe_flag", slot=12, scalar="bool", default=None, optional=True),
        field("maybe_f64", slot=13, scalar="float64", default=7.5, optional=True),
        field("color", slot=14, scalar="uint8", default=2, enum_type="Color"),
        field("level", slot=15, scalar="int8", default=0, enum_type="Level"),
    ]),
    table("Weapon", [field("name", "string", slot=0), field("damage", slot=1, scalar="int16", default=10)]),
    table("Shield", [field("armor", slot=0)]),
    table("Item", [field("name", "string", slot=0, key=True), field("count", slot=1)]),
    table("Reading", [field("stamp", slot=0, scalar="int64", key=True),
                      field("value", slot=1, scalar="float64", default=0.0)]),
    table("Monster", [
        field("name", "string", slot=0, required=True),
        field("hp", slot=1, scalar="int16", default=100),
        field("pos", "struct", slot=2, target="Vec2"),
        field("box", "struct", slot=3, target="Box"),
        field("friend", "table", slot=4, target="Monster"),
        field("inventory", "vector_byte", slot=5),
        field("weights", "vector_scalar", slot=6, scalar="float32"),
        field("ids", "vector_scalar", slot=7, scalar="int64"),
        field("flags", "vector_scalar", slot=8, scalar="bool"),
        field("tags", "vector_string", slot=9),
        field("path", "vector_struct", slot=10, target="Vec2"),
        field("boxes", "vector_struct", slot=11, target="Box"),
        field("children", "vector_table", slot=12, target="Monster"),
        field("items", "vector_table", slot=13, target="Item"),
        field("equipped", "union", slot=15, type_slot=14, type_scalar="uint8", arms=EQUIPMENT),
        field("payload", "nested", slot=16, target="Monster"),
        field("meta", "dynamic", slot=18, type_slot=17, allowed_prefix="rt.", dynamic_type="Dynamic"),
        field("cells", "struct", slot=19, target="Cells"),
        field("scalars", "table", slot=20, target="Scalars"),
        field("readings", "vector_table", slot=21, target="Reading"),
        field("hues", "vector_scalar", slot=22, scalar="uint8", enum_type="Color"),
        field("deltas", "vector_scalar", slot=23, scalar="int16"),
        field("counts", "vector_scalar", slot=24, scalar="uint32"),
        field("small", "vector_scalar", slot=25, scalar="int8"),
        field("wide", "vector_scalar", slot=26, scalar="uint64"),
        field("halves", "vector_scalar", slot=27, scalar="uint16"),
        field("totals", "vector_scalar", slot=28, scalar="float64"),
        field("ints", "vector_scalar", slot=29, scalar="int32"),
        field("octets", "vector_scalar", slot=30, scalar="uint8"),
        # Not in SCHEMA: flatc's Python generator has no vectors of unions.
        field("loadout", "union_vector", slot=32, type_slot=31, type_scalar="uint8", arms=EQUIPMENT),
    ]),
]

TYPES = {
    "Inner": Inner, "Vec2": Vec2, "Box": Box, "Cells": Cells, "Scalars": Scalars, "Weapon": Weapon,
    "Shield": Shield, "Item": Item, "Reading": Reading, "Monster": Monster, "Color": Color,
    "Level": Level, "Dynamic": _dynamic.Dynamic,
}


def make_box(seed):
    """A Box whose every member depends on ``seed``."""
    return Box(
        lo=Vec2(x=0.5 * seed, y=-1.0), tag=200 + seed, hi=Vec2(x=2.25, y=3.5 * seed),
        ids=np.array([seed, -seed, 2**31 - 1], np.int32), inner=Inner(a=-32768 + seed, b=-seed),
        big=-(2**62) - seed,
    )


DYNAMIC_TAG = "rt.weapon"


def new_plan():
    """A bound plan for OBJECTS; Monster and Weapon are registered for nested payloads, and
    Weapon under DYNAMIC_TAG for dynamic values."""
    plan = make_plan(*OBJECTS)
    plan.bind_types(TYPES)
    _flatbuffer.register(Monster, plan, "Monster")
    _flatbuffer.register(Weapon, plan, "Weapon")
    _dynamic.dynamic_types.register(DYNAMIC_TAG, Weapon)
    return plan
