"""The work of a study, as plain functions of their arguments: they run the
same in this process or on any Dask worker, and a sample's arrays depend on
its parameters and seeds only."""

import os
import socket
import time
from dataclasses import dataclass

from . import steps, store
from .manifest import FORMAT


@dataclass(frozen=True)
class Plan:
    """What every sample of a study does, without the description's text."""
    study: str
    seed: int
    projection: str
    reconstructions: tuple
    metrics: tuple
    store: object

    @classmethod
    def of(cls, study):
        return cls(study.name, study.seed, study.projection, tuple(study.reconstructions),
                   tuple(study.metrics), study.store)


def shared_arrays(plan, threads, out_dir):
    """What every sample needs and none changes: tomrec's weights, and SIRT's
    sums in the output folder's "shared" folder."""
    return steps.make_shared(plan.reconstructions, threads, os.path.join(out_dir, "shared", "system-sums"))


def phantom_sources(phantoms, projection, threads):
    """Phantoms and their noise-free projections, several at once through the
    batch kernel; one source per phantom."""
    t0 = time.perf_counter()
    made = [steps.make_phantom(p) for p in phantoms]
    t1 = time.perf_counter()
    stacks = steps.project(projection, [v for v, _ in made], [d for _, d in made], threads)
    t2 = time.perf_counter()
    share = 1.0 / len(phantoms)
    return [{"phantom": volume, "projection": stacks[i],
             "timings": {"phantom": (t1 - t0) * share, "projection": (t2 - t1) * share}}
            for i, (volume, _) in enumerate(made)]


def pick(sources, index):
    return sources[index]


def run_sample(source, shared, sample, plan, out_dir, threads):
    """Noise, reconstructions and metrics of one sample, written to its file.
    Returns the sample's id, metrics and timings."""
    start = time.perf_counter()
    path = os.path.join(out_dir, sample.file)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        raise RuntimeError(f"{socket.gethostname()} cannot see the output folder {folder}: "
                           "the workers must share a file system with the run")
    timings = dict(source["timings"])
    phantom, stack = source["phantom"], source["projection"]
    noisy, noise_figures = None, {}
    if sample.condition.i0 is not None:
        t = time.perf_counter()
        noisy, noise_figures = steps.add_noise(stack, sample.condition, sample.noise_seed, threads)
        timings["noise"] = time.perf_counter() - t
    data = stack if noisy is None else noisy
    volumes, metrics = {}, {}
    for recon in plan.reconstructions:
        t = time.perf_counter()
        volumes[recon.name] = steps.reconstruct(recon, data, shared, threads)
        timings["reconstruction." + recon.name] = time.perf_counter() - t
        if plan.metrics:
            t = time.perf_counter()
            metrics[recon.name] = steps.measure(plan.metrics, phantom, volumes[recon.name])
            timings["metrics." + recon.name] = time.perf_counter() - t

    kept = plan.store
    arrays = {}
    if kept.phantom:
        arrays["phantom"] = (phantom, kept.phantom)
    if kept.projections:
        arrays["projections"] = (stack, kept.projections)
    if kept.noisy and noisy is not None:
        arrays["noisy"] = (noisy, kept.noisy)
    if kept.reconstructions:
        for name, volume in volumes.items():
            arrays["reconstructions/" + name] = (volume, kept.reconstructions)
    timings["all_steps"] = time.perf_counter() - start
    attributes = {
        "format": FORMAT,
        "study": plan.study,
        "sample_id": sample.id,
        "sample_key": sample.key,
        "parameters": {"phantom": sample.phantom.label, "phantom_kind": sample.phantom.kind,
                       "phantom_seed": sample.phantom.seed, "phantom_file": sample.phantom.path,
                       "phantom_options": dict(sample.phantom.options),
                       "i0": sample.condition.i0, "electronic": sample.condition.electronic,
                       "mu": sample.condition.mu, "projection": plan.projection,
                       "reconstructions": {r.name: {"method": r.method, **dict(r.options)}
                                           for r in plan.reconstructions}},
        "seeds": {"study": plan.seed, "noise": sample.noise_seed, "phantom": sample.phantom.seed},
        "versions": steps.versions(),
        "timings": timings,
        "metrics": metrics,
        "noise": noise_figures,
        "made_by": {"host": socket.gethostname(), "pid": os.getpid(), "threads": threads or 0,
                    "finished": store.utc_now()},
    }
    store.write_sample(path, arrays, attributes, kept.compression)
    return {"id": sample.id, "metrics": metrics, "timings": timings}
