"""The package's simulation functions on a scan other than the defined one:
phantom.description and phantom.voxelise, analytic_projection, add_noise and
compare take a geometry, check the arrays' shapes against it and give the
same bits and figures as the tools run with --geometry on its file."""
import json

import numpy as np
import pytest

import tomsim
from tomsim import phantom
from conftest import program, run

SCAN = """[volume]
shape = [16, 20, 24]
voxel_size = 0.5
offset = [0.25, 0.0, -0.5]

[detector]
shape = [30, 40]
pitch = 0.6
offset = [0.3, -1.2]

[source]
sod = 60.0
sdd = 100.0

[views]
count = 12
start = 5.0
arc = 200.0
"""

SHAPES = ("ellipsoid value=0.5 centre=0.5,-1,0.75 size=3,2.5,2 angles=30,20,10 name=core\n"
          "box value=0.25 centre=-2,1.5,-0.5 size=1.5,1,2 angles=15,0,0\n")


@pytest.fixture
def scan(tmp_path):
    (tmp_path / "scan.toml").write_text(SCAN)
    (tmp_path / "shapes.txt").write_text(SHAPES)
    return tomsim.Geometry.from_toml(str(tmp_path / "scan.toml")), tmp_path


def raw(path, shape):
    return np.fromfile(path, dtype="<f4").reshape(shape)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def test_phantoms_are_tomphantoms_on_the_grid(scan):
    g, folder = scan
    run([program("tomphantom"), "--geometry", "scan.toml", "description", "shapes.txt", "--oversample", "2",
         "d.raw"], folder)
    volume = phantom.voxelise(SHAPES, oversample=2, threads=2, geometry=g)
    assert volume.shape == g.volume_shape
    assert np.array_equal(bits(volume), bits(raw(folder / "d.raw", g.volume_shape)))

    run([program("tomphantom"), "--geometry", "scan.toml", "random-ellipsoids", "--seed", "4", "--sizes", "0.5,3",
         "--description-out", "e.txt", "e.raw"], folder)
    assert phantom.description("random-ellipsoids", seed=4, sizes=(0.5, 3), geometry=g) == (folder / "e.txt").read_text()
    run([program("tomphantom"), "--geometry", "scan.toml", "random-ellipsoids", "--seed", "4", "--sizes", "0.5,3",
         "--field-of-view", "8,6", "--description-out", "f.txt", "f.raw"], folder)
    assert (phantom.description("random-ellipsoids", seed=4, sizes=(0.5, 3), field_of_view=(8, 6), geometry=g)
            == (folder / "f.txt").read_text())
    run([program("tomphantom"), "--geometry", "scan.toml", "shepp-logan", "--description-out", "h.txt", "h.raw"],
        folder)
    assert phantom.description("modified", geometry=g) == (folder / "h.txt").read_text()

    with pytest.raises(ValueError, match="give geometry"):
        phantom.description("random-ellipsoids", seed=4, field_of_view=(8, 6))


def test_the_defined_geometry_keeps_the_defined_phantoms():
    defined = tomsim.Geometry.defined()
    head = phantom.description("modified")
    assert phantom.description("modified", geometry=defined) == head
    ball = "ellipsoid value=1 centre=2,-3,1 size=9,9,9\n"
    assert np.array_equal(bits(phantom.voxelise(ball, geometry=defined)), bits(phantom.voxelise(ball)))


def test_analytic_projection_is_tomanalytics_along_the_scans_rays(scan):
    g, folder = scan
    run([program("tomanalytic"), "--geometry", "scan.toml", "shapes.txt", "a.raw"], folder)
    stack = tomsim.analytic_projection(SHAPES, threads=2, geometry=g)
    assert stack.shape == g.stack_shape
    assert np.array_equal(bits(stack), bits(raw(folder / "a.raw", g.stack_shape)))


def test_noise_is_tomnoises_with_one_i0_per_view(scan):
    g, folder = scan
    clean = (np.arange(np.prod(g.stack_shape)) % 23 * 0.125).astype(np.float32).reshape(g.stack_shape)
    clean.tofile(folder / "clean.raw")
    i0 = [500.0 + 100.0 * v for v in range(12)]
    (folder / "i0.txt").write_text("\n".join(str(x) for x in i0) + "\n")
    run([program("tomnoise"), "--geometry", "scan.toml", "--i0-file", "i0.txt", "--seed", "7", "--mu", "0.02",
         "clean.raw", "n.raw"], folder)
    noisy, figures = tomsim.add_noise(clean, i0, seed=7, mu=0.02, figures=True, geometry=g)
    assert np.array_equal(bits(noisy), bits(raw(folder / "n.raw", g.stack_shape)))
    assert figures["samples"] == clean.size

    with pytest.raises(ValueError, match=r"one value per view \(12\)"):
        tomsim.add_noise(clean, i0[:-1], seed=7, geometry=g)
    with pytest.raises(ValueError, match=r"\(12, 30, 41\).*\(12, 30, 40\)"):
        tomsim.add_noise(np.zeros((12, 30, 41), np.float32), 1000.0, seed=7, geometry=g)


def test_compare_gives_tomcompares_figures_with_regions_in_mm(scan):
    g, folder = scan
    first = (np.arange(np.prod(g.volume_shape)) % 17 * 0.25).astype(np.float32).reshape(g.volume_shape)
    second = (first + (np.arange(first.size) % 5 * 0.0625 - 0.1).reshape(first.shape)).astype(np.float32)
    first.tofile(folder / "a.raw")
    second.tofile(folder / "b.raw")
    done = run([program("tomcompare"), "--geometry", "scan.toml", "--format", "json", "--no-fail", "--cylinder", "3,2",
                "--region-box", "-2,-2,-1,2,1.5,1", "a.raw", "b.raw"], folder)
    report = json.loads(done.stdout)
    result = tomsim.compare(first, second, cylinder=(3, 2), box=((-2, -2, -1), (2, 1.5, 1)), geometry=g)
    assert result["kind"] == report["kind"] == "Volume" and result["identical"] is False
    assert set(result["regions"]) == set(report["regions"]) == {"whole", "central", "axial_slice", "cylinder", "box"}
    for name, figures in report["regions"].items():
        for key in ("samples", "rmse", "pearson_r", "fit_scale", "mae"):
            assert result["regions"][name][key] == figures[key], (name, key)
    # SSIM on the scan's grid: tomcompare's and the package's are one, and
    # both are scikit-image's with the settings the figures document.
    from skimage.metrics import structural_similarity
    expected = structural_similarity(first.astype(np.float64), second.astype(np.float64),
                                     data_range=float(first.max() - first.min()), gaussian_weights=True, sigma=1.5,
                                     use_sample_covariance=False)
    assert result["ssim"] == report["ssim"] == pytest.approx(expected, rel=1e-9)
    assert len(result["ssim_axial"]) == g.volume_shape[0]
    # A grid narrower than the window has no SSIM, and its other figures stand.
    small = tomsim.Geometry(volume_shape=(8, 12, 12), detector_shape=(4, 4), sod=50.0, sdd=100.0, views=2)
    thin = tomsim.compare(first[:8, :12, :12].copy(), second[:8, :12, :12].copy(), geometry=small)
    assert "ssim" not in thin and thin["regions"]["whole"]["samples"] == 8 * 12 * 12

    stack = np.full(g.stack_shape, 0.5, np.float32)
    same = tomsim.compare(stack, stack, geometry=g)
    assert same["kind"] == "ProjectionStack" and same["identical"]
    assert same["regions"]["central"]["samples"] == 12 * 16 * 20

    with pytest.raises(ValueError, match=r"\(16, 20, 23\).*\(16, 20, 24\)"):
        tomsim.compare(first[:, :, :23], second[:, :, :23], geometry=g)
    with pytest.raises(ValueError, match="cnr"):
        tomsim.compare(first, second, cnr=SHAPES, geometry=g)
    with pytest.raises(ValueError, match="give geometry"):
        tomsim.compare(first, second, cylinder=(3, 2))
