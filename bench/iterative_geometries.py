#!/usr/bin/env python3
"""OS-SART and CGLS against FDK (and plastimatch's FDK where it runs the scan)
on four scans of the Shepp-Logan head:

  defined         the defined scan itself (Geometry.defined()): tomproj's
                  projections of the voxelised head, the iterations on the
                  defined projector and its exact transpose
  defined values  the defined scan's numbers as a general geometry (128^3
                  voxels of 1 mm, 256 x 256 detector, sod 256, sdd 512, 256
                  views over 360 degrees) on tomproj's own projections of the
                  voxelised head: the iterations run on the cone walk, not on
                  the defined projector's scalar transpose
  short           a 200-degree short scan (sod 400, sdd 800, 142 views) of the
                  same grid, on exact projections of the head in mm
  offset          an offset detector: 256 rows x 160 columns shifted 64 mm,
                  sod 256, sdd 512, 256 views over 360 degrees (a field of
                  view 1.75 times a centred detector's), exact projections

OS-SART (64 subsets, 71 on the short scan: two to four views each)
runs from zero, sums included (no cache), until the Pearson r against the
head reaches 0.97 or 4 passes; CGLS runs 10 iterations. Prints the kernel,
wall and CPU seconds, r, RMSE and SSIM (scikit-image, data range of the
head) of each, and FDK's.

Usage: bench/iterative_geometries.py [--build DIR]   (default build-bench)
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_package(build):
    subprocess.run(["cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DPython_EXECUTABLE=/usr/bin/python3"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "tomsim"], check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, os.path.join(build, "python"))


def timed(call):
    c0, t0 = time.process_time(), time.monotonic()
    result = call()
    return result, time.monotonic() - t0, time.process_time() - c0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.environ.get("BUILD_DIR", os.path.join(HERE, "build-bench")))
    args = parser.parse_args()
    build_package(os.path.abspath(args.build))
    import tomsim
    from tomsim import _core, phantom
    from tomsim import _fdk_circular as circular
    from skimage.metrics import structural_similarity

    cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    print(f"== {os.cpu_count()} processors: {cpu}; kernel {_core.process_kernel()}; "
          f"load {open('/proc/loadavg').read().split()[:3]}")
    grid = dict(volume_shape=(128, 128, 128), voxel_size=(1.0, 1.0, 1.0), volume_offset=(1.0, 1.0, 0.0))
    defined_values = tomsim.Geometry(detector_shape=(256, 256), detector_pitch=1.0, detector_offset=(-0.5, -0.5),
                                     sod=256.0, sdd=512.0, views=256, **grid)
    short = tomsim.Geometry(detector_shape=(256, 256), detector_pitch=1.0, detector_offset=(-0.5, -0.5),
                            sod=400.0, sdd=800.0, views=142, arc=200.0, **grid)
    offset = tomsim.Geometry(detector_shape=(256, 160), detector_pitch=1.0, detector_offset=(-0.5, 64.0),
                             sod=256.0, sdd=512.0, views=256, **grid)
    head_volume = phantom.shepp_logan()
    description = phantom.description("modified", scale=63.0)
    head_in_mm = circular.phantom_on_grid(description, **grid)

    def exact(g):
        return circular.analytic_projection_along(description, g.vectors(), g.detector_shape, threads=2)

    projected = tomsim.project(head_volume, threads=2)
    scans = [("defined", tomsim.Geometry.defined(), head_volume, projected, 64, "defined"),
             ("defined values", defined_values, head_volume, projected, 64, None),
             ("short 200 deg", short, head_in_mm, exact(short), 71, "short"),
             ("offset detector", offset, head_in_mm, exact(offset), 64, "offset")]
    sys.path.insert(0, os.path.join(HERE, "bench"))
    import fdk_geometries as peer
    have_peer = subprocess.run(["sh", "-c", "command -v plastimatch"], stdout=subprocess.DEVNULL).returncode == 0
    work = tempfile.mkdtemp(prefix="iterative-geometries-")

    def figures(truth, volume):
        a, b = truth.astype(np.float64).ravel(), volume.astype(np.float64).ravel()
        r = np.corrcoef(a, b)[0, 1]
        rmse = float(np.sqrt(np.mean((a - b) ** 2)))
        span = float(truth.max() - truth.min())
        ssim = structural_similarity(truth.astype(np.float64), volume.astype(np.float64), data_range=span,
                                     gaussian_weights=True, sigma=1.5, use_sample_covariance=False)
        return r, rmse, ssim

    rows = []
    for name, g, truth, stack, subsets, peer_scan in scans:
        volume, wall, cpu_s = timed(lambda: tomsim.fdk(stack, geometry=g, threads=2))
        weights = {"short": ", Parker's weights", "offset": ", Wang's weights"}.get(peer_scan, "")
        rows.append((name, "FDK ram-lak" + weights, wall, cpu_s, "", *figures(truth, volume)))
        if have_peer and peer_scan:
            volume, wall, cpu_s = peer.plastimatch_fdk(peer_scan, peer.SCANS[peer_scan], stack, work)
            r = np.corrcoef(truth.astype(np.float64).ravel(), volume.astype(np.float64).ravel())[0, 1]
            label = "plastimatch fdk" + ("" if peer_scan == "defined" else " (it has no redundancy weights)")
            rows.append((name, label, wall, cpu_s, "", r, float("nan"), float("nan")))
        stop = lambda f, x: f["pearson_r"] < 0.97
        result, wall, cpu_s = timed(lambda: tomsim.sirt(stack, 4, subsets=subsets, truth=truth, callback=stop,
                                                        cache=False, geometry=g, threads=2))
        passes = ", ".join(f"{h['pearson_r']:.3f} at {h['seconds']:.0f} s" for h in result.history)
        rows.append((name, f"OS-SART {subsets} subsets from zero, sums included", wall, cpu_s, passes,
                     *figures(truth, result.volume)))
        result, wall, cpu_s = timed(lambda: tomsim.cgls(stack, 10, truth=truth, cache=False, geometry=g, threads=2))
        rows.append((name, "CGLS, 10 iterations", wall, cpu_s, f"{len(result.history)} iterations",
                     *figures(truth, result.volume)))
    print()
    print("| scan | method | wall s | CPU s | passes (r, time) | r | RMSE | SSIM |")
    print("|---|---|---|---|---|---|---|---|")
    for name, label, wall, cpu_s, passes, r, rmse, ssim in rows:
        own = np.isnan(rmse)  # the peer reconstructs in its own units: r only
        print(f"| {name} | {label} | {wall:.1f} | {cpu_s:.1f} | {passes} | {r:.4f} | "
              f"{'own units' if own else f'{rmse:.4f}'} | {'' if own else f'{ssim:.3f}'} |")


if __name__ == "__main__":
    main()
