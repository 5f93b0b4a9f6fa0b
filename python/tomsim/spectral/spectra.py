"""X-ray spectra: photon fluence per energy bin.

A Spectrum holds bin centres (keV, ascending, equally wide or not) and the
number of photons in each bin (per unit area, or per detector pixel once
normalised). tube() models a tungsten-anode tube; read() takes a measured or
tabulated spectrum from a two-column text file.

The tube model (docs/spectral.md gives the derivation):
  - bremsstrahlung after Kramers' thin-target law (energy radiated per unit
    photon energy and unit mass path independent of the photon energy, in
    proportion to 1/T for an electron of kinetic energy T) integrated along
    the electron's slowing down in the anode (Birch and Marshall's thick-
    target construction, Phys. Med. Biol. 24, 505, 1979), with the
    non-relativistic Bethe stopping power of tungsten (mean excitation
    energy 727 eV) giving the depth at which each electron energy is
    reached; absolute scale from the thick-target efficiency 1.1e-9 Z V;
  - anode self-absorption of each photon along depth / sin(anode angle)
    through tungsten (xraylib's total attenuation);
  - tungsten K lines: K-shell ionisations along the same path by Casnati,
    Tartari and Baraldi's cross-section (J. Phys. B 15, 155, 1982), times
    the K fluorescence yield and each line's radiative rate (xraylib's
    FluorYield, RadRate, LineEnergy), self-absorbed the same way;
  - added filtration through xraylib's attenuation of any material.
"""

import collections

import numpy as np
import xraylib

from . import materials as mat

Spectrum = collections.namedtuple("Spectrum", "energies fluence")
Spectrum.__doc__ = "Bin centres in keV (ascending) and photons per bin."

_Z_W = 74
_J_W = 0.727  # keV, mean excitation energy of tungsten
_K_BETHE = 2 * np.pi * (2.8179403262e-13) ** 2 * 510.99895 ** 2 * 6.02214076e23  # keV^2 cm^2/g per (Z/A)
DETOUR = 0.2
_K_LINES = ("KL2", "KL3", "KM2", "KM3", "KM4", "KM5", "KN2", "KN3", "KN4", "KN5", "KO2", "KO3")


def spectrum(energies, fluence):
    """A spectrum from bin centres (keV) and photons per bin; checked."""
    e = np.atleast_1d(np.asarray(energies, dtype=float))
    f = np.atleast_1d(np.asarray(fluence, dtype=float))
    if e.ndim != 1 or e.shape != f.shape or e.size == 0:
        raise ValueError("a spectrum needs as many fluences as energies")
    if not np.all(np.isfinite(e)) or np.any(e <= 0) or np.any(np.diff(e) <= 0):
        raise ValueError("spectrum energies must be positive and ascending")
    if not np.all(np.isfinite(f)) or np.any(f < 0) or not f.sum() > 0:
        raise ValueError("spectrum fluences must be >= 0 and not all 0")
    return Spectrum(e, f)


def monoenergetic(energy, photons=1.0):
    """One line: every photon at `energy` keV."""
    return spectrum([energy], [photons])


def read(path):
    """A spectrum from a text file of two columns, energy (keV) and photons
    per bin; '#' starts a comment. A wrong line is refused by its number."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].replace(",", " ").split()
            if not words:
                continue
            try:
                if len(words) != 2:
                    raise ValueError
                rows.append((float(words[0]), float(words[1])))
            except ValueError:
                raise ValueError(f"{path}:{number}: expected two numbers, energy (keV) and photons") from None
    if not rows:
        raise ValueError(f"{path} holds no spectrum")
    e, f = zip(*rows)
    return spectrum(e, f)


def write(path, s):
    """Writes a spectrum as read() reads it."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("# energy_keV photons\n")
        for e, n in zip(s.energies, s.fluence):
            f.write(f"{e:.6g} {n:.9g}\n")


DEFAULT_FILTRATION = (("Al", 2.75),)  # total filtration of the RQR qualities' tubes (mm)


def source(path=None, kvp=120.0, anode_angle=12.0, filtration=None, bin_width=1.0):
    """The spectrum of a scan: a two-column file when `path` is given,
    otherwise the tube model (filtration default DEFAULT_FILTRATION)."""
    if path is not None:
        return read(path)
    return tube(kvp, anode_angle, DEFAULT_FILTRATION if filtration is None else filtration, bin_width)


def _stopping(t):
    """Non-relativistic Bethe stopping power of tungsten, keV cm^2/g."""
    za = _Z_W / xraylib.AtomicWeight(_Z_W)
    return _K_BETHE * za / t * np.log(1.166 * t / _J_W)


def _k_shell_ionisation(t, ek):
    """K-shell ionisation cross-section (cm^2) of tungsten for electrons of
    kinetic energy t (keV) above the edge ek (keV): Casnati, Tartari and
    Baraldi's empirical formula (J. Phys. B 15, 155, 1982), with its
    relativistic factor, which holds from the threshold on (U = t / ek >= 1)
    for heavy atoms, where the Bethe form with Powell's constants falls to
    zero below U = 1.54 and so loses most of a 120 kVp tube's K lines."""
    u = np.asarray(t, dtype=float) / ek
    rydberg = 13.605693e-3  # keV
    bohr = 0.529177e-8  # cm
    j = 510.99895 / ek
    relativistic = ((1 + 2 * j) / (u + 2 * j) * ((u + j) / (1 + j)) ** 2 *
                    ((1 + u) * (u + 2 * j) * (1 + j) ** 2 /
                     (j * j * (1 + 2 * j) + u * (u + 2 * j) * (1 + j) ** 2)) ** 1.5)
    psi = (ek / rydberg) ** (-0.0318 + 0.3160 / u - 0.1135 / u ** 2)
    phi = 10.57 * np.exp(-1.736 / u + 0.317 / u ** 2)
    sigma = 2 * bohr ** 2 * relativistic * (rydberg / ek) ** 2 * psi * phi * np.log(u) / u  # 2 K electrons
    return np.where(u >= 1.0, sigma, 0.0)


def tube(kvp, anode_angle=12.0, filtration=(("Al", 2.5),), bin_width=1.0, detour=DETOUR):
    """Photons per bin per mm^2 at 1 m per mA s of a tungsten-anode tube at
    `kvp` (40 ... 150), anode angle in degrees, through `filtration`: pairs
    (material or its name, thickness in mm) of the tube's inherent and added
    filters. Bins of `bin_width` keV from 0 to kvp, centred."""
    kvp = float(kvp)
    if not 40.0 <= kvp <= 150.0:
        raise ValueError("the tube model covers 40 ... 150 kVp")
    if not 1.0 <= anode_angle <= 45.0:
        raise ValueError("the anode angle must lie in 1 ... 45 degrees")
    if not (0.05 <= bin_width <= 5.0):
        raise ValueError("the bin width must lie in 0.05 ... 5 keV")
    nbins = int(round(kvp / bin_width))
    edges = np.linspace(0.0, kvp, nbins + 1)
    energies = 0.5 * (edges[1:] + edges[:-1])
    # Electron energies from 1 keV to kvp; depth x(T) (g/cm^2) where the
    # electron has slowed to T: the range left between kvp and T.
    t = np.linspace(1.0, kvp, 4000)
    ds = 1.0 / _stopping(t)  # g/cm^2 per keV
    step = t[1] - t[0]
    travelled = np.concatenate([[0.0], np.cumsum(0.5 * (ds[1:] + ds[:-1]) * step)])
    depth = detour * (travelled[-1] - travelled)
    sin_a = np.sin(np.radians(anode_angle))
    w = mat.material("W")
    keep = energies >= 1.0
    mu_w = np.zeros_like(energies)
    mu_w[keep] = mat.mass_attenuation(w, energies[keep])
    # Kramers' constant so that, without absorption, the energy radiated per
    # electron is 1.1e-9 Z V of its energy (keV per electron per keV^2 ...).
    kappa = 1.1e-6 * _Z_W * kvp ** 2 / travelled[-1]
    fluence = np.zeros_like(energies)
    for i, e in enumerate(energies):
        if not keep[i]:
            continue
        on = t >= e
        integrand = kappa / (t[on] * e) * ds[on] * np.exp(-mu_w[i] * depth[on] / sin_a)
        fluence[i] = np.trapz(integrand, t[on]) * bin_width
    # K lines.
    ek = xraylib.EdgeEnergy(_Z_W, xraylib.K_SHELL)
    if kvp > ek:
        on = t >= ek
        sigma = _k_shell_ionisation(t[on], ek)
        atoms = 6.02214076e23 / xraylib.AtomicWeight(_Z_W)  # per g
        omega = xraylib.FluorYield(_Z_W, xraylib.K_SHELL)
        for line in _K_LINES:
            macro = getattr(xraylib, line + "_LINE")
            try:
                energy, rate = xraylib.LineEnergy(_Z_W, macro), xraylib.RadRate(_Z_W, macro)
            except ValueError:
                continue
            if energy <= 0 or rate <= 0 or energy >= kvp:
                continue
            mu = mat.mass_attenuation(w, energy)
            n = np.trapz(atoms * sigma * ds[on] * np.exp(-mu * depth[on] / sin_a), t[on]) * omega * rate
            fluence[min(int(energy / bin_width), nbins - 1)] += n
    # Photons per electron and sr -> per mm^2 at 1 m per mA s.
    electrons = 1e-3 / 1.602176634e-19
    fluence *= electrons / (4 * np.pi) / 1e6
    s = Spectrum(energies[keep], fluence[keep])
    for m, thickness in filtration:
        s = filtered(s, m, thickness)
    keep = s.fluence > 0
    return spectrum(s.energies[keep], s.fluence[keep])


def _as_material(m):
    return mat.material(m) if isinstance(m, str) else m


def filtered(s, material, thickness_mm):
    """The spectrum behind `thickness_mm` of a material (or its name)."""
    if not (np.isfinite(thickness_mm) and thickness_mm >= 0):
        raise ValueError("a filter thickness must be >= 0 mm")
    m = _as_material(material)
    return Spectrum(s.energies, s.fluence * np.exp(-mat.linear_attenuation(m, s.energies) * thickness_mm))


def mean_energy(s):
    """The photon-weighted mean energy, keV."""
    return float(np.sum(s.energies * s.fluence) / np.sum(s.fluence))


_KEV_J = 1.602176634e-16


def air_kerma(s):
    """Air kerma of the spectrum's fluence (photons per mm^2), in Gy."""
    mu_en = mat.mass_energy_absorption(mat.air(), s.energies)  # cm^2/g
    # photons/mm^2 -> /m^2 (1e6); cm^2/g -> m^2/kg (0.1); keV -> J.
    return float(np.sum(s.fluence * 1e6 * s.energies * _KEV_J * mu_en * 0.1))


def half_value_layer(s, material="Al"):
    """The first half-value layer, mm: the thickness of `material` that
    halves the air kerma."""
    m = _as_material(material)
    mu = mat.linear_attenuation(m, s.energies)
    weight = s.fluence * s.energies * mat.mass_energy_absorption(mat.air(), s.energies)
    half = 0.5 * weight.sum()
    lo, hi = 0.0, 1.0
    while np.sum(weight * np.exp(-mu * hi)) > half:
        lo, hi = hi, hi * 2.0
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        if np.sum(weight * np.exp(-mu * mid)) > half:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def effective_energy(s, material="Al"):
    """The energy of the single line with the same first half-value layer, keV."""
    m = _as_material(material)
    target = np.log(2.0) / half_value_layer(s, m)
    lo, hi = 1.0, 1000.0
    for _ in range(60):
        mid = np.sqrt(lo * hi)
        if mat.linear_attenuation(m, mid) > target:
            lo = mid
        else:
            hi = mid
    return float(np.sqrt(lo * hi))


def with_photons(s, photons):
    """The spectrum scaled to `photons` in all."""
    if not (np.isfinite(photons) and photons > 0):
        raise ValueError("the photon count must be positive")
    return Spectrum(s.energies, s.fluence * (photons / s.fluence.sum()))


def with_air_kerma(s, kerma_gy, area_mm2=1.0):
    """The spectrum scaled so that its fluence gives `kerma_gy` of air kerma;
    the result counts photons per `area_mm2` (a detector pixel's area)."""
    if not (np.isfinite(kerma_gy) and kerma_gy > 0 and area_mm2 > 0):
        raise ValueError("the air kerma and the area must be positive")
    return Spectrum(s.energies, s.fluence * (kerma_gy / air_kerma(s)) * area_mm2)


def filtration_for_hvl(kvp, hvl_mm, material="Al", anode_angle=12.0, bin_width=1.0):
    """The total thickness (mm) of `material` that gives the tube at `kvp`
    the first half-value layer `hvl_mm` (in the same material): how a beam
    quality defined by its HVL, such as IEC 61267's RQR, is reached."""
    bare = tube(kvp, anode_angle, (), bin_width)
    if not hvl_mm > half_value_layer(bare, material):
        raise ValueError("the unfiltered beam is already harder than that half-value layer")
    lo, hi = 0.0, 1.0
    while half_value_layer(filtered(bare, material, hi), material) < hvl_mm:
        lo, hi = hi, 2.0 * hi
        if hi > 1000.0:
            raise ValueError("no filtration reaches that half-value layer")
    for _ in range(40):
        mid = 0.5 * (lo + hi)
        if half_value_layer(filtered(bare, material, mid), material) < hvl_mm:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)
