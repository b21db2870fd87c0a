"""Keyed tables: a table vector whose target has a key field is given as a dict and written sorted
by key."""

import collections
import math

import flatbuffers.number_types as N
import pytest
from trevalin import Struct

import packing
from fbplans import ref, scalar, table


class Item(Struct):
    name: str = ""
    count: int = 0


class F32Item(Struct):
    k: float = 0.0


class F64Item(Struct):
    k: float = 0.0


class IntItem(Struct):
    k: int = 0


class UintItem(Struct):
    k: int = 0


class BoolItem(Struct):
    k: bool = False


class Bag(Struct):
    items: dict = None
    f32s: dict = None
    f64s: dict = None
    ints: dict = None
    uints: dict = None
    bools: dict = None


OBJECTS = [
    table("Item", [ref("name", "string", 0, key=True), scalar("count", "int32", 1)]),
    table("F32Item", [scalar("k", "float32", 0, default=0.0, key=True)]),
    table("F64Item", [scalar("k", "float64", 0, default=0.0, key=True)]),
    table("IntItem", [scalar("k", "int32", 0, key=True)]),
    table("UintItem", [scalar("k", "uint8", 0, key=True)]),
    table("BoolItem", [scalar("k", "bool", 0, default=False, key=True)]),
    table("Bag", [
        ref("items", "vector_table", 0, target="Item"),
        ref("f32s", "vector_table", 1, target="F32Item"),
        ref("f64s", "vector_table", 2, target="F64Item"),
        ref("ints", "vector_table", 3, target="IntItem"),
        ref("uints", "vector_table", 4, target="UintItem"),
        ref("bools", "vector_table", 5, target="BoolItem"),
    ]),
]

FIELDS = {"items": (0, None), "f32s": (1, N.Float32Flags), "f64s": (2, N.Float64Flags),
          "ints": (3, N.Int32Flags), "uints": (4, N.Uint8Flags), "bools": (5, N.BoolFlags)}
DEFAULTS = {N.Float32Flags: 0.0, N.Float64Flags: 0.0, N.Int32Flags: 0, N.Uint8Flags: 0, N.BoolFlags: False}


@pytest.fixture(scope="module")
def plan():
    return packing.make_plan(OBJECTS, {cls.__name__: cls for cls in (Item, F32Item, F64Item, IntItem, UintItem,
                                                                     BoolItem, Bag)})


def keys(plan, field, mapping):
    """The keys of the written vector ``field``, in buffer order."""
    slot, flags = FIELDS[field]
    tab = packing.root(plan.pack("Bag", Bag(**{field: mapping})))
    tables = packing.table_vector(tab, slot)
    if flags is None:
        return [packing.string(t, 0).decode() for t in tables]
    return [packing.scalar(t, 0, flags, DEFAULTS[flags]) for t in tables]


def items(*names):
    return {n: Item(name=n) for n in names}


# --- order ----------------------------------------------------------------------------------------


def test_dict_is_written_in_key_order(plan):
    b, a = Item(name="b", count=2), Item(name="a", count=1)
    tab = packing.root(plan.pack("Bag", Bag(items={"b": b, "a": a})))
    written = [(packing.string(t, 0), packing.scalar(t, 1, N.Int32Flags, 0)) for t in packing.table_vector(tab, 0)]
    assert written == [(b"a", 1), (b"b", 2)]


def test_string_keys_compare_bytewise(plan):
    assert keys(plan, "items", items("a", "B")) == ["B", "a"]
    assert keys(plan, "items", items("ab", "a", "")) == ["", "a", "ab"]
    assert keys(plan, "items", items("é", "z")) == ["z", "é"]
    # UTF-8 order, not UTF-16 order: U+FFFF sorts before U+10000.
    assert keys(plan, "items", items("\U00010000", "\uffff")) == ["\uffff", "\U00010000"]


def test_signed_integer_keys(plan):
    mapping = {k: IntItem(k=k) for k in (5, -1, 2**31 - 1, -(2**31), 0)}
    assert keys(plan, "ints", mapping) == [-(2**31), -1, 0, 5, 2**31 - 1]


def test_unsigned_integer_keys(plan):
    assert keys(plan, "uints", {k: UintItem(k=k) for k in (255, 0, 7, 128)}) == [0, 7, 128, 255]


def test_float_keys(plan):
    values = [2.5, -math.inf, -1.5, math.inf, 0.0]
    assert keys(plan, "f64s", {k: F64Item(k=k) for k in values}) == sorted(values)
    assert keys(plan, "f32s", {k: F32Item(k=k) for k in values}) == sorted(values)


def test_bool_keys(plan):
    assert keys(plan, "bools", {True: BoolItem(k=True), False: BoolItem(k=False)}) == [False, True]


def test_dict_subclasses(plan):
    ordered = collections.OrderedDict([("y", Item(name="y")), ("x", Item(name="x"))])
    assert keys(plan, "items", ordered) == ["x", "y"]
    default = collections.defaultdict(Item, {"q": Item(name="q"), "p": Item(name="p")})
    assert keys(plan, "items", default) == ["p", "q"]


def test_empty_dict(plan):
    tab = packing.root(plan.pack("Bag", Bag(items={})))
    assert packing.present(tab, 0)
    assert packing.vector(tab, 0)[1] == 0


def test_keyed_field_holding_none(plan):
    assert packing.present_slots(packing.root(plan.pack("Bag", Bag()))) == []


def test_many_keys(plan):
    names = [f"k{(i * 7919) % 1000:04d}" for i in range(1000)]
    assert keys(plan, "items", items(*names)) == sorted(names)


# --- refusals -------------------------------------------------------------------------------------


def test_key_that_does_not_match_the_model(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Bag", Bag(items={"a": Item(name="a"), "b": Item(name="c")}))
    assert str(info.value) == 'keyed table field "items" key does not match Item.name'


def test_integer_key_that_does_not_match_the_model(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Bag", Bag(ints={1: IntItem(k=2)}))
    assert str(info.value) == 'keyed table field "ints" key does not match IntItem.k'


def test_key_comparison_error_passes_through(plan):
    class Touchy(int):
        __hash__ = int.__hash__

        def __eq__(self, other):
            raise LookupError("no comparing")

    with pytest.raises(LookupError):
        plan.pack("Bag", Bag(ints={Touchy(3): IntItem(k=3)}))


@pytest.mark.parametrize("field, cls", [("f32s", F32Item), ("f64s", F64Item)])
def test_nan_key(plan, field, cls):
    with pytest.raises(ValueError) as info:
        plan.pack("Bag", Bag(**{field: {math.nan: cls(k=math.nan)}}))
    assert str(info.value) == "table keys cannot be NaN"


@pytest.mark.parametrize("value", [[Item(name="a")], (Item(name="a"),), "a"])
def test_keyed_field_requires_a_dict(plan, value):
    with pytest.raises(TypeError) as info:
        plan.pack("Bag", Bag(items=value))
    assert str(info.value) == 'keyed table field "items" requires a dict'


def test_float32_keys_colliding_once_encoded(plan):
    a, b = 1.0, 1.0 + 2**-30
    assert a != b
    with pytest.raises(ValueError) as info:
        plan.pack("Bag", Bag(f32s={a: F32Item(k=a), b: F32Item(k=b)}))
    assert str(info.value) == 'keyed table field "f32s" has duplicate encoded keys'
    assert keys(plan, "f64s", {a: F64Item(k=a), b: F64Item(k=b)}) == [a, b]


def test_string_key_of_another_type(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Bag", Bag(items={1: Item(name="1")}))
    assert str(info.value) == "'int' object is not an instance of 'str'"


def test_bool_key_given_an_int(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Bag", Bag(bools={0: BoolItem(k=False)}))
    assert str(info.value) == "'int' object is not an instance of 'bool'"


def test_integer_key_beyond_its_width_fails_when_written(plan):
    with pytest.raises(OverflowError):
        plan.pack("Bag", Bag(uints={256: UintItem(k=256)}))


# --- dicts that change during the walk ------------------------------------------------------------


def test_dict_growing_during_the_walk(plan):
    bag = {}

    class Meddler(Item):
        @property
        def name(self):
            bag["zz"] = Item(name="zz")
            return "m"

        @name.setter
        def name(self, value):
            pass

    bag.update({"m": Meddler(), "a": Item(name="a")})
    with pytest.raises(RuntimeError) as info:
        plan.pack("Bag", Bag(items=bag))
    assert str(info.value) == "dictionary changed size during iteration"


def test_dict_keys_replaced_during_the_walk(plan):
    bag = {}

    class Swapper(Item):
        @property
        def name(self):
            if "m" in bag:
                del bag["m"]
                bag["n"] = Item(name="n")
            return "m"

        @name.setter
        def name(self, value):
            pass

    bag.update({"m": Swapper(), "a": Item(name="a"), "b": Item(name="b")})
    with pytest.raises(RuntimeError) as info:
        plan.pack("Bag", Bag(items=bag))
    assert str(info.value) == "dictionary keys changed during iteration"
