"""The one place where the study engine meets the tomsim library: each step
name of a study description maps to a tomsim function here, and each value
a description gives is checked by the library's own check of it."""

import os

import numpy as np

VOLUME_SHAPE = (128, 128, 128)


def _tomsim():
    import tomsim
    return tomsim


def _number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _integer(v):
    return isinstance(v, int) and not isinstance(v, bool)


def general(geometry):
    """Whether a study's geometry asks for the cone walk (any scan but the
    defined one, which keeps the programs' own steps)."""
    return geometry is not None and not geometry.is_defined()


def _library_problem(check, *values):
    """What the library's check says of the values, or None when it takes them."""
    try:
        check(*values)
    except ValueError as e:  # the library's usage failure
        return getattr(e, "detail", str(e))
    return None


# --- phantoms ---------------------------------------------------------------

# kind -> the keys its [[phantoms]] table takes besides 'kind'
PHANTOM_KINDS = {
    "random": {"first_seed", "count", "ellipsoids", "values", "sizes", "oversample"},
    "shepp-logan": {"form", "scale", "oversample"},
    "inserts": {"oversample"},
    "files": {"folder", "pattern", "files"},
    "descriptions": {"folder", "pattern", "files", "oversample"},
}


def _plain_head(options):
    """The modified head without oversampling: the package's own Volume."""
    return options.get("form", "modified") == "modified" and options.get("oversample", 1) == 1


def has_description(kind):
    return kind in ("random", "shepp-logan", "inserts", "descriptions")


def phantom_option_problem(kind, key, value):
    core = _tomsim()._core
    if key == "oversample":
        return _library_problem(core.check_oversampling, value) if _integer(value) else "expected an integer"
    if key == "form" and value not in ("modified", "kak-slaney"):
        return "expected 'modified' or 'kak-slaney'"
    if key == "scale":
        return _library_problem(core.check_phantom_scale, value) if _number(value) else "expected a number"
    if key in ("ellipsoids", "values", "sizes"):
        whole = key == "ellipsoids"
        if not (isinstance(value, list) and len(value) == 2
                and all(_integer(v) if whole else _number(v) for v in value)):
            return f"expected [low, high], two {'whole numbers' if whole else 'numbers'}"
        name = {"ellipsoids": "count"}.get(key, key)
        return _library_problem(lambda v: core.check_random_ellipsoids(**{name: v}), value)
    return None


def volume_shape(geometry):
    return tuple(geometry.volume_shape) if general(geometry) else VOLUME_SHAPE


def phantom_file_problem(kind, path, geometry=None):
    if kind == "files":
        size = os.path.getsize(path)
        expected = 4 * int(np.prod(volume_shape(geometry)))
        if size != expected:
            return f"{path} holds {size} bytes; a Volume file holds {expected}"
    return None


def _scan(geometry):
    """The package's keyword for a general scan: none for the defined one,
    whose steps keep their own calls."""
    return {"geometry": geometry} if general(geometry) else {}


def describe(phantom, geometry=None):
    """A phantom's description text (None for a Volume file): coordinates in
    voxels of the defined grid, or in mm on a general scan, with the
    package's defaults there (tomsim.phantom.description)."""
    options = dict(phantom.options)
    tomsim = _tomsim()
    if phantom.kind == "files":
        return None
    if phantom.kind == "descriptions":
        return tomsim.phantom.read_description(phantom.path)
    if phantom.kind == "random":
        ranges = {name: list(options[key]) for key, name in
                  (("ellipsoids", "count"), ("values", "values"), ("sizes", "sizes")) if key in options}
        return tomsim.phantom.description("random-ellipsoids", seed=phantom.seed, **ranges, **_scan(geometry))
    if phantom.kind == "shepp-logan":
        scale = {"scale": float(options["scale"])} if "scale" in options else {}
        return tomsim.phantom.description(options.get("form", "modified"), **scale, **_scan(geometry))
    return tomsim.phantom.description(phantom.kind, **_scan(geometry))


def voxelise(description, oversample, geometry=None, threads=None):
    """A description sampled on the defined grid or on a general scan's."""
    volume = _tomsim().phantom.voxelise(description, oversample=oversample, threads=threads, **_scan(geometry))
    return np.ascontiguousarray(volume, dtype=np.float32)


def make_phantom(phantom, geometry=None):
    """The Volume of a phantom (float32, [iz, iy, ix]) and its description
    text (what the analytic projector takes), None for a Volume file. On a
    general scan the description's coordinates are mm and the Volume is
    sampled on the scan's grid."""
    options = dict(phantom.options)
    if phantom.kind == "files":
        if general(geometry):
            return np.fromfile(phantom.path, dtype=np.float32).reshape(geometry.volume_shape), None
        return np.array(_tomsim().io.read_volume(phantom.path), dtype=np.float32), None
    description = describe(phantom, geometry)
    if phantom.kind == "shepp-logan" and _plain_head(options) and not general(geometry):
        scale = [float(options["scale"])] if "scale" in options else []
        volume = _tomsim().phantom.shepp_logan(*scale)  # the package's own Volume
        return np.ascontiguousarray(volume, dtype=np.float32), description
    return voxelise(description, options.get("oversample", 1), geometry), description


# --- projection -------------------------------------------------------------

PROJECTIONS = ("voxel", "analytic")


def project(method, volumes, descriptions, threads, geometry=None):
    """Noise-free projections of several phantoms: a (K, views, rows,
    columns) array. Voxel projections of several volumes go through the
    batch kernel; a general scan's through the cone walk."""
    tomsim = _tomsim()
    if general(geometry):
        if method == "voxel":
            batch = volumes[0][None] if len(volumes) == 1 else np.stack(volumes)
            return tomsim.project(batch, threads=threads, geometry=geometry).reshape(
                (len(volumes),) + tuple(geometry.stack_shape))
        return np.stack([tomsim.analytic_projection(d, threads=threads, geometry=geometry) for d in descriptions])
    if method == "voxel":
        if len(volumes) == 1:
            return tomsim.project(volumes[0], threads=threads)[None]
        return tomsim.project(np.stack(volumes), threads=threads)
    analytic = tomsim.analytic_projection
    return np.stack([analytic(d, threads=threads) for d in descriptions])


# --- noise ------------------------------------------------------------------

def add_noise(stack, condition, seed, threads, geometry=None):
    """The noisy stack of a condition, and the noise's own figures (mean
    counts, share of starved samples)."""
    kwargs = {"electronic": condition.electronic, "threads": threads}
    if condition.mu is not None:
        kwargs["mu"] = condition.mu
    noisy, figures = _tomsim().add_noise(stack, condition.i0, seed, figures=True, **kwargs, **_scan(geometry))
    return noisy, {k: v for k, v in dict(figures).items() if _number(v)}


# --- reconstruction ---------------------------------------------------------

# method -> (keys its [[reconstruction]] table takes, defaults)
RECONSTRUCTIONS = {
    "tomrec": ({"rebin"}, {"rebin": True}),
    "fdk": ({"filter", "cutoff"}, {"filter": "ram-lak", "cutoff": 1.0}),
    "sirt": ({"iterations", "nonnegative", "start", "relaxation", "tolerance"},
             {"iterations": 20, "nonnegative": True, "start": "zero", "relaxation": 1.0, "tolerance": 0.0}),
    "os-sart": ({"iterations", "subsets", "nonnegative", "start", "relaxation", "tolerance"},
                {"iterations": 5, "subsets": 16, "nonnegative": True, "start": "zero", "relaxation": 1.0,
                 "tolerance": 0.0}),
    "cgls": ({"iterations", "tolerance"}, {"iterations": 10, "tolerance": 0.0}),
}
# Methods of the defined scan alone: tomrec's weights and rebinning exist
# for its geometry only.
DEFINED_ONLY = ("tomrec",)
FDK_FILTERS = ("ram-lak", "shepp-logan", "cosine", "hamming", "hann")


def reconstruction_option_problem(method, key, value):
    core = _tomsim()._core
    if key in ("rebin", "nonnegative") and not isinstance(value, bool):
        return "expected true or false"
    if key == "filter" and value not in FDK_FILTERS:
        return f"expected one of {', '.join(FDK_FILTERS)}"
    if key == "cutoff" and not (_number(value) and 0 < value <= 1):
        return "expected a number in (0, 1]"
    if key == "iterations" and not (_integer(value) and value >= 1):
        return "expected an integer of at least 1"
    if key == "subsets":
        return _library_problem(core.check_subset_count, value) if _integer(value) else "expected an integer"
    if key == "start" and value not in ("zero", "fdk"):
        return "expected 'zero' or 'fdk'"
    if key == "relaxation":
        return _library_problem(core.check_relaxation, value) if _number(value) else "expected a number"
    if key == "tolerance":
        return _library_problem(core.check_tolerance, value) if _number(value) else "expected a number"
    return None


def needs_weights(reconstructions):
    return any(r.method == "tomrec" for r in reconstructions)


def _iterative(reconstructions):
    return [r for r in reconstructions if r.method in ("sirt", "os-sart", "cgls")]


def needs_shared(reconstructions):
    return needs_weights(reconstructions) or bool(_iterative(reconstructions))


def make_shared(reconstructions, threads, sums_folder, geometry=None):
    """What every sample shares, made once per study: tomrec's weight pair,
    and the row and column sums of SIRT / OS-SART, kept in `sums_folder`
    (in the study's output folder, which every worker sees) for the samples
    to read. A general scan's sums are made by its first sample, under a key
    of its grid and vectors, and read by the others."""
    shared = {}
    if needs_weights(reconstructions):
        shared["weights"] = _tomsim().weights(threads=threads)
    iterative = _iterative(reconstructions)
    if iterative and general(geometry):
        os.makedirs(sums_folder, exist_ok=True)
        shared["sums"] = sums_folder
    elif iterative:
        for subsets in sorted({dict(r.options).get("subsets", 1) for r in iterative}):
            _tomsim().system_sums(subsets, cache=sums_folder, threads=threads)
        shared["sums"] = sums_folder
    return shared


def reconstruct_many(recon, stacks, shared, threads, geometry=None):
    """The reconstructions of several stacks; tomrec's go through one walk
    of the several-stacks backprojection, the same bits as one by one."""
    if recon.method != "tomrec":
        return [reconstruct(recon, s, shared, threads, geometry) for s in stacks]
    tomsim = _tomsim()
    batch = stacks[0] if len(stacks) == 1 else np.stack(stacks)
    if dict(recon.options)["rebin"]:
        batch = tomsim.rebin(batch, threads=threads)
    volumes = tomsim.reconstruct(batch, weights=shared["weights"], threads=threads)
    return [volumes] if len(stacks) == 1 else list(volumes)


def reconstruct(recon, stack, shared, threads, geometry=None):
    if recon.method == "tomrec":
        return reconstruct_many(recon, [stack], shared, threads)[0]
    options = dict(recon.options)
    scan = _scan(geometry)
    if recon.method == "fdk":
        return _tomsim().fdk(stack, filter=options["filter"], cutoff=float(options["cutoff"]), threads=threads,
                             **scan)
    if recon.method == "cgls":
        result = _tomsim().cgls(stack, options["iterations"], tolerance=float(options["tolerance"]),
                                cache=shared.get("sums", True), threads=threads, **scan)
        return result.volume
    result = _tomsim().sirt(stack, options["iterations"], subsets=options.get("subsets", 1),
                           nonnegative=options["nonnegative"],
                           x0="fdk" if options["start"] == "fdk" else None,
                           relaxation=float(options["relaxation"]), tolerance=float(options["tolerance"]),
                           cache=shared.get("sums", True), threads=threads, **scan)
    return getattr(result, "volume", result)


# --- metrics ----------------------------------------------------------------

_figures = {}


def _figures_of(truth, volume, geometry=None):
    """compare's numeric figures as "region.figure" names; its figures of the
    whole Volume outside the regions (SSIM) count as "whole"."""
    comparison = _tomsim().compare(truth, volume, **_scan(geometry))
    figures = {f"{region}.{name}": float(value)
               for region, values in comparison["regions"].items()
               for name, value in values.items() if _number(value)}
    figures.update({f"whole.{name}": float(value) for name, value in comparison.items()
                    if _number(value) and f"whole.{name}" not in figures})
    return figures


def metric_names(geometry=None):
    """The figures a study may ask for, learnt once from two small volumes
    (of the defined grid, or of a small grid for a general scan). A bare
    name means the whole volume."""
    key = general(geometry)
    if key not in _figures:
        if key:
            from tomsim import Geometry
            # Large enough for SSIM's 11-voxel window.
            geometry = Geometry(volume_shape=(16, 16, 16), detector_shape=(1, 1), sod=20.0, sdd=40.0, views=1)
        truth = np.zeros(volume_shape(geometry), np.float32)
        middle = tuple(slice(n // 2 - n // 16 - 1, n // 2 + n // 16 + 1) for n in truth.shape)
        truth[middle] = 1.0
        flat = set(_figures_of(truth, truth * np.float32(0.5), geometry))
        _figures[key] = flat | {k[len("whole."):] for k in flat if k.startswith("whole.")}
    return _figures[key]


def measure(names, truth, volume, geometry=None):
    """The named figures of a reconstruction against its phantom."""
    figures = _figures_of(truth, volume, geometry)
    out = {}
    for name in names:
        key = name if name in figures else "whole." + name
        if key not in figures:
            raise KeyError(f"tomsim.compare gives no figure {name!r} (it gives: {', '.join(sorted(figures))})")
        out[name] = figures[key]
    return out


def versions():
    """What made a sample: the library and the Python packages around it."""
    import h5py
    import sys
    found = {"python": sys.version.split()[0], "numpy": np.__version__, "h5py": h5py.__version__}
    try:
        tomsim = _tomsim()
        found["tomsim"] = str(getattr(tomsim, "__version__", "unknown"))
        for attr in ("build_id", "library_version"):
            if hasattr(tomsim, attr):
                found["tomsim_" + attr] = str(getattr(tomsim, attr))
    except ImportError:
        found["tomsim"] = "not importable"
    return found
