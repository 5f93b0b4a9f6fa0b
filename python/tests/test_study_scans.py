"""tomstudy on scans other than the defined one, and polychromatic studies:
every step on the study's geometry, the scan kept in each sample file, the
spectral model's own bits, and the same bits on any number of workers."""

import json
import os

import h5py
import numpy as np
import pytest

import tomsim
import tomsim.spectral as sp
from study_support import assert_same_arrays, tomstudy
from tomsim.study import StudyError, expand, load, read_geometry
from tomsim.study.runner import Options, run
from tomsim.study.store import read_arrays, write_sample

GEOMETRY = """\
[geometry.volume]
shape = [8, 24, 24]
voxel_size = 2.0

[geometry.detector]
shape = [10, 40]
pitch = 3.0

[geometry.source]
sod = 300.0
sdd = 500.0

[geometry.views]
count = 20
arc = 240.0
"""

STUDY = """\
[study]
name = "cone"
seed = 3

{geometry}
[[phantoms]]
kind = "random"
count = 2
sizes = [3.0, 10.0]

[conditions]
i0 = [1e4]
noise_free = true

[[reconstruction]]
method = "fdk"

[[reconstruction]]
method = "sirt"
iterations = 2

[metrics]
names = ["pearson_r", "central.rmse"]

[store]
projections = "float32"
noisy = "float32"
"""

ROD = """\
# KIND value=V centre=X,Y,Z size=A,B,C angles=PHI,THETA,PSI [name=NAME]
cylinder value=1 centre=0,0,0 size=18,18,6 angles=0,0,0 name=body
cylinder value=-1 centre=6,0,0 size=4,4,6 angles=0,0,0 name=hole
cylinder value=1 centre=6,0,0 size=4,4,6 angles=0,0,0 name=rod
"""

SPECTRAL = """\
[study]
name = "poly"
seed = 11

{geometry}
[[phantoms]]
kind = "descriptions"
files = ["rod.txt"]

[spectrum]
kvp = 80
filtration = [["Al", 2.5]]
bin_width = 2.0

[[materials]]
material = "Water, Liquid"
shapes = ["body", 1]

[[materials]]
material = "Bone, Cortical (ICRP)"
density = 1.5

[detector]
kind = "counting"
thresholds = [20, 50]
sensor = "Si"
thickness = 2.0

[correction]
method = "water"
bin = 1

[conditions]
i0 = [1e4, 3e4]

[[reconstruction]]
method = "fdk"

[store]
paths = true
"""


def write(folder, text, name="study.toml"):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def table_study(folder, text=STUDY, geometry=GEOMETRY, top=""):
    """The study with a [geometry] table, or with `top` (a key before every table)."""
    return write(str(folder), top + text.format(geometry=geometry))


def run_here(path, out, **options):
    status = run(path, Options(out=str(out), in_process=True, quiet=True, threads=2, **options))
    assert status == 0
    return sorted(os.listdir(os.path.join(out, "samples")))


def scan():
    return tomsim.Geometry.from_toml_text(GEOMETRY, table="geometry")


@pytest.fixture(scope="module")
def cone_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cone")
    path = table_study(folder)
    out = folder / "out"
    return path, out, run_here(path, out)


def test_every_step_runs_on_the_studys_geometry_and_the_file_keeps_it(cone_run):
    path, out, names = cone_run
    g = scan()
    assert names == ["random-0__i0-10000.h5", "random-0__noise-free.h5",
                     "random-1__i0-10000.h5", "random-1__noise-free.h5"]
    for name in names:
        sample = os.path.join(out, "samples", name)
        arrays = read_arrays(sample)
        assert arrays["phantom"].shape == g.volume_shape
        assert arrays["projections"].shape == g.stack_shape
        assert arrays["reconstructions/fdk"].shape == g.volume_shape
        assert arrays["reconstructions/sirt"].shape == g.volume_shape
        assert np.array_equal(arrays["geometry/vectors"], g.vectors())
        with h5py.File(sample) as f:
            attrs = f["geometry"].attrs
            assert tuple(attrs["detector_shape"]) == g.detector_shape
            assert tuple(attrs["volume_shape"]) == g.volume_shape
            assert tuple(attrs["voxel_size"]) == g.voxel_size and not attrs["defined"]
            metrics = json.loads(f.attrs["metrics"])
        assert read_geometry(sample) == g
        assert metrics["fdk"]["pearson_r"] > 0.8
    first = read_arrays(os.path.join(out, "samples", names[0]))
    # The steps are the library's on this scan: the phantom's cone walk, its noise.
    assert first["projections"].tobytes() == tomsim.project(first["phantom"], geometry=g).tobytes()
    assert not np.array_equal(first["noisy"], first["projections"])


def test_a_geometry_file_gives_the_same_samples_as_the_table(cone_run, tmp_path):
    path, out, names = cone_run
    write(str(tmp_path), GEOMETRY.replace("geometry.", ""), "scan.toml")
    by_file = table_study(tmp_path, geometry="", top='geometry = "scan.toml"\n')
    assert [s.key for s in expand(load(by_file))] == [s.key for s in expand(load(path))]
    run_here(by_file, tmp_path / "out")
    assert_same_arrays(out, tmp_path / "out")


def test_the_same_bits_on_one_and_on_two_workers(cone_run, tmp_path):
    path, out, names = cone_run
    cluster = tomstudy("run", path, "--out", str(tmp_path / "two"), "--workers", "2", "--threads", "1",
                       "--quiet")
    _, err = cluster.communicate(timeout=600)
    assert cluster.returncode == 0, err
    summary = json.load(open(tmp_path / "two" / "summary.json"))
    assert summary["run"]["mode"].startswith("local cluster of 2 workers") and summary["done"] == 4
    assert_same_arrays(out, tmp_path / "two")


@pytest.mark.parametrize("change, where", [
    (("sdd = 500.0", "sdd = 200.0"), ":15: geometry.source.sdd: must be a finite number above sod"),
    (("pitch = 3.0", "pitch = 3.0\npich = 2"), ":12: geometry.detector.pich: not a key of a geometry"),
])
def test_a_bad_geometry_is_refused_with_its_key_and_line(tmp_path, change, where):
    path = table_study(tmp_path, geometry=GEOMETRY.replace(*change))
    with pytest.raises(StudyError) as error:
        load(path)
    assert where in str(error.value)
    path = table_study(tmp_path, geometry="", top="geometry = 3\n")
    with pytest.raises(StudyError, match=":1: geometry: expected a .geometry. table or the name of a geometry file"):
        load(path)


def test_a_bad_geometry_file_names_its_own_line_and_the_study_line(tmp_path):
    write(str(tmp_path), GEOMETRY.replace("geometry.", "").replace("count = 20", "count = 0"), "scan.toml")
    path = table_study(tmp_path, geometry="", top='geometry = "scan.toml"\n')
    with pytest.raises(StudyError) as error:
        load(path)
    message = str(error.value)
    assert "scan.toml:14: views.count:" in message and f"{path}:1)" in message
    with pytest.raises(StudyError, match=r":1: geometry: .*missing.toml"):
        load(table_study(tmp_path, geometry="", top='geometry = "missing.toml"\n'))


def test_steps_of_the_defined_scan_alone_are_refused_on_another(tmp_path):
    text = STUDY + '\n[[reconstruction]]\nmethod = "tomrec"\nrebin = true\n'
    with pytest.raises(StudyError) as error:
        load(table_study(tmp_path, text))
    assert ":45: reconstruction[2].method: 'tomrec' reconstructs the defined scan only" in str(error.value)
    assert "(geometry on line 5)" in str(error.value)
    # The defined preset is the defined scan: tomrec stays.
    defined = load(table_study(tmp_path, text, geometry='[geometry]\npreset = "defined"\n'))
    assert defined.geometry.is_defined() and defined.reconstructions[2].method == "tomrec"


def test_a_study_of_the_defined_scan_keeps_its_preset_and_its_keys(tmp_path):
    plain = table_study(tmp_path, geometry="")
    assert load(plain).geometry is None
    assert "geometry" not in json.dumps([s.key for s in expand(load(plain))])
    sample = str(tmp_path / "s.h5")
    write_sample(sample, {}, {"format": "x"}, None)
    g = read_geometry(sample)
    assert g.is_defined() and np.array_equal(read_arrays(sample)["geometry/vectors"], g.vectors())


@pytest.fixture(scope="module")
def spectral_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("poly")
    write(str(folder), ROD, "rod.txt")
    path = table_study(folder, SPECTRAL)
    out = folder / "out"
    return path, out, run_here(path, out)


def test_a_spectral_study_gives_the_spectral_models_bits(spectral_run):
    path, out, names = spectral_run
    g = scan()
    water, bone = sp.water(), sp.material("Bone, Cortical (ICRP)", 1.5)
    parts = ["cylinder value=1.0 centre=0,0,0 size=18,18,6 angles=0,0,0 name=body\n"
             "cylinder value=-1.0 centre=6,0,0 size=4,4,6 angles=0,0,0 name=hole\n",
             "cylinder value=1.5 centre=6,0,0 size=4,4,6 angles=0,0,0 name=rod\n"]
    volumes = sp.material_volumes(parts, geometry=g)
    paths = sp.path_lengths(volumes, geometry=g)
    detector = sp.counting([20, 50], "Si", 2.0)
    tube = sp.tube(80, filtration=[("Al", 2.5)], bin_width=2.0)
    for sample in expand(load(path)):
        arrays = read_arrays(os.path.join(out, sample.file))
        model = sp.model(sp.with_photons(tube, sample.condition.i0), [water, bone], detector)
        result = sp.simulate(paths, model, seed=sample.noise_seed)
        assert arrays["phantom"].tobytes() == volumes.tobytes()
        assert arrays["paths"].tobytes() == paths.tobytes()
        assert arrays["log"].tobytes() == result.log.tobytes()
        corrected = sp.linearise(result.log[1], sp.water_fit(model, bin=1), 1.0)
        assert arrays["reconstructions/fdk"].tobytes() == tomsim.fdk(corrected, geometry=g).tobytes()
        with h5py.File(os.path.join(out, sample.file)) as f:
            assert json.loads(f.attrs["seeds"])["noise"] == sample.noise_seed
    assert len({read_arrays(os.path.join(out, "samples", n))["log"].tobytes() for n in names}) == 2


@pytest.mark.parametrize("change, where", [
    (('material = "Water, Liquid"', 'material = "H2O"'), ":31: materials[0].material: H2O: a formula needs"),
    (('shapes = ["body", 1]', 'shapes = ["body", 1]\n\n[[materials]]\nmaterial = "Al"'),
     ":37: materials[2]: only one material may go without 'shapes'"),
    (("kvp = 80", "kvp = 20"), ":26: spectrum.kvp: the tube model covers 40 ... 150 kVp"),
    (("bin = 1", "bin = 2"), ":46: correction.bin: expected a bin of the detector, 0 ... 1"),
    (('kind = "counting"', 'kind = "integrating"'), ":40: detector.thresholds: an integrating detector"),
    (("[conditions]", "[conditions]\nmu = 0.2"), ":49: conditions.mu: the materials' attenuation replaces mu"),
    (("[store]", '[projection]\nvoxel_mm = 2.0\n[store]'), ":55: projection.voxel_mm: the geometry gives"),
])
def test_a_bad_spectral_description_is_refused_with_its_key_and_line(tmp_path, change, where):
    write(str(tmp_path), ROD, "rod.txt")
    path = table_study(tmp_path, SPECTRAL.replace(*change))
    with pytest.raises(StudyError) as error:
        load(path)
    assert where in str(error.value)


def test_spectral_keys_need_a_spectrum(tmp_path):
    text = STUDY.replace("[store]", "[store]\nlog = true") + '\n[[materials]]\nmaterial = "Al"\n'
    with pytest.raises(StudyError) as error:
        load(table_study(tmp_path, text))
    assert ":41: store.log: applies to polychromatic studies" in str(error.value)
    assert ":45: materials[0]: a polychromatic table" in str(error.value)


@pytest.mark.parametrize("name, samples", [("short-scan", 8), ("spectral-study", 3)])
def test_the_example_studies_pass_their_check(name, samples):
    from conftest import SOURCE_DIR
    study = load(os.path.join(SOURCE_DIR, "examples", name + ".toml"))
    assert study.geometry is not None and not study.geometry.is_defined()
    assert len(expand(study)) == samples
