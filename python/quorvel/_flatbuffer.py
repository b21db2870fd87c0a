"""Stand-in for the package's FlatBuffer module: nested FlatBuffer payloads.

A nested field holds a model as the bytes of its own FlatBuffer. The package encodes and decodes
those through its public functions; this stand-in reduces them to a registry of (plan, root name)
per model class.
"""

_plans = {}


def register(model_type, plan, root):
    """Makes ``model_type`` packable and unpackable as a nested payload with ``plan``."""
    _plans[model_type] = (plan, root)


def encode(value):
    plan, root = _plans[type(value)]
    return plan.pack(root, value)


def decode(payload, *, type, dynamic_overrides=None):
    plan, root = _plans[type]
    return plan.unpack(root, payload, dynamic_overrides=dynamic_overrides)
