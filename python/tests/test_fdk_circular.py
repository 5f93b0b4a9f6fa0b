"""FDK on any circular scan, phantoms in mm on any grid, their exact
projections along any rays, noise and comparison figures on any shape."""
import numpy as np
import pytest

import tomsim
from tomsim import _fdk_circular as circular
from tomsim import phantom

BALL = "ellipsoid value=0.02 centre=2,-1,0.5 size=20,20,20\n"
SMALL = dict(volume_shape=(48, 64, 64), voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0))


def ball_interior(volume):
    iz, iy, ix = np.indices(volume.shape)
    x, y, z = ix - 31.5 - 2.0, -(iy - 31.5) + 1.0, -(iz - 23.5) - 0.5
    inside = (x * x + y * y <= 14 ** 2) & (np.abs(z) <= 6)
    return volume[inside]


@pytest.mark.parametrize("arc, views, columns, offset_u", [(360.0, 180, 128, 0.0), (200.0, 200, 128, 0.0),
                                                          (360.0, 360, 80, 24.0)])
def test_a_ball_in_mm_reconstructs_to_its_value(arc, views, columns, offset_u):
    angles = np.arange(views) * (arc / views)
    vectors = circular.circular_vectors(angles, 200.0, 400.0, (1.0, 1.0), (0.0, offset_u))
    stack = circular.analytic_projection_along(BALL, vectors, (96, columns), threads=2)
    assert stack.shape == (views, 96, columns)
    volume = circular.fdk_circular(stack, detector_pitch=(1.0, 1.0), detector_offset=(0.0, offset_u), sod=200.0,
                                   sdd=400.0, angles_deg=angles, filter="hann", threads=2, **SMALL)
    assert volume.shape == (48, 64, 64)
    assert abs(ball_interior(volume).mean() / 0.02 - 1.0) < 0.01


def test_scans_fdk_cannot_reconstruct_are_refused():
    angles = np.arange(190) * 1.0
    stack = np.zeros((190, 8, 128), np.float32)
    with pytest.raises(tomsim.TomsimError, match="needs at least 198.18 degrees"):
        circular.fdk_circular(stack, detector_pitch=(1.0, 1.0), detector_offset=(0.0, 0.0), sod=200.0, sdd=400.0,
                              angles_deg=angles, **SMALL)
    with pytest.raises(ValueError, match="190 views but angles_deg 189"):
        circular.fdk_circular(stack, detector_pitch=(1.0, 1.0), detector_offset=(0.0, 0.0), sod=200.0, sdd=400.0,
                              angles_deg=angles[:-1], **SMALL)


def test_a_phantom_on_the_defined_grid_is_the_defined_volume():
    head = phantom.description("modified", scale=63.0)
    on_grid = circular.phantom_on_grid(head, (128, 128, 128), (1.0, 1.0, 1.0), (1.0, 1.0, 0.0))
    assert np.array_equal(on_grid.view(np.uint32), phantom.voxelise(head).view(np.uint32))


def test_noise_on_any_shape_takes_one_i0_per_view():
    stack = np.full((5, 3, 7), 0.5, np.float32)
    noisy, figures = circular.add_noise_any(stack, [1000.0] * 5, seed=3)
    assert noisy.shape == stack.shape and figures["samples"] == stack.size
    again, _ = circular.add_noise_any(stack, 1000.0, seed=3, threads=1)
    assert np.array_equal(noisy, again)
    with pytest.raises(tomsim.TomsimError, match=r"one value per view \(5\)"):
        circular.add_noise_any(stack, [1000.0] * 4, seed=3)


def test_comparison_regions_in_mm():
    first = np.zeros((20, 40, 30), np.float32)
    second = first + 1.0
    figures = circular.compare_on_grid(first, second, voxel_size=(2.0, 0.5, 0.5), cylinder=(5.0, 10.0),
                                       box=((-1, -1, -1), (1, 1, 1)))
    assert set(figures) == {"whole", "central", "axial_slice", "cylinder", "box"}
    assert figures["central"]["samples"] == 10 * 20 * 16
    assert abs(figures["cylinder"]["samples"] / (np.pi * 25 * 20 / (2.0 * 0.25)) - 1.0) < 0.05
    assert figures["whole"]["rmse"] == 1.0
