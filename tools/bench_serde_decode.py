"""Benchmark: decode_serde of the object-heavy graph against orjson.loads and msgpack.unpackb.

The graph is tools/bench_graph.py's (300 readings with a struct and, every other one, a child
table; 1,000 five-field samples; 200 strings). Its JSON and MessagePack documents are what a peer
writes for the same objects (bench_graph.plain). They are decoded by quorvel's native
decode_serde, which builds the model objects, and by orjson.loads and msgpack.unpackb, which build
only dicts and lists. Prints the median time of each and the median ratio peer / native of runs
timed in turns (above 1: the native decoder is faster).

It also decodes a chain of tagged unions whose tags come after their nested value, each level
keeping that value until its tag and reading it again, at several depths, over two bottoms under a
key the model does not have: about 1 MB of small integers in one array ("long"), and an array of
100,000 small maps ("wide", about 7 MB). The time should grow with the input, not with the input
times the depth.

With `--against-site DIR` (what `tools/dev bench-serde --against REF` passes), decode_serde of the
build staged in DIR is timed too, in a worker process of its own, in turns with this build's, and
the speed-up of this build over it is printed.

    tools/dev bench-serde [--against REF]   (or: tools/dev run python3 tools/bench_serde_decode.py)
"""

import argparse
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(1, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import bench_graph  # noqa: E402

FORMATS = (("json", "JSON", "orjson.loads"), ("msgpack", "MessagePack", "msgpack.unpackb"))


# Bottoms and depths of the late-tag chain (JSON nests at most 254 levels).
LATE_DEPTHS = {("long", "json"): (1, 10, 100, 250), ("long", "msgpack"): (1, 10, 100, 1000),
               ("wide", "json"): (1, 10, 100), ("wide", "msgpack"): (1, 10, 100)}


def late_tag_cases():
    """name -> callable: decode_serde of the late-tag chain, per format and depth."""
    import msgpack
    from planwriter import arm, field, obj, plan_bytes, string_field
    from quorvel._native import NativePlan

    class Link(bench_graph.Struct):
        u: object = None
        s: str = None

    def link(name, arms):
        return obj(name, [field("u", 0, kind="union", arms=[arm(k, a) for k, a in arms]), string_field("s", 1)],
                   serde_tag_field="t", serde_tag=name.lower())

    # Both arms have a "u" that is a union of both, in another order: the definitions conflict, so
    # each level keeps "u" until its tag.
    plan = NativePlan(plan_bytes([link("Link", [(1, "Link"), (2, "Knot")]), link("Knot", [(2, "Knot"), (1, "Link")]),
                                  obj("Root", [field("u", 0, kind="union", arms=[arm(1, "Link"), arm(2, "Knot")])])]))
    plan.bind_types({"Link": Link, "Knot": Link, "Root": Link})

    def document(shape, fmt, depth):
        if fmt == "json":
            if shape == "long":
                bottom = "[" + ",".join(map(str, list(range(100)) * 3500)) + "]"
            else:
                bottom = "[" + ",".join(['{"k":"' + "x" * 61 + '"}'] * 100000) + "]"
            doc = '{"bulk":' + bottom + ',"t":"link"}'
            for k in range(depth):
                doc = '{"u":' + doc + ',"s":"' + str(k) + '","t":"' + ("knot" if k % 2 else "link") + '"}'
            return ('{"u":' + doc + "}").encode()
        bottom = msgpack.packb(list(range(100)) * 10000 if shape == "long" else [{"k": "x" * 61}] * 100000)
        doc = b"\x82\xa4bulk" + bottom + b"\xa1t\xa4link"
        for k in range(depth):
            doc = b"\x83\xa1u" + doc + b"\xa1s" + msgpack.packb(str(k)) + b"\xa1t\xa4" + (b"knot" if k % 2 else b"link")
        return b"\x81\xa1u" + doc

    table, sizes = {}, {}
    for (shape, fmt), depths in LATE_DEPTHS.items():
        for depth in depths:
            doc = document(shape, fmt, depth)
            sizes[f"{shape} {fmt} {depth}"] = len(doc)
            table[f"late {shape} {fmt} {depth}"] = (
                lambda d, j: lambda: plan.decode_serde("Root", d, j, fallback_decoders={}))(doc, fmt == "json")
    return sizes, table


def cases():
    """name -> callable: each format's decode_serde and its peer."""
    import msgpack
    import orjson

    plan = bench_graph.bound_plan()
    graph = bench_graph.build()
    data = bench_graph.plain(graph)
    json_doc = json.dumps(data, separators=(",", ":")).encode()
    msgpack_doc = msgpack.packb(data)
    for doc, is_json in ((json_doc, True), (msgpack_doc, False)):
        decoded = plan.decode_serde("Graph", doc, is_json, fallback_decoders={})
        assert decoded == graph, "decode_serde does not give the graph back"
    late_sizes, late = late_tag_cases()
    facts = {"models": bench_graph.MODELS, "json": len(json_doc), "msgpack": len(msgpack_doc), "late": late_sizes}
    return facts, {
        "json": lambda: plan.decode_serde("Graph", json_doc, True, fallback_decoders={}),
        "json peer": lambda: orjson.loads(json_doc),
        "msgpack": lambda: plan.decode_serde("Graph", msgpack_doc, False, fallback_decoders={}),
        "msgpack peer": lambda: msgpack.unpackb(msgpack_doc),
        **late,
    }


def worker():
    """Times a case on request: reads [name, number] lines, answers with seconds per call."""
    facts, table = cases()
    print(json.dumps(facts), flush=True)
    for line in sys.stdin:
        name, number = json.loads(line)
        fn = table[name]
        start = time.perf_counter()
        for _ in range(number):
            fn()
        print(json.dumps((time.perf_counter() - start) / number), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20)
    parser.add_argument("--only", choices=("json", "msgpack"), help="time one format only")
    parser.add_argument("--late-repeat", type=int, default=5, help="repetitions of the late-tag chain (0: skip it)")
    parser.add_argument("--against-site", help="a staged build of another revision to time alongside")
    parser.add_argument("--against-name", default="reference")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker()

    this = bench_graph.Worker(__file__, None)
    other = bench_graph.Worker(__file__, args.against_site) if args.against_site else None
    formats = [f for f in FORMATS if not args.only or args.only == f[0]]
    # One repetition times each contender once, in an order that alternates, so that a slow spell
    # of a shared machine hits every side of a ratio alike.
    contenders = [(this, "{}"), (this, "{} peer")] + ([(other, "{}")] if other else [])
    times = {(key, k): [] for key, *_ in formats for k in range(len(contenders))}
    for rep in range(args.repeat):
        for key, *_ in formats:
            order = list(enumerate(contenders))
            for k, (w, name) in order if rep % 2 == 0 else reversed(order):
                times[key, k].append(w.time(name.format(key), args.number))

    late = {}
    try:
        for rep in range(args.late_repeat):
            for (shape, key), depths in LATE_DEPTHS.items():
                if args.only and args.only != key:
                    continue
                for depth in depths:
                    for w in (this, other) if rep % 2 == 0 else (other, this):
                        if w:
                            late.setdefault((shape, key, depth, w is this), []).append(
                                w.time(f"late {shape} {key} {depth}", 1))
    finally:
        for w in (this, other):
            if w:
                w.close()

    def ratio(key, a, b):
        return statistics.median(x / y for x, y in zip(times[key, a], times[key, b]))

    facts = this.facts
    print(f"model classes: {facts['models']}")
    if other and other.facts["models"] != facts["models"]:
        print(f"  (the reference used {other.facts['models']}: its timings are not comparable)")
    print(f"decode graph: 300 readings (struct + optional child), 1000 samples, 200 strings; "
          f"median of {args.repeat} x {args.number}")
    for key, label, peer_name in formats:
        t = [statistics.median(times[key, k]) for k in range(len(contenders))]
        line = (f"{label:12} {facts[key]:7} bytes  decode_serde {t[0] * 1e6:9.1f} us   "
                f"{peer_name:16} {t[1] * 1e6:9.1f} us   ratio {ratio(key, 1, 0):5.2f}x")
        if other:
            line += f"   {args.against_name} {t[2] * 1e6:9.1f} us   speed-up {ratio(key, 2, 0):5.2f}x"
        print(line)

    if late:
        print(f"late-tag chain, a union per level with its tag after its value; bottoms: long (~1 MB of small "
              f"integers), wide (100,000 small maps); median of {args.late_repeat}")
        labels = {key: label for key, label, _ in formats}
        for (shape, key), depths in LATE_DEPTHS.items():
            if key not in labels:
                continue
            one = statistics.median(late[shape, key, 1, True])
            for depth in depths:
                t = statistics.median(late[shape, key, depth, True])
                line = (f"{labels[key]:12} {shape:4} depth {depth:4} {facts['late'][f'{shape} {key} {depth}']:8} bytes  "
                        f"decode_serde {t * 1e3:9.2f} ms  {t / one:6.1f}x depth 1")
                if other:
                    r = statistics.median(late[shape, key, depth, False])
                    line += (f"   {args.against_name} {r * 1e3:9.2f} ms  "
                             f"{r / statistics.median(late[shape, key, 1, False]):6.1f}x depth 1")
                print(line)


if __name__ == "__main__":
    main()
