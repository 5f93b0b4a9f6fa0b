"""Any circular scan by its plain parameters: FDK with Parker (short scan) or
Wang (offset detector) redundancy weights, phantoms described in mm and
sampled on any grid, their exact projections along any rays.

The frame: the rotation axis is z; the source of angle a (degrees) stands at
sod * (sin a, -cos a, 0); voxel (iz, iy, ix) of a grid of shape (nz, ny, nx),
voxel size (dz, dy, dx) and offset (z, y, x) has its centre at
x = x0 + (ix - (nx-1)/2) dx, y = y0 - (iy - (ny-1)/2) dy,
z = z0 - (iz - (nz-1)/2) dz (mm). Stacks are (views, rows, columns), rows top
first. The detector offset (v, u) shifts the detector's centre along its row
step (pointing down, -z) and its column step ((cos a, sin a, 0)), in mm.
"""

import numpy as np

from . import _core
from ._progress import run


def circular_vectors(angles_deg, sod, sdd, detector_pitch=(1.0, 1.0), detector_offset=(0.0, 0.0)):
    """The (views, 12) vectors of a circular scan: source, detector centre,
    step of one column, step of one row (float64, mm), as Geometry.vectors()
    makes them (they depend on neither the grid nor the detector's size)."""
    from .geometry import Geometry
    return Geometry(volume_shape=(1, 1, 1), detector_shape=(1, 1), detector_pitch=tuple(detector_pitch),
                    detector_offset=tuple(detector_offset), sod=float(sod), sdd=float(sdd),
                    angles=[float(a) for a in angles_deg]).vectors()


def fdk_circular(stack, volume_shape, voxel_size, volume_offset, detector_pitch, detector_offset, sod, sdd,
                 angles_deg, filter="ram-lak", cutoff=1.0, parker_smoothing=1.0, threads=None,
                 redundancy_weights=True, progress=False):
    """FDK of a (views, rows, columns) stack of line integrals (lengths in mm)
    onto the grid, in 1/mm. Parker weights (smoothing q in (0, 1], 1 being
    Parker's own) on an arc under 360 degrees, Wang's weights on a detector
    shifted by more than half a column; redundancy_weights=False counts every
    ray one half, as on a full turn, to show what the weights do."""
    return run(_core.fdk_circular, progress, "fdk", stack, tuple(volume_shape), tuple(voxel_size),
               tuple(volume_offset), tuple(detector_pitch), tuple(detector_offset), float(sod), float(sdd),
               [float(a) for a in angles_deg], str(filter), float(cutoff), float(parker_smoothing), threads,
               bool(redundancy_weights))


def phantom_on_grid(description, volume_shape, voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0),
                    oversample=1, threads=None):
    """A phantom description (tomsim.phantom.description, coordinates in mm)
    sampled on the grid with oversample^3 sub-samples a voxel."""
    return _core.voxelise_on_grid(str(description), tuple(volume_shape), tuple(voxel_size), tuple(volume_offset),
                                  int(oversample), threads)


def analytic_projection_along(description, vectors, detector_shape, threads=None, progress=False):
    """Exact line integrals (mm x value) of a phantom description along the
    rays of (views, 12) vectors: a (views, rows, columns) stack."""
    return run(_core.analytic_projection_along, progress, "analytic projection", str(description),
               np.asarray(vectors, dtype=np.float64), tuple(detector_shape), threads)


def add_noise_any(stack, i0, seed, mu=None, electronic=0.0, floor=None, threads=None):
    """tomnoise on a (views, rows, columns) stack of any shape: I0 one number
    or one per view. Returns (noisy stack, figures)."""
    kwargs = {}
    if mu is not None:
        kwargs["mu"] = float(mu)
    if floor is not None:
        kwargs["floor"] = float(floor)
    i0 = float(i0) if np.ndim(i0) == 0 else [float(x) for x in i0]
    return _core.add_noise_any(stack, i0, int(seed), electronic=float(electronic), threads=threads, **kwargs)


def compare_on_grid(first, second, voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0), cylinder=None,
                    box=None, stack=False):
    """tomcompare's figures of `second` against `first` (Volumes of one
    shape on the grid): regions whole, central, axial_slice, and, when
    given, cylinder=(radius, half_height) about the axis and
    box=((x, y, z) lo, (x, y, z) hi), in mm. A dict of region: figures.
    stack=True: two stacks of one shape, regions whole and central."""
    return _core.compare_on_grid(first, second, tuple(voxel_size), tuple(volume_offset),
                                 None if cylinder is None else tuple(cylinder),
                                 None if box is None else [list(box[0]), list(box[1])], bool(stack))
