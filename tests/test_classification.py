"""Model-object classification (with the per-plan subclass cache) and the plan's lookup accessors:
objects and bound classes by name, the expected-model check, enum mapping and the buffer errors."""

import enum
import gc
import weakref

import pytest
from trevalin import Struct

import _plan_probe as probe
import quorvel._runtime as runtime
from plans import field, make_plan, table

NOT_BOUND = "native model types are not bound"


class Point(Struct):
    x: int = 0
    y: int = 0


class Shape(Struct):
    center: Point = None
    name: str = ""


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2


def bare(cls):
    """An instance made without running the model's constructor (which reads the field list);
    classification only looks at the instance's class."""
    return object.__new__(cls)


def exactly_one(name):
    return f"^{name} does not have exactly one generated FlatBuffer model base$"


def changes(sub, base):
    return f"^{sub} changes the serialized trevalin fields of {base}$"


POINT_TABLE = table("Point", [field("x", slot=0), field("y", slot=1)])
SHAPE_TABLE = table(
    "Shape",
    [
        field("center", "table", slot=0, target="Point"),
        field("name", "string", slot=1),
        field("color", slot=2, enum_type="Color"),
        field("plain", slot=3),
        field("missing_enum", slot=4, enum_type="Paint"),
    ],
    serde=[("center", "center"), ("name", "name")],
)


@pytest.fixture
def plan():
    """Objects Point (0) and Shape (1), bound to Point, Shape and the enum Color."""
    p = make_plan(POINT_TABLE, SHAPE_TABLE)
    p.bind_types({"Point": Point, "Shape": Shape, "Color": Color})
    return p


class AttributeReads(type):
    """Metaclass that counts reads of the attributes classification looks at."""

    watched = ("__mro__", "__struct_fields__")

    def __init__(cls, *args, **kwargs):
        super().__init__(*args, **kwargs)
        type.__setattr__(cls, "reads", {name: 0 for name in AttributeReads.watched})

    def __getattribute__(cls, name):
        if name in AttributeReads.watched:
            # While the class is being created (before __init__) there is no counter yet.
            reads = type.__getattribute__(cls, "__dict__").get("reads")
            if reads is not None:
                reads[name] += 1
        return super().__getattribute__(name)


def reset_reads(cls):
    type.__getattribute__(cls, "reads").update({name: 0 for name in AttributeReads.watched})


def reads_of(cls):
    return dict(type.__getattribute__(cls, "reads"))


# ---------------------------------------------------------------------------------------------
# Classes bound by bind_types


class TestBoundClasses:
    def test_instance_of_bound_class(self, plan):
        assert probe.model_object_index(plan, Point(x=1, y=2)) == 0
        assert probe.model_object_index(plan, Shape()) == 1

    def test_bound_class_is_found_without_reading_its_attributes(self):
        class Counted(Struct, metaclass=AttributeReads):
            x: int = 0
            y: int = 0

        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": Counted})
        reset_reads(Counted)
        for _ in range(3):
            assert probe.model_object_index(p, Counted()) == 0
        assert reads_of(Counted) == {"__mro__": 0, "__struct_fields__": 0}

    def test_classification_needs_binding(self):
        p = make_plan(POINT_TABLE)
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.model_object_index(p, Point())
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.model_object_index(p, 5)

    def test_a_bound_class_is_classified_by_its_own_binding_even_if_it_derives_from_another(self):
        class Derived(Point):
            pass

        p = make_plan(POINT_TABLE, table("Derived", [field("x", slot=0), field("y", slot=1)]))
        p.bind_types({"Point": Point, "Derived": Derived})
        assert probe.model_object_index(p, Derived()) == 1

    def test_the_actual_class_counts_not_a_claimed_one(self, plan):
        class Impostor:
            @property
            def __class__(self):
                return Point

        assert isinstance(Impostor(), Point)
        with pytest.raises(TypeError, match=exactly_one("Impostor")):
            probe.model_object_index(plan, Impostor())

        class Disguised(Point):
            @property
            def __class__(self):
                return Shape

        assert probe.model_object_index(plan, Disguised()) == 0

    def test_the_bound_class_itself_is_not_classified(self, plan):
        # Classification looks at the object's class: a class object is an instance of `type`.
        with pytest.raises(TypeError, match=exactly_one("type")):
            probe.model_object_index(plan, Point)


# ---------------------------------------------------------------------------------------------
# Subclasses of bound classes


class TestSubclasses:
    def test_subclass_without_new_fields_is_its_base_object(self, plan):
        class MyPoint(Point):
            def norm(self):
                return abs(self.x) + abs(self.y)

        class MyShape(Shape):
            pass

        assert probe.model_object_index(plan, MyPoint(x=3)) == 0
        assert probe.model_object_index(plan, MyShape()) == 1

    def test_deep_subclass(self, plan):
        class A(Point):
            pass

        class B(A):
            pass

        class C(B):
            pass

        assert probe.model_object_index(plan, C()) == 0

    def test_mixin_bases_are_ignored(self, plan):
        class Mixin:
            def describe(self):
                return "shape"

        class Labelled(Mixin, Shape):
            pass

        assert probe.model_object_index(plan, Labelled()) == 1

    def test_second_classification_comes_from_the_cache(self, plan):
        class Cached(Point, metaclass=AttributeReads):
            pass

        reset_reads(Cached)
        assert probe.model_object_index(plan, Cached()) == 0
        first = reads_of(Cached)
        assert first["__mro__"] >= 1 and first["__struct_fields__"] >= 1
        reset_reads(Cached)
        for _ in range(3):
            assert probe.model_object_index(plan, Cached()) == 0
        assert reads_of(Cached) == {"__mro__": 0, "__struct_fields__": 0}

    def test_cached_answer_survives_a_later_change_of_the_fields(self, plan):
        class Frozen(Point):
            pass

        class Twin(Point):
            pass

        assert probe.model_object_index(plan, bare(Frozen)) == 0
        Frozen.__struct_fields__ = ("x", "y", "z")
        Twin.__struct_fields__ = ("x", "y", "z")
        assert probe.model_object_index(plan, bare(Frozen)) == 0
        with pytest.raises(TypeError, match=changes("Twin", "Point")):
            probe.model_object_index(plan, bare(Twin))

    def test_cache_belongs_to_the_plan(self):
        class Sub(Point):
            pass

        first = make_plan(POINT_TABLE, SHAPE_TABLE)
        first.bind_types({"Point": Point, "Shape": Shape})
        second = make_plan(SHAPE_TABLE, POINT_TABLE)
        second.bind_types({"Point": Point, "Shape": Shape})
        assert probe.model_object_index(first, Sub()) == 0
        assert probe.model_object_index(second, Sub()) == 1
        assert probe.model_object_index(first, Sub()) == 0
        third = make_plan(POINT_TABLE)
        third.bind_types({"Color": Color})
        with pytest.raises(TypeError, match=exactly_one("Sub")):
            probe.model_object_index(third, Sub())

    def test_reordered_fields_are_accepted(self, plan):
        class Swapped(Point):
            __struct_fields__ = ("y", "x")

        assert Swapped.__struct_fields__ == ("y", "x")
        assert probe.model_object_index(plan, Swapped()) == 0

    def test_equal_but_distinct_field_names_are_accepted(self, plan):
        class Rebuilt(Point):
            pass

        Rebuilt.__struct_fields__ = tuple("".join(list(n)) for n in ("x", "y"))
        assert probe.model_object_index(plan, bare(Rebuilt)) == 0

    def test_fields_compare_with_equality(self, plan):
        class Anything:
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

        class Loose(Point):
            pass

        Loose.__struct_fields__ = (Anything(), Anything())
        assert probe.model_object_index(plan, bare(Loose)) == 0

    def test_added_field_is_refused(self, plan):
        class Wider(Point):
            z: int = 0

        assert Wider.__struct_fields__ == ("x", "y", "z")
        with pytest.raises(TypeError, match=changes("Wider", "Point")):
            probe.model_object_index(plan, Wider())

    def test_removed_field_is_refused(self, plan):
        class Narrower(Shape):
            pass

        Narrower.__struct_fields__ = ("center",)
        with pytest.raises(TypeError, match=changes("Narrower", "Shape")):
            probe.model_object_index(plan, Narrower())

    @pytest.mark.parametrize("fields", [("x", "z"), ("x", "x"), ("y", "y"), (), ("x", "y", "x")])
    def test_changed_field_names_are_refused(self, plan, fields):
        class Changed(Point):
            pass

        Changed.__struct_fields__ = fields
        with pytest.raises(TypeError, match=changes("Changed", "Point")):
            probe.model_object_index(plan, bare(Changed))

    def test_failed_classification_is_not_cached(self, plan):
        class Fixable(Point):
            pass

        Fixable.__struct_fields__ = ("x",)
        for _ in range(2):
            with pytest.raises(TypeError, match=changes("Fixable", "Point")):
                probe.model_object_index(plan, bare(Fixable))
        Fixable.__struct_fields__ = ("x", "y")
        assert probe.model_object_index(plan, bare(Fixable)) == 0

    def test_failing_comparison_counts_as_mismatch(self, plan):
        class Exploding:
            def __eq__(self, other):
                raise ZeroDivisionError("boom")

            __hash__ = object.__hash__

        class Odd(Point):
            pass

        Odd.__struct_fields__ = (Exploding(), Exploding())
        with pytest.raises(TypeError, match=changes("Odd", "Point")):
            probe.model_object_index(plan, bare(Odd))

    def test_comparison_failing_once_is_retried_later(self, plan):
        class Flaky:
            failures = 1

            def __init__(self, name):
                self.name = name

            def __eq__(self, other):
                if Flaky.failures:
                    Flaky.failures -= 1
                    raise LookupError("transient")
                return self.name == other

            __hash__ = object.__hash__

        class Sub(Point):
            pass

        Sub.__struct_fields__ = (Flaky("x"), Flaky("y"))
        with pytest.raises(TypeError, match=changes("Sub", "Point")):
            probe.model_object_index(plan, bare(Sub))
        assert probe.model_object_index(plan, bare(Sub)) == 0

    def test_fields_are_compared_with_the_class_bound_under_the_object_name(self):
        # Two classes bound to one object (through keys of equal text); a subclass of the first
        # is checked against the one bound under the name, which is the later entry.
        class OtherKey(str):
            def __eq__(self, other):
                return self is other

            def __hash__(self):
                return hash(("other", str(self)))

        class First(Struct):
            x: int = 0
            y: int = 0

        class Second(Struct):
            x: int = 0
            y: int = 0
            z: int = 0

        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": First, OtherKey("Point"): Second})
        assert probe.bound_type(p, "Point") is Second
        assert probe.model_object_index(p, First()) == 0
        assert probe.model_object_index(p, Second()) == 0

        class FromFirst(First):
            pass

        with pytest.raises(TypeError, match=changes("FromFirst", "Second")):
            probe.model_object_index(p, FromFirst())

        class FromSecond(Second):
            pass

        assert probe.model_object_index(p, FromSecond()) == 0

    def test_two_bases_bound_to_one_object_are_accepted(self):
        class OtherKey(str):
            def __eq__(self, other):
                return self is other

            def __hash__(self):
                return hash(("other", str(self)))

        class First(Struct):
            x: int = 0
            y: int = 0

        class Second(Struct):
            x: int = 0
            y: int = 0

        class Both(First, Second):
            pass

        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        p.bind_types({"Point": First, OtherKey("Point"): Second, "Shape": Shape})
        assert probe.model_object_index(p, Both()) == 0

    def test_bases_of_two_objects_are_refused(self, plan):
        class Both(Point, Shape):
            pass

        with pytest.raises(TypeError, match=exactly_one("Both")):
            probe.model_object_index(plan, Both())

    def test_refusal_of_two_bases_is_not_cached(self, plan):
        class Both(Point, Shape):
            pass

        for _ in range(2):
            with pytest.raises(TypeError, match=exactly_one("Both")):
                probe.model_object_index(plan, Both())

    @pytest.mark.parametrize("value, name", [(5, "int"), ("text", "str"), (None, "NoneType"), (object(), "object")])
    def test_objects_of_builtin_classes_are_refused(self, plan, value, name):
        with pytest.raises(TypeError, match=exactly_one(name)):
            probe.model_object_index(plan, value)

    def test_plain_class_is_refused(self, plan):
        class Plain:
            __struct_fields__ = ("x", "y")

        with pytest.raises(TypeError, match=exactly_one("Plain")):
            probe.model_object_index(plan, Plain())

    def test_unbound_model_class_is_refused(self, plan):
        class Loose(Struct):
            x: int = 0
            y: int = 0

        with pytest.raises(TypeError, match=exactly_one("Loose")):
            probe.model_object_index(plan, bare(Loose))

    def test_subclass_fields_must_be_a_tuple(self, plan):
        class Listed(Point):
            pass

        Listed.__struct_fields__ = ["x", "y"]
        with pytest.raises(TypeError, match=r"^'list' object is not an instance of 'tuple'$"):
            probe.model_object_index(plan, bare(Listed))
        # Not cached: fixing the attribute makes it acceptable.
        Listed.__struct_fields__ = ("x", "y")
        assert probe.model_object_index(plan, bare(Listed)) == 0

    def test_base_fields_must_be_a_tuple(self):
        class Base(Struct):
            pass

        class Sub(Base):
            pass

        Base.__struct_fields__ = None
        Sub.__struct_fields__ = ("x", "y")
        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": Base})
        with pytest.raises(TypeError, match=r"^'None' is not an instance of 'tuple'$"):
            probe.model_object_index(p, bare(Sub))

    def test_subclass_fields_are_read_before_base_fields(self):
        class Base(Struct):
            pass

        class Sub(Base):
            pass

        Base.__struct_fields__ = {"x": 0}
        Sub.__struct_fields__ = ["x"]
        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": Base})
        with pytest.raises(TypeError, match=r"^'list' object is not an instance of 'tuple'$"):
            probe.model_object_index(p, bare(Sub))

    def test_missing_fields_attribute_passes_through(self):
        class Base:
            pass

        class Sub(Base):
            pass

        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": Base})
        with pytest.raises(AttributeError, match="__struct_fields__"):
            probe.model_object_index(p, bare(Sub))

    def test_mro_is_read_as_an_attribute(self, plan):
        class FakeMro(type):
            def __getattribute__(cls, name):
                if name == "__mro__":
                    return (cls, Shape, object)
                return super().__getattribute__(name)

        class Pretender(metaclass=FakeMro):
            __struct_fields__ = ("center", "name")

        assert probe.model_object_index(plan, Pretender()) == 1

    @pytest.mark.parametrize("mro, message", [([object], "'list' object is not an instance of 'tuple'"),
                                              (None, "'None' is not an instance of 'tuple'")])
    def test_mro_must_be_a_tuple(self, plan, mro, message):
        class BadMro(type):
            def __getattribute__(cls, name):
                if name == "__mro__":
                    return mro
                return super().__getattribute__(name)

        class Sub(Point, metaclass=BadMro):
            pass

        with pytest.raises(TypeError) as info:
            probe.model_object_index(plan, bare(Sub))
        assert str(info.value) == message

    def test_error_reading_mro_passes_through(self, plan):
        class NoMro(type):
            def __getattribute__(cls, name):
                if name == "__mro__":
                    raise LookupError("no mro here")
                return super().__getattribute__(name)

        class Sub(Point, metaclass=NoMro):
            pass

        with pytest.raises(LookupError, match="^no mro here$"):
            probe.model_object_index(plan, bare(Sub))

    def test_cached_subclass_lives_as_long_as_the_plan(self):
        p = make_plan(POINT_TABLE)
        p.bind_types({"Point": Point})

        def classify():
            class Ephemeral(Point):
                pass

            assert probe.model_object_index(p, Ephemeral()) == 0
            return weakref.ref(Ephemeral)

        ref = classify()
        gc.collect()
        assert ref() is not None
        del p
        gc.collect()
        assert ref() is None

    def test_refused_subclass_is_not_kept(self, plan):
        def classify():
            class Refused(Point):
                z: int = 0

            with pytest.raises(TypeError):
                probe.model_object_index(plan, Refused())
            return weakref.ref(Refused)

        ref = classify()
        gc.collect()
        assert ref() is None


# ---------------------------------------------------------------------------------------------
# require_model_type


class TestRequireModelType:
    def test_matching_model_passes(self, plan):
        assert probe.require_model_type(plan, ("Point", Point())) is None
        assert probe.require_model_type(plan, ("Shape", Shape())) is None

    def test_subclass_of_the_expected_model_passes(self, plan):
        class MyShape(Shape):
            pass

        assert probe.require_model_type(plan, ("Shape", MyShape())) is None

    def test_model_of_another_object(self, plan):
        with pytest.raises(TypeError, match=r"^Shape must subclass Point$"):
            probe.require_model_type(plan, ("Point", Shape()))

    def test_names_the_models_class_and_the_bound_class(self):
        class GeneratedPoint(Struct):
            x: int = 0
            y: int = 0

        class GeneratedShape(Struct):
            center: object = None
            name: str = ""

        class Fancy(GeneratedShape):
            pass

        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        p.bind_types({"Point": GeneratedPoint, "Shape": GeneratedShape})
        with pytest.raises(TypeError, match=r"^Fancy must subclass GeneratedPoint$"):
            probe.require_model_type(p, ("Point", Fancy()))

    def test_expected_object_not_bound(self):
        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        p.bind_types({"Shape": Shape})
        with pytest.raises(RuntimeError, match=r'^native type "Point" is not bound$'):
            probe.require_model_type(p, ("Point", Shape()))

    def test_classification_errors_pass_through(self, plan):
        class Plain:
            pass

        with pytest.raises(TypeError, match=exactly_one("Plain")):
            probe.require_model_type(plan, ("Point", Plain()))

        class Wider(Point):
            z: int = 0

        with pytest.raises(TypeError, match=changes("Wider", "Point")):
            probe.require_model_type(plan, ("Point", Wider()))

    def test_before_binding(self):
        p = make_plan(POINT_TABLE)
        with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
            probe.require_model_type(p, ("Point", Point()))


# ---------------------------------------------------------------------------------------------
# apply_enum


class TestApplyEnum:
    def test_field_without_enum_returns_the_very_object(self, plan):
        for value in (12345678901234567890, [1, 2], object(), None):
            assert probe.apply_enum(plan, ("Shape", "plain", value)) is value

    def test_field_without_enum_needs_no_binding(self):
        p = make_plan(POINT_TABLE)
        value = object()
        assert probe.apply_enum(p, ("Point", "x", value)) is value

    def test_enum_class_is_called_with_the_value(self, plan):
        assert probe.apply_enum(plan, ("Shape", "color", 2)) is Color.GREEN
        assert probe.apply_enum(plan, ("Shape", "color", 1)) is Color.RED

    def test_enum_class_error_passes_through(self, plan):
        with pytest.raises(ValueError, match="3 is not a valid Color"):
            probe.apply_enum(plan, ("Shape", "color", 3))

    def test_any_bound_class_is_called_with_one_positional_argument(self):
        calls = []

        class Recorder:
            def __init__(self, *args, **kwargs):
                calls.append((args, kwargs))

        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        p.bind_types({"Color": Recorder})
        value = object()
        result = probe.apply_enum(p, ("Shape", "color", value))
        assert type(result) is Recorder
        assert calls == [((value,), {})]

    def test_enum_name_not_in_the_bound_dict(self, plan):
        with pytest.raises(RuntimeError, match=r'^native type "Paint" is not bound$'):
            probe.apply_enum(plan, ("Shape", "missing_enum", 1))

    def test_enum_field_before_binding(self):
        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        with pytest.raises(RuntimeError, match=r'^native type "Color" is not bound$'):
            probe.apply_enum(p, ("Shape", "color", 1))


# ---------------------------------------------------------------------------------------------
# Lookups by name


class TestLookups:
    def test_object_index_by_name(self, plan):
        assert probe.object_index(plan, "Point") == 0
        assert probe.object_index(plan, "Shape") == 1

    def test_object_lookup_needs_no_binding(self):
        p = make_plan(POINT_TABLE, SHAPE_TABLE)
        assert probe.object_index(p, "Shape") == 1

    @pytest.mark.parametrize(
        "name, shown",
        [
            ("Nope", '"Nope"'),
            ("point", '"point"'),
            ("Point ", '"Point "'),
            ('say "hi"', r'"say \"hi\""'),
            ("back\\slash", r'"back\\slash"'),
            ("line\nbreak\ttab", r'"line\nbreak\ttab"'),
        ],
    )
    def test_unknown_object_name(self, plan, name, shown):
        with pytest.raises(ValueError) as info:
            probe.object_index(plan, name)
        assert str(info.value) == f"unknown native table {shown}"

    def test_empty_name_on_an_empty_plan(self):
        p = make_plan()
        with pytest.raises(ValueError) as info:
            probe.object_index(p, "")
        assert str(info.value) == 'unknown native table ""'

    def test_duplicate_object_name_is_its_last_object(self):
        p = make_plan(POINT_TABLE, SHAPE_TABLE, POINT_TABLE)
        assert probe.object_index(p, "Point") == 2

    def test_bound_type_by_name(self, plan):
        assert probe.bound_type(plan, "Point") is Point
        assert probe.bound_type(plan, "Color") is Color

    def test_bound_type_before_binding(self):
        p = make_plan(POINT_TABLE)
        with pytest.raises(RuntimeError) as info:
            probe.bound_type(p, "Point")
        assert str(info.value) == 'native type "Point" is not bound'

    @pytest.mark.parametrize("name, shown", [("Circle", '"Circle"'), ("", '""'), ('a"b', r'"a\"b"')])
    def test_bound_type_of_an_unbound_name(self, plan, name, shown):
        with pytest.raises(RuntimeError) as info:
            probe.bound_type(plan, name)
        assert str(info.value) == f"native type {shown} is not bound"


# ---------------------------------------------------------------------------------------------
# Buffer errors


class TestBufferErrors:
    @pytest.mark.parametrize(
        "raise_error, cls",
        [(probe.raise_bounds_error, runtime.BufferBoundsError), (probe.raise_invalid_error, runtime.InvalidBufferError)],
    )
    @pytest.mark.parametrize("message", ["union NONE discriminator has a payload", "", "grö→ße"])
    def test_error_class_and_message(self, raise_error, cls, message):
        p = make_plan()
        with pytest.raises(cls) as info:
            raise_error(p, message)
        assert type(info.value) is cls
        assert info.value.args == (message,)
        assert str(info.value) == message


def test_class_swapped_away_during_classification_stays_alive():
    # The field comparison runs Python code that reassigns the object's class and collects garbage;
    # the class being classified must survive until the call is done.
    class Base:
        __struct_fields__ = ("a",)

    state = {}

    class Collects:
        def __eq__(self, other):
            gc.collect()
            return other == "a"

        __hash__ = object.__hash__

    class Meta(type):
        @property
        def __mro__(cls):  # the class itself left out, so only its instance holds it
            return (Base, object)

        @property
        def __struct_fields__(cls):
            state.pop("victim").__class__ = Base
            return (Collects(),)

    plan = make_plan(table("T", [field("a")]))
    plan.bind_types({"T": Base})
    state["victim"] = Meta("Sub", (Base,), {})()
    assert probe.model_object_index(plan, state["victim"]) == 0
