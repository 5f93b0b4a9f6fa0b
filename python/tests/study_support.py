"""Small studies for the tests of tomstudy: phantom files made here, the steps
this build has, and helpers to run tomstudy as the user does."""

import os
import subprocess
import sys

import numpy as np

from tomsim.study.store import read_arrays


def python_env():
    """The environment a subprocess needs to import what this test imports."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.pop("PYTHONSTARTUP", None)
    return env


def write_boxes(folder, count):
    """Volume files of small uniform boxes, cheap to project."""
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        volume = np.zeros((128, 128, 128), np.float32)
        volume[50 + i:78, 52:76 - i, 54:74] = 0.5 + 0.25 * i
        volume.tofile(os.path.join(folder, f"box{i}.img"))


def small_study(folder, samples=6):
    """A study of SAMPLES samples with the cheapest steps:
    phantom files of small boxes, voxel projection (cheap for small objects),
    noise, no reconstruction (seconds to a minute
    each); the projections are kept, so every computed array is compared."""
    write_boxes(os.path.join(folder, "phantoms"), samples // 2)
    conditions = "i0 = [1e4]\nnoise_free = true\n"
    text = f"""\
[study]
name = "small"
seed = 1234

[[phantoms]]
kind = "files"
folder = "phantoms"

[conditions]
{conditions}
[store]
phantom = "float32"
projections = "float32"
noisy = "float16"
"""
    path = os.path.join(folder, "small.toml")
    with open(path, "w") as f:
        f.write(text)
    return path


def tomstudy(*args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tomsim.study", *args], env=python_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def sample_files(out):
    folder = os.path.join(out, "samples")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def assert_same_arrays(first_out, second_out, all_samples=True):
    """The sample files of SECOND_OUT hold the same arrays as FIRST_OUT's;
    with all_samples, both folders hold the same samples."""
    names = sample_files(second_out)
    assert names and (names == sample_files(first_out) if all_samples else
                      set(names) <= set(sample_files(first_out)))
    for name in names:
        a = read_arrays(os.path.join(first_out, "samples", name))
        b = read_arrays(os.path.join(second_out, "samples", name))
        assert sorted(a) == sorted(b), name
        for key in a:
            assert a[key].dtype == b[key].dtype and a[key].tobytes() == b[key].tobytes(), (name, key)
