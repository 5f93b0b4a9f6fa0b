"""A study expanded into its samples. A sample's id is made from its phantom
and its condition, not from its position, so adding doses or phantoms to a
study keeps every existing id; its seeds come from the study seed and its id
alone, so any sample can be remade by itself, anywhere."""

import csv
import hashlib
import io
import json
from dataclasses import asdict, dataclass

from .schema import Condition, Phantom, Study

FORMAT = "tomstudy-sample 1"


@dataclass(frozen=True)
class Sample:
    id: str
    phantom: Phantom
    condition: Condition
    noise_seed: int | None
    file: str            # relative to the output folder
    key: str             # digest of everything that decides the sample's contents


def derive_seed(study_seed, sample_id, purpose):
    """A 63-bit seed that depends on (study seed, sample id, purpose) only."""
    text = f"{study_seed}\0{sample_id}\0{purpose}".encode()
    return int.from_bytes(hashlib.sha256(text).digest()[:8], "little") >> 1


def parameters(study, phantom, condition):
    """Everything that decides a sample's arrays and stored form, as plain data."""
    params = {
        "format": FORMAT,
        "study_seed": study.seed,
        "phantom": {k: v for k, v in asdict(phantom).items() if v not in (None, ())},
        "condition": {"i0": condition.i0, "electronic": condition.electronic, "mu": condition.mu},
        "projection": study.projection,
        "reconstructions": [{"name": r.name, "method": r.method, **dict(r.options)}
                            for r in study.reconstructions],
        "metrics": study.metrics,
        "store": asdict(study.store),
    }
    # A study of the defined scan without these keeps the keys it always had.
    if study.geometry is not None:
        params["geometry"] = study.geometry.to_toml_text()
    if study.spectral is not None:
        params["spectral"] = asdict(study.spectral)
    return params


def expand(study: Study):
    """The samples of a study in a fixed order: phantom by phantom, each with
    all its conditions (the conditions of a phantom share one projection)."""
    samples = []
    for phantom in study.phantoms:
        for condition in study.conditions:
            sample_id = f"{phantom.label}__{condition.label}"
            seed = None if condition.i0 is None else derive_seed(study.seed, sample_id, "noise")
            params = parameters(study, phantom, condition)
            params["noise_seed"] = seed
            digest = hashlib.sha256(json.dumps(params, sort_keys=True).encode()).hexdigest()
            samples.append(Sample(sample_id, phantom, condition, seed,
                                  f"{study.store.folder}/{sample_id}.h5", digest))
    return samples


def groups(samples):
    """Samples grouped by phantom, in study order."""
    out = {}
    for s in samples:
        out.setdefault(s.phantom.label, []).append(s)
    return list(out.values())


COLUMNS = ("id", "file", "phantom", "phantom_kind", "phantom_seed", "phantom_file",
           "i0", "electronic", "mu", "noise_seed")


def row(sample):
    p, c = sample.phantom, sample.condition
    return {"id": sample.id, "file": sample.file, "phantom": p.label, "phantom_kind": p.kind,
            "phantom_seed": "" if p.seed is None else p.seed, "phantom_file": p.path or "",
            "i0": "" if c.i0 is None else repr(c.i0), "electronic": repr(c.electronic),
            "mu": "" if c.mu is None else repr(c.mu),
            "noise_seed": "" if sample.noise_seed is None else sample.noise_seed}


def manifest_csv(samples):
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    for s in samples:
        writer.writerow(row(s))
    return text.getvalue()
