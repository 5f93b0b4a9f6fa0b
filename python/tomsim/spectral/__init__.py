"""tomsim.spectral: polychromatic X-ray physics beside the monochromatic
line integrals: materials from xraylib's measured attenuation data, tube
spectra, detector response, the polychromatic forward model with seeded
quantum noise, water beam-hardening correction, Hounsfield units and
two-material decomposition. docs/spectral.md describes the models and the
conventions.

    scan = model(tube(120), [water(), material("Bone, Cortical (ICRP)")])
    paths = path_lengths(material_volumes([water_text, bone_text]), voxel_mm=2.0)
    result = simulate(paths, scan, seed=1)        # result.log: (bins, 256, 256, 256)
"""

from .materials import (Material, material, mixture, contrast_solution, mass_attenuation,
                        mass_energy_absorption, linear_attenuation, water, air)
from .spectra import (Spectrum, spectrum, monoenergetic, read, write, tube, filtered, mean_energy,
                      air_kerma, half_value_layer, effective_energy, with_photons, with_air_kerma,
                      filtration_for_hvl)
from .detectors import Detector, integrating, counting, efficiency, response
from .forward import (Model, Result, model, model_like, material_volumes, path_lengths, simulate,
                      detected_spectrum, decompose, stack_bins)
from .correction import water_fit, linearise, hu, calibrate
