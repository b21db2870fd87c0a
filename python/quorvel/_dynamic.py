"""Stand-in for the package's dynamic-value module.

Dynamic fields carry a value of an open set of types as a (type tag, payload bytes) pair. This
stand-in knows one family of tags, ``<prefix>.json``, whose payload is the value as JSON text.
"""

import json


def encode_dynamic(value, prefix):
    """Returns the (tag, payload) pair for ``value`` under the field's allowed tag prefix."""
    return f"{prefix}.json", json.dumps(value, separators=(",", ":")).encode()


class _Entry:
    def __init__(self, tag):
        self.tag = tag

    def get(self, payload):
        return json.loads(bytes(payload))


class _DynamicTypes:
    """Registry of the known dynamic tags."""

    def lookup_tag(self, tag):
        return _Entry(tag) if tag.endswith(".json") else None


dynamic_types = _DynamicTypes()
