"""tomsim: the cone-beam programs tomproj and tomrec, and their study tools,
on numpy arrays.

Layouts (float32, C order):
  Volume           (128, 128, 128)  [iz, iy, ix]
  ProjectionStack  (256, 256, 256)  [view, row, column]
Functions marked "batch" also take a leading axis K of several arrays.

Every function runs the programs' own library code, so its results are the
same bits as the programs' and tools' files, at any thread count. `threads`
None means every processor the process may use. The GIL is released while
the work runs. `progress=True` shows a tqdm bar for calls longer than a
second; a callable is called with (done, total). Arrays of another dtype or
order are converted with one copy; arrays that fit are used as they are.
Failures raise TomsimError (files: TomsimInputError / TomsimOutputError,
both also OSError); a wrong shape raises ValueError.
"""

from . import _core
from . import io, phantom
from ._errors import TomsimError, TomsimInputError, TomsimOutputError
from ._progress import run as _run
from . import _weights
from ._weights import weights, cache_folder as weights_folder
from ._quant import fdk, project_adjoint, sirt, SirtResult

__all__ = [
    "project", "filter_stack", "weights", "weights_folder", "reconstruct", "rebin",
    "compare", "io", "phantom", "available_threads", "TomsimError", "TomsimInputError",
    "TomsimOutputError", "VOLUME_SHAPE", "STACK_SHAPE", "__version__",
    "fdk", "project_adjoint", "sirt", "SirtResult",
]

__version__ = _core.version
VOLUME_SHAPE = io.VOLUME_SHAPE
STACK_SHAPE = io.STACK_SHAPE


def available_threads():
    """The processors this process may run on (its affinity mask)."""
    return _core.available_threads()


def project(volume, threads=None, progress=False):
    """tomproj: the ProjectionStack of a Volume (batch: (K, 128, 128, 128) -> (K, 256, 256, 256))."""
    return _run(_core.project, progress, "project", volume, threads)


def filter_stack(stack, threads=None, progress=False):
    """tomrec's filtered stack, the file Radon_FLT_dounatsu.img (batch)."""
    return _run(_core.filter_stack, progress, "filter", stack, threads)


def reconstruct(stack, weights=None, threads=None, progress=False):
    """tomrec: the Volume reconstructed from a stack in its geometry (batch:
    (K, 256, 256, 256) -> (K, 128, 128, 128)).

    `weights` is the pair (detector_weights, voxel_weights) that
    tomsim.weights() returns (the default) or that tomweight writes. A stack
    made by project() is in the projector's geometry: rebin() it first.
    """
    if weights is None:
        weights = _weights.weights(threads=threads, progress=progress)
    try:
        detector, voxel = weights
    except (TypeError, ValueError):
        raise ValueError("weights must be the pair (detector_weights, voxel_weights)") from None
    return _run(_core.reconstruct, progress, "reconstruct", stack, detector, voxel, threads)


def rebin(stack, threads=None, progress=False):
    """tomrebin: a stack of tomproj's geometry brought into tomrec's (batch)."""
    return _run(_core.rebin, progress, "rebin", stack, threads)


def compare(first, second):
    """tomcompare's figures of `second` against `first` (the reference).

    Both Volumes or both stacks. Returns {"kind", "identical", "regions":
    {region: {figure: value}}} with tomcompare's region and figure names
    (regions "whole", "central" and, for Volumes, "axial_slice"; figures
    such as "pearson_r", "rmse", "fit_scale", "fit_rmse").
    """
    return _core.compare(first, second)
