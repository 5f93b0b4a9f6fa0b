// The cone projector on the defined scan's vectors against tomproj's own
// tracer, on a Volume that is zero wherever tomproj does not trace: the two
// models are the same (length in each voxel x value), so they agree to the
// rounding of the lengths and of tomproj's float32 sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/cone_projector.h"
#include "operators/projector.h"
#include "tests/support/cone_scans.h"
#include "tests/support/test_volumes.h"

namespace {

TEST(ConeProjectorSlow, DefinedScanAgreesWithTomproj) {
  // Zero outside the voxels that lie a voxel inside tomproj's trace box
  // (-63 < x < 62, -62 < y, z < 63): the steps that leave the box are not
  // credited there.
  std::vector<float> volume = testdata::structured_volume();
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        const int cx = scan::cell_x(ix), cy = scan::cell_y(iy), cz = scan::cell_z(iz);
        const bool inside = cx >= scan::kInsideXLo + 1 && cx + 1 <= scan::kInsideXHi - 1 &&
                            cy >= scan::kInsideYLo + 1 && cy + 1 <= scan::kInsideYHi - 1 &&
                            cz >= scan::kInsideZLo + 1 && cz + 1 <= scan::kInsideZHi - 1;
        if (!inside) volume[scan::volume_index(ix, iy, iz)] = 0.0f;
      }
  std::vector<float> theirs(scan::kStackSamples), ours(scan::kStackSamples);
  tomproj::project_stack(volume.data(), theirs.data(), 2, nullptr);

  std::vector<double> angles;
  for (int v = 0; v < scan::kViews; ++v) angles.push_back(scan::view_angle(v));
  const geom::VolumeGrid grid = testdata::grid_of(scan::NZ, scan::NY, scan::NX, 1, 1, 1, 1, 1, 0);
  const geom::ConeVectors rays =
      testdata::circular_vectors(scan::kRows, scan::kColumns, 1, 1, -0.5, -0.5, 2 * scan::NX, 4 * scan::NX, angles);
  const float* in = volume.data();
  float* out = ours.data();
  tomproj::cone_project(grid, rays, &in, 1, &out, 2);

  // Rays that run within a rounding of a voxel plane or edge (the central
  // column and row of the views near multiples of 45 degrees, a few
  // diagonals) pass on one side of it here and maybe on the other in
  // tomproj, whose directions come from angles rather than pixel centres;
  // and where its unit samples fall exactly on planes it credits a step whole
  // to the voxel of the step's end. On the structured Volume, whose
  // values jump at planes, such rays differ by whole voxel values. They
  // are counted and must stay a tiny share; every other ray agrees to the
  // rounding of the sums.
  double most = 0, largest = 0, agreeing_most = 0;
  std::size_t apart = 0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    const double d = std::fabs(double(ours[i]) - theirs[i]);
    most = std::max(most, d);
    largest = std::max(largest, std::fabs(double(theirs[i])));
    if (d > 2e-5 * std::max(1.0, std::fabs(double(theirs[i])))) {
      ++apart;
    } else {
      agreeing_most = std::max(agreeing_most, d);
    }
  }
  std::printf("defined scan against tomproj: largest |difference| %.3g (largest sample %.4g); %zu of %zu"
              " samples apart by more than 2e-5 relative; the others within %.3g\n",
              most, largest, apart, ours.size(), agreeing_most);
  EXPECT_GT(largest, 100.0);
  EXPECT_LT(apart, ours.size() / 10000);
}

}  // namespace
