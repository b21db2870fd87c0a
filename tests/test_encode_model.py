"""encode_serde model writer: key order, tags, default omission, nesting and list walks."""

import json
import threading

import msgpack
import numpy as np
import pytest

from encoding import bound, f, one_field
from planwriter import field, float32, obj, scalar_field, serde_field


def both(plan, model, root="M", **options):
    return (plan.encode_serde(root, model, True, fallback_encoder=options.pop("fallback_encoder", None), **options),
            plan.encode_serde(root, model, False, fallback_encoder=None, **options))


def keyed(keys, **obj_options):
    """A model "M" of int32 fields named f0.. serialized under ``keys``."""
    fields = [scalar_field(f"f{i}", i, "int32") for i in range(len(keys))]
    plan, classes = bound(obj("M", fields, [serde_field(f"f{i}", k) for i, k in enumerate(keys)], **obj_options))
    return plan, classes["M"](**{f"f{i}": i for i in range(len(keys))})


@pytest.mark.parametrize("keys, tag, order, expected", [
    ([], None, None, b"{}"),
    ([], ("t", "M"), None, b'{"t":"M"}'),
    (["a", "B", "ab"], None, None, b'{"a":0,"B":1,"ab":2}'),
    (["a", "B", "ab"], None, "sorted", b'{"B":1,"a":0,"ab":2}'),
    (["a", "B", "ab"], None, "SORTED", b'{"a":0,"B":1,"ab":2}'),
    (["a", "B", "ab"], None, "", b'{"a":0,"B":1,"ab":2}'),
    (["z", "a"], ("zz", "M"), None, b'{"zz":"M","z":0,"a":1}'),
    (["c", "a", "ab"], ("b", "M"), "sorted", b'{"a":1,"ab":2,"b":"M","c":0}'),
    (["b", "a"], ("b", "M"), "sorted", b'{"a":1,"b":"M","b":0}'),
    (["a", "b"], ("c", "M"), "sorted", b'{"a":0,"b":1,"c":"M"}'),
    (["x", "x"], None, None, b'{"x":0,"x":1}'),
    (["x", "y", "x"], None, "sorted", b'{"x":0,"x":2,"y":1}'),
    (["\u00e9", "z", "\x7f"], None, "sorted", b'{"z":1,"\x7f":2,"\xc3\xa9":0}'),
    (['q"', "b\\", "\n\x01\u00e9"], ("t\t", 'v"'), None,
     b'{"t\\t":"v\\"","q\\"":0,"b\\\\":1,"\\n\\u0001\xc3\xa9":2}'),
    ([f"k{i:02}" for i in range(30, 0, -1)] + ["k15"], None, "sorted",
     b"{" + b",".join(b'"k%02d":%d' % (i, 30 - i) for i in range(1, 16)) + b',"k15":30,'
     + b",".join(b'"k%02d":%d' % (i, 30 - i) for i in range(16, 31)) + b"}"),
])
def test_key_order(keys, tag, order, expected):
    options = {"serde_tag_field": tag[0], "serde_tag": tag[1]} if tag else {}
    plan, model = keyed(keys, **options)
    js, mp = both(plan, model, order=order)
    assert js == expected
    assert json.loads(js) == msgpack.unpackb(mp, strict_map_key=False)
    # the MessagePack map has the same entries in the same order
    assert list(msgpack.unpackb(mp, object_pairs_hook=list)) == list(json.loads(js, object_pairs_hook=list))
    entries = len(json.loads(js, object_pairs_hook=list))
    assert mp[0] == 0x80 | entries if entries < 16 else mp[0] == 0xDE


@pytest.mark.parametrize("count, header", [(15, b"\x8f"), (16, b"\xde\x00\x10")])
def test_map_headers(count, header):
    plan, model = keyed([f"k{i}" for i in range(count)])
    assert both(plan, model)[1].startswith(header)


@pytest.mark.parametrize("fld, value, omitted", [
    (scalar_field("v", 0, "int32", 0, serde_omit_default=True), 0, True),
    (scalar_field("v", 0, "int32", 0, serde_omit_default=True), False, True),
    (scalar_field("v", 0, "int32", 0, serde_omit_default=True), np.int16(0), True),
    (scalar_field("v", 0, "int32", 0, serde_omit_default=True), 1, False),
    (scalar_field("v", 0, "int32", 0), 0, False),
    (scalar_field("v", 0, "int32", -5, serde_omit_default=True), -5, True),
    (scalar_field("v", 0, "uint64", 2**63, serde_omit_default=True), 2**63, True),
    (scalar_field("v", 0, "bool", True, serde_omit_default=True), True, True),
    (scalar_field("v", 0, "bool", True, serde_omit_default=True), np.bool_(False), False),
    (scalar_field("v", 0, "float32", float32(0.1), serde_omit_default=True), 0.1, True),
    (scalar_field("v", 0, "float64", 0.1, serde_omit_default=True), 0.1, True),
    (scalar_field("v", 0, "float64", 0.1, serde_omit_default=True), float(np.float32(0.1)), False),
    (scalar_field("v", 0, "float64", 0.0, serde_omit_default=True), -0.0, True),
    (scalar_field("v", 0, "float64", float("nan"), serde_omit_default=True), float("nan"), False),
    (field("v", 0, kind="string", default="ab", serde_omit_default=True), "ab", True),
    (field("v", 0, kind="string", default="ab", serde_omit_default=True), "abc", False),
    (field("v", 0, kind="vector_scalar", scalar="uint8", enum_type="E", default=b"\x01\x02", serde_omit_default=True),
     [1, 2], True),
    (field("v", 0, kind="vector_scalar", scalar="uint8", enum_type="E", default=b"\x01\x02", serde_omit_default=True),
     [1, 3], False),
    (field("v", 0, kind="string", default=None, serde_omit_default=True), None, True),
    (field("v", 0, kind="string", default=None, serde_omit_default=True), "", False),
])
def test_default_omission(fld, value, omitted):
    plan, cls = one_field(fld)
    js, mp = both(plan, cls(v=value))
    assert (js == b"{}") == omitted
    assert (mp == b"\x80") == omitted


@pytest.mark.parametrize("fld, value, error, text", [
    (scalar_field("v", 0, "int32", 0, serde_omit_default=True), None, TypeError,
     "'NoneType' object cannot be interpreted as an integer"),
    (scalar_field("v", 0, "bool", False, serde_omit_default=True), 0, TypeError,
     "'int' object is not an instance of 'bool'"),
    (field("v", 0, kind="string", default="a", serde_omit_default=True), 1, TypeError,
     "'int' object is not an instance of 'str'"),
    (field("v", 0, kind="string", default=b"\x01", serde_omit_default=True), "a", TypeError,
     "Can't extract `str` to `Vec`"),
    (field("v", 0, kind="vector_table", default=[1], serde_omit_default=True), [], TypeError,
     "unsupported native serde default"),
    (scalar_field("v", 0, "int64", 1, serde_omit_default=True), 2**64, OverflowError, "int too big to convert"),
])
def test_default_test_failures(fld, value, error, text):
    plan, cls = one_field(fld)
    with pytest.raises(TypeError) as caught:
        plan.encode_serde("M", cls(v=value), True, fallback_encoder=None)
    assert str(caught.value) == f"cannot encode JSON: {error.__name__}: {text}"
    with pytest.raises(error) as caught:
        plan.encode_serde("M", cls(v=value), False, fallback_encoder=None)
    assert str(caught.value) == text


def tree():
    return bound(
        obj("Leaf", [scalar_field("n", 0, "int32")], serde_tag_field="kind", serde_tag="leaf"),
        obj("Node", [field("kids", 0, kind="vector_table", target="Leaf"),
                     field("next", 1, kind="table", target="Node"),
                     field("any", 2, kind="union", arms=[{"tag": 1, "target": "Leaf"}])]),
    )


def test_nested_models_and_lists():
    plan, c = tree()
    leaf, node = c["Leaf"], c["Node"]
    model = node(kids=[leaf(n=1), None, leaf(n=2)], next=node(kids=[], next=None, any=None), any=leaf(n=3))
    js, mp = both(plan, model, root="Node")
    assert js == (b'{"kids":[{"kind":"leaf","n":1},null,{"kind":"leaf","n":2}],'
                  b'"next":{"kids":[],"next":null,"any":null},"any":{"kind":"leaf","n":3}}')
    assert msgpack.unpackb(mp) == json.loads(js)


@pytest.mark.parametrize("is_json", [True, False])
def test_deep_and_cyclic_graphs_raise_recursion_error(is_json):
    plan, c = tree()
    node = c["Node"]
    deep = None
    for _ in range(200_000):
        deep = node(kids=None, next=deep, any=None)
    with pytest.raises(RecursionError):
        plan.encode_serde("Node", deep, is_json, fallback_encoder=None)
    cyclic = node(kids=None, next=None, any=None)
    cyclic.next = cyclic
    with pytest.raises(RecursionError):
        plan.encode_serde("Node", cyclic, is_json, fallback_encoder=None)
    # unwind the chain without deep recursion in the interpreter's deallocation
    while deep is not None:
        deep = deep.next


def test_list_shrunk_by_a_callback():
    plan, c = bound(
        obj("Item", [scalar_field("n", 0, "int32"), f("fallback", name="hook", slot=1)]),
        obj("Bag", [field("items", 0, kind="vector_table", target="Item")]),
    )
    item = c["Item"]
    bag = c["Bag"](items=[item(n=i, hook=i) for i in range(3)])

    def shrink(value):
        bag.items.clear()
        return b"0"

    # JSON is walked live and stops where the list now ends; MessagePack writes the snapshot it
    # announced in the array header.
    js = plan.encode_serde("Bag", bag, True, fallback_encoder=shrink)
    assert json.loads(js) == {"items": [{"n": 0, "hook": 0}]}
    bag.items = [item(n=i, hook=i) for i in range(3)]
    mp = plan.encode_serde("Bag", bag, False, fallback_encoder=lambda v: (bag.items.clear(), b"\x00")[1])
    assert msgpack.unpackb(mp) == {"items": [{"n": i, "hook": 0} for i in range(3)]}


def test_lists_mutated_by_other_threads():
    plan, c = bound(
        obj("Item", [scalar_field("n", 0, "int32")]),
        obj("Bag", [field("items", 0, kind="vector_table", target="Item"), f("vector_string", name="names", slot=1)]),
    )
    item = c["Item"]
    bag = c["Bag"](items=[item(n=i) for i in range(50)], names=[str(i) for i in range(50)])
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            bag.items.append(item(n=-1))
            bag.names.append("x")
            del bag.items[:3], bag.names[:2]

    threads = [threading.Thread(target=churn) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for i in range(300):
            doc = plan.encode_serde("Bag", bag, i % 2 == 0, fallback_encoder=None)
            decoded = json.loads(doc) if i % 2 == 0 else msgpack.unpackb(doc)
            assert all(isinstance(x["n"], int) for x in decoded["items"])
    finally:
        stop.set()
        for t in threads:
            t.join()
