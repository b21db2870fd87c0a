"""NativePlan.bind_types: attaching model and enum classes to a plan's objects, the serialized-field
metadata prepared for each bound object, and the plan-wide native-serde decision."""

import enum
import gc
import sys
import weakref

import pytest
from trevalin import Struct

import _plan_probe as probe
from plans import field, make_plan, struct, table

NOT_BOUND = "native model types are not bound"
ALREADY_BOUND = "native model types are already bound"
NO_METADATA = "generated model has no serde metadata"
TAG_INCOMPLETE = "native serde tag metadata is incomplete"


class Point(Struct):
    x: int = 0
    y: int = 0


class Shape(Struct):
    center: Point = None
    name: str = ""


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2


def shapes_plan(**shape_options):
    return make_plan(
        table("Point", [field("x", slot=0), field("y", slot=1)]),
        table(
            "Shape",
            [field("center", "table", slot=0, target="Point"), field("name", "string", slot=1)],
            **shape_options,
        ),
    )


def bind_shapes(plan, **extra):
    plan.bind_types({"Point": Point, "Shape": Shape, **extra})


def serde(plan, index):
    fields, tag, kwnames = probe.serde_object(plan, index)
    return [tuple(f) for f in fields], tag, kwnames


# ---------------------------------------------------------------------------------------------
# Argument and entry checks


class TestArguments:
    def test_returns_none_and_binds_each_class_to_its_object(self):
        plan = shapes_plan()
        assert plan.bind_types({"Shape": Shape, "Point": Point}) is None
        assert probe.model_object_index(plan, Point()) == 0
        assert probe.model_object_index(plan, Shape()) == 1
        assert probe.bound_type(plan, "Point") is Point
        assert probe.bound_type(plan, "Shape") is Shape

    def test_types_may_be_passed_by_keyword(self):
        plan = shapes_plan()
        plan.bind_types(types={"Point": Point, "Shape": Shape})
        assert probe.native_serde(plan) is True

    def test_dict_subclass_is_accepted(self):
        class Types(dict):
            pass

        plan = shapes_plan()
        plan.bind_types(Types(Point=Point, Shape=Shape))
        assert probe.model_object_index(plan, Shape()) == 1

    @pytest.mark.parametrize(
        "types, message",
        [
            ([("Point", Point)], "'list' object is not an instance of 'dict'"),
            (None, "'None' is not an instance of 'dict'"),
        ],
    )
    def test_types_must_be_a_dict(self, types, message):
        plan = shapes_plan()
        with pytest.raises(TypeError) as info:
            plan.bind_types(types)
        assert str(info.value) == message
        assert info.value.__notes__ == ["while processing 'types'"]

    @pytest.mark.parametrize(
        "key, described",
        [(1, "'int' object"), (b"Point", "'bytes' object"), (("Point",), "'tuple' object"), (None, "'None'")],
    )
    def test_keys_must_be_str(self, key, described):
        plan = shapes_plan()
        with pytest.raises(TypeError) as info:
            plan.bind_types({"Point": Point, key: Shape})
        assert str(info.value) == f"{described} is not an instance of 'str'"

    @pytest.mark.parametrize(
        "value, described",
        [(1, "'int' object"), (Point(), "'Point' object"), ("Point", "'str' object"), (None, "'None'")],
    )
    def test_values_must_be_classes(self, value, described):
        plan = shapes_plan()
        with pytest.raises(TypeError) as info:
            plan.bind_types({"Point": value})
        assert str(info.value) == f"{described} is not an instance of 'type'"

    def test_values_of_names_that_are_no_object_must_be_classes_too(self):
        plan = shapes_plan()
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'type'$"):
            plan.bind_types({"Point": Point, "Shape": Shape, "Color": 1})

    def test_key_is_checked_before_its_value(self):
        plan = shapes_plan()
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
            plan.bind_types({1: 2})

    def test_first_faulty_entry_in_dict_order_is_reported(self):
        plan = shapes_plan()
        with pytest.raises(TypeError, match=r"^'float' object is not an instance of 'type'$"):
            plan.bind_types({"Point": Point, "Shape": 1.5, 7: Shape})
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
            plan.bind_types({"Point": Point, 7: Shape, "Shape": 1.5})

    def test_str_subclass_key_is_read_as_its_text(self):
        class Name(str):
            pass

        plan = shapes_plan()
        plan.bind_types({Name("Point"): Point, Name("Shape"): Shape})
        assert probe.model_object_index(plan, Point()) == 0
        assert probe.bound_type(plan, "Shape") is Shape

    def test_metaclass_instances_count_as_classes(self):
        class Meta(type):
            pass

        class Custom(Struct, metaclass=Meta):
            x: int = 0
            y: int = 0

        plan = shapes_plan()
        plan.bind_types({"Point": Custom, "Shape": Shape})
        assert probe.model_object_index(plan, Custom()) == 0


# ---------------------------------------------------------------------------------------------
# Names and objects


class TestNames:
    def test_names_that_are_no_object_stay_available_by_name(self):
        plan = make_plan(table("Paint", [field("color", slot=0, enum_type="Color")]))

        class Paint(Struct):
            color: int = 0

        plan.bind_types({"Paint": Paint, "Color": Color})
        assert probe.bound_type(plan, "Color") is Color
        assert probe.apply_enum(plan, ("Paint", "color", 2)) is Color.GREEN
        # The extra name binds no object, so every object is still bound natively.
        assert probe.native_serde(plan) is True

    def test_a_name_that_is_no_object_binds_nothing(self):
        plan = shapes_plan()
        plan.bind_types({"Point": Point, "Circle": Shape})
        assert probe.bound_type(plan, "Circle") is Shape
        with pytest.raises(TypeError, match=r"^Shape does not have exactly one generated FlatBuffer model base$"):
            probe.model_object_index(plan, Shape())
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, 1)
        assert probe.native_serde(plan) is False

    def test_names_are_matched_exactly(self):
        plan = shapes_plan()
        plan.bind_types({"point": Point, "Shape ": Shape})
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, 0)
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, 1)
        with pytest.raises(RuntimeError, match=r'^native type "Point" is not bound$'):
            probe.bound_type(plan, "Point")
        assert probe.bound_type(plan, "point") is Point

    def test_duplicate_object_names_bind_the_last_object(self):
        class Pair(Struct):
            a: int = 0
            b: int = 0

        plan = make_plan(
            table("Point", [field("x", slot=0)]),
            table("Shape", [field("name", "string", slot=0)]),
            table("Point", [field("a", slot=0), field("b", slot=1)], serde=[("a", "A"), ("b", "B")]),
        )
        plan.bind_types({"Point": Pair, "Shape": Shape})
        assert probe.object_index(plan, "Point") == 2
        assert probe.model_object_index(plan, Pair()) == 2
        assert serde(plan, 2)[0] == [("A", "a", 0), ("B", "b", 1)]
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, 0)
        # The first "Point" can never be bound, so the plan is not natively serializable.
        assert probe.native_serde(plan) is False

    def test_one_class_under_two_object_names_belongs_to_the_later(self):
        plan = shapes_plan()
        plan.bind_types({"Shape": Point, "Point": Point})
        assert probe.model_object_index(plan, Point()) == 0
        plan = shapes_plan()
        plan.bind_types({"Point": Point, "Shape": Point})
        assert probe.model_object_index(plan, Point()) == 1
        assert probe.bound_type(plan, "Point") is Point
        assert probe.bound_type(plan, "Shape") is Point
        # Both objects got their metadata.
        assert serde(plan, 0)[2] == ("x", "y")
        assert serde(plan, 1)[2] == ("center", "name")

    def test_bound_classes_live_as_long_as_the_plan(self):
        def bind():
            class Transient(Struct):
                value: int = 0

            class TransientEnum(enum.Enum):
                A = 1

            plan = make_plan(table("T", [field("value")]))
            plan.bind_types({"T": Transient, "E": TransientEnum})
            return plan, weakref.ref(Transient), weakref.ref(TransientEnum)

        plan, model_ref, enum_ref = bind()
        gc.collect()
        assert model_ref() is not None and enum_ref() is not None
        del plan
        gc.collect()
        assert model_ref() is None and enum_ref() is None


# ---------------------------------------------------------------------------------------------
# Serialized-field metadata


class TestSerdeMetadata:
    def test_fields_follow_serde_order_with_keys_attrs_and_field_positions(self):
        plan = make_plan(
            table(
                "Point",
                [field("x", slot=0), field("y", slot=1), field("z", slot=2)],
                serde=[("z", "zed"), ("x", "ex"), ("y", "y")],
            )
        )

        class P(Struct):
            x: int = 0
            y: int = 0
            z: int = 0

        plan.bind_types({"Point": P})
        fields, tag, kwnames = serde(plan, 0)
        assert fields == [("zed", "z", 2), ("ex", "x", 0), ("y", "y", 1)]
        assert tag is None
        assert kwnames == ("z", "x", "y")
        assert type(kwnames) is tuple

    def test_object_without_serde_fields_has_empty_metadata(self):
        plan = make_plan(table("Empty", [field("x")], serde=[]))

        class Empty(Struct):
            pass

        plan.bind_types({"Empty": Empty})
        assert serde(plan, 0) == ([], None, ())
        assert probe.native_serde(plan) is True

    def test_serde_field_without_matching_field_is_left_out(self):
        plan = make_plan(
            table(
                "Point",
                [field("x", slot=0), field("y", slot=1)],
                serde=[("x", "x"), ("missing", "m"), ("y", "why"), ("X", "upper")],
            )
        )
        plan.bind_types({"Point": Point})
        fields, _, kwnames = serde(plan, 0)
        assert fields == [("x", "x", 0), ("why", "y", 1)]
        assert kwnames == ("x", "y")
        assert probe.native_serde(plan) is False

    def test_same_plan_with_only_matching_serde_fields_is_native(self):
        plan = make_plan(
            table("Point", [field("x", slot=0), field("y", slot=1)], serde=[("x", "x"), ("y", "why")])
        )
        plan.bind_types({"Point": Point})
        assert probe.native_serde(plan) is True

    def test_duplicate_field_names_resolve_to_the_first(self):
        plan = make_plan(
            table(
                "Dup",
                [field("other", slot=0), field("a", slot=1), field("a", "string", slot=2)],
                serde=[("a", "a"), ("a", "again")],
            )
        )

        class Dup(Struct):
            other: int = 0
            a: int = 0

        plan.bind_types({"Dup": Dup})
        fields, _, kwnames = serde(plan, 0)
        assert fields == [("a", "a", 1), ("again", "a", 1)]
        assert kwnames == ("a", "a")

    def test_non_ascii_names_are_kept_as_text(self):
        plan = make_plan(table("Wörter", [field("größe", slot=0)], serde=[("größe", "grösse→")]))

        class Words(Struct):
            pass

        plan.bind_types({"Wörter": Words})
        fields, _, kwnames = serde(plan, 0)
        assert fields == [("grösse→", "größe", 0)]
        assert kwnames == ("größe",)

    def test_kwnames_are_interned_strings(self):
        # The names are assembled at run time so the test does not rely on literals that the
        # compiler already interned.
        parts = [("wid", "get_count_7f3a"), ("ali", "as_name_9c21")]
        names = ["".join(p) for p in parts]
        plan = make_plan(table("W", [field(n, slot=i) for i, n in enumerate(names)]))

        class W(Struct):
            pass

        plan.bind_types({"W": W})
        fields, _, kwnames = serde(plan, 0)
        for i, p in enumerate(parts):
            attr = kwnames[i]
            assert attr == names[i]
            assert sys.intern("".join(p)) is attr
            # The field's attribute and the keyword name are the same string object.
            assert fields[i][1] is attr

    def test_serde_object_before_binding(self):
        plan = shapes_plan()
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.serde_object(plan, 0)

    @pytest.mark.parametrize("index", [2, 3, 1000])
    def test_serde_object_outside_the_plan(self, index):
        plan = shapes_plan()
        bind_shapes(plan)
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, index)

    def test_serde_object_of_an_unbound_object(self):
        plan = shapes_plan()
        plan.bind_types({"Shape": Shape})
        with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
            probe.serde_object(plan, 0)
        assert serde(plan, 1)[2] == ("center", "name")


class TestTag:
    def test_tag_pair_is_kept_when_both_parts_are_present(self):
        plan = shapes_plan(tag_field="kind", tag="shape")
        bind_shapes(plan)
        assert serde(plan, 1)[1] == ("kind", "shape")
        assert serde(plan, 0)[1] is None

    def test_empty_tag_texts_are_present(self):
        plan = shapes_plan(tag_field="", tag="")
        bind_shapes(plan)
        assert serde(plan, 1)[1] == ("", "")

    @pytest.mark.parametrize("tag_field, tag", [("kind", None), (None, "shape"), ("", None), (None, "")])
    def test_one_part_alone_fails_for_a_bound_object(self, tag_field, tag):
        plan = shapes_plan(tag_field=tag_field, tag=tag)
        with pytest.raises(ValueError, match=f"^{TAG_INCOMPLETE}$"):
            bind_shapes(plan)
        # Nothing was published: the plan can still be bound (without the faulty object).
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.native_serde(plan)
        plan.bind_types({"Point": Point})
        assert probe.model_object_index(plan, Point()) == 0

    @pytest.mark.parametrize("tag_field, tag", [("kind", None), (None, "shape")])
    def test_one_part_alone_is_ignored_for_an_unbound_object(self, tag_field, tag):
        plan = shapes_plan(tag_field=tag_field, tag=tag)
        plan.bind_types({"Point": Point, "Color": Color})
        assert probe.native_serde(plan) is False
        assert serde(plan, 0)[2] == ("x", "y")


# ---------------------------------------------------------------------------------------------
# native_serde


class TestNativeSerde:
    def test_empty_dict_on_a_plan_with_objects(self):
        plan = shapes_plan()
        assert plan.bind_types({}) is None
        assert probe.native_serde(plan) is False
        for index in (0, 1):
            with pytest.raises(RuntimeError, match=f"^{NO_METADATA}$"):
                probe.serde_object(plan, index)
        with pytest.raises(RuntimeError, match=r'^native type "Point" is not bound$'):
            probe.bound_type(plan, "Point")

    def test_empty_dict_on_an_empty_plan(self):
        plan = make_plan()
        plan.bind_types({})
        assert probe.native_serde(plan) is True

    def test_empty_plan_with_only_extra_names(self):
        plan = make_plan()
        plan.bind_types({"Color": Color})
        assert probe.native_serde(plan) is True
        assert probe.bound_type(plan, "Color") is Color

    def test_all_objects_bound_with_plain_fields(self):
        plan = shapes_plan()
        bind_shapes(plan)
        assert probe.native_serde(plan) is True

    def test_one_unbound_object_clears_it(self):
        plan = shapes_plan()
        plan.bind_types({"Point": Point})
        assert probe.native_serde(plan) is False

    def test_native_serde_before_binding(self):
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.native_serde(shapes_plan())

    @staticmethod
    def items_plan(*, keyed, kind="vector_table"):
        return make_plan(
            table("Item", [field("id", slot=0, key=keyed), field("label", "string", slot=1)]),
            table("Box", [field("count", slot=0), field("items", kind, slot=1, target="Item")]),
        )

    @staticmethod
    def bind_items(plan):
        class Item(Struct):
            id: int = 0
            label: str = ""

        class Box(Struct):
            count: int = 0
            items: list = None

        plan.bind_types({"Item": Item, "Box": Box})

    def test_vector_of_keyed_tables_is_not_native(self):
        plan = self.items_plan(keyed=True)
        self.bind_items(plan)
        assert probe.native_serde(plan) is False

    def test_vector_of_unkeyed_tables_is_native(self):
        plan = self.items_plan(keyed=False)
        self.bind_items(plan)
        assert probe.native_serde(plan) is True

    def test_single_keyed_table_is_native(self):
        plan = self.items_plan(keyed=True, kind="table")
        self.bind_items(plan)
        assert probe.native_serde(plan) is True

    def test_string_key_also_counts_as_keyed(self):
        plan = make_plan(
            table("Item", [field("id", slot=0), field("label", "string", slot=1, key=True)]),
            table("Box", [field("items", "vector_table", slot=0, target="Item")]),
        )

        class Item(Struct):
            pass

        class Box(Struct):
            pass

        plan.bind_types({"Item": Item, "Box": Box})
        assert probe.native_serde(plan) is False

    @pytest.mark.parametrize(
        "kind, options, native",
        [
            ("vector_byte", {}, False),
            ("dynamic", {"allowed_prefix": "app", "dynamic_type": "Dyn"}, False),
            ("vector_scalar", {"scalar": "uint8"}, True),
            ("vector_string", {}, True),
            ("string", {}, True),
            ("struct", {"target": "Vec"}, True),
            ("vector_struct", {"target": "Vec"}, True),
        ],
    )
    def test_field_kinds(self, kind, options, native):
        plan = make_plan(
            struct("Vec", [field("a", offset=0)], byte_size=4, min_alignment=4),
            table("Holder", [field("n", slot=0), field("value", kind, slot=1, **options), field("m", slot=2)]),
        )

        class Vec(Struct):
            a: int = 0

        class Holder(Struct):
            pass

        plan.bind_types({"Vec": Vec, "Holder": Holder})
        assert probe.native_serde(plan) is native
        # The metadata is built whatever the decision.
        assert serde(plan, 1)[2] == ("n", "value", "m")

    def test_a_missing_serde_field_on_one_object_clears_it_for_the_whole_plan(self):
        plan = make_plan(
            table("Point", [field("x", slot=0), field("y", slot=1)]),
            table("Shape", [field("name", "string", slot=0)], serde=[("name", "name"), ("gone", "gone")]),
        )
        plan.bind_types({"Point": Point, "Shape": Shape})
        assert probe.native_serde(plan) is False
        assert serde(plan, 0)[2] == ("x", "y")


# ---------------------------------------------------------------------------------------------
# Binding once


class TestBindOnce:
    def test_second_call_fails_and_first_binding_stays(self):
        class OtherPoint(Struct):
            x: int = 0
            y: int = 0

        plan = shapes_plan()
        plan.bind_types({"Point": Point})
        with pytest.raises(RuntimeError, match=f"^{ALREADY_BOUND}$"):
            plan.bind_types({"Point": OtherPoint, "Shape": Shape})
        assert probe.bound_type(plan, "Point") is Point
        with pytest.raises(RuntimeError, match=r'^native type "Shape" is not bound$'):
            probe.bound_type(plan, "Shape")
        assert probe.model_object_index(plan, Point()) == 0
        with pytest.raises(TypeError, match=r"^OtherPoint does not have exactly one"):
            probe.model_object_index(plan, OtherPoint())
        assert probe.native_serde(plan) is False

    def test_repeating_the_same_dict_also_fails(self):
        plan = shapes_plan()
        types = {"Point": Point, "Shape": Shape}
        plan.bind_types(types)
        with pytest.raises(RuntimeError, match=f"^{ALREADY_BOUND}$"):
            plan.bind_types(types)
        with pytest.raises(RuntimeError, match=f"^{ALREADY_BOUND}$"):
            plan.bind_types({})

    def test_second_call_with_a_faulty_dict_reports_the_fault(self):
        plan = shapes_plan(tag_field="kind")
        plan.bind_types({"Point": Point})
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'type'$"):
            plan.bind_types({"Point": 1})
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
            plan.bind_types({1: Point})
        with pytest.raises(ValueError, match=f"^{TAG_INCOMPLETE}$"):
            plan.bind_types({"Shape": Shape})
        assert probe.bound_type(plan, "Point") is Point

    def test_failed_first_call_leaves_the_plan_bindable(self):
        plan = shapes_plan()
        with pytest.raises(TypeError):
            plan.bind_types({"Point": Point, "Shape": "Shape"})
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.model_object_index(plan, Point())
        with pytest.raises(RuntimeError, match=r'^native type "Point" is not bound$'):
            probe.bound_type(plan, "Point")
        bind_shapes(plan)
        assert probe.model_object_index(plan, Shape()) == 1
        assert probe.native_serde(plan) is True

    def test_plans_are_bound_independently(self):
        first, second = shapes_plan(), shapes_plan()
        first.bind_types({"Point": Point})
        bind_shapes(second)
        assert probe.native_serde(first) is False
        assert probe.native_serde(second) is True
        with pytest.raises(TypeError, match=r"^Shape does not have exactly one"):
            probe.model_object_index(first, Shape())
