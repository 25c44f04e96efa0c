"""Data plans through the module: validation, fingerprints and their errors."""

import hashlib
import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _veltrinax

PLAN_FUNCTIONS = ["validate_data_plan_json", "data_plan_fingerprint_json"]


def step(kind, **members):
    return {"kind": kind, "fit_scope": "stateless", **members}


def materialize(source, representation="r.a", **members):
    return step("materialize", source_id=source, output_representation=representation, **members)


def plan(steps, output="r.a", plan_id="p", **members):
    return {"id": plan_id, "steps": steps, "output_representation": output, **members}


TABULAR = plan(
    [
        materialize("nir", "spectra.matrix"),
        step(
            "adapt",
            source_id="nir",
            adapter_id="spectra.flatten",
            input_representation="spectra.matrix",
            output_representation="tabular.numeric",
            fit_scope="fold_train",
            metadata={"weights": [0.5, 1e16, 2.50, 100], "input": "src:nir"},
        ),
    ],
    output="tabular.numeric",
    plan_id="plan-1",
)

# TABULAR as the fingerprint hashes it, written out by hand: declared key order,
# every absent key present, metadata keys ascending, numbers in their shortest form.
TABULAR_CANONICAL = (
    '{"id":"plan-1","steps":[{"kind":"materialize","source_id":"nir","adapter_id":null,'
    '"input_representation":null,"output_representation":"spectra.matrix","fit_scope":"stateless",'
    '"requires_user_choice":false,"metadata":{}},{"kind":"adapt","source_id":"nir",'
    '"adapter_id":"spectra.flatten","input_representation":"spectra.matrix",'
    '"output_representation":"tabular.numeric","fit_scope":"fold_train","requires_user_choice":false,'
    '"metadata":{"input":"src:nir","weights":[0.5,1e+16,2.5,100]}}],'
    '"output_representation":"tabular.numeric","issues":[]}'
)


@pytest.mark.parametrize(
    "document",
    [
        plan([materialize("s")]),
        TABULAR,
        plan(
            [
                materialize("a"),
                materialize("b"),
                step("align", metadata={"inputs": ["src:a", "src:b"], "output": "aligned"}),
                step("join", metadata={"input": "aligned", "output": "port:x"}, output_representation="r.a"),
            ],
            issues=[{"code": "ambiguous_path", "message": "pick one", "choices": ["x", "y"]}],
        ),
    ],
)
def test_valid_plans_validate_to_none_and_fingerprint(document):
    text = json.dumps(document)
    assert _veltrinax.validate_data_plan_json(text) is None
    digest = _veltrinax.data_plan_fingerprint_json(text)
    assert type(digest) is str
    assert len(digest) == 64 and set(digest) <= set("0123456789abcdef")
    assert _veltrinax.data_plan_fingerprint_json(text) == digest


def test_fingerprint_is_the_sha256_of_the_canonical_record_text():
    expected = hashlib.sha256(TABULAR_CANONICAL.encode()).hexdigest()
    assert _veltrinax.data_plan_fingerprint_json(json.dumps(TABULAR, indent=2)) == expected
    assert _veltrinax.data_plan_fingerprint_json(TABULAR_CANONICAL) == expected


def shuffled_keys(value, rng):
    """The same JSON value with the members of every object in another order."""
    if isinstance(value, dict):
        items = list(value.items())
        rng.shuffle(items)
        return {key: shuffled_keys(member, rng) for key, member in items}
    if isinstance(value, list):
        return [shuffled_keys(element, rng) for element in value]
    return value


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), indent=st.sampled_from([None, 0, 1, 4]))
def test_fingerprint_ignores_key_order_and_layout(seed, indent):
    document = shuffled_keys(TABULAR, random.Random(seed))
    assert _veltrinax.data_plan_fingerprint_json(json.dumps(document, indent=indent)) == (
        hashlib.sha256(TABULAR_CANONICAL.encode()).hexdigest()
    )


@settings(max_examples=40, deadline=None)
@given(order=st.permutations(["a", "b", "c", "d"]))
def test_fingerprint_follows_step_order(order):
    reference = _veltrinax.data_plan_fingerprint_json(json.dumps(plan([materialize(s) for s in "abcd"])))
    digest = _veltrinax.data_plan_fingerprint_json(json.dumps(plan([materialize(s) for s in order])))
    assert (digest == reference) == (list(order) == list("abcd"))


RULE_CASES = [
    (plan([materialize("s")], plan_id="  "), "data plan id is empty"),
    (plan([]), "data plan `p` contains no steps"),
    (plan([step("adapt")]), "data plan `p` step 0 adapts without adapter_id"),
    (
        plan([step("adapt", adapter_id="a.b", metadata={"input": 5})]),
        "data plan `p` step 0: input must be a string",
    ),
    (
        plan([materialize("s"), step("adapt", adapter_id="a.b", metadata={"input": "s"})]),
        "data plan `p` step 1: input `s` references no earlier output",
    ),
    (plan([materialize("s"), materialize("s", "r.b")], "r.b"), "data plan `p` step 1: duplicate output `src:s`"),
    (plan([materialize("s")], "r.b"), "data plan `p` output representation does not match its final step"),
    # Texts from the document appear in messages unchanged and are escaped only in JSON.
    (plan([], plan_id='a"b\\c\x01\u00e9'), 'data plan `a"b\\c\x01\u00e9` contains no steps'),
]


@pytest.mark.parametrize("name", PLAN_FUNCTIONS)
@pytest.mark.parametrize("document, message", RULE_CASES)
def test_rule_violations_raise_contract_errors(name, document, message, rule_error):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        getattr(_veltrinax, name)(json.dumps(document))
    rule_error(info.value, message)


READER_CASES = [
    ("nope", "expected ident at line 1 column 2"),
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("null", "invalid type: null, expected struct DataPlan at line 1 column 4"),
    ("{}", "missing field `id` at line 1 column 2"),
    ('{"id":"p","steps":[],"output_representation":"r"} x', "trailing characters at line 1 column 51"),
    ('{"id":"p","steps":{},"output_representation":"r"}', "invalid type: map, expected a sequence at line 1 column 18"),
    ('{"id":"p","steps":[],"output_representation":"r","id":"q"}', "duplicate field `id` at line 1 column 53"),
    (
        '{"id":"p","steps":[],"output_representation":"a b"}',
        "invalid identifier `a b`: identifier contains unsupported characters at line 1 column 51",
    ),
]


@pytest.mark.parametrize("name", PLAN_FUNCTIONS)
@pytest.mark.parametrize("text, message", READER_CASES)
def test_unreadable_documents_raise_compatibility_errors(name, text, message, reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(text)
    reader_error(info.value, message)


def test_every_translated_error_is_a_veltrinax_error_and_an_exception():
    with pytest.raises(Exception) as info:
        _veltrinax.validate_data_plan_json("{}")
    assert isinstance(info.value, _veltrinax.VeltrinaxError)
