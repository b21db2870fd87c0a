"""NativePlan.decode_serde: checks made before reading, the byte inputs, what may follow the
document, the nesting budgets, the readers' syntax errors with their positions, and how failures
raised while reading reach the caller."""

import json

import pytest

from decoding import FORMATS, PREFIX, TYPES, Holder, Leaf, decode, error, make_plan
from planwriter import field, obj, scalar_field
from trevalin import Struct


@pytest.fixture(scope="module")
def plan():
    return make_plan()


class Node(Struct):
    child: object = None
    items: list = None


@pytest.fixture(scope="module")
def nodes():
    return make_plan([obj("Node", [field("child", 0, kind="table", target="Node"),
                                   field("items", 1, kind="vector_table", target="Node")])], {"Node": Node})


def test_checks_before_reading():
    unbound = make_plan(types=None)
    with pytest.raises(ValueError, match='^unknown native table "Nope"$'):
        unbound.decode_serde("Nope", b"{}", True, fallback_decoders={})
    with pytest.raises(RuntimeError, match="^native model types are not bound$"):
        unbound.decode_serde("Holder", object(), True, fallback_decoders={})
    partial = make_plan(types={"Holder": Holder})
    with pytest.raises(NotImplementedError, match="^generated model graph requires the quorvel fallback$"):
        partial.decode_serde("Holder", b"{}", True, fallback_decoders={})


@pytest.mark.parametrize("make_input", [
    lambda b: b, lambda b: type("B", (bytes,), {})(b), lambda b: memoryview(b), lambda b: memoryview(b" " + b + b" ")[1:-1],
    bytearray, lambda b: memoryview(bytearray(b)),
])
@pytest.mark.parametrize("fmt", FORMATS)
def test_byte_inputs(plan, make_input, fmt):
    data = {"json": b'{"i8": 3}', "msgpack": b"\x81\xa2i8\x03"}[fmt]
    assert plan.decode_serde("Holder", make_input(data), fmt == "json", fallback_decoders={}).i8 == 3


@pytest.mark.parametrize("after", [b"", b"x" * 63, b"}" * 64, b"x" * 200])
def test_json_view_with_slack_after_it(plan, after):
    # Bytes past the view belong to its owner: they may be read as padding, never as document.
    doc = b'{"i8": 9, "full_name": "' + b"n" * 40 + b'"}'
    view = memoryview(doc + after)[:len(doc)]
    assert plan.decode_serde("Holder", view, True, fallback_decoders={}).i8 == 9
    with pytest.raises(ValueError, match="^cannot decode JSON: EOF while parsing"):
        plan.decode_serde("Holder", view[:-1], True, fallback_decoders={})


@pytest.mark.parametrize("doc", [
    b'{"choice": {"flag": true}}}',  # one brace too many: the model's error comes first
    b'{"i8": 1, "leaf": {"name": "x"}',  # one too few
    b'{"i8": 1, "i8": 300}}',
    b'{"i8": 1, "pair": [{"x": 1}',  # an array that seems to close after the document
])
@pytest.mark.parametrize("after", [b"}" * 64, b" " * 64, b"," * 64, b"]" * 64])
def test_json_view_fails_as_its_bytes_do(plan, doc, after):
    # Whatever the owner holds after a view, a document in it fails with the text its bytes give.
    def failure(data):
        with pytest.raises(ValueError) as info:
            plan.decode_serde("Holder", data, True, fallback_decoders={})
        return str(info.value)
    assert failure(memoryview(doc + after)[:len(doc)]) == failure(doc)


def test_native_buffer_view_is_read_in_place(plan):
    # A view of pack's output that ends where the buffer ends and one that ends inside it.
    leaf_plan = make_plan()
    view = leaf_plan.pack("Leaf", Leaf(name='{"i8": 7}', n=1))
    start = bytes(view).index(b'{"i8"')
    for end in (start + 9, start + 10):
        text = view[start:end]
        assert text.obj is view.obj
        if end == start + 9:
            assert plan.decode_serde("Holder", text, True, fallback_decoders={}).i8 == 7


@pytest.mark.parametrize("buffer, exc, message", [
    ("{}", TypeError, "string argument without an encoding"),
    (memoryview(b"{}")[::-1], TypeError, "byte vector fields must be one-dimensional and C-contiguous"),
    (memoryview(b"{}\x00\x00").cast("i"), BufferError, "buffer contents are not compatible with u8"),
])
def test_refused_inputs(plan, buffer, exc, message):
    with pytest.raises(exc, match=message):
        plan.decode_serde("Holder", buffer, True, fallback_decoders={})


@pytest.mark.parametrize("fmt, data, message", [
    ("json", b" \t\r\n", "EOF while parsing at line 2 column 0"),
    ("json", b"", "EOF while parsing at line 1 column 0"),
    ("json", b'{"i8": 1} x', "JSON has non-whitespace trailing characters after the value at line 1 column 11"),
    ("json", b'{"i8": 1}{}', "JSON has non-whitespace trailing characters after the value at line 1 column 10"),
    ("json", b'{"i8" 1}', "Expected this character to be a ':' while parsing at line 1 column 7"),
    ("json", b'{"i8": 1,}', "JSON has a comma after the last value in an array or object at line 1 column 10"),
    ("json", b'{"tags": ["a",]}', "JSON has a comma after the last value in an array or object at line 1 column 15"),
    ("json", b'{"i8": 1', "EOF while parsing at line 1 column 8"),
    ("json", b'{\n  "zz": [1 2]}', "Expected this character to be either a ',' or a ']' while parsing at line 2 column 12"),
    ("json", b'{"zz": tru}', "Invalid literal (`true`, `false`, or `null`) while parsing at line 1 column 11"),
    ("json", b'{"flag": tru}', "Invalid literal (`true`, `false`, or `null`) while parsing at line 1 column 13"),
    ("json", b'{"i8": nul}', "Invalid literal (`true`, `false`, or `null`) while parsing at line 1 column 11"),
    ("json", b'{"zz": "\\q"}', "Invalid escape chars in JSON string at line 1 column 10"),
    # A high surrogate with no low half after it, though the text goes on.
    ("json", b'{"zz": "\\ud800"}', "Invalid surrogate in JSON string escape at line 1 column 15"),
    ("json", b'{"zz": "\xff"}', "Invalid UTF-8 characters in json at line 1 column 9"),
    ("json", b'{"zz": 01}', "Invalid number at line 1 column 9"),
    ("json", b'[1]', "invalid type: sequence, expected a generated model object at line 1 column 1"),
    ("json", b' "abc"', "invalid type: string \"abc\", expected a generated model object at line 1 column 6"),
    ("json", b'5', "invalid type: integer `5`, expected a generated model object at line 1 column 1"),
    ("json", b'null', "invalid type: null, expected a generated model object at line 1 column 4"),
    ("msgpack", b"", "IO error while reading marker: failed to fill whole buffer"),
    ("msgpack", b"\x91\x01", "invalid type: sequence, expected a generated model object"),
    ("msgpack", b"\xc0", "invalid type: unit value, expected a generated model object"),
    ("msgpack", b"\xc1", "wrong msgpack marker Reserved"),
    ("msgpack", b"\x81\xa2i8", "IO error while reading marker: failed to fill whole buffer"),
    ("msgpack", b"\x81\xa2i8\xcd\x01", "IO error while reading data: failed to fill whole buffer"),
    ("msgpack", b"\x81\xa4name\xa5ab", "IO error while reading data: unexpected end of file"),
    ("msgpack", b"\x81\x01\x02", "invalid type: integer `1`, expected a string"),
    # A map header that claims far more entries than the input holds.
    ("msgpack", b"\xdf\xff\xff\xff\xff", "IO error while reading marker: failed to fill whole buffer"),
    ("msgpack", b"\x81\xa4tags\xdd\xff\xff\xff\xff", "IO error while reading marker: failed to fill whole buffer"),
])
def test_reader_errors(plan, fmt, data, message):
    with pytest.raises(ValueError) as info:
        decode(plan, data, fmt)
    assert str(info.value).split(" near `")[0] == PREFIX[fmt] + message


@pytest.mark.parametrize("data", [
    # A string read as raw text (an unknown key's value, a fallback, a decimal) followed by a colon.
    b'{"unknown":"a":"b","c":}, "i8": 3}', b'{"leaf":{"zz":"a":}, "n": 5}, "i8": 7}',
    b'{"extra":"a":1}', b'{"amount":"1":2}', b'{"zz":["a":1]}', b'{"zz":{"a":"b":"c"}}',
    b'{"zz":"a":"b"}', b'{"zz":"a"]}', b'{"zz":"a" "b"}', b'{"zz":1:2}', b'{"zz":[1]:2}', b'{"zz":"\x00"}',
    b'{"zz":nul}', b'{"zz":"a":tru}}', b'{"choice":{"n":"a":1,"type":"leaf"}}',
])
def test_malformed_json_is_refused(plan, data):
    with pytest.raises(ValueError, match="^cannot decode JSON: "):
        plan.decode_serde("Holder", data, True, fallback_decoders={"extra": bytes})


class Counted(Struct):
    x: float = 0.0
    y: float = 0.0
    built = 0

    def __init__(self, *, x=0.0, y=0.0):
        type(self).built += 1
        if x == 13:
            raise TypeError("unlucky")


@pytest.mark.parametrize("after", [b"x", b" \xff", b"]", b"}", b" {}", b"\x00", b'"', b","])
def test_root_model_is_built_before_what_follows_is_read(after):
    counted = make_plan(types=dict(TYPES, Point=Counted))
    Counted.built = 0
    message = error(counted, b'{"point": {"x": 1}}' + after, "json")
    assert message.startswith(("JSON has non-whitespace trailing characters", "JSON has a comma")) and Counted.built == 1
    assert error(counted, b'{"point": {"x": 13}}' + after, "json") == "TypeError: unlucky"


@pytest.mark.parametrize("data", [b'{"i8": 1}  \n\t\r ', b'\n{"i8": 1}'])
def test_json_whitespace_around_the_document(plan, data):
    assert decode(plan, data, "json").i8 == 1


# Malformed where a value is skipped, captured as text (fallback, decimal) or read by a field.
@pytest.mark.parametrize("data", [
    b'{"zz": "a": "b", "c": }, "i8": 3}',
    b'{"zz": "a":}}',
    b'{"zz": "a":]}',
    b'{"extra": "a":}}',
    b'{"amount": "1":}}',
    b'{"leaf": {"zz": "a":}}}',
    b'{"zz": 1:}}',
    b'{"full_name": "a":}}',
    b'{"zz": "a" "b"}',
])
def test_json_malformed_after_a_value(plan, data):
    with pytest.raises(ValueError):
        json.loads(data)
    with pytest.raises(ValueError, match=f"^{PREFIX['json']}"):
        decode(plan, data, "json", fallback_decoders={"extra": bytes})


@pytest.mark.parametrize("data, message", [
    (b'{"zz": [1e400, -1e400], "i8": 1}', None),
    (b'{"extra": 1e400}', None),
    (b'{"f64": 1e400}', "number out of range"),
    (b'{"f64": -1' + b"0" * 400 + b"}", "number out of range"),
])
def test_json_numbers_beyond_the_double_range(plan, data, message):
    if message is None:
        decode(plan, data, "json", fallback_decoders={"extra": bytes})
    else:
        assert error(plan, data, "json") == message


def test_msgpack_trailing_data(plan):
    with pytest.raises(ValueError, match="^MessagePack document contains trailing data$"):
        decode(plan, b"\x80\xc0", "msgpack")


def nested_json(depth):
    return b'{"child": ' * (depth - 1) + b"{}" + b"}" * (depth - 1)


def nested_msgpack(depth):
    return b"\x81\xa5child" * (depth - 1) + b"\x80"


@pytest.mark.parametrize("fmt, build, limit, message", [
    ("json", nested_json, 254, "Encountered nesting of JSON maps and arrays more than 128 layers deep"),
    ("json", lambda d: b'{"zz": ' + b"[" * (d - 1) + b"]" * (d - 1) + b"}", 254,
     "Encountered nesting of JSON maps and arrays more than 128 layers deep"),
    ("json", lambda d: b'{"items": [' * ((d - 1) // 2) + b"{}" + b"]}" * ((d - 1) // 2), 253,
     "Encountered nesting of JSON maps and arrays more than 128 layers deep"),
    ("msgpack", nested_msgpack, 1023, "depth limit exceeded"),
    ("msgpack", lambda d: b"\x81\xa2zz" + b"\x91" * (d - 2) + b"\x90", 1023, "depth limit exceeded"),
])
def test_nesting_budgets(nodes, fmt, build, limit, message):
    decode(nodes, build(limit), fmt, root="Node")
    assert error(nodes, build(limit + 2), fmt, root="Node") == message


@pytest.mark.parametrize("fmt, data", [
    ("json", b'{"zz": ' + b"[" * 100000 + b"]" * 100000 + b"}"),
    ("json", b'{"child": ' * 100000),
    ("json", b"[" * 100000),
    ("msgpack", b"\x81\xa2zz" + b"\x91" * 100000 + b"\x90"),
    ("msgpack", b"\x81\xa5child" * 100000 + b"\x80"),
])
def test_deep_documents_fail_cleanly(nodes, fmt, data):
    assert error(nodes, data, fmt, root="Node") in (
        "Encountered nesting of JSON maps and arrays more than 128 layers deep",
        "depth limit exceeded", "invalid type: sequence, expected a generated model object")


class Refusing(Struct):
    n: int = 0

    def __init__(self, *, n=0):
        raise TypeError(f"refused {n}")


class Interrupting(Struct):
    n: int = 0

    def __init__(self, *, n=0):
        raise KeyboardInterrupt


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Unprintable(Struct):
    n: int = 0

    def __init__(self, *, n=0):
        raise BadStr


@pytest.mark.parametrize("fmt", FORMATS)
def test_failures_raised_while_reading(fmt):
    objects = [obj("M", [scalar_field("n", 0, "int32")])]
    refusing = make_plan(objects, {"M": Refusing})
    assert error(refusing, {"n": 4}, fmt, root="M") == "TypeError: refused 4"
    unprintable = make_plan(objects, {"M": Unprintable})
    assert error(unprintable, {"n": 4}, fmt, root="M") == "BadStr: <exception str() failed>"
    # An interrupt is no fault of the document: it passes through as raised.
    interrupting = make_plan(objects, {"M": Interrupting})
    with pytest.raises(KeyboardInterrupt):
        decode(interrupting, {"n": 4}, fmt, root="M")


class Shown(Exception):
    def __str__(self):
        return "shown"


class Spelled(str):
    def __str__(self):
        return "spelled"


RAISED = [  # what the model class raises, and the text it joins the reader's error under (its str())
    (lambda: ValueError(), "ValueError: "),
    (lambda: ValueError("a", 1), "ValueError: ('a', 1)"),
    (lambda: ValueError(Spelled("kept")), "ValueError: spelled"),
    (lambda: Shown("hidden"), "Shown: shown"),
]


class Raising(Struct):
    n: int = 0

    def __init__(self, *, n=0):
        raise RAISED[n][0]()


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("n", range(len(RAISED)))
def test_raised_exception_text_is_its_str(fmt, n):
    plan = make_plan([obj("M", [scalar_field("n", 0, "int32")])], {"M": Raising})
    assert error(plan, {"n": n}, fmt, root="M") == RAISED[n][1]


@pytest.mark.parametrize("data, message", [
    (b'{\n  "i8": 1,\n  "u8": 300\n}', "invalid value: integer `300`, expected u8 at line 3 column 11"),
    # Values read as their raw text: the position follows them too.
    (b'{"big": "5" }', "expected an integer at line 1 column 11"),
    (b'{"big": null }', "expected an integer at line 1 column 12"),
    (b'{"amount": "abc" }', "InvalidOperation: [<class 'decimal.ConversionSyntax'>] at line 1 column 16"),
    (b'{"amount": [1] }', "InvalidOperation: [<class 'decimal.ConversionSyntax'>] at line 1 column 14"),
])
def test_json_error_position_follows_the_value(plan, data, message):
    with pytest.raises(ValueError) as info:
        decode(plan, data, "json")
    assert str(info.value).startswith("cannot decode JSON: " + message + " near ")


@pytest.mark.parametrize("fmt", FORMATS)
def test_strict_defaults_to_true(plan, fmt):
    assert error(plan, {"i8": "5"}, fmt) == 'invalid type: string "5", expected i8'
    assert decode(plan, {"i8": "5"}, fmt, strict=False).i8 == 5
