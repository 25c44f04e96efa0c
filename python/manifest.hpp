#pragma once
// The contract manifest: a fixed document naming this build's package, version,
// contracts, capabilities and the export names of the Python module and of its
// two sibling bindings. Nothing in it depends on input.

#include <array>
#include <string_view>

#include "veltrinax/json.hpp"

namespace veltrinax::python {

// Every function of the module, in registration order, including those whose
// bodies are not in the function table yet: the manifest describes the whole
// surface of the contract library.
inline constexpr std::array<std::string_view, 20> python_exports{
    "version",
    "contract_manifest_json",
    "builtin_data_models_json",
    "builtin_representations_json",
    "builtin_adapter_registry_json",
    "tabular_numeric_model_input_spec_json",
    "validate_dataset_schema_json",
    "dataset_schema_fingerprint_json",
    "validate_model_input_spec_json",
    "validate_adapter_registry_json",
    "plan_model_input_json",
    "validate_data_plan_json",
    "data_plan_fingerprint_json",
    "validate_sample_relation_table_json",
    "sample_relation_table_fingerprint_json",
    "validate_fold_set_json",
    "fold_set_fingerprint_json",
    "validate_fold_set_against_sample_relations_json",
    "build_coordinator_data_plan_envelope_json",
    "validate_coordinator_data_plan_envelope_json",
};

// The manifest as a generic value, built afresh on each call; its object keys
// come out in ascending byte order whatever the order they were inserted in.
json::Value contract_manifest();

}  // namespace veltrinax::python
