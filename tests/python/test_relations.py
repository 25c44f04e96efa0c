"""Sample relation tables and fold sets through the module: rules, leakage and fingerprints."""

import copy
import hashlib
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _veltrinax

HEX = "ab" * 32
TABLE_FUNCTIONS = ["validate_sample_relation_table_json", "sample_relation_table_fingerprint_json"]
FOLD_FUNCTIONS = ["validate_fold_set_json", "fold_set_fingerprint_json"]
CROSS = "validate_fold_set_against_sample_relations_json"


def row(observation, sample, **members):
    return {"observation_id": observation, "sample_id": sample, **members}


def augmented(observation, sample, origin, **members):
    return row(observation, sample, augmented=True, origin_id=origin, **members)


def transform(transform_id, **members):
    return {"transform_id": transform_id, **members}


def table(*rows):
    return {"rows": list(rows)}


def fold(fold_id, train, validation, **members):
    return {"fold_id": fold_id, "train_sample_ids": list(train), "validation_sample_ids": list(validation), **members}


def fold_set(samples, *folds, **members):
    return {"id": "fs", "sample_ids": list(samples), "folds": list(folds), **members}


def two_folds(train, validation):
    """A fold set over s1, s2, s3 whose fold f splits as given and whose fold v validates the rest."""
    rest = sorted({"s1", "s2", "s3"} - set(validation))
    return fold_set(["s1", "s2", "s3"], fold("f", train, validation), fold("v", [], rest))


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def call(name, *documents):
    return getattr(_veltrinax, name)(*(json.dumps(document) for document in documents))


TABLE = table(
    augmented("o3", "s2", "o1", source_id="nir", tags=["x"], augmentation=transform("t", params_fingerprint=HEX)),
    row("o1", "s1", source_id="nir", target_id="y", group_id="g1", repetition_id="r1", metadata={"b": 1, "a": 0.5}),
    row("o2", "s1", excluded=True),
)

# TABLE as its fingerprint hashes it, written by hand: rows by observation id, declared key
# order, absent ids as null, tags and augmentation only when given.
TABLE_CANONICAL = (
    '{"rows":[{"observation_id":"o1","sample_id":"s1","source_id":"nir","target_id":"y","group_id":"g1",'
    '"origin_id":null,"repetition_id":"r1","augmented":false,"excluded":false,"metadata":{"a":0.5,"b":1}},'
    '{"observation_id":"o2","sample_id":"s1","source_id":null,"target_id":null,"group_id":null,"origin_id":null,'
    '"repetition_id":null,"augmented":false,"excluded":true,"metadata":{}},'
    '{"observation_id":"o3","sample_id":"s2","source_id":"nir","target_id":null,"group_id":null,"origin_id":"o1",'
    '"repetition_id":null,"augmented":true,"excluded":false,"metadata":{},"tags":["x"],'
    '"augmentation":{"transform_id":"t","params_fingerprint":"' + HEX + '"}}]}'
)

FOLDS = fold_set(
    ["s3", "s1", "s2", "s4"],
    fold("f2", ["s2", "s1"], ["s4", "s3"], metadata={"seed": 7}),
    fold("f1", ["s4", "s3"], ["s2", "s1"]),
    sample_groups={"s3": "g2", "s1": "g1"},
)


def canonical_fold_set(document):
    """The generic-value text of a fold set: members sorted, keys sorted, empty maps left out."""
    folds = [
        {key: sorted(value) if key.endswith("sample_ids") else value for key, value in f.items() if value != {}}
        for f in sorted(document["folds"], key=lambda f: f["fold_id"])
    ]
    value = {**document, "sample_ids": sorted(document["sample_ids"]), "folds": folds}
    if not value.get("sample_groups"):
        value.pop("sample_groups", None)
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


@pytest.mark.parametrize(
    "name, document",
    [
        (TABLE_FUNCTIONS[0], TABLE),
        (TABLE_FUNCTIONS[0], table(augmented("o3", "s", "o2"), augmented("o2", "s", "o1"), row("o1", "s"))),
        (TABLE_FUNCTIONS[0], table(row("a", "s", group_id="g"), row("b", "s"), row("c", "s", group_id="g"))),
        (FOLD_FUNCTIONS[0], FOLDS),
        (FOLD_FUNCTIONS[0], fold_set(["a", "b"], fold("f", [], ["a"]), fold(" f", ["a"], ["b"]))),
    ],
)
def test_valid_documents_validate_to_none(name, document):
    assert call(name, document) is None


def test_table_fingerprint_is_the_sha256_of_the_canonical_record_text():
    assert call(TABLE_FUNCTIONS[1], TABLE) == sha(TABLE_CANONICAL)


@pytest.mark.parametrize(
    "document",
    [
        FOLDS,
        {**FOLDS, "folds": [FOLDS["folds"][0], {**FOLDS["folds"][1], "metadata": {}}]},
        fold_set(["b", "a"], fold("f", ["b"], ["a"], metadata={"n": [1.5]}), fold("g", [], ["b"]), sample_groups={}),
    ],
)
def test_fold_set_fingerprint_is_the_sha256_of_the_sorted_value_text(document):
    canonical = canonical_fold_set(document)
    assert canonical.startswith('{"folds":[{"fold_id":')
    assert call(FOLD_FUNCTIONS[1], document) == sha(canonical)


@settings(max_examples=50, deadline=None)
@given(st.permutations(TABLE["rows"]))
def test_table_fingerprint_ignores_row_order(rows):
    assert call(TABLE_FUNCTIONS[1], table(*rows)) == sha(TABLE_CANONICAL)


@settings(max_examples=50, deadline=None)
@given(st.data())
def test_fold_set_fingerprint_ignores_the_order_of_samples_folds_and_members(data):
    members = ("train_sample_ids", "validation_sample_ids")
    folds = [{**f, **{m: data.draw(st.permutations(f[m])) for m in members}} for f in FOLDS["folds"]]
    document = {**FOLDS, "sample_ids": data.draw(st.permutations(FOLDS["sample_ids"])), "folds": folds[::-1]}
    assert call(FOLD_FUNCTIONS[1], document) == sha(canonical_fold_set(FOLDS))


def changed(document, path, value):
    document = copy.deepcopy(document)
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    target[last] = value
    return document


@pytest.mark.parametrize(
    "name, original, path, value",
    [
        (TABLE_FUNCTIONS[1], TABLE, path, value)
        for path, value in [
            (["rows", 0, "sample_id"], "s3"),
            (["rows", 2, "source_id"], "nir"),
            (["rows", 1, "target_id"], "z"),
            (["rows", 1, "group_id"], "g2"),
            (["rows", 1, "repetition_id"], None),
            (["rows", 2, "excluded"], False),
            (["rows", 1, "metadata", "a"], 0.25),
            (["rows", 0, "tags"], ["x", "y"]),
            (["rows", 0, "augmentation", "params_fingerprint"], HEX.upper()),
        ]
    ]
    + [
        (FOLD_FUNCTIONS[1], FOLDS, path, value)
        for path, value in [
            (["id"], "fs2"),
            (["folds", 0, "fold_id"], "f0"),
            (["folds", 0, "metadata", "seed"], 8),
            (["folds", 1, "train_sample_ids"], ["s4"]),
            (["sample_groups", "s3"], "g3"),
        ]
    ],
)
def test_fingerprints_follow_every_other_field(name, original, path, value):
    assert call(name, changed(original, path, value)) != call(name, original)


TABLE_RULES = [
    (table(), "sample relation table contains no rows"),
    (table(row("o1", "a"), row("o1", "b")), "duplicate observation id `o1`"),
    (
        table(row("a", "s", group_id="g1"), row("b", "s"), row("c", "s", group_id="g2")),
        "sample `s` appears with conflicting groups `g1` and `g2`",
    ),
    (table(row("o", "s", augmented=True, augmentation=transform(" "))), "augmented observation `o` has no origin_id"),
    (table(row("o1", "s"), row("o2", "s", origin_id="o1")), "non-augmented observation `o2` declares origin_id"),
    (table(row("o", "s", augmentation=transform("\u2003"))), "augmentation metadata transform_id is empty"),
    (table(row("o", "s", augmentation=transform("t"))), "non-augmented observation `o` declares augmentation metadata"),
    (
        table(row("o1", "s"), augmented("o2", "s", "o1", augmentation=transform("t", params_fingerprint=HEX[1:]))),
        "augmentation `t` params_fingerprint must be a 64-character hex digest",
    ),
    (table(augmented("o1", "s", "o1")), "observation `o1` cannot be its own origin"),
    (table(augmented("o1", "s", "b"), augmented("o2", "s", "a")), "origin `a` is not present as an observation"),
]

FOLD_RULES = [
    (fold_set([], id=" "), "fold set id is empty"),
    (fold_set(["a"]), "fold set contains no folds"),
    (
        fold_set(["a", "b", "a"], fold("f", [], ["z"]), sample_groups={"z": "g"}),
        "fold set sample_ids contains duplicate sample `a`",
    ),
    (
        fold_set(["a"], fold("f", [], ["a"]), sample_groups={"z": "g", "y": "g"}),
        "sample group map references unknown sample `y`",
    ),
    (fold_set(["a", "b"], fold("f", [], ["a"]), fold("f", [], ["b"])), "duplicate fold id `f`"),
    (fold_set(["a", "b"], fold("f", ["b", "b"], ["a"])), "fold `f` train_sample_ids contains duplicate sample `b`"),
    (fold_set(["a"], fold("f", ["a"], [])), "fold `f` has no validation samples"),
    (fold_set(["a"], fold("f", ["z"], ["y", "a"])), "fold `f` references unknown sample `y`"),
    (fold_set(["a", "b"], fold("f", ["b", "a"], ["b", "a"])), "fold `f` has train/validation overlap at sample `a`"),
    (fold_set(["a", "b"], fold("f", [], ["a"])), "sample `b` appears in validation 0 time(s), expected exactly once"),
    (
        fold_set(["a", "b"], fold("f", [], ["a", "b"]), fold("g", [], ["a"])),
        "sample `a` appears in validation 2 time(s), expected exactly once",
    ),
]

ORIGIN_TABLE = table(row("o1", "s1"), augmented("o2", "s2", "o1"), row("o3", "s3"))
GROUP_TABLE = table(row("o1", "s1", group_id="g"), row("o2", "s2", group_id="g"), row("o3", "s3", group_id="h"))

CROSS_RULES = [
    (
        two_folds([], ["s1"]),
        table(row("o1", "s1"), row("o2", "s2"), row("o4", "s4")),
        "fold set `fs` is missing relation sample `s4`",
    ),
    (
        two_folds([], ["s1"]),
        table(row("o1", "s1"), row("o2", "s2")),
        "fold set `fs` references sample `s3` absent from sample relations",
    ),
    (
        {**two_folds([], ["s1"]), "sample_groups": {"s1": "g2", "s2": "x"}},
        table(row("o1", "s1", group_id="g1"), row("o2", "s2"), row("o3", "s3")),
        "fold set `fs` group `g2` for sample `s1` conflicts with relation group `g1`",
    ),
    # The fold set is read and checked before the relation table.
    (fold_set(["s1"]), table(), "fold set contains no folds"),
    (two_folds([], ["s1"]), table(), "sample relation table contains no rows"),
]


@pytest.mark.parametrize(
    "name, documents, message",
    [(name, [document], message) for name in TABLE_FUNCTIONS for document, message in TABLE_RULES]
    + [(name, [document], message) for name in FOLD_FUNCTIONS for document, message in FOLD_RULES]
    + [(CROSS, [folds, relations], message) for folds, relations, message in CROSS_RULES],
)
def test_rule_violations_raise_contract_errors(name, documents, message, rule_error):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        call(name, *documents)
    rule_error(info.value, message)


@pytest.mark.parametrize("folds, relations", [
    (two_folds(["s1", "s2"], ["s3"]), ORIGIN_TABLE),
    (two_folds(["s3"], ["s1"]), ORIGIN_TABLE),
    (two_folds(["s2"], ["s3"]), ORIGIN_TABLE),
    (two_folds(["s1", "s2"], ["s3"]), GROUP_TABLE),
])  # fmt: skip
def test_consistent_fold_sets_pass_against_their_relations(folds, relations):
    assert call(CROSS, folds, relations) is None


# q (group a) and p (group b) are validated while both groups are trained on: the smallest
# leaking validation sample decides, so the group named is b.
GROUP_LEAK = fold_set(
    ["p", "q", "r", "t"],
    fold("f", ["r", "t"], ["q", "p"]),
    fold("g", [], ["r", "t"]),
    sample_groups={"p": "b", "q": "a", "r": "a", "t": "b"},
)
ORIGIN_LEAK = "fold `f` leaks augmentation origin `o1` across train/validation"


@pytest.mark.parametrize(
    "name, documents, kind, detail",
    [(name, [GROUP_LEAK], "group", "fold `f` leaks group `b` across train/validation") for name in FOLD_FUNCTIONS]
    + [
        (CROSS, [two_folds(["s1"], ["s2"]), ORIGIN_TABLE], "origin", ORIGIN_LEAK),
        (CROSS, [two_folds(["s2"], ["s1"]), ORIGIN_TABLE], "origin", ORIGIN_LEAK),
        (CROSS, [two_folds(["s1"], ["s2"]), GROUP_TABLE], "group", "fold `f` leaks group `g` across train/validation"),
    ],
)
def test_leaks_raise_boundary_violations(name, documents, kind, detail, core_error):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        call(name, *documents)
    core_error(
        info.value,
        category="data",
        code="relation_boundary_violation",
        message=f"relation boundary violation ({kind}): {detail}",
        context={"detail": detail, "kind": kind},
    )


def reader_case(name, texts, fragment, message, failing=-1):
    """Arguments and the reader message, placed just past the first `fragment` of the failing text."""
    return name, texts, f"{message} at line 1 column {texts[failing].index(fragment) + len(fragment)}"


READER_CASES = [
    reader_case(TABLE_FUNCTIONS[0], ['{"rows":[{"sample_id":"s"}]}'], "}", "missing field `observation_id`"),
    reader_case(
        TABLE_FUNCTIONS[1],
        ['{"rows":[["o","s"]]}'],
        '"s"]',
        "invalid length 2, expected struct SampleRelation with 12 elements",
    ),
    reader_case(
        FOLD_FUNCTIONS[0],
        ['{"id":"f","sample_ids":["a","b/c"],"folds":[]}'],
        '"b/c"]',
        "invalid identifier `b/c`: identifier contains unsupported characters",
    ),
    reader_case(
        FOLD_FUNCTIONS[1],
        ['{"id":"f","sample_ids":["a"],"folds":[],"sample_groups":{"a":"g h"}}'],
        '"g h"}',
        "invalid identifier `g h`: identifier contains unsupported characters",
    ),
    # The fold set is read first; a broken one hides a broken relation table.
    reader_case(CROSS, ["{}", "nope"], "}", "missing field `id`", failing=0),
    reader_case(CROSS, [json.dumps(two_folds([], ["s1"])), "nope"], "no", "expected ident"),
]


@pytest.mark.parametrize("name, texts, message", READER_CASES)
def test_unreadable_documents_raise_compatibility_errors(name, texts, message, reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(*texts)
    reader_error(info.value, message)
