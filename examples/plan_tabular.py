"""Plans the input of a model that takes one numeric table: a NIR spectrum and a
mixed soil table are each adapted to "tabular_numeric" by the built-in adapters,
then aligned on their samples."""

import json

import _veltrinax

# The built-in representations, by id, to describe the sources in.
representations = {r["id"]: r for r in json.loads(_veltrinax.builtin_representations_json())}


def source(source_id, type_id, modality, representation):
    return {
        "id": source_id,
        "name": source_id.upper(),
        "type_id": type_id,
        "modality": modality,
        "native_representation": representations[representation],
        "sample_key": "sample_id",
        "granularity": "per_sample",
    }


schema = {
    "dataset_id": "soil-campaign",
    "sample_ids": ["s1", "s2", "s3"],
    "sources": [
        source("nir", "dense_signal", "nirs", "signal_1d"),
        source("soil", "table", "tabular", "tabular_mixed"),
    ],
}
# The soil table needs "tabular.encoder", which learns its encoding on the
# training folds: a stateful adapter the policy must allow.
request = {"id": "soil-plan", "planning_policy": {"allow_stateful": True}}

plan_text = _veltrinax.plan_model_input_json(
    json.dumps(schema),
    _veltrinax.tabular_numeric_model_input_spec_json(),
    _veltrinax.builtin_adapter_registry_json(),
    json.dumps(request),
)
plan = json.loads(plan_text)
print(json.dumps(plan, indent=2))
print("fingerprint:", _veltrinax.data_plan_fingerprint_json(plan_text))
print("issues:", plan["issues"] or "none")
