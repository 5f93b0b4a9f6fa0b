// The iterations on the cone projector of a non-default scan: they must
// reconstruct what the pair projected, with the same bits at any thread
// count, and keep the sums of different scans apart.
#include "recon/cone_pair.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "tests/support/cone_scans.h"

namespace {

constexpr double kPi = 3.141592653589793;

// A 20 x 24 x 22 grid of anisotropic voxels, off the axis, on a 210-degree
// arc with an offset, non-square detector.
struct SmallScan {
  geom::VolumeGrid grid = testdata::grid_of(20, 24, 22, 0.6, 0.5, 0.55, 0.4, -0.3, 0.2);
  geom::ConeVectors rays =
      testdata::circular_vectors(26, 34, 0.7, 0.6, 0.3, -0.8, 60.0, 100.0,
                                 testdata::arc_angles(48, 0.2, 210.0 * kPi / 180.0));
};

// A ball of value 1 in the middle of the grid.
std::vector<float> ball(const geom::VolumeGrid& g) {
  std::vector<float> v(static_cast<std::size_t>(g.voxels()), 0.0f);
  for (std::int64_t iz = 0; iz < g.nz; ++iz)
    for (std::int64_t iy = 0; iy < g.ny; ++iy)
      for (std::int64_t ix = 0; ix < g.nx; ++ix) {
        const double z = (iz - (g.nz - 1) / 2.0) * g.dz, y = (iy - (g.ny - 1) / 2.0) * g.dy,
                     x = (ix - (g.nx - 1) / 2.0) * g.dx;
        if (x * x + y * y + z * z < 3.5 * 3.5) v[static_cast<std::size_t>((iz * g.ny + iy) * g.nx + ix)] = 1.0f;
      }
  return v;
}

std::vector<float> project(const quant::ProjectorPair& pair, const std::vector<float>& volume) {
  std::vector<float> stack(static_cast<std::size_t>(pair.stack_samples()));
  for (int v = 0; v < pair.views; ++v)
    pair.project_view(v, volume.data(), stack.data() + static_cast<std::size_t>(v) * pair.view_samples);
  return stack;
}

TEST(ConePair, OsSartAndCglsReconstructABallTheSameAtAnyThreadCount) {
  const SmallScan scan;
  const quant::ProjectorPair pair = quant::cone_pair(scan.grid, scan.rays);
  const std::vector<float> truth = ball(scan.grid);
  const std::vector<float> stack = project(pair, truth);

  quant::IterativeOptions options;
  options.subsets = 8;
  options.iterations = 6;
  std::vector<float> one(truth.size(), 0.0f), two(truth.size(), 0.0f);
  const quant::SystemSums sums = quant::system_sums(pair, 8, "", 1);
  const auto figures = quant::iterative_reconstruct(pair, stack.data(), one, options, sums, truth.data(), nullptr);
  ASSERT_EQ(figures.size(), 6u);
  EXPECT_GT(figures.back().pearson_r, 0.95);
  EXPECT_LT(figures.back().relative_residual, figures.front().relative_residual);
  options.threads = 2;
  const quant::SystemSums sums2 = quant::system_sums(pair, 8, "", 2);
  ASSERT_EQ(0, std::memcmp(sums.column_sums.data(), sums2.column_sums.data(), sums.column_sums.size() * 4));
  quant::iterative_reconstruct(pair, stack.data(), two, options, sums2, nullptr, nullptr);
  EXPECT_EQ(0, std::memcmp(one.data(), two.data(), one.size() * sizeof(float)));

  options.iterations = 8;
  options.threads = 1;
  std::vector<float> cg(truth.size(), 0.0f);
  const auto cg_figures = quant::cgls_reconstruct(pair, stack.data(), cg, options, sums.row_sums, truth.data(), nullptr);
  EXPECT_GT(cg_figures.back().pearson_r, 0.95);
}

TEST(ConePair, ScanKeysTellEveryBitApart) {
  const SmallScan scan;
  geom::ConeVectors moved = scan.rays;
  EXPECT_EQ(quant::scan_key(scan.grid, scan.rays), quant::scan_key(scan.grid, moved));
  moved.vectors[12 * 7 + 4] = std::nextafter(moved.vectors[12 * 7 + 4], 1e9);
  EXPECT_NE(quant::scan_key(scan.grid, scan.rays), quant::scan_key(scan.grid, moved));
  geom::VolumeGrid finer = scan.grid;
  finer.dx = 0.5;
  EXPECT_NE(quant::scan_key(scan.grid, scan.rays), quant::scan_key(finer, scan.rays));
}

}  // namespace
