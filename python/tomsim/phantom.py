"""tomphantom's test Volumes as arrays (128, 128, 128) [iz, iy, ix].

Shapes are sampled at the voxel centres x = ix - 63.5, y = 64.5 - iy,
z = 64.5 - iz (voxel units, origin at the grid centre).
"""

from . import _core
from . import _fdk_circular
from ._quant import _general

DEFAULT_SCALE = 63.0


def shepp_logan(scale=DEFAULT_SCALE):
    """The modified 3-D Shepp-Logan head (skull 1, brain 0.2); one unit of
    its frame is `scale` voxels (58 voxels of skull along y at 63)."""
    return _core.shepp_logan(float(scale))


def ball(centre, radius, value=1.0):
    """`value` at every voxel whose centre is within `radius` of `centre` (x, y, z)."""
    return _core.ball([float(c) for c in centre], float(radius), value)


def box(lo, hi, value=1.0):
    """`value` at every voxel whose centre lies in [lo, hi] on all three axes."""
    return _core.box([float(c) for c in lo], [float(c) for c in hi], value)


def ones():
    """1 everywhere."""
    return _core.constant(1.0)


def voxel(index, value=1.0):
    """`value` at voxel (ix, iy, iz), 0 elsewhere."""
    return _core.voxel([int(i) for i in index], value)


def random(seed, range=(0.0, 1.0)):
    """Uniform values in [lo, hi) from splitmix64 seeded with `seed`: the
    same Volume on every machine."""
    lo, hi = range
    if int(seed) < 0:
        raise ValueError("seed must be a whole number >= 0")
    return _core.random(int(seed), float(lo), float(hi))


# Continuous phantoms. A phantom is its description: a text of one shape per
# line, "KIND value=V centre=X,Y,Z size=A,B,C angles=PHI,THETA,PSI
# [name=NAME]" (ellipsoid, box or cylinder; voxels from the grid centre,
# degrees), as tomphantom --description-out writes it and tomanalytic reads
# it. Keep it as a string or in a file; voxelise() makes its Volume and
# tomsim.analytic_projection() its exact stack.

def description(kind, seed=None, scale=None, count=(5, 15), values=(0.05, 0.5), sizes=(3.0, 30.0),
                field_of_view=None, geometry=None):
    """The description of a ready-made phantom: "modified" (the modified head),
    "kak-slaney" (Kak and Slaney's head, skull 2, brain 1.02), "inserts" (a
    water cylinder with eight contrast rods) or "random-ellipsoids" (needs
    `seed`; `count`, `values` and `sizes` are the (lo, hi) ranges of the
    number of ellipsoids, their values and their semi-axes in voxels).
    `scale` is the heads' voxels per unit of their frame (default 63).

    With a geometry other than Geometry.defined(), everything is in mm in
    its frame (tomphantom --geometry): the heads' scale defaults to 63/128
    of its grid's smallest width, and the random ellipsoids keep one voxel
    inside its grid, or inside field_of_view=(diameter, height) (the square
    inscribed in a circle of that diameter about the axis, that height)."""
    if seed is not None and int(seed) < 0:
        raise ValueError("seed must be a whole number >= 0")
    general = _general(geometry)
    if field_of_view is not None and not general:
        raise ValueError("field_of_view is in mm on a geometry's grid: give geometry")
    ranges = ([int(c) for c in count], [float(v) for v in values], [float(s) for s in sizes])
    if general:
        grid = (tuple(geometry.volume_shape), tuple(geometry.voxel_size), tuple(geometry.volume_offset))
        if scale is None:
            scale = _core.grid_head_scale(*grid)
        if str(kind) == "random-ellipsoids":
            if seed is None:
                raise ValueError("random-ellipsoids needs a seed")
            if field_of_view is None:
                return _core.random_ellipsoids_on_grid(int(seed), *grid, *ranges)
            diameter, height = field_of_view
            return _core.random_ellipsoids_in(int(seed), float(diameter), float(height), *ranges)
    return _core.phantom_description(str(kind), None if seed is None else int(seed),
                                     float(DEFAULT_SCALE if scale is None else scale), *ranges)


def voxelise(description, oversample=1, threads=None, geometry=None):
    """The Volume of a description: each voxel the mean of oversample^3
    sub-samples (1: its centre), as tomphantom description --oversample N.
    With a geometry other than Geometry.defined(), on its grid, the
    description in mm (tomphantom --geometry)."""
    if _general(geometry):
        return _fdk_circular.phantom_on_grid(description, geometry.volume_shape, geometry.voxel_size,
                                             geometry.volume_offset, oversample, threads)
    return _core.voxelise(str(description), int(oversample), threads)


def read_description(path):
    """A description file's text."""
    with open(path, encoding="utf-8") as f:
        return f.read()


def write_description(path, description):
    """Writes a description's text to a file."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(description)
