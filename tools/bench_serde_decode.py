"""Benchmark: decode_serde of the object-heavy graph against orjson.loads and msgpack.unpackb.

The graph is tools/bench_graph.py's (300 readings with a struct and, every other one, a child
table; 1,000 five-field samples; 200 strings). Its JSON and MessagePack documents are what a peer
writes for the same objects (bench_graph.plain). They are decoded by quorvel's native
decode_serde, which builds the model objects, and by orjson.loads and msgpack.unpackb, which build
only dicts and lists. Prints the median time of each and the median ratio peer / native of runs
timed in turns (above 1: the native decoder is faster).

    tools/dev bench-serde            (or: tools/dev run python3 tools/bench_serde_decode.py)
"""

import argparse
import json
import os
import sys

import msgpack
import orjson

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_graph  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20)
    parser.add_argument("--only", choices=("json", "msgpack"), help="time one format only")
    args = parser.parse_args()

    plan = bench_graph.bound_plan()
    graph = bench_graph.build()
    data = bench_graph.plain(graph)
    json_doc = json.dumps(data, separators=(",", ":")).encode()
    msgpack_doc = msgpack.packb(data)

    for doc, is_json in ((json_doc, True), (msgpack_doc, False)):
        decoded = plan.decode_serde("Graph", doc, is_json, fallback_decoders={})
        assert decoded == graph, "decode_serde does not give the graph back"

    rows = [
        ("json", "JSON", len(json_doc),
         lambda: plan.decode_serde("Graph", json_doc, True, fallback_decoders={}),
         "orjson.loads", lambda: orjson.loads(json_doc)),
        ("msgpack", "MessagePack", len(msgpack_doc),
         lambda: plan.decode_serde("Graph", msgpack_doc, False, fallback_decoders={}),
         "msgpack.unpackb", lambda: msgpack.unpackb(msgpack_doc)),
    ]
    print(f"model classes: {bench_graph.MODELS}")
    print(f"decode graph: {len(graph.readings)} readings (struct + optional child), {len(graph.samples)} samples, "
          f"{len(graph.labels)} strings; median of {args.repeat} x {args.number}")
    for key, label, size, native, peer_name, peer in rows:
        if args.only and args.only != key:
            continue
        t_native, t_peer, ratio = bench_graph.paired_seconds(native, peer, args.repeat, args.number)
        print(f"{label:12} {size:7} bytes  decode_serde {t_native * 1e6:9.1f} us   "
              f"{peer_name:16} {t_peer * 1e6:9.1f} us   ratio {ratio:5.2f}x")


if __name__ == "__main__":
    main()
