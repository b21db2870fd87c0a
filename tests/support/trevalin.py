"""A small stand-in for the model library whose classes the native core binds.

Model classes derive from `Struct`, declare their fields as annotations (with optional class-level
defaults), are constructed by keyword, and expose the names of their serialized fields, in
declaration order with inherited fields first, as the `__struct_fields__` tuple. As in the real
library, each class gets a generated keyword-only `__init__`, so construction costs what a plain
Python class's does. A class may keep its fields in `__slots__` (as the library's compiled classes
do); it then has no instance dict.
"""

import inspect
import types

_MISSING = object()


class Struct:
    __slots__ = ()
    __struct_fields__ = ()

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        names = list(getattr(cls, "__struct_fields__", ()))
        for name in inspect.get_annotations(cls):
            if name not in names:
                names.append(name)
        cls.__struct_fields__ = tuple(names)
        if "__init__" not in cls.__dict__:
            cls.__init__ = _make_init(cls, names)

    def __eq__(self, other):
        if type(self) is not type(other):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self.__struct_fields__)

    def __repr__(self):
        fields = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__struct_fields__)
        return f"{type(self).__name__}({fields})"


def _make_init(cls, names):
    defaults = {n: getattr(cls, n, _MISSING) for n in names}
    # A slot's descriptor on the class is not a default.
    defaults = {n: _MISSING if isinstance(v, types.MemberDescriptorType) else v for n, v in defaults.items()}
    params = ", ".join(f"{n}=_d_{n}" if defaults[n] is not _MISSING else n for n in names)
    body = "\n".join(f"    self.{n} = {n}" for n in names) or "    pass"
    source = f"def __init__(self, *, {params}):\n{body}\n" if names else "def __init__(self):\n    pass\n"
    scope = {f"_d_{n}": v for n, v in defaults.items() if v is not _MISSING}
    exec(source, scope)
    return scope["__init__"]
