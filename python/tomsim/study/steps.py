"""The one place where the study engine meets the tomsim library: each step
name of a study description maps to a tomsim function here. The engine asks
this module whether a step exists in the build before any work starts, so a
study that needs a missing function fails at once, naming the key."""

import importlib
import inspect
import os

import numpy as np

VOLUME_SHAPE = (128, 128, 128)


def _tomsim():
    import tomsim
    return tomsim


def _lookup(names):
    """The first tomsim function found among dotted names ("phantom.voxelise|
    _core.voxelise": the package's own wrapper where it has one, else its
    extension module's function), or None with the reason it is missing."""
    try:
        top = _tomsim()
    except ImportError as e:
        return None, f"the tomsim package cannot be imported ({e})"
    for dotted in names.split("|"):
        obj = top
        for part in dotted.split("."):
            nxt = getattr(obj, part, None)
            if nxt is None and hasattr(obj, "__path__"):
                try:
                    nxt = importlib.import_module(obj.__name__ + "." + part)
                except ImportError:
                    nxt = None
            obj = nxt
            if obj is None:
                break
        if obj is not None:
            return obj, None
    return None, f"tomsim.{names.split('|')[0]} is missing"


def _need(names):
    fn, why = _lookup(names)
    if fn is None:
        raise RuntimeError(f"not available in this build: {why}")
    return fn


def _missing(*names):
    for name in names:
        fn, why = _lookup(name)
        if fn is None:
            return why
    return None


# The library's functions, under the names the package gives them.
_DESCRIPTION = "phantom.description|_core.phantom_description"
_VOXELISE = "phantom.voxelise|_core.voxelise"
_ANALYTIC = "phantom.analytic_projection|analytic_projection|_core.analytic_projection"
_ADD_NOISE = "add_noise|_core.add_noise"
_IMAGE_QUALITY = "image_quality|_core.image_quality"


# --- phantoms ---------------------------------------------------------------

# kind -> (keys its [[phantoms]] table takes besides 'kind', tomsim functions it needs)
PHANTOM_KINDS = {
    "random": ({"first_seed", "count", "ellipsoids", "values", "sizes", "oversample"},
               (_DESCRIPTION, _VOXELISE)),
    "shepp-logan": ({"form", "scale", "oversample"}, ("phantom.shepp_logan",)),
    "inserts": ({"oversample"}, (_DESCRIPTION, _VOXELISE)),
    "files": ({"folder", "pattern", "files"}, ("io.read_volume",)),
    "descriptions": ({"folder", "pattern", "files", "oversample"}, (_VOXELISE,)),
}


def _plain_head(options):
    """The modified head without oversampling: the package's own Volume."""
    return options.get("form", "modified") == "modified" and options.get("oversample", 1) == 1


def phantom_missing(kind, options=()):
    if kind == "shepp-logan" and not _plain_head(dict(options)):
        return _missing(_DESCRIPTION, _VOXELISE)
    return _missing(*PHANTOM_KINDS[kind][1])


def has_description(kind):
    return kind in ("random", "shepp-logan", "inserts", "descriptions")


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def phantom_option_problem(kind, key, value):
    if key == "oversample" and not (isinstance(value, int) and not isinstance(value, bool) and 1 <= value <= 8):
        return "expected an integer from 1 to 8"
    if key == "form" and value not in ("modified", "kak-slaney"):
        return "expected 'modified' or 'kak-slaney'"
    if key == "scale" and not (_is_number(value) and value > 0):
        return "expected a positive number (voxels per unit of the head's frame)"
    if key in ("ellipsoids", "values", "sizes"):
        if not (isinstance(value, list) and len(value) == 2 and all(_is_number(v) for v in value)
                and 0 <= value[0] <= value[1]):
            return "expected [low, high] with 0 <= low <= high"
        if key == "ellipsoids" and not all(isinstance(v, int) and v >= 1 for v in value):
            return "expected whole numbers of ellipsoids [low, high], at least 1"
    return None


def phantom_file_problem(kind, path):
    if kind == "files":
        size = os.path.getsize(path)
        expected = 4 * int(np.prod(VOLUME_SHAPE))
        if size != expected:
            return f"{path} holds {size} bytes; a Volume file holds {expected}"
    return None


def make_phantom(phantom):
    """The Volume of a phantom (float32, [iz, iy, ix]) and its description
    text (what the analytic projector takes), None for a Volume file."""
    options = dict(phantom.options)
    if phantom.kind == "files":
        return np.array(_need("io.read_volume")(phantom.path), dtype=np.float32), None
    if phantom.kind == "shepp-logan" and _plain_head(options):
        scale = [float(options["scale"])] if "scale" in options else []
        volume = _need("phantom.shepp_logan")(*scale)
        description = None
        if _missing(_DESCRIPTION) is None:  # for the analytic projection
            description = _need(_DESCRIPTION)("modified", *scale)
        return np.ascontiguousarray(volume, dtype=np.float32), description
    if phantom.kind == "descriptions":
        with open(phantom.path, encoding="utf-8") as f:
            description = f.read()
    else:
        kwargs = {}
        if phantom.kind == "random":
            kind, kwargs["seed"] = "random-ellipsoids", phantom.seed
            for key, name in (("ellipsoids", "count"), ("values", "values"), ("sizes", "sizes")):
                if key in options:
                    kwargs[name] = list(options[key])
        elif phantom.kind == "shepp-logan":
            kind = options.get("form", "modified")
            if "scale" in options:
                kwargs["scale"] = float(options["scale"])
        else:
            kind = phantom.kind
        description = _need(_DESCRIPTION)(kind, **kwargs)
    volume = _need(_VOXELISE)(description, oversample=options.get("oversample", 1))
    return np.ascontiguousarray(volume, dtype=np.float32), description


# --- projection -------------------------------------------------------------

PROJECTIONS = ("voxel", "analytic")
_PROJECTION_NEEDS = {"voxel": ("project",), "analytic": (_ANALYTIC,)}


def projection_missing(method):
    return _missing(*_PROJECTION_NEEDS[method])


def project(method, volumes, descriptions, threads):
    """Noise-free projections of several phantoms: a (K, 256, 256, 256) array.
    Voxel projections of several volumes go through the batch kernel."""
    if method == "voxel":
        if len(volumes) == 1:
            return _need("project")(volumes[0], threads=threads)[None]
        return _need("project")(np.stack(volumes), threads=threads)
    analytic = _need(_ANALYTIC)
    return np.stack([analytic(d, threads=threads) for d in descriptions])


# --- noise ------------------------------------------------------------------

def noise_missing():
    return _missing(_ADD_NOISE)


def add_noise(stack, condition, seed, threads):
    """The noisy stack of a condition, and the noise's own figures (mean
    counts, share of starved samples) where the library gives them."""
    kwargs = {"electronic": condition.electronic, "threads": threads}
    if condition.mu is not None:
        kwargs["mu"] = condition.mu
    add = _need(_ADD_NOISE)
    try:
        if "figures" in inspect.signature(add).parameters:
            kwargs["figures"] = True
    except (TypeError, ValueError):
        pass  # the extension's own function, which returns the figures anyway
    result = add(stack, condition.i0, seed, **kwargs)
    if isinstance(result, tuple):
        return result[0], {k: v for k, v in dict(result[1]).items() if _numeric(v)}
    return result, {}


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
}
_RECONSTRUCTION_NEEDS = {"tomrec": ("rebin", "reconstruct", "weights"), "fdk": ("fdk",),
                         "sirt": ("sirt", "system_sums"), "os-sart": ("sirt", "system_sums")}
FDK_FILTERS = ("ram-lak", "shepp-logan", "cosine", "hamming", "hann")


def reconstruction_missing(method):
    return _missing(*_RECONSTRUCTION_NEEDS[method])


def reconstruction_option_problem(method, key, value):
    def is_int(v):
        return isinstance(v, int) and not isinstance(v, bool)
    if key in ("rebin", "nonnegative") and not isinstance(value, bool):
        return "expected true or false"
    if key == "filter" and value not in FDK_FILTERS:
        return f"expected one of {', '.join(FDK_FILTERS)}"
    if key == "cutoff" and not (isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value <= 1):
        return "expected a number in (0, 1]"
    if key in ("iterations", "subsets") and not (is_int(value) and value >= 1):
        return "expected an integer of at least 1"
    if key == "start" and value not in ("zero", "fdk"):
        return "expected 'zero' or 'fdk'"
    if key == "relaxation" and not (_is_number(value) and 0 < value <= 2):
        return "expected a number in (0, 2]"
    if key == "tolerance" and not (_is_number(value) and 0 <= value < 1):
        return "expected a number in [0, 1)"
    return None


def needs_weights(reconstructions):
    return any(r.method == "tomrec" for r in reconstructions)


def _iterative(reconstructions):
    return [r for r in reconstructions if r.method in ("sirt", "os-sart")]


def needs_shared(reconstructions):
    return needs_weights(reconstructions) or bool(_iterative(reconstructions))


def make_shared(reconstructions, threads, sums_folder):
    """What every sample shares, made once per study: tomrec's weight pair,
    and the row and column sums of SIRT / OS-SART, kept in `sums_folder`
    (in the study's output folder, which every worker sees) for the samples
    to read."""
    shared = {}
    if needs_weights(reconstructions):
        shared["weights"] = _need("weights")(threads=threads)
    iterative = _iterative(reconstructions)
    if iterative:
        make_sums = _need("system_sums")
        for subsets in sorted({dict(r.options).get("subsets", 1) for r in iterative}):
            make_sums(subsets, cache=sums_folder, threads=threads)
        shared["sums"] = sums_folder
    return shared


def reconstruct_many(recon, stacks, shared, threads):
    """The reconstructions of several stacks; tomrec's go through one walk
    of the several-stacks backprojection, the same bits as one by one."""
    if recon.method != "tomrec":
        return [reconstruct(recon, s, shared, threads) for s in stacks]
    import numpy as np
    batch = stacks[0] if len(stacks) == 1 else np.stack(stacks)
    if dict(recon.options)["rebin"]:
        batch = _need("rebin")(batch, threads=threads)
    volumes = _need("reconstruct")(batch, weights=shared["weights"], threads=threads)
    return [volumes] if len(stacks) == 1 else list(volumes)


def reconstruct(recon, stack, shared, threads):
    if recon.method == "tomrec":
        return reconstruct_many(recon, [stack], shared, threads)[0]
    options = dict(recon.options)
    if recon.method == "fdk":
        return _need("fdk")(stack, filter=options["filter"], cutoff=float(options["cutoff"]), threads=threads)
    result = _need("sirt")(stack, options["iterations"], subsets=options.get("subsets", 1),
                           nonnegative=options["nonnegative"],
                           x0="fdk" if options["start"] == "fdk" else None,
                           relaxation=float(options["relaxation"]), tolerance=float(options["tolerance"]),
                           cache=shared.get("sums", True), threads=threads)
    return getattr(result, "volume", result)


# --- metrics ----------------------------------------------------------------

_figures = None


def _numeric(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _figures_of(truth, volume, with_ssim):
    """compare's numeric figures as "region.figure" names; its figures of the
    whole Volume outside the regions (SSIM) count as "whole". Where compare
    gives no SSIM, the image-quality figures give it when asked."""
    comparison = _need("compare")(truth, volume)
    figures = {f"{region}.{name}": float(value)
               for region, values in comparison["regions"].items()
               for name, value in values.items() if _numeric(value)}
    figures.update({f"whole.{name}": float(value) for name, value in comparison.items()
                    if _numeric(value) and f"whole.{name}" not in figures})
    if with_ssim and "whole.ssim" not in figures:
        figures["whole.ssim"] = float(_need(_IMAGE_QUALITY)(truth, volume)["ssim"])
    return figures


def metric_names():
    """The figures a study may ask for, learnt once from two small volumes;
    None when this build has no compare. A bare name means the whole volume."""
    global _figures
    if _figures is None and _missing("compare") is None:
        truth = np.zeros(VOLUME_SHAPE, np.float32)
        truth[60:68, 60:68, 60:68] = 1.0
        flat = set(_figures_of(truth, truth * np.float32(0.5), with_ssim=False))
        if _missing(_IMAGE_QUALITY) is None:
            flat.add("whole.ssim")
        _figures = flat | {k[len("whole."):] for k in flat if k.startswith("whole.")}
    return _figures


def metric_missing(name):
    return _missing("compare")


def measure(names, truth, volume):
    """The named figures of a reconstruction against its phantom."""
    figures = _figures_of(truth, volume, with_ssim=any(n in ("ssim", "whole.ssim") for n in names))
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
