"""Study descriptions: every fault named with its key and line before any
work; ids and seeds that do not move when a study grows."""

import subprocess
import sys

import pytest

from study_support import python_env
from tomsim.study import StudyError, derive_seed, expand, load
from tomsim.study.tomllines import key_lines

GOOD = """\
[study]
name = "sweep"
seed = 5

[[phantoms]]
kind = "files"
files = ["a.img", "b.img"]

[conditions]
i0 = [1e4, 1e5]
noise_free = true
"""


def write(tmp_path, text, name="study.toml"):
    volume = b"\0" * (4 * 128**3)
    for n in ("a.img", "b.img"):
        (tmp_path / n).write_bytes(volume)
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_key_lines_follow_tables_arrays_and_strings():
    text = ('a = """\nb = 1\n"""\n[t]\nx = [\n 1,\n]\ny = 2\n'
            '[[r]]\nm = "q"\n[[r]]\nm = "s" # c\n[r.o]\nk = 1\n')
    lines = key_lines(text)
    assert lines[("a",)] == 1 and ("b",) not in lines
    assert lines[("t", "x")] == 5 and lines[("t", "y")] == 8
    assert lines[("r", 0, "m")] == 10 and lines[("r", 1, "m")] == 12
    assert lines[("r", 1, "o", "k")] == 14


@pytest.mark.parametrize("change, key, line", [
    (('noise_free = true', 'noise_free = true\ndoze = 3'), "conditions.doze", 12),
    (('seed = 5', 'seed = "five"'), "study.seed", 3),
    (('i0 = [1e4, 1e5]', 'i0 = [1e4, -1]'), "conditions.i0", 10),
    (('kind = "files"', 'kind = "filez"'), "phantoms[0].kind", 6),
    (('[conditions]', '[store]\nreconstructions = "float64"\n[conditions]'), "store.reconstructions", 10),
])
def test_a_bad_description_names_key_and_line_and_writes_nothing(tmp_path, change, key, line):
    path = write(tmp_path, GOOD.replace(*change))
    with pytest.raises(StudyError) as error:
        load(path)
    assert f"{path}:{line}: {key}:" in str(error.value)

    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "tomsim.study", "run", path, "--out", str(out)],
                         env=python_env(), capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert f"{path}:{line}: {key}:" in run.stderr
    assert not out.exists()


def test_a_reconstruction_table_is_checked_in_place(tmp_path):
    text = GOOD + '\n[[reconstruction]]\nmethod = "fdk"\n\n[[reconstruction]]\nmethod = "fdk"\ncutof = 0.5\n'
    with pytest.raises(StudyError) as error:
        load(write(tmp_path, text))
    assert ":18: reconstruction[1].cutof: unknown key" in str(error.value)


def test_values_are_checked_by_the_librarys_own_rules(tmp_path):
    """A value the library would refuse at run time is refused with its key
    and line before any work: relaxation 2 (the iteration converges only
    below it), oversampling beyond 16, a count of ellipsoids of 0."""
    text = GOOD.replace('[conditions]', '[[phantoms]]\nkind = "random"\ncount = 1\nellipsoids = [0, 3]\n'
                        'oversample = 17\n\n[conditions]') + '\n[[reconstruction]]\nmethod = "sirt"\nrelaxation = 2.0\n'
    with pytest.raises(StudyError) as error:
        load(write(tmp_path, text), check_build=False)
    message = str(error.value)
    assert "reconstruction[0].relaxation: the relaxation must lie in (0, 2)" in message
    assert "phantoms[1].oversample: the oversampling must lie in 1 ... 16" in message
    assert "phantoms[1].ellipsoids: the count of ellipsoids" in message
    assert load(write(tmp_path, text.replace("2.0", "1.9").replace("17", "16").replace("[0, 3]", "[1, 3]")),
                check_build=False)


def test_ids_and_seeds_stay_when_a_study_grows(tmp_path):
    def study(text, name):
        return expand(load(write(tmp_path, text, name), check_build=False))
    small = study(GOOD, "small.toml")
    grown = study(GOOD.replace("1e5]", "1e5, 1e6]"), "grown.toml")
    assert [s.id for s in small] == ["a__noise-free", "a__i0-10000", "a__i0-100000",
                                     "b__noise-free", "b__i0-10000", "b__i0-100000"]
    by_id = {s.id: s for s in grown}
    for s in small:
        assert by_id[s.id].noise_seed == s.noise_seed
        assert by_id[s.id].key == s.key  # an existing output file stays valid
    assert small[1].noise_seed == derive_seed(5, "a__i0-10000", "noise")
    assert len({s.noise_seed for s in grown if s.noise_seed is not None}) == 6
    reseeded = study(GOOD.replace("seed = 5", "seed = 6"), "other.toml")
    assert reseeded[1].noise_seed != small[1].noise_seed


def test_iterative_reconstructions_share_sums_made_once(tmp_path, monkeypatch):
    """The sums of every subset count a study's SIRT / OS-SART runs need are
    made once, before the samples, in one folder the samples then read."""
    import numpy as np
    import tomsim
    from tomsim.study import steps
    study = load(write(tmp_path, GOOD + """
[[reconstruction]]
method = "os-sart"
subsets = 8

[[reconstruction]]
method = "sirt"

[[reconstruction]]
method = "os-sart"
name = "os-sart-short"
subsets = 8
iterations = 2
"""))
    made, read = [], []
    monkeypatch.setattr(tomsim, "system_sums", lambda subsets, cache, threads: made.append((subsets, cache)))
    monkeypatch.setattr(tomsim, "sirt", lambda stack, iterations, **kw: read.append((kw["subsets"], kw["cache"])))
    shared = steps.make_shared(study.reconstructions, 1, str(tmp_path / "sums"))
    assert made == [(1, str(tmp_path / "sums")), (8, str(tmp_path / "sums"))]
    for recon in study.reconstructions:
        steps.reconstruct(recon, np.zeros(1, np.float32), shared, 1)
    assert read == [(8, str(tmp_path / "sums")), (1, str(tmp_path / "sums")), (8, str(tmp_path / "sums"))]
