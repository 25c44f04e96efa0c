"""Times `_veltrinax` against the tools a Python user would reach for instead.

    python3 bench/run.py [--sizes 10000,100000,1000000] [--repeat 5] [--kinds ...]

For each document kind and size (documents from bench/generate.py, cached under
build/bench-docs/) it times, as the median of --repeat runs in this one process:
our validate and fingerprint functions; json.loads and orjson.loads of the same
text; msgspec's typed decode into Structs mirroring the document (the peer to
beat); the canonical fingerprint written by hand (json.loads, sort as the
fingerprint rules say, json.dumps compact, hashlib.sha256); and hashlib.sha256 of
the text's bytes alone (the floor). The peak additional resident memory of each of
our calls is measured in a fresh subprocess. Prints one table and writes it, with
the CPU model, to bench/RESULTS.md.
"""

import argparse
import gc
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
import common  # noqa: E402

try:
    import _veltrinax as vx
except ImportError:  # pragma: no cover - message for a machine without the module
    sys.exit("_veltrinax is not importable: build it (see bench/README.md) or set PYTHONPATH")

import msgspec  # noqa: E402
import orjson  # noqa: E402

# ---------------------------------------------------------------------------
# msgspec mirrors of the documents (every field the contract reads)
# ---------------------------------------------------------------------------


class Augmentation(msgspec.Struct):
    transform_id: str
    params_fingerprint: Optional[str] = None
    metadata: dict[str, Any] = {}


class SampleRelation(msgspec.Struct):
    observation_id: str
    sample_id: str
    source_id: Optional[str] = None
    target_id: Optional[str] = None
    group_id: Optional[str] = None
    origin_id: Optional[str] = None
    repetition_id: Optional[str] = None
    augmented: bool = False
    excluded: bool = False
    metadata: dict[str, Any] = {}
    tags: list[str] = []
    augmentation: Optional[Augmentation] = None


class SampleRelationTable(msgspec.Struct):
    rows: list[SampleRelation]


class FoldAssignment(msgspec.Struct):
    fold_id: str
    train_sample_ids: list[str]
    validation_sample_ids: list[str]
    metadata: dict[str, Any] = {}


class FoldSet(msgspec.Struct):
    id: str
    sample_ids: list[str]
    folds: list[FoldAssignment]
    sample_groups: dict[str, str] = {}


class RegularGrid(msgspec.Struct, tag="regular_grid", tag_field="kind"):
    start: float
    step: float


class Explicit(msgspec.Struct, tag="explicit", tag_field="kind"):
    values: list[Any]


class CoordinateSpec(msgspec.Struct):
    dtype: str
    values: RegularGrid | Explicit
    ordered: bool = False


class AxisSpec(msgspec.Struct, forbid_unknown_fields=True):
    name: str
    kind: str
    unit: Optional[str] = None
    size: Optional[int] = None
    variable: bool = False
    coordinate: Optional[CoordinateSpec] = None


class RepresentationSpec(msgspec.Struct):
    id: str
    type_id: str
    axes: list[AxisSpec]
    container: str
    rank: Optional[int] = None
    dtype: Optional[str] = None
    sparse: bool = False
    ragged: bool = False
    signal_type: Optional[str] = None


class AxisSizeContract(msgspec.Struct):
    exact: Optional[int] = None
    min: Optional[int] = None
    max: Optional[int] = None


class ShapeContract(msgspec.Struct):
    rank: Optional[int] = None
    axis_sizes: dict[str, AxisSizeContract] = {}
    allow_ragged: bool = False


class SourceDescriptor(msgspec.Struct):
    id: str
    name: str
    type_id: str
    modality: str
    native_representation: RepresentationSpec
    sample_key: str
    granularity: str
    schema: dict[str, Any] = {}
    tags: dict[str, Any] = {}
    shape_contract: Optional[ShapeContract] = None


class MetadataFieldSpec(msgspec.Struct):
    kind: str
    required: bool = False
    unit: Optional[str] = None
    allowed_values: list[Any] = []
    description: Optional[str] = None


class MetadataSchema(msgspec.Struct):
    fields: dict[str, MetadataFieldSpec] = {}


class GroupSpec(msgspec.Struct):
    id: str
    kind: str
    column: str
    source_id: Optional[str] = None
    strict: bool = False
    metadata: dict[str, Any] = {}


class FoldSpec(msgspec.Struct):
    id: str
    group_id: Optional[str] = None
    split_column: Optional[str] = None
    metadata: dict[str, Any] = {}


class DatasetSchema(msgspec.Struct):
    dataset_id: str
    sample_ids: list[str]
    sources: list[SourceDescriptor]
    targets: dict[str, RepresentationSpec] = {}
    metadata: dict[str, RepresentationSpec] = {}
    metadata_schema: Optional[MetadataSchema] = None
    groups: list[GroupSpec] = []
    folds: list[FoldSpec] = []


class DataPlanStep(msgspec.Struct):
    kind: str
    fit_scope: str
    source_id: Optional[str] = None
    adapter_id: Optional[str] = None
    input_representation: Optional[str] = None
    output_representation: Optional[str] = None
    requires_user_choice: bool = False
    metadata: dict[str, Any] = {}


class PlanIssue(msgspec.Struct):
    code: str
    message: str
    choices: list[str] = []


class DataPlan(msgspec.Struct):
    id: str
    steps: list[DataPlanStep]
    output_representation: str
    issues: list[PlanIssue] = []


# ---------------------------------------------------------------------------
# The canonical fingerprints as a user would write them by hand
# ---------------------------------------------------------------------------


def _digest(doc, sort_keys=False):
    text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False, sort_keys=sort_keys)
    return hashlib.sha256(text.encode()).hexdigest()


def hand_relations(text):
    rows = json.loads(text)["rows"]
    rows.sort(key=lambda r: (r["observation_id"], r["sample_id"], r.get("source_id") is not None, r.get("source_id") or ""))
    return _digest({"rows": rows})


def hand_folds(text):
    doc = json.loads(text)
    doc["sample_ids"].sort()
    doc["folds"].sort(key=lambda f: f["fold_id"])
    for fold in doc["folds"]:
        fold["train_sample_ids"].sort()
        fold["validation_sample_ids"].sort()
        if not fold.get("metadata"):
            fold.pop("metadata", None)
    if not doc.get("sample_groups"):
        doc.pop("sample_groups", None)
    return _digest(doc, sort_keys=True)


def hand_schema(text):
    doc = json.loads(text)
    doc["sample_ids"].sort()
    for key in ("sources", "groups", "folds"):
        if key in doc:
            doc[key].sort(key=lambda item: item["id"])
    return _digest(doc)


def hand_plan(text):
    return _digest(json.loads(text))


KINDS = {
    # kind: (generator, validate, fingerprint, msgspec type, hand-written fingerprint)
    "relations": (generate.relations, vx.validate_sample_relation_table_json,
                  vx.sample_relation_table_fingerprint_json, SampleRelationTable, hand_relations),
    "folds": (generate.folds, vx.validate_fold_set_json, vx.fold_set_fingerprint_json, FoldSet, hand_folds),
    "schema": (generate.schema, vx.validate_dataset_schema_json, vx.dataset_schema_fingerprint_json,
               DatasetSchema, hand_schema),
    "plan": (generate.plan, vx.validate_data_plan_json, vx.data_plan_fingerprint_json, DataPlan, hand_plan),
}

NOTES_HEADING = "## Where the time goes"

# Small documents of a few KB (every function must stay within json.loads there).
SMALL = {"relations": 16, "folds": 40, "schema": 24, "plan": 12}

# ---------------------------------------------------------------------------
# Timing and memory
# ---------------------------------------------------------------------------


def median_times(fns, repeat, min_batch_seconds=0.05):
    """Median seconds per call of each function in `fns` (a dict), over `repeat`
    rounds in which every function runs once in turn, so that all of them meet
    the same conditions of the machine. Calls shorter than `min_batch_seconds`
    are batched."""
    batches = {}
    for name, fn in fns.items():
        t0 = time.perf_counter()
        fn()  # warm-up, and the size of a batch
        once = time.perf_counter() - t0
        batches[name] = max(1, int(min_batch_seconds / once)) if once < min_batch_seconds else 1
    times = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            gc.collect()
            batch = batches[name]
            t0 = time.perf_counter()
            for _ in range(batch):
                fn()
            times[name].append((time.perf_counter() - t0) / batch)
    return {name: statistics.median(t) for name, t in times.items()}


def doc_path(kind, n, seed):
    cache = HERE.parent / "build" / "bench-docs"
    cache.mkdir(parents=True, exist_ok=True)
    path = cache / f"{kind}-{n}-{seed}.json"
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        tmp.write_text(generate.GENERATORS[kind](n, seed), encoding="utf-8")
        tmp.replace(path)
    return path


_MEMORY_PROBE = common.PROBE_PRELUDE + r"""
fn(*texts)
print(status("VmHWM") - before)
"""


def peak_memory(paths, function_name):
    """Peak additional resident bytes of one call, in a fresh interpreter that
    holds only the texts; None where the peak cannot be reset (not Linux)."""
    if not Path("/proc/self/clear_refs").exists():
        return None
    env = dict(os.environ)
    module_dir = str(Path(vx.__file__).resolve().parent)
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, *map(str, paths), function_name],
                         capture_output=True, text=True, env=env)
    if out.returncode != 0:
        return None
    return int(out.stdout.strip())


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


def measure(kind, n, seed, repeat, memory=True):
    gen, validate, fingerprint, struct, hand = KINDS[kind]
    path = doc_path(kind, n, seed)
    text = path.read_text(encoding="utf-8")
    data = text.encode()
    ours = fingerprint(text)
    row = {"kind": kind, "n": n, "bytes": len(data), "same": hand(text) == ours}
    row.update(
        median_times(
            {
                "validate": lambda: validate(text),
                "fingerprint": lambda: fingerprint(text),
                "json": lambda: json.loads(text),
                "orjson": lambda: orjson.loads(text),
                "msgspec": lambda: msgspec.json.decode(text, type=struct),
                "hand": lambda: hand(text),
                "sha256": lambda: hashlib.sha256(data).hexdigest(),
            },
            repeat,
        )
    )
    if memory:
        row["mem_validate"] = peak_memory([path], validate.__name__)
        row["mem_fingerprint"] = peak_memory([path], fingerprint.__name__)
    return row


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def fmt_mem(value, size):
    if value is None:
        return "n/a"
    return f"{value / 2**20:.0f} MB ({value / size:.2f}x)"


def table(rows, scaling):
    head = ("| document | n | text | validate | fingerprint | json.loads | orjson | msgspec typed | hand fingerprint"
            " | sha256 | validate / msgspec | fp / hand | fp / sha256 | same digest | peak mem validate"
            " | peak mem fingerprint |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        lines.append(
            f"| {r['kind']} | {r['n']:,} | {r['bytes'] / 2**20:.1f} MB | {fmt_time(r['validate'])}"
            f" | {fmt_time(r['fingerprint'])} | {fmt_time(r['json'])} | {fmt_time(r['orjson'])}"
            f" | {fmt_time(r['msgspec'])} | {fmt_time(r['hand'])} | {fmt_time(r['sha256'])}"
            f" | {r['validate'] / r['msgspec']:.2f} | {r['fingerprint'] / r['hand']:.3f}"
            f" | {r['fingerprint'] / r['sha256']:.1f} | {'yes' if r['same'] else 'no'}"
            f" | {fmt_mem(r.get('mem_validate'), r['bytes'])} | {fmt_mem(r.get('mem_fingerprint'), r['bytes'])} |"
        )
    out = "\n".join(lines)
    if scaling:
        out += "\n\n| document | validate 1M / 100k | fingerprint 1M / 100k |\n|---|---|---|\n"
        out += "\n".join(f"| {k} | {v:.1f} | {f:.1f} |" for k, (v, f) in scaling.items())
    return out


def small_table(rows):
    lines = ["| document | text | json.loads | validate | fingerprint | validate / json.loads"
             " | fingerprint / json.loads |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(
            f"| {r['kind']} | {r['bytes'] / 1024:.1f} KB | {fmt_time(r['json'])} | {fmt_time(r['validate'])}"
            f" | {fmt_time(r['fingerprint'])} | {r['validate'] / r['json']:.2f} | {r['fingerprint'] / r['json']:.2f} |"
        )
    return "\n".join(lines)


def targets(rows, small, scaling):
    """Each target at the largest size measured: met or not, with the figure."""
    largest = {}
    for r in rows:
        if r["n"] >= largest.get(r["kind"], {"n": 0})["n"]:
            largest[r["kind"]] = r
    lines = ["| target | document | figure | met |", "|---|---|---|---|"]

    def line(name, kind, value, limit, unit=""):
        lines.append(f"| {name} | {kind} | {value:.2f}{unit} (limit {limit}{unit}) | {'yes' if value <= limit else 'no'} |")

    for kind, r in largest.items():
        if kind in ("relations", "folds", "schema"):
            line("validate / msgspec typed decode", kind, r["validate"] / r["msgspec"], 0.5)
        line("fingerprint / hand-written fingerprint", kind, r["fingerprint"] / r["hand"], 0.1)
        line("fingerprint / sha256 of the text", kind, r["fingerprint"] / r["sha256"], 6)
        for key in ("mem_validate", "mem_fingerprint"):
            if r.get(key) is not None:
                line(f"peak memory of {key[4:]} / text size", kind, r[key] / r["bytes"], 3, "x")
    for kind, (v, f) in scaling.items():
        line("validate 1M / 100k", kind, v, 12)
        line("fingerprint 1M / 100k", kind, f, 12)
    for r in small:
        line("small: validate / json.loads", r["kind"], r["validate"] / r["json"], 1)
        line("small: fingerprint / json.loads", r["kind"], r["fingerprint"] / r["json"], 1)
    return "\n".join(lines)


def cross_check(n, seed, repeat):
    """validate_fold_set_against_sample_relations_json on a matching pair."""
    folds_path = doc_path("relation_folds", n, seed)
    rel_path = doc_path("relations", n, seed)
    folds_text = folds_path.read_text(encoding="utf-8")
    rel_text = rel_path.read_text(encoding="utf-8")
    fn = vx.validate_fold_set_against_sample_relations_json
    times = median_times(
        {"time": lambda: fn(folds_text, rel_text), "json": lambda: (json.loads(folds_text), json.loads(rel_text))},
        repeat,
    )
    times.update(bytes=len(folds_text) + len(rel_text), mem=peak_memory([folds_path, rel_path], fn.__name__))
    return times


def envelope_texts(n, seed):
    """A schema over the samples and sources of the n-row relation table, a plan
    over two of those sources, and the table: the parts of a coordinator envelope."""
    rel_text = doc_path("relations", n, seed).read_text(encoding="utf-8")
    rows = json.loads(rel_text)["rows"]
    schema = json.loads(generate.schema(10, seed, source_count=len(generate.SOURCES)))
    renamed = {}
    for source, source_id in zip(schema["sources"], generate.SOURCES):
        renamed[source["id"]] = source_id
        source["id"] = source_id
    for group in schema.get("groups", []):
        if group.get("source_id"):
            group["source_id"] = renamed[group["source_id"]]
    schema["sample_ids"] = sorted({r["sample_id"] for r in rows})
    plan = generate.plan(20, seed).replace("src-00000", generate.SOURCES[0]).replace("src-00001", generate.SOURCES[1])
    return generate._dumps(schema), plan, rel_text


def envelope_check(n, seed, repeat):
    """build_coordinator_data_plan_envelope_json on an n-row table, and
    validate_coordinator_data_plan_envelope_json on what it builds."""
    schema, plan, table = envelope_texts(n, seed)
    envelope = vx.build_coordinator_data_plan_envelope_json(schema, plan, table)
    times = median_times(
        {
            "build": lambda: vx.build_coordinator_data_plan_envelope_json(schema, plan, table),
            "validate": lambda: vx.validate_coordinator_data_plan_envelope_json(envelope),
            "json_parts": lambda: (json.loads(schema), json.loads(plan), json.loads(table)),
            "json_envelope": lambda: json.loads(envelope),
        },
        repeat,
    )
    times.update(bytes=len(schema) + len(plan) + len(table), envelope_bytes=len(envelope))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--plan-sizes", default="1000,10000,100000")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--out", default=str(HERE / "RESULTS.md"))
    args = parser.parse_args()
    if args.repeat < 5:
        parser.error("medians need at least five repetitions")

    kinds = [k for k in args.kinds.split(",") if k]
    sizes = [int(s) for s in args.sizes.split(",") if s]
    plan_sizes = [int(s) for s in args.plan_sizes.split(",") if s]
    rows, small = [], []
    for kind in kinds:
        for n in plan_sizes if kind == "plan" else sizes:
            print(f"{kind} n={n:,} ...", file=sys.stderr, flush=True)
            rows.append(measure(kind, n, args.seed, args.repeat, memory=not args.no_memory))
        # Short calls are cheap to repeat, and their ratios are the noisiest.
        small.append(measure(kind, SMALL[kind], args.seed, max(args.repeat, 15), memory=False))

    scaling = {}
    for kind in kinds:
        by_n = {r["n"]: r for r in rows if r["kind"] == kind}
        if 1_000_000 in by_n and 100_000 in by_n:
            a, b = by_n[1_000_000], by_n[100_000]
            scaling[kind] = (a["validate"] / b["validate"], a["fingerprint"] / b["fingerprint"])

    cross = None
    envelopes = []
    if "relations" in kinds and sizes:
        print("cross check ...", file=sys.stderr, flush=True)
        cross = cross_check(max(sizes), args.seed, args.repeat)
        for n in sizes:
            print(f"envelope n={n:,} ...", file=sys.stderr, flush=True)
            envelopes.append((n, envelope_check(n, args.seed, args.repeat)))

    report = [
        "# Benchmark results",
        "",
        f"CPU: {common.cpu_model()}; Python {platform.python_version()}; orjson {orjson.__version__};"
        f" msgspec {msgspec.__version__}; medians of {args.repeat} runs; generated by `bench/run.py`.",
        "",
        "Ratios: `validate / msgspec` is our validation (reading included) over msgspec's typed decode;"
        " `fp / hand` our fingerprint over the hand-written canonical fingerprint; `fp / sha256` over"
        " hashlib.sha256 of the text alone; `same digest` whether the hand-written digest equals ours;"
        " peak memory is the additional resident memory of one call, and its multiple of the text size.",
        "",
        table(rows, scaling),
        "",
        "## Targets",
        "",
        targets(rows, small, scaling),
        "",
        "## Small documents",
        "",
        small_table(small),
    ]
    if cross:
        report += [
            "",
            "## Fold set against relations",
            "",
            f"`validate_fold_set_against_sample_relations_json` on the {max(sizes):,}-row table and its fold set"
            f" ({cross['bytes'] / 2**20:.0f} MB of text): {fmt_time(cross['time'])}; json.loads of both texts:"
            f" {fmt_time(cross['json'])}; peak additional memory {fmt_mem(cross['mem'], cross['bytes'])}.",
        ]
    if envelopes:
        report += [
            "",
            "## Coordinator envelope",
            "",
            "`build_coordinator_data_plan_envelope_json` on a schema over the table's samples, a 20-step plan and the"
            " relation table; `validate_coordinator_data_plan_envelope_json` on the envelope it builds.",
            "",
            "| rows | parts | build | json.loads of the parts | build / json.loads | envelope | validate"
            " | json.loads of the envelope | validate / json.loads |",
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for n, e in envelopes:
            report.append(
                f"| {n:,} | {e['bytes'] / 2**20:.1f} MB | {fmt_time(e['build'])} | {fmt_time(e['json_parts'])}"
                f" | {e['build'] / e['json_parts']:.2f} | {e['envelope_bytes'] / 2**20:.1f} MB"
                f" | {fmt_time(e['validate'])} | {fmt_time(e['json_envelope'])}"
                f" | {e['validate'] / e['json_envelope']:.2f} |"
            )
    text = "\n".join(report) + "\n"
    print(text)
    # The profile notes written by hand below the generated tables survive a new run.
    out = Path(args.out)
    if out.exists():
        previous = out.read_text(encoding="utf-8")
        at = previous.find(NOTES_HEADING)
        if at >= 0:
            text += "\n" + previous[at:]
    out.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
