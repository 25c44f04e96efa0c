"""Times every function of `_veltrinax` on crafted documents beside benign twins.

    python3 bench/worst_case.py [--rows NAME,...] [--scale 0.1] [--timeout 120] [--list]

Each row builds a crafted document (or set of argument texts) and a benign twin
of about the same byte count with the same number of entries, then times one call
of each in a fresh interpreter that holds only the texts, with the peak
additional resident memory of the call measured as bench/run.py does. A call
that outlives --timeout is stopped and recorded as such. The table goes to the
"## Worst cases" section of bench/RESULTS.md (rows measured again replace their
old lines; the rest of the file is kept as it is).

Run by hand, never by the tests. Documents are cached under
build/worst-docs/. Colliding identifiers need numpy.
"""

import argparse
import fnmatch
import json
import math
import os
import platform
import random
import subprocess
import sys
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
import common  # noqa: E402
CACHE = ROOT / "build" / "worst-docs"
SECTION = "## Worst cases"
# Bump when a builder changes, so that cached documents are made anew.
DOC_VERSION = 3

try:
    import _veltrinax as vx
except ImportError:  # pragma: no cover - message for a machine without the module
    sys.exit("_veltrinax is not importable: build it (see bench/README.md) or set PYTHONPATH")


def dumps(doc):
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False)


# ---------------------------------------------------------------------------
# The identifier hash of the text indexes, and identifiers that collide under it
# ---------------------------------------------------------------------------

M64 = (1 << 64) - 1
K_HI, K_LO, K_BYTE = 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x100000001B3
K_MIX = 0xBF58476D1CE4E5B9


def hash_text(text: bytes) -> int:
    """The core's text hash (the packed first 16 bytes, the length, then byte by byte)."""
    head = text[:16].ljust(16, b"\0")
    hi, lo = int.from_bytes(head[:8], "big"), int.from_bytes(head[8:], "big")
    h = (hi * K_HI) & M64
    h ^= ((lo + len(text)) * K_LO) & M64
    for b in text[16:]:
        h = ((h ^ b) * K_BYTE) & M64
    h ^= h >> 29
    h = (h * K_MIX) & M64
    h ^= h >> 32
    return h


ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
# Every identifier below lands in the first WINDOW slots of any table of up to
# 2^TABLE_BITS slots (a table holds up to half as many texts), so linear probing
# walks one cluster that grows with every insertion.
TABLE_BITS = 22
WINDOW_BITS = 14


def colliding_ids(count):
    """`count` distinct 16-character identifiers whose hashes all start their probe in
    the first 2^14 slots of every table of up to 2^22 slots; cached."""
    path = CACHE / f"colliding-{TABLE_BITS}-{WINDOW_BITS}.txt"
    have = path.read_text().split() if path.exists() else []
    if len(have) >= count:
        return have[:count]
    if count < 1 << 12:
        # A few thousand need no numpy, and are not worth a cache.
        rng = random.Random(count)
        found = dict.fromkeys(have)
        while len(found) < count:
            text = bytes(rng.choices(ALPHABET, k=16))
            if hash_text(text) & ((1 << TABLE_BITS) - 1) < (1 << WINDOW_BITS):
                found[text.decode()] = None
        return list(found)[:count]
    import numpy as np

    rng = np.random.default_rng(20240611 + len(have))
    alphabet = np.frombuffer(ALPHABET, dtype=np.uint8)
    found = dict.fromkeys(have)
    mask = np.uint64((1 << TABLE_BITS) - 1)
    window = np.uint64(1 << WINDOW_BITS)
    print(f"searching {count - len(have):,} colliding identifiers ...", file=sys.stderr, flush=True)
    with np.errstate(over="ignore"):
        while len(found) < count:
            raw = alphabet[rng.integers(0, 64, size=(1 << 22, 16), dtype=np.uint8)]
            words = raw.view(">u8").astype(np.uint64)
            h = words[:, 0] * np.uint64(K_HI)
            h ^= (words[:, 1] + np.uint64(16)) * np.uint64(K_LO)
            h ^= h >> np.uint64(29)
            h *= np.uint64(K_MIX)
            h ^= h >> np.uint64(32)
            for row in raw[(h & mask) < window]:
                found[row.tobytes().decode()] = None
    ids = list(found)
    sample = ids[:: max(1, len(ids) // 50)]
    assert all(hash_text(s.encode()) & ((1 << TABLE_BITS) - 1) < (1 << WINDOW_BITS) for s in sample)
    CACHE.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(ids) + "\n")
    return ids[:count]


def random_ids(count, length=16, seed=7):
    rng = random.Random(seed)
    alphabet = ALPHABET.decode()
    out = set()
    while len(out) < count:
        out.add("".join(rng.choices(alphabet, k=length)))
    return sorted(out, key=lambda _: rng.random())


def long_ids(count, shared_prefix):
    """128-byte ids: with `shared_prefix`, all alike up to their last 8 characters."""
    if shared_prefix:
        return [f"{'p' * 120}{i:08d}" for i in range(count)]
    return random_ids(count, length=128, seed=11)


# ---------------------------------------------------------------------------
# Document builders
# ---------------------------------------------------------------------------

SAMPLE_AXIS = {"name": "sample", "kind": "sample"}


def representation(rep_id="n0", type_id="t", axes=None, **members):
    axes = axes if axes is not None else [SAMPLE_AXIS]
    return {"id": rep_id, "type_id": type_id, "rank": len(axes), "axes": axes, "container": "ndarray", **members}


def source(source_id="src", rep=None, type_id="t", **members):
    return {
        "id": source_id,
        "name": source_id,
        "type_id": type_id,
        "modality": "m",
        "native_representation": rep or representation(),
        "sample_key": "sample_id",
        "granularity": "per_sample",
        **members,
    }


def schema(samples=("s1",), sources=None, **members):
    return {"dataset_id": "d", "sample_ids": list(samples), "sources": sources or [source()], **members}


def adapter(adapter_id, a, b, cost=1, type_id="t", **members):
    return {
        "id": adapter_id,
        "version": "1.0.0",
        "input_type": type_id,
        "input_representation": a,
        "output_type": type_id,
        "output_representation": b,
        "cost": cost,
        "fit_scope": "stateless",
        **members,
    }


def port(name="x", representations=("target",), types=("t",), **members):
    return {"name": name, "accepted_representations": list(representations), "accepted_types": list(types), **members}


REQUEST = {"id": "p", "planning_policy": {}}


def planner_args(adapters, ports=None, sources=None, request=None, samples=("s1",), default_fusion=None):
    model_input = {"ports": ports or [port()]}
    if default_fusion is not None:
        model_input["default_fusion"] = default_fusion
    return [
        dumps(schema(samples, sources)),
        dumps(model_input),
        dumps({"adapters": adapters}),
        dumps(request or REQUEST),
    ]


def parallel_stages(stages, start, prefix, id_width=0, equal=True, first_index=0):
    """`stages` hops from `start`, each by two parallel adapters (of equal cost, or
    the second dearer); returns the adapters and the last node."""
    adapters = []
    node = start
    for k in range(stages):
        nxt = f"{prefix}{first_index + k + 1}"
        for way in range(2):
            aid = f"{prefix}.{k:02d}.{way}"
            if id_width:
                aid = aid + "x" * (id_width - len(aid))
            adapters.append(adapter(aid, node, nxt, cost=1 if equal or way == 0 else 2))
        node = nxt
    return adapters, node


def ring(count, entry, prefix, closed=True):
    """Adapters r1 -> r2 -> ... around `count` nodes starting at `entry`; the last node
    leads back to `entry` when `closed`, else an unrelated adapter takes its place."""
    adapters = []
    nodes = [entry] + [f"{prefix}{i}" for i in range(1, count)]
    for i in range(count - 1):
        adapters.append(adapter(f"{prefix}.{i:06d}", nodes[i], nodes[i + 1]))
    if closed:
        adapters.append(adapter(f"{prefix}.{count - 1:06d}", nodes[-1], entry))
    else:
        adapters.append(adapter(f"{prefix}.{count - 1:06d}", "elsewhere", "nowhere"))
    return adapters, nodes[-1]


def link_to(relation, origin, augmented):
    """Makes the relation row augmented from the row `origin`, or (a benign twin of
    the same bytes) an excluded repetition of it."""
    if augmented:
        relation.update(augmented=True, origin_id=origin)
    else:
        relation.update(excluded=True, repetition_id=origin)
    return relation


def deep_value(depth):
    """An object nested `depth` levels deep: {"a":{"a":...{"a":1}}}."""
    return json.loads('{"a":' * depth + "1" + "}" * depth)


def flat_like(value):
    """A string whose JSON text is as long as `value`'s."""
    return "x" * (len(dumps(value)) - 2)


_DEPTHS = {}


def legal_depth(make):
    """The deepest nesting `make(depth)` (a list of argument texts for `fn`) accepts
    without the reader's depth limit; found once per place."""
    key = make.__name__
    if key not in _DEPTHS:
        fn, build = make()
        lo, hi = 1, 200
        while lo < hi:
            mid = (lo + hi + 1) // 2
            try:
                fn(*build(mid))
                ok = True
            except Exception as error:  # noqa: BLE001 - any failure but the depth limit passes
                ok = "recursion limit" not in str(error)
            lo, hi = (mid, hi) if ok else (lo, mid - 1)
        _DEPTHS[key] = lo
    return _DEPTHS[key]


# ---------------------------------------------------------------------------
# Rows. Each builder takes the scale and returns (crafted args, benign args),
# each a list of texts for the function.
# ---------------------------------------------------------------------------

ROWS = []


def row(name, function, shape, n):
    def register(builder):
        ROWS.append({"name": name, "function": function, "shape": shape, "n": n, "build": builder})
        return builder

    return register


def scaled(n, scale):
    return max(2, int(n * scale))


def scaled_stages(stages, scale):
    """Stages of two ways each, fewer by log2 of the scale (the paths number 2^stages)."""
    return max(2, stages + min(0, round(math.log2(scale))))


# --- the crafted inputs known from earlier reports ---------------------------------


def _schema_ids(ids):
    return [dumps(schema(ids))]


for _n, _fn in ((262_144, "validate_dataset_schema_json"), (262_144, "dataset_schema_fingerprint_json"),
                (524_288, "validate_dataset_schema_json"), (1_048_576, "validate_dataset_schema_json")):
    row(f"schema-ids-collide-{_n // 1024}k" + ("-fp" if "fingerprint" in _fn else ""), _fn,
        "sample ids sharing the first slots of the id hash set", _n)(
        lambda s, n=_n: (_schema_ids(colliding_ids(scaled(n, s))), _schema_ids(random_ids(scaled(n, s)))))


def _relation_ids(ids):
    return [dumps({"rows": [{"observation_id": i, "sample_id": i} for i in ids]})]


row("relations-ids-collide", "validate_sample_relation_table_json",
    "colliding ids as observation and sample ids", 262_144)(
    lambda s: (_relation_ids(colliding_ids(scaled(262_144, s))), _relation_ids(random_ids(scaled(262_144, s)))))


def _two_folds(ids, fold_ids=("f1", "f2")):
    half = len(ids) // 2
    return {
        "id": "fs",
        "sample_ids": ids,
        "folds": [
            {"fold_id": fold_ids[0], "train_sample_ids": ids[half:], "validation_sample_ids": ids[:half]},
            {"fold_id": fold_ids[1], "train_sample_ids": ids[:half], "validation_sample_ids": ids[half:]},
        ],
    }


row("folds-ids-collide", "validate_fold_set_json", "colliding ids as the universe, in two folds", 262_144)(
    lambda s: ([dumps(_two_folds(colliding_ids(scaled(262_144, s))))],
               [dumps(_two_folds(random_ids(scaled(262_144, s))))]))


def _contracted_axes(n, contract):
    axes = [SAMPLE_AXIS] + [{"name": f"axis{i:06d}", "kind": "feature", "size": 4} for i in range(n)]
    sizes = {f"axis{i:06d}": {"exact": 4} for i in range(n)}
    if contract:
        src = source(rep=representation(axes=axes), shape_contract={"axis_sizes": sizes})
    else:
        # The same entries as free-form tags, and a contract that names one axis.
        src = source(rep=representation(axes=axes), tags=sizes,
                     shape_contract={"axis_sizes": {"axis000000": {"exact": 4}}})
    return [dumps(schema(["s1"], [src]))]


row("schema-shape-contract-axes", "validate_dataset_schema_json",
    "a shape contract naming each of 100,000 axes", 100_000)(
    lambda s: (_contracted_axes(scaled(100_000, s), True), _contracted_axes(scaled(100_000, s), False)))


def _origin_folds(n, origins):
    samples = [f"s{i:07d}" for i in range(n)]
    rows = []
    for i in range(n):
        r = {"observation_id": f"o{i:07d}", "sample_id": samples[i]}
        rows.append(link_to(r, f"o{i - 1:07d}", origins) if i else r)
    folds = {
        "id": "fs",
        "sample_ids": samples,
        "folds": [{"fold_id": f"f{i:07d}", "train_sample_ids": [], "validation_sample_ids": [s]}
                  for i, s in enumerate(samples)],
    }
    return [dumps(folds), dumps({"rows": rows})]


for _n in (100_000, 300_000):
    row(f"cross-folds-x-origins-{_n // 1000}k", "validate_fold_set_against_sample_relations_json",
        "one fold per sample against rows each augmented from the one before", _n)(
        lambda s, n=_n: (_origin_folds(scaled(n, s), True), _origin_folds(scaled(n, s), False)))


def _ring_args(n, closed):
    adapters, last = ring(n, "n0", "r", closed=closed)
    adapters.append(adapter("z.exit", last, "target"))
    return planner_args(adapters)


row("plan-ring", "plan_model_input_json", "a ring of 100,000 adapters with one way out (twin: a chain)", 100_000)(
    lambda s: (_ring_args(scaled(100_000, s), True), _ring_args(scaled(100_000, s), False)))


def _ways_into_ring(n, equal):
    adapters, entry = parallel_stages(7, "n0", "w", equal=equal)
    more, last = ring(n, entry, "r")
    adapters += more
    adapters.append(adapter("z.exit", last, "target"))
    return planner_args(adapters)


row("plan-ways-into-ring", "plan_model_input_json",
    "2^7 equal ways into a ring of 7,000 adapters (twin: one best way)", 7_000)(
    lambda s: (_ways_into_ring(scaled(7_000, s), True), _ways_into_ring(scaled(7_000, s), False)))


def _ways_into_hub(n, equal, stages=18):
    adapters, hub = parallel_stages(stages, "n0", "w", equal=equal)
    adapters += [adapter(f"d.{i:06d}", hub, f"dead{i}") for i in range(n)]
    adapters.append(adapter("z.exit", hub, "target"))
    return planner_args(adapters)


row("plan-ways-into-hub", "plan_model_input_json",
    "2^18 equal ways into a hub with 60,000 dead-end adapters (twin: one best way)", 60_000)(
    lambda s: (_ways_into_hub(scaled(60_000, s), True), _ways_into_hub(scaled(60_000, s), False)))


def _parallel_long_ids(stages, equal):
    adapters, last = parallel_stages(stages, "n0", "w", id_width=400, equal=equal)
    return planner_args(adapters, ports=[port(representations=[last])])


row("plan-parallel-long-ids", "plan_model_input_json",
    "18 steps of two equal adapters with 400-character ids (twin: one best way)", 18)(
    lambda s: (_parallel_long_ids(scaled_stages(18, s), True), _parallel_long_ids(scaled_stages(18, s), False)))


def _dead_end_region(stages, cost):
    adapters, _ = parallel_stages(stages, "n0", "d")
    adapters.append(adapter("u.unrelated", "u0", "u1", cost=cost, type_id="u"))
    return planner_args(adapters, ports=[port(representations=["t", "n0"])])


row("plan-dead-end-overflow", "plan_model_input_json",
    "2^24 equal dead-end paths and an unrelated adapter of cost 2^64-1 (twin: cost 10^19)", 24)(
    lambda s: (_dead_end_region(scaled_stages(24, s), 2**64 - 1), _dead_end_region(scaled_stages(24, s), 10**19)))


# --- the sweep: every function, every list and map, in adversarial shapes ------------

# Dataset schemas.


def _schema_with(samples=None, sources=None, **members):
    return [dumps(schema(samples or ["s1"], sources, **members))]


row("schema-ids-equal", "validate_dataset_schema_json", "1,000,000 equal sample ids", 1_000_000)(
    lambda s: (_schema_with(["s0000001"] * scaled(10**6, s)),
               _schema_with([f"s{i:07d}" for i in range(scaled(10**6, s))])))
row("schema-ids-long", "validate_dataset_schema_json", "1,000,000 sample ids of 128 bytes alike but the end", 1_000_000)(
    lambda s: (_schema_with(long_ids(scaled(10**6, s), True)), _schema_with(long_ids(scaled(10**6, s), False))))
row("schema-fp-ids-long", "dataset_schema_fingerprint_json", "1,000,000 sample ids of 128 bytes alike but the end",
    1_000_000)(
    lambda s: (_schema_with(long_ids(scaled(10**6, s), True)), _schema_with(long_ids(scaled(10**6, s), False))))


def _sources(n, same_prefix):
    ids = long_ids(n, same_prefix)
    return _schema_with(sources=[source(i) for i in ids])


row("schema-sources-long-ids", "validate_dataset_schema_json", "100,000 sources with 128-byte ids alike but the end",
    100_000)(lambda s: (_sources(scaled(10**5, s), True), _sources(scaled(10**5, s), False)))
row("schema-fp-sources-long-ids", "dataset_schema_fingerprint_json",
    "100,000 sources with 128-byte ids alike but the end", 100_000)(
    lambda s: (_sources(scaled(10**5, s), True), _sources(scaled(10**5, s), False)))


def _many_axes(n, kind):
    axes = [{"name": "a0000000" if kind == "equal" else f"a{i:07d}", "kind": "feature"} for i in range(n)]
    axes.append(SAMPLE_AXIS)
    return _schema_with(sources=[source(rep=representation(axes=axes))])


row("schema-axes", "validate_dataset_schema_json", "1,000,000 axes of one name, the sample axis last", 1_000_000)(
    lambda s: (_many_axes(scaled(10**6, s), "equal"), _many_axes(scaled(10**6, s), "distinct")))


def _coordinates(values, dtype):
    axis = {"name": "c", "kind": "feature", "size": len(values),
            "coordinate": {"dtype": dtype, "values": {"kind": "explicit", "values": values}}}
    return _schema_with(sources=[source(rep=representation(axes=[SAMPLE_AXIS, axis]))])


row("schema-categorical-coordinates", "validate_dataset_schema_json",
    "1,000,000 categorical coordinates of 128 bytes alike but the end", 1_000_000)(
    lambda s: (_coordinates(long_ids(scaled(10**6, s), True), "categorical"),
               _coordinates(long_ids(scaled(10**6, s), False), "categorical")))


# The string hash the schema's key order used before it was keyed: libstdc++'s
# std::hash<std::string_view>, a MurmurHash64A-style walk over 8-byte blocks
# from a fixed seed.
OLD_SEED, OLD_MUL = 0xC70F6907, 0xC6A4A7935BD1E995
OLD_MUL_INVERSE = pow(OLD_MUL, -1, 1 << 64)
# Printable ASCII but the two characters JSON escapes.
LABEL_BYTES = bytes(c for c in range(0x20, 0x7F) if c not in b'"\\')


def _old_block_mix(block):
    word = (int.from_bytes(block, "little") * OLD_MUL) & M64
    return ((word ^ (word >> 47)) * OLD_MUL) & M64


def _old_block_unmix(mixed):
    # x ^ (x >> 47) undoes itself on 64 bits, and the multiplier is odd.
    word = (mixed * OLD_MUL_INVERSE) & M64
    return (((word ^ (word >> 47)) * OLD_MUL_INVERSE) & M64).to_bytes(8, "little")


def old_hash_colliding_labels(count):
    """`count` distinct printable labels of 16*k bytes (k the least with 2^k >= count)
    that share one value of the former std::hash. It folds each 8-byte block into
    its state as `h = (h ^ mix(block)) * mul`, from a start set by its seed and the
    length; at each 16-byte position two random blocks b, b' leave states s, s', and
    a block c is drawn until c' = mix^-1(mix(c) ^ s ^ s') is printable too, so that
    b+c and b'+c' leave one state and either may stand at that position."""
    positions = max(1, (count - 1).bit_length())
    rng = random.Random(13)

    def block():
        return bytes(rng.choices(LABEL_BYTES, k=8))

    state = (OLD_SEED ^ (16 * positions * OLD_MUL)) & M64
    pairs = []
    for _ in range(positions):
        first, other = block(), block()
        while other == first:
            other = block()
        s, s_other = (((state ^ _old_block_mix(b)) * OLD_MUL) & M64 for b in (first, other))
        while True:  # c' is as good as a random word: printable once in (256/93)^8, about 3,300
            second = block()
            mixed = _old_block_mix(second)
            twin = _old_block_unmix(mixed ^ s ^ s_other)
            if all(c in LABEL_BYTES for c in twin):
                break
        state = ((s ^ mixed) * OLD_MUL) & M64
        pairs.append((first + second, other + twin))
    labels = [b"".join(pairs[j][i >> j & 1] for j in range(positions)).decode() for i in range(count)]
    rng.shuffle(labels)
    return labels


def _colliding_labels(n, crafted):
    labels = old_hash_colliding_labels(n)
    return labels if crafted else random_ids(n, length=len(labels[0]), seed=17)


row("schema-categorical-labels-old-hash-collide", "validate_dataset_schema_json",
    "8,192 categorical labels of 208 bytes that all collide under the former unkeyed string hash"
    " (twin: random labels)", 8_192)(
    lambda s: (_coordinates(_colliding_labels(scaled(8192, s), True), "categorical"),
               _coordinates(_colliding_labels(scaled(8192, s), False), "categorical")))


def _schema_maps(n, kind):
    entries = {f"k{i:07d}": representation(f"r{i}") for i in range(n)}
    if kind == "targets":
        return _schema_with(targets=entries)
    if kind == "metadata":
        return _schema_with(metadata=entries)
    fields = {f"f{i:07d}": {"kind": "categorical", "allowed_values": ["a", "b"]} for i in range(n)}
    return _schema_with(metadata_schema={"fields": fields})


def _reversed_keys(document_text):
    """The same document with every object's keys in descending order."""

    def flip(v):
        if isinstance(v, dict):
            return {k: flip(v[k]) for k in sorted(v, reverse=True)}
        if isinstance(v, list):
            return [flip(x) for x in v]
        return v

    return dumps(flip(json.loads(document_text)))


for _kind in ("targets", "metadata", "metadata_schema"):
    row(f"schema-{_kind.replace('_', '-')}-descending", "validate_dataset_schema_json",
        f"{_kind}: 100,000 entries in descending key order", 100_000)(
        lambda s, k=_kind: ([_reversed_keys(_schema_maps(scaled(10**5, s), k)[0])], _schema_maps(scaled(10**5, s), k)))


def _groups_folds(n, crafted):
    ids = long_ids(n, True) if crafted else long_ids(n, False)
    groups = [{"id": g, "kind": "subject", "column": "c", "source_id": "src"} for g in ids]
    # Every fold names the last group: with ids alike, each lookup compares whole ids.
    folds = [{"id": f"f{i:07d}", "group_id": ids[-1 - i % 7]} for i in range(n)]
    return _schema_with(groups=groups, folds=folds)


row("schema-groups-folds", "validate_dataset_schema_json",
    "100,000 groups with 128-byte ids alike but the end and 100,000 folds naming them", 100_000)(
    lambda s: (_groups_folds(scaled(10**5, s), True), _groups_folds(scaled(10**5, s), False)))


def _free_form(n, shape):
    """Tags of a source with n entries: many distinct keys (descending or ascending),
    one key repeated, or deep values."""
    if shape == "repeated":
        body = ",".join('"k0000000":1' for _ in range(n))
    elif shape == "descending":
        body = ",".join(f'"k{i:07d}":1' for i in range(n - 1, -1, -1))
    else:
        body = ",".join(f'"k{i:07d}":1' for i in range(n))
    text = dumps(schema(["s1"], [source(tags={"@": 0})]))
    return [text.replace('{"@":0}', "{" + body + "}")]


row("schema-tags-repeated-keys", "validate_dataset_schema_json", "source tags: one key repeated 1,000,000 times",
    1_000_000)(lambda s: (_free_form(scaled(10**6, s), "repeated"), _free_form(scaled(10**6, s), "ascending")))
row("schema-tags-descending-keys", "validate_dataset_schema_json",
    "source tags: 1,000,000 keys in descending order", 1_000_000)(
    lambda s: (_free_form(scaled(10**6, s), "descending"), _free_form(scaled(10**6, s), "ascending")))
row("schema-fp-tags-descending-keys", "dataset_schema_fingerprint_json",
    "source tags: 1,000,000 keys in descending order", 1_000_000)(
    lambda s: (_free_form(scaled(10**6, s), "descending"), _free_form(scaled(10**6, s), "ascending")))


def _long_value(n, shape):
    """Source tags holding one long value: a fraction of n digits, a string of n/6
    escaped characters, or (the twin) a plain string of the same bytes."""
    if shape == "number":
        value = "0." + "1" * (n - 2)
    elif shape == "escapes":
        value = '"' + "\\u00e9" * (n // 6) + '"'
    else:
        value = '"' + "x" * (n - 2) + '"'
    text = dumps(schema(["s1"], [source(tags={"@": 0})]))
    return [text.replace('{"@":0}', '{"k":' + value + "}")]


row("schema-tags-long-number", "dataset_schema_fingerprint_json", "source tags: a fraction of 1,000,000 digits",
    1_000_000)(lambda s: (_long_value(scaled(10**6, s), "number"), _long_value(scaled(10**6, s), "plain")))
row("schema-tags-escapes", "dataset_schema_fingerprint_json", "source tags: a string of 1,000,000 bytes of escapes",
    1_000_000)(lambda s: (_long_value(scaled(10**6, s), "escapes"), _long_value(scaled(10**6, s), "plain")))


def _schema_deep_probe():
    return vx.validate_dataset_schema_json, lambda d: [dumps(schema(["s1"], [source(tags={"k": deep_value(d)})]))]


def _deep_tags(n, crafted):
    depth = legal_depth(_schema_deep_probe)
    value = deep_value(depth)
    tags = {f"k{i:07d}": value if crafted else flat_like(value) for i in range(n)}
    return _schema_with(sources=[source(tags=tags)])


row("schema-tags-deep", "validate_dataset_schema_json", "source tags: 10,000 values nested to the depth limit",
    10_000)(lambda s: (_deep_tags(scaled(10**4, s), True), _deep_tags(scaled(10**4, s), False)))
row("schema-fp-tags-deep", "dataset_schema_fingerprint_json", "source tags: 10,000 values nested to the depth limit",
    10_000)(lambda s: (_deep_tags(scaled(10**4, s), True), _deep_tags(scaled(10**4, s), False)))


def _deep_coordinates(n, crafted):
    depth = legal_depth(_coordinate_deep_probe)
    value = deep_value(depth)
    values = [value if crafted else flat_like(value) for _ in range(n)]
    axis = {"name": "c", "kind": "feature", "coordinate": {"dtype": "numeric",
                                                           "values": {"kind": "explicit", "values": values}}}
    return _schema_with(sources=[source(rep=representation(axes=[SAMPLE_AXIS, axis]))])


def _coordinate_deep_probe():
    def build(d):
        axis = {"name": "c", "kind": "feature",
                "coordinate": {"dtype": "numeric", "values": {"kind": "explicit", "values": [deep_value(d)]}}}
        return [dumps(schema(["s1"], [source(rep=representation(axes=[SAMPLE_AXIS, axis]))]))]

    return vx.validate_dataset_schema_json, build


row("schema-coordinates-deep", "validate_dataset_schema_json",
    "10,000 coordinate values nested to the depth limit (rejected as not numbers)", 10_000)(
    lambda s: (_deep_coordinates(scaled(10**4, s), True), _deep_coordinates(scaled(10**4, s), False)))


# Model input specs.


def _model_input(ports, **members):
    return [dumps({"ports": ports, **members})]


row("model-input-ports-long", "validate_model_input_spec_json", "100,000 ports with 128-byte names alike but the end",
    100_000)(lambda s: (_model_input([port(p) for p in long_ids(scaled(10**5, s), True)]),
                        _model_input([port(p) for p in long_ids(scaled(10**5, s), False)])))
row("model-input-accepted", "validate_model_input_spec_json",
    "one port accepting 1,000,000 equal representations and types", 1_000_000)(
    lambda s: (_model_input([port(representations=["r0000000"] * scaled(10**6, s),
                                  types=["t0000000"] * scaled(10**6, s))]),
               _model_input([port(representations=[f"r{i:07d}" for i in range(scaled(10**6, s))],
                                  types=[f"t{i:07d}" for i in range(scaled(10**6, s))])])))


def _fusion_deep_probe():
    return vx.validate_model_input_spec_json, lambda d: _model_input([port()], default_fusion={"k": deep_value(d)})


def _deep_fusion(n, crafted):
    value = deep_value(legal_depth(_fusion_deep_probe))
    return _model_input([port()], default_fusion={f"k{i:07d}": value if crafted else flat_like(value)
                                                  for i in range(n)})


row("model-input-fusion-deep", "validate_model_input_spec_json",
    "default_fusion: 10,000 values nested to the depth limit", 10_000)(
    lambda s: (_deep_fusion(scaled(10**4, s), True), _deep_fusion(scaled(10**4, s), False)))
row("model-input-fusion-keys", "validate_model_input_spec_json",
    "default_fusion: 1,000,000 keys in descending order", 1_000_000)(
    lambda s: ([_reversed_keys(_model_input([port()], default_fusion={f"k{i:07d}": 1
                                                                       for i in range(scaled(10**6, s))})[0])],
               _model_input([port()], default_fusion={f"k{i:07d}": 1 for i in range(scaled(10**6, s))})))


# Adapter registries.


def _registry(adapters):
    return [dumps({"adapters": adapters})]


row("registry-long-ids", "validate_adapter_registry_json", "100,000 adapters with 128-byte ids alike but the end",
    100_000)(lambda s: (_registry([adapter(i, "a", "b") for i in long_ids(scaled(10**5, s), True)]),
                        _registry([adapter(i, "a", "b") for i in long_ids(scaled(10**5, s), False)])))
row("registry-descending-ids", "validate_adapter_registry_json", "1,000,000 adapters in descending id order",
    1_000_000)(lambda s: (_registry([adapter(f"a{i:07d}", "a", "b") for i in range(scaled(10**6, s) - 1, -1, -1)]),
                          _registry([adapter(f"a{i:07d}", "a", "b") for i in range(scaled(10**6, s))])))


def _params_deep_probe():
    return vx.validate_adapter_registry_json, lambda d: _registry([adapter("a", "a", "b", params={"k": deep_value(d)})])


def _deep_params(n, crafted):
    value = deep_value(legal_depth(_params_deep_probe))
    return _registry([adapter(f"a{i:07d}", "a", "b", params={"k": value if crafted else flat_like(value)})
                      for i in range(n)])


row("registry-params-deep", "validate_adapter_registry_json",
    "10,000 adapters whose params nest to the depth limit", 10_000)(
    lambda s: (_deep_params(scaled(10**4, s), True), _deep_params(scaled(10**4, s), False)))


# Data plans.


def _chain_plan(n, shape):
    steps = [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src", "output_representation": "r",
              "metadata": {"output": "o0"}}]
    for i in range(1, n):
        if shape == "hub":
            inputs = {"input": "o0"}
        else:
            inputs = {"input": f"o{i - 1}"}
        steps.append({"kind": "adapt", "fit_scope": "stateless", "source_id": "src", "adapter_id": "a",
                      "input_representation": "r", "output_representation": "r",
                      "metadata": {**inputs, "output": f"o{i}"}})
    if shape == "join":
        steps.append({"kind": "join", "fit_scope": "stateless", "input_representation": "r",
                      "output_representation": "r", "metadata": {"inputs": [f"o{i}" for i in range(n)],
                                                                  "output": "port:x"}})
    return [dumps({"id": "p", "steps": steps, "output_representation": "r"})]


row("plan-steps-chain", "validate_data_plan_json", "1,000,000 steps, each consuming the one before", 1_000_000)(
    lambda s: (_chain_plan(scaled(10**6, s), "chain"), _chain_plan(scaled(10**6, s), "hub")))
row("plan-fp-steps-chain", "data_plan_fingerprint_json", "1,000,000 steps, each consuming the one before", 1_000_000)(
    lambda s: (_chain_plan(scaled(10**6, s), "chain"), _chain_plan(scaled(10**6, s), "hub")))
row("plan-join-all", "validate_data_plan_json", "100,000 steps joined by one step naming them all", 100_000)(
    lambda s: (_chain_plan(scaled(10**5, s), "join"), _chain_plan(scaled(10**5, s) + 1, "hub")))


def _long_output_plan(n, shared):
    names = long_ids(n, shared)
    steps = [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src", "output_representation": "r",
              "metadata": {"output": names[0]}}]
    for i in range(1, n):
        steps.append({"kind": "adapt", "fit_scope": "stateless", "source_id": "src", "adapter_id": "a",
                      "metadata": {"input": names[i - 1], "output": names[i]}})
    return [dumps({"id": "p", "steps": steps, "output_representation": "r"})]


row("plan-long-outputs", "validate_data_plan_json", "100,000 steps whose 128-byte outputs are alike but the end",
    100_000)(lambda s: (_long_output_plan(scaled(10**5, s), True), _long_output_plan(scaled(10**5, s), False)))


def _plan_deep_probe():
    def build(d):
        return [dumps({"id": "p", "steps": [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src",
                                             "output_representation": "r", "metadata": {"k": deep_value(d)}}],
                       "output_representation": "r"})]

    return vx.data_plan_fingerprint_json, build


def _deep_plan(n, crafted):
    value = deep_value(legal_depth(_plan_deep_probe))
    steps = [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src", "output_representation": "r",
              "metadata": {"k": value if crafted else flat_like(value)}} for _ in range(n)]
    return [dumps({"id": "p", "steps": steps, "output_representation": "r"})]


row("plan-fp-metadata-deep", "data_plan_fingerprint_json", "10,000 steps whose metadata nests to the depth limit",
    10_000)(lambda s: (_deep_plan(scaled(10**4, s), True), _deep_plan(scaled(10**4, s), False)))


def _plan_issues(n, crafted):
    choices = ["c" * 120 + f"{i:08d}" for i in range(n)] if crafted else long_ids(n, False)
    return [dumps({"id": "p", "steps": _chain_plan_steps(), "output_representation": "r",
                   "issues": [{"code": "ambiguous_path", "message": "m", "choices": choices}]})]


def _chain_plan_steps():
    return [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src", "output_representation": "r"}]


row("plan-fp-issue-choices", "data_plan_fingerprint_json", "one issue with 1,000,000 choices of 128 bytes alike",
    1_000_000)(lambda s: (_plan_issues(scaled(10**6, s), True), _plan_issues(scaled(10**6, s), False)))


# Relation tables.


def _rows(n, shape):
    rows = []
    for i in range(n):
        r = {"observation_id": f"o{i:07d}", "sample_id": f"s{i:07d}"}
        if shape == "one-sample":
            r["sample_id"] = "s0000000"
        elif shape == "chain" and i:
            r.update(augmented=True, origin_id=f"o{i - 1:07d}")
        elif shape == "hub" and i:
            r.update(augmented=True, origin_id="o0000000")
        elif shape == "groups":
            r["group_id"] = f"g{i:07d}"
        elif shape == "one-group":
            r["group_id"] = "g0000000"
        elif shape in ("chain-twin", "hub-twin") and i:
            r.update(excluded=True, repetition_id=f"o{i - 1:07d}")
        rows.append(r)
    return rows


def _table(n, shape):
    return [dumps({"rows": _rows(n, shape)})]


for _fn, _suffix in (("validate_sample_relation_table_json", ""), ("sample_relation_table_fingerprint_json", "-fp")):
    row(f"relations{_suffix}-origin-chain", _fn, "1,000,000 rows, each augmented from the row before", 1_000_000)(
        lambda s: (_table(scaled(10**6, s), "chain"), _table(scaled(10**6, s), "chain-twin")))
    row(f"relations{_suffix}-origin-hub", _fn, "1,000,000 rows augmented from one row", 1_000_000)(
        lambda s: (_table(scaled(10**6, s), "hub"), _table(scaled(10**6, s), "hub-twin")))
    row(f"relations{_suffix}-one-sample", _fn, "1,000,000 rows of one sample", 1_000_000)(
        lambda s: (_table(scaled(10**6, s), "one-sample"), _table(scaled(10**6, s), "plain")))
    row(f"relations{_suffix}-groups", _fn, "1,000,000 rows, each its own group (twin: one group)", 1_000_000)(
        lambda s: (_table(scaled(10**6, s), "groups"), _table(scaled(10**6, s), "one-group")))


def _long_rows(n, shared):
    ids = long_ids(n, shared)
    return [dumps({"rows": [{"observation_id": i, "sample_id": i} for i in ids]})]


row("relations-long-ids", "validate_sample_relation_table_json",
    "1,000,000 rows with 128-byte ids alike but the end", 1_000_000)(
    lambda s: (_long_rows(scaled(10**6, s), True), _long_rows(scaled(10**6, s), False)))
row("relations-fp-long-ids", "sample_relation_table_fingerprint_json",
    "1,000,000 rows with 128-byte ids alike but the end", 1_000_000)(
    lambda s: (_long_rows(scaled(10**6, s), True), _long_rows(scaled(10**6, s), False)))


def _relations_deep_probe():
    return vx.validate_sample_relation_table_json, lambda d: [dumps({"rows": [
        {"observation_id": "o", "sample_id": "s", "metadata": {"k": deep_value(d)}}]})]


def _deep_rows(n, crafted):
    value = deep_value(legal_depth(_relations_deep_probe))
    return [dumps({"rows": [{"observation_id": f"o{i:07d}", "sample_id": "s",
                             "metadata": {"k": value if crafted else flat_like(value)}} for i in range(n)]})]


row("relations-fp-metadata-deep", "sample_relation_table_fingerprint_json",
    "10,000 rows whose metadata nests to the depth limit", 10_000)(
    lambda s: (_deep_rows(scaled(10**4, s), True), _deep_rows(scaled(10**4, s), False)))


def _tiny_items_row(n, shape):
    """One row whose metadata holds `n` tiny items: one-digit numbers, or one-element
    arrays nested 120 deep (counted 120 to an item); the twin holds a string as long."""
    if shape == "numbers":
        items = "[" + ",".join(["7"] * n) + "]"
    else:
        items = "[" + ",".join(["[" * 120 + "]" * 120] * max(1, n // 120)) + "]"
    twin = dumps("x" * (len(items) - 2))
    return [('{"rows":[{"observation_id":"o","sample_id":"s","metadata":{"k":%s}}]}' % items),
            ('{"rows":[{"observation_id":"o","sample_id":"s","metadata":{"k":%s}}]}' % twin)]


for _shape, _what in (("numbers", "an array of 5,000,000 one-digit numbers"),
                      ("nested-arrays", "5,000,000 one-element arrays, nested 120 deep")):
    row(f"relations-fp-metadata-{_shape}", "sample_relation_table_fingerprint_json",
        f"one row whose metadata holds {_what} (twin: a string as long)", 5_000_000)(
        lambda s, shape=_shape: tuple([texts] for texts in _tiny_items_row(scaled(5 * 10**6, s), shape)))


def _tagged_rows(n, crafted):
    tags = ["t" * 120 + f"{i:08d}" for i in range(n)] if crafted else long_ids(n, False)
    return [dumps({"rows": [{"observation_id": "o", "sample_id": "s", "tags": tags}]})]


row("relations-fp-tags", "sample_relation_table_fingerprint_json",
    "one row with 1,000,000 tags of 128 bytes alike but the end", 1_000_000)(
    lambda s: (_tagged_rows(scaled(10**6, s), True), _tagged_rows(scaled(10**6, s), False)))


# Fold sets.


def _fold_set(n, shape):
    samples = [f"s{i:07d}" for i in range(n)]
    doc = {"id": "fs", "sample_ids": samples}
    if shape == "many-folds":
        doc["folds"] = [{"fold_id": f"f{i:07d}", "train_sample_ids": [], "validation_sample_ids": [s]}
                        for i, s in enumerate(samples)]
    elif shape == "many-folds-collide":
        ids = colliding_ids(n)
        doc["folds"] = [{"fold_id": ids[i], "train_sample_ids": [], "validation_sample_ids": [s]}
                        for i, s in enumerate(samples)]
    elif shape == "many-folds-random":
        ids = random_ids(n)
        doc["folds"] = [{"fold_id": ids[i], "train_sample_ids": [], "validation_sample_ids": [s]}
                        for i, s in enumerate(samples)]
    elif shape == "k-fold":
        # Seven folds with full train lists: about the bytes of one fold per sample.
        k = 7
        doc["folds"] = [{"fold_id": f"f{f}", "train_sample_ids": [s for i, s in enumerate(samples) if i % k != f],
                         "validation_sample_ids": samples[f::k]} for f in range(k)]
    else:
        doc.update(_two_folds(samples))
        if shape == "groups":
            doc["sample_groups"] = {s: f"g{i:07d}" for i, s in enumerate(samples)}
        elif shape == "two-groups":
            doc["sample_groups"] = {s: f"g{2 * i // n:07d}" for i, s in enumerate(samples)}
        elif shape == "groups-collide":
            doc["sample_groups"] = dict(zip(samples, colliding_ids(n)))
        elif shape == "groups-random":
            doc["sample_groups"] = dict(zip(samples, random_ids(n)))
    return [dumps(doc)]


row("folds-many-folds", "validate_fold_set_json",
    "1,000,000 folds of one validation sample each (twin: 7 folds with full train lists)", 1_000_000)(
    lambda s: (_fold_set(scaled(10**6, s), "many-folds"), _fold_set(scaled(10**6, s), "k-fold")))
row("folds-fp-many-folds", "fold_set_fingerprint_json",
    "1,000,000 folds of one validation sample each (twin: 7 folds with full train lists)", 1_000_000)(
    lambda s: (_fold_set(scaled(10**6, s), "many-folds"), _fold_set(scaled(10**6, s), "k-fold")))
row("folds-fold-ids-collide", "validate_fold_set_json", "262,144 folds whose ids collide in the fold id index",
    262_144)(lambda s: (_fold_set(scaled(262_144, s), "many-folds-collide"),
                        _fold_set(scaled(262_144, s), "many-folds-random")))
row("folds-groups-collide", "validate_fold_set_json", "262,144 groups whose names collide in the group index",
    262_144)(lambda s: (_fold_set(scaled(262_144, s), "groups-collide"), _fold_set(scaled(262_144, s), "groups-random")))
row("folds-many-groups", "validate_fold_set_json", "1,000,000 samples, each its own group (twin: two groups)",
    1_000_000)(lambda s: (_fold_set(scaled(10**6, s), "groups"), _fold_set(scaled(10**6, s), "two-groups")))


def _long_folds(n, shared):
    return [dumps(_two_folds(long_ids(n, shared)))]


row("folds-long-ids", "validate_fold_set_json", "1,000,000 samples with 128-byte ids alike but the end", 1_000_000)(
    lambda s: (_long_folds(scaled(10**6, s), True), _long_folds(scaled(10**6, s), False)))
row("folds-fp-long-ids", "fold_set_fingerprint_json", "1,000,000 samples with 128-byte ids alike but the end",
    1_000_000)(lambda s: (_long_folds(scaled(10**6, s), True), _long_folds(scaled(10**6, s), False)))


def _folds_deep_probe():
    return vx.fold_set_fingerprint_json, lambda d: [dumps({"id": "fs", "sample_ids": ["s"], "folds": [
        {"fold_id": "f", "train_sample_ids": [], "validation_sample_ids": ["s"], "metadata": {"k": deep_value(d)}}]})]


def _deep_folds(n, crafted):
    value = deep_value(legal_depth(_folds_deep_probe))
    samples = [f"s{i:07d}" for i in range(n)]
    return [dumps({"id": "fs", "sample_ids": samples, "folds": [
        {"fold_id": f"f{i:07d}", "train_sample_ids": [], "validation_sample_ids": [s],
         "metadata": {"k": value if crafted else flat_like(value)}} for i, s in enumerate(samples)]})]


row("folds-fp-metadata-deep", "fold_set_fingerprint_json", "10,000 folds whose metadata nests to the depth limit",
    10_000)(lambda s: (_deep_folds(scaled(10**4, s), True), _deep_folds(scaled(10**4, s), False)))


# Fold sets against relation tables.


def _cross(n, shape):
    samples = colliding_ids(n) if shape == "collide" else random_ids(n) if shape == "random" else \
        [f"s{i:07d}" for i in range(n)]
    rows = [{"observation_id": s, "sample_id": s} for s in samples]
    if shape in ("groups", "two-groups"):
        # Two groups: one per half, which the two folds keep apart.
        for i, r in enumerate(rows):
            r["group_id"] = f"g{i:07d}" if shape == "groups" else f"g{2 * i // n:07d}"
    folds = _two_folds(samples)
    return [dumps(folds), dumps({"rows": rows})]


row("cross-ids-collide", "validate_fold_set_against_sample_relations_json",
    "colliding ids as universe, observations and samples", 262_144)(
    lambda s: (_cross(scaled(262_144, s), "collide"), _cross(scaled(262_144, s), "random")))
row("cross-groups", "validate_fold_set_against_sample_relations_json",
    "1,000,000 rows, each its own group (twin: two groups)", 1_000_000)(
    lambda s: (_cross(scaled(10**6, s), "groups"), _cross(scaled(10**6, s), "two-groups")))


def _cross_hub(n, hub):
    samples = [f"s{i:07d}" for i in range(n)]
    rows = [{"observation_id": f"o{i:07d}", "sample_id": s} for i, s in enumerate(samples)]
    for r in rows[1:]:
        link_to(r, "o0000000", hub)
    folds = {"id": "fs", "sample_ids": samples,
             "folds": [{"fold_id": "f1", "train_sample_ids": [], "validation_sample_ids": samples}]}
    return [dumps(folds), dumps({"rows": rows})]


row("cross-origin-hub", "validate_fold_set_against_sample_relations_json",
    "1,000,000 rows augmented from one row, one fold", 1_000_000)(
    lambda s: (_cross_hub(scaled(10**6, s), True), _cross_hub(scaled(10**6, s), False)))


# Coordinator envelopes.


def _envelope_ids(n, shape):
    if shape in ("collide", "random"):
        return colliding_ids(n) if shape == "collide" else random_ids(n)
    if shape in ("long", "long-random"):
        return long_ids(n, shape == "long")
    return [f"s{i:07d}" for i in range(n)]


def _envelope_parts(n, shape):
    samples = _envelope_ids(n, shape)
    rows = [{"observation_id": s, "sample_id": s, "source_id": "src"} for s in samples]
    if shape in ("chain", "chain-twin"):
        for i in range(1, n):
            link_to(rows[i], samples[i - 1], shape == "chain")
    plan = {"id": "p", "steps": [{"kind": "materialize", "fit_scope": "stateless", "source_id": "src",
                                  "output_representation": "n0"}], "output_representation": "n0"}
    return [dumps(schema(samples)), dumps(plan), dumps({"rows": rows})]


row("envelope-build-collide", "build_coordinator_data_plan_envelope_json",
    "a table of 262,144 colliding ids and a schema of the same samples", 262_144)(
    lambda s: (_envelope_parts(scaled(262_144, s), "collide"), _envelope_parts(scaled(262_144, s), "random")))
row("envelope-build-origin-chain", "build_coordinator_data_plan_envelope_json",
    "1,000,000 rows, each augmented from the row before", 1_000_000)(
    lambda s: (_envelope_parts(scaled(10**6, s), "chain"), _envelope_parts(scaled(10**6, s), "chain-twin")))


def _plan_many_sources(n, crafted):
    ids = long_ids(n, crafted)
    steps = [{"kind": "materialize", "fit_scope": "stateless", "source_id": i, "output_representation": "n0"}
             for i in ids]
    plan = {"id": "p", "steps": steps, "output_representation": "n0"}
    return [dumps(schema(["s1"], [source(i) for i in ids])), dumps(plan)]


row("envelope-build-many-sources", "build_coordinator_data_plan_envelope_json",
    "100,000 sources with 128-byte ids alike but the end, each materialized", 100_000)(
    lambda s: (_plan_many_sources(scaled(10**5, s), True), _plan_many_sources(scaled(10**5, s), False)))


def _envelope(n, shape):
    parts = _envelope_parts(n, shape if shape in ("collide", "random", "long", "long-random") else "plain")
    envelope = json.loads(vx.build_coordinator_data_plan_envelope_json(*parts))
    records = envelope["coordinator_relations"]["records"]
    if shape in ("combo", "combo-twin"):
        # One combo record made of every other observation of its sample.
        for r in records:
            r["sample_id"] = "s0000000"
        combo = records[0]
        if shape == "combo":
            combo.update(unit_level="combo", derived_unit_id="u", origin_sample_id="s0000000",
                         component_observation_ids=[r["observation_id"] for r in records[1:]])
        else:
            combo.update(derived_unit_id="u", origin_sample_id="s0000000",
                         tags=[r["observation_id"] for r in records[1:]])
        envelope.pop("relation_fingerprint", None)
    return [dumps(envelope)]


row("envelope-validate-collide", "validate_coordinator_data_plan_envelope_json",
    "262,144 coordinator relations of colliding ids", 262_144)(
    lambda s: (_envelope(scaled(262_144, s), "collide"), _envelope(scaled(262_144, s), "random")))
row("envelope-validate-long-ids", "validate_coordinator_data_plan_envelope_json",
    "200,000 coordinator relations with 128-byte ids alike but the end", 200_000)(
    lambda s: (_envelope(scaled(200_000, s), "long"), _envelope(scaled(200_000, s), "long-random")))
row("envelope-validate-combo", "validate_coordinator_data_plan_envelope_json",
    "one combo relation of 1,000,000 components (twin: the ids as tags)", 1_000_000)(
    lambda s: (_envelope(scaled(10**6, s), "combo"), _envelope(scaled(10**6, s), "combo-twin")))


# Planning calls.


def _many_ports(n, resolvable):
    ports = [port(f"p{i:07d}", representations=["n0" if resolvable else "zz"], optional=not resolvable)
             for i in range(n)]
    if not resolvable:
        ports.append(port("last", representations=["n0"]))
    return planner_args([adapter("a", "m0", "m1")], ports=ports)


row("plan-many-ports", "plan_model_input_json", "10,000 ports, each fed by the one source (twin: optional, unfed)",
    10_000)(lambda s: (_many_ports(scaled(10**4, s), True), _many_ports(scaled(10**4, s), False)))


def _ports_x_sources(n, crafted, registry=1000):
    sources = [source(f"src{i:05d}", rep=representation(f"n{i}")) for i in range(n)]
    ports = [port(f"p{i:05d}", representations=["zz"], optional=True) for i in range(n)]
    ports.append(port("last", representations=["n0"]))
    adapters = [adapter(f"a{i:05d}", f"m{i}", f"m{i + 1}") for i in range(registry)]
    request = {"id": "p", "planning_policy": {}}
    if not crafted:
        request["source_ids"] = ["src00000"]
    return planner_args(adapters, ports=ports, sources=sources, request=request)


row("plan-ports-x-sources", "plan_model_input_json",
    "300 optional ports x 300 sources x a registry of 1,000 adapters, none fed but the last (twin: one source "
    "asked for)", 300)(
    lambda s: (_ports_x_sources(scaled(300, s), True), _ports_x_sources(scaled(300, s), False)))


def _accepted_x_registry(n, crafted, registry=10_000):
    # Only the last accepted pair is reachable, so every pair before it is searched.
    reps = [f"zz{i}" for i in range(n)] + ["target"]
    if not crafted:
        reps = ["target"] + reps[:-1]
    adapters = [adapter(f"a{i:05d}", f"m{i}", f"m{i + 1}") for i in range(registry)]
    adapters.append(adapter("z.exit", "n0", "target"))
    return planner_args(adapters, ports=[port(representations=reps)])


row("plan-accepted-x-registry", "plan_model_input_json",
    "a port accepting 10,000 representations, the reachable one last, and a registry of 10,000 adapters "
    "(twin: reachable one first)", 10_000)(
    lambda s: (_accepted_x_registry(scaled(10**4, s), True), _accepted_x_registry(scaled(10**4, s), False)))


def _types_x_representations(n, crafted, registry=100):
    types = [f"zt{i}" for i in range(n)] + ["t"]
    reps = [f"zz{i}" for i in range(n)] + ["target"]
    if not crafted:
        types, reps = types[-1:] + types[:-1], reps[-1:] + reps[:-1]
    adapters = [adapter(f"a{i:05d}", f"m{i}", f"m{i + 1}") for i in range(registry)]
    adapters.append(adapter("z.exit", "n0", "target"))
    return planner_args(adapters, ports=[port(representations=reps, types=types)])


row("plan-types-x-representations", "plan_model_input_json",
    "a port accepting 1,000 types x 1,000 representations, the reachable pair last, and 100 adapters "
    "(twin: reachable pair first)", 1_000)(
    lambda s: (_types_x_representations(scaled(1000, s), True), _types_x_representations(scaled(1000, s), False)))


def _multi_source(n, crafted):
    sources = [source(f"src{i:06d}") for i in range(n)]
    # Each source takes one adapter to the target; with the cheap pair listed last,
    # the common pair is searched for every accepted pair before it.
    adapters = [adapter("a.exit", "n0", "target")]
    reps = ([f"zz{i}" for i in range(50)] + ["target"]) if crafted else (["target"] + [f"zz{i}" for i in range(50)])
    return planner_args(adapters, ports=[port(representations=reps, multi_source=True)], sources=sources,
                        default_fusion={"alignment": "inner"})


row("plan-multi-source", "plan_model_input_json",
    "a multi-source port over 10,000 sources accepting 51 representations, the reachable one last "
    "(twin: first)", 10_000)(
    lambda s: (_multi_source(scaled(10**4, s), True), _multi_source(scaled(10**4, s), False)))


def _long_path(n, crafted):
    params = {"k": deep_value(legal_depth(_params_deep_probe))}
    adapters, last = ring(n, "n0", "c", closed=False)
    for a in adapters:
        a["params"] = params if crafted else {"k": flat_like(params["k"])}
    adapters.append(adapter("z.exit", last, "target"))
    return planner_args(adapters)


row("plan-chain-deep-params", "plan_model_input_json",
    "a chain of 10,000 adapters whose params nest to the depth limit (copied into every step)", 10_000)(
    lambda s: (_long_path(scaled(10**4, s), True), _long_path(scaled(10**4, s), False)))


def _many_parallel(n, equal):
    adapters = [adapter(f"a{i:07d}", "n0", "target", cost=1 if equal or i == 0 else 2) for i in range(n)]
    return planner_args(adapters)


row("plan-parallel-one-hop", "plan_model_input_json",
    "100,000 equal adapters straight to the target (twin: one cheapest)", 100_000)(
    lambda s: (_many_parallel(scaled(10**5, s), True), _many_parallel(scaled(10**5, s), False)))


def _zero_cost_mesh(n, crafted):
    # A complete graph over k nodes of zero-cost adapters, one exit at the far node.
    k = max(2, int(n ** 0.5))
    adapters = []
    for i in range(k):
        for j in range(k):
            if i != j:
                adapters.append(adapter(f"m.{i:04d}.{j:04d}", f"n{i}" if i else "n0", f"n{j}" if j else "n0",
                                        cost=0 if crafted else 1 + (i * k + j) % 7))
    adapters.append(adapter("z.exit", f"n{k - 1}", "target"))
    return planner_args(adapters)


row("plan-zero-cost-mesh", "plan_model_input_json",
    "a complete graph of 316 nodes joined by 100,000 zero-cost adapters (twin: varied costs)", 100_000)(
    lambda s: (_zero_cost_mesh(scaled(10**5, s), True), _zero_cost_mesh(scaled(10**5, s), False)))


# Planning calls whose pruning, written bytes or units of work were out of
# proportion: adapters able to reach a port's target that the source never
# reaches, output that grows faster than the input, copies of parameters, and
# accepted pairs that each walk a catalogue.


def _dead_into_target(n, crafted, shape, ports=None):
    """One source in T/n0 with the adapter `direct` to T/t, which 2n ports accept,
    beside `n` adapters that reach T/t from nodes the source never reaches (twin:
    the same adapters leading into `elsewhere`). In the hub shape they lead into a
    hub with a way to T/t and to a representation of each port's own, which the
    port accepts first and the source cannot reach: every port searches towards a
    target of its own that all the adapters reach."""
    ports = 2 * n if ports is None else ports
    into = (lambda node: node) if crafted else (lambda node: "elsewhere")
    adapters = [adapter("direct", "n0", "t", type_id="T")]
    accepted = [["t"] for _ in range(ports)]
    if shape == "fan-in":
        adapters += [adapter(f"x.{i:05d}", f"x{i}", into("t"), type_id="T") for i in range(n)]
    elif shape == "chain":
        adapters += [adapter(f"y.{i:05d}", f"y{i}", f"y{i + 1}", type_id="T") for i in range(n - 1)]
        adapters.append(adapter(f"y.{n - 1:05d}", f"y{n - 1}", into("t"), type_id="T"))
    elif shape == "ring":  # with one way out
        adapters += [adapter(f"r.{i:05d}", f"r{i}", f"r{(i + 1) % n}", type_id="T") for i in range(n)]
        adapters.append(adapter("r.exit", "r0", into("t"), type_id="T"))
    else:
        adapters += [adapter(f"x.{i:05d}", f"x{i}", into("h"), type_id="T") for i in range(n)]
        adapters.append(adapter("hub", "h", "t", type_id="T"))
        adapters += [adapter(f"hub.{j:05d}", "h", f"z{j}", type_id="T") for j in range(ports)]
        accepted = [[f"z{j}", "t"] for j in range(ports)]
    ports_list = [port(f"p{j:05d}", representations=reps, types=["T"]) for j, reps in enumerate(accepted)]
    src = source(rep=representation("n0", type_id="T"), type_id="T")
    return planner_args(adapters, ports=ports_list, sources=[src])


for _shape, _what in (("fan-in", "3,000 adapters from nodes the source never reaches straight into the target"),
                      ("chain", "a chain of 3,000 adapters the source never reaches, ending in the target"),
                      ("ring", "a ring of 3,000 adapters the source never reaches, with one way into the target"),
                      ("hub", "3,000 adapters the source never reaches into a hub that leads to the target and to "
                              "a representation of each port's own, which the port tries first")):
    row(f"plan-dead-{_shape}", "plan_model_input_json",
        f"6,000 ports fed by one adapter, beside {_what} (twin: those lead elsewhere)", 3_000)(
        lambda s, shape=_shape: (_dead_into_target(scaled(3000, s), True, shape),
                                 _dead_into_target(scaled(3000, s), False, shape)))


def _rank_issue_long_name(n, crafted, name_bytes):
    # Every source gets an "unverified_rank" issue quoting the port's whole name.
    sources = [source(f"src{i:05d}") for i in range(n)]
    extra = {"rank": 2} if crafted else {"optional": False}
    ports = [port("p" * name_bytes, representations=["unranked"], multi_source=True, **extra)]
    return planner_args([adapter("a", "n0", "unranked")], ports=ports, sources=sources)


row("plan-rank-issues-long-name", "plan_model_input_json",
    "a multi-source port of rank 2 with a 1 MB name, 1,000 sources reaching an unranked representation "
    "(twin: no rank)", 1_000)(
    lambda s: (_rank_issue_long_name(scaled(1000, s), True, scaled(2**20, s)),
               _rank_issue_long_name(scaled(1000, s), False, scaled(2**20, s))))


def _long_adapter_texts(n, crafted, text_bytes):
    # The adapter's id and version are written into the adapt step of every port.
    ports = [port(f"p{i:05d}", representations=["target" if crafted else "n0"]) for i in range(n)]
    a = adapter("a" * text_bytes, "n0", "target", version="1." + "0" * text_bytes)
    return planner_args([a], ports=ports)


row("plan-long-adapter-x-ports", "plan_model_input_json",
    "1,000 ports fed through one adapter whose id and version take 1 MB each (twin: fed natively)", 1_000)(
    lambda s: (_long_adapter_texts(scaled(1000, s), True, scaled(2**20, s)),
               _long_adapter_texts(scaled(1000, s), False, scaled(2**20, s))))


def _ports_x_sources_fed(n, crafted):
    # Every multi-source port materializes every source again: the plan grows as
    # ports x sources from a document that grows as ports + sources.
    sources = [source(f"src{i:05d}") for i in range(n)]
    ports = [port(f"p{i:05d}", representations=["n0"], multi_source=True) for i in range(n)]
    request = {"id": "p", "planning_policy": {}}
    if not crafted:
        request["source_ids"] = ["src00000"]
    return planner_args([], ports=ports, sources=sources, request=request)


row("plan-multi-ports-x-sources-fed", "plan_model_input_json",
    "1,000 multi-source ports each fed natively by 1,000 sources (twin: one source asked for)", 1_000)(
    lambda s: (_ports_x_sources_fed(scaled(1000, s), True), _ports_x_sources_fed(scaled(1000, s), False)))


def _params_for_ports(n, ports, kind):
    if kind == "numbers":
        value = [i % 10 for i in range(n)]
    else:
        value = "x" * (2 * n - 1)
    ports_list = [port(f"p{i:05d}") for i in range(ports)]
    return planner_args([adapter("a", "n0", "target", params={"k": value})], ports=ports_list)


row("plan-params-numbers", "plan_model_input_json",
    "an adapter whose params hold 10,000,000 one-digit numbers, used by two ports (twin: a 20 MB string)",
    10_000_000)(
    lambda s: (_params_for_ports(scaled(10**7, s), 2, "numbers"), _params_for_ports(scaled(10**7, s), 2, "string")))


def _params_x_ports(n, crafted, param_bytes=100_000):
    ports = [port(f"p{i:05d}", representations=["target" if crafted else "n0"]) for i in range(n)]
    params = {"k": [i % 10 for i in range(param_bytes // 2)]}
    return planner_args([adapter("a", "n0", "target", params=params)], ports=ports)


row("plan-params-x-ports", "plan_model_input_json",
    "600 ports fed through one adapter with 100 KB of params (twin: fed natively)", 600)(
    lambda s: (_params_x_ports(scaled(600, s), True), _params_x_ports(scaled(600, s), False)))


def _rank_gated_pairs(reps, types, crafted):
    # A port of rank 3 and a built-in representation of rank 2: every pair but the
    # last is skipped by the rank gate, each after looking the rank up.
    listed = ["text_token_ids"] * (reps - 1)
    kinds = [f"z{i}" for i in range(types - 1)]
    reps_list, types_list = (listed + ["target"], kinds + ["t"]) if crafted else (["target"] + listed, ["t"] + kinds)
    ports = [port(representations=reps_list, types=types_list, rank=3)]
    return planner_args([adapter("a", "n0", "target")], ports=ports)


row("plan-rank-gated-pairs", "plan_model_input_json",
    "a port of rank 3 accepting a built-in representation of rank 2 1,000,000 times x 200 types, the reachable "
    "pair last (twin: first)", 1_000_000)(
    lambda s: (_rank_gated_pairs(scaled(10**6, s), scaled(200, s), True),
               _rank_gated_pairs(scaled(10**6, s), scaled(200, s), False)))


# Planning calls whose units of work did not match the work behind them: the
# no-reuse test charged on adapters the best-score test rejects, choices written
# for resolutions the common pair drops, and lookups into tables that have
# outgrown the caches. The calibration row spends the whole budget on the
# search's plainest work, for comparing the others' time per unit.


def _calibration(stages, equal):
    adapters, last = parallel_stages(stages, "n0", "w", equal=equal)
    return planner_args(adapters, ports=[port(representations=[last])])


row("plan-calibration", "plan_model_input_json",
    "40 stages of two equal adapters: 2^40 equal chains spend the whole budget (twin: one best way)", 40)(
    lambda s: (_calibration(scaled_stages(40, s), True), _calibration(scaled_stages(40, s), False)))


def _reuse_in_component(n, crafted, ports=200):
    # The hub and X form one strongly connected component of n + 1 adapters (when
    # crafted), so every adapter examined at the hub lies inside it; all but the
    # first hub -> X adapter lose to it on score. The twin leads X to the target.
    adapters = [adapter("a.in", "n0", "hub", type_id="T"), adapter("a.out", "hub", "t", type_id="T")]
    adapters += [adapter(f"x.{i:05d}", "hub", "x", cost=1 if i == 0 else 2, type_id="T") for i in range(n)]
    adapters.append(adapter("x.back", "x", "hub" if crafted else "t", type_id="T"))
    ports_list = [port(f"p{j:04d}", representations=["t"], types=["T"]) for j in range(ports)]
    src = source(rep=representation("n0", type_id="T"), type_id="T")
    return planner_args(adapters, ports=ports_list, sources=[src])


row("plan-reuse-test-rejected", "plan_model_input_json",
    "200 ports searching through a hub whose 20,000 parallel adapters lie in one cycle, all but one beaten on "
    "score (twin: no cycle)", 20_000)(
    lambda s: (_reuse_in_component(scaled(20_000, s), True, scaled(200, s)),
               _reuse_in_component(scaled(20_000, s), False, scaled(200, s))))


def _dropped_choices(n, crafted, id_bytes=400_000):
    # s1 reaches every accepted representation through two equal adapters with long
    # ids; s2 reaches only the last one. The common pair resolves s1 ambiguously at
    # each representation before s2 fails there; only the last resolution is kept.
    ids = [("w" * id_bytes) + ".1", ("w" * id_bytes) + ".2"]
    adapters = [adapter(i, "n0", "hub", type_id="T") for i in ids]
    reps = [f"r{i:04d}" for i in range(1, n + 1)]
    adapters += [adapter(f"h.{r}", "hub", r, type_id="T") for r in reps]
    adapters.append(adapter("m.last", "m0", reps[-1], type_id="T"))
    listed = reps if crafted else reps[-1:] + reps[:-1]
    sources = [source("s1", rep=representation("n0", type_id="T"), type_id="T"),
               source("s2", rep=representation("m0", type_id="T"), type_id="T")]
    ports = [port("p", representations=listed, types=["T"], multi_source=True)]
    return planner_args(adapters, ports=ports, sources=sources)


row("plan-dropped-choices", "plan_model_input_json",
    "a multi-source port of 130 representations; one source resolves each ambiguously between two adapters "
    "with 400 KB ids, the other only the last (twin: last listed first)", 130)(
    lambda s: (_dropped_choices(scaled(130, s), True, scaled(400_000, s)),
               _dropped_choices(scaled(130, s), False, scaled(400_000, s))))


def _hub_at_hop_counts(hops, fan, crafted, visits=30):
    """A chain from the source reaches the hub H at `hops` hop counts, `visits` times
    each, by parallel adapters whose costs fall in id order; every visit examines
    the `fan` adapters H -> d<j>, and each d<j> leads on to the target. All visits
    but the cheapest of each hop count lose every d<j> on score: `hops * fan`
    best-score keys, each looked up `visits` times. The twin reaches H at one hop
    count, as often as takes the same units: its keys stay in the caches."""
    # The twin's chain leads nowhere, so that both documents have its bytes.
    adapters = [adapter(f"c.{i:03d}", f"c{i}" if i else "n0", f"c{i + 1}" if crafted else f"x{i + 1}")
                for i in range(hops - 1)]
    # (2 fan + 2) units a visit beside 36 a key: the twin's visits take the same
    # units in all; the crafted document has as many adapters, the extra ones
    # joining nodes nothing reaches.
    count = max(hops * visits, (hops * visits * fan + 18 * hops * fan) // (fan + 18))
    if crafted:
        for i in range(hops):
            for k in range(visits):
                adapters.append(adapter(f"h.{i:03d}.{k:04d}", f"c{i}" if i else "n0", "hub", cost=10_000 - 10 * k))
        adapters += [adapter(f"h.{k:08d}", f"u{k}", "u", cost=100_000 - 10 * k) for k in range(count - hops * visits)]
    else:
        adapters += [adapter(f"h.{k:08d}", "n0", "hub", cost=100_000 - 10 * k) for k in range(count)]
    adapters += [adapter(f"d.{j:06d}", "hub", f"d{j:06d}") for j in range(fan)]
    adapters += [adapter(f"e.{j:06d}", f"d{j:06d}", "target", cost=10**9 + j) for j in range(fan)]
    return planner_args(adapters)


def _array_form(args):
    # Adapters in the registry's compact array form, fields in declared order.
    registry = json.loads(args[2])
    keys = ["id", "version", "input_type", "input_representation", "output_type", "output_representation", "cost",
            "lossy", "supervised", "stateful", "deterministic", "fit_scope"]
    defaults = {"lossy": False, "supervised": False, "stateful": False, "deterministic": True}
    registry["adapters"] = [[a.get(k, defaults.get(k)) for k in keys] for a in registry["adapters"]]
    return args[:2] + [dumps(registry)] + args[3:]


row("plan-cold-best-scores", "plan_model_input_json",
    "a hub reached at 40 hop counts 30 times each, each visit examining 25,000 adapters: 1,000,000 best-score "
    "keys looked up 30 times (twin: one hop count, the keys in the caches)", 25_000)(
    lambda s: (_array_form(_hub_at_hop_counts(40, scaled(25_000, s), True)),
               _array_form(_hub_at_hop_counts(40, scaled(25_000, s), False))))
row("plan-cold-best-scores-wide", "plan_model_input_json",
    "the same at 20 hop counts x 50,000 adapters (twin: one hop count)", 50_000)(
    lambda s: (_array_form(_hub_at_hop_counts(20, scaled(50_000, s), True)),
               _array_form(_hub_at_hop_counts(20, scaled(50_000, s), False))))


def _regions_through_chain(n, crafted, ports=40, stages=18):
    """`ports` ports, each accepting a target of its own, all reached through one
    chain of n adapters that the source never reaches; the source splits into
    2^stages equal dead paths, whose search paces the walk of each target's region
    (twin: the chain leads elsewhere, and the ports accept what the chain reaches)."""
    adapters, _ = parallel_stages(stages, "n0", "w")
    adapters += [adapter(f"y.{i:06d}", f"y{i}", f"y{i + 1}") for i in range(n)]
    end = f"y{n}" if crafted else "elsewhere"
    adapters += [adapter(f"z.{j:03d}", end, f"z{j:03d}") for j in range(ports)]
    ports_list = [port(f"p{j:03d}", representations=[f"z{j:03d}"], optional=True) for j in range(ports)]
    ports_list.append(port("last", representations=["n0"]))
    return planner_args(adapters, ports=ports_list)


row("plan-cold-regions", "plan_model_input_json",
    "40 optional ports, each with a target of its own reached through one chain of 100,000 adapters; 2^18 "
    "equal dead paths from the source pace each region's walk (twin: the chain leads elsewhere)", 100_000)(
    lambda s: (_regions_through_chain(scaled(100_000, s), True, stages=scaled_stages(18, s)),
               _regions_through_chain(scaled(100_000, s), False, stages=scaled_stages(18, s))))


def _long_pair_texts(n, crafted, text_bytes):
    # Every pair before the reachable one fails its search; the message of such a
    # failure would quote the pair's type and representation whole.
    types = [f"{i:05d}" + "t" * text_bytes for i in range(n)] + ["t"]
    reps = [f"{i:05d}" + "r" * text_bytes for i in range(n)] + ["target"]
    if not crafted:
        types, reps = types[-1:] + types[:-1], reps[-1:] + reps[:-1]
    return planner_args([adapter("a", "n0", "target")], ports=[port(representations=reps, types=types)])


row("plan-long-pair-texts", "plan_model_input_json",
    "a port accepting 1,000 types x 1,000 representations, all of 128 bytes, the reachable pair last (twin: first)",
    1_000)(lambda s: (_long_pair_texts(scaled(1000, s), True, 123), _long_pair_texts(scaled(1000, s), False, 123)))


def _graph_nodes(n, crafted, texts):
    """n adapters whose nodes lie in no relation to their ids' order, beside one
    path to plan: each adapter brings two new nodes (twin: the adapters join 1,000
    nodes, through texts of the same lengths). `texts` is "short" (one type,
    8-byte representations), "long" (types and representations of 128 bytes alike
    but for their last 8) or "bits" (128-byte texts, each 8-byte word holding one
    bit of the node's number): the graph's set-up before the first unit of work."""
    rng = random.Random(5)
    numbers = list(range(2 * n))
    rng.shuffle(numbers)

    def node(end):
        k = numbers[end] if crafted else numbers[end] % 1000
        if texts == "short":
            return "t", f"n{k:07d}"
        if texts == "long":
            return "t" * 120 + f"{k:08d}", "r" * 120 + f"{k:08d}"
        bits = (k * 0x9E3779B1) & 0xFFFFFFFF
        words = ["t" * 7 + str((bits >> (31 - i)) & 1) for i in range(32)]
        return "".join(words[:16]), "".join(words[16:])

    adapters = []
    for k in range(n):
        (in_type, in_rep), (out_type, out_rep) = node(2 * k), node(2 * k + 1)
        adapters.append(adapter(f"a{k:07d}", in_rep, out_rep, type_id=in_type, output_type=out_type))
    adapters.append(adapter("z.exit", "n0", "target"))
    return _array_form(planner_args(adapters))


for _texts, _what in (("short", "one type and 8-byte representations"),
                      ("long", "types and representations of 128 bytes alike but for their end"),
                      ("bits", "128-byte types and representations whose every 8 bytes hold one bit of the node's "
                               "number")):
    row(f"plan-graph-{_texts}", "plan_model_input_json",
        f"600,000 adapters, each bringing two new nodes: {_what}; one path to plan (twin: the adapters join 1,000 "
        "nodes)", 600_000)(
        lambda s, texts=_texts: (_graph_nodes(scaled(600_000, s), True, texts),
                                 _graph_nodes(scaled(600_000, s), False, texts)))


def _ring_before_exit(ring_size, side, goals, crafted, one_node=True):
    """A ring n0 -> r1 -> ... -> n0 explored in full before an exit of cost 10^8
    towards `goals` targets, one port each (behind one node e, or each straight
    behind its own exit). A side cycle of `side` adapters is entered from n0 at
    10^12: never expanded, it lies in the ring's component and so in every goal's
    pruning region, far larger than the searches towards it (twin: the side
    cycle does not lead back, and its region is its own)."""
    adapters = [adapter(f"r.{i:07d}", f"r{i}" if i else "n0", f"r{i + 1}" if i + 1 < ring_size else "n0")
                for i in range(ring_size)]
    for i in range(side):
        to = f"c{i + 1}" if i + 1 < side else ("n0" if crafted else "elsewhere")
        adapters.append(adapter(f"c.{i:07d}", f"c{i}" if i else "n0", to, cost=10**12 if i == 0 else 1))
    if one_node:
        adapters.append(adapter("e", "n0", "e", cost=10**8))
        adapters += [adapter(f"g.{j:05d}", "e", f"g{j}") for j in range(goals)]
    else:
        adapters += [adapter(f"g.{j:05d}", "n0", f"g{j}", cost=10**8) for j in range(goals)]
    return planner_args(adapters, ports=[port(f"p{j:05d}", representations=[f"g{j}"]) for j in range(goals)])


row("plan-ring-side-cycle", "plan_model_input_json",
    "200 ports behind an expensive exit from a ring of 3,000 adapters, explored in full by each search, beside a "
    "never-expanded side cycle of 18,000 adapters in every goal's region (twin: the cycle does not close)", 3000)(
    lambda s: (_ring_before_exit(scaled(3000, s), scaled(18_000, s), scaled(200, s), True),
               _ring_before_exit(scaled(3000, s), scaled(18_000, s), scaled(200, s), False)))
row("plan-ring-side-cycle-one-goal", "plan_model_input_json",
    "one port behind an expensive exit from a ring of 10,000 adapters, beside a side cycle of 70,000 (twin: the "
    "cycle does not close)", 10_000)(
    lambda s: (_ring_before_exit(scaled(10_000, s), scaled(70_000, s), 1, True, one_node=False),
               _ring_before_exit(scaled(10_000, s), scaled(70_000, s), 1, False, one_node=False)))


def _small_regions(dead, targets, kind="self-loops", size=4, sources=1, reached=False, max_hops=None, leaving=None):
    """Sources T/n<k> each left by `dead` adapters to dead ends, beside `targets`
    optional ports, each wanting a node T/x<i> of its own whose pruning region is
    small: entered only by `size` self-loops, by a chain of `size` adapters of
    its own, or by one adapter from a hub that a chain of `size` enters (from
    every source when `reached`), multi-source when there are several sources;
    a last port takes the first source as it is. With `leaving`, only that many of each source's dead ends leave it, the rest
    a node T/u<k> no source reaches."""
    adapters, srcs = [], []
    leaving = dead if leaving is None else leaving
    for k in range(sources):
        srcs.append(source(f"s{k:03d}", rep=representation(f"n{k}", type_id="T"), type_id="T"))
        adapters += [adapter(f"d.{k:03d}.{i:06d}", f"n{k}" if i < leaving else f"u{k}", f"dead{i:06d}", type_id="T")
                     for i in range(dead)]
        if reached:
            adapters.append(adapter(f"h.in.{k:03d}", f"n{k}", "c0", type_id="T"))
    if kind == "hub":
        adapters += [adapter(f"h.{j:04d}", f"c{j}", f"c{j + 1}" if j + 1 < size else "hub", type_id="T")
                     for j in range(size)]
    ports = []
    for i in range(targets):
        target = f"x{i:05d}"
        if kind == "self-loops":
            adapters += [adapter(f"l.{i:05d}.{j:03d}", target, target, type_id="T") for j in range(size)]
        elif kind == "chain":
            chain = f"y{i:05d}"
            adapters += [adapter(f"{chain}.{j:04d}", f"{chain}.{j:04d}", f"{chain}.{j + 1:04d}" if j + 1 < size else target,
                                 type_id="T") for j in range(size)]
        else:
            adapters.append(adapter(f"z.{i:05d}", "hub", target, type_id="T"))
        ports.append(port(f"p{i:05d}", representations=[target], types=["T"], optional=True,
                          multi_source=sources > 1))
    ports.append(port("native", representations=["n0"], types=["T"]))
    policy = {} if max_hops is None else {"max_hops": max_hops}
    return planner_args(adapters, ports=ports, sources=srcs, request={"id": "p", "planning_policy": policy})


for _kind, _size, _what in (("self-loops", 4, "a node of its own entered only by 4 self-loops"),
                            ("chain", 40, "a node of its own at the end of a chain of 40 adapters of its own"),
                            ("hub", 40, "a node of its own behind a hub that one chain of 40 adapters enters")):
    row(f"plan-fan-out-beside-{_kind}", "plan_model_input_json",
        f"a source left by 3,000 adapters to dead ends, beside 1,000 optional ports each wanting {_what}, and one "
        "port the source feeds as it is (twin: 30 of the dead ends leave the source, the rest a node it never "
        "reaches)", 1_000)(
        lambda s, kind=_kind, size=_size: (_small_regions(scaled(3000, s), scaled(1000, s), kind, size),
                                           _small_regions(scaled(3000, s), scaled(1000, s), kind, size, leaving=30)))
row("plan-fan-outs-into-reached-hub-max-hops", "plan_model_input_json",
    "3 sources, each left by 2,000 adapters to dead ends and by one into a chain of 6 adapters to a hub that leads to "
    "each of 600 ports' own node, with a hop limit of 10 (twin: 20 of each source's dead ends leave it)", 600)(
    lambda s: (_small_regions(scaled(2000, s), scaled(600, s), "hub", 6, 3, True, 10),
               _small_regions(scaled(2000, s), scaled(600, s), "hub", 6, 3, True, 10, leaving=20)))


def _deep_trie_group(chains, length, side, crafted):
    """`chains` chains of `length` adapters leave n0, entered at costs 1 to
    `chains`, and lead into a side cycle of `side` adapters (entered at 10^12) back
    to n0, beside an exit n0 -> goal of cost 10^8: one strongly connected group of
    chains * length + side adapters, past four million, so that every state in it
    copies and gathers paths of a trie of nine levels (twin: the cycle does not
    lead back, and the group is the chains' alone)."""
    adapters = [adapter("exit", "n0", "goal", cost=10**8)]
    for c in range(chains):
        for k in range(length):
            here = "n0" if k == 0 else f"k{c}.{k}"
            there = f"k{c}.{k + 1}" if k + 1 < length else "c0"
            adapters.append(adapter(f"k.{c:04d}.{k:04d}", here, there, cost=c + 1 if k == 0 else 1))
    for i in range(side):
        to = f"c{i + 1}" if i + 1 < side else ("n0" if crafted else "elsewhere")
        adapters.append(adapter(f"c.{i:07d}", f"c{i}", to, cost=10**12 if i == 0 else 1))
    return planner_args(adapters, ports=[port(representations=["goal"])])


row("plan-deep-trie-group", "plan_model_input_json",
    "880 chains of 1,000 adapters from the source into a side cycle of 3,400,000 back to it, before an exit of cost "
    "10^8: a strongly connected group of 4,280,000 adapters, past the 4,194,304 up to which the budget is held to "
    "three times the plain work (twin: the cycle does not close)", 880)(
    lambda s: (_deep_trie_group(scaled(880, s), 1000, scaled(3_400_000, s), True),
               _deep_trie_group(scaled(880, s), 1000, scaled(3_400_000, s), False)))


def _label_exhausting(stages, crafted, prefix=41):
    """A prefix of 41 nodes, each left by three parallel adapters of costs 1, 2 and
    2: one path survives, but the path labels run out (3^41 > 2^64); then `stages`
    stages of two equal adapters, whose equally good paths tie on their labels
    and are ordered by comparing their paths; the first path is taken (twin: each
    prefix node's two dearer adapters lead elsewhere, so the labels last)."""
    adapters = []
    for i in range(prefix):
        here, there = f"a{i}" if i else "n0", f"a{i + 1}"
        for w in range(3):
            to = there if crafted or w == 0 else f"x{i}.{w}"
            adapters.append(adapter(f"a.{i:04d}.{w}", here, to, cost=1 if w == 0 else 2))
    more, last = parallel_stages(stages, f"a{prefix}", "w")
    request = {"id": "p", "planning_policy": {"require_user_choice_on_ambiguity": False}}
    return planner_args(adapters + more, ports=[port(representations=[last])], request=request)


row("plan-label-exhausting", "plan_model_input_json",
    "41 nodes of three parallel adapters exhaust the path labels before 18 stages of two equal adapters, whose "
    "2^18 tied paths the frontier orders by comparing them (twin: the labels last)", 18)(
    lambda s: (_label_exhausting(scaled_stages(18, s), True), _label_exhausting(scaled_stages(18, s), False)))


# Errors that quote what they reject, in the shapes that cost the most per input
# byte (tests/python/test_error_quoting.py derives and pins them). The reader
# quotes a rejected string with each control character as `\u{..}`: a DEL byte,
# legal unescaped in JSON, takes 6 characters in the message and 7 in each JSON
# text, 33 over the exception's five, the most of any byte; a C1 control takes 33
# for its two bytes; an array element `1e15,` that a rule writes back as JSON, 95
# for five. One character beyond the Basic Multilingual Plane puts every text at
# four bytes a character. Each twin holds the same value where it is accepted,
# and is valid.

ASTRAL = "\U0001f600"


def _quoted_string(n, unit, astral):
    """n bytes of `unit` repeated as a JSON string, with one astral character
    first, last or nowhere."""
    body = unit * (n // len(unit.encode()))
    body = {"first": ASTRAL + body, "last": body + ASTRAL, None: body}[astral]
    return '"' + body + '"'


def _sources_string(n, unit, astral, crafted):
    """A schema whose `sources` is the string (crafted), or whose one source's
    name is (twin)."""
    doc = schema(["s1"], "@") if crafted else schema(["s1"], [source(name="@")])
    return [dumps(doc).replace('"@"', _quoted_string(n, unit, astral))]


def _envelope_plan_string(n, crafted):
    """A valid envelope whose plan is the string (crafted), or that carries it
    under a key of no field (twin: read, then skipped)."""
    envelope = json.loads(vx.build_coordinator_data_plan_envelope_json(*_envelope_parts(1, "plain")[:2]))
    if crafted:
        envelope["plan"] = "@"
    else:
        envelope["note"] = "@"
    return [dumps(envelope).replace('"@"', _quoted_string(n, "\x7f", "last"))]


def _numbers_rejected(n, crafted):
    """An array of n / 5 numbers 1e15 and one astral string, as a numeric coordinate
    value, where each number is quoted as 1000000000000000.0 (crafted), or as a
    source's tag (twin)."""
    values = "[" + ",".join(["1e15"] * (n // 5)) + f',"{ASTRAL}"]'
    if crafted:
        text = _coordinates(["@"], "numeric")[0]
    else:
        text = dumps(schema(["s1"], [source(tags={"k": "@"})]))
    return [text.replace('"@"', values)]


row("error-sources-del-astral", "validate_dataset_schema_json",
    "sources: a string of 20,000,000 DEL bytes, then one astral character (twin: the string as a source's name)",
    20_000_000)(lambda s: (_sources_string(scaled(2 * 10**7, s), "\x7f", "last", True),
                           _sources_string(scaled(2 * 10**7, s), "\x7f", "last", False)))
row("error-sources-astral-del", "validate_dataset_schema_json",
    "sources: one astral character, then a string of 20,000,000 DEL bytes (twin: the string as a source's name)",
    20_000_000)(lambda s: (_sources_string(scaled(2 * 10**7, s), "\x7f", "first", True),
                           _sources_string(scaled(2 * 10**7, s), "\x7f", "first", False)))
row("error-sources-del", "validate_dataset_schema_json",
    "sources: a string of 20,000,000 DEL bytes (twin: the string as a source's name)", 20_000_000)(
    lambda s: (_sources_string(scaled(2 * 10**7, s), "\x7f", None, True),
               _sources_string(scaled(2 * 10**7, s), "\x7f", None, False)))
row("error-sources-c1-astral", "validate_dataset_schema_json",
    "sources: a string of 10,000,000 U+0080 (20 MB), then one astral character (twin: the string as a source's "
    "name)", 10_000_000)(lambda s: (_sources_string(scaled(2 * 10**7, s), "\x80", "last", True),
                                    _sources_string(scaled(2 * 10**7, s), "\x80", "last", False)))
row("error-envelope-plan-del-astral", "validate_coordinator_data_plan_envelope_json",
    "plan: a string of 20,000,000 DEL bytes, then one astral character (twin: the string under a key of no field)",
    20_000_000)(lambda s: (_envelope_plan_string(scaled(2 * 10**7, s), True),
                           _envelope_plan_string(scaled(2 * 10**7, s), False)))
row("error-coordinate-numbers-astral", "validate_dataset_schema_json",
    "a numeric coordinate value: an array of 4,000,000 numbers 1e15 and one astral string (twin: the array as a "
    "source's tag)", 4_000_000)(lambda s: (_numbers_rejected(scaled(2 * 10**7, s), True),
                                           _numbers_rejected(scaled(2 * 10**7, s), False)))


# ---------------------------------------------------------------------------
# Measuring one call
# ---------------------------------------------------------------------------

_PROBE = common.PROBE_PRELUDE + r"""
print(json.dumps({"before": before}), flush=True)
outcome, out_bytes = "ok", None
t0 = time.perf_counter()
try:
    result = fn(*texts)
    elapsed = time.perf_counter() - t0
    peak = status("VmHWM") - before
    out_bytes = len(result) if isinstance(result, str) else None
    del result
except Exception as error:  # noqa: BLE001
    elapsed = time.perf_counter() - t0
    peak = status("VmHWM") - before
    # An error may quote a whole input: the first words are enough, and a huge
    # line would fill the pipe that the parent reads only at the end.
    outcome = " ".join(str(error)[:1000].split())
# Short calls are timed again, and the fastest taken: one call of a few
# microseconds says little.
if elapsed < 0.05:
    times = [elapsed]
    budget = time.perf_counter() + 0.3
    while time.perf_counter() < budget and len(times) < 200:
        t0 = time.perf_counter()
        try:
            fn(*texts)
        except Exception:  # noqa: BLE001
            pass
        times.append(time.perf_counter() - t0)
    elapsed = min(times)
print(json.dumps({"time": elapsed, "peak": peak, "outcome": outcome, "out_bytes": out_bytes}), flush=True)
"""


def vm_hwm(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def measure(paths, function, timeout):
    """Seconds, peak additional bytes and outcome of one call in a fresh interpreter;
    time None when the call outlived `timeout` (its peak so far is still given)."""
    env = dict(os.environ)
    module_dir = str(Path(vx.__file__).resolve().parent)
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.Popen([sys.executable, "-c", _PROBE, *map(str, paths), function],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    first = proc.stdout.readline()
    try:
        before = json.loads(first)["before"]
    except (ValueError, KeyError):
        proc.wait()
        return {"time": None, "peak": None, "outcome": "probe failed: " + proc.stderr.read()[-200:], "out_bytes": None}
    deadline = time.monotonic() + timeout
    peak_seen = None
    while proc.poll() is None and time.monotonic() < deadline:
        hwm = vm_hwm(proc.pid)
        if hwm is not None:
            peak_seen = hwm - before
        time.sleep(0.05 if timeout - (deadline - time.monotonic()) < 2 else 0.5)
    if proc.poll() is None:
        hwm = vm_hwm(proc.pid)
        if hwm is not None:
            peak_seen = hwm - before
        proc.kill()
        proc.wait()
        return {"time": None, "peak": peak_seen, "outcome": f"stopped after {timeout:g} s", "out_bytes": None}
    rest = proc.stdout.read().strip().splitlines()
    if proc.returncode != 0 or not rest:
        return {"time": None, "peak": peak_seen, "out_bytes": None,
                "outcome": f"process ended with {proc.returncode}: " + proc.stderr.read()[-200:].strip()}
    return json.loads(rest[-1])


# ---------------------------------------------------------------------------
# The run and the table
# ---------------------------------------------------------------------------


def doc_paths(spec, scale):
    """The argument texts of a row's crafted and benign calls, cached on disk."""
    tag = f"{spec['name']}-s{scale:g}-v{DOC_VERSION}"
    paths = {}
    names = sorted(CACHE.glob(f"{tag}-*.json")) if CACHE.exists() else []
    if names:
        for kind in ("crafted", "benign"):
            paths[kind] = sorted(p for p in names if p.name.startswith(f"{tag}-{kind}-"))
        if all(paths.values()):
            return paths
    crafted, benign = spec["build"](scale)
    CACHE.mkdir(parents=True, exist_ok=True)
    for kind, texts in (("crafted", crafted), ("benign", benign)):
        paths[kind] = []
        for i, text in enumerate(texts):
            path = CACHE / f"{tag}-{kind}-{i}.json"
            tmp = path.with_suffix(".tmp")
            tmp.write_text(text, encoding="utf-8")
            tmp.replace(path)
            paths[kind].append(path)
    return paths


def fmt_time(result, timeout):
    t = result["time"]
    if t is None:
        return f">{timeout:g} s" if result["outcome"].startswith("stopped") else "failed"
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.1f} ms"
    return f"{t * 1e6:.0f} us"


def fmt_bytes(n):
    if n >= 2**30:
        return f"{n / 2**30:.2f} GB"
    if n >= 2**20:
        return f"{n / 2**20:.1f} MB"
    return f"{n / 2**10:.1f} KB"


# The opening every rule failure shares, left out of the table so that the
# rule's own words fit in its 80 characters.
RULE_OPENING = "data contract validation failed: "


def outcome_text(result):
    text = result["outcome"]
    if text.startswith(RULE_OPENING):
        text = "rule: " + text[len(RULE_OPENING):]
    if text == "ok" and result.get("out_bytes") is not None and result["out_bytes"] >= 2**20:
        text = f"ok ({fmt_bytes(result['out_bytes'])} returned)"
    return text[:80].replace("|", "\\|")


def ratio(crafted, benign, timeout):
    if benign["time"] is None:
        return "n/a"
    t = crafted["time"]
    if t is None:
        if crafted["outcome"].startswith("stopped"):
            return f">{timeout / benign['time']:,.0f}"
        return "n/a"
    return f"{t / benign['time']:,.1f}"


def fmt_peak(result, text_bytes, with_bytes):
    peak = result["peak"]
    if peak is None:
        return "n/a"
    mem = f"{peak / text_bytes:.1f}x" + (f" ({fmt_bytes(max(peak, 0))})" if with_bytes else "")
    return "at least " + mem if result["time"] is None else mem


def table_line(spec, sizes, crafted, benign, timeout):
    return (f"| `{spec['name']}` | `{spec['function']}` | {spec['shape']} | {fmt_bytes(sizes['crafted'])}"
            f" / {fmt_bytes(sizes['benign'])} | {fmt_time(crafted, timeout)} | {fmt_time(benign, timeout)}"
            f" | {ratio(crafted, benign, timeout)} | {fmt_peak(crafted, sizes['crafted'], True)}"
            f" | {fmt_peak(benign, sizes['benign'], False)} | {outcome_text(crafted)} | {outcome_text(benign)} |")


def flagged(crafted, benign, sizes, timeout):
    """Slow beside its twin (over 3x, and over 10 ms) or big (peak over 5x its text)."""
    slow = crafted["time"] is None and crafted["outcome"].startswith("stopped")
    if not slow and crafted["time"] is not None and benign["time"]:
        slow = crafted["time"] > 3 * benign["time"] and crafted["time"] > 0.01
    # Under a few megabytes the interpreter's own allocations blur the figure.
    big = crafted["peak"] is not None and crafted["peak"] > max(5 * sizes["crafted"], 8 * 2**20)
    return slow or big


HEAD = ("| row | function | shape | text (crafted / benign) | crafted | benign | ratio | crafted peak memory"
        " (x text) | benign peak | crafted outcome | benign outcome |")


def write_section(out, lines, header):
    """Replaces this script's section of `out` (or appends it), keeping earlier lines
    of rows that were not measured again."""
    previous = out.read_text(encoding="utf-8") if out.exists() else ""
    at = previous.find("\n" + SECTION + "\n")
    kept = {}
    before, after = previous, ""
    if at >= 0:
        end = previous.find("\n## ", at + len(SECTION) + 2)
        body = previous[at:end if end >= 0 else len(previous)]
        before, after = previous[:at], previous[end:] if end >= 0 else ""
        for line in body.splitlines():
            if line.startswith("| `"):
                kept[line.split("`")[1]] = line
    names = [spec["name"] for spec in ROWS]
    kept.update(lines)
    rows = [kept[name] for name in names if name in kept]
    section = [SECTION, "", *header, "", HEAD, "|" + "---|" * (HEAD.count("|") - 1), *rows]
    text = before.rstrip("\n") + "\n\n" + "\n".join(section) + "\n" + after
    out.write_text(text, encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", default="*", help="comma-separated row names or shell patterns (default: all)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every size, e.g. 0.1 for a quick run")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds one call may take (default 120)")
    parser.add_argument("--list", action="store_true", help="print the rows and exit")
    parser.add_argument("--out", default=str(HERE / "RESULTS.md"))
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    args = parser.parse_args()

    patterns = [p for p in args.rows.split(",") if p]
    chosen = [spec for spec in ROWS if any(fnmatch.fnmatchcase(spec["name"], p) for p in patterns)]
    if args.list:
        for spec in chosen:
            print(f"{spec['name']:36} {spec['function']:50} {spec['shape']}")
        return
    if not chosen:
        parser.error("no row matches --rows")

    header = textwrap.wrap(
        f"Generated by `bench/worst_case.py` (CPU of the last run: {common.cpu_model()}; Python"
        f" {platform.python_version()}; scale {args.scale:g}; timeout {args.timeout:g} s per call). A run that"
        " measures some rows only keeps the others' earlier lines, which may come from another machine"
        " (`bench/README.md` says which).", 115)
    header += [""] + textwrap.wrap(
        "Each row times one call on a crafted document and one on a benign twin of about the same size"
        " and number of entries, each in a fresh interpreter; calls under 50 ms are repeated and the"
        " fastest is shown. Peak memory is the additional resident memory of a call as a multiple of its"
        " text (for a stopped call, the peak reached until then). Outcomes show the"
        " error's first 80 characters (`rule:` for a contract rule's failure, whose fixed opening is left"
        " out), or the size of a result over 1 MB.", 115)
    lines, flags = {}, []
    print(HEAD, flush=True)
    for spec in chosen:
        paths = doc_paths(spec, args.scale)
        sizes = {kind: sum(p.stat().st_size for p in paths[kind]) for kind in paths}
        if abs(sizes["crafted"] - sizes["benign"]) > 0.05 * sizes["crafted"]:
            print(f"warning: {spec['name']}: twin sizes differ ({sizes})", file=sys.stderr)
        # One call at a time: the machine is shared and the heavy rows are heavy.
        crafted = measure(paths["crafted"], spec["function"], args.timeout)
        benign = measure(paths["benign"], spec["function"], args.timeout)
        line = table_line(spec, sizes, crafted, benign, args.timeout)
        lines[spec["name"]] = line
        print(line, flush=True)
        if flagged(crafted, benign, sizes, args.timeout):
            flags.append(line)
        if not args.no_write:
            # After every row, so that a long run stopped halfway keeps what it measured.
            write_section(Path(args.out), lines, header)

    if flags:
        print("\nRows over 3x their twin's time or 5x their text in memory:", file=sys.stderr)
        for line in flags:
            print(line, file=sys.stderr)


if __name__ == "__main__":
    main()
