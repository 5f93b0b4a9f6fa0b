"""The package and the programs give the same bits: one whole study through
both paths, the package at one thread and at all threads."""

import os

import numpy as np
import pytest

import tomsim
from conftest import program, run

pytestmark = pytest.mark.slow


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """The head, projected, rebinned, weighted and reconstructed by the programs."""
    d = tmp_path_factory.mktemp("study")
    run([program("tomphantom"), "shepp-logan", "head.img"], d)
    run([program("tomproj")], d, b"head.img proj.img\n")
    run([program("tomrebin"), "proj.img", "rebinned.img"], d)
    run([program("tomweight")], d)
    run([program("tomrec")], d, b"rebinned.img rec.img\n")
    return d


def test_phantoms(tmp_path):
    run([program("tomphantom"), "shepp-logan", "--scale", "50", "a.img"], tmp_path)
    run([program("tomphantom"), "random", "--seed", "3", "--range", "-2,5", "b.img"], tmp_path)
    run([program("tomphantom"), "ball", "--centre", "1,2,3", "--radius", "9.5", "--value", "3", "c.img"], tmp_path)
    run([program("tomphantom"), "box", "--from", "-3,-4,-5", "--to", "6,7,8", "d.img"], tmp_path)
    run([program("tomphantom"), "voxel", "--index", "5,6,7", "e.img"], tmp_path)
    run([program("tomphantom"), "ones", "f.img"], tmp_path)
    p = tomsim.phantom
    made = [p.shepp_logan(50), p.random(3, (-2, 5)), p.ball((1, 2, 3), 9.5, 3), p.box((-3, -4, -5), (6, 7, 8)),
            p.voxel((5, 6, 7)), p.ones()]
    for name, volume in zip("abcdef", made):
        assert same_bits(tomsim.io.read_volume(tmp_path / f"{name}.img"), volume), name


@pytest.mark.parametrize("threads", [1, None])
def test_projection(study, threads):
    head = tomsim.io.read_volume(study / "head.img")
    assert same_bits(tomsim.project(head, threads=threads), tomsim.io.read_stack(study / "proj.img"))


@pytest.mark.parametrize("threads", [1, None])
def test_rebinning(study, threads):
    proj = tomsim.io.read_stack(study / "proj.img")
    assert same_bits(tomsim.rebin(proj, threads=threads), tomsim.io.read_stack(study / "rebinned.img"))


@pytest.mark.parametrize("threads", [1, None])
def test_weights(study, threads):
    detector, voxel = tomsim.weights(threads=threads, cache=False)
    assert same_bits(detector, tomsim.io.read_stack(study / "long_sum_detector.img"))
    assert same_bits(voxel, tomsim.io.read_volume(study / "long_sum_voxel.img"))


def test_filtered_stack(study):
    rebinned = tomsim.io.read_stack(study / "rebinned.img")
    assert same_bits(tomsim.filter_stack(rebinned), tomsim.io.read_stack(study / "Radon_FLT_dounatsu.img"))


@pytest.mark.parametrize("threads", [1, None])
def test_reconstruction(study, threads):
    rebinned = tomsim.io.read_stack(study / "rebinned.img")
    weights = (tomsim.io.read_stack(study / "long_sum_detector.img"),
               tomsim.io.read_volume(study / "long_sum_voxel.img"))
    volume = tomsim.reconstruct(rebinned, weights=weights, threads=threads)
    assert same_bits(volume, tomsim.io.read_volume(study / "rec.img"))


def test_reconstruction_of_a_batch(study):
    rebinned = np.array(tomsim.io.read_stack(study / "rebinned.img"))
    batch = np.stack([rebinned, np.zeros_like(rebinned)])
    volumes = tomsim.reconstruct(batch)  # the cached weights, made by the package
    assert volumes.shape == (2, 128, 128, 128)
    assert same_bits(volumes[0], tomsim.io.read_volume(study / "rec.img"))
    assert not volumes[1].any()


def test_comparison(study):
    done = run([program("tomcompare"), "--no-fail", "--format", "kv", "head.img", "rec.img"], study)
    figures = tomsim.compare(tomsim.io.read_volume(study / "head.img"), tomsim.io.read_volume(study / "rec.img"))
    assert figures["kind"] == "Volume" and figures["identical"] is False
    lines = dict(line.split("=", 1) for line in done.stdout.decode().splitlines())
    assert lines["identical"] == "0"
    checked = 0
    for key, text in lines.items():
        if "." not in key:
            continue
        region, name = key.split(".", 1)
        value = figures["regions"][region][name]
        if isinstance(value, tuple):
            assert ",".join(map(str, value)) == text, key
        else:
            assert float(text) == value, key  # the report prints the shortest exact text
        checked += 1
    assert checked == sum(len(r) for r in figures["regions"].values())
