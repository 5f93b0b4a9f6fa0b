"""Quantitative reconstruction on numpy arrays: FDK on the projector's own
geometry, the projector's exact adjoint, and SIRT / OS-SART with them (the
library code of tomfdk and tomiter, so the same bits)."""

import collections
import os

import numpy as np

from . import _core
from ._progress import run
from ._weights import build_id
from ._fdk_circular import fdk_circular

SirtResult = collections.namedtuple("SirtResult", "volume history stopped_by")
SirtResult.__doc__ = """The Volume after the last pass, the figures of every pass (dicts:
iteration, seconds, relative_residual, rms_residual, and rmse and pearson_r
when a truth was given), and what stopped the run ("iterations",
"tolerance", "noise level" or "callback")."""


def sums_folder():
    """The folder where this build keeps the row and column sums of SIRT."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tomsim", "system-sums-" + build_id())


def _sums_folder_of(cache):
    if cache is True:
        return sums_folder()
    return os.fspath(cache) if cache else ""


def system_sums(subsets=1, cache=True, threads=None):
    """Makes the row and column sums that sirt() with `subsets` subsets
    needs, once, in the cache folder (sums_folder(), or the folder given),
    where later sirt() calls with the same cache read them. Returns the
    folder. Worth calling before handing a folder to several processes."""
    folder = _sums_folder_of(cache)
    if not folder:
        raise ValueError("system_sums keeps the sums in a folder: cache must not be False")
    os.makedirs(folder, exist_ok=True)
    _core.make_system_sums(subsets, folder, threads)
    return folder


def _general(geometry):
    """Whether `geometry` asks for the cone walk rather than the defined
    scan's own programs (None and Geometry.defined() keep those)."""
    if geometry is None:
        return False
    from .geometry import Geometry
    if not isinstance(geometry, Geometry):
        raise TypeError(f"geometry must be a tomsim.Geometry, not {type(geometry).__name__}")
    return not geometry.is_defined()


def _require_shape(what, array, shape, batch=True):
    shape = tuple(int(n) for n in shape)
    given = tuple(np.shape(array))
    ranks = (len(shape), len(shape) + 1) if batch else (len(shape),)
    if given[-len(shape):] != shape or len(given) not in ranks:
        raise ValueError(f"{what} has the shape {given}, the geometry needs {shape}"
                         + (" (or a batch of them)" if batch else ""))


def fdk(stack, filter="ram-lak", cutoff=1.0, threads=None, progress=False, geometry=None,
        parker_smoothing=1.0, redundancy_weights=True):
    """FDK in the Volume's units: of a stack made by project() (batch) on the
    defined scan, or, given a circular `geometry`, of a (views, rows,
    columns) stack of line integrals (lengths in mm) onto its grid in 1/mm,
    with Parker weights on a short arc (smoothing q = parker_smoothing in
    (0, 1]) and Wang's on an offset detector.

    filter: ram-lak, shepp-logan, cosine, hamming or hann; cutoff: fraction
    of the detector's Nyquist frequency above which the filter is 0, (0, 1].
    """
    if _general(geometry):
        if geometry.form == "vectors":
            raise ValueError("FDK needs a circular geometry (views or angles), not per-view vectors")
        _require_shape("stack", stack, geometry.stack_shape)
        return fdk_circular(stack, geometry.volume_shape, geometry.voxel_size, geometry.volume_offset,
                            geometry.detector_pitch, geometry.detector_offset, geometry.sod, geometry.sdd,
                            geometry.angles, filter=filter, cutoff=cutoff, parker_smoothing=parker_smoothing,
                            threads=threads, redundancy_weights=redundancy_weights, progress=progress)
    return run(_core.fdk, progress, "fdk", stack, filter, cutoff, threads)


def _check_cone_walk(geometry):
    geometry._value.check_cone_walk()


def project_on(volume, geometry, threads=None):
    """The cone walk of a Volume (or a batch) on a geometry: its stack(s)."""
    _check_cone_walk(geometry)
    _require_shape("volume", volume, geometry.volume_shape)
    return _core.cone_project(volume, geometry.vectors(), tuple(geometry.detector_shape),
                              tuple(geometry.voxel_size), tuple(geometry.volume_offset), threads)


def project_adjoint(stack, threads=None, progress=False, geometry=None):
    """The transpose of project(): for every ray and every piece (voxel,
    length) the projector credits, voxel += sample x length, in double (batch
    on the defined scan; one stack on another geometry)."""
    if _general(geometry):
        _check_cone_walk(geometry)
        _require_shape("stack", stack, geometry.stack_shape)
        return _core.cone_project_adjoint(stack, geometry.vectors(), tuple(geometry.volume_shape),
                                          tuple(geometry.voxel_size), tuple(geometry.volume_offset), threads)
    return run(_core.project_adjoint, progress, "adjoint", stack, threads)


def _iterate(method, stack, iterations, subsets, nonnegative, x0, truth, callback, relaxation, tolerance,
             noise_level, noise_i0, mu, electronic, discrepancy, cache, threads, geometry):
    folder = _sums_folder_of(cache)
    if folder:
        os.makedirs(folder, exist_ok=True)
    scan = {}
    if _general(geometry):
        _check_cone_walk(geometry)
        _require_shape("stack", stack, geometry.stack_shape)
        if isinstance(x0, str) and x0 == "fdk":
            x0 = fdk(stack, threads=threads, geometry=geometry)
        scan = dict(vectors=geometry.vectors(), detector_shape=tuple(geometry.detector_shape),
                    volume_shape=tuple(geometry.volume_shape), voxel_size=tuple(geometry.voxel_size),
                    volume_offset=tuple(geometry.volume_offset))
    volume, history, stopped_by = _core.iterate(method, stack, iterations, subsets, nonnegative, x0, truth,
                                                callback, relaxation, tolerance, noise_level, noise_i0, mu,
                                                electronic, discrepancy, folder, threads, **scan)
    return SirtResult(volume, list(history), stopped_by)


def cgls(stack, iterations, x0=None, truth=None, callback=None, tolerance=0.0, noise_level=0.0,
         noise_i0=0.0, mu=0.15, electronic=0.0, discrepancy=1.1, cache=True, threads=None, geometry=None):
    """CGLS, conjugate gradients on the least-squares problem min |Ax - b|,
    with the projector's map and its transpose on the defined scan or on
    `geometry` (no constraint, so no subsets nor relaxation). The stopping
    rules, figures and cache are sirt()'s. Returns a SirtResult."""
    return _iterate("cgls", stack, iterations, 1, False, x0, truth, callback, 1.0, tolerance, noise_level,
                    noise_i0, mu, electronic, discrepancy, cache, threads, geometry)


def sirt(stack, iterations, subsets=1, nonnegative=True, x0=None, truth=None, callback=None,
         relaxation=1.0, tolerance=0.0, noise_level=0.0, noise_i0=0.0, mu=0.15, electronic=0.0,
         discrepancy=1.1, cache=True, threads=None, geometry=None):
    """SIRT (subsets=1) or OS-SART with the projector's map and its transpose.

    x0: None (zeros), "fdk" or a Volume. truth: a Volume for RMSE and Pearson r
    per pass. callback(figures, volume) is called after every pass; returning
    False stops. Stopping rules: tolerance (a pass lowers the relative
    residual by less than this fraction of it) and noise_level (the rms
    residual per ray reaches discrepancy x noise_level, the samples' noise
    level; the factor is above 1 as the residual of an image held at 0 or
    above levels off just above the noise). noise_i0 sets that level from
    the dose instead: the level that add_noise(stack, noise_i0, mu=mu,
    electronic=electronic) implies for the samples. cache: True keeps the
    row and column sums in sums_folder(), a folder name keeps them there,
    False computes them afresh (the sums of each geometry apart, under a key
    of its grid and vectors). geometry: None or Geometry.defined() run on
    the defined scan with tomproj's map; any other geometry on the cone walk
    and its exact transpose (x0 "fdk" is then FDK on that geometry).
    Returns a SirtResult.
    """
    return _iterate("sirt", stack, iterations, subsets, nonnegative, x0, truth, callback, relaxation, tolerance,
                    noise_level, noise_i0, mu, electronic, discrepancy, cache, threads, geometry)
