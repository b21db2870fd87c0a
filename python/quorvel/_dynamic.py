"""Stand-in for the package's dynamic-value module.

A dynamic field carries a model of an open set of types as a (type tag, FlatBuffer payload) pair.
Model classes are registered under tags; values travel wrapped in `Dynamic`, which also keeps
payloads whose tag no registered class claims.
"""

from quorvel import _flatbuffer


class Dynamic:
    """Wrapper of a dynamic field's value."""

    def __init__(self, value):
        self.value = value
        self.tag = None
        self.payload = None

    @classmethod
    def opaque(cls, tag, payload):
        wrapped = cls(None)
        wrapped.tag, wrapped.payload = tag, payload
        return wrapped

    def __eq__(self, other):
        return isinstance(other, Dynamic) and (self.value, self.tag, self.payload) == (
            other.value, other.tag, other.payload)

    def __repr__(self):
        if self.tag is not None:
            return f"Dynamic.opaque({self.tag!r}, {self.payload!r})"
        return f"Dynamic({self.value!r})"


class _Entry:
    def __init__(self, tag, model_type):
        self.tag = tag
        self.model_type = model_type


class _DynamicTypes:
    """Registry of the known tags and their model classes."""

    def __init__(self):
        self._by_tag = {}
        self._by_type = {}

    def register(self, tag, model_type):
        self._by_tag[tag] = _Entry(tag, model_type)
        self._by_type[model_type] = tag

    def lookup_tag(self, tag):
        return self._by_tag.get(tag)

    def tag_of(self, model_type):
        return self._by_type[model_type]


dynamic_types = _DynamicTypes()


def encode_dynamic(value, prefix):
    """Returns the (tag, payload) pair of a dynamic field's value under its allowed tag prefix."""
    if isinstance(value, Dynamic) and value.tag is not None:
        return value.tag, value.payload
    model = value.value if isinstance(value, Dynamic) else value
    tag = dynamic_types.tag_of(type(model))
    if not tag.startswith(prefix):
        raise ValueError(f"dynamic tag {tag!r} is outside {prefix!r}")
    return tag, _flatbuffer.encode(model)
