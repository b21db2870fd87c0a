"""The size estimate that sizes the builder when pack gets no initial_size.

Two ways of observing it:

* The builder starts with the estimated capacity plus room for its own bookkeeping (rounded up to a
  multiple of 8), and the result keeps that allocation, so for a graph that fits,
  `view.obj._allocation_size` is at least the estimate and only a little more.
* `pack` refuses an estimate whose measured part is above 2 GiB; what it guesses (extrapolation
  beyond the samples, fixed costs of what it does not visit) never refuses a graph. Each measured
  root has a first field, `trap`, a uint8 vector whose value only reports a length n: the estimate
  charges it 7 + n + 4 + 3, and writing it fails at once with `Reached`, before anything is
  written. The largest n that passes the limit gives the measured part of everything else,
  exactly, whatever the builder does afterwards.

Expected values are sums of the costs of the present fields: a table costs 8, plus 2 + 2 * (largest
slot) when any field is present; the root adds 4 for its offset, 4 for an identifier and 4 for a
size prefix. The measured value below includes those root additions but not the trap's own cost.
"""

import pytest
from trevalin import Struct

import packing
from fbplans import member, ref, scalar, struct as struct_obj, table
from quorvel import _dynamic, _flatbuffer

MASK = 2**64 - 1
LIMIT = 2**31
LIMIT_ERROR = "estimated FlatBuffer size exceeds the 2 GiB format limit"


def mix(x):
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & MASK
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & MASK
    x ^= x >> 31
    return x


def sample_positions(object_index, slot, n, k):
    """The positions the estimate measures when it samples k of n elements."""
    if k == n:
        return list(range(n))
    if k == 1:
        return [n // 2]
    seed = mix(((object_index * 0x9E3779B97F4A7C15) & MASK) ^ (slot << 32) ^ n)
    inner = []
    for i in range(1, k - 1):
        lo = (i - 1) * (n - 2) // (k - 2)
        hi = i * (n - 2) // (k - 2)
        inner.append(1 + lo + mix(seed ^ i) % (hi - lo))
    return [0, *inner, n - 1]


def with_margin(e):
    return e + (e + 99) // 100


def largest_accepted_estimate():
    lo, hi = 0, LIMIT
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if with_margin(mid) <= LIMIT:
            lo = mid
        else:
            hi = mid - 1
    return lo


E_MAX = largest_accepted_estimate()
TRAP_FIXED = 7 + 4 + 3  # a uint8 vector of n elements costs 14 + n


class Reached(Exception):
    """Raised when pack starts writing the trap, that is, after the estimate was accepted."""


class Sized:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        raise Reached


def measure(plan, root, make, **kwargs):
    """The estimate of ``make(trap)`` without the trap's own cost."""

    def accepted(n):
        try:
            plan.pack(root, make(Sized(n)), **kwargs)
        except Reached:
            return True
        except ValueError as e:
            assert str(e) == LIMIT_ERROR
            return False
        raise AssertionError("pack wrote the trap")

    lo, hi = 0, LIMIT
    assert accepted(lo)
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if accepted(mid):
            lo = mid
        else:
            hi = mid - 1
    return E_MAX - TRAP_FIXED - lo


# --- models ---------------------------------------------------------------------------------------


class Empty(Struct):
    pass


class Bare(Struct):
    trap: object = None


class U16(Struct):
    a: int = 0


class Scalars(Struct):
    trap: object = None
    a: int = None
    b: int = 0


class Str(Struct):
    s: str = None


class Fields(Struct):
    trap: object = None
    s: str = None
    s5: str = None
    v: object = None
    ints: object = None
    longs: object = None
    vs: list = None
    blob: object = None
    nest: object = None


class V(Struct):
    x: float = 0.0
    y: float = 0.0


class Three(Struct):
    s: str = ""
    a: int = 0
    b: int = 0


class Two(Struct):
    x: int = 0
    y: int = 0


class Seven(Struct):
    f0: int = 0
    f1: int = 0
    f2: int = 0
    f3: int = 0
    f4: int = 0
    f5: int = 0
    f6: int = 0


class Counted:
    """A five-field table model that counts reads of its first field."""

    reads = 0

    @property
    def f0(self):
        type(self).reads += 1
        return 0

    f1 = f2 = f3 = f4 = 0


class Sampled(Struct):
    trap: object = None
    tags: list = None
    two: Two = None
    three: Three = None
    kids3: list = None
    kids5: list = None
    seven: Seven = None


class Poly(Struct):
    trap: object = None
    d: object = None
    u: object = None
    us: list = None


class Heavy(Struct):
    seven: Seven = None
    two: Two = None
    label: object = None


def trap():
    return ref("trap", "vector_scalar", 0, scalar="uint8")


OBJECTS = [
    table("Empty", []),                                                            # 0
    table("Bare", [trap()]),                                                       # 1
    table("U16", [scalar("a", "uint16", 3)]),                                      # 2
    table("Scalars", [trap(),                                                      # 3
                      scalar("a", "uint16", 3, optional=True),
                      scalar("b", "uint16", 4)]),
    table("Str", [ref("s", "string", 0)]),                                         # 4
    table("Fields", [trap(),                                                       # 5
                     ref("s", "string", 1),
                     ref("s5", "string", 5),
                     ref("v", "struct", 1, target="V"),
                     ref("ints", "vector_scalar", 1, scalar="int32"),
                     ref("longs", "vector_scalar", 2, scalar="int64"),
                     ref("vs", "vector_struct", 1, target="V"),
                     ref("blob", "vector_byte", 1),
                     ref("nest", "nested", 1, target="Two")]),
    struct_obj("V", [member("x", "scalar", 0, "float32"), member("y", "scalar", 4, "float32")], 8, 4),  # 6
    table("Three", [ref("s", "string", 0), scalar("a", "int32", 1), scalar("b", "int32", 2)]),       # 7
    table("Two", [scalar("x", "int32", 0), scalar("y", "int32", 1)]),              # 8
    table("Seven", [scalar(f"f{i}", "int32", i) for i in range(7)]),               # 9
    table("Five", [scalar(f"f{i}", "int32", i) for i in range(5)]),                # 10
    table("Sampled", [trap(),                                                      # 11
                      ref("tags", "vector_string", 1),
                      ref("two", "table", 2, target="Two"),
                      ref("three", "table", 3, target="Three"),
                      ref("kids3", "vector_table", 1, target="Three"),
                      ref("kids5", "vector_table", 1, target="Five"),
                      ref("seven", "table", 1, target="Seven")]),
    table("Poly", [trap(),                                                         # 12
                   ref("d", "dynamic", 2, type_slot=1, allowed_prefix="app"),
                   ref("u", "union", 2, type_slot=1, type_scalar="uint16", arms=[(1, "Two")]),
                   ref("us", "union_vector", 2, type_slot=1, type_scalar="uint8", arms=[(1, "Two")])]),
    table("Heavy", [ref("seven", "table", 0, target="Seven"),                      # 13
                    ref("two", "table", 1, target="Two"),
                    ref("label", "string", 2)]),
]
SAMPLED_INDEX = 11

TYPES = {
    "Empty": Empty, "Bare": Bare, "U16": U16, "Scalars": Scalars, "Str": Str, "Fields": Fields, "V": V,
    "Three": Three, "Two": Two, "Seven": Seven, "Five": Counted, "Sampled": Sampled, "Poly": Poly,
    "Heavy": Heavy,
}


def sized_dynamic(value, prefix):
    return f"{prefix}.bin", b"x" * value


def sized_nested(value):
    return bytes(value)


@pytest.fixture(scope="module")
def plan():
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_dynamic, "encode_dynamic", sized_dynamic)
        mp.setattr(_flatbuffer, "encode", sized_nested)
        return packing.make_plan(OBJECTS, TYPES)


# --- the allocation of graphs that fit ------------------------------------------------------------


# The builder's bookkeeping room: 8 bytes per field of the widest object, 4 per object of the plan.
BOOKKEEPING = 8 * 8 + 4 * 32


def assert_fits(view, estimate):
    allocation = view.obj._allocation_size
    assert len(view) <= estimate <= allocation
    assert allocation % 8 == 0
    assert allocation < estimate + BOOKKEEPING + 8


@pytest.mark.parametrize(
    "identifier, size_prefixed, expected",
    [(None, False, 13), ("EMPT", False, 17), (None, True, 17), ("EMPT", True, 21)],
)
def test_empty_table_allocation(plan, identifier, size_prefixed, expected):
    # 8 for the table, 4 for the root offset, 4 each for identifier and size prefix, 1 % more.
    view = plan.pack("Empty", Empty(), identifier=identifier, size_prefixed=size_prefixed)
    assert_fits(view, expected)


def test_one_uint16_in_slot_three_allocation(plan):
    # 8 + (2 * 2 - 1) + 2 + 2 * 3 = 19; 19 + 4 = 23; 23 + 1 = 24: exactly the finished size.
    view = plan.pack("U16", U16(a=7))
    assert len(view) == 24
    assert_fits(view, 24)


def test_string_allocation(plan):
    # 8 + (7 + 5 + 8) + 2 + 0 = 30; 30 + 4 = 34; 34 + 1 = 35.
    view = plan.pack("Str", Str(s="hello"))
    assert_fits(view, 35)


def assert_estimate(plan, root, model, expected):
    """The whole estimate of a graph that fits, guesses included, seen through the allocation."""
    assert_fits(plan.pack(root, model), with_margin(expected))


def test_measuring_agrees_with_the_allocation(plan):
    # The trap alone: 8 + 2 + 0 + 4, and the empty table's allocation is that 8 + 4 with margin.
    assert measure(plan, "Bare", lambda t: Bare(trap=t)) == 14


# --- root additions and scalars -------------------------------------------------------------------


@pytest.mark.parametrize(
    "identifier, size_prefixed, expected",
    [(None, False, 14), ("EMPT", False, 18), (None, True, 18), ("EMPT", True, 22)],
)
def test_root_additions(plan, identifier, size_prefixed, expected):
    got = measure(plan, "Bare", lambda t: Bare(trap=t), identifier=identifier, size_prefixed=size_prefixed)
    assert got == expected


def test_present_uint16_in_slot_three(plan):
    # 8 + (2 * 2 - 1) + 2 + 2 * 3 + 4
    assert measure(plan, "Scalars", lambda t: Scalars(trap=t, a=7)) == 23


def test_optional_scalar_at_its_default_is_counted(plan):
    assert measure(plan, "Scalars", lambda t: Scalars(trap=t, a=0)) == 23


def test_non_optional_scalar_at_its_default_costs_nothing(plan):
    # The uint16 in slot 4 holds its default: neither its cost nor its slot counts.
    assert measure(plan, "Scalars", lambda t: Scalars(trap=t, b=0)) == 14


def test_two_present_scalars(plan):
    # 8 + 3 + 3 + 2 + 2 * 4 + 4
    assert measure(plan, "Scalars", lambda t: Scalars(trap=t, a=1, b=1)) == 28


def test_absent_optional_scalar(plan):
    assert measure(plan, "Scalars", lambda t: Scalars(trap=t, a=None)) == 14


# --- strings, structs, vectors, payloads ----------------------------------------------------------


def fields(**kw):
    return lambda t: Fields(trap=t, **kw)


def test_string(plan):
    # 8 + (7 + 5 + 8) + 2 + 2 * 1 + 4
    assert measure(plan, "Fields", fields(s="hello")) == 36


def test_string_length_in_utf8_bytes(plan):
    assert measure(plan, "Fields", fields(s="é✓")) == 36


def test_string_in_slot_five(plan):
    # 8 + 20 + 2 + 2 * 5 + 4
    assert measure(plan, "Fields", fields(s5="hello")) == 44


def test_struct_field(plan):
    # 8 + (8 + 4 - 1) + 2 + 2 + 4
    assert measure(plan, "Fields", fields(v=V())) == 27


def test_int32_vector(plan):
    # 8 + (7 + 3 * 4 + 4 + 3) + 2 + 2 + 4
    assert measure(plan, "Fields", fields(ints=[1, 2, 3])) == 42


def test_int64_vector(plan):
    # 8 + (7 + 2 * 8 + 4 + 7) + 2 + 2 * 2 + 4
    assert measure(plan, "Fields", fields(longs=[1, 2])) == 52


def test_struct_vector(plan):
    # 8 + (7 + 3 * 8 + 4 + 3) + 2 + 2 + 4
    assert measure(plan, "Fields", fields(vs=[V(), V(), V()])) == 54


def test_byte_vector(plan):
    # 8 + (7 + 10 + 7) + 2 + 2 + 4
    assert measure(plan, "Fields", fields(blob=b"0123456789")) == 40


def test_byte_vector_without_a_buffer_uses_its_length(plan):
    assert measure(plan, "Fields", fields(blob=[1] * 10)) == 40


def test_byte_vector_without_a_length_costs_no_data(plan):
    assert measure(plan, "Fields", fields(blob=iter([1, 2]))) == 30


def test_nested_payload(plan):
    # The encoder returns 25 bytes: 8 + (7 + 25 + 7) + 2 + 2 + 4
    assert measure(plan, "Fields", fields(nest=25)) == 55


def test_dynamic_payload(plan):
    # 7 + 7 (type slot) + (7 + 8) for "app.bin" + (40 + 7) = 76; 8 + 76 + 2 + 2 * 2 + 4
    assert measure(plan, "Poly", lambda t: Poly(trap=t, d=40)) == 94


def test_union(plan):
    # 7 + (2 * 2 - 1) + the member (8 + 7 + 2 + 0) = 27; 8 + 27 + 2 + 2 * 2 + 4
    assert measure(plan, "Poly", lambda t: Poly(trap=t, u=Two(x=5))) == 45


def test_union_vector(plan):
    # Three elements, all measured: 8 (nothing present) + 0 (None) + 17 = 25.
    # 7 + 7 + 25 + 4 * 3 + 7 + (3 * 1 + 4 + 3) = 68; 8 + 68 + 2 + 2 * 2 + 4
    assert measure(plan, "Poly", lambda t: Poly(trap=t, us=[Two(), None, Two(x=1)])) == 86


def test_union_vector_members_charge_the_budget(plan):
    # Four samples of ten: the first three members take 2 budget units each and cost 17, the
    # fourth finds the budget spent and costs 64. S = ceil((3 * 17 + 64) * 10 / 4) = 288.
    # 7 + 7 + 288 + 4 * 10 + 7 + (10 * 1 + 4 + 3) = 366; 8 + 366 + 2 + 2 * 2 + 4
    members = [Two(x=1) for _ in range(10)]
    assert_estimate(plan, "Poly", Poly(us=members), 384)
    # Measured: the three visited members instead of S, 384 - 288 + 51.
    assert measure(plan, "Poly", lambda t: Poly(trap=t, us=members)) == 147


# --- sampling and the work budget -----------------------------------------------------------------


def test_sample_positions_of_a_hundred_strings():
    positions = sample_positions(SAMPLED_INDEX, 1, 100, 4)
    assert positions[0] == 0 and positions[-1] == 99
    assert 1 <= positions[1] <= 49 < positions[2] <= 98


def long_at_sampled_positions(n=100):
    positions = set(sample_positions(SAMPLED_INDEX, 1, n, 4))
    return ["L" * 200 if i in positions else "s" for i in range(n)]


TAGS_COST = 7 + 20800 + 4 * 100 + 7  # four samples of 208: S = ceil(4 * 208 * 100 / 4)
TAGS_MEASURED = 7 + 4 * 208 + 4 * 100 + 7  # the samples themselves


def test_string_vector_is_charged_from_its_samples(plan):
    tags = long_at_sampled_positions()
    assert_estimate(plan, "Sampled", Sampled(tags=tags), 8 + TAGS_COST + 2 + 2 + 4)
    assert measure(plan, "Sampled", lambda t: Sampled(trap=t, tags=tags)) == 8 + TAGS_MEASURED + 2 + 2 + 4


def test_string_vector_of_four_is_measured_whole(plan):
    # 4 * (3 + 8) = 44; 7 + 44 + 16 + 7 = 74
    tags = ["abc", "def", "ghi", "jkl"]
    assert measure(plan, "Sampled", lambda t: Sampled(trap=t, tags=tags)) == 8 + 74 + 2 + 2 + 4


def test_string_vector_sampling_leaves_a_budget_of_two(plan):
    tags = long_at_sampled_positions()
    # A two-field child is still measured: 7 + (8 + 7 + 2 + 0) ...
    assert_estimate(plan, "Sampled", Sampled(tags=tags, two=Two(x=5)), 8 + TAGS_COST + (7 + 17) + 2 + 2 * 2 + 4)
    got = measure(plan, "Sampled", lambda t: Sampled(trap=t, tags=tags, two=Two(x=5)))
    assert got == 8 + TAGS_MEASURED + (7 + 17) + 2 + 2 * 2 + 4
    # ... a three-field child is charged 64, a guess.
    assert_estimate(plan, "Sampled", Sampled(tags=tags, three=Three(a=5)), 8 + TAGS_COST + (7 + 64) + 2 + 2 * 3 + 4)
    got = measure(plan, "Sampled", lambda t: Sampled(trap=t, tags=tags, three=Three(a=5)))
    assert got == 8 + TAGS_MEASURED + 7 + 2 + 2 * 3 + 4


def test_string_vector_sampling_needs_indexing(plan):
    with pytest.raises(TypeError):
        plan.pack("Sampled", Sampled(tags={"a", "b"}))
    view = plan.pack("Sampled", Sampled(tags={"a"}), initial_size=64)
    assert packing.string_vector(packing.root(view), 1) == [b"a"]


def test_table_vector_of_three_field_tables_samples_the_middle(plan):
    kids = [Three() for _ in range(5)]
    kids[2] = Three(s="x" * 100)
    # The middle table: 8 + (7 + 100 + 8) + 2 + 0 = 125; S = 125 * 5 = 625.
    # The vector: 7 + 625 + 4 * 5 + 7 = 659.
    assert_estimate(plan, "Sampled", Sampled(kids3=kids), 8 + 659 + 2 + 2 + 4)
    # Measured: the middle table alone, 659 - 625 + 125.
    assert measure(plan, "Sampled", lambda t: Sampled(trap=t, kids3=kids)) == 8 + 159 + 2 + 2 + 4


def test_table_vector_of_five_field_tables_is_not_visited(plan):
    kids = [Counted() for _ in range(3)]
    Counted.reads = 0
    # 64 per element: 7 + 3 * 64 + 4 * 3 + 7 = 218, of which 7 + 4 * 3 + 7 = 26 is measured.
    assert measure(plan, "Sampled", lambda t: Sampled(trap=t, kids5=kids)) == 8 + 26 + 2 + 2 + 4
    assert Counted.reads == 0
    assert_estimate(plan, "Sampled", Sampled(kids5=kids), 8 + 218 + 2 + 2 + 4)


def test_child_table_beyond_the_budget(plan):
    # Seven fields exceed the budget of six: 7 + 64, a guess but for the field's own 7.
    assert_estimate(plan, "Sampled", Sampled(seven=Seven(f0=1)), 8 + 71 + 2 + 2 + 4)
    assert measure(plan, "Sampled", lambda t: Sampled(trap=t, seven=Seven(f0=1))) == 8 + 7 + 2 + 2 + 4


def test_child_beyond_the_budget_is_not_type_checked_by_the_estimate(plan):
    # The estimate passes over the seven-field child and fails first on the string field.
    with pytest.raises(TypeError) as info:
        plan.pack("Heavy", Heavy(seven=Two(), label=5))
    assert str(info.value) == "'int' object is not an instance of 'str'"
    # The child is still checked when it is written.
    with pytest.raises(TypeError) as info:
        plan.pack("Heavy", Heavy(seven=Two()))
    assert str(info.value) == "Two must subclass Seven"


def test_child_within_the_budget_is_type_checked_by_the_estimate(plan):
    with pytest.raises(TypeError) as info:
        plan.pack("Heavy", Heavy(two=Seven(), label=5))
    assert str(info.value) == "Seven must subclass Two"


# --- limits ---------------------------------------------------------------------------------------


class Endless:
    """A sequence claiming ``length`` elements that yields only a few."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 1


def test_estimate_above_two_gib_is_refused(plan):
    with pytest.raises(ValueError) as info:
        plan.pack("Fields", Fields(longs=Endless(2**28)))
    assert str(info.value) == LIMIT_ERROR


def test_estimate_saturates_instead_of_wrapping(plan):
    # (2**62 + 1) * 4 wraps to 4 in 64 bits; saturated, it stays far above the limit.
    with pytest.raises(ValueError) as info:
        plan.pack("Fields", Fields(ints=Endless(2**62 + 1)))
    assert str(info.value) == LIMIT_ERROR


@pytest.mark.parametrize("count", [1_000, 10_000])
def test_outlying_samples_neither_refuse_nor_inflate_a_graph(plan, count):
    # The first and last strings, always sampled, hold 1 MiB each and the rest one byte: the
    # samples extrapolate to 500 MB for 1,000 strings and 5 GB for 10,000, the buffer takes 2 MB.
    big = "L" * 2**20
    tags = [big] + ["s"] * (count - 2) + [big]
    view = plan.pack("Sampled", Sampled(tags=tags))
    assert packing.string_vector(packing.root(view), 1) == [t.encode() for t in tags]
    assert view.obj._allocation_size < 3 * len(view)


def test_explicit_initial_size_skips_the_estimate(plan):
    view = plan.pack("Fields", Fields(longs=Endless(2**28)), initial_size=64)
    assert packing.vector(packing.root(view), 2)[1] == 3
