"""The module frame: import, registration order, exception classes, function
objects and the handling of arguments."""

import importlib.util
import inspect
import json
import sys

import pytest

import _veltrinax

CLASSES = [
    "VeltrinaxError",
    "VeltrinaxValidationError",
    "VeltrinaxContractError",
    "VeltrinaxCompatibilityError",
]

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

# Functions join the module as their contracts land; these are here from the start.
ALWAYS_PRESENT = ["version", "contract_manifest_json", "validate_data_plan_json", "data_plan_fingerprint_json"]
PRESENT = [name for name in FUNCTIONS if hasattr(_veltrinax, name)]
ONE_PARAMETER = [name for name in PRESENT if FUNCTIONS[name] == ["json"]]
NO_PARAMETER = [name for name in PRESENT if not FUNCTIONS[name]]

VALID_PLAN = (
    '{"id":"p","steps":[{"kind":"materialize","source_id":"s","fit_scope":"stateless",'
    '"output_representation":"r"}],"output_representation":"r"}'
)


def needs(name):
    return pytest.mark.skipif(not hasattr(_veltrinax, name), reason=f"{name} has not joined the module yet")


class Unrelated:
    pass


class Text(str):
    pass


# --- import and registration ---------------------------------------------------------


def test_all_lists_classes_then_functions_in_registration_order():
    assert all(name in PRESENT for name in ALWAYS_PRESENT)
    assert _veltrinax.__all__ == CLASSES + PRESENT
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
        outcome = str(failure)
    finally:
        interpreters.destroy(interpreter)
    assert "refused: _veltrinax can be imported only in the main interpreter" in outcome
    assert _veltrinax.version() == "0.2.13"


# --- function objects ----------------------------------------------------------------


@pytest.mark.parametrize("name", PRESENT)
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


def test_version():
    assert type(_veltrinax.version()) is str
    assert _veltrinax.version() == "0.2.13"


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


def outcome(function, *args, **kwargs):
    """The result, or the class and text of the exception raised."""
    try:
        return ("returned", function(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the class is part of the outcome
        return (type(error), str(error))


@pytest.mark.parametrize("name", ONE_PARAMETER)
def test_keyword_argument_is_accepted(name):
    function = getattr(_veltrinax, name)
    assert outcome(function, json=VALID_PLAN) == outcome(function, VALID_PLAN)


CONVERSION_CASES = [
    (5, "'int' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (b"{}", "'bytes' object is not an instance of 'str'"),
    (["{}"], "'list' object is not an instance of 'str'"),
    (Unrelated(), "'Unrelated' object is not an instance of 'str'"),
    (Text, "'type' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("name", ONE_PARAMETER)
@pytest.mark.parametrize("value, message", CONVERSION_CASES)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_non_str_arguments_are_refused_with_a_note(name, value, message, by_keyword):
    function = getattr(_veltrinax, name)
    with pytest.raises(TypeError) as info:
        function(json=value) if by_keyword else function(value)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'json'"]


@pytest.mark.parametrize("name", ONE_PARAMETER)
@pytest.mark.parametrize("text", ["\ud800", '{"id":"\udfff"}'])
def test_lone_surrogates_raise_the_interpreters_encoding_error_with_a_note(name, text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        expected = str(error)
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(_veltrinax, name)(text)
    assert str(info.value) == expected
    assert info.value.__notes__ == ["while processing 'json'"]


@pytest.mark.parametrize("name", ONE_PARAMETER)
def test_str_subclasses_are_read_as_their_text(name):
    function = getattr(_veltrinax, name)
    assert outcome(function, Text(VALID_PLAN)) == outcome(function, VALID_PLAN)


@needs("plan_model_input_json")
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


@needs("plan_model_input_json")
def test_a_non_str_fourth_argument_is_reported_before_any_json_error():
    with pytest.raises(TypeError) as info:
        _veltrinax.plan_model_input_json("not json", "{}", "{}", 4)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'request_json'"]


@needs("plan_model_input_json")
def test_keywords_fill_the_four_parameters_by_name():
    with pytest.raises(TypeError) as info:
        _veltrinax.plan_model_input_json("{}", request_json="{}", model_input_json="{}")
    assert str(info.value) == (
        "plan_model_input_json() missing 1 required positional argument: 'adapter_registry_json'"
    )


@needs("build_coordinator_data_plan_envelope_json")
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


@needs("build_coordinator_data_plan_envelope_json")
def test_the_optional_parameter_is_converted_when_given():
    with pytest.raises(TypeError) as info:
        _veltrinax.build_coordinator_data_plan_envelope_json("{}", "{}", 3)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'sample_relations_json'"]
