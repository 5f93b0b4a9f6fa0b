"""tomsim.peers: ASTRA, TIGRE and RTK descriptions of a geometry.

Golden fields are derived by hand (in the comments) for the defined preset
and a short scan with an offset detector, and every description is checked
by tracing: the pixel and voxel centres computed from the peer's
description with that peer's documented formulas (written out here, apart
from peers.py) must be ours."""

import math
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

import tomsim
from tomsim import Geometry, peers

H = math.sqrt(3.0) / 2.0

SHORT_SCAN = dict(volume_shape=(40, 50, 60), voxel_size=(1.0, 0.5, 0.5), volume_offset=(2.0, -3.0, 1.5),
                  detector_shape=(30, 80), detector_pitch=(1.5, 2.0), detector_offset=(4.0, -20.0),
                  sod=500.0, sdd=800.0, views=200, start=30.0, arc=210.0)


def geometries():
    return [Geometry.defined(), Geometry(**SHORT_SCAN)]


def all_pixels(g, views):
    v, r, c = np.meshgrid(views, np.arange(g.detector_shape[0]), np.arange(g.detector_shape[1]), indexing="ij")
    return v, r, c


# ---------------------------------------------------------------------------
# ASTRA

def test_astra_golden_fields():
    proj, vol = peers.astra_geometry(Geometry.defined())
    assert proj["type"] == "cone_vec" and proj["DetectorRowCount"] == 256 and proj["DetectorColCount"] == 256
    # Frame (X, Y, Z) = (x, -y, -z): view 0's source (0, -256, 0) is (0, 256, 0).
    assert proj["Vectors"][0].tolist() == [0, 256, 0, -0.5, -256, -0.5, 1, 0, 0, 0, 0, 1]
    assert proj["Vectors"][64].tolist() == [256, 0, 0, -256, 0.5, -0.5, 0, -1, 0, 0, 0, 1]
    assert vol == {"GridRowCount": 128, "GridColCount": 128, "GridSliceCount": 128,
                   "option": {"WindowMinX": -64.0, "WindowMaxX": 64.0, "WindowMinY": -65.0, "WindowMaxY": 63.0,
                              "WindowMinZ": -65.0, "WindowMaxZ": 63.0}}
    proj, vol = peers.astra_geometry(Geometry(**SHORT_SCAN))
    assert proj["DetectorRowCount"] == 30 and proj["DetectorColCount"] == 80 and proj["Vectors"].shape == (200, 12)
    # View 0 (30 degrees): ours s = (250, -500 H, 0), d = (-150 - 20 H, 300 H - 10, -4),
    # u = (2 H, 1, 0), v = (0, 0, -1.5); y and z negated.
    assert proj["Vectors"][0] == pytest.approx(
        [250, 500 * H, 0, -150 - 20 * H, 10 - 300 * H, 4, 2 * H, -1, 0, 0, 0, 1.5], abs=1e-12)
    # X: 1.5 -+ 60 * 0.5 / 2; Y: 3 -+ 50 * 0.5 / 2; Z: -2 -+ 40 / 2.
    assert vol["option"] == {"WindowMinX": -13.5, "WindowMaxX": 16.5, "WindowMinY": -9.5, "WindowMaxY": 15.5,
                             "WindowMinZ": -22.0, "WindowMaxZ": 18.0}
    assert (vol["GridSliceCount"], vol["GridRowCount"], vol["GridColCount"]) == (40, 50, 60)


@pytest.mark.parametrize("g", geometries(), ids=["defined", "short-scan"])
def test_astra_traced(g):
    proj, vol = peers.astra_geometry(g)
    # ASTRA's kernels: the detector's corner is d - C/2 u - R/2 v, pixel (r, c)
    # at corner + (c + 1/2) u + (r + 1/2) v; voxel (slice k, row j, column i)
    # at WindowMin + (index + 1/2) * (WindowMax - WindowMin) / count.
    vec = proj["Vectors"]
    rows, cols = proj["DetectorRowCount"], proj["DetectorColCount"]
    views = np.arange(0, g.views, 13)
    v, r, c = all_pixels(g, views)
    per_view = vec[views][:, None, None, :]
    d, u, w = (per_view[..., 3 * k:3 * k + 3] for k in (1, 2, 3))
    corner = d - cols / 2 * u - rows / 2 * w
    pixel = corner + (c[..., None] + 0.5) * u + (r[..., None] + 0.5) * w
    ours = pixel * np.array([1.0, -1.0, -1.0])
    assert np.allclose(ours, g.pixel_centre(v, r, c), rtol=0, atol=1e-9)
    assert np.allclose(vec[:, :3] * np.array([1, -1, -1]), g.vectors()[:, :3], rtol=0, atol=0)
    o = vol["option"]
    k, j, i = np.indices(g.volume_shape)
    size = [(o[f"WindowMax{a}"] - o[f"WindowMin{a}"]) / n
            for a, n in (("X", vol["GridColCount"]), ("Y", vol["GridRowCount"]), ("Z", vol["GridSliceCount"]))]
    X = o["WindowMinX"] + (i + 0.5) * size[0]
    Y = o["WindowMinY"] + (j + 0.5) * size[1]
    Z = o["WindowMinZ"] + (k + 0.5) * size[2]
    centres = g.voxel_centre(k, j, i)  # the Volume array as it is
    assert np.allclose(centres, np.stack([X, -Y, -Z], axis=-1), rtol=0, atol=1e-12)
    # The projection data is [row, view, column].
    stack = np.arange(np.prod(g.stack_shape[:1] + (2, 3)), dtype=np.float32).reshape(g.stack_shape[0], 2, 3)
    data = peers.astra_projections(stack)
    assert data.shape == (2, g.views, 3) and data[1, 5, 2] == stack[5, 1, 2]
    assert np.array_equal(peers.from_astra_projections(data), stack)


@pytest.mark.parametrize("g", geometries(), ids=["defined", "short-scan"])
def test_astra_readers_round_trip(g):
    back = peers.from_astra_geometry(*peers.astra_geometry(g))
    assert back.form == "vectors"
    assert np.allclose(back.vectors(), g.vectors(), rtol=0, atol=1e-12)
    assert back.volume_shape == g.volume_shape and back.detector_shape == g.detector_shape
    assert back.voxel_size == pytest.approx(g.voxel_size) and back.volume_offset == pytest.approx(g.volume_offset)
    again = peers.from_astra_vectors(peers.astra_geometry(g)[0]["Vectors"], detector_shape=g.detector_shape,
                                     volume_shape=g.volume_shape, voxel_size=g.voxel_size,
                                     volume_offset=g.volume_offset)
    assert np.array_equal(again.vectors(), back.vectors())
    with pytest.raises(ValueError, match="cone_vec"):
        peers.from_astra_geometry({"type": "cone"}, {})


# ---------------------------------------------------------------------------
# TIGRE

def test_tigre_golden_fields():
    t = peers.tigre_geometry(Geometry.defined())
    assert t["mode"] == "cone" and t["DSD"] == 512.0 and t["DSO"] == 256.0
    assert t["nVoxel"].tolist() == [128, 128, 128] and t["dVoxel"].tolist() == [1, 1, 1]
    assert t["sVoxel"].tolist() == [128, 128, 128] and t["offOrigin"].tolist() == [1, 1, 0]
    assert t["nDetector"].tolist() == [256, 256] and t["dDetector"].tolist() == [1, 1]
    assert t["sDetector"].tolist() == [256, 256]
    assert t["offDetector"].tolist() == [0.5, -0.5]  # (v up, u) = (-offset_v, offset_u)
    assert t["COR"] == 0.0 and t["rotDetector"].tolist() == [0, 0, 0]
    assert t["angles"].shape == (256,)
    assert t["angles"][[0, 64, 128]] == pytest.approx([-math.pi / 2, 0.0, math.pi / 2], abs=1e-15)
    s = peers.tigre_geometry(Geometry(**SHORT_SCAN))
    assert (s["DSD"], s["DSO"]) == (800.0, 500.0)
    assert s["nVoxel"].tolist() == [40, 50, 60] and s["dVoxel"].tolist() == [1, 0.5, 0.5]
    assert s["sVoxel"].tolist() == [40, 25, 30] and s["offOrigin"].tolist() == [2, -3, 1.5]
    assert s["nDetector"].tolist() == [30, 80] and s["dDetector"].tolist() == [1.5, 2]
    assert s["sDetector"].tolist() == [45, 160] and s["offDetector"].tolist() == [-4, -20]
    assert s["angles"][0] == pytest.approx(-math.pi / 3, abs=1e-15)  # 30 - 90 degrees
    assert s["angles"] == pytest.approx(np.deg2rad(30 + np.arange(200) * 1.05 - 90), abs=1e-14)


@pytest.mark.parametrize("g", geometries(), ids=["defined", "short-scan"])
def test_tigre_traced(g):
    t = peers.tigre_geometry(g)
    # TIGRE's projector: before the rotation the source is (DSO, 0, 0) and
    # pixel (v index j, u index i) is at (-(DSD - DSO), dU (i - nU/2 + 1/2) + offU,
    # dV (nV/2 - 1/2 - j) + offV); everything turns by alpha about z.
    n_v, n_u = t["nDetector"]
    d_v, d_u = t["dDetector"]
    off_v, off_u = t["offDetector"]
    views = np.arange(0, g.views, 11)
    v, j, i = all_pixels(g, views)
    alpha = t["angles"][v]
    px = np.full(alpha.shape, -(t["DSD"] - t["DSO"]))
    py = d_u * (i - n_u / 2 + 0.5) + off_u
    pz = d_v * (n_v / 2 - 0.5 - j) + off_v
    turned = np.stack([np.cos(alpha) * px - np.sin(alpha) * py, np.sin(alpha) * px + np.cos(alpha) * py, pz], axis=-1)
    assert np.allclose(turned, g.pixel_centre(v, j, i), rtol=0, atol=1e-9)
    a = t["angles"]
    source = np.stack([t["DSO"] * np.cos(a), t["DSO"] * np.sin(a), 0 * a], axis=1)
    assert np.allclose(source, g.vectors()[:, :3], rtol=0, atol=1e-9)
    # TIGRE's voxel (k, j, i) of its image is at offOrigin - sVoxel/2 + (index + 1/2) dVoxel
    # ([z, y, x]); its image is tigre_image(volume).
    k, jj, ii = np.indices(g.volume_shape)
    at = t["offOrigin"] - t["sVoxel"] / 2 + (np.stack([k, jj, ii], axis=-1) + 0.5) * t["dVoxel"]
    nz, ny, nx = g.volume_shape
    ours = g.voxel_centre(nz - 1 - k, ny - 1 - jj, ii)  # where tigre_image puts our voxel
    assert np.allclose(at[..., ::-1], ours, rtol=0, atol=1e-12)
    volume = np.random.default_rng(3).random(g.volume_shape, dtype=np.float32)
    image = peers.tigre_image(volume)
    assert image.flags.c_contiguous and image.dtype == np.float32
    assert image[1, 2, 3] == volume[nz - 2, ny - 3, 3]
    assert np.array_equal(peers.tigre_image(image), volume)


# ---------------------------------------------------------------------------
# RTK

def rtk_projections(text):
    """The parameters of each projection, read as RTK's reader does (global
    values, then each projection's), and its matrix."""
    root = ElementTree.fromstring(text)
    assert root.tag == "RTKThreeDCircularGeometry" and root.get("version") == "3"
    glob = {c.tag: float(c.text) for c in root if c.tag != "Projection"}
    out = []
    for node in root.findall("Projection"):
        p = dict(glob)
        p.update({c.tag: float(c.text) for c in node if c.tag != "Matrix"})
        p["Matrix"] = np.array(node.find("Matrix").text.split(), dtype=float).reshape(3, 4)
        out.append(p)
    return out


def rtk_rotation(p):
    """M_R of RTK's documentation: Rz(-InPlane) Rx(-OutOfPlane) Ry(-Gantry), radians via numpy."""
    g, o, i = (-math.radians(p.get(t, 0.0)) for t in ("GantryAngle", "OutOfPlaneAngle", "InPlaneAngle"))
    rz = np.array([[math.cos(i), -math.sin(i), 0], [math.sin(i), math.cos(i), 0], [0, 0, 1]])
    rx = np.array([[1, 0, 0], [0, math.cos(o), -math.sin(o)], [0, math.sin(o), math.cos(o)]])
    ry = np.array([[math.cos(g), 0, math.sin(g)], [0, 1, 0], [-math.sin(g), 0, math.cos(g)]])
    return rz @ rx @ ry


def test_rtk_golden_fields():
    ps = rtk_projections(peers.rtk_geometry_xml(Geometry.defined()))
    assert len(ps) == 256
    p0, p64 = ps[0], ps[64]
    assert (p0["SourceToIsocenterDistance"], p0["SourceToDetectorDistance"]) == (256.0, 512.0)
    assert (p0["GantryAngle"], p0["ProjectionOffsetX"], p0["ProjectionOffsetY"]) == (270.0, -0.5, 0.5)
    for tag in ("OutOfPlaneAngle", "InPlaneAngle", "SourceOffsetX", "SourceOffsetY"):
        assert p0[tag] == 0.0
    # Gantry 270: M_R = [[0, 0, 1], [0, 1, 0], [-1, 0, 0]]; magnification -512, -256;
    # then the shift (0.5, -0.5) times the last row.
    assert p0["Matrix"].tolist() == [[-0.5, 0, -512, -128], [0.5, -512, 0, 128], [-1, 0, 0, -256]]
    assert p64["GantryAngle"] == 0.0
    assert p64["Matrix"].tolist() == [[-512, 0, 0.5, -128], [0, -512, -0.5, 128], [0, 0, 1, -256]]
    image = peers.rtk_projection_image(Geometry.defined())
    assert image["Size"] == (256, 256, 256) and image["Spacing"] == (1.0, 1.0, 1.0)
    assert image["Origin"] == (-127.5, 127.5, 0.0) and np.array_equal(image["Direction"], np.diag([1, -1, 1]))
    volume = peers.rtk_volume_image(Geometry.defined())
    assert volume["Origin"] == (64.5, 64.5, -63.5)  # voxel (0, 0, 0) at (x, y, z) = (-63.5, 64.5, 64.5)

    s = rtk_projections(peers.rtk_geometry_xml(Geometry(**SHORT_SCAN)))[0]
    assert (s["SourceToIsocenterDistance"], s["SourceToDetectorDistance"]) == (500.0, 800.0)
    assert s["GantryAngle"] == pytest.approx(300.0, abs=1e-12)  # 30 - 90 + 360
    assert (s["ProjectionOffsetX"], s["ProjectionOffsetY"]) == (-20.0, -4.0)
    # Gantry 300: cos 1/2, sin -H: M_R = [[1/2, 0, H], [0, 1, 0], [-H, 0, 1/2]];
    # rows -800 M_R[0], -800 M_R[1], (M_R[2], -500), shifted by (20, 4) times the last.
    assert s["Matrix"] == pytest.approx(np.array(
        [[-400 - 20 * H, 0, -800 * H + 10, -10000], [-4 * H, -800, 2, -2000], [-H, 0, 0.5, -500]]), abs=1e-9)


@pytest.mark.parametrize("g", geometries(), ids=["defined", "short-scan"])
def test_rtk_traced(g):
    text = peers.rtk_geometry_xml(g)
    image = peers.rtk_projection_image(g)
    spacing, origin, direction = np.array(image["Spacing"][:2]), np.array(image["Origin"][:2]), image["Direction"][:2, :2]
    rows, cols = g.detector_shape
    r, c = np.meshgrid(np.arange(rows), np.arange(cols), indexing="ij")
    for k, p in list(enumerate(rtk_projections(text)))[::9]:
        m_r = rtk_rotation(p)
        # Pixel (c, r): physical (u, v) = Origin + Direction (index * Spacing), at
        # (ProjectionOffsetX + u, ProjectionOffsetY + v, SID - SDD) in the rotated frame.
        uv = origin + np.stack([c * spacing[0], r * spacing[1]], axis=-1) @ direction.T
        rotated = np.stack([p["ProjectionOffsetX"] + uv[..., 0], p["ProjectionOffsetY"] + uv[..., 1],
                            np.full(uv.shape[:-1], p["SourceToIsocenterDistance"] - p["SourceToDetectorDistance"])], axis=-1)
        fixed = rotated @ m_r  # M_R^T applied to each point
        ours = np.stack([fixed[..., 2], fixed[..., 0], fixed[..., 1]], axis=-1)  # (x, y, z) = (Z, X, Y)
        assert np.allclose(ours, g.pixel_centre(k, r, c), rtol=0, atol=1e-9)
        source = m_r.T @ np.array([p["SourceOffsetX"], p["SourceOffsetY"], p["SourceToIsocenterDistance"]])
        assert np.allclose(source[[2, 0, 1]], g.vectors()[k, :3], rtol=0, atol=1e-9)
        # The matrix projects each of our pixel centres onto its own (u, v).
        P = g.pixel_centre(k, r, c)
        h = np.concatenate([P[..., [1, 2, 0]], np.ones(P.shape[:-1] + (1,))], axis=-1) @ p["Matrix"].T
        assert np.allclose(h[..., :2] / h[..., 2:], uv, rtol=0, atol=1e-7)
    # The volume image: Origin + Direction (index * Spacing) in RTK's frame is our voxel centre.
    vi = peers.rtk_volume_image(g)
    iz, iy, ix = np.indices(g.volume_shape)
    index = np.stack([ix, iy, iz], axis=-1) * np.array(vi["Spacing"])
    physical = np.array(vi["Origin"]) + index @ vi["Direction"].T
    assert np.allclose(physical[..., [2, 0, 1]], g.voxel_centre(iz, iy, ix), rtol=0, atol=1e-12)
    assert vi["Size"] == g.volume_shape[::-1]


@pytest.mark.parametrize("g", geometries(), ids=["defined", "short-scan"])
def test_rtk_reader_round_trip(g):
    volume = dict(volume_shape=g.volume_shape, voxel_size=g.voxel_size, volume_offset=g.volume_offset)
    back = peers.from_rtk_xml(peers.rtk_geometry_xml(g), detector_shape=g.detector_shape,
                              detector_pitch=g.detector_pitch, **volume)
    assert back.form == "angles" and back.views == g.views
    assert back.sod == g.sod and back.sdd == g.sdd and back.detector_offset == g.detector_offset
    assert np.allclose(back.angles, g.angles % 360, rtol=0, atol=1e-9)
    assert np.allclose(back.vectors(), g.vectors(), rtol=0, atol=1e-9)
    assert back.volume_shape == g.volume_shape and back.volume_offset == g.volume_offset


def test_rtk_reader_of_a_general_file():
    # Global values, an in-plane angle and a source offset: a free geometry,
    # traced with RTK's formulas.
    text = """<?xml version="1.0"?>
<!DOCTYPE RTKGEOMETRY>
<RTKThreeDCircularGeometry version="3">
  <SourceToIsocenterDistance>1000</SourceToIsocenterDistance>
  <SourceToDetectorDistance>1536</SourceToDetectorDistance>
  <Projection>
    <GantryAngle>10</GantryAngle>
    <InPlaneAngle>5</InPlaneAngle>
    <SourceOffsetX>3</SourceOffsetX>
    <ProjectionOffsetX>-117</ProjectionOffsetX>
  </Projection>
  <Projection>
    <GantryAngle>200</GantryAngle>
    <OutOfPlaneAngle>-2</OutOfPlaneAngle>
    <ProjectionOffsetY>1.5</ProjectionOffsetY>
  </Projection>
</RTKThreeDCircularGeometry>
"""
    g = peers.from_rtk_xml(text, volume_shape=(8, 8, 8), detector_shape=(4, 6), detector_pitch=(0.8, 0.7))
    assert g.form == "vectors" and g.views == 2
    r, c = np.meshgrid(np.arange(4), np.arange(6), indexing="ij")
    origin = np.array([-2.5 * 0.7, 1.5 * 0.8])
    for k, p in enumerate(rtk_projections(text.replace("</Projection>", "<Matrix>0 0 0 0 0 0 0 0 0 0 0 0</Matrix></Projection>"))):
        m_r = rtk_rotation(p)
        u = origin[0] + c * 0.7
        v = origin[1] - r * 0.8
        rotated = np.stack([p.get("ProjectionOffsetX", 0) + u, p.get("ProjectionOffsetY", 0) + v,
                            np.full(u.shape, 1000.0 - 1536.0)], axis=-1)
        fixed = rotated @ m_r
        assert np.allclose(fixed[..., [2, 0, 1]], g.pixel_centre(k, r, c), rtol=0, atol=1e-9)
        source = m_r.T @ np.array([p.get("SourceOffsetX", 0.0), 0.0, 1000.0])
        assert np.allclose(source[[2, 0, 1]], g.vectors()[k, :3], rtol=0, atol=1e-9)
    # A matrix that does not agree with the parameters is refused.
    bad = peers.rtk_geometry_xml(Geometry.defined()).replace("-512.0 0.0 0.5 -128.0", "-512.0 0.0 0.5 -120.0", 1)
    with pytest.raises(ValueError, match="Matrix of projection 64"):
        peers.from_rtk_xml(bad, volume_shape=(128,) * 3, detector_shape=(256, 256))


def test_free_vectors_have_no_circular_form():
    free = Geometry.from_vectors(Geometry.defined().vectors()[:3], volume_shape=(4, 4, 4), detector_shape=(256, 256))
    for writer in (peers.tigre_geometry, peers.rtk_geometry_xml):
        with pytest.raises(ValueError, match="free vectors"):
            writer(free)
    proj, _ = peers.astra_geometry(free)
    assert proj["Vectors"].shape == (3, 12)
    assert tomsim.peers is peers
