#include "manifest.hpp"

#include <string>

namespace veltrinax::python {

namespace {

json::Value str(std::string_view s) { return json::Value::string(std::string(s)); }

template <class Names>
json::Value string_array(const Names& names) {
    json::Array out;
    out.reserve(names.size());
    for (std::string_view name : names) out.push_back(str(name));
    return json::Value::array(std::move(out));
}

constexpr std::array<std::string_view, 10> contract_ids{
    "dataset_schema",
    "model_input_spec",
    "adapter_registry",
    "data_plan",
    "sample_relation_table",
    "fold_set",
    "coordinator_data_plan_envelope",
    "feature_fusion_selector",
    "coordinator_branch_view",
    "fitted_adapter_ref",
};

constexpr std::array<std::string_view, 8> capabilities{
    "validate_json_contracts",
    "fingerprint_json_contracts",
    "plan_model_input",
    "build_coordinator_data_plan_envelope",
    "validate_fold_set_against_sample_relations",
    "quillfen_core_schema_fields",
    "builtin_data_models",
    "structured_error_descriptors",
};

// Entry points of the C-callable binding; this module exports none of them.
constexpr std::array<std::string_view, 6> c_abi_symbols{
    "veltrinax_schema_fingerprint_json",
    "veltrinax_fold_set_validate_json",
    "veltrinax_fold_set_fingerprint_json",
    "veltrinax_fold_set_validate_against_relations_json",
    "veltrinax_aggregation_policy_validate_json",
    "veltrinax_coordinator_multi_target_arrow_json",
};

// The fold-set fingerprint of the fixture every binding is checked against.
constexpr std::string_view fold_set_fixture_fingerprint =
    "54d3185d6c628ef0df848828a8d8ae650222a283a78bbd3ab3bc2256f222c05c";

// The WebAssembly binding names `version` differently and keeps the rest.
json::Value wasm_exports() {
    json::Array out;
    out.reserve(python_exports.size());
    out.push_back(str("veltrinax_version"));
    for (std::size_t i = 1; i < python_exports.size(); ++i) out.push_back(str(python_exports[i]));
    return json::Value::array(std::move(out));
}

}  // namespace

json::Value contract_manifest() {
    json::Array contracts;
    contracts.reserve(contract_ids.size());
    for (std::string_view id : contract_ids) {
        json::Object contract;
        contract.insert_or_assign("id", str(id));
        contract.insert_or_assign("version", json::Value::unsigned_integer(1));
        contracts.push_back(json::Value::object(std::move(contract)));
    }
    json::Object shared;
    shared.insert_or_assign("fold_set_fixture_fingerprint", str(fold_set_fixture_fingerprint));

    json::Object manifest;
    manifest.insert_or_assign("schema_version", json::Value::unsigned_integer(1));
    manifest.insert_or_assign("crate", str("veltrinax"));
    manifest.insert_or_assign("package", str("veltrinax"));
    manifest.insert_or_assign("version", str(VELTRINAX_VERSION));
    manifest.insert_or_assign("surface", str("json-contract-bindings"));
    manifest.insert_or_assign("contracts", json::Value::array(std::move(contracts)));
    manifest.insert_or_assign("capabilities", string_array(capabilities));
    manifest.insert_or_assign("shared", json::Value::object(std::move(shared)));
    manifest.insert_or_assign("python_exports", string_array(python_exports));
    manifest.insert_or_assign("wasm_exports", wasm_exports());
    manifest.insert_or_assign("c_abi_symbols", string_array(c_abi_symbols));
    return json::Value::object(std::move(manifest));
}

}  // namespace veltrinax::python
