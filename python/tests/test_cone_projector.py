"""The cone projector on numpy arrays: any scan by its vectors."""
import math

import numpy as np
import pytest

from tomsim import _core


def circular_vectors(views, sod, sdd, pitch=(1.0, 1.0), offset=(0.0, 0.0), arc=2 * math.pi):
    """One vector set a view of a circular orbit (source on -y at angle 0, rows along -z)."""
    rows = []
    for k in range(views):
        a = arc * k / views
        s, c = math.sin(a), math.cos(a)
        source = (sod * s, -sod * c, 0.0)
        u = (pitch[1] * c, pitch[1] * s, 0.0)
        v = (0.0, 0.0, -pitch[0])
        d = (-(sdd - sod) * s + offset[1] * c, (sdd - sod) * c + offset[1] * s, -offset[0])
        rows.append(source + d + u + v)
    return np.array(rows)


VECTORS = circular_vectors(6, 40.0, 70.0, pitch=(1.3, 1.1), offset=(0.4, -0.7), arc=math.radians(200))
GRID = dict(voxel_size=(0.7, 1.1, 0.9), volume_offset=(0.5, -0.3, 1.2))


def test_projection_and_transpose_satisfy_the_adjoint_identity():
    rng = np.random.default_rng(5)
    x = rng.random((9, 11, 13), dtype=np.float32)
    y = rng.random((6, 8, 12), dtype=np.float32)
    ax = _core.cone_project(x, VECTORS, detector_shape=(8, 12), **GRID)
    aty = _core.cone_project_adjoint(y, VECTORS, volume_shape=(9, 11, 13), **GRID)
    assert ax.shape == (6, 8, 12) and ax.dtype == np.float32
    assert aty.shape == (9, 11, 13) and aty.dtype == np.float32
    forward = float(np.dot(ax.ravel().astype(np.float64), y.ravel()))
    backward = float(np.dot(x.ravel().astype(np.float64), aty.ravel()))
    assert forward > 0
    assert abs(forward - backward) <= 1e-6 * forward


def test_a_uniform_volume_gives_chord_lengths_of_its_box():
    # A ray through the middle of a 1 mm cube from far away crosses 1 mm of it.
    vectors = circular_vectors(4, 1000.0, 2000.0, arc=2 * math.pi)
    stack = _core.cone_project(np.ones((4, 4, 4), np.float32), vectors, detector_shape=(3, 3),
                               voxel_size=(0.25, 0.25, 0.25))
    assert stack[:, 1, 1] == pytest.approx(1.0, rel=1e-6)


def test_a_batch_is_each_volume_projected_alone_and_threads_do_not_change_bits():
    rng = np.random.default_rng(6)
    batch = rng.random((3, 9, 11, 13), dtype=np.float32)
    stacks = _core.cone_project(batch, VECTORS, detector_shape=(8, 12), threads=2, **GRID)
    assert stacks.shape == (3, 6, 8, 12)
    for k in range(3):
        alone = _core.cone_project(batch[k], VECTORS, detector_shape=(8, 12), threads=1, **GRID)
        assert np.array_equal(stacks[k], alone)


def test_shapes_that_do_not_fit_the_scan_are_refused_naming_both():
    with pytest.raises(ValueError, match=r"stack has shape \(5, 8, 12\) but the scan needs \(6, 8, 12\)"):
        _core.cone_project_adjoint(np.zeros((5, 8, 12), np.float32), VECTORS, volume_shape=(9, 11, 13), **GRID)
    with pytest.raises(ValueError, match=r"vectors has shape \(6, 11\) but the scan needs \(6, 12\)"):
        _core.cone_project(np.zeros((2, 2, 2), np.float32), VECTORS[:, :11], detector_shape=(2, 2))
    with pytest.raises(ValueError, match="voxel size along y"):
        _core.cone_project(np.zeros((2, 2, 2), np.float32), VECTORS, detector_shape=(2, 2),
                           voxel_size=(1.0, 0.0, 1.0))
