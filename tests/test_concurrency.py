"""Binding, classification and model-type requests racing on many threads.

Threads are released together by a barrier and write their outcomes into slots of their own; all
checks run on the main thread after every worker has finished. Nothing here depends on the global
interpreter lock for the test's own bookkeeping, so the same tests look for races on a
free-threaded interpreter. On an interpreter with the lock, the switch interval is made tiny so
that threads are interleaved as often as possible, including inside Python-level comparisons.
"""

import sys
import threading

import pytest
from trevalin import Struct

import _plan_probe as probe
from plans import field, make_plan, table

THREADS = 16
ROUNDS = 12
JOIN_TIMEOUT = 120

ALREADY_BOUND = "native model types are already bound"
NOT_BOUND = "native model types are not bound"


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_together(count, work, prepare=None):
    """Runs work(i) on `count` threads released together; returns one outcome per thread:
    ("ok", result) or ("error", exception)."""
    barrier = threading.Barrier(count, timeout=JOIN_TIMEOUT)
    outcomes = [None] * count

    def worker(i):
        try:
            if prepare is not None:
                prepare(i)
            barrier.wait()
            outcomes[i] = ("ok", work(i))
        except BaseException as exc:  # recorded and examined by the main thread
            outcomes[i] = ("error", exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "worker threads did not finish"
    assert all(o is not None for o in outcomes)
    return outcomes


def outcome_of(call):
    """("ok", value) or (exception class name, message): comparable across threads."""
    try:
        return ("ok", call())
    except Exception as exc:
        return (type(exc).__name__, str(exc))


def bare(cls):
    return object.__new__(cls)


def classify(plan, cls):
    return outcome_of(lambda: probe.model_object_index(plan, bare(cls)))


# ---------------------------------------------------------------------------------------------
# A plan of many small objects


OBJECTS = 40
OBJECT_NAMES = [f"Obj{j}" for j in range(OBJECTS)]
FIELD_NAMES = [("a", "b"), ("a", "b", "c"), ("x",), ("p", "q", "r", "s")]


def fields_of(j):
    return FIELD_NAMES[j % len(FIELD_NAMES)]


def many_objects_plan():
    return make_plan(
        *(table(name, [field(f, slot=s) for s, f in enumerate(fields_of(j))]) for j, name in enumerate(OBJECT_NAMES))
    )


def model_class(name, fields):
    namespace = {"__annotations__": {f: int for f in fields}}
    namespace.update({f: 0 for f in fields})
    return type(name, (Struct,), namespace)


# One full set of model classes per thread, reused across rounds (each round uses a fresh plan).
CLASS_SETS = [[model_class(f"T{i}_{name}", fields_of(j)) for j, name in enumerate(OBJECT_NAMES)] for i in range(THREADS)]


def types_dict(classes, extra=None):
    types = dict(zip(OBJECT_NAMES, classes))
    types.update({f"Extra{k}": classes[k % OBJECTS] for k in range(20)})
    if extra:
        types.update(extra)
    return types


# ---------------------------------------------------------------------------------------------
# bind_types on one plan from many threads


class TestConcurrentBinding:
    def check_winner(self, plan, winner):
        classes = CLASS_SETS[winner]
        for j, name in enumerate(OBJECT_NAMES):
            assert probe.bound_type(plan, name) is classes[j]
            assert probe.model_object_index(plan, bare(classes[j])) == j
            assert probe.serde_object(plan, j)[2] == fields_of(j)
        assert probe.bound_type(plan, "Extra3") is classes[3]
        assert probe.native_serde(plan) is True
        for i, other in enumerate(CLASS_SETS):
            if i != winner:
                with pytest.raises(TypeError, match=r"does not have exactly one generated FlatBuffer model base$"):
                    probe.model_object_index(plan, bare(other[0]))

    def test_exactly_one_call_wins(self):
        for _ in range(ROUNDS):
            plan = many_objects_plan()
            dicts = [types_dict(classes) for classes in CLASS_SETS]
            outcomes = run_together(THREADS, lambda i: plan.bind_types(dicts[i]))
            winners = [i for i, o in enumerate(outcomes) if o == ("ok", None)]
            assert len(winners) == 1, outcomes
            for i, (kind, value) in enumerate(outcomes):
                if i != winners[0]:
                    assert kind == "error" and type(value) is RuntimeError, outcomes
                    assert str(value) == ALREADY_BOUND
            self.check_winner(plan, winners[0])
            # Later calls still fail the same way.
            with pytest.raises(RuntimeError, match=f"^{ALREADY_BOUND}$"):
                plan.bind_types(dicts[0])

    def test_faulty_dicts_report_their_fault_whoever_wins(self):
        for _ in range(ROUNDS):
            plan = many_objects_plan()
            faulty = {i for i in range(THREADS) if i % 3 == 1}
            dicts = [
                types_dict(classes, {"Broken": 42} if i in faulty else None) for i, classes in enumerate(CLASS_SETS)
            ]
            outcomes = run_together(THREADS, lambda i: plan.bind_types(dicts[i]))
            winners = [i for i, o in enumerate(outcomes) if o == ("ok", None)]
            assert len(winners) == 1 and winners[0] not in faulty, outcomes
            for i, (kind, value) in enumerate(outcomes):
                if i == winners[0]:
                    continue
                assert kind == "error"
                if i in faulty:
                    assert type(value) is TypeError
                    assert str(value) == "'int' object is not an instance of 'type'"
                else:
                    assert type(value) is RuntimeError and str(value) == ALREADY_BOUND
            self.check_winner(plan, winners[0])

    def test_readers_see_nothing_or_the_complete_binding(self):
        readers = THREADS - 1
        calls = 300
        for _ in range(ROUNDS):
            plan = many_objects_plan()
            classes = CLASS_SETS[0]
            types = types_dict(classes)
            expected_fields = [fields_of(j) for j in range(OBJECTS)]

            def work(i):
                if i == readers:
                    return plan.bind_types(types)
                seen = []
                for k in range(calls):
                    j = (i + k) % OBJECTS
                    seen.append((j, classify(plan, classes[j]), outcome_of(lambda: probe.serde_object(plan, j)[2])))
                return seen

            outcomes = run_together(readers + 1, work)
            assert outcomes[readers] == ("ok", None)
            for kind, seen in outcomes[:readers]:
                assert kind == "ok", seen
                # Each reader's observations, in its own order: some "not bound", then only the
                # complete binding; once seen, the binding never disappears.
                bound = False
                for j, classified, kwnames in seen:
                    for observed, complete in ((classified, ("ok", j)), (kwnames, ("ok", expected_fields[j]))):
                        if observed == ("RuntimeError", NOT_BOUND) and not bound:
                            continue
                        bound = True
                        assert observed == complete


# ---------------------------------------------------------------------------------------------
# Classification from many threads


class Point(Struct):
    x: int = 0
    y: int = 0


class Shape(Struct):
    center: object = None
    name: str = ""


def shapes_plan(first="Point"):
    point = table("Point", [field("x", slot=0), field("y", slot=1)])
    shape = table("Shape", [field("center", "table", slot=0, target="Point"), field("name", "string", slot=1)])
    plan = make_plan(point, shape) if first == "Point" else make_plan(shape, point)
    plan.bind_types({"Point": Point, "Shape": Shape})
    return plan


EXACTLY_ONE = "{} does not have exactly one generated FlatBuffer model base"
CHANGES = "{} changes the serialized trevalin fields of {}"


def fresh_subclasses(count):
    """A mix of acceptable and refused subclasses with their expected classification on a
    plan where Point is object 0 and Shape object 1. Returns (classes, expected, kinds)."""
    classes, expected, kinds = [], [], []
    for k in range(count):
        variant = k % 5
        if variant == 0:
            cls = type(f"SubPoint{k}", (Point,), {})
            want, kind = ("ok", 0), "valid"
        elif variant == 1:
            cls = type(f"SubShape{k}", (Shape,), {})
            want, kind = ("ok", 1), "valid"
        elif variant == 2:
            cls = type(f"Swapped{k}", (Point,), {"__struct_fields__": ("y", "x")})
            want, kind = ("ok", 0), "valid"
        elif variant == 3:
            cls = type(f"Wider{k}", (Shape,), {"__annotations__": {"extra": int}, "extra": 0})
            want, kind = ("TypeError", CHANGES.format(f"Wider{k}", "Shape")), "fields"
        else:
            cls = type(f"Both{k}", (Point, Shape), {})
            want, kind = ("TypeError", EXACTLY_ONE.format(f"Both{k}")), "bases"
        classes.append(cls)
        expected.append(want)
        kinds.append(kind)
    return classes, expected, kinds


class TestConcurrentClassification:
    def test_many_fresh_subclasses(self):
        count = 60
        for _ in range(ROUNDS):
            plan = shapes_plan()
            classes, expected, kinds = fresh_subclasses(count)

            def work(i):
                order = list(range(count))
                order = order[i * 7 % count:] + order[: i * 7 % count]
                if i % 2:
                    order.reverse()
                return [(k, classify(plan, classes[k])) for k in order for _ in range(2)]

            outcomes = run_together(THREADS, work)
            for kind, results in outcomes:
                assert kind == "ok", results
                assert len(results) == 2 * count
                for k, got in results:
                    assert got == expected[k], (classes[k].__name__, got)

            # Afterwards: every accepted subclass is cached, no refused one is.
            for k, cls in enumerate(classes):
                if kinds[k] == "valid":
                    cls.__struct_fields__ = ("changed",)
                elif kinds[k] == "fields":
                    cls.__struct_fields__ = Shape.__struct_fields__
            for k, cls in enumerate(classes):
                got = classify(plan, cls)
                if kinds[k] == "fields":
                    assert got == ("ok", 1)
                else:
                    assert got == expected[k]

    def test_one_subclass_from_every_thread(self):
        for _ in range(ROUNDS):
            plan = shapes_plan()
            cls = type("Shared", (Shape,), {})
            outcomes = run_together(THREADS, lambda i: [classify(plan, cls) for _ in range(20)])
            for kind, results in outcomes:
                assert kind == "ok"
                assert results == [("ok", 1)] * 20
            cls.__struct_fields__ = ()
            assert classify(plan, cls) == ("ok", 1)

    def test_one_subclass_on_several_plans(self):
        plans = [shapes_plan("Point" if p % 2 == 0 else "Shape") for p in range(4)]
        point_index = [0 if p % 2 == 0 else 1 for p in range(4)]
        for _ in range(ROUNDS):
            cls = type("Roaming", (Point,), {})

            def work(i):
                return [(p, classify(plans[p], cls)) for r in range(5) for p in range((i + r) % 4, 4)]

            for kind, results in run_together(THREADS, work):
                assert kind == "ok"
                for p, got in results:
                    assert got == ("ok", point_index[p])

    def test_bound_classes_and_subclasses_mixed(self):
        for _ in range(ROUNDS):
            plan = shapes_plan()
            subs = [type(f"P{k}", (Point,), {}) for k in range(10)]

            def work(i):
                results = []
                for k in range(10):
                    results.append(classify(plan, Point if (i + k) % 2 else Shape))
                    results.append(classify(plan, subs[(i + k) % 10]))
                    results.append(outcome_of(lambda: probe.require_model_type(plan, ("Shape", bare(subs[k])))))
                return results

            for i, (kind, results) in enumerate(run_together(THREADS, work)):
                assert kind == "ok"
                for k in range(10):
                    assert results[3 * k] == ("ok", 0 if (i + k) % 2 else 1)
                    assert results[3 * k + 1] == ("ok", 0)
                    assert results[3 * k + 2] == ("TypeError", f"P{k} must subclass Shape")


# ---------------------------------------------------------------------------------------------
# Field comparisons that run Python code


class SlowName:
    """A field name whose equality test runs a little Python code, so that threads are switched
    while the field lists are being compared."""

    def __init__(self, name, fail_on=None):
        self.name = name
        self.fail_on = fail_on

    def __eq__(self, other):
        if self.fail_on is not None and getattr(self.fail_on, "fail", False):
            raise ArithmeticError("comparison refused on this thread")
        total = 0
        for n in range(200):
            total += n * n
        return total >= 0 and self.name == other

    __hash__ = object.__hash__


class TestComparisonsRunningPython:
    def test_slow_comparisons(self):
        count = 24
        for _ in range(ROUNDS):
            plan = shapes_plan()
            classes, expected = [], []
            for k in range(count):
                if k % 3 == 0:
                    names, want = ("y", "x"), ("ok", 0)
                    base = Point
                elif k % 3 == 1:
                    names, want = ("center", "name"), ("ok", 1)
                    base = Shape
                else:
                    names = ("x", "z")
                    base = Point
                    want = ("TypeError", CHANGES.format(f"Slow{k}", "Point"))
                cls = type(f"Slow{k}", (base,), {})
                cls.__struct_fields__ = tuple(SlowName(n) for n in names)
                classes.append(cls)
                expected.append(want)

            def work(i):
                return [(k, classify(plan, classes[(k + i) % count])) for k in range(count)]

            for i, (kind, results) in enumerate(run_together(THREADS, work)):
                assert kind == "ok"
                for k, got in results:
                    assert got == expected[(k + i) % count]

    def test_comparison_failing_on_some_threads(self):
        for _ in range(ROUNDS):
            plan = shapes_plan()
            local = threading.local()
            cls = type("Picky", (Point,), {})
            cls.__struct_fields__ = (SlowName("x", fail_on=local), SlowName("y", fail_on=local))
            failing = {i for i in range(THREADS) if i % 2 == 0}

            def prepare(i):
                local.fail = i in failing

            outcomes = run_together(THREADS, lambda i: [classify(plan, cls) for _ in range(5)], prepare)
            refused = ("TypeError", CHANGES.format("Picky", "Point"))
            for i, (kind, results) in enumerate(outcomes):
                assert kind == "ok"
                for got in results:
                    if i in failing:
                        # Refused while not yet cached; answered from the cache afterwards.
                        assert got in (("ok", 0), refused)
                    else:
                        assert got == ("ok", 0)
            # The succeeding threads cached it; the failing ones did not spoil the cache.
            local.fail = True
            assert classify(plan, cls) == ("ok", 0)


# ---------------------------------------------------------------------------------------------
# model_types from many threads


class TestConcurrentModelTypes:
    def test_requests_on_one_plan(self):
        class MyShape(Shape):
            pass

        class MyPoint(Point):
            pass

        class MyPoint2(Point):
            pass

        plan = shapes_plan()
        good = [(Shape, MyShape, "center", Point, MyPoint)]
        conflicting = good + [(Shape, MyShape, "center", Point, MyPoint2)]

        def work(i):
            results = []
            for r in range(30):
                if (i + r) % 3 == 0:
                    results.append(outcome_of(lambda: type(plan.model_types(Shape, MyShape, conflicting)).__name__))
                else:
                    results.append(outcome_of(lambda: type(plan.model_types(Shape, MyShape, iter(good))).__name__))
            return results

        for i, (kind, results) in enumerate(run_together(THREADS, work)):
            assert kind == "ok"
            for r, got in enumerate(results):
                if (i + r) % 3 == 0:
                    assert got == ("TypeError", "native model field has conflicting subclass bindings")
                else:
                    assert got == ("ok", "NativeModelTypes")


# ---------------------------------------------------------------------------------------------
# The FlatBuffer codec's per-plan facts, built by whichever pack or unpack comes first


class TestFirstPackAndUnpack:
    def test_fresh_plans_packed_and_unpacked_from_every_thread(self):
        shape = Shape(center=Point(x=3, y=-4), name="first")
        reference = bytes(shapes_plan().pack("Shape", shape))
        for _ in range(ROUNDS):
            plan = shapes_plan()

            def work(i):
                # Half the threads meet the fresh plan with unpack, half with pack.
                if i % 2:
                    got = plan.unpack("Shape", reference)
                    return got.center.x, got.center.y, got.name
                return bytes(plan.pack("Shape", shape))

            for i, (kind, result) in enumerate(run_together(THREADS, work)):
                assert kind == "ok"
                assert result == ((3, -4, "first") if i % 2 else reference)
