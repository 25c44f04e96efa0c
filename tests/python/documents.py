"""Builders of contract documents, and small documents of every kind that the test
modules share."""

import copy
import json


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def changed(document, path, value):
    """A deep copy of `document` with the member at `path` replaced (or passed through `value`)."""
    document = copy.deepcopy(document)
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    target[last] = value(target[last]) if callable(value) else value
    return document


# --- dataset schemas --------------------------------------------------------------------


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


# --- model inputs and adapters ----------------------------------------------------------


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


# --- data plans -------------------------------------------------------------------------


def step(kind, **members):
    return {"kind": kind, "fit_scope": "stateless", **members}


def materialize(source_id, representation="r.a", **members):
    return step("materialize", source_id=source_id, output_representation=representation, **members)


def plan(steps, output="r.a", plan_id="p", **members):
    return {"id": plan_id, "steps": steps, "output_representation": output, **members}


# --- relation tables and fold sets ------------------------------------------------------


def row(observation, sample, **members):
    return {"observation_id": observation, "sample_id": sample, **members}


def augmented(observation, sample, origin, **members):
    return row(observation, sample, augmented=True, origin_id=origin, **members)


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


# --- shared documents -------------------------------------------------------------------

# A schema, a plan over its source and a relation table over its samples (one row
# outside them, derived from another): the parts of an envelope.
SCHEMA = schema([source("s", rep("r"))], samples=["a", "b"], targets={"y": rep("r")})
PLAN = plan([materialize("s", "r")], "r")
TABLE = table(
    row("o2", "b", source_id="s", target_id="y"),
    row("o1", "a", repetition_id="r1", tags=["t"]),
    augmented("o3", "x", "o1"),
)
FOLDS = fold_set(
    ["s3", "s1", "s2", "s4"],
    fold("f2", ["s2", "s1"], ["s4", "s3"], metadata={"seed": 7}),
    fold("f1", ["s4", "s3"], ["s2", "s1"]),
    sample_groups={"s3": "g2", "s1": "g1"},
)
# s2's observation derives from one of s1: a fold separating them leaks the origin.
ORIGIN_TABLE = table(row("o1", "s1"), augmented("o2", "s2", "o1"), row("o3", "s3"))


def planner_documents(module, pad=None):
    """Schema, model input, registry and request texts: two sources that the built-in
    adapters bring to the built-in model input (one through a stateful adapter)."""
    representations = {r["id"]: r for r in json.loads(module.builtin_representations_json())}

    def native(sid, type_id, rid):
        return {**source(sid, representations[rid], type_id=type_id), "name": sid, "sample_key": "sample_id"}

    planner_schema = schema([native("soil", "table", "tabular_mixed"), native("nir", "dense_signal", "signal_1d")],
                            samples=["s1", "s2"])  # fmt: skip
    spec = json.loads(module.tabular_numeric_model_input_spec_json())
    adapters = json.loads(module.builtin_adapter_registry_json())
    if pad is not None:
        planner_schema["sources"][0]["tags"] = {"pad": pad}
        spec["default_fusion"] = {"alignment": "inner", "pad": pad}
        # The two adapters the plan uses, so that the written plan carries the padding too.
        for a in adapters["adapters"]:
            if a["id"] in ("spectra.identity_features", "tabular.encoder"):
                a["params"] = {"pad": pad}
    request = {"id": "plan", "planning_policy": {"allow_stateful": True}}
    return compact(planner_schema), compact(spec), compact(adapters), compact(request)


def arguments(module, pad=None):
    """For each function with parameters: arguments it accepts, and arguments that read
    in full and then fail a check, with the kind of the failure and its detail. With
    `pad`, a free-form member of every document carries that value."""

    def padded(document, *path):
        document = copy.deepcopy(document)
        if pad is not None:
            target = document
            for key in path:
                target = target.setdefault(key, {}) if isinstance(target, dict) else target[key]
            target["pad"] = pad
        return document

    s = compact(padded(SCHEMA, "sources", 0, "tags"))
    p = compact(padded(PLAN, "steps", 0, "metadata"))
    t = compact(padded(TABLE, "rows", 0, "metadata"))
    f = compact(padded(FOLDS, "folds", 0, "metadata"))
    m = compact(model_input(port(), port("y", rank=2), default_fusion=padded({"alignment": "inner"})))
    r = compact(registry(padded(adapter(), "params"), adapter("a.c", stateful=True, fit_scope="fold_train")))
    planner = planner_documents(module, pad)
    cross_table = compact(padded(ORIGIN_TABLE, "rows", 0, "metadata"))
    envelope = module.build_coordinator_data_plan_envelope_json(s, p, t)
    tampered = changed(json.loads(envelope), ["plan", "id"], "another")

    def broken(text, path, value):
        return compact(changed(json.loads(text), path, value))

    def rule(*args, detail):
        return args, "rule", detail

    schema_rule = rule(broken(s, ["sample_ids"], lambda ids: ids + ["a"]),
                       detail="dataset schema contains duplicate sample ids")
    plan_rule = rule(broken(p, ["output_representation"], "other"),
                     detail="data plan `p` output representation does not match its final step")
    table_rule = rule(broken(t, ["rows"], lambda rows: rows + [row("o1", "a")]), detail="duplicate observation id `o1`")
    folds_rule = rule(broken(f, ["sample_ids"], lambda ids: ids + ["s9"]),
                      detail="sample `s9` appears in validation 0 time(s), expected exactly once")
    cases = {
        "validate_dataset_schema_json": ((s,), schema_rule),
        "dataset_schema_fingerprint_json": ((s,), schema_rule),
        "validate_model_input_spec_json": (
            (m,), rule(broken(m, ["ports"], []), detail="model input spec contains no ports")),
        "validate_adapter_registry_json": (
            (r,), rule(broken(r, ["adapters"], lambda a: a + a[:1]), detail="duplicate adapter id `a.b`")),
        "plan_model_input_json": (
            planner, rule(*planner[:3], broken(planner[3], ["id"], " "), detail="data plan request id is empty")),
        "validate_data_plan_json": ((p,), plan_rule),
        "data_plan_fingerprint_json": ((p,), plan_rule),
        "validate_sample_relation_table_json": ((t,), table_rule),
        "sample_relation_table_fingerprint_json": ((t,), table_rule),
        "validate_fold_set_json": ((f,), folds_rule),
        "fold_set_fingerprint_json": ((f,), folds_rule),
        # s1 trains while s2, whose observation derives from one of s1, is validated: an origin leak.
        "validate_fold_set_against_sample_relations_json": (
            (compact(padded(two_folds(["s1", "s2"], ["s3"]), "folds", 0, "metadata")), cross_table),
            ((compact(padded(two_folds(["s1"], ["s2"]), "folds", 0, "metadata")), cross_table), "origin",
             "fold `f` leaks augmentation origin `o1` across train/validation"),
        ),
        "build_coordinator_data_plan_envelope_json": (
            (s, p, t), rule(s, p, broken(t, ["rows"], lambda rows: rows + [row("o9", "z")]),
                            detail="relation references undeclared sample `z`"),
        ),
        "validate_coordinator_data_plan_envelope_json": (
            (envelope,), ((compact(tampered),), "plan", module.data_plan_fingerprint_json(compact(tampered["plan"]))),
        ),
    }  # fmt: skip
    return cases


def valid_arguments(module, pad=None):
    """Arguments each of the twenty functions accepts, by name."""
    return {name: () for name in module.__all__[4:10]} | {name: v for name, (v, _) in arguments(module, pad).items()}


def outcome(function, args):
    """What a call ends with: its result, or everything its exception carries."""
    try:
        return ("returned", function(*args))
    except Exception as error:  # noqa: BLE001 - the class is part of the outcome
        return (type(error), str(error), getattr(error, "descriptor_json", None), getattr(error, "__notes__", None))
