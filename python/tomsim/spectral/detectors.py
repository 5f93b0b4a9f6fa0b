"""Detector response: which share of the photons of each energy a detector
bin sees, and what each adds to the bin's signal.

Two kinds:
  - energy-integrating: one bin whose signal is the energy deposited, each
    detected photon adding its energy (keV);
  - photon-counting: bins between energy thresholds, each detected photon
    adding one count to the bin of its energy.
Efficiency: the share of photons the sensor stops, 1 - exp(-mu(E) t), from
xraylib's total attenuation of the sensor material (an ideal sensor: full
efficiency). A stopped photon is taken as depositing its whole energy, in
the bin of its energy (no escape, charge sharing or energy blur).
"""

import collections

import numpy as np

from . import materials as mat

Detector = collections.namedtuple("Detector", "kind thresholds sensor thickness")
Detector.__doc__ = """kind "integrating" or "counting"; thresholds (keV, ascending) of a
counting detector, each the lower edge of a bin, the last bin open above;
sensor material (None: ideal) and its thickness in mm."""


def _sensor(sensor, thickness):
    if sensor is None:
        return None, 0.0
    if not (np.isfinite(thickness) and thickness > 0):
        raise ValueError("a sensor needs a thickness > 0 mm")
    return (mat.material(sensor) if isinstance(sensor, str) else sensor), float(thickness)


def integrating(sensor=None, thickness=0.0):
    """An energy-integrating detector (e.g. sensor "Cesium Iodide", 0.6 mm)."""
    s, t = _sensor(sensor, thickness)
    return Detector("integrating", (), s, t)


def counting(thresholds, sensor=None, thickness=0.0):
    """A photon-counting detector with bins starting at `thresholds` keV
    (e.g. (20, 60): bins 20-60 and above 60; sensor e.g. "CdTe", 2 mm)."""
    th = tuple(float(x) for x in np.atleast_1d(thresholds))
    if not th or not all(np.isfinite(th)) or th[0] < 0 or any(b <= a for a, b in zip(th, th[1:])):
        raise ValueError("thresholds must be ascending numbers of keV >= 0")
    s, t = _sensor(sensor, thickness)
    return Detector("counting", th, s, t)


def of_thresholds(thresholds=None, sensor=None, thickness=0.0):
    """A counting detector with these thresholds, or an integrating one
    when there are none."""
    if thresholds:
        return counting(thresholds, sensor, thickness)
    return integrating(sensor, thickness)


def efficiency(detector, energies):
    """The share of photons of each energy the sensor stops."""
    e = np.asarray(energies, dtype=float)
    if detector.sensor is None:
        return np.ones_like(e)
    return 1.0 - np.exp(-mat.linear_attenuation(detector.sensor, e) * detector.thickness)


def response(detector, energies):
    """(photons, gain), each (bins, E): the share of the photons of energy e
    that bin b detects, and what each adds to its signal."""
    e = np.asarray(energies, dtype=float)
    eff = efficiency(detector, e)
    if detector.kind == "integrating":
        return eff[None, :], e[None, :].copy()
    if detector.kind != "counting":
        raise ValueError("a detector is integrating or counting")
    edges = list(detector.thresholds) + [np.inf]
    share = np.array([(e >= lo) & (e < hi) for lo, hi in zip(edges, edges[1:])], dtype=float)
    return share * eff[None, :], np.ones_like(share)


def noise_kind(detector):
    """How quantum noise is drawn for this detector: a Poisson count per bin
    (counting), or per bin the sum over energies of the energy times a
    Poisson count of the photons of that energy (integrating: the compound
    Poisson law of the deposited energy)."""
    return "counting" if detector.kind == "counting" else "compound"
