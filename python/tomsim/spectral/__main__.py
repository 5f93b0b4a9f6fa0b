"""python3 -m tomsim.spectral: a material phantom through a tube spectrum
onto a detector: writes the -ln(signal/flat) stack of every bin (raw
float32, the ProjectionStack layout) and a JSON of the run's figures."""

import argparse
import json
import os
import sys

import numpy as np

from tomsim import TomsimError
from tomsim.io import write as write_stack

from . import detectors, forward, materials, phantoms, spectra


def _filter(text):
    name, _, mm = text.rpartition(":")
    if not name:
        raise argparse.ArgumentTypeError(f"{text!r}: a filter is MATERIAL:MM")
    return name, float(mm)


def _part(text):
    name, _, path = text.partition("=")
    if not path:
        raise argparse.ArgumentTypeError(f"{text!r}: a part is MATERIAL=DESCRIPTION_FILE")
    return name, path


def arguments(argv):
    p = argparse.ArgumentParser(prog="python3 -m tomsim.spectral", description=__doc__)
    p.add_argument("output", help="folder for bin<N>.img and figures.json")
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument("--phantom", choices=sorted(phantoms.BUILT_IN), help="a built-in material phantom")
    source.add_argument("--part", type=_part, action="append",
                        help="MATERIAL=FILE: a phantom description whose values are the material's density "
                             "(g/cm^3); MATERIAL a NIST name of xraylib or an element; repeat per material")
    p.add_argument("--voxel-mm", type=float, default=2.0, help="voxel size in mm (default 2)")
    p.add_argument("--kvp", type=float, default=120.0, help="tube voltage (40-150, default 120)")
    p.add_argument("--anode-angle", type=float, default=12.0, help="degrees (default 12)")
    p.add_argument("--filter", type=_filter, action="append", help="MATERIAL:MM of total filtration "
                   "(repeatable; default Al:2.75)")
    p.add_argument("--spectrum", help="a two-column spectrum file instead of the tube model")
    p.add_argument("--bin-width", type=float, default=1.0, help="keV (default 1)")
    p.add_argument("--photons", type=float, default=1e5, help="photons per pixel without object (default 1e5)")
    p.add_argument("--thresholds", help="photon counting with these thresholds in keV, e.g. 20,60")
    p.add_argument("--sensor", help="sensor material, e.g. 'Cesium Iodide' or CdTe (default ideal)")
    p.add_argument("--sensor-mm", type=float, default=0.0, help="sensor thickness in mm")
    p.add_argument("--sensor-density", type=float, help="g/cm^3 of a sensor given by formula (CdTe: 5.85)")
    p.add_argument("--seed", type=int, help="draw quantum noise from this seed (default: expected values)")
    p.add_argument("--electronic", type=float, default=0.0, help="electronic noise deviation, signal units")
    p.add_argument("--threads", type=int, help="threads (default all)")
    return p.parse_args(argv)


def run(a):
    s = spectra.with_photons(spectra.source(a.spectrum, a.kvp, a.anode_angle, a.filter, a.bin_width), a.photons)
    thresholds = [float(x) for x in a.thresholds.split(",")] if a.thresholds else None
    sensor = a.sensor
    if a.sensor_density is not None:
        if not sensor:
            raise ValueError("--sensor-density needs --sensor")
        sensor = materials.material(sensor, a.sensor_density)
    d = detectors.of_thresholds(thresholds, sensor, a.sensor_mm)
    if a.phantom:
        parts = phantoms.BUILT_IN[a.phantom](voxel_mm=a.voxel_mm)
    else:
        parts = []
        for name, path in a.part:
            with open(path, encoding="utf-8") as f:
                parts.append((materials.material(name), f.read()))
    scan = forward.model(s, [m for m, _ in parts], d)
    paths = forward.path_lengths(forward.material_volumes([t for _, t in parts], threads=a.threads), a.voxel_mm,
                                 threads=a.threads)
    result = forward.simulate(paths, scan, seed=a.seed, electronic=a.electronic, threads=a.threads)
    os.makedirs(a.output, exist_ok=True)
    for b, stack in enumerate(result.log):
        write_stack(os.path.join(a.output, f"bin{b}.img"), stack)
    figures = {"materials": [m.name for m in scan.materials], "bins": len(result.log),
               "floored": result.floored, "flat": result.flat.tolist(), "mean_energy_keV": spectra.mean_energy(s),
               "hvl_mm_al": spectra.half_value_layer(s)}
    with open(os.path.join(a.output, "figures.json"), "w", encoding="utf-8") as f:
        json.dump(figures, f, indent=1)
    print(json.dumps(figures))


def main(argv=None):
    a = arguments(argv)
    try:
        run(a)
    except (TomsimError, ValueError, OSError) as e:
        print(f"tomsim.spectral: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
