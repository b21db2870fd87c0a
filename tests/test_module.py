"""The extension module and its classes as Python sees them: module contents, class flags, text
signatures, and how every NativePlan method binds and converts its arguments.

Argument handling runs before a method's body, so a refused argument gives the same error
whatever the body does. An accepted argument is recognised by comparing outcomes: a call with
the value under test must end exactly like the same call on a fresh plan with a plain value
that converts to the same thing (for example ``numpy.bool_(True)`` against ``True``), and
must not end in an argument error.
"""

import gc
import inspect
import operator
import os
import re
import subprocess
import sys
import sysconfig
import weakref

import numpy
import pytest

import quorvel._native as native
from planwriter import obj, plan_bytes, scalar_field
from quorvel._native import NativeBuffer, NativeModelTypes, NativePlan

CLASSES = (NativePlan, NativeBuffer, NativeModelTypes)

METHOD_ORDER = ["bind_types", "model_types", "unpack", "unpack_view", "encode_serde", "decode_serde", "pack"]

SIGNATURES = {
    "bind_types": "($self, types)",
    "model_types": "($self, generated, requested, bindings)",
    "unpack": "($self, root, buffer, *, identifier=None, offset=0, size_prefixed=False, "
              "check_identifier=True, model_types=None, dynamic_overrides=None)",
    "unpack_view": "($self, object, buffer, offset, *, model_types=None, dynamic_overrides=None)",
    "encode_serde": "($self, root, model, is_json, *, fallback_encoder, order=None, "
                    "decimal_format=\"string\", uuid_format=\"canonical\")",
    "decode_serde": "($self, root, buffer, is_json, *, strict=True, fallback_decoders)",
    "pack": "($self, root, model, *, identifier=None, size_prefixed=False, initial_size=0)",
}


PLAN_DATA = plan_bytes([obj("Root", [scalar_field("x", 0, "int32")])])


def make_plan():
    return NativePlan(PLAN_DATA)


@pytest.fixture
def plan():
    return make_plan()


# Calls that bind and convert successfully, one per method, as (args, kwargs). The objects are
# created once, so that outcomes that mention them compare equal.
VALID_CALLS = {
    "bind_types": (({},), {}),
    "model_types": ((object(), object(), object()), {}),
    "unpack": (("Root", b""), {}),
    "unpack_view": (("Root", b"", 0), {}),
    "encode_serde": (("Root", object(), True), {"fallback_encoder": None}),
    "decode_serde": (("Root", b"", False), {"fallback_decoders": {}}),
    "pack": (("Root", object()), {}),
}

# Parameters whose conversion can fail, per method.
CONVERTED = {
    "bind_types": ["types"],
    "model_types": [],
    "unpack": ["root", "identifier", "offset", "size_prefixed", "check_identifier", "model_types"],
    "unpack_view": ["object", "offset", "model_types"],
    "encode_serde": ["root", "is_json", "order", "decimal_format", "uuid_format"],
    "decode_serde": ["root", "is_json", "strict", "fallback_decoders"],
    "pack": ["root", "identifier", "size_prefixed", "initial_size"],
}


def call_error(exc_type, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    return info.value


def notes(exc):
    return list(getattr(exc, "__notes__", []))


def outcome(call):
    """How a call ends: the result's type, or the exception's type, text and notes."""
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - every ending is compared
        return ("raised", type(exc), str(exc), tuple(notes(exc)))
    return ("returned", type(result))


def assert_no_argument_error(name, ending):
    """``ending`` (from ``outcome``) is not a binding error nor a conversion error of ``name``."""
    if ending[0] == "returned":
        return
    _, exc_type, text, exc_notes = ending
    assert not (exc_type is TypeError and text.startswith(f"NativePlan.{name}() ")), ending
    for param in CONVERTED[name]:
        assert f"while processing '{param}'" not in exc_notes, ending


def call_with(plan, name, param, value, index):
    """Calls method ``name`` with its valid arguments, ``param`` replaced by ``value`` (given
    positionally at ``index``, or by keyword when ``index`` is None)."""
    args, kwargs = VALID_CALLS[name]
    args, kwargs = list(args), dict(kwargs)
    if index is None:
        kwargs[param] = value
    else:
        args[index] = value
    return getattr(plan, name)(*args, **kwargs)


def assert_same_as(name, param, index, value, plain):
    """``value`` is accepted for ``param`` and has the effect of ``plain``."""
    expected = outcome(lambda: call_with(make_plan(), name, param, plain, index))
    assert_no_argument_error(name, expected)
    assert outcome(lambda: call_with(make_plan(), name, param, value, index)) == expected


# ---------------------------------------------------------------------------------------------
# Module


def test_module_attributes_are_exactly_the_three_classes():
    public = [name for name in vars(native) if not (name.startswith("__") and name.endswith("__"))]
    assert public == ["NativeBuffer", "NativeModelTypes", "NativePlan"]
    assert native.NativeBuffer is NativeBuffer
    assert native.NativeModelTypes is NativeModelTypes
    assert native.NativePlan is NativePlan


def test_module_name_and_doc():
    assert native.__name__ == "quorvel._native"
    assert native.__doc__ == ""


def test_module_has_no_functions():
    assert not [v for v in vars(native).values() if callable(v) and not isinstance(v, type)]


def test_importing_the_module_imports_none_of_the_package_modules():
    code = (
        "import sys, quorvel._native; "
        "print(sorted(m for m in ('quorvel._runtime', 'quorvel._dynamic', 'quorvel._flatbuffer', "
        "'uuid', 'decimal', 'numpy') if m in sys.modules))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=os.environ.copy(), check=True)
    assert result.stdout.strip() == "[]"


def test_module_declares_it_does_not_need_the_gil():
    # On a free-threaded interpreter, importing a module that needs the lock turns it back on.
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("interpreter is not free-threaded")
    code = "import sys, quorvel._native; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert result.stdout.strip() == "False"


# ---------------------------------------------------------------------------------------------
# Classes


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "quorvel._native"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [NativeBuffer, NativeModelTypes], ids=lambda c: c.__name__)
def test_buffer_and_model_types_cannot_be_instantiated(cls):
    with pytest.raises(TypeError, match=re.escape(f"cannot create 'quorvel._native.{cls.__name__}' instances")):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_have_no_instance_dict_and_no_weak_references(cls):
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in cls.__dict__
    assert "__weakref__" not in cls.__dict__


def test_plan_instances_take_no_attributes_nor_weak_references(plan):
    with pytest.raises(AttributeError):
        plan.extra = 1
    assert not hasattr(plan, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(plan)


def test_plan_instances_are_not_tracked_by_the_garbage_collector(plan):
    assert not gc.is_tracked(plan)


def test_native_model_types_has_no_members():
    assert [n for n in NativeModelTypes.__dict__ if not n.startswith("__")] == []


def test_native_buffer_has_only_the_allocation_size_attribute():
    assert [n for n in NativeBuffer.__dict__ if not n.startswith("__")] == ["_allocation_size"]
    descriptor = NativeBuffer.__dict__["_allocation_size"]
    assert descriptor.__doc__ is None


# ---------------------------------------------------------------------------------------------
# Text signatures and method table


def test_plan_class_text_signature():
    assert NativePlan.__text_signature__ == "(data)"
    assert not NativePlan.__doc__  # the doc holds the signature only
    assert str(inspect.signature(NativePlan)) == "(data)"


def test_methods_are_in_table_order():
    assert [n for n in NativePlan.__dict__ if not n.startswith("__")] == METHOD_ORDER


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_text_signature_and_no_docstring(name, plan):
    method = getattr(NativePlan, name)
    assert method.__text_signature__ == SIGNATURES[name]
    assert method.__doc__ is None
    assert getattr(plan, name).__doc__ is None


def test_signatures_read_as_python_signatures():
    sig = inspect.signature(NativePlan.unpack)
    params = list(sig.parameters.values())
    assert [p.name for p in params] == ["self", "root", "buffer", "identifier", "offset", "size_prefixed",
                                        "check_identifier", "model_types", "dynamic_overrides"]
    assert [p.kind for p in params[1:3]] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params[3:])
    assert [p.default for p in params[3:]] == [None, 0, False, True, None, None]
    sig = inspect.signature(NativePlan.encode_serde)
    assert sig.parameters["fallback_encoder"].default is inspect.Parameter.empty
    assert sig.parameters["decimal_format"].default == "string"
    assert sig.parameters["uuid_format"].default == "canonical"


# ---------------------------------------------------------------------------------------------
# Construction arguments


def test_plan_data_may_be_given_by_keyword():
    assert repr(NativePlan(data=plan_bytes([]))) == "NativePlan(objects=0)"


def test_plan_data_may_be_a_bytes_subclass():
    class Payload(bytes):
        pass

    assert repr(NativePlan(Payload(plan_bytes([obj("A")])))) == "NativePlan(objects=1)"


@pytest.mark.parametrize("data, type_name", [
    (bytearray(b"\x92\x02\x90"), "bytearray"),
    (memoryview(b"\x92\x02\x90"), "memoryview"),
    ("\x92\x02\x90", "str"),
    (123, "int"),
    ([2, []], "list"),
])
def test_plan_data_must_be_bytes(data, type_name):
    exc = call_error(TypeError, lambda: NativePlan(data))
    assert str(exc) == f"'{type_name}' object is not an instance of 'bytes'"
    assert notes(exc) == ["while processing 'data'"]


def test_plan_data_none():
    exc = call_error(TypeError, lambda: NativePlan(None))
    assert str(exc) == "'None' is not an instance of 'bytes'"
    assert notes(exc) == ["while processing 'data'"]


def test_plan_argument_count():
    exc = call_error(TypeError, lambda: NativePlan())
    assert str(exc) == "NativePlan.__new__() missing 1 required positional argument: 'data'"
    assert notes(exc) == []
    exc = call_error(TypeError, lambda: NativePlan(b"", b""))
    assert str(exc) == "NativePlan.__new__() takes 1 positional arguments but 2 were given"
    exc = call_error(TypeError, lambda: NativePlan(b"", data=b""))
    assert str(exc) == "NativePlan.__new__() got multiple values for argument 'data'"
    exc = call_error(TypeError, lambda: NativePlan(plan_bytes([]), strict=True))
    assert str(exc) == "NativePlan.__new__() got an unexpected keyword argument 'strict'"


def test_plan_errors_from_the_document_have_no_note():
    exc = call_error(ValueError, lambda: NativePlan(b""))
    assert notes(exc) == []


# ---------------------------------------------------------------------------------------------
# Binding: counts, keywords, missing arguments


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_valid_calls_get_past_argument_handling(name):
    args, kwargs = VALID_CALLS[name]
    assert_no_argument_error(name, outcome(lambda: getattr(make_plan(), name)(*args, **kwargs)))


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_positional_parameters_may_be_given_by_keyword(name):
    args, kwargs = VALID_CALLS[name]
    params = list(inspect.signature(getattr(NativePlan, name)).parameters)[1:]
    by_name = dict(zip(params, args))
    expected = outcome(lambda: getattr(make_plan(), name)(*args, **kwargs))
    assert outcome(lambda: getattr(make_plan(), name)(**by_name, **kwargs)) == expected
    rest = dict(list(by_name.items())[1:])
    assert outcome(lambda: getattr(make_plan(), name)(args[0], **rest, **kwargs)) == expected
    reordered = dict(reversed(list({**by_name, **kwargs}.items())))
    assert outcome(lambda: getattr(make_plan(), name)(**reordered)) == expected


@pytest.mark.parametrize("name, defaults", [
    ("unpack", {"identifier": None, "offset": 0, "size_prefixed": False, "check_identifier": True,
                "model_types": None, "dynamic_overrides": None}),
    ("unpack_view", {"model_types": None, "dynamic_overrides": None}),
    ("encode_serde", {"order": None, "decimal_format": "string", "uuid_format": "canonical"}),
    ("decode_serde", {"strict": True}),
    ("pack", {"identifier": None, "size_prefixed": False, "initial_size": 0}),
])
def test_keyword_defaults_are_those_of_the_signature(name, defaults):
    args, kwargs = VALID_CALLS[name]
    expected = outcome(lambda: getattr(make_plan(), name)(*args, **kwargs))
    assert_no_argument_error(name, expected)
    for param, value in defaults.items():
        assert outcome(lambda: getattr(make_plan(), name)(*args, **kwargs, **{param: value})) == expected, param
    assert outcome(lambda: getattr(make_plan(), name)(*args, **kwargs, **defaults)) == expected


@pytest.mark.parametrize("name, count", [
    ("bind_types", 1), ("model_types", 3), ("unpack", 2), ("unpack_view", 3),
    ("encode_serde", 3), ("decode_serde", 3), ("pack", 2),
])
def test_too_many_positional_arguments(plan, name, count):
    args, kwargs = VALID_CALLS[name]
    exc = call_error(TypeError, lambda: getattr(plan, name)(*args, None, **kwargs))
    assert str(exc) == f"NativePlan.{name}() takes {count} positional arguments but {count + 1} were given"
    assert notes(exc) == []
    exc = call_error(TypeError, lambda: getattr(plan, name)(*args, None, None, **kwargs))
    assert str(exc) == f"NativePlan.{name}() takes {count} positional arguments but {count + 2} were given"


def test_unpack_takes_offset_only_by_keyword_while_unpack_view_takes_it_positionally(plan):
    exc = call_error(TypeError, lambda: plan.unpack("Root", b"", 0))
    assert str(exc) == "NativePlan.unpack() takes 2 positional arguments but 3 were given"
    assert_no_argument_error("unpack", outcome(lambda: make_plan().unpack("Root", b"", offset=0)))
    assert_no_argument_error("unpack_view", outcome(lambda: make_plan().unpack_view("Root", b"", 0)))


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_unexpected_keyword(plan, name):
    args, kwargs = VALID_CALLS[name]
    exc = call_error(TypeError, lambda: getattr(plan, name)(*args, **kwargs, colour="red"))
    assert str(exc) == f"NativePlan.{name}() got an unexpected keyword argument 'colour'"
    assert notes(exc) == []


def test_keywords_of_other_methods_are_unexpected(plan):
    exc = call_error(TypeError, lambda: plan.pack("Root", None, offset=0))
    assert str(exc) == "NativePlan.pack() got an unexpected keyword argument 'offset'"
    exc = call_error(TypeError, lambda: plan.unpack_view("Root", b"", 0, identifier=None))
    assert str(exc) == "NativePlan.unpack_view() got an unexpected keyword argument 'identifier'"
    exc = call_error(TypeError, lambda: plan.bind_types({}, self=None))
    assert str(exc) == "NativePlan.bind_types() got an unexpected keyword argument 'self'"


@pytest.mark.parametrize("name, param", [
    ("bind_types", "types"), ("model_types", "generated"), ("model_types", "bindings"),
    ("unpack", "root"), ("unpack", "buffer"), ("unpack_view", "offset"),
    ("encode_serde", "is_json"), ("decode_serde", "buffer"), ("pack", "model"),
])
def test_multiple_values_for_an_argument(plan, name, param):
    args, kwargs = VALID_CALLS[name]
    exc = call_error(TypeError, lambda: getattr(plan, name)(*args, **kwargs, **{param: args[0]}))
    assert str(exc) == f"NativePlan.{name}() got multiple values for argument '{param}'"
    assert notes(exc) == []


@pytest.mark.parametrize("call, message", [
    (lambda p: p.bind_types(), "NativePlan.bind_types() missing 1 required positional argument: 'types'"),
    (lambda p: p.pack(), "NativePlan.pack() missing 2 required positional arguments: 'root' and 'model'"),
    (lambda p: p.pack("Root"), "NativePlan.pack() missing 1 required positional argument: 'model'"),
    (lambda p: p.model_types(),
     "NativePlan.model_types() missing 3 required positional arguments: 'generated', 'requested', and 'bindings'"),
    (lambda p: p.model_types(requested=1),
     "NativePlan.model_types() missing 2 required positional arguments: 'generated' and 'bindings'"),
    (lambda p: p.unpack_view(buffer=b""),
     "NativePlan.unpack_view() missing 2 required positional arguments: 'object' and 'offset'"),
    (lambda p: p.unpack(identifier=None),
     "NativePlan.unpack() missing 2 required positional arguments: 'root' and 'buffer'"),
    (lambda p: p.encode_serde("Root", None, fallback_encoder=None),
     "NativePlan.encode_serde() missing 1 required positional argument: 'is_json'"),
    (lambda p: p.encode_serde("Root", None, True),
     "NativePlan.encode_serde() missing 1 required keyword argument: 'fallback_encoder'"),
    (lambda p: p.encode_serde("Root", None, True, order=None, decimal_format="string"),
     "NativePlan.encode_serde() missing 1 required keyword argument: 'fallback_encoder'"),
    (lambda p: p.decode_serde("Root", b"", True),
     "NativePlan.decode_serde() missing 1 required keyword argument: 'fallback_decoders'"),
    (lambda p: p.decode_serde("Root", b"", True, strict=False),
     "NativePlan.decode_serde() missing 1 required keyword argument: 'fallback_decoders'"),
])
def test_missing_arguments(plan, call, message):
    exc = call_error(TypeError, lambda: call(plan))
    assert str(exc) == message
    assert notes(exc) == []


def test_missing_positional_arguments_are_reported_before_missing_keywords(plan):
    exc = call_error(TypeError, lambda: plan.decode_serde("Root"))
    assert str(exc) == "NativePlan.decode_serde() missing 2 required positional arguments: 'buffer' and 'is_json'"


def test_binding_errors_come_before_any_conversion(plan):
    # root is of the wrong type, but the missing model is reported first
    exc = call_error(TypeError, lambda: plan.pack(1))
    assert str(exc) == "NativePlan.pack() missing 1 required positional argument: 'model'"
    exc = call_error(TypeError, lambda: plan.encode_serde(1, None, 1))
    assert str(exc) == "NativePlan.encode_serde() missing 1 required keyword argument: 'fallback_encoder'"
    exc = call_error(TypeError, lambda: plan.unpack(None, b"", colour=1))
    assert str(exc) == "NativePlan.unpack() got an unexpected keyword argument 'colour'"


@pytest.mark.parametrize("name, kwargs", [
    ("unpack", dict(identifier="ABCD", offset=4, size_prefixed=True, check_identifier=False,
                    model_types=None, dynamic_overrides=object())),
    ("unpack_view", dict(model_types=None, dynamic_overrides={})),
    ("encode_serde", dict(fallback_encoder=print, order="sorted", decimal_format="number", uuid_format="hex")),
    ("decode_serde", dict(strict=False, fallback_decoders={"x": int})),
    ("pack", dict(identifier="ABCD", size_prefixed=True, initial_size=1024)),
])
def test_every_keyword_may_be_given(name, kwargs):
    args, _ = VALID_CALLS[name]
    assert_no_argument_error(name, outcome(lambda: getattr(make_plan(), name)(*args, **kwargs)))


# ---------------------------------------------------------------------------------------------
# Conversions: text


TEXT_PARAMS = [
    ("unpack", "root", 0), ("unpack_view", "object", 0), ("encode_serde", "root", 0),
    ("decode_serde", "root", 0), ("pack", "root", 0),
    ("encode_serde", "decimal_format", None), ("encode_serde", "uuid_format", None),
]


def call_with(plan, name, param, value, index):
    """Calls method ``name`` with its valid arguments, ``param`` replaced by ``value``."""
    args, kwargs = VALID_CALLS[name]
    args, kwargs = list(args), dict(kwargs)
    if index is None:
        kwargs[param] = value
    else:
        args[index] = value
    return getattr(plan, name)(*args, **kwargs)


@pytest.mark.parametrize("name, param, index", TEXT_PARAMS)
@pytest.mark.parametrize("value, shown", [
    (1, "'int' object"), (b"Root", "'bytes' object"), (1.5, "'float' object"),
    (["Root"], "'list' object"), (None, "'None'"),
])
def test_text_parameters_refuse_other_types_and_none(plan, name, param, index, value, shown):
    exc = call_error(TypeError, lambda: call_with(plan, name, param, value, index))
    assert str(exc) == f"{shown} is not an instance of 'str'"
    assert notes(exc) == [f"while processing '{param}'"]


@pytest.mark.parametrize("name, param, index", TEXT_PARAMS)
def test_text_parameters_take_str_and_subclasses(name, param, index):
    class Text(str):
        pass

    assert_same_as(name, param, index, Text("Root"), "Root")
    assert_same_as(name, param, index, Text("é\U0001f600"), "é\U0001f600")
    assert_no_argument_error(name, outcome(lambda: call_with(make_plan(), name, param, "", index)))


@pytest.mark.parametrize("name, param, index", TEXT_PARAMS + [("pack", "identifier", None),
                                                              ("unpack", "identifier", None),
                                                              ("encode_serde", "order", None)])
def test_text_with_a_lone_surrogate_has_no_utf8_form(plan, name, param, index):
    exc = call_error(UnicodeEncodeError, lambda: call_with(plan, name, param, "ab\ud800", index))
    assert notes(exc) == [f"while processing '{param}'"]
    assert exc.object == "ab\ud800"
    assert (exc.start, exc.end) == (2, 3)


@pytest.mark.parametrize("name, param", [("unpack", "identifier"), ("pack", "identifier"), ("encode_serde", "order")])
def test_optional_text_parameters_take_none_or_str(plan, name, param):
    for value in (None, "ABCD", ""):
        assert_no_argument_error(name, outcome(lambda: call_with(make_plan(), name, param, value, None)))
    exc = call_error(TypeError, lambda: call_with(plan, name, param, 4, None))
    assert str(exc) == "'int' object is not an instance of 'str'"
    assert notes(exc) == [f"while processing '{param}'"]


# ---------------------------------------------------------------------------------------------
# Conversions: integers


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntLike:
    """Has __int__ but not __index__: not an integer for the index protocol."""

    def __int__(self):
        return 3


INT_PARAMS = [("unpack", "offset", None), ("unpack_view", "offset", 2), ("pack", "initial_size", None)]


@pytest.mark.parametrize("name, param, index", INT_PARAMS)
@pytest.mark.parametrize("value", [0, 1, -1, 2**63 - 1, -2**63, True, False, Indexable(7), Indexable(-2**63),
                                   numpy.int64(5), numpy.uint8(3)])
def test_integer_parameters_take_anything_with_an_index(name, param, index, value):
    assert_same_as(name, param, index, value, int(operator.index(value)))


@pytest.mark.parametrize("name, param, index", INT_PARAMS)
@pytest.mark.parametrize("value", [2**63, -2**63 - 1, 2**100, Indexable(2**64)])
def test_integer_parameters_out_of_range_overflow(plan, name, param, index, value):
    exc = call_error(OverflowError, lambda: call_with(plan, name, param, value, index))
    assert notes(exc) == [f"while processing '{param}'"]


@pytest.mark.parametrize("name, param, index", INT_PARAMS)
@pytest.mark.parametrize("value", [None, 1.0, "1", IntLike(), numpy.float64(1.0), numpy.bool_(True)])
def test_integer_parameters_refuse_other_objects(plan, name, param, index, value):
    with pytest.raises(TypeError) as expected:
        operator.index(value)
    exc = call_error(TypeError, lambda: call_with(plan, name, param, value, index))
    assert str(exc) == str(expected.value)
    assert notes(exc) == [f"while processing '{param}'"]


def test_index_errors_pass_through_with_the_note(plan):
    class Broken:
        def __index__(self):
            raise LookupError("no index today")

    exc = call_error(LookupError, lambda: plan.pack("Root", None, initial_size=Broken()))
    assert str(exc) == "no index today"
    assert notes(exc) == ["while processing 'initial_size'"]


# ---------------------------------------------------------------------------------------------
# Conversions: booleans


BOOL_PARAMS = [
    ("unpack", "size_prefixed", None), ("unpack", "check_identifier", None),
    ("encode_serde", "is_json", 2), ("decode_serde", "is_json", 2), ("decode_serde", "strict", None),
    ("pack", "size_prefixed", None),
]


class FakeNumpyBool:
    """Looks like NumPy's boolean scalar type by module and name."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class FakeNumpyBoolWithoutTruth:
    pass


FakeNumpyBoolWithoutTruth.__module__ = "numpy"
FakeNumpyBoolWithoutTruth.__name__ = FakeNumpyBoolWithoutTruth.__qualname__ = "bool"


class RaisingNumpyBool:
    def __bool__(self):
        raise ArithmeticError("undecided")


RaisingNumpyBool.__module__ = "numpy"
RaisingNumpyBool.__name__ = RaisingNumpyBool.__qualname__ = "bool_"


class NotQuiteNumpyBool(FakeNumpyBool):
    pass


NotQuiteNumpyBool.__module__ = "numpy.random"
NotQuiteNumpyBool.__name__ = NotQuiteNumpyBool.__qualname__ = "bool_"


class BoolLike:
    """Has a truth value but is not a boolean."""

    def __bool__(self):
        return True


@pytest.mark.parametrize("name, param, index", BOOL_PARAMS)
@pytest.mark.parametrize("value", [True, False, numpy.bool_(True), numpy.bool_(False), FakeNumpyBool(True)])
def test_boolean_parameters_take_booleans_and_numpy_booleans(name, param, index, value):
    assert_same_as(name, param, index, value, bool(value))


@pytest.mark.parametrize("name, param, index", BOOL_PARAMS)
def test_numpy_false_behaves_as_false(name, param, index):
    assert_same_as(name, param, index, numpy.bool_(False), False)
    assert_same_as(name, param, index, FakeNumpyBool(False), False)


@pytest.mark.parametrize("name, param, index", BOOL_PARAMS)
@pytest.mark.parametrize("value, type_name", [
    (1, "int"), (0, "int"), (numpy.int8(1), "int8"), (1.0, "float"), ("true", "str"),
    (BoolLike(), "BoolLike"), (numpy.array([True]), "ndarray"), (NotQuiteNumpyBool(True), "bool_"),
    (numpy.True_.item().__class__, "type"),
])
def test_boolean_parameters_refuse_other_types(plan, name, param, index, value, type_name):
    exc = call_error(TypeError, lambda: call_with(plan, name, param, value, index))
    assert str(exc) == f"'{type_name}' object is not an instance of 'bool'"
    assert notes(exc) == [f"while processing '{param}'"]


@pytest.mark.parametrize("name, param, index", BOOL_PARAMS)
def test_boolean_parameters_refuse_none(plan, name, param, index):
    exc = call_error(TypeError, lambda: call_with(plan, name, param, None, index))
    assert str(exc) == "'None' is not an instance of 'bool'"
    assert notes(exc) == [f"while processing '{param}'"]


def test_numpy_boolean_type_without_a_truth_conversion(plan):
    exc = call_error(TypeError, lambda: plan.pack("Root", None, size_prefixed=FakeNumpyBoolWithoutTruth()))
    assert re.fullmatch(r"object of type '.*bool.*' does not define a '__bool__' conversion", str(exc))
    assert notes(exc) == ["while processing 'size_prefixed'"]


def test_numpy_boolean_whose_truth_conversion_fails(plan):
    exc = call_error(ArithmeticError, lambda: plan.decode_serde("Root", b"", RaisingNumpyBool(), fallback_decoders={}))
    assert str(exc) == "undecided"
    assert notes(exc) == ["while processing 'is_json'"]


# ---------------------------------------------------------------------------------------------
# Conversions: dicts, model types, untyped parameters


@pytest.mark.parametrize("name, param, index", [("bind_types", "types", 0), ("decode_serde", "fallback_decoders", None)])
def test_dict_parameters(plan, name, param, index):
    class Mapping(dict):
        pass

    assert_same_as(name, param, index, Mapping(), {})
    for value, shown in [([], "'list' object"), (None, "'None'"), ((), "'tuple' object"),
                         (type({}.items()), "'type' object")]:
        exc = call_error(TypeError, lambda: call_with(plan, name, param, value, index))
        assert str(exc) == f"{shown} is not an instance of 'dict'"
        assert notes(exc) == [f"while processing '{param}'"]


def test_types_view_of_a_dict_is_not_a_dict(plan):
    exc = call_error(TypeError, lambda: plan.bind_types({}.keys()))
    assert str(exc) == "'dict_keys' object is not an instance of 'dict'"


@pytest.mark.parametrize("name, index", [("unpack", None), ("unpack_view", None)])
def test_model_types_parameter(plan, name, index):
    assert_no_argument_error(name, outcome(lambda: call_with(make_plan(), name, "model_types", None, index)))
    for value, shown in [(object(), "'object' object"), ({}, "'dict' object"), (plan, "'NativePlan' object")]:
        exc = call_error(TypeError, lambda: call_with(plan, name, "model_types", value, index))
        assert str(exc) == f"{shown} is not an instance of 'NativeModelTypes'"
        assert notes(exc) == ["while processing 'model_types'"]


@pytest.mark.parametrize("name, index", [("unpack", None), ("unpack_view", None)])
def test_dynamic_overrides_none_means_absent(name, index):
    args, kwargs = VALID_CALLS[name]
    expected = outcome(lambda: getattr(make_plan(), name)(*args, **kwargs))
    assert outcome(lambda: call_with(make_plan(), name, "dynamic_overrides", None, index)) == expected


# ---------------------------------------------------------------------------------------------
# Conversion order


def test_conversions_run_in_parameter_order(plan):
    exc = call_error(TypeError, lambda: plan.pack(1, None, identifier=2, size_prefixed=3, initial_size=None))
    assert notes(exc) == ["while processing 'root'"]
    exc = call_error(TypeError, lambda: plan.pack("Root", None, initial_size=None, size_prefixed=3, identifier=2))
    assert notes(exc) == ["while processing 'identifier'"]
    exc = call_error(TypeError, lambda: plan.pack("Root", None, initial_size=None, size_prefixed=3))
    assert notes(exc) == ["while processing 'size_prefixed'"]
    exc = call_error(TypeError, lambda: plan.unpack("Root", None, model_types=1, check_identifier=1, offset=None))
    assert notes(exc) == ["while processing 'offset'"]
    exc = call_error(TypeError, lambda: plan.unpack("Root", None, model_types=1, check_identifier=1))
    assert notes(exc) == ["while processing 'check_identifier'"]
    exc = call_error(TypeError, lambda: plan.encode_serde("Root", None, 1, fallback_encoder=None,
                                                          uuid_format=None, decimal_format=None))
    assert notes(exc) == ["while processing 'is_json'"]
    exc = call_error(TypeError, lambda: plan.encode_serde("Root", None, True, fallback_encoder=None,
                                                          uuid_format=None, decimal_format=None))
    assert notes(exc) == ["while processing 'decimal_format'"]
    exc = call_error(TypeError, lambda: plan.decode_serde("Root", b"", True, fallback_decoders=None, strict=None))
    assert notes(exc) == ["while processing 'strict'"]
    exc = call_error(TypeError, lambda: plan.unpack_view(None, b"", None, model_types=1))
    assert notes(exc) == ["while processing 'object'"]
    exc = call_error(TypeError, lambda: plan.unpack_view("Root", b"", None, model_types=1))
    assert notes(exc) == ["while processing 'offset'"]


def test_keyword_order_in_the_call_does_not_matter():
    first = outcome(lambda: make_plan().unpack(buffer=b"", root="Root", dynamic_overrides=None, offset=3))
    second = outcome(lambda: make_plan().unpack("Root", offset=3, dynamic_overrides=None, buffer=b""))
    assert first == second
    assert_no_argument_error("unpack", first)


def test_errors_of_one_call_do_not_leak_into_the_next(plan):
    call_error(TypeError, lambda: plan.pack(1, None))
    exc = call_error(TypeError, lambda: plan.pack("Root", None, initial_size="x"))
    assert notes(exc) == ["while processing 'initial_size'"]
