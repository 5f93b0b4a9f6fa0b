"""The polychromatic forward model: material density volumes, their path
lengths, and the detector signal of every ray.

Conventions:
  - a material volume holds the material's partial density (g/cm^3) in each
    voxel; the M volumes are projected in one walk, and a projection in voxel
    units times the voxel size in mm / 10 is the path length in g/cm^2;
  - the signal of bin b of a ray: sum_E photons_b(E) gain_b(E)
    exp(-sum_m mu/rho_m(E) A_m), photons_b the spectrum (photons per pixel)
    times the detector's response; the flat field is the same with no
    object (A = 0), computed, not measured;
  - the output per ray and bin is -ln(signal / flat);
  - a measured signal below the bin's floor (its flat-field signal per
    flat-field photon: one count when counting, the mean detected energy
    when integrating), 0 included, is raised to the floor and counted in
    Result.floored.
"""

import collections

import numpy as np

import tomsim
from tomsim import _core

from tomsim._quant import _general

from . import detectors as det
from . import materials as mat

Result = collections.namedtuple("Result", "log floored flat floor")
Result.__doc__ = """log: (B, ...) -ln(signal / flat) per bin; floored: per bin, how many
samples were raised to the floor; flat: each bin's flat-field signal;
floor: each bin's floor."""

Model = collections.namedtuple("Model", "materials energies attenuation photons gain noise fluence")
Model.__doc__ = """The tables of a scan: materials (M), energies (E, keV), attenuation
(M, E) in cm^2/g, photons and gain (B, E), the noise kind of its detector
and the fluence per energy (E, photons per pixel) reaching the object."""


def model(spectrum, materials, detector=None):
    """The tables of a scan with `spectrum` (photons per pixel) through
    `materials` onto `detector` (default: an ideal energy-integrating one)."""
    detector = detector or det.integrating()
    e = spectrum.energies
    attenuation = np.array([mat.mass_attenuation(m, e) for m in materials]).reshape(len(materials), e.size)
    share, gain = det.response(detector, e)
    return Model(tuple(materials), e, attenuation, share * spectrum.fluence[None, :], gain, det.noise_kind(detector),
                 spectrum.fluence.copy())


def material_volumes(parts, oversample=1, threads=None, geometry=None):
    """(M, 128, 128, 128) partial densities from phantom descriptions, one per
    material: each description's shape values are the material's density
    in g/cm^3 (shapes add, as tomsim.phantom.voxelise makes them). Given a
    tomsim.Geometry other than the defined scan, the descriptions are in mm
    and sampled on its grid: (M, nz, ny, nx)."""
    return np.stack([tomsim.phantom.voxelise(d, oversample, threads, geometry=geometry) for d in parts])


def path_lengths(volumes, voxel_mm=None, threads=None, progress=False, geometry=None):
    """(M, 256, 256, 256) path lengths in g/cm^2 of material volumes
    (M, 128, 128, 128), projected in one walk; one voxel is voxel_mm. Given
    a tomsim.Geometry other than the defined scan, the cone walk of its
    grid, whose lengths are mm already (voxel_mm is then not taken):
    (M, views, rows, columns)."""
    volumes = np.asarray(volumes, dtype=np.float32)
    if volumes.ndim == 3:
        volumes = volumes[None]
    if _general(geometry):
        if voxel_mm is not None:
            raise ValueError("a geometry gives the voxel size: voxel_mm is not taken with it")
        paths = tomsim.project(volumes, threads=threads, geometry=geometry)
        paths *= np.float32(0.1)
        return paths
    if voxel_mm is None or not (np.isfinite(voxel_mm) and voxel_mm > 0):
        raise ValueError("the voxel size must be a positive number of mm")
    paths = tomsim.project(volumes, threads=threads, progress=progress)
    paths *= np.float32(voxel_mm / 10.0)
    return paths


def simulate(paths, scan, seed=None, electronic=0.0, first_item=0, threads=None, noise=None):
    """The measured -ln(signal / flat) of every ray and bin: expected values
    (seed None) or with the detector's quantum noise drawn from (seed, item
    of the ray: its stack position, counted from first_item), plus normal
    electronic noise of deviation `electronic` in signal units. The same
    bits at any thread count. paths: (M, ...) in g/cm^2.

    `noise` overrides the detector's law: "counting" (Poisson per bin),
    "compound" (integrating: exact compound Poisson, a Poisson count per
    energy) or "moments" (integrating, fast: one normal number per bin of
    the compound law's mean and variance, sum of photons x E^2 x T)."""
    noise = "none" if seed is None else (noise or scan.noise)
    if seed is not None and int(seed) < 0:
        raise ValueError("seed must be a whole number >= 0")
    out, figures = _core.spectral_projection(paths, scan.attenuation, scan.photons, scan.gain, noise,
                                             0 if seed is None else int(seed), float(electronic),
                                             int(first_item), threads)
    return Result(out, list(figures["floored"]), np.array(figures["flat"]), np.array(figures["floor"]))


def detected_spectrum(scan, path):
    """For one ray with path lengths `path` (M numbers, g/cm^2): the photons
    per energy behind the object (E) and the signal per bin and energy after
    the detector's response (B, E)."""
    path = [float(a) for a in path]
    signal = _core.spectral_ray_signal(scan.attenuation, scan.photons, scan.gain, path)
    behind = scan.fluence * _core.spectral_transmission((scan.attenuation * np.array(path)[:, None]).sum(axis=0))
    return behind, signal


def decompose(log, scan, iterations=12, threads=None):
    """Two-material decomposition in the projection domain: the path lengths
    (g/cm^2) of the scan's two materials that reproduce two bins' measured
    -ln(signal / flat) (log: (2, ...)), by Newton's method on the
    polychromatic model, per ray. `scan` has 2 materials and 2 bins (two
    spectra: stack_bins())."""
    return _core.spectral_decompose_two(log, scan.attenuation, scan.photons, scan.gain, int(iterations), threads)


def stack_bins(first, second):
    """One scan of the bins of two scans through the same materials (e.g.
    two tube voltages), as decompose() takes it: energies merged."""
    if first.materials != second.materials:
        raise ValueError("both scans must be through the same materials")
    e = np.union1d(first.energies, second.energies)

    def spread(table, energies):
        out = np.zeros((table.shape[0], e.size))
        out[:, np.searchsorted(e, energies)] = table
        return out

    attenuation = np.array([mat.mass_attenuation(m, e) for m in first.materials]).reshape(len(first.materials), e.size)
    photons = np.vstack([spread(first.photons, first.energies), spread(second.photons, second.energies)])
    gain = np.vstack([spread(first.gain, first.energies), spread(second.gain, second.energies)])
    fluence = spread(first.fluence[None], first.energies)[0] + spread(second.fluence[None], second.energies)[0]
    return Model(first.materials, e, attenuation, photons, gain, first.noise, fluence)


def model_like(scan, materials):
    """A scan of the same spectrum and detector through other materials."""
    attenuation = np.array([mat.mass_attenuation(m, scan.energies) for m in materials]).reshape(
        len(materials), scan.energies.size)
    return scan._replace(materials=tuple(materials), attenuation=attenuation)
