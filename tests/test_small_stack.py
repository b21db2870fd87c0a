"""The deepest nesting each reader and writer accepts, and one level more, on threads with small
stacks: the result or the usual error, never a crash. Each case runs in an interpreter of its own."""

import re
import threading

import msgpack
import pytest

from decoding import make_plan
from isolated import run_python
from planwriter import arm, field, nested_arrays, obj, ordered_map, pack, plan_bytes, string_field
from quorvel._native import NativePlan
from trevalin import Struct

MP, JS = "ValueError: cannot decode MessagePack: ", "ValueError: cannot decode JSON: "
STACK = r"RecursionError: Stack overflow \(used \d+ kB\) while "  # the stack gave out before the budget
MP_DEPTH, JS_DEPTH = MP + "depth limit exceeded", JS + "Encountered nesting of JSON maps and arrays more .*"
JS_BEYOND, MODELS = f"({JS_DEPTH}|{JS}{STACK}.*)", STACK + "decoding a generated model.*"
BUFFERED_IN = "cannot decode buffered {} field: "
BUFFERED = "ValueError: " + BUFFERED_IN + "invalid type: sequence, expected i16.*"
JS_GENERIC = "(" + JS + "{} .*|" + JS + STACK + ".*)"  # a deep generic JSON value may meet the guard first


class Node(Struct):
    child: object = None


class Late(Struct):
    next: object = None


class Word(Struct):
    next: str = None


def doc(fmt, key, depth):
    """`key`'s value nests `depth` levels with the root map ("choice": a union entry that waits for
    its tag, its arms disagreeing on "n"; "child": models)."""
    levels = depth - (2 if key == "choice" else 1)
    if fmt == "mp":
        inner = b"\x91" * (levels - 1) + b"\x90"
        if key == "child":
            return b"\x81\xa5child" * (depth - 1) + b"\x80"
        if key == "choice":
            return b"\x81\xa6choice\x82\xa1n%s\xa4type\xa4leaf" % inner
        return b"\x81" + msgpack.packb(key) + inner
    inner = b"[" * levels + b"]" * levels
    if key == "child":
        return b'{"child": ' * (depth - 1) + b"{}" + b"}" * (depth - 1)
    if key == "choice":
        return b'{"choice": {"n": %s, "type": "leaf"}}' % inner
    return b'{"%s": %s}' % (key.encode(), inner)


def nodes():
    return make_plan([obj("Node", [field("child", 0, kind="table", target="Node")])], {"Node": Node})


def decoding(fmt, key, depth):
    plan, root = (nodes(), "Node") if key == "child" else (make_plan(), "Holder")
    data, strict = doc(fmt, key, depth), key != "nums"
    return lambda: plan.decode_serde(root, data, fmt == "js", fallback_decoders={"extra": len}, strict=strict)


def late_tags(fmt, depth):
    """`depth` tagged unions nested in "next", each tag after the value: the arms disagree on "next",
    so each value waits for its tag and is read again, by a reader of its own, deeper in the stack."""
    arms = [arm(1, "Late"), arm(2, "Word")]
    tagged = {"serde_tag_field": "type"}
    plan = make_plan([obj("Late", [field("next", 0, kind="union", arms=arms)], serde_tag="late", **tagged),
                      obj("Word", [string_field("next", 0)], serde_tag="word", **tagged)], {"Late": Late, "Word": Word})
    if fmt == "mp":
        data = b"\x82\xa4next" * depth + b"\x81\xa4type\xa4late" + b"\xa4type\xa4late" * depth
    else:
        data = b'{"next": ' * depth + b'{"type": "late"}' + b', "type": "late"}' * depth
    return lambda: plan.decode_serde("Late", data, fmt == "js", fallback_decoders={})


def loading(depth, where):
    # A field's default lies five levels down the plan document.
    default = field("deep", 0, kind="table", target="Deep", default=nested_arrays(depth - 5))
    data = (plan_bytes([obj("Deep", [default])]) if where == "default"
            else pack(ordered_map([("extra", nested_arrays(depth - 1)), ("version", 2), ("objects", [])])))
    NativePlan(plan_bytes([]))  # what a plan imports, imported on a roomy stack
    return lambda: NativePlan(data)


def writing(how):
    plan, head = nodes(), None
    for _ in range(5000):
        head = Node(child=head)
    if how == "pack":
        return lambda: plan.pack("Node", head)
    return lambda: plan.encode_serde("Node", head, how == "json", fallback_encoder=None)


LIMIT = {"mp": 1023, "js": 254}
DECODES = [  # format, key, stack KiB, outcome at the deepest nesting allowed, then one level deeper
    ("mp", "zz", 64, "Holder", MP_DEPTH),
    ("mp", "extra", 128, "1022", MP_DEPTH),
    ("mp", "uid", 64, MP + "expected a UUID string or 16-byte value", MP_DEPTH),
    ("mp", "colors", 128, MP + "expected Uint8", MP_DEPTH),
    ("mp", "choice", 128, MP + BUFFERED.format("MessagePack"), MP_DEPTH),
    ("mp", "child", 64, MP + MODELS, MP + MODELS),
    ("js", "zz", 64, "Holder", JS_DEPTH),
    ("js", "extra", 128, "506", JS_DEPTH),
    ("js", "colors", 128, JS_GENERIC.format("expected Uint8"), JS_BEYOND),
    ("js", "colors", 64, JS_GENERIC.format("expected Uint8"), JS_BEYOND),
    ("js", "nums", 128, JS_GENERIC.format("value is not coercible to Float64"), JS_BEYOND),
    ("js", "choice", 128, JS + BUFFERED.format("JSON"), JS_DEPTH),
    ("js", "child", 64, JS + MODELS, JS_BEYOND),
]
PLAN_DEPTH = "ValueError: invalid native plan: depth limit exceeded"
WRITES = {"json": "encoding a model", "msgpack": "encoding a model", "pack": "packing a FlatBuffer table"}
CASES = [  # id, stack KiB, what makes the case on the main thread (and its arguments), its outcome on the small one
    *((f"{fmt}-{key}-{kib}{'-beyond' * deeper}", kib, decoding, (fmt, key, LIMIT[fmt] + deeper), outcome)
      for fmt, key, kib, *outcomes in DECODES for deeper, outcome in enumerate(outcomes)),
    ("mp-models-fit", 128, decoding, ("mp", "child", 8), "Node"),
    ("js-models-fit", 128, decoding, ("js", "child", 8), "Node"),
    ("js-colors-fit", 128, decoding, ("js", "colors", 8), JS + "expected Uint8 .*"),
    *((f"late-tags-{fmt}-fit", 128, late_tags, (fmt, 8), "Late") for fmt in ("mp", "js")),
    # The stack gives out in the innermost read again; its RecursionError keeps its own text.
    ("late-tags-mp", 64, late_tags, ("mp", 40), f"{MP}(ValueError: {BUFFERED_IN.format('MessagePack')})+{MODELS}"),
    ("late-tags-js", 64, late_tags, ("js", 40), f"{JS}(ValueError: {BUFFERED_IN.format('JSON')})+{MODELS}"),
    ("plan-default", 64, loading, (1023, "default"), "NativePlan"),
    ("plan-default-beyond", 64, loading, (1024, "default"), PLAN_DEPTH),
    ("plan-skip", 64, loading, (1023, "skip"), "NativePlan"),
    ("plan-skip-beyond", 64, loading, (1024, "skip"), PLAN_DEPTH),
    *((f"{how}-{kib}", kib, writing, (how,), STACK + WRITES[how]) for how in WRITES for kib in (128, 64)),
]


def outcome(case_id):
    """Runs one case on a thread with its stack: the class of what it made (a fallback field's value
    instead where there is one), or the exception as "Class: message"."""
    kib, make, args = next(case[1:4] for case in CASES if case[0] == case_id)
    action, result = make(*args), []

    def body():
        try:
            result.append(getattr(got := action(), "extra", None) or type(got).__name__)
        except Exception as e:  # noqa: BLE001 - compared as text
            result.append(f"{type(e).__name__}: {e}")

    threading.stack_size(kib * 1024)
    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return result[0]


@pytest.mark.parametrize("case_id, expected", [(c[0], c[4]) for c in CASES], ids=[c[0] for c in CASES])
def test_small_stack(case_id, expected):
    got = run_python(f"import test_small_stack as t; print(t.outcome({case_id!r}))")
    assert re.fullmatch(expected, got, re.DOTALL), got
