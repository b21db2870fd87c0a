"""Benchmark: encode_serde (JSON and MessagePack) of an object-heavy model graph, against orjson.dumps
and msgpack.packb of the equivalent, prebuilt dicts and lists (which walk no model objects at all).

The graph: a report of 300 readings, each with a nested struct and, for every other one, a child
table; 1,000 samples of five fields; 200 strings. Prints the median time of each and the ratios.
"""

import argparse
import statistics
import time

import msgpack
import orjson

from quorvel._native import NativePlan
from bench_graph import MODELS, Struct


def field(name, slot, kind, scalar=None, default=None, target=None, offset=None):
    return [name, slot, 4 + 2 * slot if offset is None else offset, kind, scalar, default,
            False, False, False, False, False, False, False, target]


def model(name, fields, is_struct=False, size=0, align=0):
    return [name, is_struct, size, align, fields, [[f[0], f[0]] for f in fields], None, None]


PLAN = msgpack.packb([2, [
    model("Vec3", [field("x", 0, "scalar", "float32", 0.0, offset=0), field("y", 1, "scalar", "float32", 0.0, offset=4),
                   field("z", 2, "scalar", "float32", 0.0, offset=8)], True, 12, 4),
    model("Note", [field("text", 0, "string"), field("level", 1, "scalar", "int16", 0)]),
    model("Reading", [field("id", 0, "scalar", "uint32", 0), field("name", 1, "string"),
                      field("value", 2, "scalar", "float64", 0.0), field("pos", 3, "struct", target="Vec3"),
                      field("note", 4, "table", target="Note")]),
    model("Sample", [field("t", 0, "scalar", "int64", 0), field("a", 1, "scalar", "float64", 0.0),
                     field("b", 2, "scalar", "float64", 0.0), field("count", 3, "scalar", "int32", 0),
                     field("ok", 4, "scalar", "bool", False)]),
    model("Report", [field("title", 0, "string"), field("readings", 1, "vector_table", target="Reading"),
                     field("samples", 2, "vector_table", target="Sample"), field("tags", 3, "vector_string")]),
]])


class Vec3(Struct):
    x: float = 0.0
    y: float = 0.0
    z: float = 0.0


class Note(Struct):
    text: str = ""
    level: int = 0


class Reading(Struct):
    id: int = 0
    name: str = ""
    value: float = 0.0
    pos: Vec3 = None
    note: Note = None


class Sample(Struct):
    t: int = 0
    a: float = 0.0
    b: float = 0.0
    count: int = 0
    ok: bool = False


class Report(Struct):
    title: str = ""
    readings: list = None
    samples: list = None
    tags: list = None


def build_graph():
    readings = [
        Reading(id=i, name=f"sensor-{i}", value=i * 1.25 + 0.1, pos=Vec3(x=i * 0.5, y=-i * 0.25, z=1.0),
                note=Note(text=f"note {i}", level=i % 7) if i % 2 == 0 else None)
        for i in range(300)
    ]
    samples = [Sample(t=1_700_000_000_000 + i, a=i / 3, b=-i * 2.5, count=i, ok=i % 3 == 0) for i in range(1000)]
    tags = [f"tag-{i:03d}" for i in range(200)]
    return Report(title="bench report", readings=readings, samples=samples, tags=tags)


def as_dicts(report):
    """The same document as plain dicts and lists, in the same key order."""
    def vec(v):
        return {"x": v.x, "y": v.y, "z": v.z}

    def reading(r):
        note = None if r.note is None else {"text": r.note.text, "level": r.note.level}
        return {"id": r.id, "name": r.name, "value": r.value, "pos": vec(r.pos), "note": note}

    return {
        "title": report.title,
        "readings": [reading(r) for r in report.readings],
        "samples": [{"t": s.t, "a": s.a, "b": s.b, "count": s.count, "ok": s.ok} for s in report.samples],
        "tags": list(report.tags),
    }


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
    plan.bind_types({"Vec3": Vec3, "Note": Note, "Reading": Reading, "Sample": Sample, "Report": Report})
    report = build_graph()
    dicts = as_dicts(report)

    ours_json = plan.encode_serde("Report", report, True, fallback_encoder=None)
    ours_mp = plan.encode_serde("Report", report, False, fallback_encoder=None)
    # Same documents as the peers read them (float32 struct members are doubles in both).
    assert orjson.loads(ours_json) == dicts, "JSON document differs from the prebuilt dicts"
    assert msgpack.unpackb(ours_mp) == dicts, "MessagePack document differs from the prebuilt dicts"
    print(f"model classes: {MODELS}")
    print(f"graph: 300 readings, 1000 samples, 200 strings; JSON {len(ours_json)} bytes "
          f"(orjson {len(orjson.dumps(dicts))}), MessagePack {len(ours_mp)} bytes (msgpack {len(msgpack.packb(dicts))})")

    rows = [
        ("JSON", lambda: plan.encode_serde("Report", report, True, fallback_encoder=None),
         "orjson.dumps", lambda: orjson.dumps(dicts)),
        ("MessagePack", lambda: plan.encode_serde("Report", report, False, fallback_encoder=None),
         "msgpack.packb", lambda: msgpack.packb(dicts)),
    ]
    for name, ours, peer_name, peer in rows:
        t_ours = median_seconds(ours, args.repeat, args.number)
        t_peer = median_seconds(peer, args.repeat, args.number)
        print(f"{name:12s} encode_serde {t_ours * 1e6:9.1f} us   {peer_name:14s} {t_peer * 1e6:9.1f} us   "
              f"ours/peer {t_ours / t_peer:5.2f}x  (peer/ours {t_peer / t_ours:5.2f}x)")


if __name__ == "__main__":
    main()
