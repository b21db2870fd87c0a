"""Records what the native module imports, and which module attributes it reads.

``ImportLog`` puts recording stand-ins in ``sys.modules`` for the package's Python modules and
for ``uuid`` and ``decimal`` (carrying the same public attributes as the real ones unless a test
changes them), and wraps ``builtins.__import__``. Only calls made inside ``log.recording()`` (or
``log.construct(data)``) are recorded, as a flat list of events:

* ``("import", "quorvel._dynamic")``: an import of that module;
* ``("get", "quorvel._dynamic", "dynamic_types")``: a read of that attribute.

Reads of names that start with an underscore (the interpreter's own bookkeeping) are not
recorded. Everything is undone by ``monkeypatch`` at the end of the test.
"""

import builtins
import contextlib
import decimal
import sys
import types
import uuid

import quorvel._dynamic
import quorvel._flatbuffer
import quorvel._runtime

WATCHED = ("quorvel._dynamic", "quorvel._flatbuffer", "quorvel._runtime", "uuid", "decimal")

_PUBLIC = {
    "quorvel._dynamic": ("encode_dynamic", "dynamic_types"),
    "quorvel._flatbuffer": ("encode", "decode"),
    "quorvel._runtime": ("BufferBoundsError", "InvalidBufferError"),
    "uuid": ("UUID",),
    "decimal": ("Decimal",),
}
_REAL = {
    "quorvel._dynamic": quorvel._dynamic,
    "quorvel._flatbuffer": quorvel._flatbuffer,
    "quorvel._runtime": quorvel._runtime,
    "uuid": uuid,
    "decimal": decimal,
}


class RecordingModule(types.ModuleType):
    """A module whose public attribute reads are appended to a log while it is armed."""

    def __init__(self, name, log):
        super().__init__(name)
        object.__setattr__(self, "_import_log", log)

    def __getattribute__(self, attr):
        if not attr.startswith("_"):
            log = object.__getattribute__(self, "_import_log")
            log._event(("get", object.__getattribute__(self, "__name__"), attr))
        return super().__getattribute__(attr)


class ImportLog:
    def __init__(self, monkeypatch):
        self.events = []
        self._armed = False
        self.modules = {}
        for name in WATCHED:
            fake = RecordingModule(name, self)
            for attr in _PUBLIC[name]:
                setattr(fake, attr, getattr(_REAL[name], attr))
            self.modules[name] = fake
            monkeypatch.setitem(sys.modules, name, fake)
        real_import = builtins.__import__

        def recording_import(name, *args, **kwargs):
            self._event(("import", name))
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", recording_import)

    def _event(self, event):
        if self._armed:
            self.events.append(event)

    def __getitem__(self, name):
        """The stand-in for module ``name``; change its attributes with setattr/delattr."""
        return self.modules[name]

    @contextlib.contextmanager
    def recording(self):
        self.events.clear()
        self._armed = True
        try:
            yield self.events
        finally:
            self._armed = False

    def construct(self, data):
        """Builds a plan from ``data`` while recording; returns the plan."""
        from quorvel._native import NativePlan

        with self.recording():
            return NativePlan(data)
