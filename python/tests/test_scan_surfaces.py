"""The package's functions on a scan other than the defined one: project,
project_adjoint, fdk, sirt and cgls take a geometry, check the arrays'
shapes against it and give the same bits as the library's cone walk."""
import numpy as np
import pytest

import tomsim


@pytest.fixture(scope="module")
def scan():
    """A small 210-degree scan of anisotropic voxels on an offset,
    non-square detector, and a ball on its grid."""
    g = tomsim.Geometry(volume_shape=(20, 24, 22), voxel_size=(0.6, 0.5, 0.55), volume_offset=(0.4, -0.3, 0.2),
                        detector_shape=(26, 34), detector_pitch=(0.7, 0.6), detector_offset=(0.3, -0.2),
                        sod=60.0, sdd=100.0, views=48, start=11.0, arc=210.0)
    centres = g.voxel_centre(*np.indices(g.volume_shape))
    ball = np.where((centres ** 2).sum(-1) < 3.5 ** 2, 1.0, 0.0).astype(np.float32)
    return g, ball


def test_projection_and_transpose_are_the_cone_walks(scan):
    g, ball = scan
    stack = tomsim.project(ball, geometry=g)
    assert stack.shape == g.stack_shape and stack.dtype == np.float32
    direct = tomsim._core.cone_project(ball, g.vectors(), g.detector_shape, g.voxel_size, g.volume_offset, 1)
    assert np.array_equal(stack, direct)
    batch = tomsim.project(np.stack([ball, 2 * ball]), geometry=g, threads=2)
    assert np.array_equal(batch[0], stack) and np.array_equal(batch[1], tomsim.project(2 * ball, geometry=g))
    rng = np.random.default_rng(3)
    y = rng.random(g.stack_shape, dtype=np.float32)
    back = tomsim.project_adjoint(y, geometry=g)
    assert back.shape == g.volume_shape
    lhs, rhs = np.dot(stack.ravel().astype(float), y.ravel()), np.dot(ball.ravel().astype(float), back.ravel())
    assert abs(lhs - rhs) <= 1e-5 * abs(lhs)


def test_shapes_and_geometries_are_refused_by_name(scan):
    g, ball = scan
    with pytest.raises(ValueError, match=r"\(19, 24, 22\).*\(20, 24, 22\)"):
        tomsim.project(ball[1:], geometry=g)
    with pytest.raises(ValueError, match="stack"):
        tomsim.project_adjoint(np.zeros((3, 4, 5), np.float32), geometry=g)
    with pytest.raises(TypeError):
        tomsim.project(ball, geometry="defined")
    traced = tomsim.Geometry(volume_shape=g.volume_shape, voxel_size=g.voxel_size, detector_shape=g.detector_shape,
                             sod=60.0, sdd=100.0, views=8, trace=((-1, -1, -1), (1, 1, 1)))
    with pytest.raises(ValueError, match="trace"):
        tomsim.project(ball, geometry=traced)
    vectors = tomsim.Geometry.from_vectors(g.vectors(), volume_shape=g.volume_shape, detector_shape=g.detector_shape)
    with pytest.raises(ValueError, match="circular"):
        tomsim.fdk(tomsim.project(ball, geometry=vectors), geometry=vectors)


def test_reconstructions_on_the_scan(scan):
    g, ball = scan
    stack = tomsim.project(ball, geometry=g)
    fdk = tomsim.fdk(stack, geometry=g)
    assert fdk.shape == g.volume_shape
    assert np.corrcoef(fdk.ravel(), ball.ravel())[0, 1] > 0.85
    one = tomsim.sirt(stack, 4, subsets=8, truth=ball, cache=False, geometry=g, threads=1)
    two = tomsim.sirt(stack, 4, subsets=8, cache=False, geometry=g, threads=2)
    assert np.array_equal(one.volume, two.volume)
    assert one.history[-1]["pearson_r"] > 0.95
    cg = tomsim.cgls(stack, 6, truth=ball, cache=False, geometry=g)
    assert cg.history[-1]["pearson_r"] > 0.95 and len(cg.history) == 6
    start = tomsim.sirt(stack, 1, subsets=8, x0="fdk", truth=ball, cache=False, geometry=g)
    assert start.history[0]["pearson_r"] > one.history[0]["pearson_r"]
