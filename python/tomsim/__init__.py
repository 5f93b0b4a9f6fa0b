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
both also OSError; arguments the library refuses: TomsimUsageError, also a
ValueError); a wrong shape raises ValueError.

tomsim.Geometry describes a scan (the defined one, Geometry.defined(), or
any other) and tomsim.peers writes and reads it in the forms of ASTRA,
TIGRE and RTK (docs/geometry.md).
"""

import numpy as np

from . import _core
from . import io, phantom
from ._errors import TomsimError, TomsimInputError, TomsimOutputError, TomsimUsageError
from .geometry import Geometry
from . import peers
from ._progress import run as _run
from . import _weights
from ._weights import weights, cache_folder as weights_folder
from . import _quant
from ._quant import fdk, project_adjoint, sirt, cgls, system_sums, SirtResult
from . import _fdk_circular

__all__ = [
    "project", "filter_stack", "weights", "weights_folder", "reconstruct", "rebin",
    "compare", "add_noise", "analytic_projection", "io", "phantom", "available_threads", "TomsimError", "TomsimInputError",
    "TomsimOutputError", "TomsimUsageError", "VOLUME_SHAPE", "STACK_SHAPE", "__version__",
    "fdk", "project_adjoint", "sirt", "cgls", "system_sums", "SirtResult",
    "Geometry", "peers",
]

__version__ = _core.version
VOLUME_SHAPE = io.VOLUME_SHAPE
STACK_SHAPE = io.STACK_SHAPE


def available_threads():
    """The processors this process may run on (its affinity mask)."""
    return _core.available_threads()


def project(volume, threads=None, progress=False, geometry=None):
    """tomproj: the ProjectionStack of a Volume (batch: (K, 128, 128, 128) -> (K, 256, 256, 256)).

    With a geometry other than Geometry.defined(), the exact cone walk of a
    Volume of its shape (or a batch) along its rays: lengths in mm x the
    Volume's values, float32, the same bits at any thread count."""
    if _quant._general(geometry):
        return _quant.project_on(volume, geometry, threads)
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


def compare(first, second, cnr=None, cylinder=None, box=None, geometry=None):
    """tomcompare's figures of `second` against `first` (the reference).

    Both Volumes or both stacks. Returns {"kind", "identical", "regions":
    {region: {figure: value}}} with tomcompare's region and figure names
    (regions "whole", "central" and, for Volumes, "axial_slice"; figures
    such as "pearson_r", "rmse", "mae", "nrmse", "fit_scale", "fit_rmse").
    For Volumes also "ssim" (3-D, as scikit-image's structural_similarity
    with gaussian_weights=True, sigma=1.5, use_sample_covariance=False and
    data_range = max - min of `first`), "ssim_axial" (per axial slice) and,
    given a phantom description as `cnr`, "cnr": {insert: {"cnr", ...}}.

    With a geometry other than Geometry.defined(), Volumes or stacks of its
    shapes (tomcompare --geometry): the central cube runs from n/4 to
    n - n/4, the axial slice is iz = nz/2, and for Volumes the regions
    cylinder=(radius, half_height) about the rotation axis and
    box=((x, y, z) lo, (x, y, z) hi) are in mm in its frame. SSIM as on the
    defined grid, on grids of at least 11 voxels along each axis (its
    window; no "ssim" keys on smaller ones); cnr measures Volumes of the
    defined grid only.
    """
    if _quant._general(geometry):
        return _compare_on(first, second, cnr, cylinder, box, geometry)
    if cylinder is not None or box is not None:
        raise ValueError("cylinder and box are in mm on a geometry's grid: give geometry")
    result = _core.compare(first, second)
    if result["kind"] == "Volume":
        result.update(_core.image_quality(first, second, cnr))
    elif cnr is not None:
        raise ValueError("cnr measures Volumes")
    return result


def _compare_on(first, second, cnr, cylinder, box, geometry):
    given = tuple(np.shape(first))
    volume_shape, stack_shape = tuple(geometry.volume_shape), tuple(geometry.stack_shape)
    if given not in (volume_shape, stack_shape):
        raise ValueError(f"first has the shape {given}, the geometry needs {volume_shape} (Volume) "
                         f"or {stack_shape} (stack)")
    stack = given != volume_shape
    _quant._require_shape("second", second, given, batch=False)
    if cnr is not None:
        raise ValueError("cnr measures Volumes of the defined grid")
    regions = _fdk_circular.compare_on_grid(first, second, geometry.voxel_size, geometry.volume_offset, cylinder,
                                            box, stack=stack)
    result = {"kind": "ProjectionStack" if stack else "Volume",
              "identical": regions["whole"]["bitwise_different"] == 0, "regions": regions}
    if not stack:
        result.update(_core.ssim_on_grid(first, second))
    return result


def add_noise(stack, i0, seed, mu=0.15, electronic=0.0, floor=1.0, threads=None, figures=False, geometry=None):
    """tomnoise: the stack a scan with `i0` photons per detector pixel would
    measure (one number, or 256, one per view), from a stack of line
    integrals: Poisson counts of mean i0 * exp(-mu * p), plus normal noise of
    deviation `electronic` counts, raised to `floor`, as -ln(counts / i0) / mu.
    The noise of each sample depends on (seed, view, row, column) alone: the
    same bits as tomnoise's at any thread count. With figures=True returns
    (stack, {"mean_counts", "mean_expected_counts", "starved", "starved_share", ...}).

    With a geometry other than Geometry.defined(), a stack of its shape
    (lengths in mm, mu per mm) and one I0 or one per view of its scan
    (tomnoise --geometry).
    """
    if int(seed) < 0:
        raise ValueError("seed must be a whole number >= 0")
    if _quant._general(geometry):
        _quant._require_shape("stack", stack, geometry.stack_shape, batch=False)
        noisy, tally = _fdk_circular.add_noise_any(stack, i0, seed, mu, electronic, floor, threads)
    else:
        noisy, tally = _core.add_noise(stack, i0, int(seed), float(mu), float(electronic), float(floor), threads)
    return (noisy, tally) if figures else noisy


def analytic_projection(description, threads=None, progress=False, geometry=None):
    """tomanalytic: the exact line integrals of a phantom description along
    tomproj's own rays (tomsim.phantom.description, voxelise).

    With a geometry other than Geometry.defined(), along its rays (the
    half-line from each view's source through each pixel's centre, the whole
    phantom counted), the description in mm: a stack of its shape, in
    mm x value (tomanalytic --geometry)."""
    if _quant._general(geometry):
        return _fdk_circular.analytic_projection_along(description, geometry.vectors(), geometry.detector_shape,
                                                       threads=threads, progress=progress)
    return _run(_core.analytic_projection, progress, "analytic", str(description), threads)
