"""Benchmark: pack and unpack, against the official FlatBuffers Python runtime and, optionally,
against another build of this module.

Cases:
- an object-heavy graph (tools/bench_graph.py: 300 readings with a struct and an optional child
  table, 1,000 five-field samples, 200 strings), packed and unpacked;
- a mixed graph (a few hundred tables with strings, scalars and structs, a struct vector and a
  float64 vector of 100,000 elements), packed and unpacked by this module and by the object API
  that `flatc --python --gen-object-api` generates (`Pack` / `UnPack`);
- one large float64 NumPy vector packed and unpacked (throughput), beside a NumPy copy.

Every case is timed in repetitions; the median of each is reported. With `--against-site DIR`
(what `tools/dev bench --against REF` passes) a second worker process imports the module staged
in DIR; both workers are timed in the same run, interleaved repetition by repetition (alternating
which goes first), and the ratio reference / this is printed for each case.
"""

import argparse
import importlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import msgpack
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SCHEMA = """
namespace bench;
struct Vec3 { x: float; y: float; z: float; }
table Item { id: uint32; name: string; score: double; flag: bool; pos: Vec3; }
table Scene { title: string; items: [Item]; points: [Vec3]; samples: [double]; }
table Samples { values: [double]; }
root_type Scene;
"""


def field(name, slot, kind, scalar=None, default=None, target=None, offset=None):
    return [name, slot, 4 + 2 * slot if offset is None else offset, kind, scalar, default,
            False, False, False, False, False, False, False, target]


def model(name, fields, is_struct=False, size=0, align=0):
    return [name, is_struct, size, align, fields, [[f[0], f[0]] for f in fields], None, None]


PLAN = msgpack.packb([2, [
    model("Vec3", [field("x", 0, "scalar", "float32", 0, offset=0),
                   field("y", 1, "scalar", "float32", 0, offset=4),
                   field("z", 2, "scalar", "float32", 0, offset=8)], True, 12, 4),
    model("Item", [field("id", 0, "scalar", "uint32", 0), field("name", 1, "string"),
                   field("score", 2, "scalar", "float64", 0.0), field("flag", 3, "scalar", "bool", False),
                   field("pos", 4, "struct", target="Vec3")]),
    model("Scene", [field("title", 0, "string"), field("items", 1, "vector_table", target="Item"),
                    field("points", 2, "vector_struct", target="Vec3"),
                    field("samples", 3, "vector_scalar", "float64")]),
    model("Samples", [field("values", 0, "vector_scalar", "float64")]),
]])

# (name, label, how many calls per repetition, timed in every build or only in this one)
CASES = [
    ("graph-pack", "graph: pack", 50, True),
    ("graph-unpack", "graph: unpack", 50, True),
    ("mixed-pack", "mixed: pack", 20, True),
    ("mixed-official-pack", "mixed: official builder (Pack)", 1, False),
    ("mixed-unpack", "mixed: unpack", 20, True),
    ("mixed-official-unpack", "mixed: official object API (UnPack)", 1, False),
    ("large-pack", "large float64 vector: pack", 1, True),
    ("large-unpack", "large float64 vector: unpack", 1, True),
    ("large-copy", "large float64 vector: NumPy copy", 1, False),
]


def official_module(tmp):
    path = os.path.join(tmp, "bench.fbs")
    with open(path, "w") as f:
        f.write(SCHEMA)
    subprocess.run(["flatc", "--python", "--gen-object-api", "-o", tmp, path], check=True)
    sys.path.insert(0, tmp)
    return importlib.import_module("bench.Scene"), importlib.import_module("bench.Item"), \
        importlib.import_module("bench.Vec3")


def make_cases(args, tmp, official):
    """Builds every case's callable (and checks what it produces); returns (callables, facts)."""
    import bench_graph
    from quorvel._native import NativePlan
    from bench_graph import Struct

    class Vec3(Struct):
        x: float = 0.0
        y: float = 0.0
        z: float = 0.0

    class Item(Struct):
        id: int = 0
        name: str = None
        score: float = 0.0
        flag: bool = False
        pos: Vec3 = None

    class Scene(Struct):
        title: str = None
        items: list = None
        points: list = None
        samples: object = None

    class Samples(Struct):
        values: object = None

    cases, facts = {}, {}

    gplan = bench_graph.bound_plan()
    graph = bench_graph.build(args.readings, args.graph_samples, args.labels)
    graph_bytes = bytes(gplan.pack("Graph", graph))
    assert bench_graph.plain(gplan.unpack("Graph", graph_bytes)) == bench_graph.plain(graph)
    cases["graph-pack"] = lambda: gplan.pack("Graph", graph)
    cases["graph-unpack"] = lambda: gplan.unpack("Graph", graph_bytes)
    facts["graph"] = (f"object-heavy graph: {args.readings} readings (struct + optional child table), "
                      f"{args.graph_samples} five-field samples, {args.labels} strings ({len(graph_bytes)} bytes)")

    rng = np.random.default_rng(7)
    samples = rng.standard_normal(args.samples)
    items = [Item(id=i, name=f"item-{i}", score=float(i) * 0.5, flag=i % 2 == 0,
                  pos=Vec3(x=float(i), y=-float(i), z=0.25)) for i in range(args.items)]
    points = [Vec3(x=float(i), y=float(i) + 1, z=float(i) + 2) for i in range(args.items)]
    scene = Scene(title="benchmark scene", items=items, points=points, samples=samples)
    plan = NativePlan(PLAN)
    plan.bind_types({"Vec3": Vec3, "Item": Item, "Scene": Scene, "Samples": Samples})
    native_bytes = bytes(plan.pack("Scene", scene))
    unpacked = plan.unpack("Scene", native_bytes)
    assert unpacked.items[-1] == items[-1] and np.array_equal(unpacked.samples, samples)
    cases["mixed-pack"] = lambda: plan.pack("Scene", scene)
    cases["mixed-unpack"] = lambda: plan.unpack("Scene", native_bytes)
    facts["mixed"] = (f"mixed graph: {args.items} items, {args.items} points, {args.samples} float64 samples "
                      f"({len(native_bytes)} bytes)")

    if official:
        import flatbuffers

        scene_mod, item_mod, vec_mod = official_module(tmp)
        check = scene_mod.Scene.GetRootAs(native_bytes, 0)
        assert check.ItemsLength() == args.items and check.SamplesLength() == args.samples
        assert check.Items(args.items - 1).Name().decode() == items[-1].name
        obj = scene_mod.SceneT()
        obj.title = scene.title
        obj.items = []
        for it in items:
            o = item_mod.ItemT()
            o.id, o.name, o.score, o.flag = it.id, it.name, it.score, it.flag
            o.pos = vec_mod.Vec3T()
            o.pos.x, o.pos.y, o.pos.z = it.pos.x, it.pos.y, it.pos.z
            obj.items.append(o)
        obj.points = []
        for p in points:
            v = vec_mod.Vec3T()
            v.x, v.y, v.z = p.x, p.y, p.z
            obj.points.append(v)
        obj.samples = samples

        def pack_official():
            builder = flatbuffers.Builder(1024)
            builder.Finish(obj.Pack(builder))
            return builder.Output()

        official_bytes = bytes(pack_official())
        assert scene_mod.SceneT.InitFromPackedBuf(official_bytes, 0).items[-1].name.decode() == items[-1].name
        cases["mixed-official-pack"] = pack_official
        cases["mixed-official-unpack"] = lambda: scene_mod.SceneT.InitFromPackedBuf(official_bytes, 0)

    big = rng.standard_normal(args.large)
    holder = Samples(values=big)
    packed = bytes(plan.pack("Samples", holder))
    assert np.array_equal(plan.unpack("Samples", packed).values, big)
    cases["large-pack"] = lambda: plan.pack("Samples", holder)
    cases["large-unpack"] = lambda: plan.unpack("Samples", packed)
    if official:
        cases["large-copy"] = lambda: big.copy()
    facts["large"] = f"large float64 vector: {big.nbytes / 1e6:.0f} MB"
    facts["large_bytes"] = big.nbytes
    facts["models"] = bench_graph.MODELS
    return cases, facts


def time_case(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def worker(args):
    """Serves timing requests on stdin: one JSON [case, number] per line, seconds back per line."""
    with tempfile.TemporaryDirectory() as tmp:
        cases, facts = make_cases(args, tmp, official=args.official)
        print(json.dumps(facts), flush=True)
        for line in sys.stdin:
            name, number = json.loads(line)
            print(json.dumps(time_case(cases[name], number)), flush=True)


def worker_args(args, official):
    return [f"--readings={args.readings}", f"--graph-samples={args.graph_samples}", f"--labels={args.labels}",
            f"--items={args.items}", f"--samples={args.samples}", f"--large={args.large}"] + (
                ["--official"] if official else [])


def run(args):
    import bench_graph

    workers = [bench_graph.Worker(__file__, None, worker_args(args, official=True))]
    if args.against_site:
        # The reference first in the list; the order alternates every repetition.
        workers.insert(0, bench_graph.Worker(__file__, args.against_site, worker_args(args, official=False)))
    this = workers[-1]
    times = {name: [[] for _ in workers] for name, *_ in CASES}
    try:
        for rep in range(args.repeat):
            for name, _label, number, native in CASES:
                order = list(enumerate(workers)) if rep % 2 == 0 else list(reversed(list(enumerate(workers))))
                for k, w in order:
                    if native or w is this:
                        times[name][k].append(w.time(name, number))
    finally:
        for w in workers:
            w.close()

    facts = this.facts
    med = {name: [statistics.median(t) if t else None for t in per] for name, per in times.items()}
    print(f"model classes: {facts['models']}")
    if workers[0].facts["models"] != facts["models"]:
        print(f"  (the reference worker used {workers[0].facts['models']}: its timings are not comparable)")
    print(facts["graph"])
    print(facts["mixed"])
    print(facts["large"])
    print()
    if args.against_site:
        print(f"  {'case':<40} {args.against_name + ' ms':>12} {'this ms':>12} {'speed-up':>9}")
        for name, label, _number, native in CASES:
            ref, new = med[name]
            if native:
                print(f"  {label:<40} {ref * 1e3:12.3f} {new * 1e3:12.3f} {ref / new:8.2f}x")
            else:
                print(f"  {label:<40} {'':>12} {new * 1e3:12.3f}")
    else:
        print(f"  {'case':<40} {'ms':>12}")
        for name, label, _number, _native in CASES:
            print(f"  {label:<40} {med[name][-1] * 1e3:12.3f}")
    new = {name: m[-1] for name, m in med.items()}
    print()
    print(f"  pack speed-up over the official builder:    {new['mixed-official-pack'] / new['mixed-pack']:.1f}x")
    print(f"  unpack speed-up over the official object API: {new['mixed-official-unpack'] / new['mixed-unpack']:.1f}x")
    gb = facts["large_bytes"] / 1e9
    print(f"  large vector: pack {gb / new['large-pack']:.2f} GB/s, unpack {gb / new['large-unpack']:.2f} GB/s, "
          f"NumPy copy {gb / new['large-copy']:.2f} GB/s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readings", type=int, default=300)
    parser.add_argument("--graph-samples", type=int, default=1000)
    parser.add_argument("--labels", type=int, default=200)
    parser.add_argument("--items", type=int, default=300)
    parser.add_argument("--samples", type=int, default=100_000)
    parser.add_argument("--large", type=int, default=16_000_000, help="elements of the large vector (128 MB)")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--against-site", help="a staged build of another revision to time alongside")
    parser.add_argument("--against-name", default="reference")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--official", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
    else:
        run(args)


if __name__ == "__main__":
    main()
