"""The weight arrays' caches: one computation per process and per library
build; a damaged cache file is made anew, never trusted."""

import os

import numpy as np
import pytest

import tomsim
from tomsim import _weights


@pytest.fixture
def counted(monkeypatch, tmp_path):
    """Replaces the computation by a quick stand-in that counts its calls,
    with an empty cache folder and no array kept in memory."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    calls = []

    def compute(threads=None, progress=None):
        calls.append(threads)
        rng = np.random.default_rng(len(calls))
        return (rng.random((256, 256, 256), dtype=np.float32),
                rng.random((128, 128, 128), dtype=np.float32))

    monkeypatch.setattr(_weights._core, "compute_weights", compute)
    _weights.forget()
    yield calls
    _weights.forget()


def test_made_once_then_kept_in_memory_and_on_disk(counted):
    first = tomsim.weights()
    assert len(counted) == 1
    assert tomsim.weights() is first
    assert not first[0].flags.writeable and not first[1].flags.writeable
    folder = tomsim.weights_folder()
    assert folder.startswith(os.environ["XDG_CACHE_HOME"]) and _weights.build_id() in folder
    assert sorted(os.listdir(folder)) == ["long_sum_detector.img", "long_sum_voxel.img", "sha256sums"]
    _weights.forget()
    again = tomsim.weights()  # from the disk
    assert len(counted) == 1
    assert np.array_equal(again[0], first[0]) and np.array_equal(again[1], first[1])


@pytest.mark.parametrize("damage", ["short", "altered", "no sums", "missing"])
def test_damaged_cache_is_made_anew(counted, damage):
    tomsim.weights()
    _weights.forget()
    path = os.path.join(tomsim.weights_folder(), "long_sum_voxel.img")
    if damage == "short":
        os.truncate(path, 1000)
    elif damage == "altered":
        with open(path, "r+b") as f:
            f.seek(12345)
            f.write(b"\x01\x02\x03\x04")
    elif damage == "no sums":
        os.remove(os.path.join(tomsim.weights_folder(), "sha256sums"))
    else:
        os.remove(path)
    made = tomsim.weights()
    assert len(counted) == 2
    # The new arrays are what the cache holds now.
    _weights.forget()
    assert np.array_equal(tomsim.weights()[1], made[1]) and len(counted) == 2


def test_unwritable_cache_still_gives_the_arrays(counted, tmp_path, monkeypatch):
    blocker = tmp_path / "not-a-folder"
    blocker.write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(blocker))
    assert tomsim.weights()[0].shape == (256, 256, 256)


def test_cache_false_neither_reads_nor_writes(counted):
    tomsim.weights(cache=False)
    assert not os.path.exists(tomsim.weights_folder())
    tomsim.weights(cache=False)
    assert len(counted) == 2
