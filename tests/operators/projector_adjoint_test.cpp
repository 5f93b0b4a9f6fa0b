#include "operators/projector_adjoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/operators/adjoint_identity.h"
#include "operators/projector.h"
#include "sim/phantom_shapes.h"

namespace {

// The transpose of one ray written out literally: all 512 samples formed
// and tested, every crossing step split by the straightforward rendering,
// sample x length added to each piece's voxel in order.
void literal_adjoint_ray(int view, int row, int col, double sample, double* acc) {
  const double theta = scan::view_angle(view);
  const scan::Point3 source = scan::source_of_view(theta);
  double d[3];
  oracle::ray_direction(theta, row, col, d);
  std::vector<double> sx(512), sy(512), sz(512);
  for (int k = 0; k < 512; ++k) {
    sx[k] = k * d[0] + source.x;
    sy[k] = k * d[1] + source.y;
    sz[k] = k * d[2] + source.z;
    if (!scan::inside(sx[k], sy[k], sz[k])) continue;
    const double p[3] = {sx[k - 1], sy[k - 1], sz[k - 1]};
    const double q[3] = {sx[k], sy[k], sz[k]};
    oracle::Split split;
    if (!oracle::split_step(p, q, d, split)) {
      acc[scan::volume_index_of_cell(static_cast<int>(std::floor(q[0])),
                                     static_cast<int>(std::floor(q[1])),
                                     static_cast<int>(std::floor(q[2])))] += sample * 1.0;
      continue;
    }
    for (int n = 0; n <= split.c; ++n)
      acc[scan::volume_index_of_cell(split.zahyo[n][0], split.zahyo[n][1], split.zahyo[n][2])] +=
          sample * split.ll[n];
  }
}

std::vector<float> random_values(std::size_t count, std::uint64_t seed, float lo, float hi) {
  std::vector<float> v(count);
  for (float& x : v)
    x = lo + (hi - lo) * static_cast<float>(toolkit::splitmix64(seed) >> 40) / (1 << 24);
  return v;
}

// Every piece that the projector credits, and no other, in its order: rows
// across the cone, the central column (which credits one voxel twice) and
// the panel's edges, at views on and off the axes.
TEST(ProjectorAdjoint, EveryPieceOfARayAsTheLiteralRendering) {
  std::vector<double> fast(scan::kVolumeSamples, 0.0), literal(scan::kVolumeSamples, 0.0);
  for (int view : {0, 37, 64, 128, 201}) {
    const double theta = scan::view_angle(view);
    const scan::Point3 source = scan::source_of_view(theta);
    for (int row : {0, 1, 64, 127, 128, 129, 200, 255}) {
      for (int col = 0; col < scan::kColumns; col += (row == 128 ? 1 : 5)) {
        const double sample = 0.75 + 0.001 * col - 0.002 * row;
        tomproj::adjoint_ray(theta, source, row, col, sample, fast.data());
        literal_adjoint_ray(view, row, col, sample, literal.data());
      }
    }
  }
  EXPECT_EQ(0, std::memcmp(fast.data(), literal.data(), fast.size() * sizeof(double)));
}

// <A x, y> = <x, A^T y> for random x and y, over a few views: the figures
// differ only by the float32 rounding of the projector's sums and of the
// adjoint's stored voxels.
TEST(ProjectorAdjoint, AdjointIdentityOnAFewViews) {
  const std::vector<int> views = {0, 45, 90, 173};
  const std::vector<float> x = random_values(scan::kVolumeSamples, 11, 0.0f, 1.0f);
  for (const float y_lo : {0.0f, -1.0f}) {
    std::vector<float> y(scan::kStackSamples, 0.0f), ax(scan::kStackSamples, 0.0f);
    const std::vector<float> values = random_values(scan::kStackSamples, 12, y_lo, 1.0f);
    for (int v : views) {
      const std::size_t begin = scan::stack_index(v, 0, 0), end = begin + scan::kViewSamples;
      std::copy(values.begin() + begin, values.begin() + end, y.begin() + begin);
      tomproj::project_view(v, x.data(), ax.data());
    }
    std::vector<float> aty(scan::kVolumeSamples);
    tomproj::project_adjoint_views(y.data(), views, aty.data(), 2);
    EXPECT_LT(quanttest::adjoint_identity(x, ax, y, aty).relative, 1e-6);
  }
}

TEST(ProjectorAdjoint, SameBitsAtAnyThreadCount) {
  const std::vector<int> views = {3, 100, 250, 7, 64};
  const std::vector<float> y = random_values(scan::kStackSamples, 5, -1.0f, 1.0f);
  std::vector<float> one(scan::kVolumeSamples), three(scan::kVolumeSamples);
  tomproj::project_adjoint_views(y.data(), views, one.data(), 1);
  tomproj::project_adjoint_views(y.data(), views, three.data(), 3);
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(float)));
}

}  // namespace
