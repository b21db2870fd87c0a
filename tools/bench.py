"""Benchmark: pack and unpack against the official FlatBuffers Python runtime.

Builds one mixed model graph (a few hundred tables with strings, scalars and structs, a struct
vector and a float64 vector of 100,000 elements), packs it with quorvel's native `pack` and with
the object API that `flatc --python --gen-object-api` generates (`Pack`), unpacks it with `unpack`
and with the object API (`UnPack`), and prints the median time of each and their ratio; then the
throughput of packing and unpacking one large float64 NumPy vector.
"""

import argparse
import importlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

import msgpack
import numpy as np

from quorvel._native import NativePlan
from trevalin import Struct

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


def median_seconds(fn, repeat, number):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def official_module(tmp):
    path = os.path.join(tmp, "bench.fbs")
    with open(path, "w") as f:
        f.write(SCHEMA)
    subprocess.run(["flatc", "--python", "--gen-object-api", "-o", tmp, path], check=True)
    sys.path.insert(0, tmp)
    return importlib.import_module("bench.Scene"), importlib.import_module("bench.Item"), \
        importlib.import_module("bench.Vec3")


def report(name, seconds):
    print(f"  {name:<34} {seconds * 1e3:10.3f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--items", type=int, default=300)
    parser.add_argument("--samples", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    import flatbuffers

    rng = np.random.default_rng(7)
    samples = rng.standard_normal(args.samples)
    items = [Item(id=i, name=f"item-{i}", score=float(i) * 0.5, flag=i % 2 == 0,
                  pos=Vec3(x=float(i), y=-float(i), z=0.25)) for i in range(args.items)]
    points = [Vec3(x=float(i), y=float(i) + 1, z=float(i) + 2) for i in range(args.items)]
    scene = Scene(title="benchmark scene", items=items, points=points, samples=samples)

    plan = NativePlan(PLAN)
    plan.bind_types({"Vec3": Vec3, "Item": Item, "Scene": Scene, "Samples": Samples})

    with tempfile.TemporaryDirectory() as tmp:
        scene_mod, item_mod, vec_mod = official_module(tmp)
        official = scene_mod.SceneT()
        official.title = scene.title
        official.items = []
        for it in items:
            o = item_mod.ItemT()
            o.id, o.name, o.score, o.flag = it.id, it.name, it.score, it.flag
            o.pos = vec_mod.Vec3T()
            o.pos.x, o.pos.y, o.pos.z = it.pos.x, it.pos.y, it.pos.z
            official.items.append(o)
        official.points = []
        for p in points:
            v = vec_mod.Vec3T()
            v.x, v.y, v.z = p.x, p.y, p.z
            official.points.append(v)
        official.samples = samples

        def pack_official():
            builder = flatbuffers.Builder(1024)
            builder.Finish(official.Pack(builder))
            return builder.Output()

        native_bytes = bytes(plan.pack("Scene", scene))
        check = scene_mod.Scene.GetRootAs(native_bytes, 0)
        assert check.ItemsLength() == args.items and check.SamplesLength() == args.samples
        assert check.Items(args.items - 1).Name().decode() == items[-1].name

        print(f"mixed graph: {args.items} items, {args.items} points, {args.samples} float64 samples "
              f"({len(native_bytes)} bytes)")
        native = median_seconds(lambda: plan.pack("Scene", scene), args.repeat, 20)
        reference = median_seconds(pack_official, args.repeat, 1)
        report("quorvel pack", native)
        report("official Python builder (Pack)", reference)
        print(f"  pack speed-up: {reference / native:.1f}x")

        official_bytes = bytes(pack_official())
        unpacked = plan.unpack("Scene", native_bytes)
        assert unpacked.items[-1] == items[-1] and np.array_equal(unpacked.samples, samples)
        roundtrip = scene_mod.SceneT.InitFromPackedBuf(official_bytes, 0)
        assert roundtrip.items[-1].name.decode() == items[-1].name

        native = median_seconds(lambda: plan.unpack("Scene", native_bytes), args.repeat, 20)
        reference = median_seconds(lambda: scene_mod.SceneT.InitFromPackedBuf(official_bytes, 0), args.repeat, 1)
        report("quorvel unpack", native)
        report("official Python object API (UnPack)", reference)
        print(f"  unpack speed-up: {reference / native:.1f}x")

    big = rng.standard_normal(16_000_000)  # 128 MB
    holder = Samples(values=big)
    plan.pack("Samples", holder)
    seconds = median_seconds(lambda: plan.pack("Samples", holder), args.repeat, 1)
    print(f"large float64 vector: {big.nbytes / 1e6:.0f} MB packed in {seconds * 1e3:.1f} ms "
          f"= {big.nbytes / seconds / 1e9:.2f} GB/s")
    packed = bytes(plan.pack("Samples", holder))
    seconds = median_seconds(lambda: plan.unpack("Samples", packed), args.repeat, 1)
    print(f"large float64 vector: {big.nbytes / 1e6:.0f} MB unpacked in {seconds * 1e3:.1f} ms "
          f"= {big.nbytes / seconds / 1e9:.2f} GB/s")
    copy_seconds = median_seconds(lambda: big.copy(), args.repeat, 1)
    print(f"  (memory copy of the same array with NumPy: {big.nbytes / copy_seconds / 1e9:.2f} GB/s)")


if __name__ == "__main__":
    main()
