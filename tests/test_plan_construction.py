"""Building a NativePlan from a decoded document: the version check, target and union-arm
resolution, the key-field rules, the package modules imported for the plan's field kinds, and
the repr.

Import behaviour is observed through ``importlog.ImportLog``, which puts recording stand-ins for
the package modules (and ``uuid``/``decimal``) in ``sys.modules`` and logs imports and attribute
reads made while a plan is built.
"""

import builtins
import re
import sys

import pytest

from importlog import ImportLog
from planwriter import (
    FIELD_KINDS,
    SCALAR_KINDS,
    arm,
    field,
    obj,
    pack,
    plan_bytes,
    scalar_field,
    string_field,
    struct_obj,
)
from quorvel._native import NativePlan


@pytest.fixture
def imports(monkeypatch):
    return ImportLog(monkeypatch)


def value_error(data):
    with pytest.raises(ValueError) as info:
        NativePlan(data)
    assert type(info.value) is ValueError
    return str(info.value)


def plan_with_kinds(*kinds):
    """One table with one field of each given kind."""
    return plan_bytes([obj("T", [field(f"f{i}", i, kind=k) for i, k in enumerate(kinds)])])


# ---------------------------------------------------------------------------------------------
# Version


@pytest.mark.parametrize("version", [0, 1, 3, 255])
def test_only_version_2_is_accepted(version):
    assert value_error(plan_bytes([], version=version)) == f"unsupported native plan version {version}"


def test_version_2_is_accepted_in_both_forms():
    assert repr(NativePlan(plan_bytes([], form="map"))) == "NativePlan(objects=0)"
    assert repr(NativePlan(plan_bytes([], form="array"))) == "NativePlan(objects=0)"


def test_version_is_checked_before_anything_is_resolved():
    objects = [obj("T", [field("t", 0, kind="table", target="Missing")])]
    assert value_error(plan_bytes(objects, version=1)) == "unsupported native plan version 1"


def test_document_errors_carry_the_prefix_and_version_errors_do_not():
    assert value_error(b"") == "invalid native plan: IO error while reading marker: failed to fill whole buffer"
    assert value_error(plan_bytes([], version=3)) == "unsupported native plan version 3"


# ---------------------------------------------------------------------------------------------
# Target resolution


def test_field_target_naming_no_object_is_refused():
    objects = [obj("T", [field("child", 0, kind="table", target="Child")])]
    assert value_error(plan_bytes(objects)) == 'native field target "Child" does not exist'


@pytest.mark.parametrize("name, shown", [
    ('Say "hi"', '"Say \\"hi\\""'),
    ("back\\slash", '"back\\\\slash"'),
    ("two\nlines", '"two\\nlines"'),
    ('all "three"\\\n', '"all \\"three\\"\\\\\\n"'),
    ("", '""'),
    ("Ünïcödé", '"Ünïcödé"'),
])
def test_target_names_are_quoted_with_escapes(name, shown):
    objects = [obj("T", [field("child", 0, kind="table", target=name)])]
    assert value_error(plan_bytes(objects)) == f"native field target {shown} does not exist"
    objects = [obj("T", [field("u", 1, kind="union", type_slot=0, arms=[arm(1, name)])])]
    assert value_error(plan_bytes(objects)) == f"native union target {shown} does not exist"


def test_targets_resolve_to_objects_anywhere_in_the_document():
    objects = [
        obj("Parent", [field("child", 0, kind="table", target="Child"),
                       field("self", 1, kind="table", target="Parent")]),
        obj("Child", [field("up", 0, kind="table", target="Parent")]),
    ]
    assert repr(NativePlan(plan_bytes(objects))) == "NativePlan(objects=2)"


def test_target_match_is_exact():
    objects = [obj("Child"), obj("T", [field("c", 0, kind="table", target="child")])]
    assert value_error(plan_bytes(objects)) == 'native field target "child" does not exist'


@pytest.mark.parametrize("kind", FIELD_KINDS)
def test_target_is_resolved_whatever_the_field_kind(kind):
    objects = [obj("T", [field("f", 0, kind=kind, scalar="int32", target="Nowhere")])]
    assert value_error(plan_bytes(objects)) == 'native field target "Nowhere" does not exist'
    objects.append(obj("Nowhere"))
    NativePlan(plan_bytes(objects))


@pytest.mark.parametrize("kind", ["union", "union_vector", "scalar", "table"])
def test_arm_targets_are_resolved_whatever_the_field_kind(kind):
    objects = [obj("A"), obj("T", [field("u", 1, kind=kind, type_slot=0, arms=[arm(1, "A"), arm(2, "B")])])]
    assert value_error(plan_bytes(objects)) == 'native union target "B" does not exist'
    objects.append(obj("B"))
    NativePlan(plan_bytes(objects))


def test_field_target_is_checked_before_that_fields_arms():
    objects = [obj("T", [field("u", 1, kind="union", target="NoTarget", arms=[arm(1, "NoArm")])])]
    assert value_error(plan_bytes(objects)) == 'native field target "NoTarget" does not exist'


def test_arms_are_checked_in_order():
    objects = [obj("T", [field("u", 1, kind="union", arms=[arm(1, "T"), arm(2, "First"), arm(3, "Second")])])]
    assert value_error(plan_bytes(objects)) == 'native union target "First" does not exist'


def test_fields_are_resolved_in_order():
    objects = [obj("T", [
        field("a", 0, kind="union", arms=[arm(1, "ArmOfA")]),
        field("b", 1, kind="table", target="TargetOfB"),
    ])]
    assert value_error(plan_bytes(objects)) == 'native union target "ArmOfA" does not exist'


def test_objects_are_checked_in_document_order():
    bad_target = obj("A", [field("t", 0, kind="table", target="Missing")])
    two_keys = obj("B", [string_field("k1", 0, key=True), string_field("k2", 1, key=True)])
    assert value_error(plan_bytes([bad_target, two_keys])) == 'native field target "Missing" does not exist'
    assert value_error(plan_bytes([two_keys, bad_target])) == 'native table "B" has multiple key fields'


def test_targets_of_all_fields_are_checked_before_the_key_rules():
    objects = [obj("T", [
        string_field("k1", 0, key=True),
        string_field("k2", 1, key=True),
        field("t", 2, kind="table", target="Missing"),
    ])]
    assert value_error(plan_bytes(objects)) == 'native field target "Missing" does not exist'


def test_duplicate_object_names_are_accepted_and_both_kept():
    objects = [obj("Same", [scalar_field("a")]), obj("Same", [string_field("b")]),
               obj("User", [field("s", 0, kind="table", target="Same")])]
    assert repr(NativePlan(plan_bytes(objects))) == "NativePlan(objects=3)"


def test_duplicate_object_names_are_each_checked():
    # Both objects stay in the plan, so the rules run on each of them.
    objects = [obj("Same", [string_field("k", 0, key=True)]),
               obj("Same", [string_field("k1", 0, key=True), string_field("k2", 1, key=True)])]
    assert value_error(plan_bytes(objects)) == 'native table "Same" has multiple key fields'


# ---------------------------------------------------------------------------------------------
# Key fields


@pytest.mark.parametrize("scalar", SCALAR_KINDS)
def test_a_key_field_may_be_any_scalar(scalar):
    NativePlan(plan_bytes([obj("T", [scalar_field("a", 0), scalar_field("k", 1, scalar, key=True)])]))


def test_a_key_field_may_be_a_string():
    NativePlan(plan_bytes([obj("T", [string_field("k", 0, key=True), scalar_field("v", 1)])]))


@pytest.mark.parametrize("kind", [k for k in FIELD_KINDS if k not in ("scalar", "string")])
def test_a_key_field_of_another_kind_is_refused(kind):
    objects = [obj("Keyed", [field("k", 0, kind=kind, key=True)])]
    assert value_error(plan_bytes(objects)) == 'native key field on "Keyed" must be a table scalar or string'


@pytest.mark.parametrize("kind", ["scalar", "string"])
def test_a_struct_may_not_have_a_key_field(kind):
    objects = [struct_obj("S", [field("k", 0, kind=kind, scalar="int32", key=True)], byte_size=4)]
    assert value_error(plan_bytes(objects)) == 'native key field on "S" must be a table scalar or string'


def test_multiple_key_fields_are_refused():
    objects = [obj("T", [scalar_field("a", 0, key=True), scalar_field("b", 1), scalar_field("c", 2, key=True)])]
    assert value_error(plan_bytes(objects)) == 'native table "T" has multiple key fields'


def test_multiple_key_fields_are_reported_before_the_kind_of_the_first():
    objects = [obj("T", [field("v", 0, kind="vector_table", key=True), string_field("s", 1, key=True)])]
    assert value_error(plan_bytes(objects)) == 'native table "T" has multiple key fields'


def test_multiple_key_fields_on_a_struct_report_the_multiple_keys():
    objects = [struct_obj("S", [scalar_field("a", 0, key=True), scalar_field("b", 1, key=True)], byte_size=8)]
    assert value_error(plan_bytes(objects)) == 'native table "S" has multiple key fields'


def test_fields_without_the_key_flag_are_not_subject_to_the_key_rules():
    objects = [obj("T", [field("v", 0, kind="vector_table"), scalar_field("k", 1, "float64", key=True)])]
    NativePlan(plan_bytes(objects))


def test_key_rule_names_are_quoted_with_escapes():
    objects = [obj('Odd "name"\\\n', [field("k", 0, kind="table", key=True)])]
    assert value_error(plan_bytes(objects)) == (
        'native key field on "Odd \\"name\\"\\\\\\n" must be a table scalar or string'
    )
    objects = [obj('Odd "name"\\\n', [string_field("a", 0, key=True), string_field("b", 1, key=True)])]
    assert value_error(plan_bytes(objects)) == 'native table "Odd \\"name\\"\\\\\\n" has multiple key fields'


# ---------------------------------------------------------------------------------------------
# Imports


def runtime_events():
    return [
        ("import", "quorvel._runtime"),
        ("get", "quorvel._runtime", "BufferBoundsError"),
        ("get", "quorvel._runtime", "InvalidBufferError"),
    ]


def test_empty_plan_imports_only_the_dynamic_and_runtime_modules(imports):
    plan = imports.construct(plan_bytes([]))
    assert repr(plan) == "NativePlan(objects=0)"
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        *runtime_events(),
    ]


@pytest.mark.parametrize("kind", [k for k in FIELD_KINDS if k not in ("dynamic", "nested", "uuid", "decimal")])
def test_ordinary_kinds_import_nothing_more(imports, kind):
    imports.construct(plan_with_kinds(kind))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        *runtime_events(),
    ]


def test_dynamic_field_reads_encode_dynamic_and_decode(imports):
    imports.construct(plan_with_kinds("dynamic"))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "encode_dynamic"),
        ("import", "quorvel._flatbuffer"),
        ("get", "quorvel._flatbuffer", "decode"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        *runtime_events(),
    ]


def test_nested_field_reads_encode_and_decode(imports):
    imports.construct(plan_with_kinds("nested"))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("import", "quorvel._flatbuffer"),
        ("get", "quorvel._flatbuffer", "encode"),
        ("get", "quorvel._flatbuffer", "decode"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        *runtime_events(),
    ]


def test_uuid_field_imports_uuid(imports):
    imports.construct(plan_with_kinds("uuid"))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        ("import", "uuid"),
        ("get", "uuid", "UUID"),
        *runtime_events(),
    ]


def test_decimal_field_imports_decimal(imports):
    imports.construct(plan_with_kinds("decimal"))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        ("import", "decimal"),
        ("get", "decimal", "Decimal"),
        *runtime_events(),
    ]


def test_every_special_kind_together_imports_in_a_fixed_order(imports):
    imports.construct(plan_with_kinds("decimal", "uuid", "nested", "dynamic", "scalar"))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "encode_dynamic"),
        ("import", "quorvel._flatbuffer"),
        ("get", "quorvel._flatbuffer", "encode"),
        ("get", "quorvel._flatbuffer", "decode"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        ("import", "uuid"),
        ("get", "uuid", "UUID"),
        ("import", "decimal"),
        ("get", "decimal", "Decimal"),
        *runtime_events(),
    ]


def test_kinds_count_once_for_the_whole_plan_wherever_they_occur(imports):
    objects = [
        obj("A", [scalar_field("x")]),
        struct_obj("B", [field("n", 0, kind="nested"), field("n2", 1, kind="nested")]),
        obj("C", [field("d", 0, kind="dynamic")]),
        obj("D", [field("d", 0, kind="dynamic"), field("u", 1, kind="uuid")]),
    ]
    imports.construct(plan_bytes(objects))
    assert imports.events == [
        ("import", "quorvel._dynamic"),
        ("get", "quorvel._dynamic", "encode_dynamic"),
        ("import", "quorvel._flatbuffer"),
        ("get", "quorvel._flatbuffer", "encode"),
        ("get", "quorvel._flatbuffer", "decode"),
        ("get", "quorvel._dynamic", "dynamic_types"),
        ("import", "uuid"),
        ("get", "uuid", "UUID"),
        *runtime_events(),
    ]


@pytest.mark.parametrize("kind", ["dynamic", b"dynamic", 10, {"dynamic": None}, {10: None}])
def test_the_kind_is_recognised_in_every_encoding(imports, kind):
    document = pack([2, [["T", False, 0, 0, [["d", 0, 4, kind, None, None, False, False]], [], None, None]]])
    imports.construct(document)
    assert ("get", "quorvel._dynamic", "encode_dynamic") in imports.events


def test_every_plan_imports_again(imports):
    imports.construct(plan_bytes([]))
    first = list(imports.events)
    imports.construct(plan_bytes([]))
    assert imports.events == first


def test_validation_errors_come_before_any_import(imports):
    bad_target = [obj("T", [field("d", 0, kind="dynamic"), field("t", 1, kind="table", target="Missing")])]
    two_keys = [obj("T", [field("n", 0, kind="nested"), string_field("a", 1, key=True),
                          string_field("b", 2, key=True)])]
    for data in (bad_target, two_keys):
        with pytest.raises(ValueError):
            imports.construct(plan_bytes(data))
        assert imports.events == []
    with pytest.raises(ValueError):
        imports.construct(plan_bytes([], version=9))
    assert imports.events == []
    with pytest.raises(ValueError):
        imports.construct(b"\xc0")
    assert imports.events == []


def test_plans_build_with_the_real_package_modules():
    objects = [obj("T", [field(f"f{i}", i, kind=k) for i, k in enumerate(FIELD_KINDS)])]
    assert repr(NativePlan(plan_bytes(objects))) == "NativePlan(objects=1)"


# ---------------------------------------------------------------------------------------------
# Imported attributes


class Holder:
    class Inner:
        pass


class Meta(type):
    pass


@pytest.mark.parametrize("attr", ["BufferBoundsError", "InvalidBufferError"])
@pytest.mark.parametrize("value, type_name", [(5, "int"), ("x", "str"), (Holder.Inner(), "Holder.Inner"),
                                              (ValueError("x"), "ValueError")])
def test_runtime_exception_classes_must_be_classes(imports, attr, value, type_name):
    setattr(imports["quorvel._runtime"], attr, value)
    with pytest.raises(TypeError) as info:
        imports.construct(plan_bytes([]))
    assert str(info.value) == f"'{type_name}' object is not an instance of 'type'"
    assert not getattr(info.value, "__notes__", None)


def test_a_bad_buffer_bounds_error_stops_before_invalid_buffer_error_is_read(imports):
    imports["quorvel._runtime"].BufferBoundsError = 1
    del imports["quorvel._runtime"].InvalidBufferError
    with pytest.raises(TypeError, match=re.escape("'int' object is not an instance of 'type'")):
        imports.construct(plan_bytes([]))
    assert imports.events[-1] == ("get", "quorvel._runtime", "BufferBoundsError")


@pytest.mark.parametrize("value", [type("Plain", (), {}), Meta("WithMeta", (), {}), KeyError, int])
def test_any_class_will_do_for_the_runtime_exceptions(imports, value):
    imports["quorvel._runtime"].BufferBoundsError = value
    imports["quorvel._runtime"].InvalidBufferError = value
    assert repr(imports.construct(plan_bytes([]))) == "NativePlan(objects=0)"


@pytest.mark.parametrize("module, attr, kind", [("uuid", "UUID", "uuid"), ("decimal", "Decimal", "decimal")])
def test_uuid_and_decimal_must_be_classes_when_used(imports, module, attr, kind):
    setattr(imports[module], attr, 42)
    imports.construct(plan_with_kinds("scalar"))  # not read, so not checked
    with pytest.raises(TypeError) as info:
        imports.construct(plan_with_kinds(kind))
    assert str(info.value) == "'int' object is not an instance of 'type'"
    setattr(imports[module], attr, Meta("Custom", (), {}))
    imports.construct(plan_with_kinds(kind))


def test_callables_are_taken_as_they_are(imports):
    imports["quorvel._dynamic"].encode_dynamic = 1
    imports["quorvel._dynamic"].dynamic_types = None
    imports["quorvel._flatbuffer"].encode = "not callable"
    imports["quorvel._flatbuffer"].decode = object()
    imports.construct(plan_with_kinds("dynamic", "nested"))


@pytest.mark.parametrize("module, attr, kinds", [
    ("quorvel._dynamic", "dynamic_types", ()),
    ("quorvel._dynamic", "encode_dynamic", ("dynamic",)),
    ("quorvel._flatbuffer", "encode", ("nested",)),
    ("quorvel._flatbuffer", "decode", ("dynamic",)),
    ("quorvel._runtime", "BufferBoundsError", ()),
    ("quorvel._runtime", "InvalidBufferError", ()),
    ("uuid", "UUID", ("uuid",)),
    ("decimal", "Decimal", ("decimal",)),
])
def test_a_missing_attribute_raises_the_interpreters_attribute_error(imports, module, attr, kinds):
    fake = imports[module]
    delattr(fake, attr)
    with pytest.raises(AttributeError) as expected:
        getattr(fake, attr)
    with pytest.raises(AttributeError) as info:
        imports.construct(plan_with_kinds(*kinds))
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    assert not getattr(info.value, "__notes__", None)


def test_unused_attributes_may_be_missing(imports):
    del imports["quorvel._dynamic"].encode_dynamic
    del imports["quorvel._flatbuffer"].encode
    del imports["quorvel._flatbuffer"].decode
    del imports["uuid"].UUID
    del imports["decimal"].Decimal
    imports.construct(plan_with_kinds("scalar", "table", "union"))


@pytest.mark.parametrize("module, kinds", [
    ("quorvel._dynamic", ()),
    ("quorvel._runtime", ()),
    ("quorvel._flatbuffer", ("nested",)),
    ("uuid", ("uuid",)),
    ("decimal", ("decimal",)),
])
def test_an_import_failure_passes_through_unchanged(monkeypatch, imports, module, kinds):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError) as expected:
        __import__(module)
    with pytest.raises(ImportError) as info:
        imports.construct(plan_with_kinds(*kinds))
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    assert not getattr(info.value, "__notes__", None)


def test_an_exception_raised_by_an_import_is_the_same_object(monkeypatch):
    raised = RuntimeError("flatbuffer module is broken")
    real_import = builtins.__import__

    def failing_import(name, *args, **kwargs):
        if name == "quorvel._flatbuffer":
            raise raised
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", failing_import)
    with pytest.raises(RuntimeError) as info:
        NativePlan(plan_with_kinds("dynamic"))
    assert info.value is raised
    assert not getattr(info.value, "__notes__", None)
    NativePlan(plan_with_kinds("scalar"))


def test_flatbuffer_module_is_not_needed_without_dynamic_or_nested_fields(monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvel._flatbuffer", None)
    NativePlan(plan_with_kinds(*[k for k in FIELD_KINDS if k not in ("dynamic", "nested")]))
    with pytest.raises(ImportError):
        NativePlan(plan_with_kinds("dynamic"))


def test_uuid_and_decimal_are_not_imported_unless_used(monkeypatch):
    monkeypatch.setitem(sys.modules, "uuid", None)
    monkeypatch.setitem(sys.modules, "decimal", None)
    NativePlan(plan_with_kinds("scalar", "string", "dynamic", "nested", "fallback"))


# ---------------------------------------------------------------------------------------------
# repr


@pytest.mark.parametrize("count", [0, 1, 3, 20])
def test_repr_counts_the_objects(count):
    objects = [obj(f"O{i}", [scalar_field("x")]) for i in range(count)]
    assert repr(NativePlan(plan_bytes(objects))) == f"NativePlan(objects={count})"


def test_repr_counts_objects_with_the_same_name():
    assert repr(NativePlan(plan_bytes([obj("A"), obj("A"), obj("A")]))) == "NativePlan(objects=3)"


def test_str_is_the_repr():
    plan = NativePlan(plan_bytes([obj("A")]))
    assert str(plan) == repr(plan) == "NativePlan(objects=1)"


def test_extra_bytes_after_the_document_are_ignored():
    data = plan_bytes([obj("A"), obj("B", [field("a", 0, kind="table", target="A")])])
    assert repr(NativePlan(data + b"\xc1\x00garbage")) == "NativePlan(objects=2)"


def test_plans_are_independent_objects():
    data = plan_bytes([obj("A")])
    first, second = NativePlan(data), NativePlan(data)
    assert first is not second
    assert type(first) is NativePlan
