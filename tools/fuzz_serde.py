"""Mutation fuzzing of decode_serde on JSON and MessagePack.

Writes valid documents covering every field kind the decoder reads (unions with tags before and
after their entries, nullable elements, fixed arrays, Python ints, fallback fields, and chains of
unions whose tags come after big nested values, which each level keeps and reads again), then mutates
them: bit flips, truncation, inserted and deleted bytes, splices, duplicated keys, moved and
changed type tags, numbers at the edges of number reading (exponents at the edges of 32 and 64
bits, digit runs past 19, thousands of digits; as numbers and in strings read lax), MessagePack
lengths that claim more than the input holds, and nesting 100,000 deep. Each mutant is decoded
strict or lax, and a quarter of them once more as a view of a larger object that goes on after
the document (read in place), which must decode the same. The only outcomes allowed are a model
object or the decoder's own ValueError; anything else, or a case that takes more than a second,
is reported with a reproducer and the run fails. Run it under the sanitizer build
(tools/dev fuzz-serde) so that memory errors abort.

    tools/dev fuzz-serde --seconds 600 --seed 7
"""

import argparse
import random
import re
import sys
import time
from typing import NamedTuple

from decoding import FORMATS, Holder, Pairs, encode, make_plan
from planwriter import arm, field, obj, string_field
from trevalin import Struct

FALLBACKS = {"extra": lambda b: len(b)}
ALLOWED_PREFIXES = ("cannot decode JSON: ", "cannot decode MessagePack: ")
TRAILING = "MessagePack document contains trailing data"


def seeds():
    leaf = Pairs([("name", "leaf"), ("n", 3), ("type", "leaf")])
    other = Pairs([("n", "text"), ("flag", True), ("type", "other")])
    full = Pairs([
        ("i8", -5), ("u8", 200), ("i64", -2**63), ("u64", 2**64 - 1), ("f32", 0.1), ("f64", 1e300),
        ("flag", True), ("color", 2), ("big", 12345678901234), ("full_name", "nâme \"q\""),
        ("tags", ["a", "", "ü"]), ("point", {"x": 1.5, "y": -2.0}), ("leaf", leaf),
        ("leaves", [None, leaf]), ("pair", [{"x": 1}, {"y": 2}]), ("nums", [1.5, None, 3]),
        ("shorts", [1, -2, 3]), ("colors", [1, 2]), ("choice", other), ("choices", [leaf, other]),
        ("uid", "12345678-1234-5678-1234-567812345678"), ("amount", "1.10"), ("extra", {"k": [1, 2]}),
        ("unknown", {"deep": [[1], {"x": None}]}),
    ])
    yield full
    yield Pairs([("choice", Pairs([("n", 1), ("name", "x"), ("type", "leaf"), ("n", 2)]))])
    yield Pairs([("i8", 1), ("i8", 2), ("leaf", None), ("full_name", None)])
    yield Pairs([("shorts", ["1", 2.0, 3]), ("u8", "7"), ("flag", "true"), ("big", "99")])


class Link(Struct):
    u: object = None
    s: str = None
    f: object = None


def chain_plan():
    """Links whose "u" is a union of both arms in another order, and whose "f" is a fallback in one
    arm and a decimal in the other: each level keeps both until its tag."""
    def link(name, arms, f):
        return obj(name, [field("u", 0, kind="union", arms=[arm(k, a) for k, a in arms]), string_field("s", 1), f],
                   serde_tag_field="t", serde_tag=name.lower())
    return make_plan([link("Link", [(1, "Link"), (2, "Knot")], field("f", 2, kind="fallback", fallback_id="extra")),
                      link("Knot", [(2, "Knot"), (1, "Link")], field("f", 2, kind="decimal")),
                      obj("Root", [field("u", 0, kind="union", arms=[arm(1, "Link"), arm(2, "Knot")])])],
                     {"Link": Link, "Knot": Link, "Root": Link})


def chain_document(rng):
    """A chain of late-tag unions with big values here and there, kept by every level above them."""
    def big():
        item = rng.choice([[1, "a:]b", {"c": [2, "}"]}], {"k": [None, True, 3.5]}, "xy"])
        value = [item] * rng.choice([3, 40])
        for _ in range(rng.choice([0, 0, 1, 20])):
            value = [value]
        return value
    doc = Pairs([("z", big()), ("t", "link")] if rng.random() < 0.5 else [("f", big()), ("t", "link")])
    for k in range(rng.randint(1, 12)):
        entries = [("u", doc), ("s", str(k))] + [("z", big())] * rng.randint(0, 1) + [("t", rng.choice(["link", "knot"]))]
        if rng.random() < 0.1:
            rng.shuffle(entries)
        doc = Pairs(entries)
    return Pairs([("u", doc)])


def structural_variants(doc, rng):
    """Documents changed at the level of entries: keys duplicated, tags moved or changed."""
    items = list(doc)
    out = []
    if items:
        k = rng.randrange(len(items))
        out.append(Pairs(items[:k + 1] + [items[k]] + items[k + 1:]))
        out.append(Pairs(rng.sample(items, len(items))))
    for key, value in items:
        if isinstance(value, Pairs):
            inner = list(value)
            tags = [e for e in inner if e[0] == "type"]
            rest = [e for e in inner if e[0] != "type"]
            if tags:
                out.append(Pairs([(key, Pairs(tags + rest))] + items))
                out.append(Pairs([(key, Pairs(rest))] + items))
                out.append(Pairs([(key, Pairs(rest + [("type", rng.choice(["leaf", "other", "x", 5]))]))]))
    return out


def deep(fmt, rng):
    n = 100000
    if fmt == "json":
        return rng.choice([b'{"unknown": ' + b"[" * n + b"]" * n + b"}", b'{"leaf": ' * n, b"[" * n,
                           b'{"leaves": [' * n, b'{"nums": ' + b"[" * n])
    return rng.choice([b"\x81\xa7unknown" + b"\x91" * n + b"\x90", b"\x81\xa4leaf" * n + b"\x80",
                       b"\x81\xa6leaves\x91" * n + b"\x80", b"\x91" * n])


def lying_lengths(data, rng):
    """MessagePack headers rewritten to claim far more than the input holds."""
    data = bytearray(data)
    positions = [i for i, b in enumerate(data) if 0x80 <= b <= 0xbf or b in (0xdc, 0xdd, 0xde, 0xdf, 0xd9, 0xc4)]
    if not positions:
        return bytes(data)
    i = rng.choice(positions)
    b = data[i]
    big = rng.choice([b"\xff\xff\xff\xff", b"\x7f\xff\xff\xff", b"\x00\x01\x00\x00"])
    if 0x80 <= b <= 0x8f or b in (0xde, 0xdf):
        data[i:i + 1] = b"\xdf" + big
    elif 0x90 <= b <= 0x9f or b in (0xdc, 0xdd):
        data[i:i + 1] = b"\xdd" + big
    elif 0xa0 <= b <= 0xbf or b == 0xd9:
        data[i:i + 1] = b"\xdb" + big
    else:
        data[i:i + 1] = b"\xc6" + big
    return bytes(data)


JSON_TOKENS = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"null", b"nul", b"true", b"1e999", b"-",
               b"18446744073709551616", b'"type"', b'"leaf"', b"\xff", b"\x00", b" ", b"\\u00", b"\\ud800"]

# Exponents where a reader's sums over them wrap if they are not held: the edges of 32 and 64 bits
# and their neighbours, and the edges of the double range.
EDGE_EXPONENTS = [2**31 - 1, 2**31, 2**31 + 1, 2**32, 2**63 - 2, 2**63 - 1, 2**63, 2**63 + 1, 2**64 - 1, 2**64,
                  2**64 + 1, 308, 309, 324, 325, 99999]


def digit_run(rng):
    """Digits, the first not 0: one, a few, past the 19 a 64-bit integer holds, or thousands."""
    n = rng.choice([1, 2, rng.randint(3, 19), rng.randint(20, 45), rng.randint(1000, 4000)])
    return str(rng.randrange(10 ** (n - 1), 10 ** n))


def edge_number(rng):
    """The text of a JSON number at the edges of number reading: mantissas with long digit runs
    (leading zeros after the point included), exponents at the edges of 32 and 64 bits."""
    text = rng.choice(["", "", "-"]) + rng.choice(["0", digit_run(rng)])
    if rng.random() < 0.5:
        text += "." + "0" * rng.choice([0, 0, 3, rng.randint(20, 400)]) + digit_run(rng)
    if rng.random() < 0.9:
        exponent = rng.choice(EDGE_EXPONENTS + [rng.randrange(10 ** rng.randint(1, 25))])
        text += rng.choice("eE") + rng.choice(["", "+", "-", "-"]) + "0" * rng.choice([0, 0, 0, 5]) + str(exponent)
    return text


NUMBER = re.compile(rb"-?[0-9][0-9.eE+-]*")
NUMBER_KEYS = ["i8", "u8", "i64", "u64", "f32", "f64", "big", "color", "amount", "nums", "shorts"]


def number_document(fmt, rng):
    """A document whose numeric fields hold edge numbers: as JSON numbers, and as strings (what lax
    decoding reads as a number) in both formats."""
    entries = []
    for key in rng.sample(NUMBER_KEYS, rng.randint(1, 4)):
        def one():
            text = edge_number(rng)
            return text if fmt == "msgpack" or rng.random() < 0.4 else text.encode()
        value = [one() for _ in range(3 if key == "shorts" else rng.randint(0, 3))] if key in ("nums", "shorts") else one()
        entries.append((key, value))
    if fmt == "msgpack":
        return encode(Pairs(entries), fmt)

    def write(v):
        if isinstance(v, list):
            return b"[" + b",".join(write(x) for x in v) + b"]"
        return v if isinstance(v, bytes) else encode(v, fmt)
    return b"{" + b",".join(encode(k, fmt) + b":" + write(v) for k, v in entries) + b"}"


def mutate(data, fmt, rng, corpus):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(8)
        if not data:
            data += rng.choice(corpus)[:rng.randint(0, 20)]
            continue
        i = rng.randrange(len(data))
        if op == 0:
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1:
            data[i] = rng.choice([0x00, 0x7f, 0x80, 0xc0, 0xc1, 0xdc, 0xdd, 0xde, 0xdf, 0xff, ord('"'), ord("{")])
        elif op == 2:
            del data[i:i + rng.randint(1, 8)]
        elif op == 3:
            data[i:i] = rng.choice(JSON_TOKENS) if fmt == "json" else bytes([rng.randrange(256)])
        elif op == 4:
            data = data[:i]
        elif op == 5:
            other = rng.choice(corpus)
            j = rng.randrange(len(other) + 1)
            data[i:] = other[j:]
        elif op == 6:
            j = rng.randrange(len(data))
            data[i:i] = data[j:j + rng.randint(1, 32)]
        elif op == 7 and fmt == "msgpack":
            data = bytearray(lying_lengths(bytes(data), rng))
        elif op == 7:
            # A number of the document, or one at a random place, made an edge number.
            numbers = [m.span() for m in NUMBER.finditer(data)]
            a, b = rng.choice(numbers) if numbers else (i, i)
            data[a:b] = edge_number(rng).encode()
    return bytes(data)


class Target(NamedTuple):
    plan: object
    root: str
    cls: type


def outcome(target, data, fmt, strict):
    """What decoding gives: ("ok", repr of the model) or ("error", text); a finding raises Finding."""
    try:
        result = target.plan.decode_serde(target.root, data, fmt == "json", strict=strict, fallback_decoders=FALLBACKS)
    except ValueError as e:
        text = str(e)
        if not (text.startswith(ALLOWED_PREFIXES) or text == TRAILING):
            raise Finding(f"unexpected ValueError text: {text[:300]!r}") from None
        return "error", text
    except BaseException as e:  # noqa: BLE001 - anything else is the finding
        raise Finding(f"unexpected {type(e).__name__}: {str(e)[:300]!r}") from None
    if type(result) is not target.cls:
        raise Finding(f"unexpected result {type(result).__name__}")
    return "ok", repr(result)


class Finding(Exception):
    pass


def check(plan, data, fmt, strict, tail=None):
    """None, or what is wrong. With `tail`, the document is also read in place as a view of a larger
    object that goes on with `tail`, which must change nothing."""
    start = time.perf_counter()
    try:
        expected = outcome(plan, data, fmt, strict)
        if tail is not None:
            owner = data + tail
            in_place = outcome(plan, memoryview(owner)[:len(data)], fmt, strict)
            if in_place != expected:
                return f"read in place before {tail[:24]!r}...: {in_place[1][:200]!r}, not {expected[1][:200]!r}"
    except Finding as e:
        return str(e)
    if time.perf_counter() - start > 1.0:
        return f"took {time.perf_counter() - start:.2f} s"
    return None


def owner_tail(corpus, rng):
    """Bytes that follow a document inside its owner: text that reads on like a document would."""
    piece = rng.choice(corpus)
    k = rng.randrange(len(piece))
    return (piece[k:k + 80] + rng.choice([b'}', b':', b'"', b',', b'1']) * 80)[:80]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--cases", type=int, default=10**9)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    plan = make_plan()
    holder = Target(plan, "Holder", Holder)
    chain = Target(chain_plan(), "Root", Link)
    chains = {fmt: [encode(chain_document(rng), fmt) for _ in range(8)] for fmt in FORMATS}

    corpus = {fmt: [] for fmt in FORMATS}
    for doc in seeds():
        for variant in [doc] + structural_variants(doc, rng):
            for fmt in FORMATS:
                data = encode(variant, fmt)
                corpus[fmt].append(data)
    for fmt in FORMATS:
        # The first seed is a valid document of every kind: it must decode.
        result = plan.decode_serde("Holder", corpus[fmt][0], fmt == "json", fallback_decoders=FALLBACKS)
        assert type(result) is Holder and result.extra > 0, result
        for data in corpus[fmt]:
            if failure := check(holder, data, fmt, True):
                print(f"seed document fails ({fmt}): {failure}\n  {data!r}", file=sys.stderr)
                return 1

    seeded = {fmt: len(corpus[fmt]) for fmt in FORMATS}
    deadline = time.monotonic() + args.seconds
    cases = 0
    while time.monotonic() < deadline and cases < args.cases:
        fmt = rng.choice(FORMATS)
        roll = rng.random()
        target = holder
        if roll < 0.08:
            # A chain of late-tag unions, new or mutated: kept values walked once and jumped over.
            target = chain
            if roll < 0.02:
                chains[fmt][rng.randrange(len(chains[fmt]))] = data = encode(chain_document(rng), fmt)
            else:
                data = mutate(rng.choice(chains[fmt]), fmt, rng, chains[fmt])
        elif roll < 0.1:
            data = deep(fmt, rng)
        elif roll < 0.18 and fmt == "msgpack":
            data = lying_lengths(rng.choice(corpus[fmt]), rng)
        elif roll < 0.33:
            data = number_document(fmt, rng)
            # Kept for mutants of its own, in a few places past the seeds.
            kept = corpus[fmt]
            if len(kept) < seeded[fmt] + 64:
                kept.append(data)
            else:
                kept[rng.randrange(seeded[fmt], len(kept))] = data
        else:
            data = mutate(rng.choice(corpus[fmt]), fmt, rng, corpus[fmt])
        strict = rng.random() < 0.5
        tail = owner_tail(corpus[fmt], rng) if rng.random() < 0.25 else None
        failure = check(target, data, fmt, strict, tail)
        cases += 1
        if failure:
            view = "" if tail is None else f" (and as memoryview({data + tail!r})[:{len(data)}])"
            print(f"fuzz failure after {cases} cases (seed {args.seed}, {fmt}, strict={strict}): {failure}\n"
                  f"  reproduce: plan.decode_serde({target.root!r}, {data!r}, {fmt == 'json'}, strict={strict}, "
                  f"fallback_decoders=...){view}", file=sys.stderr)
            return 1
    print(f"fuzz_serde: {cases} cases, seed {args.seed}, no finding")
    return 0


if __name__ == "__main__":
    sys.exit(main())
