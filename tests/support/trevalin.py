"""A small stand-in for the model library whose classes the native core binds.

Model classes derive from `Struct`, declare their fields as annotations (with optional class-level
defaults), are constructed by keyword, and expose the names of their serialized fields, in
declaration order with inherited fields first, as the `__struct_fields__` tuple.
"""

import inspect


class Struct:
    __struct_fields__ = ()

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        names = list(getattr(cls, "__struct_fields__", ()))
        for name in inspect.get_annotations(cls):
            if name not in names:
                names.append(name)
        cls.__struct_fields__ = tuple(names)

    def __init__(self, **values):
        for name in self.__struct_fields__:
            if name in values:
                setattr(self, name, values.pop(name))
            elif hasattr(type(self), name):
                setattr(self, name, getattr(type(self), name))
            else:
                raise TypeError(f"missing required argument {name!r}")
        if values:
            raise TypeError(f"unexpected keyword argument {next(iter(values))!r}")

    def __eq__(self, other):
        if type(self) is not type(other):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self.__struct_fields__)

    def __repr__(self):
        fields = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__struct_fields__)
        return f"{type(self).__name__}({fields})"
