"""Quantitative reconstruction on numpy arrays: FDK on the projector's own
geometry, the projector's exact adjoint, and SIRT / OS-SART with them (the
library code of tomfdk and tomiter, so the same bits)."""

import collections
import os

from . import _core
from ._progress import run
from ._weights import build_id

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


def fdk(stack, filter="ram-lak", cutoff=1.0, threads=None, progress=False):
    """FDK of a stack made by project() (batch), in the Volume's units.

    filter: ram-lak, shepp-logan, cosine, hamming or hann; cutoff: fraction
    of the detector's Nyquist frequency above which the filter is 0, (0, 1].
    """
    return run(_core.fdk, progress, "fdk", stack, filter, cutoff, threads)


def project_adjoint(stack, threads=None, progress=False):
    """The transpose of project(): for every ray and every piece (voxel,
    length) the projector credits, voxel += sample x length, in double (batch)."""
    return run(_core.project_adjoint, progress, "adjoint", stack, threads)


def sirt(stack, iterations, subsets=1, nonnegative=True, x0=None, truth=None, callback=None,
         relaxation=1.0, tolerance=0.0, noise_level=0.0, noise_i0=0.0, mu=0.15, electronic=0.0,
         discrepancy=1.1, cache=True, threads=None):
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
    False computes them afresh. Returns a SirtResult.
    """
    folder = _sums_folder_of(cache)
    if folder:
        os.makedirs(folder, exist_ok=True)
    volume, history, stopped_by = _core.sirt(stack, iterations, subsets, nonnegative, x0, truth,
                                             callback, relaxation, tolerance, noise_level,
                                             noise_i0, mu, electronic, discrepancy, folder, threads)
    return SirtResult(volume, list(history), stopped_by)
