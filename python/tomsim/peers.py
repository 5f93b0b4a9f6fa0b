"""A tomsim.Geometry in the forms of the field's toolkits, and back (numpy
only; none of the toolkits is needed).

Our frame (tomsim.geometry): the rotation axis is z, the source of angle
theta at sod * (sin theta, -cos theta, 0); volumes [iz, iy, ix] with x
growing with ix and y, z falling as iy, iz grow; stacks [view, row,
column] with rows running top first (row step along -z).

ASTRA (cone_vec): the frame is ours turned half a turn about x,
(X, Y, Z) = (x, -y, -z), the frame of our MetaImage headers. In it ASTRA's
voxel (slice k, row j, column i) at min + (index + 1/2) * size on every axis
is our voxel (iz, iy, ix) = (k, j, i), so a Volume is passed to ASTRA as it
is, and a stack only transposed to ASTRA's [row, view, column]
(astra_projections). Each view's 12 numbers are ours with the y and z
components negated; the row step becomes +Z, as in ASTRA's own cone form.

TIGRE: the frame is ours; TIGRE's source DSO * (cos a, sin a, 0) is ours
at a = theta - 90 degrees, its detector's u index runs along our column
step and its v index down, as our rows. TIGRE's voxel indices all grow
with their coordinates, so its image is our Volume with the y and z
indices reversed (tigre_image); stacks are the same arrays
[angle, v, u]. offDetector (v, u) = (-offset_v, offset_u): TIGRE's v
offset points up.

RTK (ThreeDCircularGeometry, XML version 3): RTK's fixed frame is ours
with (X, Y, Z) = (y, z, x) (a rotation; RTK's rotation axis is its y),
GantryAngle = theta - 90 degrees (kept in [0, 360)), ProjectionOffsetX =
offset_u, ProjectionOffsetY = -offset_v (RTK's detector v axis points up).
The projection images carry the pitch and their origin in their headers
(rtk_projection_image): our stack as it is, with the direction
diag(1, -1, 1) (rows down) and the origin (-(C-1)/2 * pitch_column,
(R-1)/2 * pitch_row, 0); the Volume with rtk_volume_image's origin and
direction.
"""

import math
import xml.etree.ElementTree as ElementTree

import numpy as np

from .geometry import Geometry

__all__ = [
    "astra_geometry", "astra_projections", "from_astra_projections", "from_astra_vectors",
    "from_astra_geometry", "tigre_geometry", "tigre_image", "rtk_geometry_xml",
    "rtk_projection_image", "rtk_volume_image", "from_rtk_xml",
]

# ---------------------------------------------------------------------------
# ASTRA

_ASTRA_SIGNS = np.array([1.0, -1.0, -1.0] * 4)


def astra_geometry(g):
    """(proj_geom, vol_geom): ASTRA's cone_vec projection geometry
    {type, DetectorRowCount, DetectorColCount, Vectors} and its volume
    geometry {GridRowCount, GridColCount, GridSliceCount, option: {WindowMinX,
    WindowMaxX, WindowMinY, ...}} as astra.create_proj_geom and
    astra.create_vol_geom make them. Pass the Volume as it is and the stack
    as astra_projections(stack)."""
    vectors = g.vectors() * _ASTRA_SIGNS + 0.0  # no negative zeros
    rows, columns = g.detector_shape
    proj_geom = {"type": "cone_vec", "DetectorRowCount": int(rows), "DetectorColCount": int(columns),
                 "Vectors": vectors}
    nz, ny, nx = g.volume_shape
    dz, dy, dx = g.voxel_size
    oz, oy, ox = g.volume_offset
    vol_geom = {"GridRowCount": int(ny), "GridColCount": int(nx), "GridSliceCount": int(nz),
                "option": {"WindowMinX": ox - nx * dx / 2, "WindowMaxX": ox + nx * dx / 2,
                           "WindowMinY": -oy - ny * dy / 2, "WindowMaxY": -oy + ny * dy / 2,
                           "WindowMinZ": -oz - nz * dz / 2, "WindowMaxZ": -oz + nz * dz / 2}}
    return proj_geom, vol_geom


def astra_projections(stack):
    """Our stack [view, row, column] as ASTRA's projection data [row, view, column] (a view)."""
    return np.asarray(stack).swapaxes(0, 1)


def from_astra_projections(data):
    """ASTRA's projection data [row, view, column] as our stack [view, row, column] (a view)."""
    return np.asarray(data).swapaxes(0, 1)


def from_astra_vectors(vectors, *, detector_shape, volume_shape, voxel_size=(1.0, 1.0, 1.0),
                       volume_offset=(0.0, 0.0, 0.0), trace=None):
    """A free Geometry of ASTRA cone_vec vectors (views, 12) in ASTRA's frame;
    the volume is given in ours (volume_offset (z, y, x))."""
    vectors = np.asarray(vectors, dtype=np.float64)
    if vectors.ndim != 2 or vectors.shape[1] != 12:
        raise ValueError(f"ASTRA's cone_vec vectors are (views, 12), not {vectors.shape}")
    return Geometry.from_vectors(vectors * _ASTRA_SIGNS + 0.0, volume_shape=volume_shape, voxel_size=voxel_size,
                                 volume_offset=volume_offset, detector_shape=detector_shape, trace=trace)


def from_astra_geometry(proj_geom, vol_geom):
    """A free Geometry of ASTRA's cone_vec projection geometry and volume
    geometry dicts (astra_geometry's pair, or astra's own)."""
    if proj_geom.get("type") != "cone_vec":
        raise ValueError(f"the projection geometry is {proj_geom.get('type')!r}; only 'cone_vec' is read")
    nx, ny, nz = (int(vol_geom[k]) for k in ("GridColCount", "GridRowCount", "GridSliceCount"))
    w = vol_geom.get("option", {})
    lo = [float(w.get(f"WindowMin{a}", -n / 2)) for a, n in (("X", nx), ("Y", ny), ("Z", nz))]
    hi = [float(w.get(f"WindowMax{a}", n / 2)) for a, n in (("X", nx), ("Y", ny), ("Z", nz))]
    size = [(h - l) / n for l, h, n in zip(lo, hi, (nx, ny, nz))]
    centre = [(l + h) / 2 for l, h in zip(lo, hi)]
    return from_astra_vectors(proj_geom["Vectors"],
                              detector_shape=(int(proj_geom["DetectorRowCount"]), int(proj_geom["DetectorColCount"])),
                              volume_shape=(nz, ny, nx), voxel_size=(size[2], size[1], size[0]),
                              volume_offset=(-centre[2] + 0.0, -centre[1] + 0.0, centre[0]))


# ---------------------------------------------------------------------------
# TIGRE

def _circular(g, peer):
    if g.form == "vectors":
        raise ValueError(f"{peer}'s circular geometry cannot hold a geometry of free vectors; "
                         "use astra_geometry (cone_vec)")


def tigre_geometry(g):
    """TIGRE's cone geometry as a dict of its fields (DSD, DSO, nVoxel,
    dVoxel, sVoxel, offOrigin as [z, y, x]; nDetector, dDetector, sDetector,
    offDetector as [v, u]; COR, rotDetector, mode) and the view angles in
    radians, TIGRE's alpha = theta - 90 degrees. Pass the Volume as
    tigre_image(volume); stacks are the same arrays [angle, v, u]."""
    _circular(g, "TIGRE")
    nz, ny, nx = g.volume_shape
    rows, columns = g.detector_shape
    n_voxel = np.array([nz, ny, nx], dtype=np.int64)
    d_voxel = np.array(g.voxel_size, dtype=np.float64)
    n_detector = np.array([rows, columns], dtype=np.int64)
    d_detector = np.array(g.detector_pitch, dtype=np.float64)
    offset_v, offset_u = g.detector_offset
    return {
        "mode": "cone",
        "DSD": float(g.sdd),
        "DSO": float(g.sod),
        "nVoxel": n_voxel,
        "dVoxel": d_voxel,
        "sVoxel": n_voxel * d_voxel,
        "offOrigin": np.array(g.volume_offset, dtype=np.float64),
        "nDetector": n_detector,
        "dDetector": d_detector,
        "sDetector": n_detector * d_detector,
        "offDetector": np.array([-offset_v + 0.0, offset_u], dtype=np.float64),
        "COR": 0.0,
        "rotDetector": np.zeros(3),
        "angles": np.deg2rad(g.angles - 90.0),
    }


def tigre_image(volume):
    """Our Volume [iz, iy, ix] as TIGRE's image (y and z indices reversed),
    float32 in C order; applied again it gives our Volume back."""
    return np.ascontiguousarray(np.asarray(volume)[::-1, ::-1, :], dtype=np.float32)


# ---------------------------------------------------------------------------
# RTK

def _sincos_degrees(degrees):
    """sin and cos of angles in degrees, whole quarter turns taken exactly
    (as the library computes the views' vectors)."""
    r = np.mod(np.asarray(degrees, dtype=np.float64), 360.0)
    q = np.rint(r / 90.0)
    a = np.deg2rad(r - 90.0 * q)
    s, c = np.sin(a), np.cos(a)
    k = q.astype(np.int64) % 4
    sin = np.choose(k, [s, c, -s, -c]) + 0.0
    cos = np.choose(k, [c, -s, -c, s]) + 0.0
    return sin, cos


def _rotation(gantry, out_of_plane, in_plane):
    """RTK's M_R: fixed coordinates into the rotated (detector) frame,
    Rz(-in_plane) Rx(-out_of_plane) Ry(-gantry), angles in degrees."""
    sg, cg = _sincos_degrees(-gantry)
    so, co = _sincos_degrees(-out_of_plane)
    si, ci = _sincos_degrees(-in_plane)
    rz = np.array([[ci, -si, 0.0], [si, ci, 0.0], [0.0, 0.0, 1.0]])
    rx = np.array([[1.0, 0.0, 0.0], [0.0, co, -so], [0.0, so, co]])
    ry = np.array([[cg, 0.0, sg], [0.0, 1.0, 0.0], [-sg, 0.0, cg]])
    return rz @ rx @ ry


def _rtk_matrix(p):
    """The 3 x 4 projection matrix of RTK's documentation for one projection's parameters."""
    sid, sdd = p["SourceToIsocenterDistance"], p["SourceToDetectorDistance"]
    sox, soy = p["SourceOffsetX"], p["SourceOffsetY"]
    pox, poy = p["ProjectionOffsetX"], p["ProjectionOffsetY"]
    shift = np.array([[1.0, 0.0, sox - pox], [0.0, 1.0, soy - poy], [0.0, 0.0, 1.0]])
    magnify = np.array([[-sdd, 0.0, 0.0, 0.0], [0.0, -sdd, 0.0, 0.0], [0.0, 0.0, 1.0, -sid]])
    source = np.eye(4)
    source[0, 3], source[1, 3] = -sox, -soy
    rotation = np.eye(4)
    rotation[:3, :3] = _rotation(p["GantryAngle"], p["OutOfPlaneAngle"], p["InPlaneAngle"])
    return shift @ magnify @ source @ rotation


def _num(x):
    return repr(float(x) + 0.0)


_RTK_TAGS = ("SourceToIsocenterDistance", "SourceToDetectorDistance", "GantryAngle", "ProjectionOffsetX",
             "ProjectionOffsetY", "OutOfPlaneAngle", "InPlaneAngle", "SourceOffsetX", "SourceOffsetY")


def rtk_parameters(g):
    """The nine parameters of each projection of RTK's ThreeDCircularGeometry
    (a list of dicts, degrees and mm)."""
    _circular(g, "RTK")
    offset_v, offset_u = g.detector_offset
    return [{"SourceToIsocenterDistance": float(g.sod), "SourceToDetectorDistance": float(g.sdd),
             "GantryAngle": float((a - 90.0) % 360.0), "ProjectionOffsetX": float(offset_u),
             "ProjectionOffsetY": float(-offset_v + 0.0), "OutOfPlaneAngle": 0.0, "InPlaneAngle": 0.0,
             "SourceOffsetX": 0.0, "SourceOffsetY": 0.0} for a in g.angles]


def rtk_geometry_xml(g):
    """RTK's geometry file (RTKThreeDCircularGeometry, version 3) of a
    circular geometry: every parameter and the matrix in each projection.
    The detector's size and pitch go in the projection images' headers
    (rtk_projection_image), the volume's in its image's (rtk_volume_image)."""
    lines = ['<?xml version="1.0"?>', "<!DOCTYPE RTKGEOMETRY>", '<RTKThreeDCircularGeometry version="3">']
    for p in rtk_parameters(g):
        lines.append("  <Projection>")
        for tag in _RTK_TAGS:
            lines.append(f"    <{tag}>{_num(p[tag])}</{tag}>")
        lines.append("    <Matrix>")
        for row in _rtk_matrix(p):
            lines.append("      " + " ".join(_num(x) for x in row))
        lines.append("    </Matrix>")
        lines.append("  </Projection>")
    lines.append("</RTKThreeDCircularGeometry>")
    return "\n".join(lines) + "\n"


def rtk_projection_image(g):
    """The ITK image description of our stack as RTK's projections: Size
    (columns, rows, views), Spacing, Origin (mm, RTK's detector frame) and
    Direction (3 x 3; rows run down, along RTK's -v)."""
    _circular(g, "RTK")
    rows, columns = g.detector_shape
    pitch_row, pitch_column = g.detector_pitch
    return {"Size": (int(columns), int(rows), int(g.views)),
            "Spacing": (float(pitch_column), float(pitch_row), 1.0),
            "Origin": (-(columns - 1) / 2 * pitch_column + 0.0, (rows - 1) / 2 * pitch_row + 0.0, 0.0),
            "Direction": np.diag([1.0, -1.0, 1.0])}


def rtk_volume_image(g):
    """The ITK image description of our Volume in RTK's frame: Size (nx, ny,
    nz), Spacing (dx, dy, dz), Origin (the centre of voxel (0, 0, 0)) and
    Direction (column j: where index j of (ix, iy, iz) points)."""
    nz, ny, nx = g.volume_shape
    dz, dy, dx = g.voxel_size
    x, y, z = g.voxel_centre(0, 0, 0)
    return {"Size": (int(nx), int(ny), int(nz)), "Spacing": (float(dx), float(dy), float(dz)),
            "Origin": (float(y), float(z), float(x)),
            "Direction": np.array([[0.0, -1.0, 0.0], [0.0, 0.0, -1.0], [1.0, 0.0, 0.0]])}


def _ours(points):
    """Points or directions of RTK's frame (..., 3) in ours: (x, y, z) = (Z, X, Y)."""
    points = np.asarray(points)
    return np.stack([points[..., 2], points[..., 0], points[..., 1]], axis=-1) + 0.0


def from_rtk_xml(text, *, volume_shape, voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0),
                 detector_shape, detector_pitch=(1.0, 1.0), projection_image=None, trace=None):
    """The Geometry of an RTK geometry file's text (global values and
    per-projection ones, as RTK reads them; the matrices are checked against
    the parameters). The detector (rows, columns) and pitch (row, column)
    come from the projection images; projection_image may give their
    "Origin" and "Direction" (2-D or 3-D; default rtk_projection_image's:
    centred, rows down). A plain circular file (no source offsets, no
    out-of-plane or in-plane angles, one SID, SDD and offset for all) gives a
    Geometry of angles, anything else a free one."""
    root = ElementTree.fromstring(text)
    if root.tag != "RTKThreeDCircularGeometry":
        raise ValueError(f"not an RTK geometry file: the root element is <{root.tag}>")
    defaults = {"SourceToIsocenterDistance": None, "SourceToDetectorDistance": None, "GantryAngle": 0.0,
                "ProjectionOffsetX": 0.0, "ProjectionOffsetY": 0.0, "OutOfPlaneAngle": 0.0, "InPlaneAngle": 0.0,
                "SourceOffsetX": 0.0, "SourceOffsetY": 0.0, "RadiusCylindricalDetector": 0.0}

    def number(element):
        try:
            return float(element.text)
        except (TypeError, ValueError):
            raise ValueError(f"<{element.tag}> holds {element.text!r}, not a number") from None

    for child in root:
        if child.tag in defaults:
            defaults[child.tag] = number(child)
    projections = []
    for k, node in enumerate(root.findall("Projection")):
        p = dict(defaults)
        matrix = None
        for child in node:
            if child.tag == "Matrix":
                matrix = np.array([float(x) for x in child.text.split()]).reshape(3, 4)
            elif child.tag in p:
                p[child.tag] = number(child)
        for tag in ("SourceToIsocenterDistance", "SourceToDetectorDistance"):
            if p[tag] is None:
                raise ValueError(f"projection {k} has no {tag}")
        if p["RadiusCylindricalDetector"] != 0.0:
            raise ValueError("a cylindrical detector (RadiusCylindricalDetector) is not a flat panel")
        if p["SourceToDetectorDistance"] == 0.0:
            raise ValueError("a parallel geometry (SourceToDetectorDistance 0) is not a cone beam")
        if matrix is not None:
            expected = _rtk_matrix(p)
            if not np.allclose(matrix, expected, rtol=1e-6, atol=1e-6 * np.abs(expected).max()):
                raise ValueError(f"the Matrix of projection {k} does not agree with its parameters")
        projections.append(p)
    if not projections:
        raise ValueError("the RTK geometry holds no projection")

    rows, columns = (int(n) for n in detector_shape)
    pitch = np.broadcast_to(np.asarray(detector_pitch, dtype=np.float64), (2,))
    pitch_row, pitch_column = float(pitch[0]), float(pitch[1])
    image = projection_image or {}
    origin = np.asarray(image.get("Origin", ((1 - columns) / 2 * pitch_column, (rows - 1) / 2 * pitch_row)),
                        dtype=np.float64)[:2]
    direction = np.asarray(image.get("Direction", np.diag([1.0, -1.0])), dtype=np.float64)[:2, :2]

    # Where the detector's centre, its steps and the source are in each
    # projection's rotated frame, then in RTK's fixed frame, then in ours.
    centre_uv = origin + direction @ np.array([(columns - 1) / 2 * pitch_column, (rows - 1) / 2 * pitch_row])
    step_u = np.append(direction[:, 0] * pitch_column, 0.0)
    step_v = np.append(direction[:, 1] * pitch_row, 0.0)
    vectors = []
    for p in projections:
        back = _rotation(p["GantryAngle"], p["OutOfPlaneAngle"], p["InPlaneAngle"]).T
        sid, sdd = p["SourceToIsocenterDistance"], p["SourceToDetectorDistance"]
        source = np.array([p["SourceOffsetX"], p["SourceOffsetY"], sid])
        centre = np.array([p["ProjectionOffsetX"] + centre_uv[0], p["ProjectionOffsetY"] + centre_uv[1], sid - sdd])
        vectors.append(np.concatenate([_ours(back @ x) for x in (source, centre, step_u, step_v)]))
    vectors = np.array(vectors)

    first = projections[0]
    plain = (np.allclose(direction, np.diag([1.0, -1.0]), rtol=0, atol=0)
             and all(p[t] == 0.0 for p in projections
                     for t in ("SourceOffsetX", "SourceOffsetY", "OutOfPlaneAngle", "InPlaneAngle"))
             and all(p[t] == first[t] for p in projections
                     for t in ("SourceToIsocenterDistance", "SourceToDetectorDistance",
                               "ProjectionOffsetX", "ProjectionOffsetY"))
             and 0 < first["SourceToIsocenterDistance"] < first["SourceToDetectorDistance"])
    volume = dict(volume_shape=volume_shape, voxel_size=voxel_size, volume_offset=volume_offset, trace=trace)
    if plain:
        angles = np.array([(p["GantryAngle"] + 90.0) % 360.0 for p in projections])
        offset_u = first["ProjectionOffsetX"] + centre_uv[0]
        offset_v = -(first["ProjectionOffsetY"] + centre_uv[1])
        return Geometry(detector_shape=(rows, columns), detector_pitch=(pitch_row, pitch_column),
                        detector_offset=(offset_v + 0.0, offset_u + 0.0),
                        sod=first["SourceToIsocenterDistance"], sdd=first["SourceToDetectorDistance"],
                        angles=angles, **volume)
    return Geometry.from_vectors(vectors, detector_shape=(rows, columns), **volume)
