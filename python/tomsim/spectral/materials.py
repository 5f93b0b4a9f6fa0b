"""Materials and their attenuation, from the measured data that xraylib
carries (Debian's python3-xraylib): elements, formulas, xraylib's NIST
compound catalogue and mixtures by mass fraction.

Units: energies in keV, densities in g/cm^3, mass attenuation in cm^2/g
(total, coherent scattering included: xraylib's CS_Total), linear
attenuation in 1/mm, mass energy-absorption in cm^2/g (CS_Energy).
"""

import collections

import numpy as np
import xraylib

Material = collections.namedtuple("Material", "name elements fractions density")
Material.__doc__ = """A material: its name, atomic numbers, mass fractions (summing to 1)
and density in g/cm^3."""


def _checked(name, elements, fractions, density):
    fractions = np.asarray(fractions, dtype=float)
    if len(elements) == 0 or len(elements) != len(fractions):
        raise ValueError(f"{name}: a material needs elements and one mass fraction each")
    if not np.all(np.isfinite(fractions)) or np.any(fractions < 0) or not abs(fractions.sum() - 1.0) < 1e-3:
        raise ValueError(f"{name}: mass fractions must be >= 0 and sum to 1")
    if not (np.isfinite(density) and density > 0):
        raise ValueError(f"{name}: the density must be a positive number of g/cm^3")
    return Material(name, tuple(int(z) for z in elements), tuple(fractions / fractions.sum()), float(density))


def material(name, density=None):
    """A material by xraylib's NIST compound name ("Water, Liquid", "Bone,
    Cortical (ICRP)", "Air, Dry (near sea level)", ...; its catalogue
    density unless `density` is given), or by chemical formula or element
    symbol ("H2O", "Al", "CaCO3"), which needs `density` unless it is an
    element (then xraylib's elemental density)."""
    if name in xraylib.GetCompoundDataNISTList():
        d = xraylib.GetCompoundDataNISTByName(name)
        return _checked(name, d["Elements"], d["massFractions"], d["density"] if density is None else density)
    try:
        d = xraylib.CompoundParser(name)
    except ValueError:
        raise ValueError(f"{name!r} is neither a NIST compound of xraylib nor a chemical formula") from None
    if density is None:
        if d["nElements"] != 1:
            raise ValueError(f"{name}: a formula needs its density")
        density = xraylib.ElementDensity(d["Elements"][0])
    return _checked(name, d["Elements"], d["massFractions"], density)


def mixture(parts, density, name=None):
    """A mixture of materials by mass fraction: parts = [(material, fraction), ...]."""
    weights = collections.OrderedDict()
    total = sum(float(f) for _, f in parts)
    for m, f in parts:
        for z, w in zip(m.elements, m.fractions):
            weights[z] = weights.get(z, 0.0) + w * float(f) / total
    label = name or " + ".join(f"{f:g} {m.name}" for m, f in parts)
    return _checked(label, list(weights), list(weights.values()), density)


def contrast_solution(element, mg_per_ml, solvent=None):
    """A contrast agent (e.g. "I", "Gd") dissolved in water at `mg_per_ml`
    milligrams of the element per millilitre. The solution is taken as the
    water's volume plus the element's mass: density 1 + c/1000 g/cm^3
    (the volume a few per cent of iodine adds is neglected)."""
    solvent = solvent or material("Water, Liquid")
    if not (np.isfinite(mg_per_ml) and mg_per_ml >= 0):
        raise ValueError("the concentration must be >= 0 mg/ml")
    agent = material(element)
    c = mg_per_ml / 1000.0  # g/cm^3
    density = solvent.density + c
    return mixture([(agent, c), (solvent, solvent.density)], density,
                   name=f"{element} {mg_per_ml:g} mg/ml in {solvent.name}")


def _energies(energies):
    e = np.atleast_1d(np.asarray(energies, dtype=float))
    if e.size == 0 or not np.all(np.isfinite(e)) or np.any(e < 1.0) or np.any(e > 1000.0):
        raise ValueError("energies must lie in [1, 1000] keV")
    return e


def _weighted(function, m, energies):
    e = _energies(energies)
    out = np.zeros(e.shape)
    for z, w in zip(m.elements, m.fractions):
        out += w * np.array([function(z, float(x)) for x in e.ravel()]).reshape(e.shape)
    return out if np.ndim(energies) else out[0]


def mass_attenuation(m, energies):
    """Total mass attenuation (with coherent scattering), cm^2/g."""
    return _weighted(xraylib.CS_Total, m, energies)


def mass_energy_absorption(m, energies):
    """Mass energy-absorption coefficient, cm^2/g (xraylib's CS_Energy)."""
    return _weighted(xraylib.CS_Energy, m, energies)


def linear_attenuation(m, energies):
    """Linear attenuation at the material's density, 1/mm."""
    return mass_attenuation(m, energies) * m.density / 10.0


def water():
    return material("Water, Liquid")


def air():
    return material("Air, Dry (near sea level)")
