"""The module frame: import, registration order, exception classes, function objects,
the binding of arguments, the manifest and the fallbacks of error translation.
Conversion of every parameter (wrong types, str subclasses, lone surrogates) is in
test_hostile.py."""

import importlib.util
import inspect
import json
import sys

import pytest

import _veltrinax
from documents import outcome

CLASSES = ["VeltrinaxError", "VeltrinaxValidationError", "VeltrinaxContractError", "VeltrinaxCompatibilityError"]

# The twenty functions in registration order, with their parameters (a trailing
# "=None" marks the one optional parameter).
FUNCTIONS = {
    "version": [],
    "contract_manifest_json": [],
    "builtin_data_models_json": [],
    "builtin_representations_json": [],
    "builtin_adapter_registry_json": [],
    "tabular_numeric_model_input_spec_json": [],
    "validate_dataset_schema_json": ["json"],
    "dataset_schema_fingerprint_json": ["json"],
    "validate_model_input_spec_json": ["json"],
    "validate_adapter_registry_json": ["json"],
    "plan_model_input_json": ["schema_json", "model_input_json", "adapter_registry_json", "request_json"],
    "validate_data_plan_json": ["json"],
    "data_plan_fingerprint_json": ["json"],
    "validate_sample_relation_table_json": ["json"],
    "sample_relation_table_fingerprint_json": ["json"],
    "validate_fold_set_json": ["json"],
    "fold_set_fingerprint_json": ["json"],
    "validate_fold_set_against_sample_relations_json": ["fold_set_json", "sample_relations_json"],
    "build_coordinator_data_plan_envelope_json": ["schema_json", "data_plan_json", "sample_relations_json=None"],
    "validate_coordinator_data_plan_envelope_json": ["json"],
}

ONE_PARAMETER = [name for name in FUNCTIONS if FUNCTIONS[name] == ["json"]]
NO_PARAMETER = [name for name in FUNCTIONS if not FUNCTIONS[name]]

VALID_PLAN = (
    '{"id":"p","steps":[{"kind":"materialize","source_id":"s","fit_scope":"stateless",'
    '"output_representation":"r"}],"output_representation":"r"}'
)


# --- import and registration ---------------------------------------------------------


def test_all_lists_classes_then_functions_in_registration_order():
    assert _veltrinax.__all__ == CLASSES + list(FUNCTIONS)
    public = sorted(name for name in vars(_veltrinax) if not name.startswith("_"))
    assert public == sorted(_veltrinax.__all__)


def test_module_doc_is_empty_and_there_is_no_version_attribute():
    assert _veltrinax.__doc__ == ""
    assert not hasattr(_veltrinax, "__version__")


def test_exception_hierarchy_and_names():
    base = _veltrinax.VeltrinaxError
    assert base.__bases__ == (Exception,)
    for name in CLASSES:
        cls = getattr(_veltrinax, name)
        assert cls.__module__ == "_veltrinax"
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__doc__ is None
        if cls is not base:
            assert cls.__bases__ == (base,)


def test_a_second_module_object_reuses_the_classes_and_grows_its_own_all():
    spec = importlib.util.find_spec("_veltrinax")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = ["earlier"]
    spec.loader.exec_module(other)
    assert other is not _veltrinax
    assert other.__all__ == ["earlier"] + _veltrinax.__all__
    for name in CLASSES:
        assert getattr(other, name) is getattr(_veltrinax, name)
    assert other.version() == "0.2.13"


def test_an_all_that_is_not_a_list_stops_start_up():
    spec = importlib.util.find_spec("_veltrinax")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = ("earlier",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(other)
    assert str(info.value) == "__all__ must be a list, not 'tuple'"
    assert not hasattr(other, "VeltrinaxError")


def test_a_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        # Each outcome fails the script differently, so the failure text tells which.
        interpreters.run_string(
            interpreter,
            "try:\n"
            "    import _veltrinax\n"
            "except ImportError as error:\n"
            "    raise RuntimeError('refused: ' + str(error))\n"
            "raise RuntimeError('imported')\n",
        )
    except interpreters.RunFailedError as failure:
        ending = str(failure)
    finally:
        interpreters.destroy(interpreter)
    assert "refused: _veltrinax can be imported only in the main interpreter" in ending
    assert _veltrinax.version() == "0.2.13"


# --- function objects ----------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object(name):
    function = getattr(_veltrinax, name)
    assert function.__name__ == name
    assert function.__module__ == "_veltrinax"
    assert function.__self__ is None
    assert function.__doc__ is None
    assert function.__text_signature__ == "(" + ", ".join(FUNCTIONS[name]) + ")"
    parameters = list(inspect.signature(function).parameters.values())
    assert [p.name for p in parameters] == [p.split("=")[0] for p in FUNCTIONS[name]]
    for parameter, declared in zip(parameters, FUNCTIONS[name]):
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        expected_default = None if declared.endswith("=None") else inspect.Parameter.empty
        assert parameter.default is expected_default


@pytest.mark.parametrize("name", NO_PARAMETER)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"json": "{}"}), ((None, None), {})])
def test_functions_without_parameters_refuse_arguments(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(_veltrinax, name)(*args, **kwargs)


# --- translating core errors -------------------------------------------------------


def assert_plain_fallback(error, message):
    assert type(error) is _veltrinax.VeltrinaxError
    assert error.args == (message,)
    for name in ("category", "code", "severity", "remediation_hint", "context", "context_json", "descriptor_json"):
        assert not hasattr(error, name)


def test_without_the_json_module_the_error_falls_back_to_a_plain_veltrinax_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)  # makes importing json fail
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        _veltrinax.validate_data_plan_json("{}")
    assert_plain_fallback(info.value, "serialization error: missing field `id` at line 1 column 2")


def test_a_failing_loads_falls_back_to_a_plain_veltrinax_error(monkeypatch):
    def broken_loads(text):
        raise ValueError(text)

    monkeypatch.setattr(json, "loads", broken_loads)
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        _veltrinax.data_plan_fingerprint_json('{"id":" ","steps":[],"output_representation":"r"}')
    assert_plain_fallback(info.value, "data contract validation failed: data plan id is empty")


def test_context_is_whatever_the_interpreters_loads_returns(monkeypatch):
    seen = []

    def recording_loads(text):
        seen.append(text)
        return {"seen": text}

    monkeypatch.setattr(json, "loads", recording_loads)
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.validate_data_plan_json('{"id":"","steps":[],"output_representation":"r"}')
    assert seen == ['{"detail":"data plan id is empty"}']
    assert info.value.context == {"seen": seen[0]}
    assert info.value.context_json == seen[0]


# --- binding arguments ---------------------------------------------------------------


BINDING_CASES = [
    # (positional, keywords, message after "<name>() ")
    ((), {}, "missing 1 required positional argument: 'json'"),
    ((VALID_PLAN, VALID_PLAN), {}, "takes 1 positional arguments but 2 were given"),
    ((VALID_PLAN,) * 3, {}, "takes 1 positional arguments but 3 were given"),
    ((VALID_PLAN, VALID_PLAN), {"other": 1}, "takes 1 positional arguments but 2 were given"),
    ((), {"json": VALID_PLAN, "other": 1}, "got an unexpected keyword argument 'other'"),
    ((), {"other": 1}, "got an unexpected keyword argument 'other'"),
    ((), {"other": 1, "json": VALID_PLAN}, "got an unexpected keyword argument 'other'"),
    ((), {"JSON": VALID_PLAN}, "got an unexpected keyword argument 'JSON'"),
    ((), {"jsön": VALID_PLAN}, "got an unexpected keyword argument 'jsön'"),
    ((), {"\udc80": VALID_PLAN}, "got an unexpected keyword argument '\udc80'"),
    ((VALID_PLAN,), {"json": VALID_PLAN}, "got multiple values for argument 'json'"),
    ((VALID_PLAN,), {"json": VALID_PLAN, "other": 1}, "got multiple values for argument 'json'"),
    ((VALID_PLAN,), {"other": 1, "json": VALID_PLAN}, "got an unexpected keyword argument 'other'"),
    # Binding comes before conversion: the bad type of the first argument is not reached.
    ((5, 6), {}, "takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("name", ONE_PARAMETER)
@pytest.mark.parametrize("args, kwargs, message", BINDING_CASES)
def test_binding_messages_of_one_parameter_functions(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(_veltrinax, name)(*args, **kwargs)
    assert str(info.value) == f"{name}() {message}"
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("name", ONE_PARAMETER)
def test_keyword_argument_is_accepted(name):
    function = getattr(_veltrinax, name)
    assert outcome(lambda: function(json=VALID_PLAN), ()) == outcome(function, (VALID_PLAN,))


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "missing 4 required positional arguments: 'schema_json', 'model_input_json', "
             "'adapter_registry_json', and 'request_json'"),
        (("{}",), "missing 3 required positional arguments: 'model_input_json', 'adapter_registry_json', "
                  "and 'request_json'"),
        (("{}", "{}"), "missing 2 required positional arguments: 'adapter_registry_json' and 'request_json'"),
        (("{}",) * 3, "missing 1 required positional argument: 'request_json'"),
        (("{}",) * 5, "takes 4 positional arguments but 5 were given"),
    ],
)
def test_binding_messages_of_the_four_parameter_function(args, message):
    with pytest.raises(TypeError) as info:
        _veltrinax.plan_model_input_json(*args)
    assert str(info.value) == f"plan_model_input_json() {message}"


def test_keywords_fill_the_four_parameters_by_name():
    with pytest.raises(TypeError) as info:
        _veltrinax.plan_model_input_json("{}", request_json="{}", model_input_json="{}")
    assert str(info.value) == (
        "plan_model_input_json() missing 1 required positional argument: 'adapter_registry_json'"
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (("{}",) * 4, "takes from 2 to 3 positional arguments but 4 were given"),
        ((), "missing 2 required positional arguments: 'schema_json' and 'data_plan_json'"),
    ],
)
def test_binding_messages_with_an_optional_parameter(args, message):
    with pytest.raises(TypeError) as info:
        _veltrinax.build_coordinator_data_plan_envelope_json(*args)
    assert str(info.value) == f"build_coordinator_data_plan_envelope_json() {message}"


# --- the manifest --------------------------------------------------------------------

MANIFEST = (
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


def test_the_manifest_text_is_exact_and_agrees_with_the_module():
    assert _veltrinax.contract_manifest_json() == MANIFEST
    manifest = json.loads(MANIFEST)
    assert _veltrinax.version() == manifest["version"] == "0.2.13"
    assert _veltrinax.__all__[4:] == manifest["python_exports"]
