"""Where a study meets tomsim.spectral: the spectrum, materials and detector
that a description names, made (and so checked) by the library; a phantom's
shapes shared out among its materials, their path lengths in one walk; and
each condition's measured -ln(signal / flat) stacks, with the water
linearisation that reconstructions start from."""

import functools
from dataclasses import dataclass

import numpy as np

from . import steps


@dataclass(frozen=True)
class Spectral:
    """The polychromatic part of a study, as plain hashable values."""
    spectrum: tuple             # (key, value) pairs of the tube model, or ("file", path), ("file_sha256", digest)
    photons: float              # photons per pixel of the noise-free condition
    materials: tuple            # (material name, density or None, shapes or None: every shape left)
    thresholds: tuple = ()      # keV; none: an energy-integrating detector
    sensor: str | None = None
    thickness: float = 0.0      # mm
    correction: str = "linear"  # "water": water linearisation; "linear": its first term only
    bin: int = 0                # the bin reconstructions start from
    voxel_mm: float = 2.0       # the defined grid's voxel (mm) when the study gives no geometry
    store_log: str | None = "float32"
    store_paths: str | None = None


def _sp():
    import tomsim.spectral as sp
    return sp


def spectrum_of(spectral):
    """The spectrum a study names (photons per bin of the model's own scale)."""
    options = {k: v for k, v in spectral.spectrum if k != "file_sha256"}
    path = options.pop("file", None)
    if "filtration" in options:
        options["filtration"] = [tuple(f) for f in options["filtration"]]
    return _sp().spectra.source(path, **options)


def material_of(name, density):
    return _sp().materials.material(name, density)


def detector_of(spectral):
    return _sp().detectors.of_thresholds(list(spectral.thresholds), spectral.sensor, spectral.thickness)


@functools.lru_cache(maxsize=4)
def _setup(spectral):
    """The spectrum, materials and detector of a study, made once a process."""
    return (spectrum_of(spectral), tuple(material_of(n, d) for n, d, _ in spectral.materials),
            detector_of(spectral))


def bins(spectral):
    return len(spectral.thresholds) or 1


def voxel_mm(spectral, geometry):
    """The voxel size path lengths are scaled by: the study's on the defined
    grid without a geometry, the defined preset's 1 mm with it; None on a
    general scan, whose walk measures mm itself."""
    if geometry is None:
        return spectral.voxel_mm
    return None if steps.general(geometry) else float(geometry.voxel_size[2])


# --- phantoms ---------------------------------------------------------------

def _shape_fields(line):
    """The value and name of one shape line of a description."""
    fields = dict(word.split("=", 1) for word in line.split()[1:] if "=" in word)
    return fields.get("value"), fields.get("name")


def material_parts(description, spectral, label):
    """One description per material: the shapes each material takes, each
    value times the material's density (a shape's value is the share of
    its material's full density; shapes add). A shape is named by its
    position among the shapes (from 0) or by its name."""
    materials = _setup(spectral)[1]
    lines = [l for l in description.splitlines() if l.strip() and not l.lstrip().startswith("#")]
    owners = [None] * len(lines)
    for m, (material, _, shapes) in enumerate(spectral.materials):
        for wanted in shapes or ():
            found = [i for i, line in enumerate(lines)
                     if (i == wanted if isinstance(wanted, int) else _shape_fields(line)[1] == wanted)]
            if not found:
                raise ValueError(f"phantom {label} has no shape {wanted!r} (materials: {material})")
            for i in found:
                owners[i] = m
    rest = [m for m, (_, _, shapes) in enumerate(spectral.materials) if shapes is None]
    parts = [[] for _ in spectral.materials]
    for i, line in enumerate(lines):
        m = owners[i] if owners[i] is not None else (rest[0] if rest else None)
        if m is None:
            raise ValueError(f"shape {i} of phantom {label} has no material: list it in a [[materials]] "
                             "table's shapes, or give one table without shapes")
        value, _ = _shape_fields(line)
        scaled = repr(float(value) * materials[m].density)
        parts[m].append(line.replace(f"value={value}", f"value={scaled}", 1))
    for m, shapes in enumerate(parts):
        if not shapes:
            raise ValueError(f"phantom {label} gives the material {spectral.materials[m][0]!r} no shape")
    return ["\n".join(p) + "\n" for p in parts]


def sources(phantoms, geometry, spectral, threads):
    """Each phantom's material volumes (M, nz, ny, nx; partial densities in
    g/cm^3) and their path lengths (M, views, rows, columns; g/cm^2), the
    materials projected in one walk."""
    import time
    sp = _sp()
    scan = {"geometry": geometry} if steps.general(geometry) else {}
    out = []
    for phantom in phantoms:
        t0 = time.perf_counter()
        options = dict(phantom.options)
        parts = material_parts(steps.describe(phantom, geometry), spectral, phantom.label)
        volumes = sp.material_volumes(parts, options.get("oversample", 1), threads, **scan)
        t1 = time.perf_counter()
        paths = sp.path_lengths(volumes, voxel_mm(spectral, geometry), threads, **scan)
        t2 = time.perf_counter()
        out.append({"phantom": volumes, "truth": volumes.sum(axis=0, dtype=np.float32), "projection": paths,
                    "timings": {"phantom": t1 - t0, "projection": t2 - t1}})
    return out


# --- measurement ------------------------------------------------------------

def measure(paths, condition, seed, geometry, spectral, threads):
    """A condition's measured -ln(signal / flat) per bin (B, views, rows,
    columns), the line integrals its reconstructions start from (water-
    equivalent density x length: voxels of the defined grid, mm on a
    general scan), and the figures of the measurement."""
    sp = _sp()
    spectrum, materials, detector = _setup(spectral)
    photons = spectral.photons if condition.i0 is None else condition.i0
    scan = sp.model(sp.with_photons(spectrum, photons), list(materials), detector)
    result = sp.simulate(paths, scan, seed=seed, electronic=condition.electronic, threads=threads)
    fit = sp.water_fit(scan, bin=spectral.bin)
    integrals = sp.linearise(result.log[spectral.bin], fit, voxel_mm(spectral, geometry) or 1.0,
                             linear_only=spectral.correction == "linear")
    figures = {"photons": photons, "floored": list(result.floored), "flat": result.flat.tolist(),
               "water_fit": list(map(float, fit))}
    return result.log, integrals, figures
