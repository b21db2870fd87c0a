"""Mutation fuzzing of unpack and unpack_view.

Packs a set of valid buffers covering every field kind the FlatBuffer reader knows, then mutates
them (bit flips, boundary values in offsets and vtable entries, truncation, extension, splices)
and decodes each mutant with unpack and unpack_view. The only outcomes allowed are a model object
or one of the reader's own exceptions; anything else is reported with a reproducer and the
run fails. Run it under the sanitizer build (tools/dev fuzz) so that memory errors abort.

    tools/dev fuzz --seconds 600 --seed 7
"""

import argparse
import enum
import random
import sys
import time

import msgpack
import numpy as np

from quorvel import _flatbuffer
from quorvel._native import NativePlan
from quorvel._runtime import BufferBoundsError, InvalidBufferError
from trevalin import Struct


def field(name, slot, kind, scalar=None, default=None, *, optional=False, required=False, key=False,
          target=None, type_slot=None, type_scalar=None, enum_type=None, arms=(), fixed_length=0,
          element_size=0, offset=None):
    return [name, slot, 4 + 2 * slot if offset is None else offset, kind, scalar, default, optional,
            required, False, False, False, False, key, target, type_slot, type_scalar, None, enum_type,
            None, [list(a) for a in arms], fixed_length, element_size]


def obj(name, fields, is_struct=False, size=0, align=0):
    return [name, is_struct, size, align, fields, [[f[0], f[0]] for f in fields], None, None]


PLAN = msgpack.packb([2, [
    obj("Inner", [field("a", 0, "scalar", "int16", 0, offset=0), field("b", 1, "scalar", "uint8", 0, offset=2)],
        True, 4, 2),
    obj("Vec", [field("x", 0, "scalar", "float32", 0, offset=0),
                field("inner", 1, "struct", target="Inner", offset=4),
                field("arr", 2, "array_scalar", "int32", fixed_length=3, offset=8),
                field("pair", 3, "array_struct", target="Inner", fixed_length=2, element_size=4, offset=20)],
        True, 28, 4),
    obj("Leaf", [field("name", 0, "string", key=True), field("value", 1, "scalar", "float64", 1.5),
                 field("tags", 2, "vector_string")]),
    obj("Other", [field("n", 0, "scalar", "int64", -3), field("flag", 1, "scalar", "bool", False)]),
    obj("Root", [
        field("u8", 0, "scalar", "uint8", 7), field("i32", 1, "scalar", "int32", -1),
        field("f32", 2, "scalar", "float32", 0.5), field("opt", 3, "scalar", "uint64", optional=True),
        field("color", 4, "scalar", "uint8", 1, enum_type="Color"),
        field("title", 5, "string"), field("blob", 6, "vector_byte"),
        field("nums", 7, "vector_scalar", "float64"), field("bools", 8, "vector_scalar", "bool"),
        field("shorts", 9, "vector_scalar", "int16"),
        field("leaf", 10, "table", target="Leaf"), field("vec", 11, "struct", target="Vec"),
        field("others", 12, "vector_table", target="Other"),
        field("vecs", 13, "vector_struct", target="Vec"),
        field("keyed", 14, "vector_table", target="Leaf"),
        field("choice", 16, "union", type_slot=15, type_scalar="uint8", arms=[(1, "Leaf"), (2, "Other")]),
        field("choices", 18, "union_vector", type_slot=17, type_scalar="uint8", arms=[(1, "Leaf"), (2, "Other")]),
        field("strings", 19, "vector_string"),
        field("child", 20, "table", target="Root"),
        field("colors", 21, "vector_scalar", "uint8", enum_type="Color"),
    ]),
]])


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2
    BLUE = 3


class Inner(Struct):
    a: int = 0
    b: int = 0


class Vec(Struct):
    x: float = 0.0
    inner: Inner = None
    arr: list = None
    pair: list = None


class Leaf(Struct):
    name: str = None
    value: float = 1.5
    tags: list = None


class Other(Struct):
    n: int = -3
    flag: bool = False


class Root(Struct):
    u8: int = 7
    i32: int = -1
    f32: float = 0.5
    opt: int = None
    color: Color = Color.RED
    title: str = None
    blob: bytes = None
    nums: object = None
    bools: object = None
    shorts: object = None
    leaf: Leaf = None
    vec: Vec = None
    others: list = None
    vecs: list = None
    keyed: dict = None
    choice: object = None
    choices: list = None
    strings: list = None
    child: object = None
    colors: list = None


def make_vec(i):
    return Vec(x=i * 0.5, inner=Inner(a=-i, b=i % 256), arr=[i, -i, 7], pair=[Inner(a=1, b=2), Inner(a=3, b=4)])


def seeds(plan):
    leaf = Leaf(name="leaf", value=2.5, tags=["a", "bc", ""])
    full = Root(
        u8=9, i32=123456, f32=-2.25, opt=2**40, color=Color.BLUE, title="héllo wörld", blob=b"\x00\x01\x02",
        nums=np.arange(5, dtype=np.float64), bools=np.array([True, False, True]),
        shorts=np.array([-1, 2, 300], dtype=np.int16), leaf=leaf, vec=make_vec(3),
        others=[Other(n=i, flag=i % 2 == 0) for i in range(4)], vecs=[make_vec(i) for i in range(3)],
        keyed={"b": Leaf(name="b"), "a": Leaf(name="a"), "c": Leaf(name="c")},
        choice=Other(n=5, flag=True), choices=[leaf, None, Other(n=1)], strings=["x", "yy", "zzz"],
        child=Root(title="child", child=Root(u8=1)), colors=[1, 2, 3])
    graphs = [Root(), full, Root(choice=leaf, others=[], keyed={}, strings=[]),
              Root(child=Root(child=Root(child=Root(keyed={"k": Leaf(name="k")}))))]
    out = []
    for g in graphs:
        out.append(("Root", bytes(plan.pack("Root", g)), {}))
        out.append(("Root", bytes(plan.pack("Root", g, identifier="FUZZ", size_prefixed=True)),
                    {"identifier": "FUZZ", "size_prefixed": True}))
    out.append(("Leaf", bytes(plan.pack("Leaf", leaf)), {}))
    return out


SPECIAL32 = [0, 1, 2, 3, 4, 8, 0x7F, 0x80, 0xFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFC, 0xFFFFFFFF]
SPECIAL16 = [0, 1, 2, 3, 4, 5, 6, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF]


def mutate(rng, data, pool):
    buf = bytearray(data)
    for _ in range(rng.choice([1, 1, 1, 2, 3, 5])):
        op = rng.randrange(8)
        if not buf:
            buf.extend(rng.randbytes(rng.randrange(1, 16)))
            continue
        if op == 0:  # bit flip
            i = rng.randrange(len(buf))
            buf[i] ^= 1 << rng.randrange(8)
        elif op == 1:  # boundary byte
            buf[rng.randrange(len(buf))] = rng.choice([0, 1, 0x7F, 0x80, 0xFE, 0xFF])
        elif op == 2 and len(buf) >= 4:  # a 32-bit word: offsets, lengths, soffsets
            i = rng.randrange(0, len(buf) - 3) & ~3 if rng.random() < 0.8 else rng.randrange(len(buf) - 3)
            v = rng.choice(SPECIAL32 + [len(buf), len(buf) - i, rng.getrandbits(32), (-i) & 0xFFFFFFFF])
            buf[i:i + 4] = (v & 0xFFFFFFFF).to_bytes(4, "little")
        elif op == 3 and len(buf) >= 2:  # a 16-bit word: vtable entries and sizes
            i = rng.randrange(0, len(buf) - 1) & ~1
            buf[i:i + 2] = rng.choice(SPECIAL16 + [rng.getrandbits(16)]).to_bytes(2, "little")
        elif op == 4:  # truncate
            del buf[rng.randrange(len(buf)):]
        elif op == 5:  # extend
            buf.extend(rng.randbytes(rng.randrange(1, 64)) if rng.random() < 0.5 else bytes(rng.randrange(1, 64)))
        elif op == 6:  # splice from another seed
            other = rng.choice(pool)
            if other:
                a = rng.randrange(len(other))
                chunk = other[a:a + rng.randrange(1, 32)]
                i = rng.randrange(len(buf))
                buf[i:i + len(chunk)] = chunk
        else:  # copy a chunk within the buffer
            a, b = rng.randrange(len(buf)), rng.randrange(len(buf))
            n = rng.randrange(1, 16)
            buf[b:b + n] = buf[a:a + n]
    return bytes(buf)


def allowed(exc):
    if isinstance(exc, (BufferBoundsError, InvalidBufferError, UnicodeDecodeError)):
        return True
    # The enum class refuses values it does not know; its error passes through unchanged.
    return isinstance(exc, ValueError) and "is not a valid Color" in str(exc)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--cases", type=int, default=20000)
    args = parser.parse_args()

    plan = NativePlan(PLAN)
    plan.bind_types({"Inner": Inner, "Vec": Vec, "Leaf": Leaf, "Other": Other, "Root": Root, "Color": Color})
    _flatbuffer.register(Root, plan, "Root")
    corpus = seeds(plan)
    for root, data, kwargs in corpus:  # the seeds themselves must decode
        plan.unpack(root, data, **kwargs)
    pool = [data for _, data, _ in corpus]
    names = ["Root", "Leaf", "Other", "Vec", "Inner"]

    rng = random.Random(args.seed)
    deadline = time.monotonic() + args.seconds
    outcomes = {}
    case = 0
    while case < args.cases and time.monotonic() < deadline:
        root, data, kwargs = rng.choice(corpus)
        mutant = mutate(rng, data, pool)
        for call in range(2):
            try:
                if call == 0:
                    plan.unpack(root, mutant, **kwargs)
                    if rng.random() < 0.2:  # the same bytes read in place through a view
                        plan.unpack(root, memoryview(mutant)[0:], **kwargs)
                else:
                    name = rng.choice(names)
                    offset = rng.randrange(len(mutant) + 8) if rng.random() < 0.9 else rng.getrandbits(40)
                    plan.unpack_view(name, mutant, offset)
                outcome = "decoded"
            except Exception as exc:  # noqa: BLE001 - every outcome is classified below
                if not allowed(exc):
                    print(f"unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
                    print(f"  seed {args.seed}, case {case}, call {call}, root {root}, kwargs {kwargs}", file=sys.stderr)
                    print(f"  buffer {mutant.hex()}", file=sys.stderr)
                    return 1
                outcome = type(exc).__name__
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
        case += 1
    summary = ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items()))
    print(f"fuzz: {case} mutants, {sum(outcomes.values())} decodes (seed {args.seed}): {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
