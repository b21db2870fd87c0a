"""An object-heavy model graph for benchmarks: many small objects, no big vectors.

300 readings, each with a nested struct and (every other one) a child table, 1,000 five-field
samples and 200 strings. Benchmarks of any codec can import it:

    plan = bench_graph.bound_plan()            # NativePlan with the classes below bound
    graph = bench_graph.build()                # the model objects
    data = bench_graph.plain(graph)            # the same graph as dicts and lists

`plain` gives what a JSON or MessagePack peer encodes for the same objects: one dict per model
object keyed by the serialized field names, lists for vectors, None for absent children.

The classes keep their fields in slots, as the model library's compiled classes do. `Struct` is
the compiled stand-in of the model library (trevalin_native, staged by the dev tool) when it can be
imported, so that building and reading model objects costs what it costs with the real library and
the timings show our own overhead; otherwise the Python stand-in, whose generated __init__ dominates
every decode. `MODELS` says which one; the other benchmarks take `Struct` from here too.
"""

import json
import os
import statistics
import subprocess
import sys
import time

import msgpack

try:
    from trevalin_native import Struct

    MODELS = "compiled (trevalin_native)"
except ImportError:
    from trevalin import Struct

    MODELS = "Python stand-in (tests/support/trevalin.py, a Python __init__ per object)"

SCHEMA = """
namespace graph;
struct Position { lat: double; lon: double; alt: float; }
table Note { text: string; level: int32; }
table Reading { id: uint32; sensor: string; value: double; valid: bool; position: Position; note: Note; }
table Sample { t: int64; channel: uint16; value: double; quality: float; flag: bool; }
table Graph { name: string; readings: [Reading]; samples: [Sample]; labels: [string]; }
root_type Graph;
"""


def _field(name, slot, kind, scalar=None, default=None, target=None, offset=None, nullable=False):
    return [name, slot, 4 + 2 * slot if offset is None else offset, kind, scalar, default,
            False, False, nullable, False, False, False, False, target]


def _model(name, fields, is_struct=False, size=0, align=0):
    return [name, is_struct, size, align, fields, [[f[0], f[0]] for f in fields], None, None]


PLAN = msgpack.packb([2, [
    _model("Position", [_field("lat", 0, "scalar", "float64", 0.0, offset=0),
                        _field("lon", 1, "scalar", "float64", 0.0, offset=8),
                        _field("alt", 2, "scalar", "float32", 0.0, offset=16)], True, 24, 8),
    _model("Note", [_field("text", 0, "string"), _field("level", 1, "scalar", "int32", 0)]),
    _model("Reading", [_field("id", 0, "scalar", "uint32", 0), _field("sensor", 1, "string"),
                       _field("value", 2, "scalar", "float64", 0.0), _field("valid", 3, "scalar", "bool", False),
                       _field("position", 4, "struct", target="Position"),
                       _field("note", 5, "table", target="Note", nullable=True)]),
    _model("Sample", [_field("t", 0, "scalar", "int64", 0), _field("channel", 1, "scalar", "uint16", 0),
                      _field("value", 2, "scalar", "float64", 0.0), _field("quality", 3, "scalar", "float32", 0.0),
                      _field("flag", 4, "scalar", "bool", False)]),
    _model("Graph", [_field("name", 0, "string"), _field("readings", 1, "vector_table", target="Reading"),
                     _field("samples", 2, "vector_table", target="Sample"),
                     _field("labels", 3, "vector_string")]),
]])


class Position(Struct):
    __slots__ = ("lat", "lon", "alt")
    lat: float
    lon: float
    alt: float


class Note(Struct):
    __slots__ = ("text", "level")
    text: str
    level: int


class Reading(Struct):
    __slots__ = ("id", "sensor", "value", "valid", "position", "note")
    id: int
    sensor: str
    value: float
    valid: bool
    position: Position
    note: Note


class Sample(Struct):
    __slots__ = ("t", "channel", "value", "quality", "flag")
    t: int
    channel: int
    value: float
    quality: float
    flag: bool


class Graph(Struct):
    __slots__ = ("name", "readings", "samples", "labels")
    name: str
    readings: list
    samples: list
    labels: list


TYPES = {"Position": Position, "Note": Note, "Reading": Reading, "Sample": Sample, "Graph": Graph}


def bound_plan():
    from quorvel._native import NativePlan

    plan = NativePlan(PLAN)
    plan.bind_types(TYPES)
    return plan


def build(readings=300, samples=1000, labels=200):
    """The graph; every float is exact in float32 where the field is one, so it round-trips."""
    return Graph(
        name="object-heavy graph",
        readings=[
            Reading(id=i, sensor=f"sensor-{i % 17}", value=i * 0.125, valid=i % 3 != 0,
                    position=Position(lat=48.0 + i / 1024, lon=11.5 - i / 512, alt=500.0 + i * 0.25),
                    note=Note(text=f"note {i}", level=i % 5) if i % 2 == 0 else None)
            for i in range(readings)
        ],
        samples=[
            Sample(t=1_700_000_000_000 + 250 * i, channel=i % 64, value=i * -0.5, quality=(i % 100) / 4,
                   flag=i % 2 == 1)
            for i in range(samples)
        ],
        labels=[f"label-{i:04d}" for i in range(labels)],
    )


def plain(obj):
    """The graph (or any part of it) as dicts and lists keyed by the serialized names."""
    if isinstance(obj, Struct):
        return {name: plain(getattr(obj, name)) for name in type(obj).__struct_fields__}
    if isinstance(obj, list):
        return [plain(item) for item in obj]
    return obj


def median_seconds(fn, repeat, number):
    """The median over `repeat` runs of the mean time of one call of `fn`, timed `number` at a time."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def paired_seconds(first, second, repeat, number):
    """Medians of `first` and `second` timed in turns (the order alternating each repetition), and
    the median of their per-repetition ratio second / first: a slow spell of a shared machine
    then hits both sides of a ratio alike."""
    t_first, t_second, ratios = [], [], []
    for k in range(repeat):
        pair = {}
        for name, fn in (("first", first), ("second", second))[:: 1 if k % 2 == 0 else -1]:
            start = time.perf_counter()
            for _ in range(number):
                fn()
            pair[name] = (time.perf_counter() - start) / number
        t_first.append(pair["first"])
        t_second.append(pair["second"])
        ratios.append(pair["second"] / pair["first"])
    return statistics.median(t_first), statistics.median(t_second), statistics.median(ratios)


class Worker:
    """A benchmark script run again as a worker process (`script --worker ARGS`), with the build
    staged in `site` first on its path (None: this build). It prints its facts as one JSON line,
    then times a case per request: [name, number] in, seconds per call out."""

    def __init__(self, script, site, args=()):
        env = dict(os.environ)
        if site is not None:
            parts = env.get("PYTHONPATH", "").split(os.pathsep)
            # This build's site stays last on the path, for the model classes both workers use.
            env["PYTHONPATH"] = os.pathsep.join([site] + parts[1:] + parts[:1])
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(script), "--worker", *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.facts = json.loads(self.proc.stdout.readline())

    def time(self, name, number):
        self.proc.stdin.write(json.dumps([name, number]) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()

