"""The work of a study, as plain functions of their arguments: they run the
same in this process or on any Dask worker, and a sample's arrays depend on
its parameters and seeds only."""

import os
import socket
import time
from dataclasses import asdict, dataclass

from . import spectral_steps, steps, store
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
    geometry: object = None
    spectral: object = None

    @property
    def scan(self):
        """The keyword a step takes for the study's geometry: none without one,
        so a study of the defined scan calls its steps as it always has."""
        return {} if self.geometry is None else {"geometry": self.geometry}

    @classmethod
    def of(cls, study):
        return cls(study.name, study.seed, study.projection, tuple(study.reconstructions),
                   tuple(study.metrics), study.store, study.geometry, study.spectral)


def shared_arrays(plan, threads, out_dir):
    """What every sample needs and none changes: tomrec's weights, and SIRT's
    sums in the output folder's "shared" folder."""
    return steps.make_shared(plan.reconstructions, threads, os.path.join(out_dir, "shared", "system-sums"),
                             **plan.scan)


def phantom_sources(phantoms, plan, threads):
    """Phantoms and their noise-free projections, several at once through the
    batch kernel (a polychromatic study's: material volumes and their path
    lengths); one source per phantom."""
    if plan.spectral is not None:
        return spectral_steps.sources(phantoms, plan.geometry, plan.spectral, threads)
    t0 = time.perf_counter()
    made = [steps.make_phantom(p, **plan.scan) for p in phantoms]
    t1 = time.perf_counter()
    stacks = steps.project(plan.projection, [v for v, _ in made], [d for _, d in made], threads, **plan.scan)
    t2 = time.perf_counter()
    share = 1.0 / len(phantoms)
    return [{"phantom": volume, "truth": volume, "projection": stacks[i],
             "timings": {"phantom": (t1 - t0) * share, "projection": (t2 - t1) * share}}
            for i, (volume, _) in enumerate(made)]


def pick(sources, index):
    return sources[index]


# Samples of one phantom reconstructed together: tomrec's backprojection
# walks the rays once for all of them. Four keep most of the gain while a
# worker holds only a few stacks at once.
SAMPLES_PER_WALK = 4


def chunks(group):
    """A phantom's samples, SAMPLES_PER_WALK at a time."""
    return [group[i:i + SAMPLES_PER_WALK] for i in range(0, len(group), SAMPLES_PER_WALK)]


def run_chunk(source, shared, samples, plan, out_dir, threads):
    """run_samples; where it fails, each sample alone, so that a failure
    names its own sample and the others are still made. Returns
    {sample id: None, or the failure's message}."""
    try:
        run_samples(source, shared, samples, plan, out_dir, threads)
        return {s.id: None for s in samples}
    except Exception as e:
        if len(samples) == 1:
            return {samples[0].id: f"{type(e).__name__}: {e}"}
    return {k: v for s in samples for k, v in run_chunk(source, shared, [s], plan, out_dir, threads).items()}


def run_samples(source, shared, samples, plan, out_dir, threads):
    """Noise, reconstructions and metrics of samples of one phantom, each
    written to its own file; the reconstructions that have a several-stacks
    kernel run once for all of them (the same bits as one at a time).
    Returns each sample's id, metrics and timings, in order."""
    start = time.perf_counter()
    for sample in samples:
        folder = os.path.dirname(os.path.join(out_dir, sample.file))
        if not os.path.isdir(folder):
            raise RuntimeError(f"{socket.gethostname()} cannot see the output folder {folder}: "
                               "the workers must share a file system with the run")
    share = 1.0 / len(samples)
    timings = [dict(source["timings"]) for _ in samples]
    phantom, stack = source["phantom"], source["projection"]
    noisy, noise_figures, data = [], [], []
    for sample, timing in zip(samples, timings):
        t = time.perf_counter()
        if plan.spectral is not None:
            log, integrals, figures = spectral_steps.measure(stack, sample.condition, sample.noise_seed,
                                                             plan.geometry, plan.spectral, threads)
            noisy.append(log)
            data.append(integrals)
        elif sample.condition.i0 is None:
            noisy.append(None)
            figures = {}
            data.append(stack)
        else:
            made, figures = steps.add_noise(stack, sample.condition, sample.noise_seed, threads, **plan.scan)
            noisy.append(made)
            data.append(made)
        noise_figures.append(figures)
        if plan.spectral is not None or sample.condition.i0 is not None:
            timing["noise"] = time.perf_counter() - t
    volumes = [{} for _ in samples]
    metrics = [{} for _ in samples]
    for recon in plan.reconstructions:
        t = time.perf_counter()
        made = steps.reconstruct_many(recon, data, shared, threads, **plan.scan)
        elapsed = (time.perf_counter() - t) * share
        for i, volume in enumerate(made):
            volumes[i][recon.name] = volume
            timings[i]["reconstruction." + recon.name] = elapsed
            if plan.metrics:
                t = time.perf_counter()
                metrics[i][recon.name] = steps.measure(plan.metrics, source["truth"], volume, **plan.scan)
                timings[i]["metrics." + recon.name] = time.perf_counter() - t
    elapsed = (time.perf_counter() - start) * share
    results = []
    for i, sample in enumerate(samples):
        timings[i]["all_steps"] = elapsed
        _write_sample(sample, phantom, stack, noisy[i], noise_figures[i], volumes[i], metrics[i],
                      timings[i], plan, out_dir, threads)
        results.append({"id": sample.id, "metrics": metrics[i], "timings": timings[i]})
    return results


def _write_sample(sample, phantom, stack, noisy, noise_figures, volumes, metrics, timings, plan,
                  out_dir, threads):
    kept = plan.store
    arrays = {}
    if kept.phantom:
        arrays["phantom"] = (phantom, kept.phantom)
    if plan.spectral is not None:
        if plan.spectral.store_paths:
            arrays["paths"] = (stack, plan.spectral.store_paths)
        if plan.spectral.store_log:
            arrays["log"] = (noisy, plan.spectral.store_log)
    else:
        if kept.projections:
            arrays["projections"] = (stack, kept.projections)
        if kept.noisy and noisy is not None:
            arrays["noisy"] = (noisy, kept.noisy)
    if kept.reconstructions:
        for name, volume in volumes.items():
            arrays["reconstructions/" + name] = (volume, kept.reconstructions)
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
                                           for r in plan.reconstructions},
                       **({} if plan.spectral is None else {"spectral": asdict(plan.spectral)})},
        "seeds": {"study": plan.seed, "noise": sample.noise_seed, "phantom": sample.phantom.seed},
        "versions": steps.versions(),
        "timings": timings,
        "metrics": metrics,
        "noise": noise_figures,
        "made_by": {"host": socket.gethostname(), "pid": os.getpid(), "threads": threads or 0,
                    "finished": store.utc_now()},
    }
    store.write_sample(os.path.join(out_dir, sample.file), arrays, attributes, kept.compression,
                       plan.geometry)
