"""Benchmark: encode_serde (JSON and MessagePack) of the object-heavy model graph of
tools/bench_graph.py, against orjson.dumps and msgpack.packb of the equivalent, prebuilt dicts and
lists (which walk no model objects at all).

The graph: 300 readings, each with a nested struct and, for every other one, a child table; 1,000
samples of five fields; 200 strings. Prints the median time of each and the ratios.
"""

import argparse

import msgpack
import orjson

import bench_graph  # beside this script, so on the import path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20)
    parser.add_argument("--profile", choices=("json", "msgpack"),
                        help="only run encode_serde of one format, untimed by peers (under a profiler)")
    args = parser.parse_args()

    plan = bench_graph.bound_plan()
    graph = bench_graph.build()
    dicts = bench_graph.plain(graph)

    ours_json = plan.encode_serde("Graph", graph, True, fallback_encoder=None)
    ours_mp = plan.encode_serde("Graph", graph, False, fallback_encoder=None)
    # Same documents as the peers read them (float32 members hold values exact in float32).
    assert orjson.loads(ours_json) == dicts, "JSON document differs from the prebuilt dicts"
    assert msgpack.unpackb(ours_mp) == dicts, "MessagePack document differs from the prebuilt dicts"
    print(f"model classes: {bench_graph.MODELS}")
    print(f"graph: 300 readings, 1000 samples, 200 strings; JSON {len(ours_json)} bytes "
          f"(orjson {len(orjson.dumps(dicts))}), MessagePack {len(ours_mp)} bytes (msgpack {len(msgpack.packb(dicts))})")

    rows = [
        ("JSON", lambda: plan.encode_serde("Graph", graph, True, fallback_encoder=None),
         "orjson.dumps", lambda: orjson.dumps(dicts)),
        ("MessagePack", lambda: plan.encode_serde("Graph", graph, False, fallback_encoder=None),
         "msgpack.packb", lambda: msgpack.packb(dicts)),
    ]
    if args.profile:
        ours = rows[0][1] if args.profile == "json" else rows[1][1]
        for _ in range(args.repeat * args.number):
            ours()
        return
    for name, ours, peer_name, peer in rows:
        t_ours, t_peer, ratio = bench_graph.paired_seconds(ours, peer, args.repeat, args.number)
        print(f"{name:12s} encode_serde {t_ours * 1e6:9.1f} us   {peer_name:14s} {t_peer * 1e6:9.1f} us   "
              f"ours/peer {1 / ratio:5.2f}x  (peer/ours {ratio:5.2f}x)")


if __name__ == "__main__":
    main()
