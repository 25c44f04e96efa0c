"""The coordinator data-plan envelope through the module: building, validating and
catching tampered envelopes, with the version 2 fingerprints recomputed here."""

import hashlib
import json

import pytest

import _veltrinax

build = _veltrinax.build_coordinator_data_plan_envelope_json
validate = _veltrinax.validate_coordinator_data_plan_envelope_json

REP = {"id": "r", "type_id": "t", "rank": 1, "axes": [{"name": "sample", "kind": "sample"}], "container": "ndarray"}
SOURCE = {
    "id": "s",
    "name": "n",
    "type_id": "other",
    "modality": "m",
    "native_representation": REP,
    "sample_key": "k",
    "granularity": "per_sample",
}
SCHEMA = json.dumps({"dataset_id": "d", "sample_ids": ["a", "b"], "sources": [SOURCE], "targets": {"y": REP}})
PLAN = {
    "id": "p",
    "steps": [{"kind": "materialize", "source_id": "s", "fit_scope": "stateless", "output_representation": "r"}],
    "output_representation": "r",
}
TABLE = json.dumps(
    {
        "rows": [
            {"observation_id": "o2", "sample_id": "b", "source_id": "s", "target_id": "y"},
            {"observation_id": "o1", "sample_id": "a", "repetition_id": "r1", "tags": ["t"]},
            {"observation_id": "o3", "sample_id": "x", "augmented": True, "origin_id": "o1"},
        ]
    }
)


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def sha256(value):
    return hashlib.sha256(compact(value).encode()).hexdigest()


def relation(observation, sample, origin=None):
    """A coordinator relation in its written form: every key, in declared order."""
    return {
        "unit_level": "observation",
        "unit_id": None,
        "observation_id": observation,
        "sample_id": sample,
        "source_id": None,
        "rep_id": None,
        "target_id": None,
        "group_id": None,
        "origin_sample_id": origin,
        "derived_unit_id": None,
        "component_observation_ids": [],
        "sample_influence_weight": None,
        "quality_flag": None,
        "is_augmented": False,
    }


def relation_set_fingerprint(records):
    # Observation-level records: the unit identity is the observation id.
    canonical = [{"effective_unit_id": r["observation_id"], **r} for r in records]
    return sha256(sorted(canonical, key=lambda r: r["effective_unit_id"].encode()))


def cohort(role):
    records = [relation("q2", "c2", origin="c0"), relation("q1", "c1")]
    hashed = {
        "role": role,
        "physical_sample_ids": ["c1", "c2"],
        "origin_sample_ids": ["c0", "c1"],
        "target_names": ["y", "z"],
        "relation_fingerprint": relation_set_fingerprint(records),
        "relations": {"records": records},
        "data_content_fingerprint": "D" * 64,
        "target_content_fingerprint": "e" * 64 if role == "external_test" else None,
    }
    written = {k: v for k, v in hashed.items() if v is not None}
    return {**written, "cohort_fingerprint": sha256(hashed)}


def test_all_functions_are_registered_in_manifest_order():
    manifest = json.loads(_veltrinax.contract_manifest_json())
    assert len(_veltrinax.__all__) == 24
    assert _veltrinax.__all__[4:] == manifest["python_exports"]


@pytest.mark.parametrize("with_table", [False, True])
def test_built_envelope_is_version_1_and_validates(with_table):
    text = build(SCHEMA, json.dumps(PLAN), TABLE) if with_table else build(SCHEMA, json.dumps(PLAN))
    assert validate(text) is None
    envelope = json.loads(text)
    relations = envelope["coordinator_relations"]
    assert envelope == {
        "schema_version": 1,
        "schema_fingerprint": _veltrinax.dataset_schema_fingerprint_json(SCHEMA),
        "plan_fingerprint": _veltrinax.data_plan_fingerprint_json(json.dumps(PLAN)),
        "relation_fingerprint": _veltrinax.sample_relation_table_fingerprint_json(TABLE) if with_table else None,
        "plan": envelope["plan"],
        "coordinator_relations": relations,
        "metadata": {},
    }
    assert list(envelope) == list(json.loads(build(SCHEMA, json.dumps(PLAN), TABLE)))
    if with_table:
        assert [r["observation_id"] for r in relations["records"]] == ["o1", "o2", "o3"]
        assert relations["records"][2]["origin_sample_id"] == "a"
    else:
        assert relations is None


def test_a_missing_or_none_relation_table_builds_the_same_envelope():
    plan = json.dumps(PLAN)
    assert build(SCHEMA, plan) == build(SCHEMA, plan, None) == build(SCHEMA, plan, sample_relations_json=None)


def test_a_broken_relation_table_is_read_after_schema_and_plan(reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        build(SCHEMA, json.dumps(PLAN), "{")
    reader_error(info.value, "EOF while parsing an object at line 1 column 1")
    with pytest.raises(_veltrinax.VeltrinaxContractError):
        build(SCHEMA, json.dumps({**PLAN, "steps": []}), "{")


@pytest.mark.parametrize("role", ["external_test", "inference"])
def test_version_2_envelope_with_an_independently_sealed_cohort(role, rule_error):
    envelope = {**json.loads(build(SCHEMA, json.dumps(PLAN), TABLE)), "schema_version": 2, "predict_cohort": cohort(role)}
    assert validate(compact(envelope)) is None

    tampered = json.loads(compact(envelope))
    tampered["predict_cohort"]["target_names"] = ["z", "y"]
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        validate(compact(tampered))
    rule_error(info.value, "predict cohort fingerprint does not match content")

    # A cohort sample that is also a training sample.
    overlapping = json.loads(compact(envelope))
    overlapping["coordinator_relations"]["records"][0]["sample_id"] = "c1"
    if role == "inference":
        assert validate(compact(overlapping)) is None
    else:
        with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
            validate(compact(overlapping))
        rule_error(info.value, "external_test cohort overlaps training physical/origin identities")


def test_version_1_cannot_carry_a_cohort(reader_error):
    envelope = {**json.loads(build(SCHEMA, json.dumps(PLAN))), "predict_cohort": None}
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        validate(compact(envelope))
    reader_error(info.value, "envelope V1 cannot carry predict_cohort")


def test_a_changed_plan_fails_with_the_plan_fingerprint_mismatch(core_error):
    envelope = json.loads(build(SCHEMA, json.dumps(PLAN)))
    stored = envelope["plan_fingerprint"]
    envelope["plan"]["id"] = "another"
    computed = _veltrinax.data_plan_fingerprint_json(compact(envelope["plan"]))
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        validate(compact(envelope))
    core_error(
        info.value,
        category="compatibility",
        code="fingerprint_mismatch",
        message=f"plan fingerprint mismatch: expected {stored}, actual {computed}",
        context={"kind": "plan", "expected": stored, "actual": computed},
    )
