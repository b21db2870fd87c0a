"""quorvel: model graphs to and from FlatBuffers, JSON and MessagePack.

This distribution carries the native core, ``quorvel._native``. The modules ``_runtime``,
``_dynamic`` and ``_flatbuffer`` next to it are small stand-ins for the package's Python side,
which the native core imports by name; they provide just what the core calls.
"""
