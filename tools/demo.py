"""The built-in example: loads a small plan and prints what the module made of it."""

import msgpack

from quorvel._native import NativePlan


def field(name, slot, kind, scalar=None, default=None, target=None):
    # Array form of a field record: name, slot, vtable offset, kind, scalar, default,
    # optional, required, then the trailing defaulted elements up to `target`.
    return [name, slot, 4 + 2 * slot, kind, scalar, default, False, False,
            False, False, False, False, False, target]


def model(name, fields):
    serde = [[f[0], f[0]] for f in fields]
    return [name, False, 0, 0, fields, serde, None, None]


PLAN = msgpack.packb([2, [
    model("Point", [field("x", 0, "scalar", "float64", 0.0), field("y", 1, "scalar", "float64", 0.0)]),
    model("Shape", [field("name", 0, "string"), field("origin", 1, "table", target="Point"),
                    field("weights", 2, "vector_scalar", "float32")]),
]])


def main():
    plan = NativePlan(PLAN)
    print(f"plan document: {len(PLAN)} bytes of MessagePack")
    print(f"loaded: {plan!r}")


if __name__ == "__main__":
    main()
