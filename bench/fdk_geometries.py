#!/usr/bin/env python3
"""FDK on three circular scans of the Shepp-Logan head (modified, 63 mm to
a unit of its frame; exact projections of its ellipsoids along each scan's
rays, lengths in mm):

  defined  the defined scan: 128^3 voxels of 1 mm, 256 x 256 detector of
           1 mm, sod 256, sdd 512, 256 views over 360 degrees
  short    a 200-degree short scan: the same grid and detector, sod 400,
           sdd 800 (fan 18.3 degrees, 198.3 degrees needed), 142 views
  offset   an offset detector: 256 rows x 160 columns shifted 64 mm, sod 256,
           sdd 512, 256 views over 360 degrees; a centred detector of 160
           columns sees a field of view of radius 39.5 mm, the shifted one
           69.3 mm (1.75 times), and the head reaches 58 mm from the axis

For each: wall and CPU seconds, Pearson r and RMSE (1/mm... the phantom's
units per mm) against the head sampled at the voxel centres, over the whole
grid and inside the scan's field of view, with and without the redundancy
weights; today's FDK of the defined scan (tomsim.fdk) on the same
projections; and plastimatch fdk on the same projections and geometry (it
has no redundancy weights: it runs the short and offset scans as plain
FDK). Prints the kernel that ran. Writes docs/fdk-redundancy.png (or the
path given): the central axial slice of the short scan without and with
Parker's weights, the offset detector without and with Wang's.

Usage: bench/fdk_geometries.py [--build DIR] [--picture PNG] [--work DIR]
BUILD_DIR (default build-bench) is configured and its package built first.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_package(build):
    subprocess.run(["cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DPython_EXECUTABLE=/usr/bin/python3"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "tomsim"], check=True,
                   stdout=subprocess.DEVNULL)
    sys.path.insert(0, os.path.join(build, "python"))


SCANS = {
    "defined": dict(sod=256.0, sdd=512.0, detector=(256, 256), offset=(-0.5, -0.5),
                    angles=np.arange(256) * (360.0 / 256)),
    "short": dict(sod=400.0, sdd=800.0, detector=(256, 256), offset=(-0.5, -0.5),
                  angles=np.arange(142) * (200.0 / 142)),
    "offset": dict(sod=256.0, sdd=512.0, detector=(256, 160), offset=(-0.5, 64.0),
                   angles=np.arange(256) * (360.0 / 256)),
}
GRID = dict(volume_shape=(128, 128, 128), voxel_size=(1.0, 1.0, 1.0), volume_offset=(1.0, 1.0, 0.0))


def field_of_view(scan):
    """Radius (mm) of the cylinder every view sees, and its half height at
    the axis."""
    rows, columns = scan["detector"]
    v, u = scan["offset"]
    if abs(u) > 0.5:  # an offset detector: its wide side, over the full turn
        reach = abs(u) + columns / 2
    else:
        reach = columns / 2 - abs(u)
    radius = scan["sod"] * np.sin(np.arctan(reach / scan["sdd"]))
    half_height = (rows / 2 - abs(v)) * scan["sod"] / scan["sdd"]
    return radius, half_height


def voxel_centres():
    iz, iy, ix = np.indices(GRID["volume_shape"])
    oz, oy, ox = GRID["volume_offset"]
    return ox + (ix - 63.5), oy - (iy - 63.5), oz - (iz - 63.5)


def figures(truth, volume, mask):
    out = []
    for region in (np.ones_like(mask), mask):
        a, b = truth[region].astype(np.float64), volume[region].astype(np.float64)
        out += [np.corrcoef(a, b)[0, 1], float(np.sqrt(np.mean((a - b) ** 2)))]
    return out


def timed(call):
    c0, t0 = time.process_time(), time.monotonic()
    result = call()
    return result, time.monotonic() - t0, time.process_time() - c0


def plastimatch_fdk(name, scan, stack, work):
    """plastimatch fdk on the stack: its own geometry files (drr -G) with
    the views replaced by ours; returns (volume on our grid, wall, cpu)."""
    folder = os.path.join(work, "peer-" + name)
    os.makedirs(folder, exist_ok=True)
    rows, columns = scan["detector"]
    v, u = scan["offset"]
    # The central ray meets the pixel coordinates below; plastimatch takes
    # them column first (whatever its help says: the matrices it writes show
    # it, and only that order reconstructs a non-square detector).
    centre_row = (rows - 1) / 2 - v
    centre_column = (columns - 1) / 2 - u
    step = float(scan["angles"][1] - scan["angles"][0])
    empty = os.path.join(work, "empty.mhd")
    np.zeros((4, 4, 4), "<f4").tofile(os.path.join(work, "empty.raw"))
    with open(empty, "w") as f:
        f.write("ObjectType = Image\nNDims = 3\nDimSize = 4 4 4\nElementSpacing = 1 1 1\n"
                "Offset = -1.5 -1.5 -1.5\nElementType = MET_FLOAT\nElementByteOrderMSB = False\n"
                "ElementDataFile = empty.raw\n")
    subprocess.run(["plastimatch", "drr", "-i", "exact", "-t", "pfm", "--sad", str(scan["sod"]),
                    "--sid", str(scan["sdd"]), "-r", f"{rows} {columns}", "-z", f"{rows} {columns}",
                    "-c", f"{centre_column} {centre_row}", "--vup", "0 0 -1", "-y", "-1.5707963267948966",
                    "-P", "none", "-s", "10", "-a", str(len(scan["angles"])), "-N", str(step),
                    "-O", os.path.join(folder, "view"), empty], check=True, stdout=subprocess.DEVNULL)
    for k in range(len(scan["angles"])):
        with open(os.path.join(folder, f"view{k:04d}.pfm"), "wb") as f:
            f.write(f"Pf\n{columns} {rows}\n-1\n".encode())
            f.write(np.ascontiguousarray(stack[k]).tobytes())
    out = os.path.join(work, f"peer-{name}.mha")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    subprocess.run(["plastimatch", "fdk", "-I", folder, "-O", out, "-r", "128 128 128", "-z", "128 128 128",
                    "-A", "cpu"], check=True, stdout=subprocess.DEVNULL)
    wall = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    raw = open(out, "rb").read()
    key = b"ElementDataFile = LOCAL\n"
    a = np.frombuffer(raw[raw.index(key) + len(key):], "<f4").reshape(128, 128, 128)
    # Its grid is centred on the axis; ours lies half a voxel off along y and
    # z, where its index runs the other way.
    volume = np.zeros_like(a)
    volume[1:, 1:, :] = a[:-1, :-1, :]
    return volume, wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.environ.get("BUILD_DIR", os.path.join(HERE, "build-bench")))
    parser.add_argument("--picture", default=os.path.join(HERE, "docs", "fdk-redundancy.png"))
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    build_package(os.path.abspath(args.build))
    import tomsim
    from tomsim import _core, phantom
    from tomsim import _fdk_circular as circular

    work = args.work or tempfile.mkdtemp(prefix="fdk-geometries-")
    cpu_name = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    print(f"== {os.cpu_count()} processors: {cpu_name}; kernel {_core.process_kernel()}; "
          f"load {open('/proc/loadavg').read().split()[:3]}")
    head = phantom.description("modified", scale=63.0)
    truth = circular.phantom_on_grid(head, **GRID)
    x, y, z = voxel_centres()
    have_peer = subprocess.run(["sh", "-c", "command -v plastimatch"], stdout=subprocess.DEVNULL).returncode == 0
    rows_out = []
    slices = {}
    for name, scan in SCANS.items():
        vectors = circular.circular_vectors(scan["angles"], scan["sod"], scan["sdd"], (1.0, 1.0), scan["offset"])
        stack = circular.analytic_projection_along(head, vectors, scan["detector"], threads=2)
        radius, half_height = field_of_view(scan)
        mask = (x * x + y * y <= radius * radius) & (np.abs(z) <= half_height)
        for weights in (True, False):
            volume, wall, cpu = timed(lambda: circular.fdk_circular(
                stack, detector_pitch=(1.0, 1.0), detector_offset=scan["offset"], sod=scan["sod"],
                sdd=scan["sdd"], angles_deg=scan["angles"], threads=2, redundancy_weights=weights, **GRID))
            label = "FDK" + ("" if weights else ", no redundancy weights")
            rows_out.append((name, label, wall, cpu, *figures(truth, volume, mask)))
            slices[(name, weights)] = volume[64]
            if name == "defined" and weights:
                today, twall, tcpu = timed(lambda: tomsim.fdk(stack, threads=2))
                rows_out.append((name, "today's FDK (tomsim.fdk)", twall, tcpu, *figures(truth, today, mask)))
                print(f"defined scan: largest |general - today's| = {np.abs(volume - today).max():.3g} "
                      f"(peak {np.abs(today).max():.3g})")
                # The README's figure: tomproj's projections of the voxelised
                # head, against that Volume.
                voxels = phantom.shepp_logan()
                projected = tomsim.project(voxels, threads=2)
                for label, run in (("FDK, tomproj's stack", lambda: circular.fdk_circular(
                        projected, detector_pitch=(1.0, 1.0), detector_offset=scan["offset"], sod=scan["sod"],
                        sdd=scan["sdd"], angles_deg=scan["angles"], threads=2, **GRID)),
                                   ("today's FDK, tomproj's stack", lambda: tomsim.fdk(projected, threads=2))):
                    result, w2, c2 = timed(run)
                    rows_out.append((name, label, w2, c2, *figures(voxels, result, mask)))
            if name == "defined":
                break  # a centred full turn takes no redundancy weights: the same run
        if have_peer:
            peer, pwall, pcpu = plastimatch_fdk(name, scan, stack, work)
            r_all, _, r_fov, _ = figures(truth, peer, mask)
            rows_out.append((name, "plastimatch fdk" + ("" if name == "defined" else " (no weights)"),
                             pwall, pcpu, r_all, float("nan"), r_fov, float("nan")))
        print(f"{name}: field of view radius {radius:.1f} mm, half height {half_height:.1f} mm; "
              f"{len(scan['angles'])} views over {scan['angles'][-1] + scan['angles'][1] - scan['angles'][0]:.1f} degrees")
    print()
    print("| scan | method | wall s | CPU s | r whole | RMSE whole | r in FOV | RMSE in FOV |")
    print("|---|---|---|---|---|---|---|---|")
    for name, label, wall, cpu, r_all, e_all, r_fov, e_fov in rows_out:
        rmse = (lambda e: "own units" if np.isnan(e) else f"{e:.4f}")
        print(f"| {name} | {label} | {wall:.2f} | {cpu:.2f} | {r_all:.4f} | {rmse(e_all)} | {r_fov:.4f} | {rmse(e_fov)} |")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 4, figsize=(13, 3.6))
    panels = [(("short", False), "200° short scan, no weights"), (("short", True), "with Parker's weights"),
              (("offset", False), "offset detector, no weights"), (("offset", True), "with Wang's weights")]
    for ax, (key, title) in zip(axes, panels):
        ax.imshow(slices[key], cmap="gray", vmin=0.0, vmax=0.4, interpolation="nearest")
        ax.set_title(title, fontsize=10)
        ax.axis("off")
    fig.tight_layout()
    fig.savefig(args.picture, dpi=90)
    print(f"\npicture: {args.picture} (central axial slice, grey 0 ... 0.4 per mm)")


if __name__ == "__main__":
    main()
