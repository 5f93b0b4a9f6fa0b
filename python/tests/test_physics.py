"""Dose noise, continuous phantoms, exact projections and image quality
through the package: the same bits as tomnoise, tomphantom and tomanalytic."""

import math
import os

import numpy as np
import pytest

import tomsim
from conftest import program, run


def line_integrals():
    stack = np.zeros(tomsim.STACK_SHAPE, dtype=np.float32)
    stack[:] = (np.arange(256, dtype=np.float32) % 40)[None, None, :] * 0.5
    return stack


def test_add_noise_is_tomnoise(tmp_path):
    stack = line_integrals()
    stack.tofile(tmp_path / "p.img")
    run([program("tomnoise"), "--i0", "5000", "--seed", "8", "--electronic", "1.5", "--threads", "2",
         "p.img", "n.img"], cwd=tmp_path)
    noisy, figures = tomsim.add_noise(stack, 5000, 8, electronic=1.5, threads=1, figures=True)
    assert noisy.shape == tomsim.STACK_SHAPE and noisy.dtype == np.float32
    assert np.array_equal(noisy.view(np.uint32), np.fromfile(tmp_path / "n.img", "<f4").reshape(noisy.shape).view(np.uint32))
    expected = np.mean(5000 * np.exp(-0.15 * stack.astype(np.float64)))
    assert figures["mean_expected_counts"] == pytest.approx(expected, rel=1e-9)
    assert figures["mean_counts"] == pytest.approx(expected, rel=1e-3)
    # Refused before any work.
    with pytest.raises(ValueError):
        tomsim.add_noise(stack, [1000.0] * 255, 8)
    with pytest.raises(tomsim.TomsimError):
        tomsim.add_noise(stack, 100, 8, floor=200)


def test_phantom_descriptions_are_tomphantoms(tmp_path):
    text = tomsim.phantom.description("random-ellipsoids", seed=12, count=(4, 6))
    assert text == tomsim.phantom.description("random-ellipsoids", seed=12, count=(4, 6))
    assert 4 <= sum(line.startswith("ellipsoid") for line in text.splitlines()) <= 6
    tomsim.phantom.write_description(tmp_path / "r.txt", text)
    run([program("tomphantom"), "description", "r.txt", "--oversample", "2", "r.img"], cwd=tmp_path)
    volume = tomsim.phantom.voxelise(tomsim.phantom.read_description(tmp_path / "r.txt"), oversample=2)
    assert np.array_equal(volume, np.fromfile(tmp_path / "r.img", "<f4").reshape(tomsim.VOLUME_SHAPE))
    # The modified head at the voxel centres is the toolkit's head.
    assert np.array_equal(tomsim.phantom.voxelise(tomsim.phantom.description("modified")),
                          tomsim.phantom.shepp_logan())
    with pytest.raises(ValueError):
        tomsim.phantom.description("random-ellipsoids")
    with pytest.raises(tomsim.TomsimError):
        tomsim.phantom.voxelise("sphere value=1")


def test_analytic_projection_of_a_ball():
    text = "ellipsoid value=2 centre=0,0,0 size=20,20,20 angles=0,0,0\n"
    stack = tomsim.analytic_projection(text, threads=2)
    # The central ray of every view crosses the ball through its centre.
    assert stack[:, 128, 128] == pytest.approx(np.full(256, 80.0), abs=1e-5)
    assert stack[0, 0, 0] == 0.0


def test_compare_reports_ssim_and_cnr():
    text = tomsim.phantom.description("inserts")
    phantom = tomsim.phantom.voxelise(text)
    noisy = phantom + np.random.default_rng(1).normal(0, 0.01, phantom.shape).astype(np.float32)
    figures = tomsim.compare(phantom, noisy, cnr=text)
    assert 0.0 < figures["ssim"] < 1.0
    assert len(figures["ssim_axial"]) == 128
    assert figures["cnr"]["plus10"]["cnr"] == pytest.approx(0.02 / 0.01, rel=0.1)
    assert figures["regions"]["whole"]["mae"] > 0.0
    assert tomsim.compare(phantom, phantom)["ssim"] == pytest.approx(1.0)
