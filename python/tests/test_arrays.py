"""Arrays in and out of the package: shapes, dtypes, copies, arguments,
progress."""

import numpy as np
import pytest

import tomsim


def small_ball():
    # A small ball projects quickly: only the rays near it are traced.
    return tomsim.phantom.ball((3.0, -2.0, 1.5), 5.0, value=0.5)


def test_wrong_shapes_name_the_expected_shape():
    with pytest.raises(ValueError, match=r"\(128, 128, 128\).*not \(128, 128\)"):
        tomsim.project(np.zeros((128, 128), np.float32))
    with pytest.raises(ValueError, match=r"\(256, 256, 256\)"):
        tomsim.rebin(np.zeros((128, 128, 128), np.float32))
    with pytest.raises(ValueError, match=r"\(256, 256, 256\)"):
        tomsim.filter_stack(np.zeros((2, 1, 256, 256, 256), np.float32))
    with pytest.raises(ValueError, match="voxel weights"):
        stack = np.zeros((256, 256, 256), np.float32)
        tomsim.reconstruct(stack, weights=(stack, np.zeros((64, 64, 64), np.float32)))
    with pytest.raises(ValueError, match="K >= 1"):
        tomsim.project(np.zeros((0, 128, 128, 128), np.float32))


def test_bad_arguments():
    volume = small_ball()
    with pytest.raises(ValueError, match="threads"):
        tomsim.project(volume, threads=0)
    with pytest.raises(TypeError, match="threads"):
        tomsim.project(volume, threads=1.5)
    with pytest.raises(TypeError, match="progress"):
        tomsim.project(volume, progress="yes")
    with pytest.raises(ValueError, match="pair"):
        tomsim.reconstruct(np.zeros((256, 256, 256), np.float32), weights=3)
    with pytest.raises(ValueError):
        tomsim.phantom.voxel((0, 0, 128))
    with pytest.raises(ValueError):
        tomsim.phantom.ball((0, 0, 0), -1)


def test_other_dtypes_and_orders_give_the_same_bits():
    volume = small_ball()
    expected = tomsim.project(volume, threads=2)
    as_double = tomsim.project(volume.astype(np.float64))
    # The same Volume with its axes stored in another order (not C-contiguous).
    fortran = np.asfortranarray(volume)
    assert not fortran.flags.c_contiguous
    from_fortran = tomsim.project(fortran, threads=1)
    big_endian = tomsim.project(volume.astype(">f4"))
    for other in (as_double, from_fortran, big_endian):
        assert other.dtype == np.float32 and other.flags.c_contiguous
        assert np.array_equal(other.view(np.uint32), expected.view(np.uint32))


def test_input_is_left_as_it_was():
    stack = np.random.default_rng(1).random((256, 256, 256), dtype=np.float32)
    before = stack.copy()
    tomsim.filter_stack(stack)
    assert np.array_equal(stack, before)


def test_progress_callable_sees_every_view_in_order():
    seen = []
    tomsim.project(small_ball(), progress=lambda done, total: seen.append((done, total)))
    assert seen == [(i, 256) for i in range(1, 257)]


def test_exception_in_progress_reaches_the_caller():
    calls = []

    def stop(done, total):
        calls.append(done)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tomsim.project(small_ball(), threads=2, progress=stop)
    assert calls == [1]  # called once, then no more


def test_progress_bar_runs(capsys):
    stack = tomsim.project(small_ball(), progress=True)
    assert stack.shape == (256, 256, 256)


def test_batch_axis_gives_each_volume_its_own_result():
    a = small_ball()
    b = tomsim.phantom.box((-4, -4, -4), (3, 2, 1), value=2.0)
    both = tomsim.project(np.stack([a, b]))
    assert both.shape == (2, 256, 256, 256)
    assert np.array_equal(both[0], tomsim.project(a))
    assert np.array_equal(both[1], tomsim.project(b))
    rebinned = tomsim.rebin(both)
    assert rebinned.shape == (2, 256, 256, 256)
    assert np.array_equal(rebinned[1], tomsim.rebin(both[1]))
