"""encode_serde entry: arguments, checks in their order, options and error wrapping."""

import pytest

from encoding import bound, f, one_field
from planwriter import field, obj, scalar_field
from quorvel._native import NativePlan
from planwriter import plan_bytes


@pytest.fixture(scope="module")
def setup():
    plan, c = bound(obj("M", [scalar_field("v", 0, "int32"), f("uuid", name="u", slot=1)]),
                    obj("Other", [scalar_field("v", 0, "int32")]))
    return plan, c["M"], c["Other"]


@pytest.mark.parametrize("args, kwargs, error, text", [
    (("M", None, True), {}, TypeError, "NativePlan.encode_serde() missing 1 required keyword argument: 'fallback_encoder'"),
    ((1, None, True), {"fallback_encoder": None}, TypeError, "'int' object is not an instance of 'str'"),
    (("M", None, 1), {"fallback_encoder": None}, TypeError, "'int' object is not an instance of 'bool'"),
    (("M", None, True), {"fallback_encoder": None, "order": 1}, TypeError, "'int' object is not an instance of 'str'"),
    (("M", None, True), {"fallback_encoder": None, "decimal_format": None}, TypeError, "'None' is not an instance of 'str'"),
    (("M", None, True), {"fallback_encoder": None, "uuid_format": None}, TypeError, "'None' is not an instance of 'str'"),
    (("Nope", None, True), {"fallback_encoder": None, "uuid_format": "bad"}, ValueError, 'unknown native table "Nope"'),
    (("M", 3, True), {"fallback_encoder": None, "uuid_format": "bad"}, TypeError,
     "int does not have exactly one generated FlatBuffer model base"),
])
def test_argument_and_check_order(setup, args, kwargs, error, text):
    plan = setup[0]
    with pytest.raises(error) as caught:
        plan.encode_serde(*args, **kwargs)
    assert str(caught.value) == text


def test_model_must_match_root(setup):
    plan, m, other = setup

    class Sub(m):
        pass

    assert plan.encode_serde("M", Sub(v=1, u=None), True, fallback_encoder=None) == b'{"v":1,"u":null}'
    with pytest.raises(TypeError, match="^serde model does not match the requested generated root$"):
        plan.encode_serde("M", other(v=1), True, fallback_encoder=None, uuid_format="bad")


@pytest.mark.parametrize("is_json, uuid_format, ok", [
    (True, "bytes", False), (False, "bytes", True), (True, "hex", True), (True, "HEX", False), (False, "", False),
])
def test_uuid_format_checked_before_writing(setup, is_json, uuid_format, ok):
    plan, m, _ = setup
    call = lambda: plan.encode_serde("M", m(v=1, u=None), is_json, fallback_encoder=None, uuid_format=uuid_format)
    if ok:
        call()
    else:
        with pytest.raises(ValueError, match="^unsupported UUID format$"):
            call()


def test_unbound_and_fallback_graphs():
    plan = NativePlan(plan_bytes([obj("M", [scalar_field("v", 0, "int32")])]))
    with pytest.raises(RuntimeError, match="^native model types are not bound$"):
        plan.encode_serde("M", object(), True, fallback_encoder=None)
    # one dynamic field anywhere refuses the whole graph, whatever the object holds
    plan, c = bound(obj("M", [scalar_field("v", 0, "int32")]), obj("D", [field("d", 0, kind="dynamic")]))
    with pytest.raises(NotImplementedError, match="^generated model graph requires the quorvel fallback$"):
        plan.encode_serde("M", c["M"](v=1), False, fallback_encoder=None)


def test_python_exceptions_wrapped_on_json_only():
    plan, cls = one_field(f("fallback"))
    model = cls(v=1)

    for error in (ValueError("no good"), RecursionError("no good")):
        def raising(value):
            raise error

        name = type(error).__name__
        with pytest.raises(TypeError, match=f"^cannot encode JSON: {name}: no good$") as caught:
            plan.encode_serde("M", model, True, fallback_encoder=raising)
        assert caught.value.__cause__ is error
        with pytest.raises(type(error), match="^no good$"):
            plan.encode_serde("M", model, False, fallback_encoder=raising)

    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError

    def raising_unprintable(value):
        raise Unprintable

    with pytest.raises(TypeError, match=r"^cannot encode JSON: .*Unprintable: <exception str\(\) failed>$"):
        plan.encode_serde("M", model, True, fallback_encoder=raising_unprintable)

    def interrupting(value):
        raise KeyboardInterrupt

    for is_json in (True, False):
        with pytest.raises(KeyboardInterrupt):
            plan.encode_serde("M", model, is_json, fallback_encoder=interrupting)


def test_attribute_errors_and_result_type(setup):
    plan, m, _ = setup

    class Broken(m):
        def __getattribute__(self, name):
            if name == "u":
                raise AttributeError("'Broken' object has no attribute 'u'")
            return super().__getattribute__(name)

    model = Broken(v=1, u=None)
    with pytest.raises(TypeError, match="^cannot encode JSON: AttributeError: .*'u'"):
        plan.encode_serde("M", model, True, fallback_encoder=None)
    with pytest.raises(AttributeError):
        plan.encode_serde("M", model, False, fallback_encoder=None)
    out = plan.encode_serde("M", m(v=2, u=None), False, fallback_encoder=None)
    assert type(out) is bytes and out == b"\x82\xa1v\x02\xa1u\xc0"
