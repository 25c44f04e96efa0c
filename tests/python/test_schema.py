"""Dataset schemas through the module: validation, fingerprints and the built-in data models."""

import copy
import hashlib
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _veltrinax

SCHEMA_FUNCTIONS = ["validate_dataset_schema_json", "dataset_schema_fingerprint_json"]


def axis(name, kind=None, **members):
    return {"name": name, "kind": kind or name, **members}


def rep(rid, *axes, **members):
    axes = list(axes) or [axis("sample")]
    return {"id": rid, "type_id": "t.a", "rank": len(axes), "axes": axes, "container": "ndarray", **members}


def source(sid, representation=None, **members):
    return {
        "id": sid,
        "name": "n",
        "type_id": "t.a",
        "modality": "m",
        "native_representation": representation or rep("r.a"),
        "sample_key": "k",
        "granularity": "per_sample",
        **members,
    }


def schema(sources=(), samples=("s1",), **members):
    return {"dataset_id": "d", "sample_ids": list(samples), "sources": list(sources), **members}


GRID = {"dtype": "numeric", "ordered": True, "values": {"kind": "regular_grid", "start": 1, "step": 2}}

# Every part of a schema that the canonical text writes, in an order that is not the canonical one.
FULL = schema(
    [
        source(
            "src.b",
            rep("r.b", axis("sample"), axis("wl", "wavelength", unit="nm", size=3, coordinate=GRID)),
            tags={"w": 2.50, "a": [1e16]},
            shape_contract={"rank": 2},
        ),
        source("src.a"),
    ],
    samples=["s2", "s1", "s3"],
    targets={"y": rep("r.y", dtype="float64")},
    metadata={"meta": rep("r.m", signal_type="absorbance")},
    metadata_schema={"fields": {"age": {"kind": "integer"}}},
    groups=[
        {"id": "g2", "kind": "subject", "column": "c2", "source_id": "src.a"},
        {"id": "g1", "kind": "batch", "column": "c1", "metadata": {"k": 1}},
    ],
    folds=[{"id": "f2", "split_column": "split"}, {"id": "f1", "group_id": "g1"}],
)

# FULL as the fingerprint hashes it, written out by hand: lists sorted by id, keys in declared
# order, absent optionals as null or left out per field, grid numbers as floats.
SAMPLE_AXIS = '{"name":"sample","kind":"sample","unit":null,"size":null,"variable":false}'
FULL_CANONICAL = (
    '{"dataset_id":"d","sample_ids":["s1","s2","s3"],"sources":['
    '{"id":"src.a","name":"n","type_id":"t.a","modality":"m","native_representation":{"id":"r.a",'
    '"type_id":"t.a","rank":1,"axes":[' + SAMPLE_AXIS + '],"container":"ndarray","dtype":null,'
    '"sparse":false,"ragged":false},"sample_key":"k","granularity":"per_sample","schema":{},"tags":{}},'
    '{"id":"src.b","name":"n","type_id":"t.a","modality":"m","native_representation":{"id":"r.b",'
    '"type_id":"t.a","rank":2,"axes":[' + SAMPLE_AXIS + ',{"name":"wl","kind":"wavelength","unit":"nm",'
    '"size":3,"variable":false,"coordinate":{"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid",'
    '"start":1.0,"step":2.0}}}],"container":"ndarray","dtype":null,"sparse":false,"ragged":false},'
    '"sample_key":"k","granularity":"per_sample","schema":{},"tags":{"a":[1e+16],"w":2.5},'
    '"shape_contract":{"rank":2,"allow_ragged":false}}],'
    '"targets":{"y":{"id":"r.y","type_id":"t.a","rank":1,"axes":[' + SAMPLE_AXIS + '],"container":"ndarray",'
    '"dtype":"float64","sparse":false,"ragged":false}},'
    '"metadata":{"meta":{"id":"r.m","type_id":"t.a","rank":1,"axes":[' + SAMPLE_AXIS + '],"container":"ndarray",'
    '"dtype":null,"sparse":false,"ragged":false,"signal_type":"absorbance"}},'
    '"metadata_schema":{"fields":{"age":{"kind":"integer","required":false}}},'
    '"groups":[{"id":"g1","kind":"batch","column":"c1","strict":false,"metadata":{"k":1}},'
    '{"id":"g2","kind":"subject","column":"c2","source_id":"src.a","strict":false}],'
    '"folds":[{"id":"f1","group_id":"g1"},{"id":"f2","split_column":"split"}]}'
)


def fingerprint(document):
    return _veltrinax.dataset_schema_fingerprint_json(json.dumps(document))


@pytest.mark.parametrize(
    "document",
    [
        schema(),
        FULL,
        schema(targets={"g": rep("r.g", axis("node"), container="graph_batch")}),
        schema(folds=[{"id": "a", "split_column": "c"}, {"id": "a ", "split_column": "c"}]),
        schema(metadata_schema={"fields": {"site": {"kind": "string", "allowed_values": ["x", 1, "x"]}}}),
    ],
)
def test_valid_schemas_validate_to_none_and_fingerprint(document):
    text = json.dumps(document)
    assert _veltrinax.validate_dataset_schema_json(text) is None
    digest = _veltrinax.dataset_schema_fingerprint_json(text)
    assert len(digest) == 64 and set(digest) <= set("0123456789abcdef")


def test_fingerprint_is_the_sha256_of_the_canonical_record_text():
    assert fingerprint(FULL) == hashlib.sha256(FULL_CANONICAL.encode()).hexdigest()


@settings(max_examples=50, deadline=None)
@given(st.data())
def test_fingerprint_ignores_the_order_of_samples_sources_groups_and_folds(data):
    document = dict(FULL)
    for key in ("sample_ids", "sources", "groups", "folds"):
        document[key] = data.draw(st.permutations(FULL[key]))
    assert fingerprint(document) == hashlib.sha256(FULL_CANONICAL.encode()).hexdigest()


def put(path, value):
    document = copy.deepcopy(FULL)
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    target[last] = value(target[last]) if callable(value) else value
    return document


@pytest.mark.parametrize(
    "document",
    [
        put(["sources", 0, "native_representation", "axes"], lambda axes: axes[::-1]),
        put(["dataset_id"], "e"),
        put(["sample_ids", 2], "s4"),
        put(["sources", 1, "name"], "other"),
        put(["sources", 0, "tags", "w"], 2.25),
        put(["sources", 0, "native_representation", "axes", 1, "coordinate", "values", "step"], 3),
        put(["targets", "y", "dtype"], None),
        put(["metadata_schema", "fields", "age", "required"], True),
        put(["groups", 0, "strict"], True),
        put(["folds", 0, "split_column"], "split2"),
    ],
)
def test_fingerprint_follows_axis_order_and_every_field(document):
    assert _veltrinax.validate_dataset_schema_json(json.dumps(document)) is None
    assert fingerprint(document) != fingerprint(FULL)


DATETIME = {"dtype": "datetime", "values": {"kind": "explicit", "values": ["2023-02-29T00:00:00Z"]}}

RULE_CASES = [
    (schema(dataset_id="  "), "dataset id must not be empty"),
    (schema([source("s", name=" ")], samples=[]), "dataset schema must contain at least one sample"),
    (schema([source("s"), source("s", name=" ")]), "duplicate source id `s`"),
    (schema([source("s", sample_key="\u3000")]), "source `s` has an empty sample key"),
    (schema([source("s", rep("r.a", rank=2))]), "representation `r.a` has rank 2 but 1 axes"),
    (
        schema([source("s", rep("r.a", axis("sample"), axis("t", "time", coordinate=DATETIME)))]),
        "axis `t` datetime coordinate `2023-02-29T00:00:00Z` is not canonical RFC 3339 UTC seconds "
        "(YYYY-MM-DDThh:mm:ssZ)",
    ),
    (
        schema([source("s", shape_contract={"rank": 3})]),
        "source `s` shape contract expects rank 3 but representation `r.a` has Some(1)",
    ),
    (schema(targets={"y": rep("r.y", axis("f", "feature"))}), "representation `r.y` has no sample axis"),
    (
        schema(metadata_schema={"fields": {"c": {"kind": "categorical"}}}),
        "metadata field `c` is categorical but declares no allowed_values",
    ),
    (
        schema(groups=[{"id": "g", "kind": "batch", "column": "c", "source_id": "zz"}]),
        "group `g` references unknown source `zz`",
    ),
    (schema(folds=[{"id": "f", "group_id": "g"}]), "fold `f` references unknown group `g`"),
]


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
@pytest.mark.parametrize("document, message", RULE_CASES)
def test_rule_violations_raise_contract_errors(name, document, message, rule_error):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        getattr(_veltrinax, name)(json.dumps(document))
    rule_error(info.value, message)


def reader_case(document, fragment, message):
    """A document text and its reader message, placed just past the first `fragment`."""
    text = json.dumps(document, separators=(",", ":")) if not isinstance(document, str) else document
    return text, f"{message} at line 1 column {text.index(fragment) + len(fragment)}"


READER_CASES = [
    reader_case("{}", "}", "missing field `dataset_id`"),
    reader_case("[]", "]", "invalid length 0, expected struct DatasetSchema with 8 elements"),
    reader_case(
        schema(samples=["a", "b c"]),
        '"b c"]',
        "invalid identifier `b c`: identifier contains unsupported characters",
    ),
    reader_case(
        schema([source("s", rep("r.a", axis("sample", units="x")))]),
        '"units"',
        "unknown field `units`, expected one of `name`, `kind`, `unit`, `size`, `variable`, `coordinate`",
    ),
    reader_case(
        schema([source("s", granularity="daily")]),
        '"daily"',
        "unknown variant `daily`, expected one of `per_sample`, `per_sample_repeated`, "
        "`per_sample_sequence`, `per_sample_set`, `per_group`, `per_target`",
    ),
    reader_case(schema(targets=None), "null", "invalid type: null, expected a map"),
    reader_case(
        schema([source("s", rep("r.a", axis("sample", coordinate={"dtype": "numeric", "values": {"values": []}})))]),
        '"values":[]}',
        "missing field `kind`",
    ),
]


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
@pytest.mark.parametrize("text, message", READER_CASES)
def test_unreadable_documents_raise_compatibility_errors(name, text, message, reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(text)
    reader_error(info.value, message)


CATALOGUE_KEYS = [
    "nirs.signal_1d", "nirs.signal_with_processings", "spectroscopy.raman_signal", "spectroscopy.ftir_signal",
    "tabular.numeric", "tabular.mixed", "features.block_set", "series.multivariate",
    "climate.series_multivariate", "genotype.variant_matrix", "genotype.dosage_matrix", "image.rgb",
    "image.gray", "image.multichannel", "image.multispectral", "hyperspectral.cube",
    "image.segmentation_mask", "image.roi_mask", "metadata.sample", "target.numeric", "target.categorical",
    "target.numeric_matrix", "target.categorical_matrix", "mass_spec.spectrum", "text.raw", "text.token_ids",
]  # fmt: skip


def test_catalogues_are_arrays_in_catalogue_order_with_matching_representations():
    models_text = _veltrinax.builtin_data_models_json()
    representations_text = _veltrinax.builtin_representations_json()
    models = json.loads(models_text)
    assert [list(model) for model in models] == [["key", "modality", "representation"]] * 26
    assert [model["key"] for model in models] == CATALOGUE_KEYS
    compact = [json.dumps(model["representation"], separators=(",", ":")) for model in models]
    assert representations_text == "[" + ",".join(compact) + "]"
    assert _veltrinax.builtin_data_models_json() == models_text

    representations = json.loads(representations_text)
    assert [i for i, r in enumerate(representations) if "signal_type" in r] == [0, 1, 2, 3]
    assert [i for i, r in enumerate(representations) if r["dtype"] is None] == [5, 18]
    assert {tuple(a) for r in representations for a in r["axes"]} == {("name", "kind", "unit", "size", "variable")}
    # Each built-in representation is itself a valid dataset representation.
    targets = {f"t{i:02}": r for i, r in enumerate(representations)}
    assert _veltrinax.validate_dataset_schema_json(json.dumps(schema(targets=targets))) is None
