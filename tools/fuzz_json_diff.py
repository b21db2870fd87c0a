"""Differential fuzzing of decode_serde's JSON acceptance against Python's json module.

decode_serde must accept exactly the documents that are one well-formed JSON object (whitespace
around it allowed) and refuse every other one with a ValueError beginning "cannot decode JSON: ".
This pass writes valid documents for the "Holder" model of tests/support/decoding.py (every field
kind, unknown keys with nested values, the fallback field "extra", the decimal "amount", keys
written with escapes, random whitespace and number forms, and often numbers at the edges of
number reading: exponents at the edges of 32 and 64 bits, digit runs past 19, thousands of
digits), mutates them at the byte and the token level, and decodes each mutant strict and lax.
Python's json, parsed strictly (no NaN or Infinity, UTF-8 first), is the judge:

- a document json refuses must be refused, with the prefix;
- a document json accepts must decode, or be refused for a reason of the model (a wrong type, an
  unknown tag, a value out of range), never for a reason of syntax, except for the deliberate
  differences listed in EXCEPTIONS;
- a document both accept must put the values json reads into the right attributes (the scalars
  at the root and in "leaf", strings, "tags", "point", and the exact text of "extra").

Anything else is a finding: the case is minimised and printed with a reproducer, and the run
fails. --keep-going collects one minimised reproducer per class of finding instead of stopping at
the first. Run it under the sanitizer build (tools/dev fuzz-json) so that memory errors abort.

    tools/dev fuzz-json --seconds 300 --seed 7 --keep-going
"""

import argparse
import json
import math
import random
import re
import struct
import sys
import time
from decimal import Decimal

from decoding import Holder, make_plan
from fuzz_serde import edge_number

PREFIX = "cannot decode JSON: "
BUFFERED = re.compile(r"^[\w.]+: cannot decode buffered JSON field: ")
POSITION = re.compile(r" at line \d+ column \d+(?: near `.*?`)?(?= at line |$)", re.S)

# The reader's texts for a document that is not well-formed JSON, and for a number it cannot hold.
RECURSION = "Encountered nesting of JSON maps and arrays more than 128 layers deep"
SURROGATE = "Invalid surrogate in JSON string escape"
OUT_OF_RANGE = "number out of range"
SYNTAX_TEXTS = (
    "EOF while parsing",
    RECURSION,
    "JSON has non-whitespace trailing characters after the value",
    "JSON has a comma after the last value in an array or object",
    "Control character found while parsing a string",
    "Invalid UTF-8 characters in json",
    "Invalid escape chars in JSON string",
    "Invalid hex escape in JSON string",
    SURROGATE,
    "Invalid number",
    "Invalid literal (`true`, `false`, or `null`) while parsing",
    "Invalid JSON value",
    "Expected this character to be a '\"' while parsing",
    "Expected this character to be a ':' while parsing",
    "Expected this character to be either a ',' or a '}' while parsing",
    "Expected this character to be either a ',' or a ']' while parsing",
    "JSON document is too large",
    OUT_OF_RANGE,
)
# The texts of a well-formed document that the model refuses. A Python exception raised while
# decoding (a constructor, Decimal, UUID, int) reads as its qualified class name and its text.
MODEL_TEXTS = (
    "invalid type: ", "invalid value: ", "invalid length ", "unknown generated model tag ",
    "tagged generated model object is missing its type tag", "boolean is not coercible",
    "float is not coercible", "value is not coercible", "expected ", "fixed ", "field ", "integer ", "float ",
    "string ", "array had incorrect length", "duplicate field ", "missing field ",
)
EXCEPTION_TEXT = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Operation|Warning)\b")


class Difference:
    """Documents json accepts that we refuse on purpose (`applies` tells them by what json read),
    with the texts the refusal may carry; `must_refuse`: we never decode them."""

    def __init__(self, name, applies, texts, must_refuse):
        self.name, self.applies, self.texts, self.must_refuse = name, applies, texts, must_refuse


# Deliberate differences that need no entry here, because their refusals are the model's or the
# values are compared with them in mind (check_scalar):
# - "-0" is the float -0.0, not json's int 0: an integer field refuses it strict and takes 0 lax,
#   a float field keeps the sign;
# - an integer beyond 64 bits is held as a float: an integer field refuses it strict; lax, a
#   Python-int field saturates it to the 64-bit range and a scalar field takes the float's value
#   (-9223372036854775809 rounds to -2**63 and fits an Int64);
# - a strict Float32 field keeps the double as read, a lax one rounds it to single precision.
EXCEPTIONS = (
    # A string must hold Unicode scalar values: an escaped surrogate half without its partner is
    # refused wherever it stands, skipped values and keys included. Python gives a lone surrogate.
    Difference("lone surrogate escape", lambda info: info.surrogate, (SURROGATE,), True),
    # The reader's nesting budget: 254 nested objects and arrays, the root included, and no more,
    # skipped values included. Python goes on to its recursion limit.
    Difference("nesting beyond 254 levels", lambda info: info.depth >= 255, (RECURSION,), True),
    # A number beyond the double range is refused when a field reads it (Python gives inf, or an
    # int no float holds); skipped or captured as text it is only checked for its form.
    Difference("number beyond the double range", lambda info: info.overflow, (OUT_OF_RANGE,), False),
)


class Info:
    """What Python's json saw in a document it accepted."""

    def __init__(self):
        self.depth = 0
        self.surrogate = False
        self.overflow = False


def refuse_constant(name):
    raise ValueError(f"{name} is no JSON number")


def python_verdict(data):
    """(value, Info) when json reads `data` as one object, else (None, reason). A document deeper
    than Python can read is refused here too: it is beyond our budget as well."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None, "not UTF-8"
    info = Info()

    def parse_float(s):
        f = float(s)
        info.overflow |= math.isinf(f)
        return f

    def parse_int(s):
        i = int(s)
        try:
            float(i)
        except OverflowError:
            info.overflow = True
        return i

    try:
        value = json.loads(text, parse_constant=refuse_constant, parse_float=parse_float, parse_int=parse_int)
    except RecursionError:
        return None, "deeper than Python reads"
    except ValueError as e:
        return None, getattr(e, "msg", str(e))
    if type(value) is not dict:
        return None, f"a {type(value).__name__}, not an object"
    # Read off the text, not the value: a repeated key's earlier value is gone from the dict.
    depth = 0
    for m in TOKEN.finditer(data):
        c = data[m.start()]
        if c in b"{[":
            depth += 1
            info.depth = max(info.depth, depth)
        elif c in b"}]":
            depth -= 1
        elif c == ord('"') and b"\\u" in m.group() and has_surrogate(json.loads(m.group())):
            info.surrogate = True
    return value, info


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def unwrap(text):
    """The reader's own text: the prefix and the wrapping of a buffered field's failure removed."""
    body = text[len(PREFIX):]
    while (m := BUFFERED.match(body)):
        body = body[m.end():]
    return body


def classify(text):
    """"syntax", "model" or "unknown" for the text of a refusal."""
    body = unwrap(text)
    if body.startswith(SYNTAX_TEXTS):
        return "syntax"
    if body.startswith(MODEL_TEXTS) or EXCEPTION_TEXT.match(body):
        return "model"
    return "unknown"


def shape(text):
    """A refusal's text without positions, excerpts, quoted values and numbers, to tell classes of
    findings apart."""
    body = unwrap(text) if text.startswith(PREFIX) else text
    for known in SYNTAX_TEXTS:
        if body.startswith(known):
            return known
    body = POSITION.sub("", body)
    body = re.sub(r'"(?:[^"\\]|\\.)*"|`[^`]*`', "Q", body)
    return re.sub(r"-?\d[\d.e+-]*", "N", body)[:120]


# ---------------------------------------------------------------------------------------------
# Decoding

def keep_raw(raw):
    return raw


FALLBACKS = {"extra": keep_raw}


class Finding(Exception):
    def __init__(self, key, message, strict=None):
        super().__init__(message)
        self.key = key
        self.strict = strict


def ours(plan, data, strict):
    """("ok", Holder) or ("error", text); any other outcome raises Finding."""
    try:
        result = plan.decode_serde("Holder", data, True, strict=strict, fallback_decoders=FALLBACKS)
    except ValueError as e:
        text = str(e)
        if not text.startswith(PREFIX):
            raise Finding(("bad text",), f"ValueError without the prefix: {text[:300]!r}") from None
        return "error", text
    except BaseException as e:  # noqa: BLE001 - anything else is the finding
        raise Finding(("raised", type(e).__name__), f"raised {type(e).__name__}: {str(e)[:300]!r}") from None
    if type(result) is not Holder:
        raise Finding(("result",), f"returned {type(result).__name__}")
    return "ok", result


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    return a[1] == b[1] if a[0] == "error" else repr(a[1]) == repr(b[1])


# ---------------------------------------------------------------------------------------------
# What a decoded Holder must hold

HOLDER_DEFAULTS = Holder()
INTEGERS = ("i8", "u8", "i64", "u64", "big", "color")


def f32(x):
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return None


def lax_integer(v, python_int):
    """What lax decoding makes of an integer: beyond 64 bits the reader holds it as a float, which
    a Python-int field converts with saturation (through int64 below zero, through uint64
    otherwise) and a scalar field takes when it is integral and in range. None: refused."""
    if -2**63 <= v < 2**64:
        return v
    try:
        d = float(v)
    except OverflowError:
        return None
    if python_int:
        return max(int(d), -2**63) if d < 0 else min(int(d), 2**64 - 1)
    return int(d)


def check_scalar(where, attr, got, v, strict):
    """A mismatch message, or None; only values of the field's own JSON kind are compared (lax
    coercions of other kinds have tests of their own)."""
    def bad():
        return f"{where}{attr} is {got!r}, json reads {v!r}"

    if attr in INTEGERS or attr == "n":
        if type(v) is int and not strict:
            v = lax_integer(v, attr == "big")
        if type(v) is int and (got != v or type(got) is bool):
            return bad()
    elif attr == "f64" or attr in ("x", "y"):
        if type(v) in (int, float):
            try:
                want = float(v)
            except OverflowError:
                return None
            # The integer -0 reads as the float -0.0 (json gives the int 0): the sign is kept.
            if not (got == want and (math.copysign(1, got) == math.copysign(1, want) or type(v) is int)):
                return bad()
    elif attr == "f32":
        if type(v) in (int, float):
            try:
                want = f32(float(v))
            except OverflowError:
                return None
            if want is not None and f32(got) != want:
                return bad()
    elif attr == "flag":
        if type(v) is bool and got is not v:
            return bad()
    elif attr in ("name", "full_name"):
        if (v is None or type(v) is str) and got != v:
            return bad()
    return None


def check_values(result, doc, strict):
    """What is wrong with the attributes of a decoded Holder, against json's reading of `doc`."""
    problems = []
    for key, attr in [(a, a) for a in INTEGERS + ("f32", "f64", "flag")] + [("full_name", "name")]:
        got = getattr(result, attr)
        if key not in doc:
            if got != getattr(HOLDER_DEFAULTS, attr):
                problems.append(f"{attr} is {got!r} but the document has no {key!r}")
            continue
        if (p := check_scalar("", key, got, doc[key], strict)):
            problems.append(p)
    for attr in ("tags", "point", "leaf", "leaves", "pair", "nums", "shorts", "colors", "choice", "choices",
                 "uid", "amount", "extra"):
        if attr not in doc and getattr(result, attr) is not None:
            problems.append(f"{attr} is {getattr(result, attr)!r} but the document has no {attr!r}")
    leaf = doc.get("leaf")
    if "leaf" in doc and leaf is None and result.leaf is not None:
        problems.append(f"leaf is {result.leaf!r}, json reads null")
    if isinstance(leaf, dict) and result.leaf is not None:
        for key in ("name", "n"):
            got = getattr(result.leaf, key)
            if key not in leaf:
                if got != (None if key == "name" else 0):
                    problems.append(f"leaf.{key} is {got!r} but the leaf has no {key!r}")
            elif (p := check_scalar("leaf.", key, got, leaf[key], strict)):
                problems.append(p)
    point = doc.get("point")
    if isinstance(point, dict) and result.point is not None:
        for key in ("x", "y"):
            got = getattr(result.point, key)
            if key not in point:
                if got != 0.0:
                    problems.append(f"point.{key} is {got!r} but the point has no {key!r}")
            elif (p := check_scalar("point.", key, got, point[key], strict)):
                problems.append(p)
    tags = doc.get("tags")
    if isinstance(tags, list) and all(type(t) is str for t in tags) and result.tags != tags:
        problems.append(f"tags is {result.tags!r}, json reads {tags!r}")
    if "extra" in doc:
        # The fallback gets the value's exact text: it must read back as the same value.
        raw = result.extra
        if not isinstance(raw, bytes):
            problems.append(f"extra is {raw!r}, not the value's text")
        else:
            back, _ = python_verdict(b'{"v":' + raw + b"}")
            if back is None or raw != raw.strip(b" \t\r\n") or not same_json(back["v"], doc["extra"]):
                problems.append(f"extra's text is {raw!r}, json reads {doc['extra']!r}")
    amount = doc.get("amount")
    if type(amount) is int and result.amount != Decimal(amount):
        problems.append(f"amount is {result.amount!r}, json reads {amount!r}")
    return problems


def same_json(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_json(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b


# ---------------------------------------------------------------------------------------------
# The verdict on one document

def judge(plan, data, tail=None):
    """None, or a Finding for `data`, decoded strict and lax (and, with `tail`, once more in place
    as a view of a larger object that goes on with `tail`)."""
    value, info = python_verdict(data)
    started = time.perf_counter()
    outcomes = {}
    for strict in (True, False):
        mode = "strict" if strict else "lax"
        try:
            outcomes[strict] = got = ours(plan, data, strict)
            if tail is not None:
                owner = data + tail
                in_place = ours(plan, memoryview(owner)[:len(data)], strict)
                if not same_outcome(in_place, got):
                    return Finding(("in place", mode),
                                   f"{mode}: read in place before {tail[:24]!r}... gives {describe(in_place)}, "
                                   f"not {describe(got)}", strict)
        except Finding as f:
            f.key = f.key + (mode,)
            f.args = (f"{mode}: {f.args[0]}",)
            f.strict = strict
            return f
        if value is None:
            # (1) json refuses: so must we.
            if got[0] == "ok":
                return Finding(("accepted", mode, info),
                               f"{mode}: decodes a document json refuses ({info}): {got[1]!r}", strict)
            continue
        applying = [e for e in EXCEPTIONS if e.applies(info)]
        if got[0] == "ok":
            if (must := [e.name for e in applying if e.must_refuse]):
                return Finding(("accepted", mode, must[0]), f"{mode}: decodes a document with a {must[0]}", strict)
            if (problems := check_values(got[1], value, strict)):
                return Finding(("wrong value", mode, problems[0].split(" ")[0]),
                               f"{mode}: decoded values differ from json's: " + "; ".join(problems[:4]), strict)
            continue
        # (2) json accepts: a refusal must be the model's, or one of the deliberate differences.
        text = got[1]
        body = unwrap(text)
        if any(body.startswith(e.texts) for e in applying):
            continue
        kind = classify(text)
        if kind == "model":
            continue
        if (kind in ("syntax", "model") and not strict and outcomes[True][0] == "error"
                and classify(outcomes[True][1]) == "model"):
            # Lax decoding reads numbers inside strings; their faults carry the same texts as a
            # document's, positioned in the string. Strict decoding refused the same document for
            # a reason of the model, so the string is the cause.
            continue
        return Finding(("refused", mode, shape(body)),
                       f"{mode}: refuses a document json accepts, with {kind} text {text[:300]!r}", strict)
    if time.perf_counter() - started > 2.0:
        return Finding(("slow",), f"took {time.perf_counter() - started:.2f} s")
    return None


def describe(outcome):
    return f"error {outcome[1][:200]!r}" if outcome[0] == "error" else f"ok {outcome[1]!r}"[:200]


def minimise(plan, data, finding, tail, budget=4000):
    """A shorter document that gives a finding of the same class: chunks of bytes, then runs of
    up to eight tokens, removed while the class stays."""
    key = finding.key
    calls = 0

    def still(candidate):
        nonlocal calls
        calls += 1
        f = judge(plan, candidate, tail)
        return f is not None and f.key == key

    size = max(1, len(data) // 2)
    while size >= 1 and calls < budget:
        i = 0
        while i < len(data) and calls < budget:
            candidate = data[:i] + data[i + size:]
            if still(candidate):
                data = candidate
            else:
                i += size
        size //= 2
    changed = True
    while changed and calls < budget:
        changed = False
        for run in range(8, 0, -1):
            spans = tokens(data)
            k = 0
            while k + run <= len(spans) and calls < budget:
                candidate = data[:spans[k][0]] + data[spans[k + run - 1][1]:]
                if still(candidate):
                    data = candidate
                    spans = tokens(data)
                    changed = True
                else:
                    k += 1
    return data


# ---------------------------------------------------------------------------------------------
# Valid documents

class Writer:
    """Writes JSON with random whitespace, escapes and number forms; json.loads is the judge of
    what comes out, so a form it refuses only makes one more mutant."""

    def __init__(self, rng):
        self.rng = rng

    def ws(self):
        return self.rng.choice([b"", b"", b"", b" ", b"\n", b"\t", b"\r\n", b"  \n  "])

    def string(self, s):
        rng = self.rng
        out = [b'"']
        style = rng.random()
        for ch in s:
            cp = ord(ch)
            if ch in '"\\':
                out.append(b"\\" + ch.encode())
            elif cp < 0x20:
                short = {8: b"\\b", 9: b"\\t", 10: b"\\n", 12: b"\\f", 13: b"\\r"}.get(cp)
                out.append(short if short and rng.random() < 0.5 else f"\\u{cp:04x}".encode())
            elif style < 0.3 or (style < 0.6 and rng.random() < 0.3):
                if cp > 0xFFFF:
                    hi, lo = 0xD800 + ((cp - 0x10000) >> 10), 0xDC00 + ((cp - 0x10000) & 0x3FF)
                    out.append(f"\\u{hi:04x}\\u{lo:04X}".encode())
                elif ch == "/" and rng.random() < 0.5:
                    out.append(b"\\/")
                else:
                    out.append((f"\\u{cp:04x}" if rng.random() < 0.5 else f"\\u{cp:04X}").encode())
            else:
                out.append(ch.encode())
        out.append(b'"')
        return b"".join(out)

    def number(self, x):
        rng = self.rng
        if type(x) is int:
            return str(x).encode()
        if x == int(x) and abs(x) < 1e15 and rng.random() < 0.3:
            return rng.choice([f"{int(x)}.0", f"{int(x)}e0", f"{int(x)}.00E+0"]).encode()
        return rng.choice([repr(x), f"{x:e}", f"{x:.17E}", f"{x:.17g}"]).replace("inf", "1e999").encode()

    def value(self, v):
        if isinstance(v, Obj):
            return self.obj(v)
        if isinstance(v, list):
            if not v:
                return b"[" + self.ws() + b"]"
            return b"[" + b",".join(self.ws() + self.value(x) + self.ws() for x in v) + b"]"
        if v is None:
            return b"null"
        if v is True:
            return b"true"
        if v is False:
            return b"false"
        if isinstance(v, str):
            return self.string(v)
        if isinstance(v, bytes):
            return v  # text written as is
        return self.number(v)

    def obj(self, pairs):
        if not pairs:
            return b"{" + self.ws() + b"}"
        return b"{" + b",".join(self.ws() + self.string(k) + self.ws() + b":" + self.ws() + self.value(v) + self.ws()
                               for k, v in pairs) + b"}"

    def document(self, pairs):
        return self.ws() + self.obj(pairs) + self.ws()


class Obj(list):
    """An object's (key, value) pairs in order; keys may repeat."""


TEXTS = ["", "a", "leaf", "other", "type", "i8", "nâme", "😀", "\u2028", "tab\there", 'q"uote', "back\\slash",
         "/", "\x00", "\x1f", "\x7f", "ü" * 3, "x" * 40]
UNKNOWN_KEYS = ["unknown", "name", "Type", "I8", "i8 ", "", "😀", "\u0000", "extra2", "leaf_", "a" * 30]


def random_text(rng):
    if rng.random() < 0.6:
        return rng.choice(TEXTS)
    return "".join(rng.choice(["a", "é", "\n", "\"", "\\", "😀", "\u07ff", "\uffff", "/", " ", "\x01"])
                   for _ in range(rng.randint(0, 12)))


def random_float(rng):
    return rng.choice([
        lambda: rng.uniform(-1000, 1000),
        lambda: rng.choice([-1, 1]) * 10.0 ** rng.randint(-320, 308) * rng.random(),
        lambda: float(rng.randint(-10**6, 10**6)),
        lambda: rng.choice([0.0, -0.0, 0.1, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 3.4028234663852886e38]),
    ])()


def random_json(rng, depth=0):
    roll = rng.random()
    if depth > 4 or roll < 0.4:
        return rng.choice([None, True, False, rng.randint(-10**20, 10**20), random_float(rng), random_text(rng),
                           rng.randint(-5, 5), edge_number(rng).encode()])
    if roll < 0.7:
        return [random_json(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    return Obj((random_text(rng), random_json(rng, depth + 1)) for _ in range(rng.randint(0, 4)))


def random_leaf(rng, tag="leaf"):
    pairs = []
    if rng.random() < 0.8:
        pairs.append(("name", rng.choice([random_text(rng), None])))
    if rng.random() < 0.8:
        pairs.append(("n", rng.randint(-32768, 32767) if rng.random() < 0.9 else rng.randint(-40000, 40000)))
    if rng.random() < 0.7:
        pairs.append(("type", tag))
    if rng.random() < 0.2:
        pairs.append((rng.choice(UNKNOWN_KEYS), random_json(rng)))
    if rng.random() < 0.5:
        rng.shuffle(pairs)
    return Obj(pairs)


def random_other(rng):
    pairs = [("type", "other")]
    if rng.random() < 0.7:
        pairs.append(("flag", rng.random() < 0.5))
    if rng.random() < 0.7:
        pairs.append(("n", rng.choice([random_text(rng), None])))
    rng.shuffle(pairs)
    return Obj(pairs)


def random_point(rng):
    return Obj([("x", random_float(rng)), ("y", rng.randint(-9, 9))][:rng.randint(0, 2)])


FIELDS = {
    "i8": lambda r: r.randint(-128, 127),
    "u8": lambda r: r.randint(0, 255),
    "i64": lambda r: r.choice([r.randint(-2**63, 2**63 - 1), -2**63, 2**63 - 1, 0]),
    "u64": lambda r: r.choice([r.randint(0, 2**64 - 1), 2**64 - 1, 0]),
    "f32": lambda r: r.choice([r.uniform(-1e6, 1e6), 0.1, 3.4028234663852886e38, 1e-45, -0.0]),
    "f64": random_float,
    "flag": lambda r: r.random() < 0.5,
    "color": lambda r: r.choice([1, 2]),
    "big": lambda r: r.randint(-10**40, 10**40),
    "full_name": lambda r: r.choice([random_text(r), None]),
    "tags": lambda r: [random_text(r) for _ in range(r.randint(0, 3))],
    "point": random_point,
    "leaf": lambda r: r.choice([random_leaf(r), None]),
    "leaves": lambda r: [r.choice([random_leaf(r), None]) for _ in range(r.randint(0, 3))],
    "pair": lambda r: [random_point(r), random_point(r)],
    "nums": lambda r: [r.choice([random_float(r), None, r.randint(-5, 5)]) for _ in range(r.randint(0, 4))],
    "shorts": lambda r: [r.randint(-32768, 32767) for _ in range(3)],
    "colors": lambda r: [r.choice([1, 2]) for _ in range(r.randint(0, 3))],
    "choice": lambda r: r.choice([random_leaf(r, "leaf"), random_other(r)]),
    "choices": lambda r: [r.choice([random_leaf(r, "leaf"), random_other(r)]) for _ in range(r.randint(0, 2))],
    "uid": lambda r: r.choice(["12345678-1234-5678-1234-567812345678", "{12345678123456781234567812345678}"]),
    "amount": lambda r: r.choice([r.choice(["1.10", "-0", "1e5", "NaN", "0.000001"]), r.randint(-10**30, 10**30),
                                  random_float(r), b"1.10", b"-0.0e-7"]),
    "extra": random_json,
}
# Values of another kind than the field's, or out of its range: refused for the model's reasons
# (or coerced by lax decoding).
ODD = [lambda r: "7", lambda r: "1e2", lambda r: "x", lambda r: 1.5, lambda r: 2.0, lambda r: True,
       lambda r: None, lambda r: [], lambda r: Obj(), lambda r: 10**30, lambda r: -1, lambda r: 300,
       lambda r: 3, lambda r: b"1e999", lambda r: b"-0"]


def edge_value(rng):
    """An edge number, written as a number or (for lax decoding) inside a string."""
    text = edge_number(rng)
    return text if rng.random() < 0.3 else text.encode()


# Numeric fields given edge numbers: exponents at the edges of 32 and 64 bits, digit runs past 19
# and mantissas of thousands of digits.
EDGE_FIELDS = {key: edge_value for key in ("i8", "u8", "i64", "u64", "f32", "f64", "big", "amount")}
EDGE_FIELDS["nums"] = lambda r: [edge_value(r) for _ in range(r.randint(1, 3))]
EDGE_FIELDS["shorts"] = lambda r: [edge_value(r) for _ in range(3)]
EDGE_FIELDS["point"] = lambda r: Obj([("x", edge_value(r)), ("y", edge_value(r))])


def random_document(rng, writer):
    keys = rng.sample(list(FIELDS), rng.randint(0, len(FIELDS)))
    if rng.random() < 0.5:
        keys.sort(key=list(FIELDS).index)  # declared order: each key is where the reader expects it
    pairs = Obj()
    for key in keys:
        value = rng.choice(ODD)(rng) if rng.random() < 0.1 else FIELDS[key](rng)
        if key in EDGE_FIELDS and rng.random() < 0.2:
            value = EDGE_FIELDS[key](rng)
        # A key may be written with escapes: it is the same key.
        pairs.append((key, value))
    for _ in range(rng.choice([0, 0, 1, 2])):
        pairs.insert(rng.randint(0, len(pairs)), (rng.choice(UNKNOWN_KEYS), random_json(rng)))
    if pairs and rng.random() < 0.15:
        pairs.append(rng.choice(pairs))  # a repeated key: the later value wins
    return writer.document(pairs)


# Small documents, whose mutants reach the reader's corners sooner: values skipped, captured as
# text (the fallback, the decimal) and buffered until a union's tag, next to a field read.
SMALL = [b'{"unknown":"a","i8":1}', b'{"extra":"x","u8":2}', b'{"amount":"1.5","flag":true}',
         b'{"leaf":{"x":"y","n":1}}', b'{"choice":{"n":"s","type":"other"}}', b'{}', b'{"unknown":[{"a":"b"}]}',
         b'{"full_name":"n","tags":["a"]}', b'{"i8":1,"u8":2,"i64":3}', b'{"point":{"x":1.5,"y":-2}}']


def seed_documents():
    """The documents of the serde fuzz pass, written compactly as json.dumps writes them, and a
    few small ones."""
    from fuzz_serde import seeds, structural_variants
    from decoding import encode
    rng = random.Random(0)
    out = list(SMALL)
    for doc in seeds():
        out.append(encode(doc, "json"))
        out.extend(encode(v, "json") for v in structural_variants(doc, rng))
    return out


# ---------------------------------------------------------------------------------------------
# Mutations

TOKEN = re.compile(rb'"(?:[^"\\]|\\.)*"?|[-+0-9A-Za-z.]+|[ \t\r\n]+|.', re.S)
STRUCTURE = [b"{", b"}", b"[", b"]", b",", b":", b'"']
LITERALS = [b"null", b"true", b"false", b"nul", b"tru", b"fals", b"nulll", b"True", b"None", b"NaN", b"Infinity",
            b"-Infinity", b"0", b"-0", b"01", b"-01", b"1.", b".5", b"1e", b"1e+", b"+1", b"0x10", b"1_0", b"-",
            b"1e999", b"-1e999", b"1e-999", b"18446744073709551616", b"-9223372036854775809",
            b"1.7976931348623157e308", b"1.7976931348623159e308", b"4" * 400, b"2.5e-324", b'""', b'"x"',
            b"[]", b"{}", b'{"a":1}', b"[1,]", b"\x00", b"\x00\x00", b"//", b"/*x*/"]
ESCAPES = [b"\\n", b"\\/", b"\\u00e9", b"\\u0000", b"\\ud83d\\ude00", b"\\uD83D\\uDE00", b"\\x", b"\\u12", b"\\u00g0",
           b"\\U0041", b"\\'", b"\\", b"\\ud800", b"\\udfff", b"\\udc00\\ud800", b"\\ud800\\u0041", b"\\ud800\\n",
           b"\\ud800\\", b"\\ud800\\u", b"\\ud800\\udbff", b"\x01", b"\x1f", b"\x7f", b"\t"]
RAW_BYTES = [b"\xff", b"\xc0\x80", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80", b"\xc3\xa9",
             b"\xf0\x9f\x98\x80", b"\xe2\x80\xa8", b"\xef\xbb\xbf", b"\xf8\x88\x80\x80\x80"]
SPACES = [b" ", b"\t", b"\n", b"\r", b"\f", b"\v", b"\xc2\xa0", b"\x00"]


def literal(rng):
    return rng.choice(LITERALS) if rng.random() < 0.7 else edge_number(rng).encode()


def tokens(data):
    return [m.span() for m in TOKEN.finditer(data)]


def mutate_once(data, rng, corpus):
    if not data:
        return rng.choice(corpus)[:rng.randint(0, 20)]
    spans = tokens(data)
    a, b = rng.choice(spans)
    i = rng.randrange(len(data) + 1)
    op = rng.randrange(16)
    if op == 0:  # a structural character inserted, deleted or replaced
        c = rng.choice(STRUCTURE)
        j = rng.randrange(len(data))
        return rng.choice([data[:i] + c + data[i:], data[:j] + data[j + 1:], data[:j] + c + data[j + 1:]])
    if op == 1:  # a structural character where one stands, replaced by another
        places = [k for k, ch in enumerate(data) if bytes([ch]) in STRUCTURE]
        if places:
            j = rng.choice(places)
            return data[:j] + rng.choice(STRUCTURE + [b"", b" "]) + data[j + 1:]
    if op == 2:  # a token dropped
        return data[:a] + data[b:]
    if op == 3:  # a token duplicated
        return data[:b] + data[a:b] + data[b:]
    if op == 4:  # two tokens exchanged
        c, d = rng.choice(spans)
        if b <= c:
            return data[:a] + data[c:d] + data[b:c] + data[a:b] + data[d:]
    if op == 5:  # a literal at a token boundary or anywhere
        at = rng.choice([a, b, i])
        return data[:at] + literal(rng) + data[at:]
    if op == 6:  # a token replaced by a literal
        return data[:a] + literal(rng) + data[b:]
    if op == 7:  # truncated
        return data[:i]
    if op == 8:  # spliced with another document
        other = rng.choice(corpus)
        j = rng.randrange(len(other) + 1)
        return data[:i] + other[j:]
    if op == 9:  # an escape changed or added inside a string
        strings = [s for s in spans if data[s[0]:s[0] + 1] == b'"' and s[1] - s[0] >= 2]
        if strings:
            sa, sb = rng.choice(strings)
            at = rng.randint(sa + 1, sb - 1)
            esc = data.find(b"\\", sa, sb)
            if esc >= 0 and rng.random() < 0.5:
                return data[:esc] + rng.choice(ESCAPES) + data[esc + 2:]
            return data[:at] + rng.choice(ESCAPES) + data[at:]
    if op == 10:  # bytes that are not UTF-8, or are
        return data[:i] + rng.choice(RAW_BYTES) + data[i:]
    if op == 11:  # whitespace, and things that are not JSON whitespace
        at = rng.choice([a, b, i])
        return data[:at] + rng.choice(SPACES) + data[at:]
    if op == 12:  # a value wrapped in nesting around the budget (or far beyond it)
        n = rng.choice([rng.randint(240, 260), rng.randint(1, 20), 253, 254, 255, 1500])
        opener, closer = rng.choice([(b"[", b"]"), (b'{"k":', b"}"), (b'{"unknown":[', b"]}")])
        values = [s for s in spans if data[s[0]:s[0] + 1] not in (b" ", b"\n", b"\t", b"\r", b",", b":", b"}", b"]")]
        if not values:
            return data
        va, vb = rng.choice(values)
        if data[va:va + 1] in (b"{", b"["):
            vb = value_end(data, va)
        return data[:va] + opener * n + data[va:vb] + closer * rng.choice([n, n, n - 1, n + 1]) + data[vb:]
    if op == 13:  # a byte changed
        j = rng.randrange(len(data))
        return data[:j] + bytes([data[j] ^ (1 << rng.randrange(8))]) + data[j + 1:]
    if op == 14:  # a run of bytes repeated elsewhere
        j = rng.randrange(len(data))
        return data[:i] + data[j:j + rng.randint(1, 24)] + data[i:]
    if op == 15:  # what follows or precedes the document
        if rng.random() < 0.3:
            return rng.choice([b"\xef\xbb\xbf", b"\x00", b" ", b"\f", b"[", b"\xc2\xa0", b"//\n"]) + data
        return data + rng.choice([b"", b" ", b"}", b"]", b",", b"{}", b"\x00", b" x", b"\n\n", b"{", b'"'])
    return data


def value_end(data, start):
    """The end of the object or array at `start` by bracket counting (strings skipped); the end
    of the data when it does not close."""
    depth = 0
    k = start
    while k < len(data):
        c = data[k:k + 1]
        if c == b'"':
            m = TOKEN.match(data, k)
            k = m.end()
            continue
        if c in (b"{", b"["):
            depth += 1
        elif c in (b"}", b"]"):
            depth -= 1
            if depth == 0:
                return k + 1
        k += 1
    return len(data)


def mutate(data, rng, corpus):
    for _ in range(rng.choice([1, 1, 1, 2, 2, 3])):
        data = mutate_once(data, rng, corpus)
    return data


def owner_tail(rng):
    return rng.choice([b"}", b"]", b",", b'"', b":", b" x", b"1", b'{"i8": 1}', b"\x00" * 8,
                       b"  \n", b"}" * 80, b",}" * 40])


# ---------------------------------------------------------------------------------------------

def report(finding, data, tail, minimal, seed, cases):
    value, reason = python_verdict(minimal)
    view = "" if tail is None else f"  read in place: memoryview({minimal + tail!r})[:{len(minimal)}]\n"
    print(f"finding after {cases} cases (seed {seed}): {finding}\n"
          f"  document:  {data!r}\n"
          f"  minimised: {minimal!r}\n{view}"
          f"  json.loads: {reason if value is None else 'one object'}\n"
          f"  reproduce: plan.decode_serde('Holder', {minimal!r}, True, strict={finding.strict}, "
          f"fallback_decoders={{'extra': lambda b: b}})", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--cases", type=int, default=10**9)
    parser.add_argument("--keep-going", action="store_true",
                        help="collect one minimised reproducer per class of finding instead of stopping")
    args = parser.parse_args()
    sys.set_int_max_str_digits(0)  # json reads integers of any length
    rng = random.Random(args.seed)
    writer = Writer(rng)
    plan = make_plan()

    corpus = seed_documents() + [random_document(rng, writer) for _ in range(200)]
    # The first seed is a valid document of every kind: it must decode, with json's values.
    full = corpus[len(SMALL)]
    first = judge(plan, full)
    if first is not None or ours(plan, full, True)[0] != "ok":
        print(f"the first seed document does not decode as json reads it: {first}", file=sys.stderr)
        return 1

    classes = {}
    deadline = time.monotonic() + args.seconds
    cases = 0
    while time.monotonic() < deadline and cases < args.cases:
        roll = rng.random()
        if roll < 0.1:
            data = random_document(rng, writer)
            if rng.random() < 0.5:
                corpus[rng.randrange(len(corpus))] = data
        else:
            data = mutate(rng.choice(corpus), rng, corpus)
        tail = owner_tail(rng) if rng.random() < 0.2 else None
        finding = judge(plan, data, tail)
        cases += 1
        if finding is None:
            continue
        key = finding.key
        if key in classes:
            continue
        minimal = minimise(plan, data, finding, tail)
        classes[key] = minimal
        report(judge(plan, minimal, tail) or finding, data, tail, minimal, args.seed, cases)
        if not args.keep_going:
            return 1
    print(f"fuzz_json_diff: {cases} cases, seed {args.seed}, "
          + (f"{len(classes)} classes of finding" if classes else "no finding"))
    return 1 if classes else 0


if __name__ == "__main__":
    sys.exit(main())
