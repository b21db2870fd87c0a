"""Benchmark: decode_serde of the object-heavy graph against orjson.loads and msgpack.unpackb.

The graph is tools/bench_graph.py's (300 readings with a struct and, every other one, a child
table; 1,000 five-field samples; 200 strings). Its JSON and MessagePack documents are what a peer
writes for the same objects (bench_graph.plain). They are decoded by quorvel's native
decode_serde, which builds the model objects, and by orjson.loads and msgpack.unpackb, which build
only dicts and lists. Prints the median time of each and the median ratio peer / native of runs
timed in turns (above 1: the native decoder is faster).

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
import bench_graph  # noqa: E402

FORMATS = (("json", "JSON", "orjson.loads"), ("msgpack", "MessagePack", "msgpack.unpackb"))


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
    facts = {"models": bench_graph.MODELS, "json": len(json_doc), "msgpack": len(msgpack_doc)}
    return facts, {
        "json": lambda: plan.decode_serde("Graph", json_doc, True, fallback_decoders={}),
        "json peer": lambda: orjson.loads(json_doc),
        "msgpack": lambda: plan.decode_serde("Graph", msgpack_doc, False, fallback_decoders={}),
        "msgpack peer": lambda: msgpack.unpackb(msgpack_doc),
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
    try:
        for rep in range(args.repeat):
            for key, *_ in formats:
                order = list(enumerate(contenders))
                for k, (w, name) in order if rep % 2 == 0 else reversed(order):
                    times[key, k].append(w.time(name.format(key), args.number))
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


if __name__ == "__main__":
    main()
