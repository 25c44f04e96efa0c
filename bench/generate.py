"""Seeded generators of realistic contract documents for the benchmarks.

Each generator returns compact JSON text (as the library itself writes it) for a
document of about `n` entries. The same (n, seed) always gives the same bytes.

    python3 bench/generate.py KIND N [--seed S] > doc.json

KIND is one of: relations, folds, schema, plan, relation_folds (the fold set
matching `relations` of the same n and seed, for the cross check).
"""

import argparse
import json
import random
import sys

SOURCES = ("nir", "mir", "raman", "xrf")
TRANSFORMS = ("spectral.noise", "spectral.shift", "baseline.tilt", "scatter.msc")


def _dumps(doc):
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False)


def _hex64(rng):
    return "".join(rng.choice("0123456789abcdef") for _ in range(64))


def _relation_rows(n, seed):
    """The rows of a relation table of exactly n rows, in a shuffled order.

    Samples come in groups of eight (subjects); each sample has one to three
    measured repetitions, and about one row in six is an augmented copy of one of
    the sample's measured observations, so origins never cross a sample."""
    rng = random.Random(seed)
    params = {t: _hex64(rng) for t in TRANSFORMS}
    rows = []
    sample = 0
    obs = 0
    while len(rows) < n:
        sample_id = f"s-{sample:07d}"
        group_id = f"subj-{sample // 8:06d}"
        measured = []
        for rep in range(rng.randint(1, 3)):
            if len(rows) == n:
                break
            observation_id = f"obs-{obs:08d}"
            obs += 1
            measured.append(observation_id)
            metadata = {"batch": rng.randint(1, 40)} if rng.random() < 0.3 else {}
            row = {
                "observation_id": observation_id,
                "sample_id": sample_id,
                "source_id": rng.choice(SOURCES),
                "target_id": "moisture" if rng.random() < 0.9 else None,
                "group_id": group_id,
                "origin_id": None,
                "repetition_id": f"rep-{rep + 1}",
                "augmented": False,
                "excluded": rng.random() < 0.02,
                "metadata": metadata,
            }
            if rng.random() < 0.05:
                row["tags"] = ["qc-review"]
            rows.append(row)
        while measured and len(rows) < n and rng.random() < 0.2:
            transform = rng.choice(TRANSFORMS)
            observation_id = f"obs-{obs:08d}"
            obs += 1
            rows.append(
                {
                    "observation_id": observation_id,
                    "sample_id": sample_id,
                    "source_id": None,
                    "target_id": "moisture",
                    "group_id": group_id,
                    "origin_id": rng.choice(measured),
                    "repetition_id": None,
                    "augmented": True,
                    "excluded": False,
                    "metadata": {},
                    "augmentation": {"transform_id": transform, "params_fingerprint": params[transform]},
                }
            )
        sample += 1
    rng.shuffle(rows)
    return rows


def relations(n, seed=1):
    return _dumps({"rows": _relation_rows(n, seed)})


def _fold_set(samples, groups, rng, fold_count=5):
    """Group k-fold: every group falls in exactly one validation side; train is
    the rest of the universe. Lists and the group map come in shuffled order."""
    group_order = sorted(set(groups.values()))
    rng.shuffle(group_order)
    fold_of_group = {g: i % fold_count for i, g in enumerate(group_order)}
    rng.shuffle(samples)
    fold_of_sample = [fold_of_group[groups[s]] for s in samples]
    folds = []
    for k in range(fold_count):
        validation = [s for s, f in zip(samples, fold_of_sample) if f == k]
        train = [s for s, f in zip(samples, fold_of_sample) if f != k]
        rng.shuffle(validation)
        rng.shuffle(train)
        folds.append(
            {
                "fold_id": f"fold-{k}",
                "train_sample_ids": train,
                "validation_sample_ids": validation,
                "metadata": {"strategy": "group_kfold", "k": fold_count},
            }
        )
    rng.shuffle(folds)
    sample_groups = {s: groups[s] for s in samples}
    return {"id": "cv-group-5fold", "sample_ids": samples, "folds": folds, "sample_groups": sample_groups}


def folds(n, seed=1):
    """A fold set over a universe of n samples in 5 folds."""
    rng = random.Random(seed)
    samples = [f"s-{i:07d}" for i in range(n)]
    groups = {s: f"subj-{i // 8:06d}" for i, s in enumerate(samples)}
    return _dumps(_fold_set(samples, groups, rng))


def relation_folds(n, seed=1):
    """The fold set over the samples and groups of `relations(n, seed)`."""
    groups = {}
    for row in _relation_rows(n, seed):
        groups[row["sample_id"]] = row["group_id"]
    return _dumps(_fold_set(sorted(groups), groups, random.Random(seed + 1)))


def _axis(name, kind, **extra):
    axis = {"name": name, "kind": kind, "unit": None, "size": None, "variable": False}
    axis.update(extra)
    return axis


def _representation(rep_id, type_id, feature_axis, container="ndarray", dtype="float32"):
    return {
        "id": rep_id,
        "type_id": type_id,
        "rank": 2,
        "axes": [_axis("sample", "sample"), feature_axis],
        "container": container,
        "dtype": dtype,
        "sparse": False,
        "ragged": False,
    }


def schema(n, seed=1, source_count=None):
    """A dataset schema with n sample ids and 100 sources (spectra on regular
    wavelength grids, tabular blocks with explicit feature names); a small one
    (under 100 samples) has three sources."""
    if source_count is None:
        source_count = 100 if n >= 100 else 3
    rng = random.Random(seed)
    sample_ids = [f"s-{i:07d}" for i in range(n)]
    rng.shuffle(sample_ids)
    sources = []
    for i in range(source_count):
        if i % 2 == 0:
            size = rng.choice((128, 256, 512))
            axis = _axis(
                "wavelength",
                "wavelength",
                unit="nm",
                size=size,
                coordinate={
                    "dtype": "numeric",
                    "ordered": True,
                    "values": {"kind": "regular_grid", "start": 900.0 + i, "step": 2.0},
                },
            )
            rep = _representation(f"spectra.{i}", "dense_signal", axis)
            rep["signal_type"] = "absorbance"
            contract = {"rank": 2, "axis_sizes": {"wavelength": {"exact": size}}, "allow_ragged": False}
        else:
            names = [f"f{k}" for k in range(rng.randint(4, 12))]
            axis = _axis(
                "feature",
                "feature",
                size=len(names),
                coordinate={"dtype": "categorical", "ordered": False, "values": {"kind": "explicit", "values": names}},
            )
            rep = _representation(f"table.{i}", "tabular", axis, container="dataframe", dtype="float64")
            contract = None
        source = {
            "id": f"src-{i:03d}",
            "name": f"Instrument {i}",
            "type_id": rep["type_id"],
            "modality": "nirs" if i % 2 == 0 else "tabular",
            "native_representation": rep,
            "sample_key": "sample_id",
            "granularity": "per_sample" if i % 3 else "per_sample_repeated",
            "schema": {"file": f"data/source_{i}.parquet"},
            "tags": {"site": rng.choice(("lab-a", "lab-b", "field"))},
        }
        if contract:
            source["shape_contract"] = contract
        sources.append(source)
    rng.shuffle(sources)
    target = {
        "id": "target_numeric",
        "type_id": "target",
        "rank": 1,
        "axes": [_axis("sample", "sample")],
        "container": "array",
        "dtype": "float64",
        "sparse": False,
        "ragged": False,
    }
    groups = [
        {"id": "subject", "kind": "subject", "column": "subject_id", "strict": True},
        {"id": "batch", "kind": "batch", "column": "batch", "source_id": sources[0]["id"], "strict": False},
    ]
    return _dumps(
        {
            "dataset_id": "bench-dataset",
            "sample_ids": sample_ids,
            "sources": sources,
            "targets": {"moisture": target, "protein": dict(target)},
            "metadata": {},
            "metadata_schema": {
                "fields": {
                    "site": {"kind": "categorical", "required": True, "allowed_values": ["lab-a", "lab-b", "field"]},
                    "temperature": {"kind": "number", "required": False, "unit": "degC"},
                }
            },
            "groups": groups,
            "folds": [{"id": "group-5fold", "group_id": "subject"}, {"id": "split", "split_column": "split"}],
        }
    )


def plan(n, seed=1, chain=10):
    """A data plan of n steps: chains of a materialize step and adapt steps, each
    consuming the previous step's output, ending in one join of all chains."""
    rng = random.Random(seed)
    steps = []
    ends = []
    source = 0
    while len(steps) < n - 1:
        source_id = f"src-{source:05d}"
        source += 1
        rep = f"raw.{source_id}"
        steps.append(
            {
                "kind": "materialize",
                "source_id": source_id,
                "adapter_id": None,
                "input_representation": None,
                "output_representation": rep,
                "fit_scope": "stateless",
                "requires_user_choice": False,
                "metadata": {},
            }
        )
        previous = f"src:{source_id}"
        for k in range(1, chain):
            if len(steps) == n - 1:
                break
            out_rep = f"rep.{source_id}.{k}"
            name = f"{source_id}.step{k}"
            steps.append(
                {
                    "kind": "adapt",
                    "source_id": source_id,
                    "adapter_id": rng.choice(("spectra.snv", "spectra.savgol", "spectra.flatten", "table.scale")),
                    "input_representation": rep,
                    "output_representation": out_rep,
                    "fit_scope": rng.choice(("stateless", "fold_train")),
                    "requires_user_choice": False,
                    "metadata": {"input": previous, "output": name},
                }
            )
            previous, rep = name, out_rep
        ends.append(previous)
    steps.append(
        {
            "kind": "join",
            "source_id": None,
            "adapter_id": None,
            "input_representation": None,
            "output_representation": "tabular_numeric",
            "fit_scope": "stateless",
            "requires_user_choice": False,
            "metadata": {"inputs": ends, "output": "port:features"},
        }
    )
    return _dumps({"id": "bench-plan", "steps": steps, "output_representation": "tabular_numeric", "issues": []})


GENERATORS = {
    "relations": relations,
    "folds": folds,
    "schema": schema,
    "plan": plan,
    "relation_folds": relation_folds,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=sorted(GENERATORS))
    parser.add_argument("n", type=int)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    sys.stdout.write(GENERATORS[args.kind](args.n, args.seed))


if __name__ == "__main__":
    main()
