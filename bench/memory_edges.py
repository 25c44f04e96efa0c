"""Peak memory of one call at the edges of each document kind.

    python3 bench/memory_edges.py [--shapes NAME,...] [--count N] [--values N] [--list]

The multiples of README's Performance section are worst cases only if no document
of the same kind needs more. The shapes below push the usual suspects: the
shortest texts a record can have (one- to four-character identifiers, only the
members a record requires) and counts just past a power of two, where a list read
by doubling and a hash index sized to at most half full both hold about twice
what they need. Each call runs once in a fresh interpreter that holds only its
texts, measured as bench/worst_case.py measures (peak additional resident memory,
Linux only); the table gives the peak, the text and their ratio. Documents are
cached under build/memory-docs/. Run by hand, one shape at a time.
"""

import argparse
import fnmatch
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import worst_case  # noqa: E402  (its probe and measure(), and the module check)

vx = worst_case.vx
CACHE = HERE.parent / "build" / "memory-docs"
ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-._"  # every identifier byte


def dumps(doc):
    return json.dumps(doc, separators=(",", ":"))


def short_ids(count):
    """`count` distinct identifiers, the shortest first (65 of one byte, 65^2 of two, ...)."""
    out, width = [], 1
    while len(out) < count:
        total = len(ALPHABET) ** width
        for k in range(min(total, count - len(out))):
            chars = []
            for _ in range(width):
                k, r = divmod(k, len(ALPHABET))
                chars.append(ALPHABET[r])
            out.append("".join(chars))
        width += 1
    return out


SOURCE = {"id": "s", "name": "n", "type_id": "t", "modality": "m", "sample_key": "k", "granularity": "per_sample",
          "native_representation": {"id": "r", "type_id": "t", "rank": 1, "axes": [{"name": "sample",
                                                                                   "kind": "sample"}],
                                    "container": "c"}}
PLAN = {"id": "p", "steps": [{"kind": "materialize", "source_id": "s", "fit_scope": "stateless"}],
        "output_representation": "r"}


def schema(ids):
    return dumps({"dataset_id": "d", "sample_ids": ids, "sources": [SOURCE]})


def rows(observations, samples, **extra):
    return dumps({"rows": [{"observation_id": o, "sample_id": s, **extra} for o, s in zip(observations, samples)]})


def one_fold(ids):
    return dumps({"id": "f", "sample_ids": ids,
                  "folds": [{"fold_id": "f", "train_sample_ids": [], "validation_sample_ids": ids}]})


def many_folds(ids):
    return dumps({"id": "f", "sample_ids": ids, "folds": [
        {"fold_id": i, "train_sample_ids": [], "validation_sample_ids": [i]} for i in ids]})


def plan_steps(count, metadata=None):
    step = {"kind": "materialize", "source_id": "s", "fit_scope": "stateless"}
    if metadata is not None:
        step["metadata"] = metadata
    return dumps({"id": "p", "steps": [step] * count, "output_representation": "r"})


def envelope(schema_text, plan_text, relations_text):
    return vx.build_coordinator_data_plan_envelope_json(schema_text, plan_text, relations_text)


def numbers(count):
    return [1] * count


SHAPES = {}


def shape(name, function, what):
    def register(build):
        SHAPES[name] = {"name": name, "function": function, "what": what, "build": build}
        return build
    return register


# Records made of the shortest texts their contract allows. `n` records, `v` free-form items.
shape("schema-short-ids", "validate_dataset_schema_json", "n sample ids of 1-4 bytes, one source")(
    lambda n, v: [schema(short_ids(n))])
shape("schema-fp-short-ids", "dataset_schema_fingerprint_json", "the same, fingerprinted")(
    lambda n, v: [schema(short_ids(n))])
shape("relations-short-rows", "validate_sample_relation_table_json", "n rows of a 1-4 byte observation id, one sample")(
    lambda n, v: [rows(short_ids(n), ["s"] * n)])
shape("relations-fp-short-rows", "sample_relation_table_fingerprint_json", "the same, fingerprinted")(
    lambda n, v: [rows(short_ids(n), ["s"] * n)])
shape("relations-short-rows-own-samples", "validate_sample_relation_table_json",
      "n rows, observation and sample the same 1-4 byte id")(lambda n, v: [rows(short_ids(n), short_ids(n))])
shape("relations-fp-short-rows-own-samples", "sample_relation_table_fingerprint_json", "the same, fingerprinted")(
    lambda n, v: [rows(short_ids(n), short_ids(n))])
shape("folds-one-fold-short-ids", "validate_fold_set_json", "n samples of 1-4 bytes, all in one fold's validation")(
    lambda n, v: [one_fold(short_ids(n))])
shape("folds-fp-one-fold-short-ids", "fold_set_fingerprint_json", "the same, fingerprinted")(
    lambda n, v: [one_fold(short_ids(n))])
shape("folds-many-folds-short-ids", "validate_fold_set_json", "n folds of one validation sample, ids of 1-4 bytes")(
    lambda n, v: [many_folds(short_ids(n))])
shape("folds-fp-many-folds-short-ids", "fold_set_fingerprint_json", "the same, fingerprinted")(
    lambda n, v: [many_folds(short_ids(n))])
shape("cross-short-ids", "validate_fold_set_against_sample_relations_json",
      "one fold of n samples against n rows, ids of 1-4 bytes")(
    lambda n, v: [one_fold(short_ids(n)), rows(short_ids(n), short_ids(n))])
shape("cross-many-folds-short-ids", "validate_fold_set_against_sample_relations_json",
      "n folds of one sample against n rows, ids of 1-4 bytes")(
    lambda n, v: [many_folds(short_ids(n)), rows(short_ids(n), short_ids(n))])
shape("plan-short-steps", "validate_data_plan_json", "n materialize steps with only the required members")(
    lambda n, v: [plan_steps(n)])
shape("plan-fp-short-steps", "data_plan_fingerprint_json", "the same, fingerprinted")(lambda n, v: [plan_steps(n)])
shape("envelope-short-ids", "validate_coordinator_data_plan_envelope_json",
      "the envelope built from n short sample ids and n rows")(
    lambda n, v: [envelope(schema(short_ids(n)), dumps(PLAN), rows(short_ids(n), short_ids(n)))])
shape("envelope-short-steps", "validate_coordinator_data_plan_envelope_json",
      "the envelope of a plan of n short steps")(
    lambda n, v: [envelope(schema(["a"]), plan_steps(n), rows(["a"], ["a"]))])
shape("envelope-build-short-ids", "build_coordinator_data_plan_envelope_json",
      "schema, plan and table of n short ids (the result counts)")(
    lambda n, v: [schema(short_ids(n)), dumps(PLAN), rows(short_ids(n), short_ids(n))])

# Free-form values made of tiny items: v of them.
shape("relations-fp-metadata-numbers", "sample_relation_table_fingerprint_json",
      "one row whose metadata holds v one-digit numbers")(
    lambda n, v: [rows(["o"], ["s"], metadata={"x": numbers(v)})])
shape("relations-metadata-numbers", "validate_sample_relation_table_json", "the same, validated")(
    lambda n, v: [rows(["o"], ["s"], metadata={"x": numbers(v)})])
shape("relations-fp-metadata-empty-arrays", "sample_relation_table_fingerprint_json",
      "one row whose metadata holds v empty arrays")(
    lambda n, v: [rows(["o"], ["s"], metadata={"x": [[]] * v})])
shape("relations-fp-metadata-short-keys", "sample_relation_table_fingerprint_json",
      "one row whose metadata is an object of v short keys")(
    lambda n, v: [rows(["o"], ["s"], metadata={k: 1 for k in short_ids(v)})])
shape("plan-fp-metadata-numbers", "data_plan_fingerprint_json", "one step whose metadata holds v one-digit numbers")(
    lambda n, v: [plan_steps(1, {"x": numbers(v)})])
shape("envelope-metadata-numbers", "validate_coordinator_data_plan_envelope_json",
      "an envelope whose plan step holds v one-digit numbers")(
    lambda n, v: [envelope(schema(["a"]), plan_steps(1, {"x": numbers(v)}), rows(["a"], ["a"]))])
shape("envelope-build-metadata-numbers", "build_coordinator_data_plan_envelope_json",
      "a plan step holding v one-digit numbers (the result counts)")(
    lambda n, v: [schema(["a"]), plan_steps(1, {"x": numbers(v)}), rows(["a"], ["a"])])


def paths_of(entry, count, values):
    tag = f"{entry['name']}-n{count}-v{values}"
    found = sorted(CACHE.glob(f"{tag}-*.json")) if CACHE.exists() else []
    if found:
        return found
    CACHE.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, text in enumerate(entry["build"](count, values)):
        path = CACHE / f"{tag}-{i}.json"
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shapes", default="*", help="comma-separated names or shell patterns")
    parser.add_argument("--count", type=int, default=2**20 + 1, help="records (default 2^20 + 1)")
    parser.add_argument("--values", type=int, default=2**22 + 1, help="free-form items (default 2^22 + 1)")
    parser.add_argument("--timeout", type=float, default=300.0)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    patterns = args.shapes.split(",")
    chosen = [s for s in SHAPES.values() if any(fnmatch.fnmatchcase(s["name"], p) for p in patterns)]
    if args.list:
        for s in chosen:
            print(f"{s['name']:40} {s['function']:50} {s['what']}")
        return
    print(f"n = {args.count:,}, v = {args.values:,}; CPU: {worst_case.common.cpu_model()}")
    print("| shape | function | text | peak | peak / text | time | outcome |")
    print("|---|---|---|---|---|---|---|")
    for entry in chosen:
        paths = paths_of(entry, args.count, args.values)
        size = sum(p.stat().st_size for p in paths)
        result = worst_case.measure(paths, entry["function"], args.timeout)
        peak = result["peak"]
        ratio = f"{peak / size:.1f}x" if peak is not None else "?"
        seconds = f"{result['time']:.2f} s" if result["time"] is not None else "-"
        outcome = result["outcome"][:60]
        if result.get("out_bytes"):
            outcome += f" ({result['out_bytes'] / 1e6:.1f} MB returned)"
        print(f"| `{entry['name']}` | `{entry['function']}` | {size / 1e6:.1f} MB | "
              f"{(peak or 0) / 1e6:.0f} MB | {ratio} | {seconds} | {outcome} |", flush=True)


if __name__ == "__main__":
    main()
