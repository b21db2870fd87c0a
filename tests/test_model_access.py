"""Reading model fields and building models through the per-class fast paths: every result and
every error must be what getattr and a keyword call of the class give, however the class changes."""

import threading

import pytest
from trevalin import Struct

from plans import field, make_plan, table

OBJECTS = (
    table("A", [field("x", slot=0), field("y", slot=1)]),
    table("B", [field("y", slot=0), field("x", slot=1)]),
    table("Holder", [field("a", "table", slot=0, target="A"), field("b", "table", slot=1, target="B"),
                     field("items", "vector_table", slot=2, target="A")]),
)


def model_classes(layout):
    """A, B (the same field names, other slot layouts) and Holder, in slots or with a dict."""
    def make(name, fields, extra=()):
        ns = {"__annotations__": {f: object for f in fields}}
        if layout == "slots":
            ns["__slots__"] = tuple(extra) + tuple(fields)
        return type(name, (Struct,), ns)
    return make("A", ("x", "y")), make("B", ("y", "x"), extra=("pad",)), make("Holder", ("a", "b", "items"))


def bound(layout):
    a, b, holder = model_classes(layout)
    plan = make_plan(*OBJECTS)
    plan.bind_types({"A": a, "B": b, "Holder": holder})
    return plan, a, b, holder


_reader = None


def decoded(data):
    """The packed buffer read back through classes nobody modifies."""
    global _reader
    if _reader is None:
        _reader = bound("dict")[0]
    h = _reader.unpack("Holder", data)
    return (h.a.x, h.a.y), (h.b.x, h.b.y), [(i.x, i.y) for i in h.items]


def bare(cls, **values):
    obj = cls.__new__(cls)
    for name, value in values.items():
        setattr(obj, name, value)
    return obj


LAYOUTS = ["slots", "dict"]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_two_classes_sharing_field_names_read_their_own_fields(layout):
    plan, a, b, holder = bound(layout)
    h = holder(a=a(x=1, y=2), b=b(y=3, x=4), items=[a(x=i, y=-i) for i in range(5)])
    assert decoded(plan.pack("Holder", h)) == ((1, 2), (4, 3), [(i, -i) for i in range(5)])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("when", ["between calls", "during the walk"])
def test_class_gaining_a_property_after_first_use_is_read_through_it(layout, when):
    plan, a, b, holder = bound(layout)

    def gain():
        a.x = property(lambda self: 99)
        return 4

    # b is read after a and before the items: its x can change class A in the middle of the walk.
    changing_b = type("ChangingB", (b,), {"x": property(lambda self: gain()),
                                          **({"__slots__": ()} if layout == "slots" else {})})
    h = holder(a=a(x=1, y=2), b=b(y=3, x=4), items=[a(x=5, y=6), a(x=7, y=8)])
    assert decoded(plan.pack("Holder", h)) == ((1, 2), (4, 3), [(5, 6), (7, 8)])
    if when == "between calls":
        gain()
        assert decoded(plan.pack("Holder", h)) == ((99, 2), (4, 3), [(99, 6), (99, 8)])
    else:
        h.b = bare(changing_b, y=3)
        (ax, _), bx, items = decoded(plan.pack("Holder", h))
        assert ax in (1, 99) and bx == (4, 3) and items == [(99, 6), (99, 8)]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_subclass_turning_a_field_into_a_property_in_one_vector(layout):
    plan, a, b, holder = bound(layout)
    sub = type("SubA", (a,), {"x": property(lambda self: -7), **({"__slots__": ()} if layout == "slots" else {})})
    items = [a(x=1, y=1), bare(sub, y=2), a(x=3, y=3), bare(sub, y=4)]
    h = holder(a=bare(sub, y=0), b=b(y=0, x=0), items=items)
    assert decoded(plan.pack("Holder", h)) == ((-7, 0), (0, 0), [(1, 1), (-7, 2), (3, 3), (-7, 4)])


@pytest.mark.parametrize("where", ["root field", "vector element"])
def test_unset_slot_raises_what_getattr_raises(where):
    plan, a, b, holder = bound("slots")
    missing = bare(a, y=1)
    h = holder(a=a(x=0, y=0) if where == "vector element" else missing, b=b(y=0, x=0),
               items=[a(x=1, y=1), missing] if where == "vector element" else [])
    plan.pack("Holder", holder(a=a(x=0, y=0), b=b(y=0, x=0), items=[a(x=1, y=1)]))  # classes seen before
    with pytest.raises(AttributeError) as caught:
        plan.pack("Holder", h)
    with pytest.raises(AttributeError) as expected:
        missing.x
    assert (type(caught.value), str(caught.value), caught.value.name, caught.value.obj) == \
        (type(expected.value), str(expected.value), expected.value.name, expected.value.obj)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_packing_on_16_threads_while_the_class_changes(layout):
    plan, a, b, holder = bound(layout)
    h = holder(a=a(x=1, y=2), b=b(y=3, x=4), items=[a(x=i, y=i) for i in range(50)])
    original = a.__dict__.get("x")
    stop = threading.Event()
    results, errors = [], []

    def modify():
        n = 0
        while not stop.is_set():
            a.x = property(lambda self: 777)
            if original is None:
                del a.x
            else:
                a.x = original
            a.counter = n = n + 1  # an unrelated change, which also invalidates cached entries

    def pack():
        try:
            for _ in range(40):
                results.append(decoded(plan.pack("Holder", h)))
        except BaseException as exc:  # examined below
            errors.append(exc)

    modifier = threading.Thread(target=modify)
    packers = [threading.Thread(target=pack) for _ in range(16)]
    modifier.start()
    for t in packers:
        t.start()
    for t in packers:
        t.join(120)
    stop.set()
    modifier.join(120)
    assert not errors and len(results) == 16 * 40
    for (ax, ay), bx, items in results:
        assert ax in (1, 777) and ay == 2 and bx == (4, 3)
        assert all(x in (i, 777) and y == i for i, (x, y) in enumerate(items))


SCALARS = (
    table("S", [field("a", slot=0, scalar="int64"), field("b", slot=1, scalar="uint8", default=7),
                field("c", slot=2, scalar="float32", default=0.0), field("d", slot=3, scalar="bool", default=False),
                field("e", slot=4, scalar="float64", optional=True, default=None)]),
    table("Row", [field("items", "vector_table", slot=0, target="S")]),
)


class Small(int):
    pass


@pytest.mark.parametrize("odd", [
    {"a": 2**62}, {"a": 2**64}, {"b": 256}, {"b": True}, {"b": Small(3)}, {"c": -0.0}, {"c": float("nan")},
    {"d": 1}, {"e": None}, {"e": 1}, {"a": 1.5}, {"d": None},
])
def test_scalar_tables_read_from_slots_give_what_the_getattr_path_gives(odd):
    """Tables of scalars only are converted straight from their slots; a value that is not of an
    exact type sends that table down the full path, which must give the same bytes or error."""
    def outcome(layout):
        ns = {"__annotations__": dict.fromkeys("abcde", object)}
        if layout == "slots":
            ns["__slots__"] = tuple("abcde")
        s = type("S", (Struct,), ns)
        row = type("Row", (Struct,), {"__annotations__": {"items": list}})
        plan = make_plan(*SCALARS)
        plan.bind_types({"S": s, "Row": row})
        usual = dict(a=-5, b=7, c=1.25, d=True, e=0.5)
        items = [s(**usual), s(**{**usual, **odd}), s(**usual), s(**{**usual, "b": 3}), s(**{**usual, **odd})]
        try:
            return bytes(plan.pack("Row", row(items=items)))
        except Exception as exc:  # compared below
            return type(exc), str(exc)

    assert outcome("slots") == outcome("dict")


# Construction: unpack calls the class with keywords; the direct __init__ call must not change
# what that gives.
class Meta(type):
    def __call__(cls, **kwargs):
        return ("made by metaclass", sorted(kwargs.items()))


def returning_int(self, **kwargs):
    return 5


def raising(self, **kwargs):
    raise LookupError("from __init__")


CONSTRUCTION = [
    ("plain", {}, None),
    ("__init__ returning a value", {"__init__": returning_int}, None),
    ("__init__ raising", {"__init__": raising}, None),
    ("own __new__", {"__new__": lambda cls, **kw: ("made by __new__", sorted(kw.items()))}, None),
    ("metaclass __call__", {}, Meta),
]


@pytest.mark.parametrize("name,namespace,meta", CONSTRUCTION, ids=[c[0] for c in CONSTRUCTION])
def test_construction_gives_what_a_keyword_call_gives(name, namespace, meta):
    plan, a, b, holder = bound("slots")
    data = bytes(plan.pack("Holder", holder(a=a(x=1, y=2), b=b(y=3, x=4), items=[])))
    cls = (meta or type)("A2", (a,), {"__slots__": (), **namespace})
    types = plan.model_types(holder, holder, [(holder, holder, "a", a, cls)])

    def outcome(call):
        try:
            result = call()
        except Exception as exc:
            return type(exc), str(exc)
        return result if isinstance(result, tuple) else (type(result), result.x, result.y)

    for _ in range(2):  # the second time through the cached entry
        got = outcome(lambda: plan.unpack("Holder", data, model_types=types).a)
        assert got == outcome(lambda: cls(x=1, y=2))


def test_construction_follows_an_init_replaced_after_first_use():
    plan, a, b, holder = bound("slots")
    data = bytes(plan.pack("Holder", holder(a=a(x=1, y=2), b=b(y=3, x=4), items=[])))
    assert plan.unpack("Holder", data).a.x == 1
    original = a.__init__

    def doubled(self, **kwargs):
        original(self, **{k: v * 2 for k, v in kwargs.items()})

    a.__init__ = doubled
    assert (plan.unpack("Holder", data).a.x, plan.unpack("Holder", data).b.x) == (2, 4)
