"""decode_serde model objects: keys matched to serialized names, unknown keys, type tags, union
arms with buffered entries, construction by keyword, and vectors of models; documents written by
Python's json and the msgpack package."""

import pytest

import _plan_probe as probe
from decoding import FORMATS, Holder, Leaf, Other, Pairs, Point, decode, encode, error, make_plan
from planwriter import arm, field, obj, scalar_field, string_field
from trevalin import Struct


@pytest.fixture(scope="module")
def plan():
    return make_plan()


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("doc, expected", [
    ({}, Holder()),
    ({"full_name": "x", "i8": -3, "unknown": [1, {"a": None}], "u8": 200}, Holder(name="x", i8=-3, u8=200)),
    ({"u8": 1, "i8": 2}, Holder(u8=1, i8=2)),
    ({"name": "attribute names are not keys"}, Holder()),
    ({"full_name": None, "leaf": None}, Holder()),
    ({"point": {"x": 1.5}, "leaf": {"name": "a", "n": 3, "type": "leaf"}},
     Holder(point=Point(x=1.5), leaf=Leaf(name="a", n=3))),
])
def test_keys_and_values(plan, fmt, doc, expected):
    assert decode(plan, doc, fmt) == expected


@pytest.mark.parametrize("doc, expected", [
    # Escaped keys match by their text; quotes and backslashes inside keys do not end them early.
    (rb'{"i\u0038": 3, "a\"b": 1, "c\\": [1, {"x\"": 2}], "i64": 4}', Holder(i8=3, i64=4)),
    (rb'{"\u0069\u0036\u0034": 5, "full_\u006eame": "n"}', Holder(i64=5, name="n")),
    (rb'{"full_nam\u0065": "m", "i6\u0034": 1}', Holder(i64=1, name="m")),  # escapes past the first word
    (rb'{"i8": 1, "\"": {"i8": 7}, "i64": 3}', Holder(i8=1, i64=3)),
    # Whitespace between a key and its colon is no part of the key.
    (b'{"i8" \n\t: 2, "i64"\r\n:\n6, "a\\\\" : 0}', Holder(i8=2, i64=6)),
    (rb'{"i8\q": 1}', "Invalid escape chars in JSON string at line 1 column 6"),
])
def test_json_escaped_keys(plan, doc, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match="^cannot decode JSON: " + expected):
            plan.decode_serde("Holder", doc, True, fallback_decoders={})
    else:
        assert plan.decode_serde("Holder", doc, True, fallback_decoders={}) == expected


@pytest.mark.parametrize("doc, expected", [
    (b"\x82\xd9\x02i8\x03\xa3i64\x04", Holder(i8=3, i64=4)),  # str8 and fixstr keys
    (b"\x81\xc4\x02i8\x03", Holder(i8=3)),  # a bin key holding UTF-8
    (b"\x81\xa5i8", "IO error while reading data: unexpected end of file"),
    (b"\x82\xa2i8\x03\xa2\xff\xfe\x01", "invalid value: byte array, expected a string"),
    # An invalid key fails as text ahead of a missing or malformed value.
    (b"\x81\xa2\xff\xfe", "invalid value: byte array, expected a string"),
    (b"\x81\xa2\xff\xfe\xc1", "invalid value: byte array, expected a string"),
])
def test_msgpack_key_forms(plan, doc, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match="^cannot decode MessagePack: " + expected + "$"):
            plan.decode_serde("Holder", doc, False, fallback_decoders={})
    else:
        assert plan.decode_serde("Holder", doc, False, fallback_decoders={}) == expected


@pytest.mark.parametrize("fmt", FORMATS)
def test_repeated_key_later_value_wins(plan, fmt):
    assert decode(plan, Pairs([("i8", 1), ("u8", 5), ("i8", 2)]), fmt) == Holder(i8=2, u8=5)
    assert decode(plan, Pairs([("i8", 1), ("i8", 2)]), fmt) == Holder(i8=2)


# The union field "choice" has the arms Leaf ("leaf") and Other ("other"); both have "n", as int16
# in Leaf and as a string in Other, so "n" before the tag waits for it.
@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("choice, expected", [
    ({"type": "leaf", "name": "a", "n": 1}, Leaf(name="a", n=1)),
    ({"name": "a", "n": 1, "type": "leaf"}, Leaf(name="a", n=1)),
    ({"n": "s", "type": "other", "flag": True}, Other(n="s", flag=True)),
    (Pairs([("n", 1), ("type", "leaf"), ("n", 2)]), Leaf(n=2)),
    (Pairs([("type", "other"), ("type", "leaf"), ("n", 3)]), Leaf(n=3)),
    ({"unknown": 1, "type": "other"}, Other()),
])
def test_union_arms(plan, fmt, choice, expected):
    assert decode(plan, {"choice": choice}, fmt).choice == expected


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("choice, message", [
    ({}, "tagged generated model object is missing its type tag"),
    ({"name": "a"}, "tagged generated model object is missing its type tag"),
    ({"type": "nope"}, 'unknown generated model tag "nope"'),
    ({"type": 5}, "invalid type: integer `5`, expected a string"),
    ({"flag": True, "type": "leaf"}, 'ValueError: field "flag" does not belong to tagged model Leaf'),
    ({"n": "s", "type": "leaf"}, "ValueError: cannot decode buffered "),
])
def test_union_failures(plan, fmt, choice, message):
    assert error(plan, {"choice": choice}, fmt).startswith(message)


def test_buffered_failure_texts(plan):
    with pytest.raises(ValueError) as info:
        decode(plan, {"choice": {"n": "s", "type": "leaf"}}, "json")
    assert str(info.value) == (
        'cannot decode JSON: ValueError: cannot decode buffered JSON field: invalid type: string "s", expected i16'
        ' at line 1 column 3 near `"s"` at line 1 column 32 near `n":"s","type":"leaf"}}`')
    text = error(plan, {"choice": {"n": "s", "type": "leaf"}}, "msgpack")
    assert text == 'ValueError: cannot decode buffered MessagePack field: invalid type: string "s", expected i16'


@pytest.mark.parametrize("fmt", FORMATS)
def test_fixed_model_tag(plan, fmt):
    assert decode(plan, {"leaf": {"type": "leaf", "n": 2}}, fmt).leaf == Leaf(n=2)
    assert decode(plan, {"leaf": {"n": 2}}, fmt).leaf == Leaf(n=2)
    assert error(plan, {"leaf": {"type": "other"}}, fmt) == 'unknown generated model tag "other"'


# Two arms with the same tag: the first in list order wins. An arm list whose first model has no
# tag never settles.
class A(Struct):
    v: int = 0


class B(Struct):
    v: int = 0


class U(Struct):
    u: object = None
    w: object = None


def union_plan():
    objects = [
        obj("A", [scalar_field("v", 0)], serde_tag_field="t", serde_tag="same"),
        obj("B", [scalar_field("v", 0)], serde_tag_field="t", serde_tag="same"),
        obj("N", [scalar_field("v", 0)]),
        obj("U", [field("u", 0, kind="union", arms=[arm(1, "A"), arm(2, "B")]),
                  field("w", 1, kind="union", arms=[arm(1, "N"), arm(2, "A")])]),
    ]
    return make_plan(objects, {"A": A, "B": B, "N": A, "U": U})


@pytest.mark.parametrize("fmt", FORMATS)
def test_tag_resolution_order(fmt):
    p = union_plan()
    u = decode(p, {"u": {"v": 3, "t": "same"}}, fmt, root="U").u
    assert type(u) is A and u.v == 3
    assert error(p, {"w": {"t": "same"}}, fmt, root="U") == "tagged generated model object is missing its type tag"


class Counted(Struct):
    a: int = 0
    b: int = 0
    calls = []

    def __init__(self, **kwargs):
        Counted.calls.append(kwargs)
        self.a = kwargs.get("a", 0)
        self.b = kwargs.get("b", 0)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("data, kwargs", [
    ({"A": 1, "B": 2}, {"a": 1, "b": 2}),
    ({"B": 2, "A": 1}, {"a": 1, "b": 2}),
    ({"A": 1}, {"a": 1}),
    ({}, {}),
])
def test_construction_by_attribute_name(fmt, data, kwargs):
    p = make_plan([obj("C", [scalar_field("a", 0), scalar_field("b", 1)],
                       serde_fields=[{"attr_name": "a", "encode_name": "A"}, {"attr_name": "b", "encode_name": "B"}])],
                  {"C": Counted})
    Counted.calls.clear()
    decode(p, data, fmt, root="C")
    assert Counted.calls == [kwargs]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("doc, expected", [
    ({"leaves": []}, []),
    ({"leaves": [None, {"n": 1}]}, [None, Leaf(n=1)]),
    ({"pair": [{"x": 1}, {"y": 2}]}, [Point(x=1.0), Point(y=2.0)]),
    ({"choices": [{"type": "other"}, {"type": "leaf", "n": 4}]}, [Other(), Leaf(n=4)]),
])
def test_model_vectors(plan, fmt, doc, expected):
    assert getattr(decode(plan, doc, fmt), next(iter(doc))) == expected


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("doc, message", [
    ({"pair": []}, "fixed object array requires 2 values, got 0"),
    ({"pair": [{}, {}, {}]}, "fixed object array requires 2 values, got 3"),
    ({"pair": [{}, 5, {}]}, "invalid type: integer `5`, expected a generated model object"),
    ({"pair": [None]}, "invalid type: {}, expected a generated model object"),
    ({"leaves": [5]}, "invalid type: integer `5`, expected a generated model object"),
    ({"leaves": {}}, "invalid type: map, expected a vector of generated model objects"),
    ({"choices": [{}]}, "tagged generated model object is missing its type tag"),
])
def test_model_vector_failures(plan, fmt, doc, message):
    message = message.replace("{}", "null" if fmt == "json" else "unit value")
    assert error(plan, doc, fmt) == message


def test_msgpack_bin_as_model_vector(plan):
    assert decode(plan, b"\x81\xa6leaves\xc4\x00", "msgpack").leaves == []
    assert error(plan, b"\x81\xa4pair\xc4\x00", "msgpack") == "fixed object array requires 2 values, got 0"
    assert error(plan, b"\x81\xa6leaves\xc4\x01\x05", "msgpack") == (
        "invalid type: integer `5`, expected a generated model object or null")


def test_json_null_literal_must_be_exact(plan):
    assert error(plan, b'{"leaves": [nul]}', "json").startswith("Invalid literal")
    assert error(plan, b'{"full_name": nul}', "json").startswith("Invalid literal")


@pytest.mark.parametrize("fmt", FORMATS)
def test_documents_from_peers(plan, fmt):
    doc = {
        "i8": -5, "u8": 250, "i64": -2**63, "u64": 2**64 - 1, "f32": 0.5, "f64": -1e300, "flag": True,
        "color": 2, "big": 2**62, "full_name": "ünïcode ✓", "tags": ["a", "", "c"],
        "point": {"x": 1.0, "y": -2.0}, "leaf": {"name": "l", "n": -7, "type": "leaf"},
        "leaves": [None, {"n": 1}], "pair": [{"x": 0.0, "y": 0.0}, {"x": 3.0, "y": 4.0}],
        "nums": [1.5, 2.5], "shorts": [1, -2, 3], "colors": [1, 2, 1],
        "choice": {"type": "other", "flag": True, "n": "x"}, "choices": [{"type": "leaf"}],
        "uid": "12345678-1234-5678-1234-567812345678", "amount": "1.25",
    }
    h = decode(plan, doc, fmt)
    assert (h.i8, h.u8, h.i64, h.u64, h.f32, h.f64, h.flag, h.big) == (-5, 250, -2**63, 2**64 - 1, 0.5, -1e300, True, 2**62)
    assert h.name == "ünïcode ✓" and h.tags == ["a", "", "c"] and h.point == Point(x=1.0, y=-2.0)
    assert h.leaf == Leaf(name="l", n=-7) and h.leaves == [None, Leaf(n=1)]
    assert h.choice == Other(flag=True, n="x") and h.choices == [Leaf()]
    assert list(h.nums) == [1.5, 2.5] and list(h.shorts) == [1, -2, 3] and h.colors == [1, 2, 1]
    assert str(h.uid) == doc["uid"] and str(h.amount) == "1.25"


def full_holder():
    import decimal
    import uuid

    import numpy as np
    from decoding import Color
    return Holder(
        i8=-128, u8=255, i64=-2**63, u64=2**64 - 1, f32=0.5, f64=1e-300, flag=True, color=Color.GREEN,
        big=2**62, name="nâme\n\"q\"", tags=["a", "", "ü"], point=Point(x=1.5, y=-2.0),
        leaf=Leaf(name="l", n=-7), leaves=[None, Leaf(n=1)], pair=[Point(), Point(x=3.0, y=4.0)],
        nums=np.array([1.5, -0.0, 1e300]), shorts=np.array([1, -2, 3], dtype=np.int16), colors=[Color.RED, Color.GREEN],
        choice=Other(flag=True, n="x"), choices=[Leaf(n=2), Other()],
        uid=uuid.UUID("12345678-1234-5678-1234-567812345678"), amount=decimal.Decimal("1.10"), extra={"k": [1, 2]},
    )


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("options", [{}, {"order": "sorted", "uuid_format": "hex", "decimal_format": "number"}])
def test_round_trip_through_encode_serde(plan, fmt, options):
    import json as json_module

    import msgpack as msgpack_module
    import numpy as np
    original = full_holder()
    if fmt == "json":
        encoder, decoder = (lambda v: json_module.dumps(v).encode()), (lambda b: json_module.loads(b))
    else:
        encoder, decoder = (lambda v: msgpack_module.packb(v)), (lambda b: msgpack_module.unpackb(b))
    data = plan.encode_serde("Holder", original, fmt == "json", fallback_encoder=encoder, **options)
    back = plan.decode_serde("Holder", data, fmt == "json", fallback_decoders={"extra": decoder})
    for name in Holder.__struct_fields__:
        a, b = getattr(original, name), getattr(back, name)
        if isinstance(a, np.ndarray):
            assert b.dtype == a.dtype and np.array_equal(a, b), name
        else:
            assert a == b and type(a) is type(b), name


class Link(Struct):
    u: object = None
    s: str = None


class Knot(Struct):
    u: object = None
    s: str = None


@pytest.fixture(scope="module")
def chain():
    # Both arms have a "u" that is a union of both, with the arms in another order: the two
    # definitions conflict, so each level keeps "u" until its tag, which comes last.
    return make_plan([
        obj("Link", [field("u", 0, kind="union", arms=[arm(1, "Link"), arm(2, "Knot")]), string_field("s", 1)],
            serde_tag_field="t", serde_tag="link"),
        obj("Knot", [field("u", 0, kind="union", arms=[arm(2, "Knot"), arm(1, "Link")]), string_field("s", 1)],
            serde_tag_field="t", serde_tag="knot"),
        obj("Root", [field("u", 0, kind="union", arms=[arm(1, "Link"), arm(2, "Knot")])]),
    ], {"Link": Link, "Knot": Knot, "Root": Link})


@pytest.mark.parametrize("fmt", FORMATS)
def test_nested_unions_with_their_tags_last(chain, fmt):
    depth = 120
    doc = Pairs([("t", "link")])
    for k in range(depth):
        doc = Pairs([("u", doc), ("s", f'"\\{k}\u00e9'), ("zz", ["a\n", {"b": k}]), ("t", "knot" if k % 2 else "link")])
    got = decode(chain, Pairs([("u", doc)]), fmt, root="Root").u
    for k in reversed(range(depth)):
        assert (type(got), got.s) == (Knot if k % 2 else Link, f'"\\{k}\u00e9')
        got = got.u
    assert got == Link()
    broken = Pairs([("u", Pairs([("u", Pairs([("u", 5), ("t", "link")])), ("t", "knot")])), ("t", "link")])
    assert error(chain, Pairs([("u", broken)]), fmt, root="Root").count("cannot decode buffered") == 3


BIG = [[k, "a:b]}", {"c": [k], "d": "{["}] for k in range(40)]

# The decoder's work as the probe counts it; builds that do not count skip what needs it.
counting = pytest.mark.skipif(not probe.counts_work, reason="this build does not count the decoder's work")


@counting
@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("bottom", [BIG * 10, [{"k": "x" * 61}] * 5000], ids=["nested", "wide"])
def test_late_tags_walk_a_big_value_once(chain, fmt, bottom):
    # Each level keeps "u" until its tag and reads it again; what an outer level walked over is
    # jumped over by the levels inside it, so the walk does not grow with the depth, and each level
    # adds fewer steps and jumps than a value needs to be noted (64 MessagePack bytes) however
    # wide the values under it.
    def chain_doc(depth):
        doc = Pairs([("big", bottom), ("s", "leaf"), ("t", "knot")])
        for k in range(depth):
            doc = Pairs([("u", doc), ("s", f"{k}"), ("t", "knot" if k % 2 else "link")])
        return encode(Pairs([("u", doc)]), fmt)

    work = {}
    for depth in (1, 200):
        got, steps, jumps, _ = probe.decode_counted(chain, ("Root", chain_doc(depth), fmt == "json"))
        work[depth] = steps + jumps
        for k in reversed(range(depth)):
            assert (type(got.u), got.u.s) == (Knot if k % 2 else Link, f"{k}")
            got = got.u
        assert got.u == Knot(s="leaf")
    assert work[200] < 3 * work[1]
    assert work[200] - work[1] < 64 * 199

@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("fault", [("s", 5), ("t", "neither"), ("s", [1]), ("t", 5)])
def test_late_tags_fault_after_jumped_values(chain, fmt, fault):
    # Values walked by an outer level and jumped over when read again leave the reader where a
    # walk would: a fault after them reads as it does when that level is the whole document.
    inner = Pairs([("big", BIG), ("u", Pairs([("big", BIG), ("t", "knot")])), ("z", BIG), fault, ("t", "link")])
    doc = inner
    for k in range(3):
        doc = Pairs([("z", BIG), ("u", doc), ("z", BIG), ("t", "knot" if k % 2 else "link")])

    def message(doc, root):
        with pytest.raises(ValueError) as info:
            decode(chain, doc, fmt, root=root)
        return str(info.value).split(": ", 1)[1]

    nested = message(Pairs([("u", doc)]), "Root")
    assert nested.count("cannot decode buffered") == 3
    assert message(inner, "Link") in nested


@counting
@pytest.mark.parametrize("fmt", FORMATS)
def test_notes_of_kept_values_stay_small(chain, fmt):
    # Kept values deeply nested around little data: the notes of where they end stay a small
    # fraction of the input (not one per level), and the decode still walks it about once.
    deep = [1] * 64
    for _ in range(200):
        deep = [deep]
    deep = [deep] * 100
    doc = encode(Pairs([("u", Pairs([("u", Pairs([("z", deep), ("t", "link")])), ("t", "knot")]))]), fmt)
    got, steps, jumps, noted = probe.decode_counted(chain, ("Root", doc, fmt == "json"))
    assert got == Link(u=Knot(u=Link()))
    assert 0 < noted * 16 < len(doc)
    assert steps + jumps < 2 * len(doc)


MAP66 = {"k": "x" * 61}  # 66 bytes of MessagePack: noted on its own


def maps_in_array(n):
    """The notes of an array of n MAP66 (its header 3 bytes): each map's, in order."""
    return [(3 + 66 * k, 3 + 66 * (k + 1)) for k in range(n)]


@pytest.mark.parametrize("failed, value, expected", [
    # A value whose walk fails after it noted maps takes its notes back.
    ([MAP66, MAP66, "cut"], [MAP66, 1], [(1, 67)]),
    # Notes taken inside out come out in order: each map has 77 bytes of its own (1 + 2 + 72 + 2).
    (None, {"a": "x" * 70, "b": {"c": "y" * 70, "d": {"e": "z" * 70}}}, [(0, 229), (77, 229), (154, 229)]),
    # Each noted value counts as one unit of its parent: 3 header bytes and 61 jumps make 64.
    (None, [MAP66] * 61, [(0, 3 + 66 * 61)] + maps_in_array(61)),
    (None, [MAP66] * 60, maps_in_array(60)),
])
def test_notes_of_a_kept_msgpack_value(failed, value, expected):
    import msgpack
    head = b"" if failed is None else msgpack.packb(failed)[:-4] + b"\xc1"  # a reserved marker cuts it
    doc = msgpack.packb(value)
    found = probe.kept_notes(head + doc, len(head))
    assert [(start - len(head), end - len(head)) for start, end in found] == expected


class Fallen(Struct):
    u: object = None
    f: object = None


@pytest.fixture(scope="module")
def kept_plan():
    # "f" is a fallback in one arm and a decimal in the other, so each level keeps it (and "u")
    # until its tag, which comes last; the outer levels walk it first.
    union = dict(kind="union", arms=[arm(1, "Link"), arm(2, "Knot")])
    return make_plan([
        obj("Link", [field("u", 0, **union), field("f", 1, kind="fallback", fallback_id="fb")],
            serde_tag_field="t", serde_tag="link"),
        obj("Knot", [field("u", 0, **union), field("f", 1, kind="decimal")], serde_tag_field="t", serde_tag="knot"),
        obj("Root", [field("u", 0, **union)]),
    ], {"Link": Fallen, "Knot": Fallen, "Root": Fallen})


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("depth", [1, 2, 5])
@pytest.mark.parametrize("value", [BIG, {"k": BIG}, [BIG, []]])
def test_kept_values_read_as_text_at_any_depth(kept_plan, fmt, depth, value):
    # The innermost level's fallback gets the value's own bytes, whether the levels around it
    # walked over it or jumped over it.
    doc = Pairs([("f", value), ("t", "link")])
    for _ in range(depth):
        doc = Pairs([("u", doc), ("t", "knot")])
    got = kept_plan.decode_serde("Root", encode(Pairs([("u", doc)]), fmt), fmt == "json",
                                 fallback_decoders={"fb": bytes}).u
    for _ in range(depth):
        got = got.u
    assert got.f == encode(value, fmt)
