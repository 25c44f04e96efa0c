"""The documents of bench/worst_case.py, built small: each crafted document is
read and checked as its row says, its benign twin is accepted, and the two are
of one size. No timing is asserted; the benchmark itself is run by hand."""

import importlib.util
from pathlib import Path

import pytest

import _veltrinax

BENCH = Path(__file__).resolve().parents[2] / "bench" / "worst_case.py"
spec = importlib.util.spec_from_file_location("worst_case", BENCH)
worst_case = importlib.util.module_from_spec(spec)
spec.loader.exec_module(worst_case)

SCALE = 0.001
# Rows whose crafted document breaks a rule on purpose, with the words of the rule.
CRAFTED_FAILS = {
    "schema-ids-equal": "dataset schema contains duplicate sample ids",
    "schema-coordinates-deep": "numeric coordinate",
    "error-sources-del-astral": "invalid type: string",
    "error-sources-astral-del": "invalid type: string",
    "error-sources-del": "invalid type: string",
    "error-sources-c1-astral": "invalid type: string",
    "error-envelope-plan-del-astral": "invalid type: string",
    "error-coordinate-numbers-astral": "numeric coordinate",
    # Spends the whole budget on purpose, at any scale.
    "plan-calibration": "exceeded its limit of 100000000 work units",
}
# Rows whose twin breaks the same rule as the crafted document.
BENIGN_FAILS = {"schema-coordinates-deep": "numeric coordinate"}


def outcome(function, texts):
    try:
        getattr(_veltrinax, function)(*texts)
    except _veltrinax.VeltrinaxError as error:
        return str(error)
    return "ok"


@pytest.mark.parametrize("row", worst_case.ROWS, ids=[row["name"] for row in worst_case.ROWS])
def test_crafted_document_and_its_twin(row, tmp_path, monkeypatch):
    monkeypatch.setattr(worst_case, "CACHE", tmp_path)
    crafted, benign = row["build"](SCALE)
    assert len(crafted) == len(benign)
    size, twin_size = sum(map(len, crafted)), sum(map(len, benign))
    assert abs(size - twin_size) <= 0.05 * size
    for texts, expected in ((crafted, CRAFTED_FAILS.get(row["name"])), (benign, BENIGN_FAILS.get(row["name"]))):
        result = outcome(row["function"], texts)
        if expected is None:
            assert result == "ok"
        else:
            assert expected in result
