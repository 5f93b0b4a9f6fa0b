"""tomproj's and tomrec's command lines beside their dialogue: names as
arguments, --help, --version, usage errors, tomrec's --weights and
--filtered, and the hint when a weight file is missing."""

import os
import subprocess

import numpy as np
import pytest

import tomsim
from conftest import program, run


@pytest.mark.parametrize("name", ["tomproj", "tomrec"])
def test_help_version_and_usage_errors(name, tmp_path):
    done = run([program(name), "--help"], tmp_path)
    assert done.stdout.startswith(f"Usage: {name}".encode()) and b"INPUT OUTPUT" in done.stdout
    done = run([program(name), "--version"], tmp_path)
    assert done.stdout.decode() == f"{name} {tomsim.__version__}\n"
    done = run([program(name), "--frobnicate", "a", "b"], tmp_path, check=False)
    assert done.returncode == 2 and b"--frobnicate" in done.stderr and not done.stdout
    done = run([program(name), "only-one.img"], tmp_path, check=False)
    assert done.returncode == 2 and b"INPUT and OUTPUT" in done.stderr


def test_tomproj_arguments_and_dialogue_write_the_same_stack(tmp_path):
    volume = tomsim.phantom.ball((5.0, 3.0, -2.0), 6.0, value=0.25)
    tomsim.io.write(tmp_path / "ball.img", volume)
    by_arguments = run([program("tomproj"), "ball.img", "a.img"], tmp_path)
    assert b"input file name" not in by_arguments.stdout  # no prompts
    by_dialogue = run([program("tomproj")], tmp_path, b"ball.img b.img\n")
    assert by_dialogue.stdout.startswith(b"input file name <float>:output file name <float>:")
    a = tomsim.io.read_stack(tmp_path / "a.img")
    assert np.array_equal(a, tomsim.io.read_stack(tmp_path / "b.img"))
    assert np.array_equal(a.view(np.uint32), tomsim.project(volume).view(np.uint32))


def test_tomrec_names_the_missing_weight_file_and_how_to_make_it(tmp_path):
    tomsim.io.write(tmp_path / "stack.img", np.zeros((256, 256, 256), np.float32))
    (tmp_path / "empty").mkdir()
    done = run([program("tomrec"), "--weights", "empty", "--filtered", "f.img", "stack.img", "v.img"],
               tmp_path, check=False)
    assert done.returncode == 1
    assert done.stdout.endswith(b"error input data")
    stderr = done.stderr.decode()
    assert "empty/long_sum_detector.img" in stderr and "tomweight --dir empty" in stderr
    # As defined, the filtered stack was written before the run failed.
    assert (tmp_path / "f.img").stat().st_size == 4 * 256 ** 3
    assert not (tmp_path / "v.img").exists()


@pytest.mark.slow
def test_two_tomrec_runs_share_a_directory(tmp_path):
    """--weights and --filtered let runs share one folder; each gives what the
    dialogue in a folder of its own gives, and what the package gives."""
    folder = tomsim.weights_folder()
    weights = tomsim.weights()  # makes the cache folder if it is not there
    stacks = []
    for k, centre in enumerate([(4.0, -6.0, 2.0), (-10.0, 3.0, -5.0)]):
        stack = tomsim.rebin(tomsim.project(tomsim.phantom.ball(centre, 12.0)))
        tomsim.io.write(tmp_path / f"s{k}.img", stack)
        stacks.append(stack)
    runs = [subprocess.Popen([program("tomrec"), "--weights", folder, "--filtered", f"f{k}.img",
                              f"s{k}.img", f"v{k}.img"], cwd=tmp_path,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for k in range(2)]
    for r in runs:
        assert r.wait(timeout=900) == 0, r.stderr.read()
    assert not (tmp_path / "Radon_FLT_dounatsu.img").exists()
    own = tmp_path / "own"
    own.mkdir()
    for name in ("long_sum_detector.img", "long_sum_voxel.img"):
        os.symlink(os.path.join(folder, name), own / name)
    run([program("tomrec")], own, b"../s1.img v.img\n")
    v1 = tomsim.io.read_volume(tmp_path / "v1.img")
    assert np.array_equal(v1, tomsim.io.read_volume(own / "v.img"))
    assert np.array_equal(tomsim.io.read_stack(tmp_path / "f1.img"),
                          tomsim.io.read_stack(own / "Radon_FLT_dounatsu.img"))
    both = tomsim.reconstruct(np.stack(stacks), weights)
    assert np.array_equal(both[1].view(np.uint32), v1.view(np.uint32))
    assert np.array_equal(both[0], tomsim.io.read_volume(tmp_path / "v0.img"))
