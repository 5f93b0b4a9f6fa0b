"""tomphantom's test Volumes as arrays (128, 128, 128) [iz, iy, ix].

Shapes are sampled at the voxel centres x = ix - 63.5, y = 64.5 - iy,
z = 64.5 - iz (voxel units, origin at the grid centre).
"""

from . import _core

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
