"""tomsim.Geometry: the defined preset, vectors, voxel and pixel centres, the
library's checks as ValueErrors naming the field, geometry files and the
MetaImage headers of any geometry."""

import math
import pickle
import tomllib

import numpy as np
import pytest

import tomsim
from tomsim import Geometry

H = math.sqrt(3.0) / 2.0

SHORT_SCAN = dict(volume_shape=(40, 50, 60), voxel_size=(1.0, 0.5, 0.5), volume_offset=(2.0, -3.0, 1.5),
                  detector_shape=(30, 80), detector_pitch=(1.5, 2.0), detector_offset=(4.0, -20.0),
                  sod=500.0, sdd=800.0, views=200, start=30.0, arc=210.0)


def short_scan(**changes):
    return Geometry(**{**SHORT_SCAN, **changes})


def test_defined_preset():
    g = Geometry.defined()
    assert g.is_defined() and g.matches_defined()
    assert g == Geometry.defined()
    assert g.volume_shape == (128, 128, 128) and g.stack_shape == (256, 256, 256)
    assert g.voxel_size == (1.0, 1.0, 1.0) and g.volume_offset == (1.0, 1.0, 0.0)
    assert g.detector_shape == (256, 256) and g.detector_pitch == (1.0, 1.0)
    assert g.detector_offset == (-0.5, -0.5)
    assert (g.sod, g.sdd, g.views, g.start, g.arc, g.form) == (256.0, 512.0, 256, 0.0, 360.0, "circle")
    assert g.trace == ((-62.0, -62.0, -63.0), (63.0, 63.0, 62.0))
    assert np.array_equal(g.angles, np.arange(256) * 1.40625)
    assert repr(g) == "Geometry.defined()"
    # The same numbers made otherwise are a general geometry.
    same = Geometry(volume_shape=(128, 128, 128), volume_offset=(1, 1, 0), detector_shape=(256, 256),
                    detector_offset=(-0.5, -0.5), sod=256, sdd=512, views=256)
    assert not same.is_defined() and not same.matches_defined() and same != g
    assert np.array_equal(same.vectors(), g.vectors())
    boxed = Geometry(volume_shape=(128, 128, 128), volume_offset=(1, 1, 0), detector_shape=(256, 256),
                     detector_offset=(-0.5, -0.5), sod=256, sdd=512, views=256, trace=g.trace)
    assert boxed.matches_defined() and not boxed.is_defined()


def test_defined_preset_vectors_and_centres():
    g = Geometry.defined()
    v = g.vectors()
    assert v.shape == (256, 12) and v.dtype == np.float64
    assert v[0].tolist() == [0, -256, 0, -0.5, 256, 0.5, 1, 0, 0, 0, 0, -1]
    assert v[64].tolist() == [256, 0, 0, -256, -0.5, 0.5, 0, 1, 0, 0, 0, -1]
    # Voxel centres: x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz; last axis (x, y, z).
    iz, iy, ix = np.indices((128, 128, 128))
    c = g.voxel_centre(iz, iy, ix)
    assert c.shape == (128, 128, 128, 3)
    assert np.array_equal(c[..., 0], ix - 63.5)
    assert np.array_equal(c[..., 1], 64.5 - iy)
    assert np.array_equal(c[..., 2], 64.5 - iz)
    assert g.voxel_centre(0, 0, 0).tolist() == [-63.5, 64.5, 64.5]
    assert g.voxel_centre(63.5, 63.5, 63.5).tolist() == [0.0, 1.0, 1.0]
    # Broadcasting.
    assert g.voxel_centre(0, [0, 1, 2], [[0], [1]]).shape == (2, 3, 3)
    # tomproj's panel: pixel (r, c) of view 0 at (c - 128, 256, 128 - r).
    r, col = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    p = g.pixel_centre(0, r, col)
    assert np.array_equal(p[..., 0], col - 128.0)
    assert np.array_equal(p[..., 1], np.full((256, 256), 256.0))
    assert np.array_equal(p[..., 2], 128.0 - r)
    with pytest.raises(ValueError, match="view 256"):
        g.pixel_centre(256, 0, 0)


def test_vectors_follow_the_formula():
    g = short_scan()
    v = g.vectors()
    assert v.shape == (200, 12) and g.stack_shape == (200, 30, 80) and g.volume_shape == (40, 50, 60)
    assert v[0] == pytest.approx([250, -500 * H, 0, -150 - 20 * H, 300 * H - 10, -4, 2 * H, 1, 0, 0, 0, -1.5],
                                 abs=1e-12)
    a = np.deg2rad(30 + np.arange(200) * (210 / 200))
    s, c = np.sin(a), np.cos(a)
    z = np.zeros(200)
    expected = np.stack([500 * s, -500 * c, z, -300 * s - 20 * c, 300 * c - 20 * s, z - 4,
                         2 * c, 2 * s, z, z, z, z - 1.5], axis=1)
    assert np.allclose(v, expected, rtol=0, atol=1e-12)
    assert np.allclose(g.angles, 30 + np.arange(200) * 1.05, rtol=0, atol=1e-12)
    # The same views by their angles.
    by_angles = Geometry(**{**SHORT_SCAN, "views": None, "start": 0.0, "arc": 360.0, "angles": g.angles})
    assert by_angles.form == "angles" and by_angles.views == 200
    assert np.array_equal(by_angles.vectors(), v)
    assert by_angles != g
    # A pixel centre is d + (c - 39.5) u + (r - 14.5) v.
    assert g.pixel_centre(0, 0, 0).tolist() == pytest.approx(
        [-150 - 20 * H - 79 * H, 300 * H - 10 - 39.5, -4 + 21.75], abs=1e-12)
    # One number for every axis.
    assert short_scan(voxel_size=0.5).voxel_size == (0.5, 0.5, 0.5)
    assert short_scan(detector_pitch=0.25).detector_pitch == (0.25, 0.25)


def test_free_vectors():
    v = short_scan().vectors()[:7]
    g = Geometry.from_vectors(v, volume_shape=(4, 5, 6), detector_shape=(30, 80))
    assert g.form == "vectors" and g.views == 7 and g.angles is None
    assert np.array_equal(g.vectors(), v)
    assert g.sod == 0.0 and g.detector_pitch == (1.0, 1.0)
    assert np.array_equal(Geometry.from_vectors(v.reshape(-1), volume_shape=(4, 5, 6), detector_shape=(30, 80)).vectors(), v)
    with pytest.raises(ValueError, match=r"\(views, 12\)"):
        Geometry.from_vectors(v[:, :11], volume_shape=(4, 5, 6), detector_shape=(30, 80))
    with pytest.raises(ValueError, match=r"vectors \(views.vectors\)"):
        Geometry.from_vectors(v.reshape(-1)[:-1], volume_shape=(4, 5, 6), detector_shape=(30, 80))
    bad = v.copy()
    bad[3, 6:9] = 0.0
    with pytest.raises(tomsim.TomsimUsageError, match=r"vectors\[3\] \(views.vectors\[3\]\): its column step u is zero"):
        Geometry.from_vectors(bad, volume_shape=(4, 5, 6), detector_shape=(30, 80))
    assert "from_vectors(<7 views>" in repr(g)


@pytest.mark.parametrize("change, message", [
    (dict(volume_shape=(0, 4, 4)), "volume_shape (volume.shape): every size must be at least 1"),
    (dict(volume_shape=(2 ** 21,) * 3), "volume_shape (volume.shape): (2097152, 2097152, 2097152) is too large"),
    (dict(voxel_size=0.0), "voxel_size (volume.voxel_size)"),
    (dict(voxel_size=(1, float("nan"), 1)), "voxel_size (volume.voxel_size)"),
    (dict(volume_offset=(0, float("inf"), 0)), "volume_offset (volume.offset)"),
    (dict(detector_shape=(30, 0)), "detector_shape (detector.shape)"),
    (dict(detector_pitch=(-1, 1)), "detector_pitch (detector.pitch)"),
    (dict(detector_offset=(float("nan"), 0)), "detector_offset (detector.offset)"),
    (dict(sod=0), "sod (source.sod): must be a finite number above 0, not 0"),
    (dict(sdd=500), "sdd (source.sdd): must be a finite number above sod (500), not 500"),
    (dict(views=0), "views (views.count): must be at least 1, not 0"),
    (dict(views=2 ** 50), "views (views.count)"),
    (dict(start=float("inf")), "start (views.start)"),
    (dict(arc=0.0), "arc (views.arc): must be a finite number other than 0"),
    (dict(views=None, angles=[]), "angles (views.angles): must hold at least one angle"),
    (dict(views=None, angles=[0.0, float("nan")], start=0.0, arc=360.0), "angles[1] (views.angles[1])"),
    (dict(views=None, angles=[0.0, 1.0], start=0.0), "arc (views.arc): is not used with views.angles"),
    (dict(trace=((0, 0, 0), (1, -1, 1))), "trace: every lower bound must lie below its upper bound"),
])
def test_the_library_checks_name_the_field(change, message):
    with pytest.raises(ValueError) as e:
        short_scan(**change)
    assert isinstance(e.value, tomsim.TomsimUsageError) and isinstance(e.value, tomsim.TomsimError)
    assert e.value.kind == "usage"
    assert message in str(e.value)


@pytest.mark.parametrize("change, message", [
    (dict(volume_shape=(4, 4)), "volume_shape must be 3 whole numbers"),
    (dict(volume_shape=(4, 4, 4.5)), "volume_shape must be 3 whole numbers"),
    (dict(volume_shape="abc"), "volume_shape must be 3 whole numbers"),
    (dict(voxel_size=(1, 1)), "voxel_size must be a number or 3 numbers"),
    (dict(detector_offset=0.5), "detector_offset must be 2 numbers"),
    (dict(sod="far"), "sod must be a number"),
    (dict(views=None), "give views=N (with start and arc) or angles=[...], not neither"),
    (dict(angles=[1.0, 2.0]), "not both"),
    (dict(trace=(1, 2)), "trace must be None or the pair"),
])
def test_arguments_of_the_wrong_kind(change, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[").replace("]", r"\]").replace(".", r"\.")):
        short_scan(**change)


def test_geometry_is_an_immutable_value():
    g = short_scan()
    with pytest.raises(AttributeError):
        g.sod = 3.0
    assert pickle.loads(pickle.dumps(g)) == g
    assert pickle.loads(pickle.dumps(Geometry.defined())).is_defined()
    free = Geometry.from_vectors(g.vectors()[:3], volume_shape=(4, 5, 6), detector_shape=(30, 80))
    assert pickle.loads(pickle.dumps(free)) == free
    assert g != "a geometry"


def test_toml_round_trip(tmp_path):
    cases = [Geometry.defined(), short_scan(), short_scan(trace=((-1, -2, -3), (1, 2, 3.5))),
             Geometry(**{**SHORT_SCAN, "views": None, "start": 0.0, "arc": 360.0,
                         "angles": [0.1, 7.25, 1 / 3, 359.99999999999994]}),
             Geometry.from_vectors(short_scan().vectors()[:5], volume_shape=(4, 5, 6), volume_offset=(0.1, 0.2, 0.3),
                                   detector_shape=(30, 80))]
    for k, g in enumerate(cases):
        path = tmp_path / f"g{k}.toml"
        g.to_toml(path)
        back = Geometry.from_toml(path)
        assert back == g and back.is_defined() == g.is_defined()
        assert np.array_equal(back.vectors(), g.vectors())
        text = path.read_text()
        assert text == g.to_toml_text()
        tomllib.loads(text)  # the file is TOML for every reader
    assert Geometry.defined().to_toml_text().splitlines()[-1] == 'preset = "defined"'
    data = tomllib.loads(short_scan().to_toml_text())
    assert data["volume"]["shape"] == [40, 50, 60] and data["detector"]["offset"] == [4.0, -20.0]
    assert data["views"] == {"count": 200, "start": 30.0, "arc": 210.0}


def test_toml_table_of_a_bigger_file(tmp_path):
    text = ('title = "a study"\n\n[geometry]\npreset = "defined"\n\n[geometry.source]\nsdd = 600.0\n\n'
            '[[conditions]]\ni0 = 1e4\n')
    g = Geometry.from_toml_text(text, table="geometry")
    assert not g.is_defined() and g.sdd == 600.0 and g.sod == 256.0 and g.trace is None
    path = tmp_path / "study.toml"
    path.write_text(text)
    assert Geometry.from_toml(path, table="geometry") == g


@pytest.mark.parametrize("text, message", [
    ('[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\nsdd = 50\n[views]\ncount = 3\n',
     "f.toml:7: source.sdd: must be a finite number above sod (100), not 50"),
    ('[volume]\nshape = [8, 8]\n', "f.toml:2: volume.shape: must be [nz, ny, nx], not 2 values"),
    ('preset = "defined"\n[views]\ncount = 3\nangles = [1]\n', "f.toml:4: views.angles: give one of"),
    ('preset = "defined"\n\n[volume]\nsize = 3\n', "f.toml:4: volume.size: not a key of a geometry"),
    ('preset = "defined"\n[views\n', "f.toml:2: expected ']' to close the table header"),
])
def test_toml_errors_name_the_file_line_and_field(tmp_path, text, message):
    path = tmp_path / "f.toml"
    path.write_text(text)
    with pytest.raises(tomsim.TomsimUsageError) as e:
        Geometry.from_toml(path)
    assert message in str(e.value) and str(path) in str(e.value)
    with pytest.raises(ValueError, match="f.toml:"):
        Geometry.from_toml_text(text, name="f.toml")


def test_missing_toml_file_is_an_input_error(tmp_path):
    with pytest.raises(tomsim.TomsimInputError, match="missing.toml"):
        Geometry.from_toml(tmp_path / "missing.toml")


def test_metaimage_headers_of_any_geometry(tmp_path):
    raw = tmp_path / "v.img"
    raw.write_bytes(b"")
    # The defined scan's headers are tommhd's, byte for byte.
    for kind in ("volume", "stack"):
        plain = tomsim.io.write_header(raw, kind, header=tmp_path / f"plain-{kind}.mhd")
        ours = tomsim.io.write_header(raw, kind, header=tmp_path / f"ours-{kind}.mhd", geometry=Geometry.defined())
        assert open(plain, "rb").read() == open(ours, "rb").read()
    g = short_scan()
    volume = open(tomsim.io.write_header(raw, "volume", geometry=g)).read()
    assert "DimSize = 60 50 40\n" in volume and "ElementSpacing = 0.5 0.5 1\n" in volume
    assert "Offset = -13.25 -9.25 -21.5\n" in volume and "ElementDataFile = v.img\n" in volume
    stack = g.metaimage_header("stack", "p.img")
    assert "DimSize = 80 30 200\n" in stack and "ElementSpacing = 2 1.5 1\n" in stack
    assert "Offset = -99 -17.75 0\n" in stack
    # The header's frame (x, -y, -z): voxel (0, 0, 0) is the Offset.
    x, y, z = g.voxel_centre(0, 0, 0)
    assert (x, -y, -z) == (-13.25, -9.25, -21.5)



def test_the_docs_examples_read(tmp_path, monkeypatch):
    import os
    import re
    from conftest import SOURCE_DIR
    text = open(os.path.join(SOURCE_DIR, "docs", "geometry.md"), encoding="utf-8").read()
    blocks = re.findall(r"```toml\n(.*?)```", text, re.S)
    assert len(blocks) == 2
    scan = Geometry.from_toml_text(blocks[0], name="geometry.md")
    assert scan.volume_shape == (64, 128, 128) and scan.detector_offset == (0.0, -40.0) and scan.arc == 220.0
    assert scan.trace == ((-30.0, -30.0, -30.0), (30.0, 30.0, 30.0))
    short = Geometry.from_toml_text(blocks[1], name="geometry.md")
    assert not short.is_defined() and short.arc == 200.0 and short.sdd == 512.0
    # docs/python.md's example runs as it stands.
    python_md = open(os.path.join(SOURCE_DIR, "docs", "python.md"), encoding="utf-8").read()
    block = re.search(r"```python\n(g = tomsim.Geometry.*?)```", python_md, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    namespace = {"tomsim": tomsim}
    exec(block, namespace)
    assert Geometry.from_toml(tmp_path / "scan.toml") == namespace["g"]
    assert namespace["proj_geom"]["Vectors"].shape == (360, 12)
