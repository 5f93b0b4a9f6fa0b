"""Failures reach Python as exceptions carrying the programs' messages, never
as an exit of the interpreter; files are read and written as the programs do."""

import os

import numpy as np
import pytest

import tomsim


def test_missing_file(tmp_path):
    missing = tmp_path / "missing.img"
    with pytest.raises(tomsim.TomsimInputError, match="error input data: cannot open .*missing.img") as e:
        tomsim.io.read_volume(missing)
    assert isinstance(e.value, OSError) and e.value.kind == "input"


def test_wrong_size_file_names_both_sizes(tmp_path):
    short = tmp_path / "short.img"
    short.write_bytes(b"\0" * 1000)
    with pytest.raises(tomsim.TomsimInputError, match="holds 1000 bytes, expected 8388608"):
        tomsim.io.read_volume(short)
    with pytest.raises(tomsim.TomsimInputError, match="neither a Volume"):
        tomsim.io.read(short)


def test_unwritable_output_keeps_the_old_file(tmp_path):
    volume = tomsim.phantom.ones()
    with pytest.raises(tomsim.TomsimOutputError, match="error output data: .*no-such-folder"):
        tomsim.io.write(tmp_path / "no-such-folder" / "v.img", volume)
    # A target that is a folder is refused; nothing of it is touched.
    folder = tmp_path / "folder.img"
    folder.mkdir()
    with pytest.raises(tomsim.TomsimOutputError):
        tomsim.io.write(folder, volume)
    assert folder.is_dir() and not os.listdir(folder)
    assert sorted(os.listdir(tmp_path)) == ["folder.img"]  # no temporary file left


def test_bad_argument_is_a_value_error(tmp_path):
    with pytest.raises(ValueError, match=r"\(128, 128, 128\)"):
        tomsim.io.write(tmp_path / "v.img", np.zeros((128, 128, 127), np.float32))
    with pytest.raises(ValueError, match="kind"):
        tomsim.io.read(tmp_path / "v.img", kind="image")


def test_round_trip_through_files(tmp_path):
    volume = tomsim.phantom.random(7, range=(-1.0, 2.0))
    path = tmp_path / "v.img"
    tomsim.io.write(path, volume)
    assert path.stat().st_size == 4 * 128 ** 3
    back = tomsim.io.read(path)  # the size says it is a Volume
    assert isinstance(back, np.memmap) and not back.flags.writeable
    assert np.array_equal(back.view(np.uint32), volume.view(np.uint32))
    assert np.array_equal(np.fromfile(path, "<f4").reshape(128, 128, 128), volume)


def test_metaimage_header_names_the_raw_file(tmp_path):
    path = tmp_path / "v.img"
    tomsim.io.write(path, tomsim.phantom.ones())
    header = tomsim.io.write_header(path)
    assert header == str(tmp_path / "v.mhd")
    text = open(header).read()
    assert "DimSize = 128 128 128" in text and "ElementDataFile = v.img" in text
