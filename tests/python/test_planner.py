"""plan_model_input_json: the built-in model input planned end to end, and the
order in which its four arguments are converted and read."""

import json

import pytest

import _veltrinax

REPRESENTATIONS = {r["id"]: r for r in json.loads(_veltrinax.builtin_representations_json())}


def source(source_id, type_id, representation):
    return {
        "id": source_id,
        "name": source_id,
        "type_id": type_id,
        "modality": "m",
        "native_representation": REPRESENTATIONS[representation],
        "sample_key": "sample_id",
        "granularity": "per_sample",
    }


SCHEMA = json.dumps(
    {
        "dataset_id": "d",
        "sample_ids": ["s1", "s2"],
        "sources": [source("soil", "table", "tabular_mixed"), source("nir", "dense_signal", "signal_1d")],
    }
)
MODEL_INPUT = _veltrinax.tabular_numeric_model_input_spec_json()
REGISTRY = _veltrinax.builtin_adapter_registry_json()
STATEFUL = json.dumps({"id": "plan", "planning_policy": {"allow_stateful": True}})


def step(kind, source, adapter, before, after, scope, metadata):
    return (
        f'{{"kind":"{kind}","source_id":{source},"adapter_id":{adapter},"input_representation":{before},'
        f'"output_representation":"{after}","fit_scope":"{scope}","requires_user_choice":false,'
        f'"metadata":{metadata}}}'
    )


# Both sources adapted to "tabular_numeric" by the built-in adapters (the soil
# table by a stateful encoder the policy allows), then aligned: written by hand.
TWO_SOURCE_PLAN = (
    '{"id":"plan","steps":['
    + ",".join(
        [
            step("materialize", '"nir"', "null", "null", "signal_1d", "stateless", '{"output":"src:nir"}'),
            step(
                "adapt", '"nir"', '"spectra.identity_features"', '"signal_1d"', "tabular_numeric", "stateless",
                '{"adapter_params":{},"adapter_version":"1.0.0","input":"src:nir","output":"step:adapt:0"}',
            ),
            step("materialize", '"soil"', "null", "null", "tabular_mixed", "stateless", '{"output":"src:soil"}'),
            step(
                "adapt", '"soil"', '"tabular.encoder"', '"tabular_mixed"', "tabular_numeric", "fold_train",
                '{"adapter_params":{},"adapter_version":"1.0.0","input":"src:soil","output":"step:adapt:1"}',
            ),
            step(
                "align", "null", "null", '"tabular_numeric"', "tabular_numeric", "stateless",
                '{"alignment":"inner","inputs":["step:adapt:0","step:adapt:1"],"output":"step:align:0"}',
            ),
            step(
                "join", "null", "null", '"tabular_numeric"', "tabular_numeric", "stateless",
                '{"inputs":["step:align:0"],"output":"port:x"}',
            ),
        ]
    )
    + '],"output_representation":"tabular_numeric","issues":[]}'
)


def test_the_builtin_model_input_is_planned_as_written():
    assert _veltrinax.plan_model_input_json(SCHEMA, MODEL_INPUT, REGISTRY, STATEFUL) == TWO_SOURCE_PLAN


@pytest.mark.parametrize("position", range(4))
def test_a_non_str_argument_is_reported_before_any_broken_text(position):
    args = ["not json"] * 4
    args[position] = 4
    with pytest.raises(TypeError) as info:
        _veltrinax.plan_model_input_json(*args)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    name = ["schema_json", "model_input_json", "adapter_registry_json", "request_json"][position]
    assert info.value.__notes__ == [f"while processing '{name}'"]


DUPLICATE_ADAPTERS = json.dumps({"adapters": json.loads(REGISTRY)["adapters"][:1] * 2})


@pytest.mark.parametrize(
    "args, kind, message",
    [
        (("{}", "{", "{", "{"), "reader", "missing field `dataset_id` at line 1 column 2"),
        ((SCHEMA, '{"ports":[]}x', "{", "{"), "reader", "trailing characters at line 1 column 13"),
        ((SCHEMA, '{"ports":[]}', "{", "{"), "rule", "model input spec contains no ports"),
        ((SCHEMA, MODEL_INPUT, DUPLICATE_ADAPTERS, "{"), "rule", "duplicate adapter id `spectra.flatten`"),
        ((SCHEMA, MODEL_INPUT, REGISTRY, "{"), "reader", "EOF while parsing an object at line 1 column 1"),
        ((SCHEMA, MODEL_INPUT, REGISTRY, '{"id":" "}'), "rule", "data plan request id is empty"),
        (
            (SCHEMA, MODEL_INPUT, REGISTRY, '{"id":"p","source_ids":["nir","nir"]}'),
            "rule",
            "data plan request contains duplicate source `nir`",
        ),
    ],
)
def test_texts_are_read_in_parameter_order_and_the_first_failure_is_raised(
    args, kind, message, reader_error, rule_error
):
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        _veltrinax.plan_model_input_json(*args)
    (reader_error if kind == "reader" else rule_error)(info.value, message)
