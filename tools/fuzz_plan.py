"""Mutation fuzzing of plan loading.

Mutates valid plan documents (both record forms) and loads each mutant with NativePlan. The only
outcomes allowed are a plan or a ValueError; anything else is reported with a reproducer and the
run fails. Run it under the sanitizer build so that memory errors abort:

    tools/dev fuzz-plan --seconds 600 --seed 7
"""

import argparse
import random
import sys
import time

import msgpack

from fuzz_unpack import PLAN, mutate
from quorvel._native import NativePlan

FIELD_KEYS = ["name", "slot", "offset", "kind", "scalar", "default", "optional", "required",
              "serde_nullable", "serde_element_nullable", "serde_python_int", "serde_omit_default", "key",
              "target", "type_slot", "type_scalar", "allowed_prefix", "enum_type", "dynamic_type", "arms",
              "fixed_length", "element_size", "fallback_id"]
OBJECT_KEYS = ["name", "is_struct", "byte_size", "min_alignment", "fields", "serde_fields", "serde_tag_field",
               "serde_tag"]


def map_form(document):
    """The same plan with every record written as a map (keys by name, some by index)."""
    version, objects = msgpack.unpackb(document)

    def record(values, keys):
        return {(k if i % 3 else i): v for i, (k, v) in enumerate(zip(keys, values))}

    out = []
    for obj in objects:
        obj = list(obj)
        obj[4] = [record(f, FIELD_KEYS) for f in obj[4]]
        out.append(record(obj, OBJECT_KEYS))
    return msgpack.packb({"version": version, "objects": out})


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--cases", type=int, default=20000)
    args = parser.parse_args()

    corpus = [PLAN, map_form(PLAN), msgpack.packb([2, []]), msgpack.packb({"version": 2, "objects": []})]
    for document in corpus:
        NativePlan(document)
    rng = random.Random(args.seed)
    deadline = time.monotonic() + args.seconds
    outcomes = {}
    case = 0
    while case < args.cases and time.monotonic() < deadline:
        mutant = mutate(rng, rng.choice(corpus), corpus)
        try:
            NativePlan(mutant)
            outcome = "loaded"
        except ValueError:
            outcome = "ValueError"
        except Exception as exc:  # noqa: BLE001 - every other outcome is a failure
            print(f"unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
            print(f"  seed {args.seed}, case {case}, document {mutant.hex()}", file=sys.stderr)
            return 1
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        case += 1
    summary = ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items()))
    print(f"fuzz: {case} plan documents (seed {args.seed}): {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
