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


def test_colliding_ids_start_in_the_first_slots_of_every_table(tmp_path, monkeypatch):
    monkeypatch.setattr(worst_case, "CACHE", tmp_path)
    ids = worst_case.colliding_ids(300)
    assert len(set(ids)) == 300
    for bits in (10, 16, worst_case.TABLE_BITS):
        slots = {worst_case.hash_text(i.encode()) & ((1 << bits) - 1) for i in ids}
        assert max(slots) < 1 << min(bits, worst_case.WINDOW_BITS)


@pytest.mark.parametrize(
    "text, expected",
    [
        # The core's own values (text::hash_text): up to 16 bytes the packed
        # prefix and the length are all, past them the bytes one by one.
        (b"", 0x0),
        (b"s1", 0x5186942CF790EBC0),
        (b"luHlwWN0zzz9WvxM", 0x174857366CC020B2),
        (b"abcdefghijklmnopq", 0x61CBABD58C6170A8),
    ],
)
def test_hash_text_follows_the_core(text, expected):
    assert worst_case.hash_text(text) == expected


def test_a_run_replaces_its_own_section_only(tmp_path):
    out = tmp_path / "RESULTS.md"
    first, second = worst_case.ROWS[0]["name"], worst_case.ROWS[1]["name"]
    out.write_text(
        "# Benchmark results\n\nbody\n\n" + worst_case.SECTION + "\n\nold header\n\n"
        f"| `{first}` | old |\n| `{second}` | kept |\n\n## Later\n\ntail\n",
        encoding="utf-8",
    )
    worst_case.write_section(out, {first: f"| `{first}` | new |"}, ["new header"])
    text = out.read_text(encoding="utf-8")
    assert text.startswith("# Benchmark results\n\nbody\n\n" + worst_case.SECTION + "\n\nnew header\n")
    assert f"| `{first}` | new |\n| `{second}` | kept |\n" in text
    assert "old" not in text
    assert text.endswith("\n## Later\n\ntail\n")
