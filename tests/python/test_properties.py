"""Generated documents of every contract type through the module.

Valid documents validate; fingerprints ignore layout and the orders the canonical
form sorts, and follow every other change; the texts the module writes read back to
the same texts; arbitrary text or JSON only ever ends in a result or one of the
module's errors. VELTRINAX_PROPERTY_SCALE multiplies the number of examples
(for example 20 for a long run)."""

import copy
import json
import os
import random
import string

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _veltrinax
from documents import (adapter, axis, compact, fold, fold_set, model_input, plan, port, registry, rep, row, schema,
                       source, step, table)  # fmt: skip

SCALE = float(os.environ.get("VELTRINAX_PROPERTY_SCALE", "1"))


def examples(count):
    return settings(
        max_examples=max(1, int(count * SCALE)),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# --- building blocks ------------------------------------------------------------------

# No upper case: mutations append "Z", so a renamed identifier never meets an existing one.
ids = st.text(string.ascii_lowercase + string.digits + "-._", min_size=1, max_size=6)
names = st.text(string.ascii_lowercase + string.digits + "-./:_", min_size=1, max_size=8)
# Never blank: free texts carry escapes, control characters and non-BMP characters.
texts = st.builds("{}x{}".format, st.text(max_size=4), st.text(max_size=4))
finite = st.floats(-1e9, 1e9, allow_nan=False)
scalars = st.none() | st.booleans() | st.integers(-(2**53), 2**53) | finite | st.text(max_size=5)
values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=3,
)
free_maps = st.dictionaries(texts, values, max_size=2)
hexes = st.text("0123456789abcdef", min_size=64, max_size=64) | st.text("0123456789ABCDEF", min_size=64, max_size=64)


def optional(strategy):
    return st.none() | strategy


def unique(strategy, min_size=0, max_size=4):
    return st.lists(strategy, min_size=min_size, max_size=max_size, unique=True)


def pool(choices):
    """An optional reference into `choices`; any identifier when there is no pool to respect."""
    if choices is None:
        return optional(ids)
    return optional(st.sampled_from(choices)) if choices else st.none()


AXIS_KINDS = ["feature", "processing", "time", "height", "width", "channel", "node", "edge", "variant", "token",
              "target", "wavelength", "wavenumber", "frequency", "depth"]  # fmt: skip
SIGNALS = ["absorbance", "reflectance", "transmittance", "log_reflectance", "preprocessed", "unknown"]
GRANULARITIES = ["per_sample", "per_sample_repeated", "per_sample_sequence", "per_sample_set", "per_group",
                 "per_target"]  # fmt: skip
VALUE_KINDS = ["string", "number", "integer", "boolean", "date", "datetime", "categorical", "json"]
GROUP_KINDS = ["repetition_group", "subject", "batch", "split", "custom"]
SCOPES = ["stateless", "fold_train", "full_train", "inference_only"]
STEP_KINDS = ["adapt", "align", "join", "collate", "materialize"]
RESERVED_STEP_KEYS = {"input", "inputs", "output"}
ENUMERATIONS = [["sample", *AXIS_KINDS], SIGNALS, GRANULARITIES, VALUE_KINDS, GROUP_KINDS, SCOPES, STEP_KINDS]


# --- dataset schemas ------------------------------------------------------------------


@st.composite
def axes(draw, kind=None):
    size = draw(optional(st.integers(1, 4)))
    members = {"unit": draw(optional(texts)), "size": size, "variable": size is None and draw(st.booleans())}
    if size is not None and draw(st.booleans()):
        if draw(st.booleans()):
            grid = {"kind": "regular_grid", "start": draw(finite), "step": draw(finite.filter(bool))}
            members["coordinate"] = {"dtype": "numeric", "ordered": True, "values": grid}
        else:
            labels = draw(unique(st.text(min_size=1, max_size=3), size, size))
            members["coordinate"] = {
                "dtype": "categorical",
                "ordered": draw(st.booleans()),
                "values": {"kind": "explicit", "values": labels},
            }
    return axis(draw(texts), kind or draw(st.sampled_from(AXIS_KINDS)), **members)


@st.composite
def representations(draw, rid=ids, type_id=ids):
    shape = draw(st.permutations([draw(axes("sample"))] + draw(st.lists(axes(), max_size=1))))
    ragged = draw(st.booleans())
    members = {
        "type_id": draw(type_id),
        "rank": None if ragged and draw(st.booleans()) else len(shape),
        "container": draw(texts),
        "dtype": draw(optional(texts)),
        "sparse": draw(st.booleans()),
        "ragged": ragged,
    }
    signal = draw(optional(st.sampled_from(SIGNALS)))
    if signal:
        members["signal_type"] = signal
    return rep(draw(rid), *shape, **members)


@st.composite
def sources(draw, source_id):
    native = draw(representations())
    members = {
        "name": draw(texts),
        "type_id": draw(ids),
        "modality": draw(st.text(max_size=4)),
        "sample_key": draw(texts),
        "granularity": draw(st.sampled_from(GRANULARITIES)),
        "schema": draw(free_maps),
        "tags": draw(free_maps),
    }
    if draw(st.booleans()):
        contract = {"allow_ragged": native["ragged"] or draw(st.booleans())}
        if native["rank"] is not None and draw(st.booleans()):
            contract["rank"] = native["rank"]
        # The first axis is the one a lookup by its name finds.
        first = native["axes"][0]
        if first["size"] is not None:
            bounds = {"min": first["size"], "max": first["size"] + draw(st.integers(0, 2))}
            contract["axis_sizes"] = {first["name"]: bounds}
        elif first["variable"]:
            contract["axis_sizes"] = {first["name"]: {"exact": draw(st.integers(0, 9))}}
        if len(contract) > 1:
            members["shape_contract"] = contract
    return source(source_id, native, **members)


@st.composite
def metadata_fields(draw):
    kind = draw(st.sampled_from(VALUE_KINDS))
    field = {"kind": kind, "required": draw(st.booleans()), "unit": draw(optional(texts))}
    allowed = draw(st.lists(values, min_size=kind == "categorical", max_size=2))
    if allowed:
        field["allowed_values"] = allowed
    if draw(st.booleans()):
        field["description"] = draw(st.text(max_size=4))
    return field


@st.composite
def schemas(draw, min_sources=0):
    source_ids = draw(unique(ids, min_sources, 3))
    group_ids = draw(unique(ids, 0, 3))
    groups = [
        {
            "id": group_id,
            "kind": draw(st.sampled_from(GROUP_KINDS)),
            "column": draw(texts),
            "source_id": draw(pool(source_ids)),
            "strict": draw(st.booleans()),
            "metadata": draw(free_maps),
        }
        for group_id in group_ids
    ]
    folds = []
    for fold_id in draw(unique(texts, 0, 3)):
        spec = {"id": fold_id, "group_id": draw(pool(group_ids)), "metadata": draw(free_maps)}
        if spec["group_id"] is None or draw(st.booleans()):
            spec["split_column"] = draw(texts)
        folds.append(spec)
    members = {
        "dataset_id": draw(texts),
        "targets": draw(st.dictionaries(ids, representations(), max_size=1)),
        "metadata": draw(st.dictionaries(st.text(max_size=3), representations(), max_size=1)),
        "groups": groups,
        "folds": folds,
    }
    if draw(st.booleans()):
        members["metadata_schema"] = {"fields": draw(st.dictionaries(texts, metadata_fields(), min_size=1, max_size=2))}
    return schema([draw(sources(s)) for s in source_ids], samples=draw(unique(ids, 1, 5)), **members)


# --- model inputs, adapter registries, data plans -------------------------------------


@st.composite
def ports(draw, representation_ids=ids, type_ids=ids):
    return port(
        draw(names),
        draw(st.lists(representation_ids, min_size=1, max_size=2)),
        draw(st.lists(type_ids, min_size=1, max_size=2)),
        rank=draw(optional(st.integers(0, 4))),
        multi_source=draw(st.booleans()),
        optional=draw(st.booleans()),
    )


@st.composite
def model_inputs(draw, port_strategy=ports(), fusion=optional(values)):
    return model_input(
        *draw(st.lists(port_strategy, min_size=1, max_size=3, unique_by=lambda p: p["name"])),
        default_fusion=draw(fusion),
    )


@st.composite
def adapters(draw, adapter_id, nodes=None, costs=st.integers(0, 2**64 - 1)):
    (input_type, input_representation), (output_type, output_representation) = (
        draw(st.sampled_from(nodes) if nodes else st.tuples(ids, ids)) for _ in range(2)
    )
    stateful = draw(st.booleans())
    members = {
        "version": draw(names),
        "input_type": input_type,
        "input_representation": input_representation,
        "output_type": output_type,
        "output_representation": output_representation,
        "cost": draw(costs),
        "lossy": draw(st.booleans()),
        "supervised": draw(st.booleans()),
        "stateful": stateful,
        "fit_scope": draw(st.sampled_from(SCOPES[1:] if stateful else SCOPES)),
        "params": draw(free_maps),
    }
    if draw(st.booleans()):
        members["deterministic"] = True
    return adapter(adapter_id, **members)


@st.composite
def registries(draw):
    return registry(*(draw(adapters(adapter_id)) for adapter_id in draw(unique(names, 0, 4))))


@st.composite
def data_plans(draw, source_ids=None):
    """A consistent data flow: every input names an earlier output of a matching representation."""
    source_ids = source_ids or draw(unique(ids, 1, 3))
    steps, outputs = [], {}
    for index in range(draw(st.integers(1, 6))):
        kind = draw(st.sampled_from(STEP_KINDS)) if index else "materialize"
        metadata = draw(st.dictionaries(texts.filter(lambda k: k not in RESERVED_STEP_KEYS), values, max_size=2))
        members = {
            "fit_scope": draw(st.sampled_from(SCOPES)),
            "requires_user_choice": draw(st.booleans()),
            "output_representation": draw(optional(ids)),
            "metadata": metadata,
        }
        if kind == "materialize":
            members["source_id"] = draw(st.sampled_from(source_ids))
            output = "src:" + members["source_id"]
            if output in outputs or draw(st.booleans()):
                output = metadata["output"] = f"o{index}"
        else:
            consumed = draw(st.lists(st.sampled_from(sorted(outputs)), min_size=1, max_size=2))
            if kind == "adapt" or draw(st.booleans()):
                metadata["input"], consumed = consumed[0], consumed[1:]
            if consumed:
                metadata["inputs"] = consumed
            before = {outputs[name] for name in [metadata.get("input"), *consumed] if name} - {None}
            members["input_representation"] = before.pop() if len(before) == 1 and draw(st.booleans()) else None
            members["source_id"] = draw(pool(source_ids))
            members["adapter_id"] = draw(names if kind == "adapt" else optional(names))
            output = f"o{index}" if kind == "adapt" or draw(st.booleans()) else None
            if output:
                metadata["output"] = output
        if output is not None:
            outputs[output] = members["output_representation"]
        steps.append(step(kind, **members))
    issue = st.fixed_dictionaries(
        {"code": st.text(max_size=4), "message": st.text(max_size=6)},
        optional={"choices": st.lists(st.text(max_size=3))},
    )
    issues = draw(st.lists(issue, max_size=2))
    last = steps[-1]["output_representation"]
    return plan(steps, last or draw(ids), plan_id=draw(texts), issues=issues)


# --- relation tables and fold sets ----------------------------------------------------


@st.composite
def relation_tables(draw, samples=None, sources=None, targets=None):
    """Rows over the given samples, sources and targets (any identifiers when not given)."""
    samples = samples or draw(unique(ids, 1, 4))
    group_of = {sample: draw(optional(ids)) for sample in samples}
    observations = draw(unique(ids, 1, 6))
    rows = []
    for observation in observations:
        sample = draw(st.sampled_from(samples))
        members = {
            "source_id": draw(pool(sources)),
            "target_id": draw(pool(targets)),
            "group_id": group_of[sample] if draw(st.booleans()) else None,
            "repetition_id": draw(optional(ids)),
            "excluded": draw(st.booleans()),
            "metadata": draw(st.dictionaries(st.text(max_size=3), values, max_size=2)),
            "tags": draw(st.lists(st.text(max_size=3), max_size=2)),
        }
        origins = [o for o in observations if o != observation]
        if origins and draw(st.booleans()):
            members.update(augmented=True, origin_id=draw(st.sampled_from(origins)))
            if draw(st.booleans()):
                members["augmentation"] = {
                    "transform_id": draw(texts),
                    "params_fingerprint": draw(optional(hexes)),
                    "metadata": draw(free_maps),
                }
        rows.append(row(observation, sample, **members))
    return table(*rows)


@st.composite
def fold_sets(draw):
    """Every sample validated exactly once, and no fold trains on a group it validates."""
    samples = draw(unique(ids, 1, 6))
    fold_ids = draw(unique(texts, 1, len(samples)))
    # The fold validating each sample: every fold gets one, the rest go anywhere.
    extra = len(samples) - len(fold_ids)
    anywhere = draw(st.lists(st.integers(0, len(fold_ids) - 1), min_size=extra, max_size=extra))
    owners = draw(st.permutations(list(range(len(fold_ids))) + anywhere))
    group_of = {s: draw(st.sampled_from(["g1", "g2"]) | ids) for s in samples if draw(st.booleans())}
    folds = []
    for index, fold_id in enumerate(fold_ids):
        validation = [s for s, owner in zip(samples, owners) if owner == index]
        blocked = {group_of[s] for s in validation if s in group_of}
        candidates = [s for s in samples if s not in validation and group_of.get(s) not in blocked]
        train = draw(unique(st.sampled_from(candidates), 0, len(candidates))) if candidates else []
        metadata = draw(st.dictionaries(st.text(max_size=3), values, max_size=2))
        folds.append(fold(fold_id, train, validation, **({"metadata": metadata} if metadata else {})))
    return fold_set(samples, *folds, id=draw(texts), sample_groups=group_of)


@st.composite
def matching_tables(draw, folds):
    """A relation table over exactly the fold set's samples, agreeing with its groups, whose
    augmented rows derive from rows of their own sample (so nothing leaks)."""
    rows = []
    for sample in folds["sample_ids"]:
        group = folds["sample_groups"].get(sample)
        first = f"o{len(rows)}"
        rows.append(row(first, sample, group_id=group if draw(st.booleans()) else None))
        for _ in range(draw(st.integers(0, 2))):
            rows.append(row(f"o{len(rows)}", sample, augmented=True, origin_id=first, group_id=group))
    return table(*draw(st.permutations(rows)))


# --- permutations and mutations -------------------------------------------------------


def permuted(data, document, keys):
    return {**document, **{key: data.draw(st.permutations(document[key])) for key in keys if key in document}}


def permute_schema(data, document):
    return permuted(data, document, ["sample_ids", "sources", "groups", "folds"])


def permute_table(data, document):
    return permuted(data, document, ["rows"])


def permute_fold_set(data, document):
    members = ["train_sample_ids", "validation_sample_ids"]
    document = permuted(data, document, ["sample_ids", "folds"])
    return {**document, "folds": [permuted(data, f, members) for f in document["folds"]]}


def leaves(value, path=()):
    """Paths of the strings, numbers and booleans of a JSON value (object keys are not leaves)."""
    if isinstance(value, dict):
        for key, member in value.items():
            yield from leaves(member, (*path, key))
    elif isinstance(value, list):
        for index, element in enumerate(value):
            yield from leaves(element, (*path, index))
    elif value is not None:
        yield path


def at(document, path):
    for key in path:
        document = document[key]
    return document


def renamed(value, old, new):
    """`value` with the string `old` replaced by `new` wherever it stands, keys included,
    so that references stay consistent."""
    if isinstance(value, dict):
        return {(new if key == old else key): renamed(member, old, new) for key, member in value.items()}
    if isinstance(value, list):
        return [renamed(element, old, new) for element in value]
    return new if value == old and isinstance(value, str) else value


def mutations(document):
    """Every one-field change of a document: each boolean flipped, each number increased,
    each enumeration value replaced by the next one, each distinct string renamed
    wherever it stands."""
    renamed_already = set()
    for path in leaves(document):
        value = at(document, path)
        if isinstance(value, str):
            if value not in renamed_already:
                renamed_already.add(value)
                yield renamed(document, value, value + "Z")
            replacements = [e[(e.index(value) + 1) % len(e)] for e in ENUMERATIONS if value in e]
        else:
            replacements = [(not value) if isinstance(value, bool) else value + 1]
        for replacement in replacements:
            changed = copy.deepcopy(document)
            *parents, last = path
            at(changed, parents)[last] = replacement
            yield changed


def shuffled_keys(value, rng):
    """The same JSON value with the members of every object in another order."""
    if isinstance(value, dict):
        items = list(value.items())
        rng.shuffle(items)
        return {key: shuffled_keys(member, rng) for key, member in items}
    if isinstance(value, list):
        return [shuffled_keys(element, rng) for element in value]
    return value


def layouts(data, document):
    """The same document in another text: keys reordered, indented or not, escaped or not."""
    indent = data.draw(st.sampled_from([None, 0, 2]))
    shuffled = shuffled_keys(document, random.Random(data.draw(st.integers(0, 2**32))))
    return json.dumps(shuffled, indent=indent, ensure_ascii=data.draw(st.booleans()))


# --- valid documents ------------------------------------------------------------------

v = _veltrinax

FINGERPRINTED = {
    "schema": (schemas(), v.validate_dataset_schema_json, v.dataset_schema_fingerprint_json, permute_schema),
    "plan": (data_plans(), v.validate_data_plan_json, v.data_plan_fingerprint_json, None),
    "relations": (
        relation_tables(),
        v.validate_sample_relation_table_json,
        v.sample_relation_table_fingerprint_json,
        permute_table,
    ),
    "folds": (fold_sets(), v.validate_fold_set_json, v.fold_set_fingerprint_json, permute_fold_set),
}
VALIDATED = {
    "model input": (model_inputs(), v.validate_model_input_spec_json),
    "registry": (registries(), v.validate_adapter_registry_json),
}


@pytest.mark.parametrize("kind", VALIDATED)
@examples(30)
@given(data=st.data())
def test_generated_documents_validate_in_any_layout(kind, data):
    strategy, validate = VALIDATED[kind]
    document = data.draw(strategy)
    assert validate(json.dumps(document)) is None
    assert validate(layouts(data, document)) is None


@pytest.mark.parametrize("kind", FINGERPRINTED)
@examples(30)
@given(data=st.data())
def test_fingerprints_ignore_layout_and_the_sorted_orders(kind, data):
    strategy, validate, fingerprint, permute = FINGERPRINTED[kind]
    document = data.draw(strategy)
    assert validate(json.dumps(document)) is None
    digest = fingerprint(json.dumps(document))
    assert len(digest) == 64 and set(digest) <= set("0123456789abcdef")
    assert fingerprint(layouts(data, document)) == digest
    if permute:
        assert fingerprint(layouts(data, permute(data, document))) == digest


@pytest.mark.parametrize("kind", FINGERPRINTED)
@examples(15)
@given(data=st.data())
def test_fingerprints_follow_every_field(kind, data):
    strategy, validate, fingerprint, _ = FINGERPRINTED[kind]
    document = data.draw(strategy)
    original = fingerprint(json.dumps(document))
    for changed in map(json.dumps, mutations(document)):
        try:
            validate(changed)
        except _veltrinax.VeltrinaxError:
            continue  # the change broke a rule: not a question for the fingerprint
        assert fingerprint(changed) != original, changed


@examples(25)
@given(data=st.data())
def test_a_fold_set_passes_against_a_table_that_agrees_with_it(data):
    folds = data.draw(fold_sets())
    relations = data.draw(matching_tables(folds))
    assert v.validate_fold_set_against_sample_relations_json(json.dumps(folds), json.dumps(relations)) is None


@st.composite
def envelope_parts(draw):
    """A schema with at least one source, a plan over its sources and, maybe, a relation table
    over its samples, sources and targets."""
    document = draw(schemas(min_sources=1))
    source_ids = [s["id"] for s in document["sources"]]
    relations = draw(optional(relation_tables(document["sample_ids"], source_ids, list(document["targets"]))))
    return document, draw(data_plans(source_ids)), relations


@examples(20)
@given(data=st.data())
def test_built_envelopes_revalidate_and_rebuild_to_the_same_text(data):
    document, data_plan, relations = data.draw(envelope_parts())
    texts_in = [json.dumps(document), json.dumps(data_plan)] + ([json.dumps(relations)] if relations else [])
    text = v.build_coordinator_data_plan_envelope_json(*texts_in)
    envelope = json.loads(text)
    assert envelope["schema_version"] == 1
    assert envelope["schema_fingerprint"] == v.dataset_schema_fingerprint_json(texts_in[0])
    assert envelope["plan_fingerprint"] == v.data_plan_fingerprint_json(texts_in[1])
    expected_relations = v.sample_relation_table_fingerprint_json(texts_in[2]) if relations else None
    assert envelope["relation_fingerprint"] == expected_relations
    assert v.validate_coordinator_data_plan_envelope_json(text) is None
    assert v.validate_coordinator_data_plan_envelope_json(layouts(data, envelope)) is None
    # The plan as the envelope wrote it reads back to the same envelope.
    assert v.build_coordinator_data_plan_envelope_json(texts_in[0], compact(envelope["plan"]), *texts_in[2:]) == text
    # Reordering what the schema fingerprint sorts changes nothing either.
    permuted_schema = layouts(data, permute_schema(data, document))
    assert v.build_coordinator_data_plan_envelope_json(permuted_schema, *texts_in[1:]) == text


NODES = [("t", "r0"), ("t", "r1"), ("t", "r2"), ("u", "r0"), ("u", "r3")]


@st.composite
def planning_requests(draw):
    """A small world of nodes: sources sitting on them, adapters between them, ports accepting them."""
    source_ids = draw(unique(ids, 1, 3))
    native = [draw(st.sampled_from(NODES)) for _ in source_ids]
    document = schema(
        [
            source(s, draw(representations(st.just(r), st.just(t))), type_id=t)
            for s, (t, r) in zip(source_ids, native)
        ],
        samples=draw(unique(ids, 1, 3)),
    )
    adapter_ids = draw(unique(names, 0, 6))
    registry_document = registry(*(draw(adapters(a, NODES, st.integers(0, 3))) for a in adapter_ids))
    node_types = st.sampled_from(sorted({t for t, _ in NODES}))
    node_representations = st.sampled_from(sorted({r for _, r in NODES}))
    fusion = optional(st.fixed_dictionaries({"alignment": st.sampled_from(["inner", "left", "outer"])}))
    spec = draw(model_inputs(ports(node_representations, node_types), fusion))
    policy = {
        "allow_lossy": draw(st.booleans()),
        "allow_stateful": draw(st.booleans()),
        "allow_supervised": draw(st.booleans()),
        "forbidden_adapters": draw(st.lists(st.sampled_from(adapter_ids))) if adapter_ids else [],
        "preferred_adapters": draw(st.lists(st.sampled_from(adapter_ids))) if adapter_ids else [],
        "require_user_choice_on_ambiguity": draw(st.booleans()),
        "max_hops": draw(optional(st.integers(0, 3))),
    }
    request = {"id": draw(texts), "planning_policy": policy}
    if draw(st.booleans()):
        request["source_ids"] = draw(st.permutations(source_ids))
    return document, spec, registry_document, request


@examples(30)
@given(data=st.data())
def test_planned_data_plans_validate_and_are_carried_unchanged(data):
    texts_in = [json.dumps(d) for d in data.draw(planning_requests())]
    try:
        written = v.plan_model_input_json(*texts_in)
    except _veltrinax.VeltrinaxError as error:
        assert type(error) is _veltrinax.VeltrinaxContractError
        return
    assert v.validate_data_plan_json(written) is None
    envelope = v.build_coordinator_data_plan_envelope_json(texts_in[0], written)
    assert f',"plan":{written},' in envelope
    assert json.loads(envelope)["plan_fingerprint"] == v.data_plan_fingerprint_json(written)


# --- arbitrary input ------------------------------------------------------------------

any_json = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=12,
)


@st.composite
def corrupted(draw, strategy):
    """A valid document with one part (or the whole) replaced by an arbitrary JSON value."""
    document = draw(strategy)
    paths = [()]

    def collect(value, path):
        if isinstance(value, (dict, list)):
            for key in value if isinstance(value, dict) else range(len(value)):
                paths.append((*path, key))
                collect(value[key], (*path, key))

    collect(document, ())
    path = draw(st.sampled_from(paths))
    if not path:
        return draw(any_json)
    *parents, last = path
    at(document, parents)[last] = draw(any_json)
    return document


@st.composite
def built_envelopes(draw):
    document, data_plan, relations = draw(envelope_parts())
    extra = [json.dumps(relations)] if relations else []
    return json.loads(v.build_coordinator_data_plan_envelope_json(json.dumps(document), json.dumps(data_plan), *extra))


# What each parameter holds when it is valid.
DOCUMENTS = {
    "schema_json": schemas(),
    "model_input_json": model_inputs(),
    "adapter_registry_json": registries(),
    "request_json": st.builds(lambda i, s: {"id": i, "source_ids": s}, texts, optional(st.lists(ids, max_size=2))),
    "data_plan_json": data_plans(),
    "sample_relations_json": relation_tables(),
    "fold_set_json": fold_sets(),
}
ARGUMENT_KINDS = {
    "validate_dataset_schema_json": ["schema_json"],
    "dataset_schema_fingerprint_json": ["schema_json"],
    "validate_model_input_spec_json": ["model_input_json"],
    "validate_adapter_registry_json": ["adapter_registry_json"],
    "plan_model_input_json": ["schema_json", "model_input_json", "adapter_registry_json", "request_json"],
    "validate_data_plan_json": ["data_plan_json"],
    "data_plan_fingerprint_json": ["data_plan_json"],
    "validate_sample_relation_table_json": ["sample_relations_json"],
    "sample_relation_table_fingerprint_json": ["sample_relations_json"],
    "validate_fold_set_json": ["fold_set_json"],
    "fold_set_fingerprint_json": ["fold_set_json"],
    "validate_fold_set_against_sample_relations_json": ["fold_set_json", "sample_relations_json"],
    "build_coordinator_data_plan_envelope_json": ["schema_json", "data_plan_json", "sample_relations_json"],
    "validate_coordinator_data_plan_envelope_json": ["envelope"],
}
CLASS_BY_CATEGORY = {
    "validation": _veltrinax.VeltrinaxValidationError,
    "data": _veltrinax.VeltrinaxContractError,
    "compatibility": _veltrinax.VeltrinaxCompatibilityError,
}


def valid(parameter):
    return (built_envelopes() if parameter == "envelope" else DOCUMENTS[parameter]).map(json.dumps)


def broken(parameter):
    document = built_envelopes() if parameter == "envelope" else DOCUMENTS[parameter]
    return st.text() | any_json.map(json.dumps) | corrupted(document).map(json.dumps)


@pytest.mark.parametrize("name", ARGUMENT_KINDS)
@examples(20)
@given(data=st.data())
def test_arbitrary_input_returns_or_raises_a_module_error(name, data):
    # Valid texts up to a broken one, so that every position is reached; anything after it.
    parameters = ARGUMENT_KINDS[name]
    first_broken = data.draw(st.integers(0, len(parameters)))
    args = [
        data.draw(valid(p) if i < first_broken else broken(p) if i == first_broken else valid(p) | broken(p), label=p)
        for i, p in enumerate(parameters)
    ]
    try:
        result = getattr(_veltrinax, name)(*args)
    except _veltrinax.VeltrinaxError as error:
        # A translated error: its class follows its category and its descriptor agrees with it.
        assert type(error) is CLASS_BY_CATEGORY[error.category]
        descriptor = json.loads(error.descriptor_json)
        assert (descriptor["message"], descriptor["code"]) == (str(error), error.code)
        assert error.context == json.loads(error.context_json)
        return
    except (TypeError, MemoryError):
        return
    if name.startswith("validate_"):
        assert result is None
    else:
        assert type(result) is str
