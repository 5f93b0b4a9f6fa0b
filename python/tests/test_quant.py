"""FDK, the projector's adjoint and SIRT / OS-SART through the package."""

import numpy as np
import pytest

import tomsim


def test_fdk_takes_batches_and_refuses_unknown_filters():
    stacks = np.zeros((2, 256, 256, 256), np.float32)
    stacks[1, :, 100:150, 120:136] = 1.0
    volumes = tomsim.fdk(stacks, filter="hann", cutoff=0.8, threads=2)
    assert volumes.shape == (2, 128, 128, 128) and volumes.dtype == np.float32
    assert not volumes[0].any() and volumes[1].any()
    single = tomsim.fdk(stacks[1], filter="hann", cutoff=0.8, threads=1)
    assert np.array_equal(single, volumes[1])  # the same bits at any thread count
    with pytest.raises(tomsim.TomsimError):
        tomsim.fdk(stacks[0], filter="ramp")
    with pytest.raises(tomsim.TomsimError):
        tomsim.fdk(stacks[0], cutoff=0.0)
    with pytest.raises(ValueError):
        tomsim.fdk(np.zeros((128, 128, 128), np.float32))


def test_sirt_refuses_bad_starts():
    stack = np.zeros((256, 256, 256), np.float32)
    with pytest.raises(ValueError):
        tomsim.sirt(stack, 1, x0="zeros")
    with pytest.raises(ValueError):
        tomsim.sirt(stack, 1, x0=np.zeros((64, 64, 64), np.float32))
    with pytest.raises(ValueError):
        tomsim.sirt(stack, 0)
    with pytest.raises(tomsim.TomsimUsageError, match="relaxation"):
        tomsim.sirt(stack, 1, relaxation=2.0)
    with pytest.raises(ValueError):
        tomsim.sirt(stack, 1, noise_level=0.1, noise_i0=1e4)
    with pytest.raises(ValueError):
        tomsim.system_sums(4, cache=False)


@pytest.mark.slow
def test_adjoint_identity_and_an_os_sart_pass(tmp_path):
    rng = np.random.default_rng(3)
    x = rng.random((128, 128, 128), dtype=np.float32)
    y = rng.random((256, 256, 256), dtype=np.float32)
    forward = float(np.dot(tomsim.project(x).ravel().astype(np.float64), y.ravel()))
    backward = float(np.dot(x.ravel().astype(np.float64), tomsim.project_adjoint(y).ravel()))
    assert abs(forward - backward) <= 1e-6 * abs(forward)

    truth = tomsim.phantom.ball((5, -3, 8), 30, 0.5)
    stack = tomsim.project(truth)
    seen = []
    result = tomsim.sirt(stack, 3, subsets=8, truth=truth, cache=tmp_path,
                         callback=lambda figures, volume: seen.append(figures["iteration"]) or len(seen) < 2)
    assert seen == [1, 2] and result.stopped_by == "callback"
    assert [f["iteration"] for f in result.history] == [1, 2]
    assert result.history[1]["rmse"] < result.history[0]["rmse"]
    assert result.volume.shape == (128, 128, 128)

    # The sums made beforehand are the ones sirt() reads; on noisy samples
    # the run stops at the level the dose implies.
    assert tomsim.system_sums(8, cache=tmp_path) == str(tmp_path)
    noisy = tomsim.add_noise(stack, 1e3, seed=2)
    stopped = tomsim.sirt(noisy, 5, subsets=8, noise_i0=1e3, discrepancy=1.5, cache=tmp_path)
    assert stopped.stopped_by == "noise level" and len(stopped.history) < 5
