"""tommhd's headers are read right by ITK-based tools: plastimatch's exact
DRR of a Volume opened through the header gives tomproj's views."""

import glob
import math
import shutil
import subprocess

import numpy as np
import pytest

import tomsim
from conftest import program, run

pytestmark = pytest.mark.skipif(shutil.which("plastimatch") is None,
                                reason="plastimatch is not installed (scripts/install-deps.sh)")


def plastimatch_view(header, view, folder):
    """plastimatch drr of one view of tomproj's scan through the header's Volume.

    tomproj's view v has its source at (256 sin t, -256 cos t, 0), t = v *
    1.40625 degrees, in the grid's frame; the header's frame is that one
    turned half a turn about x, where the source lies at angle t - 90 degrees
    from +X (plastimatch 1.9 takes the gantry angle in radians). Detector
    512 from the source, 256 x 256 pixels of 1, column c at u = c - 128, row
    r at height 128 - r (towards -Z in the header's frame).
    """
    angle = view * (360.0 / 256) * math.pi / 180 - math.pi / 2
    prefix = f"{folder}/view{view}_"
    subprocess.run(["plastimatch", "drr", "-i", "exact", "-t", "raw", "-P", "none",
                    "--sad", "256", "--sid", "512", "-r", "256 256", "-z", "256 256",
                    "-c", "128 128", "--vup", "0 0 -1", "-y", repr(angle), "-s", "10",
                    "-a", "1", "-O", prefix, header],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return np.fromfile(glob.glob(prefix + "*.raw")[0], "<f4").reshape(256, 256)


@pytest.mark.parametrize("writer", ["tommhd", "tomsim.io"])
def test_plastimatch_projects_a_volume_with_our_header_as_tomproj_does(tmp_path, writer):
    volume = (tomsim.phantom.ball((20.0, -10.0, 15.0), 8.0)
              + tomsim.phantom.ball((-15.0, 25.0, -5.0), 5.0, 2.0))
    tomsim.io.write(tmp_path / "v.img", volume)
    if writer == "tommhd":
        run([program("tommhd"), "v.img"], tmp_path)
    else:
        tomsim.io.write_header(tmp_path / "v.img")
    stack = tomsim.project(volume)
    for view in (0, 37, 100):
        peer = plastimatch_view(str(tmp_path / "v.mhd"), view, tmp_path)
        ours = stack[view]
        assert peer.max() > 15  # the balls are there, not missed
        # Row 128 is the source plane: its rays run along the boundary
        # between two voxel layers, and each tracer takes its own side.
        others = np.delete(np.abs(peer - ours), 128, axis=0)
        assert others.max() < 1e-3 * ours.max(), view
