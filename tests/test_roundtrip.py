"""Model graphs written by NativePlan.pack and read back by NativePlan.unpack: every field kind comes
back equal, as the Python type the reader produces for it (numbers, enum members, str, bytes,
fresh NumPy arrays, lists, dicts of keyed tables, wrappers of dynamic values)."""

import math
import threading

import numpy as np
import pytest

from monsters import (Cells, Color, Item, Level, Monster, Reading, Scalars, Shield, Vec2, Weapon, make_box,
                      new_plan)
from quorvel import _dynamic
from unpacking import assert_same


@pytest.fixture(scope="module")
def plan():
    return new_plan()


def roundtrip(plan, root, model, **options):
    return plan.unpack(root, plan.pack(root, model, **options), **options)


def f32(value):
    return float(np.float32(value))


# --- scalars ---------------------------------------------------------------------------------------


def test_absent_scalars_take_their_defaults(plan):
    got = roundtrip(plan, "Scalars", Scalars())
    assert_same(got, Scalars())
    assert got.color is Color.GREEN and got.level is Level.MID
    assert got.maybe is None and got.maybe_flag is None


def test_optional_scalar_with_a_default_is_none_when_absent(plan):
    assert roundtrip(plan, "Scalars", Scalars()).maybe_f64 is None
    assert roundtrip(plan, "Scalars", Scalars(maybe_f64=7.5)).maybe_f64 == 7.5


@pytest.mark.parametrize(
    "attr, value",
    [
        ("flag", False),
        ("i8", -128), ("i8", 127), ("u8", 0), ("u8", 255),
        ("i16", -32768), ("i16", 32767), ("u16", 0), ("u16", 65535),
        ("i32", -(2**31)), ("i32", 2**31 - 1), ("u32", 0), ("u32", 2**32 - 1),
        ("i64", -(2**63)), ("i64", 2**63 - 1), ("u64", 0), ("u64", 2**63), ("u64", 2**64 - 2),
        ("f32", f32(0.1)), ("f32", -math.inf), ("f32", 3.0), ("f32", -0.0),
        ("f64", 1e300), ("f64", -0.0), ("f64", math.inf), ("f64", 5e-324),
    ],
)
def test_scalar_values(plan, attr, value):
    got = roundtrip(plan, "Scalars", Scalars(**{attr: value}))
    assert_same(got, Scalars(**{attr: value}))


def test_nan_scalars(plan):
    got = roundtrip(plan, "Scalars", Scalars(f32=math.nan, f64=math.nan))
    assert math.isnan(got.f32) and math.isnan(got.f64)


def test_optional_scalars_present_at_zero(plan):
    got = roundtrip(plan, "Scalars", Scalars(maybe=0, maybe_flag=False, maybe_f64=0.0))
    assert (got.maybe, got.maybe_flag, got.maybe_f64) == (0, False, 0.0)
    assert type(got.maybe_flag) is bool
    got = roundtrip(plan, "Scalars", Scalars(maybe=-7, maybe_flag=True))
    assert (got.maybe, got.maybe_flag) == (-7, True)


@pytest.mark.parametrize("color", list(Color))
def test_enum_field_comes_back_as_a_member(plan, color):
    got = roundtrip(plan, "Scalars", Scalars(color=color))
    assert got.color is color


@pytest.mark.parametrize("level", list(Level))
def test_signed_enum_field(plan, level):
    assert roundtrip(plan, "Scalars", Scalars(level=level)).level is level


def test_enum_value_outside_the_enum_raises_the_enum_error(plan):
    buf = plan.pack("Scalars", Scalars(color=7))
    with pytest.raises(ValueError) as info:
        plan.unpack("Scalars", buf)
    assert type(info.value) is ValueError
    assert "7 is not a valid Color" in str(info.value)


# --- strings, tables and structs ------------------------------------------------------------------


@pytest.mark.parametrize("name", ["Orc", "", "Ünïcødé ✓", "𝄞 music", "a\x00b", "x" * 10000])
def test_strings(plan, name):
    got = roundtrip(plan, "Monster", Monster(name=name))
    assert type(got.name) is str
    assert got.name == name
    assert got.hp == 100


def test_weapon_name_is_none_when_absent(plan):
    assert_same(roundtrip(plan, "Weapon", Weapon()), Weapon(name=None, damage=10))


def test_nested_tables(plan):
    chain = Monster(name="a", hp=1, friend=Monster(name="b", hp=5, friend=Monster(name="c", hp=-3)))
    got = roundtrip(plan, "Monster", chain)
    assert_same(got, chain)
    assert got.friend.friend.friend is None


def test_table_field_holding_scalars(plan):
    monster = Monster(name="m", scalars=Scalars(u16=1, maybe=4, color=Color.RED))
    assert_same(roundtrip(plan, "Monster", monster), monster)


def test_inline_structs_with_nested_structs_and_arrays(plan):
    monster = Monster(name="m", pos=Vec2(x=1.5, y=-2.0), box=make_box(3))
    got = roundtrip(plan, "Monster", monster)
    assert_same(got, monster)
    assert got.box.ids.dtype == np.int32


def test_struct_with_arrays_of_structs_bools_and_enums(plan):
    cells = Cells(pairs=[Vec2(x=1.0, y=2.0), Vec2(x=-3.0, y=4.5)],
                  bits=np.array([True, False, False, True]), hues=[Color.BLUE, Color.RED])
    got = roundtrip(plan, "Monster", Monster(name="m", cells=cells))
    assert_same(got.cells, cells)
    assert [type(h) for h in got.cells.hues] == [Color, Color]


# --- vectors --------------------------------------------------------------------------------------


def test_byte_vector_is_bytes(plan):
    got = roundtrip(plan, "Monster", Monster(name="m", inventory=b"\x00\x01\xfe\xff"))
    assert type(got.inventory) is bytes
    assert got.inventory == b"\x00\x01\xfe\xff"


NUMERIC = [
    ("weights", np.float32, [0.5, -1.25, 1e10, -0.0]),
    ("ids", np.int64, [-(2**63), 0, 2**63 - 1]),
    ("flags", np.bool_, [True, False, True]),
    ("deltas", np.int16, [-32768, 0, 32767, 5]),
    ("counts", np.uint32, [0, 4000000000]),
    ("small", np.int8, [-128, 127, 0]),
    ("wide", np.uint64, [0, 2**64 - 1, 2**63]),
    ("halves", np.uint16, [65535, 1]),
    ("totals", np.float64, [0.1, -math.inf, 1e-300]),
    ("ints", np.int32, [-(2**31), 2**31 - 1]),
    ("octets", np.uint8, [0, 255, 7]),
]


@pytest.mark.parametrize("attr, dtype, values", NUMERIC, ids=[n for n, _, _ in NUMERIC])
def test_numeric_vector_is_a_fresh_array_of_its_dtype(plan, attr, dtype, values):
    data = bytes(plan.pack("Monster", Monster(name="m", **{attr: np.array(values, dtype)})))
    got = getattr(plan.unpack("Monster", data), attr)
    assert type(got) is np.ndarray
    assert got.dtype == np.dtype(dtype) and got.ndim == 1
    assert got.tolist() == np.array(values, dtype).tolist()
    assert got.flags.owndata and got.flags.writeable and got.flags.c_contiguous
    assert not np.shares_memory(got, np.frombuffer(data, np.uint8))


def test_numeric_vector_from_a_pack_view_does_not_alias_it(plan):
    view = plan.pack("Monster", Monster(name="m", ids=[1, 2, 3]))
    got = plan.unpack("Monster", view).ids
    assert got.flags.owndata
    got[0] = 99
    assert plan.unpack("Monster", view).ids.tolist() == [1, 2, 3]


def test_numeric_vectors_from_lists(plan):
    got = roundtrip(plan, "Monster", Monster(name="m", weights=[1, 2.5], ids=[5, -6], flags=[False, True]))
    assert_same(got.weights, np.array([1.0, 2.5], np.float32))
    assert_same(got.ids, np.array([5, -6], np.int64))
    assert_same(got.flags, np.array([False, True]))


def test_enum_vector_is_a_list_of_members(plan):
    got = roundtrip(plan, "Monster", Monster(name="m", hues=[Color.RED, Color.BLUE, Color.BLUE, 2]))
    assert type(got.hues) is list
    assert got.hues == [Color.RED, Color.BLUE, Color.BLUE, Color.GREEN]
    assert all(type(h) is Color for h in got.hues)


def test_string_vector(plan):
    tags = ["alpha", "", "ß✓", "x" * 300]
    got = roundtrip(plan, "Monster", Monster(name="m", tags=tags))
    assert got.tags == tags and type(got.tags) is list


def test_struct_vectors(plan):
    monster = Monster(name="m", path=[Vec2(x=float(i), y=-float(i)) for i in range(5)],
                      boxes=[make_box(1), make_box(2)])
    assert_same(roundtrip(plan, "Monster", monster), monster)


def test_table_vector(plan):
    children = [Monster(name=f"kid{i}", hp=i, tags=[str(i)]) for i in range(4)]
    monster = Monster(name="m", children=children)
    got = roundtrip(plan, "Monster", monster)
    assert_same(got, monster)
    assert len({id(c) for c in got.children}) == 4


def test_empty_vectors(plan):
    monster = Monster(
        name="m", inventory=b"", weights=np.zeros(0, np.float32), ids=np.zeros(0, np.int64), flags=[],
        tags=[], path=[], boxes=[], children=[], items={}, readings={}, hues=[], loadout=[],
        octets=np.zeros(0, np.uint8),
    )
    got = roundtrip(plan, "Monster", monster)
    monster.flags = np.zeros(0, bool)
    assert_same(got, monster)


def test_empty_bool_array(plan):
    got = roundtrip(plan, "Monster", Monster(name="m", flags=np.zeros(0, bool)))
    assert_same(got.flags, np.zeros(0, bool))


def test_absent_vectors_are_none(plan):
    got = roundtrip(plan, "Monster", Monster(name="m"))
    assert_same(got, Monster(name="m"))
    for attr in ("inventory", "weights", "tags", "path", "children", "items", "hues", "loadout", "meta"):
        assert getattr(got, attr) is None, attr


def test_keyed_tables_become_dicts_in_key_order(plan):
    words = ["pear", "apple", "fig", "Zebra", "banana", "äpfel", "app"]
    items = {w: Item(name=w, count=i) for i, w in enumerate(words)}
    got = roundtrip(plan, "Monster", Monster(name="m", items=items))
    assert type(got.items) is dict
    assert list(got.items) == sorted(words, key=str.encode)
    for word, item in got.items.items():
        assert_same(item, items[word])


def test_keyed_tables_with_integer_keys(plan):
    stamps = [5, -(2**63), 2**40, -1, 0]
    readings = {s: Reading(stamp=s, value=s / 2) for s in stamps}
    got = roundtrip(plan, "Monster", Monster(name="m", readings=readings))
    assert list(got.readings) == sorted(stamps)
    assert all(got.readings[s].value == s / 2 for s in stamps)


# --- unions, nested FlatBuffers and dynamic values ------------------------------------------------


@pytest.mark.parametrize("member", [Weapon(name="axe", damage=33), Weapon(), Shield(armor=-9), Shield()])
def test_union_member(plan, member):
    got = roundtrip(plan, "Monster", Monster(name="m", equipped=member))
    assert_same(got.equipped, member)


def test_union_vector_with_none(plan):
    loadout = [Weapon(name="bow"), None, Shield(armor=4), None, Weapon(name="sword", damage=1)]
    got = roundtrip(plan, "Monster", Monster(name="m", loadout=loadout))
    assert_same(got.loadout, loadout)


def test_nested_flatbuffer(plan):
    inner = Monster(name="inside", hp=12, weights=np.array([1.0, 2.0], np.float32), tags=["t"],
                    payload=Monster(name="deeper"))
    got = roundtrip(plan, "Monster", Monster(name="outside", payload=inner))
    assert_same(got.payload, inner)


def test_dynamic_value_of_a_registered_tag(plan):
    got = roundtrip(plan, "Monster", Monster(name="m", meta=_dynamic.Dynamic(Weapon(name="dyn", damage=2))))
    assert type(got.meta) is _dynamic.Dynamic
    assert_same(got.meta.value, Weapon(name="dyn", damage=2))
    assert got.meta.tag is None and got.meta.payload is None


def test_dynamic_value_of_an_unknown_tag_stays_opaque(plan):
    opaque = _dynamic.Dynamic.opaque("rt.unknown", b"\x01\x02\x03")
    got = roundtrip(plan, "Monster", Monster(name="m", meta=opaque))
    assert type(got.meta) is _dynamic.Dynamic
    assert (got.meta.value, got.meta.tag, got.meta.payload) == (None, "rt.unknown", b"\x01\x02\x03")
    assert type(got.meta.payload) is bytes


# --- header options -------------------------------------------------------------------------------


def rich_monster():
    return Monster(
        name="boss", hp=900, pos=Vec2(x=1.0, y=2.0), box=make_box(4),
        friend=Monster(name="pal", items={"z": Item(name="z", count=1)}),
        inventory=b"loot", weights=np.array([0.25, 0.5], np.float32),
        ids=np.array([10, 20, 30], np.int64), flags=np.array([False, True]), tags=["big", "bad"],
        path=[Vec2(x=0.0, y=1.0), Vec2(x=2.0, y=3.0)], boxes=[make_box(5)],
        children=[Monster(name="minion", hp=1), Monster(name="minion2", equipped=Shield(armor=2))],
        items={"gold": Item(name="gold", count=500), "sword": Item(name="sword", count=1)},
        equipped=Weapon(name="club", damage=40), payload=Monster(name="ghost", deltas=np.array([1, -1], np.int16)),
        meta=_dynamic.Dynamic.opaque("rt.blob", b"\x00"),
        cells=Cells(pairs=[Vec2(x=9.0, y=8.0), Vec2(x=7.0, y=6.0)], bits=np.array([True, True, False, False]),
                    hues=[Color.GREEN, Color.GREEN]),
        scalars=Scalars(i8=1, u64=0, maybe=3, level=Level.HIGH),
        readings={1: Reading(stamp=1), 3: Reading(stamp=3, value=0.5)},
        hues=[Color.RED], loadout=[None, Weapon(name="spare")], deltas=np.array([-1, -2], np.int16),
        counts=np.array([7], np.uint32), totals=np.array([1.5]),
    )


@pytest.mark.parametrize("identifier", [None, "QVRT"])
@pytest.mark.parametrize("size_prefixed", [False, True])
def test_whole_graph_with_identifier_and_size_prefix(plan, identifier, size_prefixed):
    monster = rich_monster()
    got = roundtrip(plan, "Monster", monster, identifier=identifier, size_prefixed=size_prefixed)
    assert_same(got, monster)


def test_root_at_an_offset_without_size_prefix(plan):
    monster = rich_monster()
    data = b"\xee" * 12 + bytes(plan.pack("Monster", monster, identifier="QVRT")) + b"\xdd" * 5
    assert_same(plan.unpack("Monster", data, offset=12, identifier="QVRT"), monster)


def test_size_prefixed_root_at_an_offset(plan):
    monster = Monster(name="here", tags=["a"])
    data = b"\x07" * 8 + bytes(plan.pack("Monster", monster, size_prefixed=True)) + b"\xff" * 16
    assert_same(plan.unpack("Monster", data, offset=8, size_prefixed=True), monster)


def test_buffer_with_identifier_read_without_naming_it(plan):
    buf = plan.pack("Monster", Monster(name="x"), identifier="QVRT")
    assert plan.unpack("Monster", buf).name == "x"


def test_many_threads_unpack_one_buffer(plan):
    data = bytes(plan.pack("Monster", rich_monster(), identifier="QVRT"))
    view = plan.pack("Monster", rich_monster(), size_prefixed=True)
    expected = rich_monster()
    failures = []
    start = threading.Barrier(8)

    def work():
        start.wait()
        try:
            for _ in range(50):
                assert_same(plan.unpack("Monster", data, identifier="QVRT"), expected)
                assert_same(plan.unpack("Monster", view, size_prefixed=True), expected)
        except BaseException as exc:  # reported below, with the thread's own traceback
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
