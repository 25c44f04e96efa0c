"""Validates and fingerprints a small data plan: one source materialized as a
spectra matrix, then flattened into the tabular representation a model takes."""

import json

import _veltrinax

plan = {
    "id": "nir-to-tabular",
    "steps": [
        {
            "kind": "materialize",
            "source_id": "nir",
            "output_representation": "spectra.matrix",
            "fit_scope": "stateless",
        },
        {
            "kind": "adapt",
            "source_id": "nir",
            "adapter_id": "spectra.flatten",
            "input_representation": "spectra.matrix",
            "output_representation": "tabular.numeric",
            "fit_scope": "stateless",
            "metadata": {"input": "src:nir", "output": "port:features"},
        },
    ],
    "output_representation": "tabular.numeric",
}

text = json.dumps(plan)
print(_veltrinax.version())
_veltrinax.validate_data_plan_json(text)  # raises on an invalid plan
print("valid")
print(_veltrinax.data_plan_fingerprint_json(text))
