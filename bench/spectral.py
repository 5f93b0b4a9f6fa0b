#!/usr/bin/env python3
"""Figures of the polychromatic physics (tomsim.spectral).

Usage: bench/spectral.py [--speed-only] BUILD_DIR [DOCS_DIR]
Run with Debian's /usr/bin/python3; BUILD_DIR holds a Release build with the
package. Prints:
  - speed: three material volumes (water, cortical bone, iodine) projected
    in one walk against the energy integration of a 120 kVp spectrum in
    1 keV bins over their path lengths (expected values, then with the
    exact compound noise of an integrating detector, and with the normal
    law of its moments), and the ratio of the whole
    scan to the projection alone; the vector kernel that ran;
  - cupping: a 20 cm water cylinder in air (voxels of 2 mm) at 120 kVp,
    reconstructed by FDK without and with water linearisation: the radial
    profile's flatness, water and air in HU;
  - dual energy: a 10 mg/ml iodine rod in the water cylinder, scanned at 80
    and at 140 kVp (0.4 mm Cu added), decomposed into water and iodine per
    ray and reconstructed: the iodine concentration measured in the rod.
Given DOCS_DIR, also writes the pictures of docs/spectral.md there. Wall
times; nothing fails on time; only meaningful on a quiet machine.
"""

import os
import sys
import time

VOXEL_MM = 2.0
FILTER = "hann"
FILTRATION = [("Al", 2.75)]


def timed(run):
    start = time.perf_counter()
    value = run()
    return value, time.perf_counter() - start


def timed_both(run):
    """The value, wall seconds and processor seconds of the whole process
    (every thread): processor time is the steadier figure on a shared machine."""
    wall, cpu = time.perf_counter(), time.process_time()
    value = run()
    return value, (time.perf_counter() - wall, time.process_time() - cpu)


def radial(volume, slices=slice(56, 73)):
    """Radius (voxels) of every voxel centre from the axis, and the central slices."""
    import numpy as np
    iy, ix = np.mgrid[0:128, 0:128]
    r = np.hypot(ix - 63.5, 64.5 - iy - 0.0)
    return r, volume[slices].mean(axis=0)


def profile(image, r, radius):
    import numpy as np
    edges = np.arange(0, radius + 1, 2.0)
    return np.array([image[(r >= a) & (r < b)].mean() for a, b in zip(edges[:-1], edges[1:])]), edges


def main():
    args = [a for a in sys.argv[1:] if a != "--speed-only"]
    speed_only = len(args) < len(sys.argv) - 1
    if not args:
        sys.exit(__doc__)
    build = os.path.abspath(args[0])
    docs = args[1] if len(args) > 1 else None
    sys.path.insert(0, os.path.join(build, "python"))
    import numpy as np
    import tomsim
    import tomsim.spectral as sp
    from tomsim import _core
    from tomsim.spectral import phantoms

    print(f"machine: {os.cpu_count()} processors, energy-integration kernel: {_core.spectral_kernel()}")

    # Speed.
    parts = phantoms.merged(phantoms.water_cylinder(VOXEL_MM, inserts=[
        (sp.material("Bone, Cortical (ICRP)"), -50.0, 0.0, 15.0), (sp.material("I"), 40.0, 40.0, 10.0)], air=False))
    parts = [(m, t) for m, t in parts]
    assert len(parts) == 3
    volumes = sp.material_volumes([t for _, t in parts])
    spectrum = sp.with_photons(sp.tube(120, filtration=FILTRATION, bin_width=1.0), 1e5)
    scan = sp.model(spectrum, [m for m, _ in parts], sp.integrating("Cesium Iodide", 0.6))
    paths, t_project = timed_both(lambda: sp.path_lengths(volumes, VOXEL_MM))
    _, t_expected = timed_both(lambda: sp.simulate(paths, scan))
    # The exact compound noise draws a Poisson number per ray and energy:
    # timed on 16 of the 256 views and scaled.
    part = np.ascontiguousarray(paths[:, :16])
    _, t_noisy = timed_both(lambda: sp.simulate(part, scan, seed=1))
    t_noisy = tuple(16 * t for t in t_noisy)
    _, t_moments = timed_both(lambda: sp.simulate(paths, scan, seed=1, noise="moments"))
    print(f"speed: {scan.energies.size} energies, 3 materials, {paths[0].size} rays (wall s, processor s)")
    print(f"  projection of 3 volumes in one walk   {t_project[0]:8.2f} {t_project[1]:8.2f}")
    for name, t in (("energy integration, expected         ", t_expected),
                    ("energy integration, compound noise   ", t_noisy),
                    ("energy integration, normal of moments", t_moments)):
        print(f"  {name} {t[0]:8.2f} {t[1]:8.2f}   scan / projection = "
              f"{(t_project[0] + t[0]) / t_project[0]:.2f} wall, {(t_project[1] + t[1]) / t_project[1]:.2f} processor")
    print("  (compound noise: timed on 16 of the 256 views, x 16)")
    del paths
    if speed_only:
        return

    # Cupping of a water cylinder. Voxelised with 3^3 sub-samples and
    # reconstructed with the Hann filter: the ramp filter's ripple on a
    # one-sample-per-voxel edge (2.4 % in a monochromatic scan) would hide
    # the beam hardening; the monochromatic scan is shown for reference.
    parts = phantoms.water_cylinder(VOXEL_MM)
    volumes = sp.material_volumes([t for _, t in parts], oversample=3)
    scan = sp.model(spectrum, [m for m, _ in parts])
    mono = tomsim.fdk(tomsim.project(volumes[0]), filter=FILTER)
    paths = sp.path_lengths(volumes, VOXEL_MM)
    log = sp.simulate(paths, scan).log[0]
    del paths
    c = sp.water_fit(scan)
    plain = tomsim.fdk(sp.linearise(log, c, VOXEL_MM, linear_only=True), filter=FILTER)
    corrected = tomsim.fdk(sp.linearise(log, c, VOXEL_MM), filter=FILTER)
    r, _ = radial(plain)
    radius = 100.0 / VOXEL_MM
    figures = {}
    for name, volume in (("monochromatic (reference)", mono), ("without correction", plain),
                         ("with water linearisation", corrected)):
        _, image = radial(volume)
        prof, edges = profile(image, r, 0.9 * radius)
        water = image[r < 0.8 * radius].mean()
        air = image[(r > radius + 4) & (r < radius + 10)].mean()
        hu = sp.hu(np.array([water, air]))
        figures[name] = (image, prof, edges)
        print(f"water cylinder 20 cm, 120 kVp, {name}:")
        print(f"  flatness (max - min of 2-voxel rings to 0.9 R) / mean  {(prof.max() - prof.min()) / prof.mean() * 100:6.2f} %")
        print(f"  cupping (edge ring - centre) / edge                      "
              f"{(prof[-1] - prof[0]) / prof[-1] * 100:6.2f} %")
        print(f"  water {hu[0]:8.1f} HU   air {hu[1]:8.1f} HU   (HU from water = 1, vacuum = 0 g/cm^3)")

    # Dual energy.
    parts = phantoms.iodine_cylinder(10.0, VOXEL_MM)
    water_iodine = [m for m, _ in parts][:2]
    paths = sp.path_lengths(sp.material_volumes([t for _, t in parts], oversample=3), VOXEL_MM)
    low = sp.model(sp.with_photons(sp.tube(80, filtration=FILTRATION), 1e5), [m for m, _ in parts])
    high = sp.model(sp.with_photons(sp.tube(140, filtration=FILTRATION + [("Cu", 0.4)]), 1e5),
                    [m for m, _ in parts])
    log = np.concatenate([sp.simulate(paths, low).log, sp.simulate(paths, high).log])
    del paths
    basis = sp.stack_bins(sp.model_like(low, water_iodine), sp.model_like(high, water_iodine))
    (found, t_dec) = timed(lambda: sp.decompose(log, basis))
    images = tomsim.fdk(found * np.float32(10.0 / VOXEL_MM), filter=FILTER)
    _, iodine_image = radial(images[1])
    _, water_image = radial(images[0])
    rod = r < 0.7 * 20.0 / VOXEL_MM
    measured = iodine_image[rod].mean() * 1000.0
    print(f"dual energy 80 / 140 kVp (+0.4 mm Cu), water/iodine decomposition ({t_dec:.1f} s):")
    print(f"  iodine rod 10 mg/ml measured {measured:6.2f} mg/ml ({(measured / 10.0 - 1) * 100:+.1f} %);"
          f" water {water_image[r < 0.8 * radius].mean():.4f} g/cm^3")

    if docs:
        pictures(docs, sp, np, figures, iodine_image, water_image, r)


def pictures(docs, sp, np, figures, iodine_image, water_image, r):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import tomsim
    from tomsim.spectral import phantoms
    fig, ax = plt.subplots(figsize=(7, 4))
    for kvp in (80, 120, 140):
        s = sp.tube(kvp, filtration=FILTRATION)
        ax.plot(s.energies, s.fluence / 1e3, label=f"{kvp} kVp, mean {sp.mean_energy(s):.1f} keV, "
                f"HVL {sp.half_value_layer(s):.2f} mm Al")
    ax.set_xlabel("energy (keV)"); ax.set_ylabel("photons per keV per mm² at 1 m per mAs (×1000)")
    ax.set_title("Tungsten anode, 12°, 2.75 mm Al"); ax.legend(fontsize=8)
    fig.tight_layout(); fig.savefig(os.path.join(docs, "spectral-spectra.png"), dpi=100); plt.close(fig)

    fig, ax = plt.subplots(1, 3, figsize=(12, 4))
    for name, (image, prof, edges) in figures.items():
        ax[0].plot(0.5 * (edges[1:] + edges[:-1]) * VOXEL_MM / 10, prof, label=name)
    for k, name in enumerate(("without correction", "with water linearisation")):
        ax[k + 1].imshow(figures[name][0], cmap="gray", vmin=0.9, vmax=1.05)
        ax[k + 1].set_title(name); ax[k + 1].axis("off")
    ax[0].set_xlabel("radius (cm)"); ax[0].set_ylabel("water-equivalent density (g/cm³)")
    ax[0].set_title("20 cm water, 120 kVp"); ax[0].legend(fontsize=8)
    fig.tight_layout(); fig.savefig(os.path.join(docs, "spectral-cupping.png"), dpi=100); plt.close(fig)

    parts = phantoms.bone_metal(VOXEL_MM)
    scan = sp.model(sp.with_photons(sp.tube(120, filtration=FILTRATION), 1e5), [m for m, _ in parts])
    paths = sp.path_lengths(sp.material_volumes([t for _, t in parts]), VOXEL_MM)
    log = sp.simulate(paths, scan).log[0]
    volume = tomsim.fdk(sp.linearise(log, sp.water_fit(scan), VOXEL_MM), filter=FILTER)
    hu = sp.hu(volume[60:69].mean(axis=0))
    fig, ax = plt.subplots(figsize=(5, 5))
    ax.imshow(hu, cmap="gray", vmin=-200, vmax=200)
    ax.set_title("bone and titanium rods, 120 kVp,\nwater-corrected (HU, window ±200)"); ax.axis("off")
    fig.tight_layout(); fig.savefig(os.path.join(docs, "spectral-streaks.png"), dpi=100); plt.close(fig)

    fig, ax = plt.subplots(1, 2, figsize=(9, 4.5))
    a = ax[0].imshow(water_image, cmap="gray", vmin=0, vmax=1.1); ax[0].set_title("water (g/cm³)")
    fig.colorbar(a, ax=ax[0], fraction=0.046)
    b = ax[1].imshow(iodine_image * 1000, cmap="magma", vmin=-2, vmax=12); ax[1].set_title("iodine (mg/ml)")
    fig.colorbar(b, ax=ax[1], fraction=0.046)
    for x in ax:
        x.axis("off")
    fig.tight_layout(); fig.savefig(os.path.join(docs, "spectral-decomposition.png"), dpi=100); plt.close(fig)


if __name__ == "__main__":
    main()
