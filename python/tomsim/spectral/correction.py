"""Beam-hardening correction and Hounsfield units.

Water linearisation: through water alone, a polychromatic -ln(signal/flat)
p grows less than linearly with the water path length A (g/cm^2), because
the beam hardens. The model gives p(A) on a grid of A; a polynomial without
constant term, A = sum_k c_k p^k (k = 1 ... degree), fitted by least squares,
maps every measured p back to the water path that would give it, so water
reconstructs flat. Projections are then handed on as water-equivalent line
integrals in voxel units, A * 10 / voxel_mm, so that a reconstruction reads
water-equivalent density (g/cm^3): water 1, air about 0.001.

Without correction (for comparison) the same units use only the linear
term, c_1 p: the water attenuation at the flat beam's effective energy.

HU = 1000 (v - water) / (water - air), with the values `water` and `air`
that water and air read in the same units.
"""

import numpy as np

from . import forward
from . import materials as mat

MAX_WATER_PATH = 40.0  # g/cm^2: 40 cm of water, more than any ray of a grid of 2 mm voxels crosses


def water_fit(scan, degree=6, bin=0, max_path=MAX_WATER_PATH, samples=400):
    """The coefficients c_1 ... c_degree of A(p) for one bin of a scan whose
    spectrum and detector are `scan`'s (its materials are not used)."""
    if not 1 <= degree <= 8:
        raise ValueError("the degree must be 1 ... 8")
    water = forward.model_like(scan, [mat.water()])
    a = np.linspace(0.0, max_path, samples, dtype=np.float32)
    p = forward.simulate(a[None], water).log[bin].astype(float)
    a = a.astype(float)
    # Relative least squares (rows weighted by 1/A), so thin paths fit as
    # well as thick ones; A = 0 is met exactly by the form.
    keep = a > 0
    weight = 1.0 / a[keep]
    design = np.stack([p[keep] ** k for k in range(1, degree + 1)], axis=1)
    c, *_ = np.linalg.lstsq(design * weight[:, None], a[keep] * weight, rcond=None)
    return c


def linearise(log, coefficients, voxel_mm, linear_only=False):
    """Water-equivalent line integrals (voxel units, density g/cm^3 x voxels)
    of measured -ln(signal/flat) `log`, by the polynomial of water_fit()
    (only its linear term when linear_only)."""
    p = np.asarray(log, dtype=np.float64)
    c = coefficients[:1] if linear_only else coefficients
    a = np.zeros_like(p)
    for k in range(len(c), 0, -1):
        a = (a + c[k - 1]) * p
    return (a * (10.0 / voxel_mm)).astype(np.float32)


def hu(volume, water=1.0, air=0.0):
    """Hounsfield units of a volume whose water reads `water` and air `air`."""
    if not water != air:
        raise ValueError("water and air must read differently")
    return 1000.0 * (np.asarray(volume, dtype=np.float64) - water) / (water - air)


def calibrate(volume, water_mask, air_mask):
    """(water, air): the mean values of a calibration scan's water and air regions."""
    v = np.asarray(volume)
    if not np.any(water_mask) or not np.any(air_mask):
        raise ValueError("both calibration regions must hold voxels")
    return float(v[water_mask].mean()), float(v[air_mask].mean())
