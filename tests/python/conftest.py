"""Shared checks for the Python tests of `_veltrinax`."""

import json

import pytest

import _veltrinax

# The attributes a translated exception carries, in the order they are set.
ERROR_ATTRIBUTES = [
    "category",
    "code",
    "severity",
    "remediation_hint",
    "context",
    "context_json",
    "descriptor_json",
]

HINTS = {
    "data_contract_validation": (
        "Fix the data contract inputs, schema, handles or coordinator request before retrying."
    ),
    "serialization_error": "Check that the JSON payload matches the supported veltrinax contract version.",
    "relation_boundary_violation": (
        "Keep every repetition group and augmentation origin within a single fold; "
        "the supplied fold set leaks across the train/validation boundary."
    ),
    "fingerprint_mismatch": (
        "Recompute the fingerprint from the current schema, plan, relations or fitted-adapter parameters, "
        "or replay against the contract version that produced it."
    ),
}

CLASS_BY_CATEGORY = {
    "validation": "VeltrinaxValidationError",
    "data": "VeltrinaxContractError",
    "compatibility": "VeltrinaxCompatibilityError",
}


def assert_core_error(exc, *, category, code, message, context):
    """Checks a translated core error as a whole: its class, its text and all
    seven descriptor attributes, which must agree with one another."""
    assert type(exc) is getattr(_veltrinax, CLASS_BY_CATEGORY[category])
    assert exc.args == (message,)
    assert [name for name in vars(exc) if name in ERROR_ATTRIBUTES] == ERROR_ATTRIBUTES
    descriptor = {"category": category, "code": code, "severity": "error", "message": message,
                  "remediation_hint": HINTS[code], "context": dict(sorted(context.items()))}  # fmt: skip
    plain = ERROR_ATTRIBUTES[:5]  # category, code, severity, remediation_hint, context
    assert {key: getattr(exc, key) for key in plain} == {key: descriptor[key] for key in plain}
    assert type(exc.context) is dict
    # Compact, keys ascending, only the characters JSON requires escaped; the descriptor in its key order.
    assert exc.context_json == json.dumps(context, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    assert exc.descriptor_json == json.dumps(descriptor, separators=(",", ":"), ensure_ascii=False)


def assert_rule_error(exc, rule_message):
    """A contract rule failure: VeltrinaxContractError carrying the rule's message."""
    assert_core_error(exc, category="data", code="data_contract_validation",
                      message="data contract validation failed: " + rule_message, context={"detail": rule_message})


def assert_reader_error(exc, reader_message):
    """A reading failure: VeltrinaxCompatibilityError carrying the reader's message."""
    assert_core_error(exc, category="compatibility", code="serialization_error",
                      message="serialization error: " + reader_message, context={"detail": reader_message})


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: inputs of hundreds of megabytes or millions of elements (deselect with -m 'not slow')"
    )


# The checks as fixtures, so that test modules need not import this file.


@pytest.fixture
def core_error():
    return assert_core_error


@pytest.fixture
def rule_error():
    return assert_rule_error


@pytest.fixture
def reader_error():
    return assert_reader_error
