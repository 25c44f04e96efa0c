"""Model input specs and adapter registries through the module, and the built-in documents."""

import json

import pytest

import _veltrinax


def port(name="x", representations=("r.a",), types=("t.a",), **members):
    return {"name": name, "accepted_representations": list(representations), "accepted_types": list(types), **members}


def model_input(*ports, **members):
    return {"ports": list(ports), **members}


def adapter(adapter_id="a.b", **members):
    return {
        "id": adapter_id,
        "version": "1.0.0",
        "input_type": "t.a",
        "input_representation": "r.a",
        "output_type": "t.b",
        "output_representation": "r.b",
        "cost": 1,
        "fit_scope": "stateless",
        **members,
    }


def registry(*adapters):
    return {"adapters": list(adapters)}


def compact(document):
    return json.dumps(document, separators=(",", ":"))


MODEL_INPUT, REGISTRY = "validate_model_input_spec_json", "validate_adapter_registry_json"


@pytest.mark.parametrize(
    "name, document",
    [
        (MODEL_INPUT, model_input(port())),
        (MODEL_INPUT, model_input(port("in/rgb:v2_0"), port("X", rank=2, multi_source=True), port("x", ["r.a"] * 2))),
        (MODEL_INPUT, model_input(port(), default_fusion={"alignment": "inner", "weights": [1, 0.5]})),
        (MODEL_INPUT, [[["x", ["r.a"], ["t.a"], None]], None]),
        (REGISTRY, {}),
        (REGISTRY, []),
        (REGISTRY, registry(adapter(), adapter("a.c", deterministic=True, cost=0, lossy=True, supervised=True))),
        (REGISTRY, registry(adapter("x" * 500 + "/v:1", params={"k": [None, {"z": 1}]}), adapter("a.c"))),
        (REGISTRY, registry(*(adapter(f"s.{s}", stateful=True, fit_scope=s) for s in ("fold_train", "full_train")))),
        (REGISTRY, registry(adapter(input_type="t.b", input_representation="r.b"))),
    ],
)
def test_valid_documents_validate_to_none(name, document):
    assert getattr(_veltrinax, name)(json.dumps(document)) is None


MODEL_INPUT_RULES = [
    (model_input(), "model input spec contains no ports"),
    (model_input(port("   ")), "input port name is empty"),
    (model_input(port(" x")), "input port ` x` contains unsupported characters"),
    (model_input(port("x+y")), "input port `x+y` contains unsupported characters"),
    (model_input(port(representations=(), types=())), "input port `x` accepts no representations"),
    (model_input(port(types=())), "input port `x` accepts no types"),
    (model_input(port(), port("X"), port()), "duplicate model input port `x`"),
    (model_input(port(), port(types=())), "input port `x` accepts no types"),
]

REGISTRY_RULES = [
    (registry(adapter(), adapter()), "duplicate adapter id `a.b`"),
    (registry(adapter(deterministic=False)), "adapter `a.b` is not deterministic"),
    (registry(adapter(), adapter(deterministic=False)), "adapter `a.b` is not deterministic"),
    (registry(adapter(version="")), "adapter version name is empty"),
    (registry(adapter(version="1.0+1")), "adapter version `1.0+1` contains unsupported characters"),
    (registry(adapter("a b", deterministic=False)), "adapter `a b` contains unsupported characters"),
    (registry(adapter("\t")), "adapter name is empty"),
    (registry(adapter(stateful=True)), "stateful adapter `a.b` cannot use stateless fit scope"),
    (
        registry(adapter("a"), adapter("b"), adapter("c", version=" "), adapter("d"), adapter("a")),
        "adapter version name is empty",
    ),
]


@pytest.mark.parametrize(
    "name, document, message",
    [(MODEL_INPUT, *case) for case in MODEL_INPUT_RULES] + [(REGISTRY, *case) for case in REGISTRY_RULES],
)
def test_rule_violations_raise_contract_errors(name, document, message, rule_error):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        getattr(_veltrinax, name)(json.dumps(document))
    rule_error(info.value, message)


def reader_case(name, document, fragment, message):
    """A document text and its reader message, placed just past the first `fragment`."""
    text = document if isinstance(document, str) else compact(document)
    return name, text, f"{message} at line 1 column {text.index(fragment) + len(fragment)}"


READER_CASES = [
    reader_case(MODEL_INPUT, "{}", "}", "missing field `ports`"),
    reader_case(MODEL_INPUT, "null", "null", "invalid type: null, expected struct ModelInputSpec"),
    reader_case(MODEL_INPUT, "[[[]]]", "[[[]", "invalid length 0, expected struct InputPortSpec with 6 elements"),
    reader_case(MODEL_INPUT, model_input(port(rank="2")), '"2"', 'invalid type: string "2", expected usize'),
    reader_case(
        MODEL_INPUT,
        model_input(port(representations=["r.a", "r/b"])),
        '"r/b"]',
        "invalid identifier `r/b`: identifier contains unsupported characters",
    ),
    reader_case(
        REGISTRY,
        registry(adapter(input_type="t a")),
        '"t a"',
        "invalid identifier `t a`: identifier contains unsupported characters",
    ),
    reader_case(
        REGISTRY,
        registry(adapter(fit_scope="always")),
        '"always"',
        "unknown variant `always`, expected one of `stateless`, `fold_train`, `full_train`, `inference_only`",
    ),
    reader_case(REGISTRY, registry(adapter(cost=-1)), "-1", "invalid value: integer `-1`, expected u64"),
    reader_case(REGISTRY, '{"adapters":[{"version":"1"}]}', "}", "missing field `id`"),
    reader_case(REGISTRY, registry(adapter(deterministic=None)), "null", "invalid type: null, expected a boolean"),
]


@pytest.mark.parametrize("name, text, message", READER_CASES)
def test_unreadable_documents_raise_compatibility_errors(name, text, message, reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(text)
    reader_error(info.value, message)


ADAPTER_KEYS = [
    "id", "version", "input_type", "input_representation", "output_type", "output_representation",
    "cost", "lossy", "supervised", "stateful", "deterministic", "fit_scope", "params",
]  # fmt: skip


def test_builtin_registry_shape_and_validation():
    text = _veltrinax.builtin_adapter_registry_json()
    document = json.loads(text)
    assert list(document) == ["adapters"]
    adapters = document["adapters"]
    assert len(adapters) == 24
    assert (adapters[0]["id"], adapters[-1]["id"]) == ("spectra.flatten", "text.bag_of_tokens")
    assert len({a["id"] for a in adapters}) == 24
    assert all(list(a) == ADAPTER_KEYS for a in adapters)
    assert {(a["version"], a["supervised"], a["deterministic"], compact(a["params"])) for a in adapters} == {
        ("1.0.0", False, True, "{}")
    }
    assert {(a["stateful"], a["fit_scope"]) for a in adapters} == {(False, "stateless"), (True, "fold_train")}
    assert text == compact(document)
    assert _veltrinax.validate_adapter_registry_json(text) is None


def test_builtin_model_input_text_and_validation():
    text = _veltrinax.tabular_numeric_model_input_spec_json()
    assert text == (
        '{"ports":[{"name":"x","accepted_representations":["tabular_numeric"],"accepted_types":["table"],'
        '"rank":2,"multi_source":true,"optional":false}],"default_fusion":null}'
    )
    assert _veltrinax.validate_model_input_spec_json(text) is None
