"""The compiled stand-in of the model library (trevalin_native, built beside the package by the dev
tool): it keeps the Python stand-in's contract, and graphs of its classes go through pack, unpack,
encode_serde and decode_serde exactly as graphs of Python stand-in classes do."""

import gc
import weakref

import pytest

import trevalin
import trevalin_native
from plans import field, make_plan, struct, table

BOTH = pytest.mark.parametrize("base", [trevalin.Struct, trevalin_native.Struct], ids=["python", "compiled"])


def point_classes(base):
    class Point(base):
        x: float
        y: float = 0.0
        label: "Later" = None

    class Tagged(Point):
        y: float = 5.0
        tag: str = "t"

    return {"Point": Point, "Tagged": Tagged}


@BOTH
def test_fields_in_declaration_order_inherited_first(base):
    classes = point_classes(base)
    assert classes["Point"].__struct_fields__ == ("x", "y", "label")
    assert classes["Tagged"].__struct_fields__ == ("x", "y", "label", "tag")
    assert type("Plain", (classes["Tagged"],), {}).__struct_fields__ == ("x", "y", "label", "tag")


@BOTH
@pytest.mark.parametrize("cls, kwargs, values", [
    ("Point", {"x": 1}, (1, 0.0, None)),
    ("Point", {"label": "a", "x": 2, "y": 3}, (2, 3, "a")),
    ("Tagged", {"x": 1}, (1, 5.0, None, "t")),
    ("Tagged", {"tag": "u", "x": 1, "y": None}, (1, None, None, "u")),
])
def test_built_by_keyword_with_defaults(base, cls, kwargs, values):
    cls = point_classes(base)[cls]
    obj = cls(**kwargs)
    assert tuple(getattr(obj, name) for name in cls.__struct_fields__) == values


@BOTH
@pytest.mark.parametrize("cls, args, kwargs", [
    ("Point", (), {}),
    ("Tagged", (), {"y": 1}),
    ("Point", (1,), {}),
    ("Point", (), {"x": 1, "z": 2}),
])
def test_bad_construction_is_a_type_error(base, cls, args, kwargs):
    with pytest.raises(TypeError):
        point_classes(base)[cls](*args, **kwargs)


@BOTH
def test_equality_and_repr(base):
    Point, Tagged = point_classes(base).values()
    assert Point(x=1) == Point(x=1, y=0.0) and not Point(x=1) != Point(x=1)
    assert Point(x=1) != Point(x=2) and Point(x=1) != Tagged(x=1, y=0.0)
    assert repr(Tagged(x=1, label=[2])) == "Tagged(x=1, y=5.0, label=[2], tag='t')"
    with pytest.raises(TypeError):
        hash(Point(x=1))


def test_compiled_fields_are_slots():
    Point = point_classes(trevalin_native.Struct)["Point"]
    assert all(type(Point.__dict__[name]).__name__ == "member_descriptor" for name in Point.__struct_fields__)
    assert not hasattr(Point(x=1), "__dict__")
    # The keyword dict path (type.__call__ and __new__) builds what the vector call builds.
    assert type.__call__(Point, x=1, y=2) == Point.__new__(Point, y=2, x=1) == Point(x=1, y=2)


def test_compiled_class_details():
    Struct = trevalin_native.Struct

    class Own(Struct):
        __slots__ = ("cache",)
        a: int = 1
        b: Undefined = 2  # noqa: F821 (names only: an annotation may name a class defined later)

    assert Own.__struct_fields__ == ("a", "b") and Own(b=3).b == 3
    # Under `from __future__ import annotations` the body carries an annotations dict.
    Future = trevalin_native.StructMeta("Future", (Struct,), {"__annotations__": {"p": "int", "q": "str"}, "q": ""})
    assert Future.__struct_fields__ == ("p", "q") and Future(p=1).q == ""

    # A class changed after it was made is called the ordinary way: fields first, then __init__.
    def init(self, **kwargs):
        self.cache = kwargs

    Own.__init__ = init
    assert Own(a=5).cache == {"a": 5} and Own(a=5).a == 5
    with pytest.raises(TypeError):
        Own(c=1)


def test_compiled_class_reached_from_its_defaults_is_collected():
    class Node(trevalin_native.Struct):
        refs: list = []

    Node().refs.append(Node)  # the shared default now refers back to its class
    ref = weakref.ref(Node)
    del Node
    gc.collect()
    assert ref() is None


PLAN_OBJECTS = (
    struct("Pos", [field("lat", scalar="float64", default=0.0, offset=0),
                   field("lon", scalar="float64", default=0.0, slot=1, offset=8)], byte_size=16, min_alignment=8),
    table("Note", [field("text", "string"), field("level", slot=1)]),
    table("Reading", [field("id", scalar="uint32"), field("name", "string", slot=1),
                      field("pos", "struct", slot=2, target="Pos"), field("note", "table", slot=3, target="Note")]),
    table("Root", [field("title", "string"), field("readings", "vector_table", slot=1, target="Reading"),
                   field("tags", "vector_string", slot=2)]),
)


def graph_classes(base):
    class Pos(base):
        lat: float = 0.0
        lon: float = 0.0

    class Note(base):
        text: str = None
        level: int = 0

    class Reading(base):
        id: int = 0
        name: str = None
        pos: Pos = None
        note: Note = None

    class Root(base):
        title: str = None
        readings: list = None
        tags: list = None

    return {"Pos": Pos, "Note": Note, "Reading": Reading, "Root": Root}


def graph(c):
    return c["Root"](title="t", tags=["a", "é"], readings=[
        c["Reading"](id=i, name=f"r{i}", pos=c["Pos"](lat=i / 4, lon=-float(i)), note=c["Note"](text=str(i), level=-i))
        for i in range(5)])


def test_codecs_treat_compiled_and_python_classes_alike():
    outputs = []
    for base in (trevalin.Struct, trevalin_native.Struct):
        classes = graph_classes(base)
        plan = make_plan(*PLAN_OBJECTS)
        plan.bind_types(classes)
        root = graph(classes)
        packed = bytes(plan.pack("Root", root))
        json_doc = plan.encode_serde("Root", root, True, fallback_encoder=None)
        mp_doc = plan.encode_serde("Root", root, False, fallback_encoder=None)
        for back in (plan.unpack("Root", packed), plan.decode_serde("Root", json_doc, True, fallback_decoders={}),
                     plan.decode_serde("Root", mp_doc, False, fallback_decoders={})):
            assert type(back.readings[0].pos) is classes["Pos"] and back == root
        outputs.append((packed, json_doc, mp_doc))
    assert outputs[0] == outputs[1]
