"""Stand-in for the package's FlatBuffer module: nested FlatBuffer payloads.

A nested field holds a model as the bytes of its own FlatBuffer; the package encodes and decodes
those through its public functions, which this stand-in reduces to a plan registry.
"""

_plans = {}


def register(model_type, plan, root):
    """Makes ``model_type`` packable and unpackable as a nested payload with ``plan``."""
    _plans[model_type] = (plan, root)


def encode(value):
    plan, root = _plans[type(value)]
    return plan.pack(root, value)


def decode(payload, model_type):
    plan, root = _plans[model_type]
    return plan.unpack(root, payload)
