"""Each function through the module on a valid document and on documents that fail
reading or a rule (the rules themselves are tested message by message in C++), the
envelope's round trips, sealed cohorts and tamper detection."""

import hashlib
import json

import pytest

import _veltrinax
from documents import (ORIGIN_TABLE, PLAN, SCHEMA, TABLE, adapter, arguments, axis, changed, compact, fold,
                       fold_set, plan, planner_documents, registry, rep, schema, source, table,
                       two_folds)  # fmt: skip

ARGUMENTS = arguments(_veltrinax)
HEX = set("0123456789abcdef")
PLANNER = planner_documents(_veltrinax)
build = _veltrinax.build_coordinator_data_plan_envelope_json
validate = _veltrinax.validate_coordinator_data_plan_envelope_json


def sha256(text):
    return hashlib.sha256(text.encode()).hexdigest()


@pytest.mark.parametrize("name", ARGUMENTS)
def test_valid_documents_validate_to_none_and_fingerprint_to_a_digest(name):
    function, args = getattr(_veltrinax, name), ARGUMENTS[name][0]
    result = function(*args)
    if name.startswith("validate_"):
        assert result is None
    elif name.endswith("_fingerprint_json"):
        assert len(result) == 64 and set(result) <= HEX
        assert function(*args) == result
    else:
        assert type(json.loads(result)) is dict


def at_end_of(text, fragment, message):
    """`message` placed just past the first `fragment` of a one-line text."""
    return f"{message} at line 1 column {text.index(fragment) + len(fragment)}"


def texts(*documents):
    return [d if isinstance(d, str) else compact(d) for d in documents]


def reader(name, documents, fragment, message):
    args = texts(*documents)
    return name, args, "reader", at_end_of(args[-1], fragment, message)


def rule(name, documents, message):
    return name, texts(*documents), "rule", message


S, P, T = (compact(d) for d in (SCHEMA, PLAN, TABLE))
# The shared failing document of each function, then failures of reading and of the
# order in which arguments are read and checked.
CASES = [(name, args, kind, detail) for name, (_, (args, kind, detail)) in ARGUMENTS.items()] + [
    reader("dataset_schema_fingerprint_json", ["{}"], "}", "missing field `dataset_id`"),
    reader("validate_dataset_schema_json", [schema([source("s", granularity="daily")])], '"daily"',
           "unknown variant `daily`, expected one of `per_sample`, `per_sample_repeated`, "
           "`per_sample_sequence`, `per_sample_set`, `per_group`, `per_target`"),
    reader("validate_model_input_spec_json", ["[[[]]]"], "[[[]",
           "invalid length 0, expected struct InputPortSpec with 6 elements"),
    reader("validate_adapter_registry_json", [registry(adapter(cost=-1))], "-1",
           "invalid value: integer `-1`, expected u64"),
    # Texts from the document appear in messages unchanged and are escaped only in JSON.
    rule("data_plan_fingerprint_json", [plan([], plan_id='a"b\\c\x01\u00e9')],
         'data plan `a"b\\c\x01\u00e9` contains no steps'),
    reader("data_plan_fingerprint_json", ["nope"], "no", "expected ident"),
    reader("sample_relation_table_fingerprint_json", ['{"rows":[["o","s"]]}'], '"s"]',
           "invalid length 2, expected struct SampleRelation with 12 elements"),
    reader("fold_set_fingerprint_json", ['{"id":"f","sample_ids":["a"],"folds":[],"sample_groups":{"a":"g h"}}'],
           '"g h"}', "invalid identifier `g h`: identifier contains unsupported characters"),
    rule("validate_fold_set_against_sample_relations_json", [two_folds([], ["s1"]), table(*ORIGIN_TABLE["rows"][:2])],
         "fold set `fs` references sample `s3` absent from sample relations"),
    # The fold set is read and checked before the relation table.
    ("validate_fold_set_against_sample_relations_json", ["{}", "nope"], "reader",
     "missing field `id` at line 1 column 2"),
    rule("validate_fold_set_against_sample_relations_json", [fold_set(["s1"]), table()], "fold set contains no folds"),
    # Schema, plan and relation table are read in that order.
    reader("build_coordinator_data_plan_envelope_json", [S, P, "{"], "{", "EOF while parsing an object"),
    rule("build_coordinator_data_plan_envelope_json", [S, plan([]), "{"], "data plan `p` contains no steps"),
    # The version pre-pass reports no position.
    ("validate_coordinator_data_plan_envelope_json", [compact({**json.loads(build(S, P)), "predict_cohort": None})],
     "reader", "envelope V1 cannot carry predict_cohort"),
    # The four texts of the planner are read and checked in parameter order.
    ("plan_model_input_json", ["{}", "{", "{", "{"], "reader", "missing field `dataset_id` at line 1 column 2"),
    rule("plan_model_input_json", [PLANNER[0], '{"ports":[]}', "{", "{"], "model input spec contains no ports"),
    rule("plan_model_input_json", [*PLANNER[:2], registry(adapter(), adapter()), "{"], "duplicate adapter id `a.b`"),
    reader("plan_model_input_json", [*PLANNER[:3], "{"], "{", "EOF while parsing an object"),
    rule("plan_model_input_json", [*PLANNER[:3], '{"id":"p","source_ids":["nir","nir"]}'],
         "data plan request contains duplicate source `nir`"),
]  # fmt: skip


@pytest.mark.parametrize("name, args, kind, detail", CASES)
def test_failures_raise_the_class_of_their_kind_with_every_attribute(name, args, kind, detail, reader_error,
                                                                      rule_error, core_error):  # fmt: skip
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        getattr(_veltrinax, name)(*args)
    if kind in ("reader", "rule"):
        (reader_error if kind == "reader" else rule_error)(info.value, detail)
    elif kind == "plan":  # a tampered envelope: `detail` is the plan's actual fingerprint
        stored = json.loads(args[0])["plan_fingerprint"]
        core_error(info.value, category="compatibility", code="fingerprint_mismatch",
                   message=f"plan fingerprint mismatch: expected {stored}, actual {detail}",
                   context={"kind": "plan", "expected": stored, "actual": detail})  # fmt: skip
    else:
        core_error(info.value, category="data", code="relation_boundary_violation",
                   message=f"relation boundary violation ({kind}): {detail}",
                   context={"detail": detail, "kind": kind})  # fmt: skip


def test_the_schema_fingerprint_follows_axis_order():
    two_axes = schema([source("s", rep("r.b", axis("sample"), axis("wl", "wavelength")))])
    swapped = schema([source("s", rep("r.b", axis("wl", "wavelength"), axis("sample")))])
    digests = {_veltrinax.dataset_schema_fingerprint_json(compact(d)) for d in (two_axes, swapped)}
    assert len(digests) == 2


def test_the_fold_set_fingerprint_hashes_the_sorted_value_text_starting_with_folds():
    document = fold_set(["b", "a"], fold("g", [], ["b"]), fold("f", ["b"], ["a"], metadata={"n": [1.5]}))
    canonical = ('{"folds":[{"fold_id":"f","metadata":{"n":[1.5]},"train_sample_ids":["b"],"validation_sample_ids":'
                 '["a"]},{"fold_id":"g","train_sample_ids":[],"validation_sample_ids":["b"]}],"id":"fs",'
                 '"sample_ids":["a","b"]}')  # fmt: skip
    assert _veltrinax.fold_set_fingerprint_json(json.dumps(document)) == sha256(canonical)


def test_the_builtin_model_input_is_planned_and_carried_into_an_envelope():
    written = _veltrinax.plan_model_input_json(*PLANNER)
    document = json.loads(written)
    adapted = [(s["source_id"], s["adapter_id"], s["fit_scope"]) for s in document["steps"] if s["kind"] == "adapt"]
    assert adapted == [("nir", "spectra.identity_features", "stateless"), ("soil", "tabular.encoder", "fold_train")]
    assert [s["kind"] for s in document["steps"]][-2:] == ["align", "join"]
    assert _veltrinax.validate_data_plan_json(written) is None
    envelope = build(PLANNER[0], written)
    assert f',"plan":{written},' in envelope
    assert validate(envelope) is None


# --- envelopes ------------------------------------------------------------------------


@pytest.mark.parametrize("extra", [(), (None,), (T,)])
def test_a_built_envelope_is_version_1_carries_the_fingerprints_and_validates(extra):
    text = build(S, P, *extra)
    envelope = json.loads(text)
    with_table = extra == (T,)
    assert list(envelope) == ["schema_version", "schema_fingerprint", "plan_fingerprint", "relation_fingerprint",
                              "plan", "coordinator_relations", "metadata"]  # fmt: skip
    assert (envelope["schema_version"], envelope["metadata"]) == (1, {})
    assert envelope["schema_fingerprint"] == _veltrinax.dataset_schema_fingerprint_json(S)
    assert envelope["plan_fingerprint"] == _veltrinax.data_plan_fingerprint_json(P)
    relation_fingerprint = _veltrinax.sample_relation_table_fingerprint_json(T) if with_table else None
    assert envelope["relation_fingerprint"] == relation_fingerprint
    relations = envelope["coordinator_relations"]
    if with_table:
        assert [r["observation_id"] for r in relations["records"]] == ["o1", "o2", "o3"]
        assert relations["records"][2]["origin_sample_id"] == "a"
    else:
        assert relations is None
    assert validate(text) is None


def relation(observation, sample, origin=None):
    """A coordinator relation in its written form: every key, in declared order."""
    keys = ["unit_level", "unit_id", "observation_id", "sample_id", "source_id", "rep_id", "target_id", "group_id",
            "origin_sample_id", "derived_unit_id", "component_observation_ids", "sample_influence_weight",
            "quality_flag", "is_augmented"]  # fmt: skip
    written = dict.fromkeys(keys) | {"unit_level": "observation", "component_observation_ids": []}
    return written | {"observation_id": observation, "sample_id": sample, "origin_sample_id": origin,
                      "is_augmented": False}  # fmt: skip


def cohort(role):
    """A cohort sealed here: its fingerprint is the SHA-256 of its canonical text, computed
    without the module (observation-level records keyed by their observation id)."""
    records = [relation("q2", "c2", origin="c0"), relation("q1", "c1")]
    keyed = sorted(({"effective_unit_id": r["observation_id"], **r} for r in records),
                   key=lambda r: r["effective_unit_id"])
    hashed = {
        "role": role,
        "physical_sample_ids": ["c1", "c2"],
        "origin_sample_ids": ["c0", "c1"],
        "target_names": ["y", "z"],
        "relation_fingerprint": sha256(compact(keyed)),
        "relations": {"records": records},
        "data_content_fingerprint": "D" * 64,
        "target_content_fingerprint": "e" * 64 if role == "external_test" else None,
    }
    return {k: v for k, v in hashed.items() if v is not None} | {"cohort_fingerprint": sha256(compact(hashed))}


@pytest.mark.parametrize("role", ["external_test", "inference"])
def test_version_2_envelope_with_an_independently_sealed_cohort(role, rule_error):
    envelope = json.loads(build(S, P, T)) | {"schema_version": 2, "predict_cohort": cohort(role)}
    assert validate(compact(envelope)) is None

    def fails(path, value, message):
        with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
            validate(compact(changed(envelope, path, value)))
        rule_error(info.value, message)

    fails(["predict_cohort", "target_names"], ["z", "y"], "predict cohort fingerprint does not match content")
    # A cohort sample that is also a training sample.
    overlapping = ["coordinator_relations", "records", 0, "sample_id"]
    if role == "inference":
        assert validate(compact(changed(envelope, overlapping, "c1"))) is None
    else:
        fails(overlapping, "c1", "external_test cohort overlaps training physical/origin identities")


def test_the_builtin_documents_are_compact_and_valid():
    models = json.loads(_veltrinax.builtin_data_models_json())
    representations = _veltrinax.builtin_representations_json()
    assert representations == "[" + ",".join(compact(m["representation"]) for m in models) + "]"
    targets = {f"t{i:02}": r for i, r in enumerate(json.loads(representations))}
    assert _veltrinax.validate_dataset_schema_json(compact(schema(targets=targets))) is None
    built_ins = [(_veltrinax.builtin_adapter_registry_json(), _veltrinax.validate_adapter_registry_json),
                 (_veltrinax.tabular_numeric_model_input_spec_json(), _veltrinax.validate_model_input_spec_json)]
    for text, check in built_ins:
        assert text == compact(json.loads(text))
        assert check(text) is None
