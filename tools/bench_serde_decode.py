"""Benchmark: decode_serde of an object-heavy graph against orjson.loads and msgpack.unpackb.

The graph: 300 readings, each with a nested struct and (every other one) an optional child table,
1,000 five-field samples and 200 strings. The same JSON and MessagePack documents are decoded by
quorvel's native decode_serde, which builds the model objects, and by orjson.loads and
msgpack.unpackb, which build only dicts and lists. Prints the median time of each and the ratio
peer / native (above 1: the native decoder is faster).

    tools/dev bench-serde            (or: tools/dev run python3 tools/bench_serde_decode.py)
"""

import argparse
import json
import statistics
import time

import msgpack
import orjson

from quorvel._native import NativePlan
from bench_graph import MODELS, Struct

def field(name, slot, kind, scalar=None, default=None, target=None, optional=False, nullable=False):
    return [name, slot, 4 + 2 * slot, kind, scalar, default, optional, False, nullable, False, False, False,
            False, target]


def model(name, fields, is_struct=False, size=0, align=0):
    return [name, is_struct, size, align, fields, [[f[0], f[0]] for f in fields], None, None]


PLAN = msgpack.packb([2, [
    model("Vec3", [field("x", 0, "scalar", "float64", 0.0), field("y", 1, "scalar", "float64", 0.0),
                   field("z", 2, "scalar", "float64", 0.0)], True, 24, 8),
    model("Child", [field("label", 0, "string"), field("weight", 1, "scalar", "float64", 0.0)]),
    model("Reading", [field("id", 0, "scalar", "uint32", 0), field("name", 1, "string"),
                      field("value", 2, "scalar", "float64", 0.0), field("pos", 3, "struct", target="Vec3"),
                      field("child", 4, "table", target="Child", optional=True, nullable=True)]),
    model("Sample", [field("t", 0, "scalar", "int64", 0), field("a", 1, "scalar", "float64", 0.0),
                     field("b", 2, "scalar", "float64", 0.0), field("ok", 3, "scalar", "bool", False),
                     field("code", 4, "scalar", "int32", 0)]),
    model("Graph", [field("title", 0, "string"), field("readings", 1, "vector_table", target="Reading"),
                    field("samples", 2, "vector_table", target="Sample"), field("tags", 3, "vector_string")]),
]])


class Vec3(Struct):
    x: float = 0.0
    y: float = 0.0
    z: float = 0.0


class Child(Struct):
    label: str = None
    weight: float = 0.0


class Reading(Struct):
    id: int = 0
    name: str = None
    value: float = 0.0
    pos: Vec3 = None
    child: Child = None


class Sample(Struct):
    t: int = 0
    a: float = 0.0
    b: float = 0.0
    ok: bool = False
    code: int = 0


class Graph(Struct):
    title: str = None
    readings: list = None
    samples: list = None
    tags: list = None


TYPES = {"Vec3": Vec3, "Child": Child, "Reading": Reading, "Sample": Sample, "Graph": Graph}


def document():
    readings = []
    for i in range(300):
        readings.append({
            "id": i, "name": f"sensor-{i:04d}", "value": i * 0.37 + 0.001,
            "pos": {"x": i * 0.5, "y": -i * 0.25, "z": 1.0 + i},
            "child": {"label": f"child {i}", "weight": i / 7} if i % 2 == 0 else None,
        })
    samples = [{"t": 1_700_000_000 + i, "a": i * 1.5, "b": -i / 3, "ok": i % 3 == 0, "code": i % 17}
               for i in range(1000)]
    tags = [f"tag-{i}-{'x' * (i % 13)}" for i in range(200)]
    return {"title": "bench graph", "readings": readings, "samples": samples, "tags": tags}


def median_seconds(fn, repeat, number):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20)
    args = parser.parse_args()

    plan = NativePlan(PLAN)
    plan.bind_types(TYPES)
    doc = document()
    json_doc = json.dumps(doc, separators=(",", ":")).encode()
    msgpack_doc = msgpack.packb(doc)

    native_json = plan.decode_serde("Graph", json_doc, True, fallback_decoders={})
    native_msgpack = plan.decode_serde("Graph", msgpack_doc, False, fallback_decoders={})
    assert native_json == native_msgpack and len(native_json.samples) == 1000

    rows = [
        ("JSON", len(json_doc),
         lambda: plan.decode_serde("Graph", json_doc, True, fallback_decoders={}),
         "orjson.loads", lambda: orjson.loads(json_doc)),
        ("MessagePack", len(msgpack_doc),
         lambda: plan.decode_serde("Graph", msgpack_doc, False, fallback_decoders={}),
         "msgpack.unpackb", lambda: msgpack.unpackb(msgpack_doc)),
    ]
    print(f"model classes: {MODELS}")
    print(f"graph: 300 readings (struct + optional child), 1000 samples, 200 strings; "
          f"median of {args.repeat} x {args.number}")
    for label, size, native, peer_name, peer in rows:
        t_native = median_seconds(native, args.repeat, args.number)
        t_peer = median_seconds(peer, args.repeat, args.number)
        print(f"{label:12} {size:7} bytes  decode_serde {t_native * 1e6:9.1f} us   "
              f"{peer_name:16} {t_peer * 1e6:9.1f} us   ratio {t_peer / t_native:5.2f}x")


if __name__ == "__main__":
    main()
