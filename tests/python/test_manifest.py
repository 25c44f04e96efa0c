"""The contract manifest, byte for byte."""

import json

import _veltrinax

EXPECTED = (
    '{"c_abi_symbols":["veltrinax_schema_fingerprint_json","veltrinax_fold_set_validate_json",'
    '"veltrinax_fold_set_fingerprint_json","veltrinax_fold_set_validate_against_relations_json",'
    '"veltrinax_aggregation_policy_validate_json","veltrinax_coordinator_multi_target_arrow_json"],'
    '"capabilities":["validate_json_contracts","fingerprint_json_contracts","plan_model_input",'
    '"build_coordinator_data_plan_envelope","validate_fold_set_against_sample_relations",'
    '"quillfen_core_schema_fields","builtin_data_models","structured_error_descriptors"],'
    '"contracts":[{"id":"dataset_schema","version":1},{"id":"model_input_spec","version":1},'
    '{"id":"adapter_registry","version":1},{"id":"data_plan","version":1},'
    '{"id":"sample_relation_table","version":1},{"id":"fold_set","version":1},'
    '{"id":"coordinator_data_plan_envelope","version":1},{"id":"feature_fusion_selector","version":1},'
    '{"id":"coordinator_branch_view","version":1},{"id":"fitted_adapter_ref","version":1}],'
    '"crate":"veltrinax","package":"veltrinax",'
    '"python_exports":["version","contract_manifest_json","builtin_data_models_json",'
    '"builtin_representations_json","builtin_adapter_registry_json","tabular_numeric_model_input_spec_json",'
    '"validate_dataset_schema_json","dataset_schema_fingerprint_json","validate_model_input_spec_json",'
    '"validate_adapter_registry_json","plan_model_input_json","validate_data_plan_json",'
    '"data_plan_fingerprint_json","validate_sample_relation_table_json","sample_relation_table_fingerprint_json",'
    '"validate_fold_set_json","fold_set_fingerprint_json","validate_fold_set_against_sample_relations_json",'
    '"build_coordinator_data_plan_envelope_json","validate_coordinator_data_plan_envelope_json"],'
    '"schema_version":1,'
    '"shared":{"fold_set_fixture_fingerprint":"54d3185d6c628ef0df848828a8d8ae650222a283a78bbd3ab3bc2256f222c05c"},'
    '"surface":"json-contract-bindings","version":"0.2.13",'
    '"wasm_exports":["veltrinax_version","contract_manifest_json","builtin_data_models_json",'
    '"builtin_representations_json","builtin_adapter_registry_json","tabular_numeric_model_input_spec_json",'
    '"validate_dataset_schema_json","dataset_schema_fingerprint_json","validate_model_input_spec_json",'
    '"validate_adapter_registry_json","plan_model_input_json","validate_data_plan_json",'
    '"data_plan_fingerprint_json","validate_sample_relation_table_json","sample_relation_table_fingerprint_json",'
    '"validate_fold_set_json","fold_set_fingerprint_json","validate_fold_set_against_sample_relations_json",'
    '"build_coordinator_data_plan_envelope_json","validate_coordinator_data_plan_envelope_json"]}'
)


def test_manifest_text_is_exact_and_stable():
    text = _veltrinax.contract_manifest_json()
    assert type(text) is str
    assert text == EXPECTED
    assert _veltrinax.contract_manifest_json() == text


def test_manifest_agrees_with_the_module():
    manifest = json.loads(_veltrinax.contract_manifest_json())
    assert manifest["version"] == _veltrinax.version()
    # Every registered function is listed, at its place in registration order.
    registered = _veltrinax.__all__[4:]
    assert [name for name in manifest["python_exports"] if name in registered] == registered
    assert manifest["wasm_exports"][1:] == manifest["python_exports"][1:]
