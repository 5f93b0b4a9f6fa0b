"""The polychromatic forward model of tomsim.spectral: the energy
integration against straightforward renderings, the monochromatic limit,
seeded noise, the zero-count rule, water linearisation and two-material
decomposition."""

import os
import subprocess
import sys

import numpy as np
import pytest

import tomsim
import tomsim.spectral as sp
from tomsim import _core


def _numpy_transmission(t):
    """The energy integration's e^-t, operation by operation in numpy."""
    t = np.clip(np.asarray(t, dtype=np.float64), -700.0, 708.0)
    x = -t
    k = (x * 1.44269504088896338700 + 6755399441055744.0) - 6755399441055744.0
    r = (x - k * 6.93147180369123816490e-01) - k * 1.90821492927058770002e-10
    factorials = [39916800.0, 3628800.0, 362880.0, 40320.0, 5040.0, 720.0, 120.0, 24.0, 6.0]
    p = np.full_like(r, 1.0 / factorials[0])
    for f in factorials[1:]:
        p = p * r + 1.0 / f
    for c in (0.5, 1.0, 1.0):
        p = p * r + c
    return p * np.ldexp(1.0, k.astype(np.int64))


def test_transmission_is_the_stated_operations_and_accurate():
    t = np.concatenate([np.linspace(-5, 60, 20001), [0.0, 700.0, 708.0, 1e4, -1.0]])
    got = _core.spectral_transmission(t)
    assert np.array_equal(got.view(np.uint64), _numpy_transmission(t).view(np.uint64))
    inside = t <= 700
    assert np.max(np.abs(got[inside] / np.exp(-t[inside]) - 1)) < 1e-13
    assert got[t == 1e4][0] == np.exp(-708.0) * (1 + 0 * got[0]) or got[t == 1e4][0] < 1e-307


def _scan(spectrum=None, materials=None, detector=None):
    spectrum = spectrum or sp.with_photons(sp.tube(120, filtration=[("Al", 2.75)]), 1e5)
    materials = materials or [sp.water(), sp.material("Bone, Cortical (ICRP)"), sp.material("I")]
    return sp.model(spectrum, materials, detector)


def _paths(rays=3000, seed=0, scale=(20.0, 3.0, 0.05)):
    rng = np.random.default_rng(seed)
    return (rng.random((len(scale), rays)) * np.array(scale)[:, None]).astype(np.float32)


def test_energy_integration_matches_a_plain_sum():
    scan = _scan(detector=sp.counting([20, 50, 80]))
    paths = _paths()
    got = sp.simulate(paths, scan).log
    a = scan.attenuation.T @ paths.astype(np.float64)          # (E, rays)
    signal = (scan.photons * scan.gain) @ np.exp(-a)            # (B, rays)
    flat = (scan.photons * scan.gain).sum(axis=1)
    assert np.allclose(got, -np.log(signal / flat[:, None]), rtol=2e-6, atol=1e-6)
    # Rays through no material (whole vectors of them, and a lone one among
    # the rest) measure the flat field exactly: -ln 1 = 0.
    paths[:, :40] = 0.0
    paths[:, 101] = 0.0
    for detector in (sp.counting([20, 50, 80]), sp.integrating()):
        log = sp.simulate(paths, _scan(detector=detector)).log
        assert np.all(log[:, :40] == 0.0) and np.all(log[:, 101] == 0.0)


def test_one_line_reproduces_the_monochromatic_model():
    water = sp.water()
    scan = sp.model(sp.monoenergetic(60.0, 1e4), [water])
    a = np.linspace(0, 40, 1001, dtype=np.float32)[None]
    got = sp.simulate(a, scan).log[0]
    assert np.allclose(got, (sp.mass_attenuation(water, 60.0) * a[0].astype(np.float64)).astype(np.float32),
                       rtol=1e-6, atol=1e-7)


@pytest.mark.slow
def test_one_line_counting_noise_is_tomnoises():
    # A counting scan of one line through one material whose attenuation is
    # tomnoise's M draws the same counts from the same streams.
    rng = np.random.default_rng(3)
    stack = (rng.random(tomsim.STACK_SHAPE, dtype=np.float32) * 40.0).astype(np.float32)
    mono = tomsim.add_noise(stack, 2000.0, seed=11, mu=0.15)
    scan = sp.Model((sp.water(),), np.array([60.0]), np.array([[0.15]]), np.array([[2000.0]]), np.array([[1.0]]),
                    "counting", np.array([2000.0]))
    spectral = sp.simulate(stack[None], scan, seed=11).log[0]
    differ = np.abs(spectral / np.float32(0.15) - mono) > 1e-5 * np.maximum(1.0, np.abs(mono))
    assert differ.sum() <= 20, differ.sum()   # counts equal but where the two exps' last bits split a draw


def test_noise_depends_on_seed_and_ray_alone():
    scan = _scan(detector=sp.integrating())
    paths = _paths(rays=2000)
    one = sp.simulate(paths, scan, seed=5, electronic=3.0, threads=1).log
    two = sp.simulate(paths, scan, seed=5, electronic=3.0, threads=2).log
    assert np.array_equal(one.view(np.uint32), two.view(np.uint32))
    # The rays in two pieces, each from its own first item, give the same bits.
    head = sp.simulate(paths[:, :700], scan, seed=5, electronic=3.0).log
    tail = sp.simulate(np.ascontiguousarray(paths[:, 700:]), scan, seed=5, electronic=3.0, first_item=700).log
    assert np.array_equal(np.concatenate([head, tail], axis=1).view(np.uint32), one.view(np.uint32))
    assert not np.array_equal(sp.simulate(paths, scan, seed=6, electronic=3.0).log, one)


@pytest.mark.parametrize("law", ["compound", "moments"])
def test_integrating_noise_has_the_compound_poisson_moments(law):
    lines = sp.spectrum([40.0, 80.0], [300.0, 100.0])
    scan = sp.model(lines, [sp.water()])
    rays = 40000
    paths = np.full((1, rays), 5.0, dtype=np.float32)
    result = sp.simulate(paths, scan, seed=2, noise=law)
    signal = result.flat[0] * np.exp(-result.log[0].astype(np.float64))
    lam = lines.fluence * np.exp(-sp.mass_attenuation(sp.water(), lines.energies) * 5.0)
    mean, var = np.sum(lam * lines.energies), np.sum(lam * lines.energies ** 2)
    assert abs(signal.mean() - mean) < 4 * np.sqrt(var / rays)
    assert signal.var() == pytest.approx(var, rel=0.03)


def test_zero_counts_are_raised_to_the_floor_and_counted():
    scan = _scan(detector=sp.counting([20, 60]))
    paths = np.zeros((3, 100), dtype=np.float32)
    paths[0, :30] = 1000.0   # 10 m of water: nothing comes through
    result = sp.simulate(paths, scan, seed=1)
    assert result.floored == [30, 30]
    assert np.allclose(result.log[:, :30], -np.log(result.floor / result.flat)[:, None], rtol=1e-6)
    assert np.all(result.floor == 1.0)
    assert sp.simulate(paths, scan).floored == [30, 30]   # expected values underflow to the floor too


def test_vector_and_scalar_kernels_give_the_same_bits(tmp_path):
    paths = _paths(rays=5000, seed=4)
    paths[:, 200:300] = 0.0  # air: the vectors that skip the exponentials
    np.save(tmp_path / "paths.npy", paths)
    script = (
        "import numpy as np, sys\n"
        "import tomsim.spectral as sp\n"
        "scan = sp.model(sp.with_photons(sp.tube(120), 1e5), [sp.water(), sp.material('Bone, Cortical (ICRP)'),"
        " sp.material('I')], sp.counting([20, 60]))\n"
        "p = np.load(sys.argv[1])\n"
        "np.save(sys.argv[2], sp.simulate(p, scan).log)\n"
        "np.save(sys.argv[3], sp.decompose(sp.simulate(p[:2] * 0.1, sp.model_like(scan, scan.materials[:2])).log,"
        " sp.model_like(scan, scan.materials[:2])))\n")
    from tomsim import _core
    outputs = {}
    # Every vector width this processor runs: the default, and AVX2 beside AVX-512.
    kernels = ("scalar", "avx2", "") if _core.process_kernel() == "avx512" else ("scalar", "")
    for kernel in kernels:
        env = dict(os.environ)
        if kernel:
            env["TOMSIM_KERNEL"] = kernel
        else:
            env.pop("TOMSIM_KERNEL", None)
        a, b = tmp_path / f"log{kernel}.npy", tmp_path / f"dec{kernel}.npy"
        subprocess.run([sys.executable, "-c", script, str(tmp_path / "paths.npy"), str(a), str(b)], env=env,
                       check=True)
        outputs[kernel] = (np.load(a), np.load(b))
    for kernel in kernels[1:]:
        for x, y in zip(outputs["scalar"], outputs[kernel]):
            assert np.array_equal(x.view(np.uint32), y.view(np.uint32))


def test_detected_spectrum_of_one_ray():
    scan = _scan(detector=sp.integrating("Cesium Iodide", 0.6))
    behind, signal = sp.detected_spectrum(scan, [10.0, 0.0, 0.0])
    mu = sp.mass_attenuation(sp.water(), scan.energies)
    assert np.allclose(behind, scan.fluence * np.exp(-mu * 10.0), rtol=1e-12)
    assert np.allclose(signal[0], scan.photons[0] * scan.gain[0] * np.exp(-mu * 10.0), rtol=1e-12)
    log = sp.simulate(np.array([[10.0], [0.0], [0.0]], dtype=np.float32), scan).log[0, 0]
    assert log == pytest.approx(-np.log(signal.sum() / (scan.photons * scan.gain).sum()), rel=1e-6)


def test_models_without_meaning_are_refused():
    scan = _scan()
    with pytest.raises(tomsim.TomsimError, match="finite and >= 0"):
        sp.simulate(_paths(), scan._replace(attenuation=-scan.attenuation))
    with pytest.raises(ValueError, match="one leading entry per material"):
        sp.simulate(_paths()[:2], scan)
    with pytest.raises(tomsim.TomsimError, match="sees no signal"):
        sp.simulate(_paths(), scan._replace(photons=np.zeros_like(scan.photons)))
    with pytest.raises(tomsim.TomsimError, match="standard deviation"):
        sp.simulate(_paths(), scan, seed=1, electronic=-1.0)


def test_water_linearisation_recovers_the_water_path():
    scan = _scan(materials=[sp.water()])
    c = sp.water_fit(scan)
    a = np.linspace(0.5, 40.0, 300, dtype=np.float32)[None]
    log = sp.simulate(a, scan).log
    corrected = sp.linearise(log, c, voxel_mm=2.0)[0]
    assert np.allclose(corrected, a[0] * 10 / 2.0, rtol=1e-3)
    # Without the higher terms the thick paths read short: beam hardening.
    plain = sp.linearise(log, c, voxel_mm=2.0, linear_only=True)[0]
    assert plain[-1] < 0.9 * a[0, -1] * 5
    assert sp.hu(np.array([1.0, 0.0, 1.01]), 1.0, 0.0).tolist() == pytest.approx([0, -1000, 10])


def test_two_material_decomposition_recovers_the_paths():
    materials = [sp.water(), sp.material("I")]
    low = sp.model(sp.with_photons(sp.tube(80, filtration=[("Al", 2.75)]), 1e5), materials)
    high = sp.model(sp.with_photons(sp.tube(140, filtration=[("Al", 2.75), ("Cu", 0.4)]), 1e5), materials)
    both = sp.stack_bins(low, high)
    paths = _paths(rays=4000, seed=9, scale=(30.0, 0.08))
    log = sp.simulate(paths, both).log
    found = sp.decompose(log, both)
    assert np.allclose(found[0], paths[0], rtol=1e-4, atol=2e-4)
    assert np.allclose(found[1], paths[1], rtol=1e-3, atol=2e-6)
    log[0, 0] = np.nan
    assert np.isnan(sp.decompose(log, both)[:, 0]).all()


def test_command_line_refuses_a_bad_filter(tmp_path):
    done = subprocess.run([sys.executable, "-m", "tomsim.spectral", str(tmp_path), "--phantom", "water",
                           "--filter", "2.5"], capture_output=True, text=True)
    assert done.returncode == 2 and "MATERIAL:MM" in done.stderr
    # A sensor given by its formula needs its density, and is named by it.
    done = subprocess.run([sys.executable, "-m", "tomsim.spectral", str(tmp_path), "--phantom", "water",
                           "--sensor", "CdTe", "--sensor-mm", "2"], capture_output=True, text=True)
    assert done.returncode != 0 and "density" in done.stderr
    assert sp.counting([20, 60], sp.material("CdTe", 5.85), 2.0).sensor is not None


@pytest.mark.slow
def test_command_line_writes_every_bin(tmp_path):
    done = subprocess.run([sys.executable, "-m", "tomsim.spectral", str(tmp_path), "--phantom", "bone-metal",
                           "--thresholds", "20,60", "--sensor", "CdTe", "--sensor-density", "5.85", "--sensor-mm", "2",
                           "--seed", "1", "--threads", "2"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for b in (0, 1):
        stack = tomsim.io.read_stack(tmp_path / f"bin{b}.img")
        assert stack.shape == tomsim.STACK_SHAPE and float(stack.max()) > 1.0
