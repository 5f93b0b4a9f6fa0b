"""Material phantoms: lists of (material, description) pairs, each
description's shape values the material's partial density in g/cm^3
(forward.material_volumes makes the volumes). Sizes are given in mm and
turned into voxels of `voxel_mm`; cylinders stand along z, 90 voxels long."""

from . import materials as mat

HALF_LENGTH = 45  # voxels
AIR_HALF = 61     # voxels: the air fills the box the rays are traced through
_HEADER = "# KIND value=V centre=X,Y,Z size=A,B,C angles=PHI,THETA,PSI [name=NAME]\n"


def _cylinder(value, x_mm, y_mm, radius_mm, voxel_mm, name):
    return (f"cylinder value={value!r} centre={x_mm / voxel_mm!r},{y_mm / voxel_mm!r},0 "
            f"size={radius_mm / voxel_mm!r},{radius_mm / voxel_mm!r},{HALF_LENGTH} angles=0,0,0 name={name}\n")


def _air(voxel_mm, outer_mm):
    a = mat.air()
    text = (_HEADER + f"box value={a.density!r} centre=0,0,0 size={AIR_HALF},{AIR_HALF},{AIR_HALF} "
            "angles=0,0,0 name=air\n" + _cylinder(-a.density, 0, 0, outer_mm, voxel_mm, "air-out"))
    return a, text


def water_cylinder(voxel_mm=2.0, diameter_mm=200.0, inserts=(), air=True):
    """A water cylinder in air; inserts = [(material, x_mm, y_mm, radius_mm)]
    replace the water where they stand."""
    w = mat.water()
    water_text = _HEADER + _cylinder(w.density, 0, 0, diameter_mm / 2, voxel_mm, "water")
    parts = []
    for k, (m, x, y, r) in enumerate(inserts):
        water_text += _cylinder(-w.density, x, y, r, voxel_mm, f"insert{k}")
        parts.append((m, _HEADER + _cylinder(m.density, x, y, r, voxel_mm, f"insert{k}")))
    parts.insert(0, (w, water_text))
    if air:
        parts.append(_air(voxel_mm, diameter_mm / 2))
    return merged(parts)


def merged(parts):
    """The parts with one description per material (shapes of equal
    materials gathered, first appearance first)."""
    out = []
    for m, text in parts:
        for k, (n, t) in enumerate(out):
            if n == m:
                out[k] = (n, t + "".join(l for l in text.splitlines(True) if not l.startswith("#")))
                break
        else:
            out.append((m, text))
    return out


def iodine_cylinder(mg_per_ml=10.0, voxel_mm=2.0, diameter_mm=200.0, insert_radius_mm=20.0, air=True):
    """A water cylinder with a rod of iodine solution at its centre, as water
    and iodine partial densities (the two basis materials of a water/iodine
    decomposition): water 1 g/cm^3 throughout, iodine mg_per_ml / 1000 g/cm^3
    in the rod."""
    parts = water_cylinder(voxel_mm, diameter_mm, (), air)
    iodine = mat.material("I")
    parts.insert(1, (iodine, _HEADER + _cylinder(mg_per_ml / 1000.0, 0, 0, insert_radius_mm, voxel_mm, "iodine")))
    return parts


def bone_metal(voxel_mm=2.0, diameter_mm=200.0):
    """A water cylinder with two rods of cortical bone (15 mm radius) and a
    titanium rod (5 mm radius): dark streaks join them after reconstruction."""
    bone = mat.material("Bone, Cortical (ICRP)")
    titanium = mat.material("Ti")
    return water_cylinder(voxel_mm, diameter_mm,
                          [(bone, -50.0, 0.0, 15.0), (bone, 50.0, 0.0, 15.0), (titanium, 0.0, 45.0, 5.0)])


BUILT_IN = {"water": water_cylinder, "iodine": iodine_cylinder, "bone-metal": bone_metal}
