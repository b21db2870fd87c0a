"""NativePlan.model_types: validating a request to decode into user subclasses of the generated
model classes (for the root and for children reached through given fields)."""

import abc
import gc
import weakref

import pytest
from trevalin import Struct

from plans import field, make_plan, table
from quorvel._native import NativeModelTypes

NOT_BOUND = "native model types are not bound"
FIVE_VALUES = "native model type bindings must contain five values"
NOT_SUBCLASS = "native model type binding is not a subclass"
CONFLICT = "native model field has conflicting subclass bindings"


# The classes are named differently from the plan objects they are bound to, so that messages
# show which of the two they report.
class GenRoot(Struct):
    child: object = None
    children: object = None
    pick: object = None
    count: int = 0


class GenChild(Struct):
    v: int = 0


class GenOther(Struct):
    w: int = 0


class GenLone(Struct):
    z: int = 0


class MyRoot(GenRoot):
    pass


class MyChild(GenChild):
    pass


class MyChild2(GenChild):
    pass


class MyOther(GenOther):
    pass


class Unbound(Struct):
    pass


ROOT_FIELDS = [
    field("child", "table", slot=0, target="Child"),
    field("children", "vector_table", slot=1, target="Child"),
    field("pick", "union", slot=3, type_slot=2, type_scalar="uint8", arms=[(1, "Child"), (2, "Other")]),
    field("count", slot=4),
    field("dup", "table", slot=5, target="Child"),
    field("dup", "table", slot=6, target="Other"),
    field("lone", "table", slot=7, target="Lone"),
]


def new_plan(bind=True):
    p = make_plan(
        table("Root", ROOT_FIELDS),
        table("Child", [field("v", slot=0), field("again", "table", slot=1, target="Child")]),
        table("Other", [field("w", slot=0)]),
        table("Lone", [field("z", slot=0)]),
    )
    if bind:
        p.bind_types({"Root": GenRoot, "Child": GenChild, "Other": GenOther, "Lone": GenLone})
    return p


@pytest.fixture
def plan():
    return new_plan()


def message(info):
    return str(info.value)


# ---------------------------------------------------------------------------------------------
# Root


class TestRoot:
    def test_requested_equal_to_generated(self, plan):
        result = plan.model_types(GenRoot, GenRoot, [])
        assert type(result) is NativeModelTypes

    def test_requested_subclass(self, plan):
        assert type(plan.model_types(GenRoot, MyRoot, [])) is NativeModelTypes

    def test_keyword_arguments(self, plan):
        result = plan.model_types(generated=GenRoot, requested=MyRoot, bindings=())
        assert type(result) is NativeModelTypes

    def test_each_call_makes_a_new_object(self, plan):
        assert plan.model_types(GenRoot, MyRoot, []) is not plan.model_types(GenRoot, MyRoot, [])

    def test_any_bound_object_may_be_the_root(self, plan):
        assert type(plan.model_types(GenChild, MyChild, [])) is NativeModelTypes
        assert type(plan.model_types(GenLone, GenLone, [])) is NativeModelTypes

    def test_needs_binding(self):
        p = new_plan(bind=False)
        with pytest.raises(RuntimeError) as info:
            p.model_types(GenRoot, GenRoot, [])
        assert message(info) == NOT_BOUND

    def test_subclass_of_a_bound_class_is_not_a_generated_root(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(MyRoot, MyRoot, [])
        assert message(info) == "generated root type is not bound"

    def test_unbound_generated_root(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(Unbound, Unbound, [])
        assert message(info) == "generated root type is not bound"

    def test_requested_must_subclass_generated(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, GenChild, [])
        assert message(info) == "GenChild must subclass GenRoot"
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, int, [])
        assert message(info) == "int must subclass GenRoot"

    def test_generated_root_must_be_bound_before_requested_is_tested(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(Unbound, GenChild, [])
        assert message(info) == "generated root type is not bound"

    def test_root_is_checked_before_the_bindings(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, GenChild, 5)
        assert message(info) == "GenChild must subclass GenRoot"
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, GenChild, [[1]])
        assert message(info) == "GenChild must subclass GenRoot"

    def test_subclass_test_is_the_interpreters(self):
        class Registering(abc.ABCMeta):
            pass

        class AbstractRoot(Struct, metaclass=Registering):
            pass

        class Virtual:
            pass

        AbstractRoot.register(Virtual)
        p = make_plan(table("Root", []))
        p.bind_types({"Root": AbstractRoot})
        assert type(p.model_types(AbstractRoot, Virtual, [])) is NativeModelTypes

    def test_error_of_the_subclass_test_passes_through(self):
        class Checking(type):
            def __subclasscheck__(cls, other):
                raise LookupError("cannot tell")

        class Checked(metaclass=Checking):
            pass

        p = make_plan(table("Root", []))
        p.bind_types({"Root": Checked})
        with pytest.raises(LookupError, match="^cannot tell$"):
            p.model_types(Checked, MyRoot, [])


class TestArgumentConversion:
    @pytest.mark.parametrize("value, described", [(1, "'int' object"), (GenRoot(), "'GenRoot' object"), (None, "'None'")])
    def test_generated_must_be_a_class(self, plan, value, described):
        with pytest.raises(TypeError) as info:
            plan.model_types(value, GenRoot, [])
        assert message(info) == f"{described} is not an instance of 'type'"
        assert info.value.__notes__ == ["while processing 'generated'"]

    @pytest.mark.parametrize("value, described", [("GenRoot", "'str' object"), (MyRoot(), "'MyRoot' object")])
    def test_requested_must_be_a_class(self, plan, value, described):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, value, [])
        assert message(info) == f"{described} is not an instance of 'type'"
        assert info.value.__notes__ == ["while processing 'requested'"]

    def test_generated_is_converted_first(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(1, 2.5, 3)
        assert message(info) == "'int' object is not an instance of 'type'"
        assert info.value.__notes__ == ["while processing 'generated'"]

    def test_conversions_come_before_the_binding_check(self):
        p = new_plan(bind=False)
        with pytest.raises(TypeError) as info:
            p.model_types(GenRoot, 2.5, [])
        assert message(info) == "'float' object is not an instance of 'type'"
        assert info.value.__notes__ == ["while processing 'requested'"]

    def test_errors_of_the_body_carry_no_note(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(Unbound, Unbound, [])
        assert not getattr(info.value, "__notes__", None)


# ---------------------------------------------------------------------------------------------
# Bindings: the iterable


def gen_bindings(items):
    yield from items


class TestBindingsIterable:
    @pytest.mark.parametrize("empty", [[], (), set(), {}, iter([]), ""], ids=["list", "tuple", "set", "dict", "iter", "str"])
    def test_empty_bindings(self, plan, empty):
        assert type(plan.model_types(GenRoot, MyRoot, empty)) is NativeModelTypes

    def test_exhausted_generator(self, plan):
        g = gen_bindings([(GenRoot, MyRoot, "child", GenChild, MyChild)])
        list(g)
        assert type(plan.model_types(GenRoot, MyRoot, g)) is NativeModelTypes

    def test_generator_of_bindings(self, plan):
        g = gen_bindings(
            [
                (GenRoot, MyRoot, "child", GenChild, MyChild),
                (GenRoot, MyRoot, "pick", GenOther, MyOther),
                (GenChild, MyChild, "again", GenChild, MyChild2),
            ]
        )
        assert type(plan.model_types(GenRoot, MyRoot, g)) is NativeModelTypes
        assert next(g, "done") == "done"

    def test_non_iterable_bindings(self, plan):
        with pytest.raises(TypeError, match="'int' object is not iterable"):
            plan.model_types(GenRoot, MyRoot, 5)
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            plan.model_types(GenRoot, MyRoot, None)

    def test_error_while_iterating_passes_through(self, plan):
        def failing():
            yield (GenRoot, MyRoot, "child", GenChild, MyChild)
            raise KeyError("stop here")

        with pytest.raises(KeyError, match="stop here"):
            plan.model_types(GenRoot, MyRoot, failing())

    def test_first_faulty_item_ends_the_iteration(self, plan):
        pulled = []

        def items():
            pulled.append(1)
            yield (GenRoot, MyRoot, "child", GenChild, MyChild)
            pulled.append(2)
            yield [GenRoot]
            pulled.append(3)
            yield (GenRoot, MyRoot, "child", GenChild, MyChild)

        with pytest.raises(TypeError, match=r"^'list' object is not an instance of 'tuple'$"):
            plan.model_types(GenRoot, MyRoot, items())
        assert pulled == [1, 2]


# ---------------------------------------------------------------------------------------------
# Bindings: each item


class TestBindingItems:
    @pytest.mark.parametrize(
        "item, described",
        [
            ([GenRoot, MyRoot, "child", GenChild, MyChild], "'list' object"),
            ("child", "'str' object"),
            (None, "'None'"),
            (5, "'int' object"),
        ],
    )
    def test_item_must_be_a_tuple(self, plan, item, described):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [item])
        assert message(info) == f"{described} is not an instance of 'tuple'"

    @pytest.mark.parametrize(
        "item",
        [
            (),
            (GenRoot, MyRoot, "child", GenChild),
            (GenRoot, MyRoot, "child", GenChild, MyChild, MyChild),
            (1, 2, 3, 4),
        ],
        ids=["0", "4", "6", "4-wrong-types"],
    )
    def test_item_must_hold_five_values(self, plan, item):
        with pytest.raises(ValueError) as info:
            plan.model_types(GenRoot, MyRoot, [item])
        assert message(info) == FIVE_VALUES

    # Each faulty value has a type of its own, so the message shows which item was checked first.
    @pytest.mark.parametrize(
        "item, expected",
        [
            ((1, 2.5, b"x", None, 1j), "'int' object is not an instance of 'type'"),
            ((GenRoot, 2.5, b"x", None, 1j), "'float' object is not an instance of 'type'"),
            ((GenRoot, MyRoot, b"x", None, 1j), "'bytes' object is not an instance of 'str'"),
            ((GenRoot, MyRoot, "child", None, 1j), "'None' is not an instance of 'type'"),
            ((GenRoot, MyRoot, "child", GenChild, 1j), "'complex' object is not an instance of 'type'"),
            ((GenRoot, MyRoot(), "child", GenChild, MyChild), "'MyRoot' object is not an instance of 'type'"),
            ((Unbound, MyRoot, 7, GenChild, MyChild), "'int' object is not an instance of 'str'"),
            ((Unbound, MyRoot, "child", Unbound, MyChild()), "'MyChild' object is not an instance of 'type'"),
        ],
    )
    def test_value_types_are_checked_in_order(self, plan, item, expected):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [item])
        assert message(info) == expected

    def test_str_subclass_field_name(self, plan):
        class Name(str):
            pass

        item = (GenRoot, MyRoot, Name("child"), GenChild, MyChild)
        assert type(plan.model_types(GenRoot, MyRoot, [item])) is NativeModelTypes

    def test_generated_parent_must_be_bound(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(MyRoot, MyRoot, "child", GenChild, MyChild)])
        assert message(info) == "generated parent type is not bound"

    def test_generated_child_must_be_bound(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "child", MyChild, MyChild)])
        assert message(info) == "generated child type is not bound"

    def test_parent_is_looked_up_before_child(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(Unbound, Unbound, "nope", Unbound, Unbound)])
        assert message(info) == "generated parent type is not bound"

    def test_lookups_come_before_the_subclass_tests(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, GenOther, "child", Unbound, MyChild)])
        assert message(info) == "generated child type is not bound"

    def test_requested_parent_must_subclass_the_generated_parent(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, GenOther, "child", GenChild, MyChild)])
        assert message(info) == NOT_SUBCLASS

    def test_requested_child_must_subclass_the_generated_child(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "child", GenChild, MyOther)])
        assert message(info) == NOT_SUBCLASS

    def test_subclass_tests_come_before_the_field_lookup(self, plan):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "nope", GenChild, MyOther)])
        assert message(info) == NOT_SUBCLASS

    def test_generated_classes_may_stand_for_themselves(self, plan):
        item = (GenRoot, GenRoot, "child", GenChild, GenChild)
        assert type(plan.model_types(GenRoot, GenRoot, [item])) is NativeModelTypes

    def test_requested_parent_need_not_be_the_requested_root(self, plan):
        class AnotherRoot(GenRoot):
            pass

        item = (GenRoot, AnotherRoot, "child", GenChild, MyChild)
        assert type(plan.model_types(GenRoot, MyRoot, [item])) is NativeModelTypes

    @pytest.mark.parametrize("name, shown", [("nope", '"nope"'), ("Child", '"Child"'), ("", '""'), ('q"x', r'"q\"x"')])
    def test_field_must_exist(self, plan, name, shown):
        with pytest.raises(ValueError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, name, GenChild, MyChild)])
        assert message(info) == f'native model field "Root".{shown} does not exist'

    @pytest.mark.parametrize("name", ["child", "children", "pick"])
    def test_child_through_target_or_arm(self, plan, name):
        item = (GenRoot, MyRoot, name, GenChild, MyChild)
        assert type(plan.model_types(GenRoot, MyRoot, [item])) is NativeModelTypes

    def test_other_arm_of_the_union(self, plan):
        item = (GenRoot, MyRoot, "pick", GenOther, MyOther)
        assert type(plan.model_types(GenRoot, MyRoot, [item])) is NativeModelTypes

    @pytest.mark.parametrize(
        "name, child, requested, object_name",
        [
            ("child", GenOther, MyOther, "Other"),
            ("children", GenLone, GenLone, "Lone"),
            ("pick", GenLone, GenLone, "Lone"),
            ("pick", GenRoot, MyRoot, "Root"),
            ("count", GenChild, MyChild, "Child"),
        ],
    )
    def test_child_the_field_cannot_hold(self, plan, name, child, requested, object_name):
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, name, child, requested)])
        assert message(info) == f'native model field "Root"."{name}" does not contain {object_name}'

    def test_duplicate_field_names_use_the_first_field(self, plan):
        assert type(plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "dup", GenChild, MyChild)])) is NativeModelTypes
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "dup", GenOther, MyOther)])
        assert message(info) == 'native model field "Root"."dup" does not contain Other'

    def test_binding_for_a_nested_level(self, plan):
        items = [
            (GenRoot, MyRoot, "child", GenChild, MyChild),
            (GenChild, MyChild, "again", GenChild, MyChild2),
            (GenChild, MyChild2, "again", GenChild, MyChild),
        ]
        assert type(plan.model_types(GenRoot, MyRoot, items)) is NativeModelTypes

    def test_a_later_faulty_item_fails_the_call(self, plan):
        items = [
            (GenRoot, MyRoot, "child", GenChild, MyChild),
            (GenRoot, MyRoot, "child", GenChild, MyChild),
            (GenRoot, MyRoot, "gone", GenChild, MyChild),
        ]
        with pytest.raises(ValueError) as info:
            plan.model_types(GenRoot, MyRoot, items)
        assert message(info) == 'native model field "Root"."gone" does not exist'


class TestConflicts:
    def test_same_binding_twice_is_accepted(self, plan):
        item = (GenRoot, MyRoot, "child", GenChild, MyChild)
        assert type(plan.model_types(GenRoot, MyRoot, [item, item])) is NativeModelTypes
        equal = (GenRoot, MyRoot, "child", GenChild, MyChild)
        assert type(plan.model_types(GenRoot, MyRoot, [item, equal, item])) is NativeModelTypes

    def test_two_classes_for_one_child_conflict(self, plan):
        items = [(GenRoot, MyRoot, "child", GenChild, MyChild), (GenRoot, MyRoot, "child", GenChild, MyChild2)]
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, items)
        assert message(info) == CONFLICT

    def test_generated_child_against_a_subclass_conflicts(self, plan):
        items = [(GenRoot, MyRoot, "pick", GenChild, GenChild), (GenRoot, MyRoot, "pick", GenChild, MyChild)]
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, items)
        assert message(info) == CONFLICT

    def test_conflict_is_found_after_other_bindings(self, plan):
        items = [
            (GenRoot, MyRoot, "pick", GenChild, MyChild),
            (GenRoot, MyRoot, "pick", GenOther, MyOther),
            (GenRoot, MyRoot, "children", GenChild, MyChild2),
            (GenRoot, MyRoot, "pick", GenChild, MyChild2),
        ]
        with pytest.raises(TypeError) as info:
            plan.model_types(GenRoot, MyRoot, items)
        assert message(info) == CONFLICT

    def test_different_keys_do_not_conflict(self, plan):
        class OtherRoot(GenRoot):
            pass

        items = [
            (GenRoot, MyRoot, "child", GenChild, MyChild),
            # another requested parent
            (GenRoot, OtherRoot, "child", GenChild, MyChild2),
            # another field
            (GenRoot, MyRoot, "children", GenChild, MyChild2),
            # another child object through the same field
            (GenRoot, MyRoot, "pick", GenChild, MyChild),
            (GenRoot, MyRoot, "pick", GenOther, MyOther),
        ]
        assert type(plan.model_types(GenRoot, MyRoot, items)) is NativeModelTypes

    def test_fields_are_told_apart_by_slot(self):
        # Two fields that share a slot: the bindings are keyed by the slot, not by the name.
        p = make_plan(
            table(
                "Root",
                [field("first", "table", slot=3, target="Child"), field("second", "table", slot=3, target="Child")],
            ),
            table("Child", [field("v", slot=0)]),
            table("Other", [field("w", slot=0)]),
            table("Lone", [field("z", slot=0)]),
        )
        p.bind_types({"Root": GenRoot, "Child": GenChild})
        items = [(GenRoot, MyRoot, "first", GenChild, MyChild), (GenRoot, MyRoot, "second", GenChild, MyChild2)]
        with pytest.raises(TypeError) as info:
            p.model_types(GenRoot, MyRoot, items)
        assert message(info) == CONFLICT
        same = [(GenRoot, MyRoot, "first", GenChild, MyChild), (GenRoot, MyRoot, "second", GenChild, MyChild)]
        assert type(p.model_types(GenRoot, MyRoot, same)) is NativeModelTypes


class TestLifetime:
    def test_result_keeps_its_requested_classes_alive(self, plan):
        def make():
            class TempRoot(GenRoot):
                pass

            class TempChild(GenChild):
                pass

            result = plan.model_types(GenRoot, TempRoot, [(GenRoot, TempRoot, "child", GenChild, TempChild)])
            return result, weakref.ref(TempRoot), weakref.ref(TempChild)

        result, root_ref, child_ref = make()
        gc.collect()
        assert root_ref() is not None and child_ref() is not None
        del result
        gc.collect()
        assert root_ref() is None and child_ref() is None

    def test_failed_call_keeps_nothing(self, plan):
        def make():
            class TempChild(GenChild):
                pass

            with pytest.raises(ValueError):
                plan.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "child", GenChild, TempChild), ()])
            return weakref.ref(TempChild)

        ref = make()
        gc.collect()
        assert ref() is None

    def test_result_outlives_its_plan(self):
        p = new_plan()
        result = p.model_types(GenRoot, MyRoot, [(GenRoot, MyRoot, "child", GenChild, MyChild)])
        del p
        gc.collect()
        assert type(result) is NativeModelTypes
