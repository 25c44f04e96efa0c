"""Resource safety of the twenty functions: no growth of resident memory or of reference
counts over many calls, the same answers from eight threads as from one, and
MemoryError (never an abort) when the core cannot allocate.

VELTRINAX_RESOURCE_CALLS sets the calls per function and document (2,000 by default;
100,000 for the full run, with -s to see the figures); VELTRINAX_THREAD_SECONDS sets
the length of the threaded run (2 s by default)."""

import gc
import inspect
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _veltrinax
from test_envelope import PLAN, SCHEMA, TABLE
from test_planner import MODEL_INPUT, REGISTRY, STATEFUL
from test_planner import SCHEMA as PLANNER_SCHEMA
from test_relations import FOLDS, ORIGIN_TABLE, two_folds

CALLS = int(os.environ.get("VELTRINAX_RESOURCE_CALLS", "2000"))
THREAD_SECONDS = float(os.environ.get("VELTRINAX_THREAD_SECONDS", "2"))

FUNCTIONS = _veltrinax.__all__[4:]
PARAMETERS = {name: list(inspect.signature(getattr(_veltrinax, name)).parameters) for name in FUNCTIONS}

# A free-form value of this size rides in every document below, so that a record, a
# result or an error text left behind by a call shows up in resident memory after a
# few thousand calls.
PAD = "p" * 16384


def edited(text, change):
    document = json.loads(text)
    change(document)
    return json.dumps(document)


def padded(*path):
    """A change that puts PAD under the key "pad" of the object at `path` (made if missing)."""

    def change(document):
        for key in path:
            document = document.setdefault(key, {}) if isinstance(document, dict) else document[key]
        document["pad"] = PAD

    return change


FAT_SCHEMA = edited(SCHEMA, padded("sources", 0, "tags"))
FAT_PLANNER_SCHEMA = edited(PLANNER_SCHEMA, padded("sources", 0, "tags"))
FAT_MODEL_INPUT = edited(MODEL_INPUT, lambda d: d.update(default_fusion={"alignment": "inner", "pad": PAD}))
# The two adapters the plan below uses, so that the plan carries the padding too.
PLANNED_ADAPTERS = {"spectra.identity_features", "tabular.encoder"}
FAT_REGISTRY = edited(
    REGISTRY, lambda d: [a.update(params={"pad": PAD}) for a in d["adapters"] if a["id"] in PLANNED_ADAPTERS]
)
FAT_PLAN = edited(json.dumps(PLAN), padded("steps", 0, "metadata"))
FAT_TABLE = edited(TABLE, padded("rows", 0, "metadata"))
FAT_FOLDS = edited(json.dumps(FOLDS), padded("folds", 0, "metadata"))
FAT_CROSS_FOLDS = edited(json.dumps(two_folds(["s1", "s2"], ["s3"])), padded("folds", 0, "metadata"))
# s1 trains while s2, whose observation derives from one of s1, is validated: an origin leak.
LEAKING_CROSS_FOLDS = edited(json.dumps(two_folds(["s1"], ["s2"])), padded("folds", 0, "metadata"))
FAT_CROSS_TABLE = edited(json.dumps(ORIGIN_TABLE), padded("rows", 0, "metadata"))
FAT_ENVELOPE = _veltrinax.build_coordinator_data_plan_envelope_json(FAT_SCHEMA, FAT_PLAN, FAT_TABLE)


def appended(key, element):
    return lambda document: document[key].append(element)


def blank_id(document):
    document["id"] = " "


# Valid arguments and, for each function, arguments that read in full and then break a
# rule (or, for the functions without parameters, an argument they refuse).
VALID = {name: () for name in FUNCTIONS[:6]} | {
    "validate_dataset_schema_json": (FAT_SCHEMA,),
    "dataset_schema_fingerprint_json": (FAT_SCHEMA,),
    "validate_model_input_spec_json": (FAT_MODEL_INPUT,),
    "validate_adapter_registry_json": (FAT_REGISTRY,),
    "plan_model_input_json": (FAT_PLANNER_SCHEMA, FAT_MODEL_INPUT, FAT_REGISTRY, STATEFUL),
    "validate_data_plan_json": (FAT_PLAN,),
    "data_plan_fingerprint_json": (FAT_PLAN,),
    "validate_sample_relation_table_json": (FAT_TABLE,),
    "sample_relation_table_fingerprint_json": (FAT_TABLE,),
    "validate_fold_set_json": (FAT_FOLDS,),
    "fold_set_fingerprint_json": (FAT_FOLDS,),
    "validate_fold_set_against_sample_relations_json": (FAT_CROSS_FOLDS, FAT_CROSS_TABLE),
    "build_coordinator_data_plan_envelope_json": (FAT_SCHEMA, FAT_PLAN, FAT_TABLE),
    "validate_coordinator_data_plan_envelope_json": (FAT_ENVELOPE,),
}
BROKEN_SCHEMA = edited(FAT_SCHEMA, appended("sample_ids", "a"))
BROKEN_PLAN = edited(FAT_PLAN, lambda d: d.update(output_representation="other"))
BROKEN_TABLE = edited(FAT_TABLE, appended("rows", {"observation_id": "o1", "sample_id": "a"}))
BROKEN_FOLDS = edited(FAT_FOLDS, appended("sample_ids", "s9"))
INVALID = {name: ("{}",) for name in FUNCTIONS[:6]} | {
    "validate_dataset_schema_json": (BROKEN_SCHEMA,),
    "dataset_schema_fingerprint_json": (BROKEN_SCHEMA,),
    "validate_model_input_spec_json": (edited(FAT_MODEL_INPUT, lambda d: d.update(ports=[])),),
    "validate_adapter_registry_json": (edited(FAT_REGISTRY, lambda d: d["adapters"].append(d["adapters"][-1])),),
    "plan_model_input_json": (FAT_PLANNER_SCHEMA, FAT_MODEL_INPUT, FAT_REGISTRY, edited(STATEFUL, blank_id)),
    "validate_data_plan_json": (BROKEN_PLAN,),
    "data_plan_fingerprint_json": (BROKEN_PLAN,),
    "validate_sample_relation_table_json": (BROKEN_TABLE,),
    "sample_relation_table_fingerprint_json": (BROKEN_TABLE,),
    "validate_fold_set_json": (BROKEN_FOLDS,),
    "fold_set_fingerprint_json": (BROKEN_FOLDS,),
    "validate_fold_set_against_sample_relations_json": (LEAKING_CROSS_FOLDS, FAT_CROSS_TABLE),
    "build_coordinator_data_plan_envelope_json": (
        FAT_SCHEMA,
        FAT_PLAN,
        edited(FAT_TABLE, appended("rows", {"observation_id": "o9", "sample_id": "undeclared"})),
    ),
    "validate_coordinator_data_plan_envelope_json": (
        edited(FAT_ENVELOPE, lambda d: d["plan"].update(id="another")),
    ),
}


def outcome(name, args):
    """What a call ends with: its result, or everything its exception carries."""
    try:
        return ("returned", getattr(_veltrinax, name)(*args))
    except Exception as error:  # noqa: BLE001 - the class is part of the outcome
        return (type(error), str(error), getattr(error, "descriptor_json", None), getattr(error, "__notes__", None))


def test_the_documents_are_valid_and_invalid_as_meant():
    for name in FUNCTIONS:
        assert outcome(name, VALID[name])[0] == "returned", name
        expected = TypeError if name in FUNCTIONS[:6] else _veltrinax.VeltrinaxError
        assert issubclass(outcome(name, INVALID[name])[0], expected), name
    # The padding reaches what the functions write.
    assert PAD in _veltrinax.plan_model_input_json(*VALID["plan_model_input_json"])
    assert FAT_ENVELOPE.count(PAD) == 2  # the plan step and the relation carry it


# Resident memory and address space are read from /proc.
needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(function, args, count):
    for _ in range(count):
        try:
            function(*args)
        except Exception:  # noqa: BLE001, S110 - only the memory the calls leave behind matters here
            pass


def counts(objects):
    return [sys.getrefcount(objects[i]) for i in range(len(objects))]


@needs_proc
@pytest.mark.parametrize("case", ["valid", "invalid"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_repeated_calls_leave_memory_and_reference_counts_flat(name, case):
    function, args = getattr(_veltrinax, name), (VALID if case == "valid" else INVALID)[name]
    watched = [*args, None, *(getattr(_veltrinax, c) for c in _veltrinax.__all__[:4])]
    repeat(function, args, max(CALLS // 10, 100))  # warm-up: caches, free lists, arenas
    gc.collect()
    references = counts(watched)
    before = resident_bytes()
    repeat(function, args, CALLS)
    gc.collect()
    after = resident_bytes()
    drift = [now - then for now, then in zip(counts(watched), references)]
    print(f"\n{name} {case}: {CALLS} calls, resident {before / 2**20:.2f} -> {after / 2**20:.2f} MiB")
    # The caller's strings are only read, and nothing else a call touches keeps a reference.
    assert drift[: len(args)] == [0] * len(args)
    assert all(abs(d) < CALLS // 2 for d in drift[len(args) :]), drift
    assert after - before <= 0.03 * before + 2**20


def test_eight_threads_get_the_answers_of_one():
    cases = [(name, args) for name in FUNCTIONS for args in (VALID[name], INVALID[name])]
    expected = [outcome(name, args) for name, args in cases]
    stop = time.monotonic() + THREAD_SECONDS
    counts, mismatches = [0] * 8, []

    def work(index):
        rng = random.Random(index)
        while time.monotonic() < stop:
            case = rng.randrange(len(cases))
            got = outcome(*cases[case])
            if got != expected[case]:
                mismatches.append((cases[case][0], got))
            counts[index] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over as often as it allows
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    print(f"\n8 threads, {THREAD_SECONDS} s: {sum(counts)} calls ({counts}), {len(mismatches)} mismatches")
    assert mismatches == []
    assert min(counts) > 0


# Run in a child process: builds a document of `count` identifiers, then calls the
# function under address-space limits a little above what the process already uses, so
# that the core's own allocations (the text exists before the limit is set) fail.
CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import _veltrinax
    name, count = sys.argv[1], int(sys.argv[2])
    ids = ["sample-identifier-%010d" % i for i in range(count)]
    schema = {"dataset_id": "d", "sample_ids": ids, "sources": [{"id": "s", "name": "n", "type_id": "t",
        "modality": "m", "sample_key": "k", "granularity": "per_sample", "native_representation": {"id": "r",
        "type_id": "t", "rank": 1, "axes": [{"name": "sample", "kind": "sample"}], "container": "c"}}]}
    folds = {"id": "f", "sample_ids": ids[::-1], "folds": [{"fold_id": "f", "train_sample_ids": [],
        "validation_sample_ids": ids}]}
    rows = {"rows": [{"observation_id": "o" + i, "sample_id": i, "source_id": "s"} for i in ids]}
    plan = {"id": "p", "steps": [{"kind": "materialize", "source_id": "s", "fit_scope": "stateless"}],
        "output_representation": "r"}
    args = {
        "validate_fold_set_json": [folds],
        "fold_set_fingerprint_json": [folds],
        "dataset_schema_fingerprint_json": [schema],
        "sample_relation_table_fingerprint_json": [rows],
        "build_coordinator_data_plan_envelope_json": [schema, plan, rows],
    }[name]
    args = [json.dumps(a) for a in args]
    del ids, schema, folds, rows
    function = getattr(_veltrinax, name)

    def address_space():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    for headroom in (1, 4, 16, 64, 256, None):
        if headroom:
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom * 2**20, hard))
        try:
            function(*args)
            print(headroom, "returned", flush=True)
        except MemoryError:
            # The interpreter itself still has room under the same limit.
            bytearray(65536)
            print(headroom, "MemoryError", flush=True)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(_veltrinax.version())
    """
)


@needs_proc
@pytest.mark.slow
@pytest.mark.parametrize(
    "name, count",
    [
        ("validate_fold_set_json", 200_000),
        ("fold_set_fingerprint_json", 200_000),
        ("dataset_schema_fingerprint_json", 200_000),
        ("sample_relation_table_fingerprint_json", 100_000),
        ("build_coordinator_data_plan_envelope_json", 50_000),
    ],
)
def test_an_allocation_failure_in_the_core_raises_memory_error(name, count):
    environment = {**os.environ, "PYTHONPATH": os.path.dirname(_veltrinax.__file__)}
    child = subprocess.run(
        [sys.executable, "-c", CHILD, name, str(count)], capture_output=True, text=True, env=environment, timeout=600
    )
    print(f"\n{name} ({count} identifiers): {child.stdout.split()}")
    assert child.returncode == 0, child.stderr  # an abort would end the child with a signal
    lines = [line.split() for line in child.stdout.splitlines()]
    assert lines[-1] == ["0.2.13"]
    outcomes = dict(lines[:-1])
    assert set(outcomes.values()) <= {"returned", "MemoryError"}
    assert outcomes["1"] == "MemoryError"
    assert outcomes["None"] == "returned"
