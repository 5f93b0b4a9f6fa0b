#include "operators/projector_adjoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/nonzero_region.h"
#include "operators/ray_batch.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/support/kernels.h"
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

// The batches of every vector kernel add the pieces of their rays into a
// double volume exactly as the literal rendering adds them ray after ray:
// rows across the cone, the central row (whose steps start on voxel
// boundaries and go to the general split) and views on and off the axes;
// some rays have sample zero and add nothing, whole batches among them.
TEST(ProjectorAdjoint, EveryKernelsBatchesAddEveryPieceAsTheLiteralRendering) {
  tomproj::NonzeroBox whole;
  whole.empty = false;
  for (int a = 0; a < 3; ++a) whole.lo[a] = -64, whole.hi[a] = 63;
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    if (kernel == kernels::Kernel::scalar) continue;  // no batches
    SCOPED_TRACE(kernels::kernel_name(kernel));
    const int width = tomproj::batch_rays(kernel);
    std::vector<tomproj::BatchRay> rays(static_cast<std::size_t>(scan::kColumns));
    std::vector<double> samples(static_cast<std::size_t>(scan::kColumns));
    std::vector<double> fast(scan::kVolumeSamples, 0.0), literal(scan::kVolumeSamples, 0.0);
    tomproj::AdjointScratch scratch;
    for (int view : {0, 37, 64, 128, 201}) {
      const double theta = scan::view_angle(view);
      const scan::Point3 source = scan::source_of_view(theta);
      for (int row : {0, 1, 64, 127, 128, 129, 200, 255}) {
        for (int col0 = 0; col0 < scan::kColumns; col0 += width) {
          tomproj::batch_directions(std::sin(theta), std::cos(theta), row, col0, width, rays.data() + col0);
          tomproj::span_batch(kernel, source, whole, rays.data() + col0);
        }
        for (int col = 0; col < scan::kColumns; ++col) {
          const bool zero = col % 7 == 3 || (col >= 96 && col < 128 && row == 64);
          samples[static_cast<std::size_t>(col)] = zero ? 0.0 : 0.75 + 0.001 * col - 0.002 * row;
          if (zero) {
            rays[static_cast<std::size_t>(col)].first = rays[static_cast<std::size_t>(col)].last = 0;
          } else {
            literal_adjoint_ray(view, row, col, samples[static_cast<std::size_t>(col)], literal.data());
          }
        }
        tomproj::adjoint_batches(kernel, source, rays.data(), scan::kColumns, samples.data(), fast.data(),
                                 scratch);
      }
    }
    EXPECT_EQ(0, std::memcmp(fast.data(), literal.data(), fast.size() * sizeof(double)));
  }
}

// The whole adjoint gives the same bits on every kernel this processor can
// run, and at any thread count, with samples of both signs and zeros.
TEST(ProjectorAdjoint, SameBitsOnEveryKernelAndThreadCount) {
  const std::vector<int> views = {3, 100, 250, 7, 64, 192};
  std::vector<float> y = random_values(scan::kStackSamples, 6, -1.0f, 1.0f);
  for (std::size_t i = 0; i < y.size(); i += 5) y[i] = 0.0f;
  std::vector<float> scalar(scan::kVolumeSamples);
  tomproj::project_adjoint_views_with(kernels::Kernel::scalar, y.data(), views, scalar.data(), 1);
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    SCOPED_TRACE(kernels::kernel_name(kernel));
    for (int threads : {1, 3}) {
      std::vector<float> out(scan::kVolumeSamples);
      tomproj::project_adjoint_views_with(kernel, y.data(), views, out.data(), threads);
      EXPECT_EQ(0, std::memcmp(scalar.data(), out.data(), out.size() * sizeof(float))) << threads;
    }
  }
}

// Samples that make a voxel's sum infinite or NaN, or that are too small
// for their products to stay normal: the vector kernels add +0.0 where a
// lane has no piece and every piece of zero length, as the scalar one does,
// so these give the same bits too. (Infinities and NaNs of the stack are
// kept apart: where a NaN of the stack meets one made of infinities, which
// of the two survives depends on the order of the operands of one addition.)
TEST(ProjectorAdjoint, InfiniteNanAndTinySamplesGiveTheSameBitsOnEveryKernel) {
  const std::vector<int> views = {0, 64, 101};
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[2][3] = {{inf, -inf, 1e-45f}, {nan, 1e-45f, -3e-39f}};
  for (const auto& special : specials) {
    std::vector<float> y = random_values(scan::kStackSamples, 9, -1.0f, 1.0f);
    for (std::size_t i = 0; i < y.size(); i += 997) y[i] = special[(i / 997) % 3];
    std::vector<float> scalar(scan::kVolumeSamples);
    tomproj::project_adjoint_views_with(kernels::Kernel::scalar, y.data(), views, scalar.data(), 1);
    for (kernels::Kernel kernel : testdata::runnable_kernels()) {
      SCOPED_TRACE(kernels::kernel_name(kernel));
      std::vector<float> out(scan::kVolumeSamples);
      tomproj::project_adjoint_views_with(kernel, y.data(), views, out.data(), 2);
      EXPECT_EQ(0, std::memcmp(scalar.data(), out.data(), out.size() * sizeof(float)));
    }
  }
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

}  // namespace
