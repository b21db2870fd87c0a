"""The built-in example: loads a small plan, binds model classes, packs a small graph and reads
it back, and writes the same graph as JSON and MessagePack and reads both back."""

import msgpack
import numpy as np

from quorvel._native import NativePlan
from trevalin import Struct


def field(name, slot, kind, scalar=None, default=None, target=None, offset=None):
    # Array form of a field record: name, slot, vtable offset (or struct offset), kind, scalar,
    # default, optional, required, then the trailing defaulted elements up to `target`.
    return [name, slot, 4 + 2 * slot if offset is None else offset, kind, scalar, default,
            False, False, False, False, False, False, False, target]


def model(name, fields, is_struct=False, size=0, align=0):
    serde = [[f[0], f[0]] for f in fields]
    return [name, is_struct, size, align, fields, serde, None, None]


PLAN = msgpack.packb([2, [
    model("Point", [field("x", 0, "scalar", "float32", 0.0, offset=0),
                    field("y", 1, "scalar", "float32", 0.0, offset=4)], True, 8, 4),
    model("Shape", [field("name", 0, "string"), field("origin", 1, "struct", target="Point"),
                    field("weights", 2, "vector_scalar", "float32"),
                    field("sides", 3, "scalar", "uint16", 0)]),
]])


class Point(Struct):
    x: float = 0.0
    y: float = 0.0


class Shape(Struct):
    name: str = ""
    origin: Point = None
    weights: object = None
    sides: int = 0


def main():
    plan = NativePlan(PLAN)
    print(f"plan document: {len(PLAN)} bytes of MessagePack")
    print(f"loaded: {plan!r}")
    plan.bind_types({"Point": Point, "Shape": Shape})

    shape = Shape(name="triangle", origin=Point(x=1.5, y=-2.0), weights=np.array([0.25, 0.5, 0.25], dtype=np.float32), sides=3)
    view = plan.pack("Shape", shape, identifier="SHPE")
    data = bytes(view)
    print(f"packed {shape!r}")
    print(f"  {len(data)} bytes (allocation {view.obj._allocation_size} bytes)")
    for start in range(0, min(len(data), 64), 16):
        chunk = data[start:start + 16]
        print(f"  {start:04x}  {chunk.hex(' ')}")

    document = plan.encode_serde("Shape", shape, True, fallback_encoder=None)
    print(f"as JSON: {document.decode()}")
    packed = plan.encode_serde("Shape", shape, False, fallback_encoder=None)
    print(f"as MessagePack: {len(packed)} bytes")

    def same(other):
        return (other.name == shape.name and other.origin == shape.origin and other.sides == shape.sides
                and other.weights.tolist() == shape.weights.tolist())

    again = plan.unpack("Shape", view, identifier="SHPE")
    print(f"unpacked {again!r}")
    print(f"  weights came back as a NumPy {again.weights.dtype} array; equal to the original: {same(again)}")

    from_json = plan.decode_serde("Shape", document, True, fallback_decoders={})
    from_msgpack = plan.decode_serde("Shape", packed, False, fallback_decoders={})
    print(f"decoded from JSON {from_json!r}; equal to the original: {same(from_json)}")
    print(f"decoded from MessagePack: equal to the original: {same(from_msgpack)}")


if __name__ == "__main__":
    main()
