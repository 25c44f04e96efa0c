"""Resource safety of the twenty functions: no growth of resident memory or of reference
counts over many calls, the same answers from eight threads as from one, and
MemoryError (never an abort) when the core cannot allocate.

VELTRINAX_RESOURCE_CALLS sets the calls per function and document (2,000 by default;
100,000 for the full run, with -s to see the figures); VELTRINAX_THREAD_SECONDS sets
the length of the threaded run (2 s by default)."""

import gc
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _veltrinax
from documents import arguments, outcome, valid_arguments

CALLS = int(os.environ.get("VELTRINAX_RESOURCE_CALLS", "2000"))
THREAD_SECONDS = float(os.environ.get("VELTRINAX_THREAD_SECONDS", "2"))

FUNCTIONS = _veltrinax.__all__[4:]

# A free-form value of this size rides in every document below, so that a record, a
# result or an error text left behind by a call shows up in resident memory after a
# few thousand calls.
PAD = "p" * 16384


# Valid arguments and, for each function, arguments that read in full and then fail a
# check (or, for the functions without parameters, an argument they refuse).
ARGUMENTS = arguments(_veltrinax, PAD)
VALID = valid_arguments(_veltrinax, PAD)
INVALID = {name: ("{}",) for name in FUNCTIONS[:6]} | {name: broken[0] for name, (_, broken) in ARGUMENTS.items()}


def test_the_documents_are_valid_and_invalid_as_meant():
    for name in FUNCTIONS:
        assert outcome(getattr(_veltrinax, name), VALID[name])[0] == "returned", name
        expected = TypeError if name in FUNCTIONS[:6] else _veltrinax.VeltrinaxError
        assert issubclass(outcome(getattr(_veltrinax, name), INVALID[name])[0], expected), name
    # The padding reaches what the functions write.
    assert PAD in _veltrinax.plan_model_input_json(*VALID["plan_model_input_json"])
    assert VALID["validate_coordinator_data_plan_envelope_json"][0].count(PAD) == 2  # the plan step and the relation


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
    cases = [(getattr(_veltrinax, name), args) for name in FUNCTIONS for args in (VALID[name], INVALID[name])]
    expected = [outcome(name, args) for name, args in cases]
    stop = time.monotonic() + THREAD_SECONDS
    counts, mismatches = [0] * 8, []

    def work(index):
        rng = random.Random(index)
        while time.monotonic() < stop:
            case = rng.randrange(len(cases))
            got = outcome(*cases[case])
            if got != expected[case]:
                mismatches.append((cases[case][0].__name__, got))
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
