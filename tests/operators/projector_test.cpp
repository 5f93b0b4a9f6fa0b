#include "operators/projector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/support/kernels.h"
#include "tests/support/test_volumes.h"
#include "operators/nonzero_region.h"
#include "operators/ray_batch.h"

namespace {

using scan::stack_index;

float fast_ray(int view, int row, int col, const std::vector<float>& volume) {
  const double theta = scan::view_angle(view);
  return tomproj::project_ray(theta, scan::source_of_view(theta), row, col, volume.data());
}

TEST(Projector, AllOnesCountsTheInsideSamples) {
  const std::vector<float> ones(scan::kVolumeSamples, 1.0f);
  EXPECT_EQ(fast_ray(0, 128, 128, ones), 124.0f);
  EXPECT_EQ(fast_ray(0, 0, 0, ones), 62.0f);
  EXPECT_EQ(fast_ray(0, 128, 255, ones), 58.0f);
}

TEST(Projector, DirectionsFollowTheFlatPanel) {
  const scan::Point3 a = tomproj::ray_direction(0.0, 128, 255);
  EXPECT_NEAR(a.x, 0.2408, 1e-4);
  EXPECT_NEAR(a.y, 0.9706, 1e-4);
  EXPECT_EQ(a.z, 0.0);
  const scan::Point3 b = tomproj::ray_direction(0.0, 0, 0);
  EXPECT_NEAR(b.x, -0.2357, 1e-4);
  EXPECT_NEAR(b.y, 0.9428, 1e-4);
  EXPECT_NEAR(b.z, 0.2357, 1e-4);
  // The same four products and two sums as the literal rendering.
  for (int view : {0, 1, 64, 100, 128, 255}) {
    for (int row : {0, 77, 128, 255}) {
      for (int col : {0, 128, 200, 255}) {
        double d[3];
        oracle::ray_direction(scan::view_angle(view), row, col, d);
        const scan::Point3 f = tomproj::ray_direction(scan::view_angle(view), row, col);
        EXPECT_EQ(testdata::bits(f.x), testdata::bits(d[0]));
        EXPECT_EQ(testdata::bits(f.y), testdata::bits(d[1]));
        EXPECT_EQ(testdata::bits(f.z), testdata::bits(d[2]));
      }
    }
  }
}

TEST(Projector, CentralRayOfViewZeroReadsEachVoxelOnceAndOneTwice) {
  // Along +y at x = z = 0: iy = 3 ... 125 once each and iy = 65 a second time.
  std::vector<float> volume(scan::kVolumeSamples, 0.0f);
  for (int iy = 0; iy < 128; ++iy) volume[scan::volume_index(64, iy, 64)] = static_cast<float>(1 << (iy % 20));
  double expected = 0.0;
  for (int iy = 3; iy <= 125; ++iy) expected += static_cast<float>(1 << (iy % 20));
  expected += static_cast<float>(1 << (65 % 20));
  EXPECT_EQ(fast_ray(0, 128, 128, volume), static_cast<float>(expected));
}

// Every ray of whole views must give the bits of the literal rendering.
void expect_views_match_oracle(const std::vector<float>& volume, const std::vector<int>& views,
                               kernels::Kernel kernel = kernels::process_kernel()) {
  std::vector<float> fast(scan::kStackSamples, 0.0f), slow(scan::kStackSamples, 0.0f);
  for (int view : views) {
    tomproj::project_view_with(kernel, view, volume.data(), fast.data());
    oracle::project_view(view, volume.data(), slow.data());
    int mismatches = 0;
    for (int row = 0; row < 256; ++row)
      for (int col = 0; col < 256; ++col) {
        const std::size_t i = stack_index(view, row, col);
        if (testdata::bits(fast[i]) != testdata::bits(slow[i]) && ++mismatches <= 5) {
          ADD_FAILURE() << "view " << view << " row " << row << " col " << col << ": " << fast[i]
                        << " vs " << slow[i];
        }
        EXPECT_FALSE(std::isnan(slow[i])) << "a never-read voxel was read";
      }
    EXPECT_EQ(mismatches, 0) << "view " << view;
  }
}

TEST(Projector, WholeViewsMatchTheLiteralRendering) {
  std::vector<float> volume = testdata::random_volume(7);
  testdata::mark_unreachable(volume);
  expect_views_match_oracle(volume, {0, 64});
}

TEST(Projector, EveryKernelOfThisProcessorMatchesTheLiteralRendering) {
  std::vector<float> volume = testdata::random_volume(8);
  testdata::mark_unreachable(volume);
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    SCOPED_TRACE(kernels::kernel_name(kernel));
    expect_views_match_oracle(volume, {33}, kernel);
  }
}

TEST(Projector, StepsThroughZeroVoxelsAreLeftOutExactly) {
  // A lone voxel and a small block against a corner of the traced box, with
  // negative zeros around them: rays that only graze the nonzero part (a step
  // whose middle piece alone touches it) must still add it.
  std::vector<float> lone(scan::kVolumeSamples, 0.0f);
  for (int iz = 60; iz < 80; ++iz) lone[scan::volume_index(40, 70, iz)] = -0.0f;
  lone[scan::volume_index(40, 70, 90)] = 3.0f;
  std::vector<float> corner(scan::kVolumeSamples, 0.0f);
  const std::vector<float> noise = testdata::random_volume(11);
  for (int iz = 2; iz < 6; ++iz)
    for (int iy = 2; iy < 5; ++iy)
      for (int ix = 1; ix < 6; ++ix) corner[scan::volume_index(ix, iy, iz)] = noise[scan::volume_index(ix, iy, iz)];
  corner[scan::volume_index(100, 100, 100)] = -0.0f;
  expect_views_match_oracle(lone, {0, 37, 101});
  expect_views_match_oracle(corner, {64, 150, 211});
}

TEST(Projector, BatchSpansAreTheSearchesOfSingleRays) {
  // Boxes: none, the whole grid (no axis narrows), one voxel, and a rod that
  // spans x but not y and z; views with axis-parallel and on-bound rays.
  std::vector<tomproj::NonzeroBox> boxes(4);
  boxes[1].empty = false;
  for (int a = 0; a < 3; ++a) boxes[1].lo[a] = -64, boxes[1].hi[a] = 63;
  boxes[2].empty = false;
  for (int a = 0; a < 3; ++a) boxes[2].lo[a] = boxes[2].hi[a] = 5 * a - 3;
  boxes[3] = boxes[1];
  boxes[3].lo[1] = -2, boxes[3].hi[1] = 7, boxes[3].lo[2] = 30, boxes[3].hi[2] = 31;
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    if (kernel == kernels::Kernel::scalar) continue;  // no batches
    SCOPED_TRACE(kernels::kernel_name(kernel));
    const int width = tomproj::batch_rays(kernel);
    std::vector<tomproj::BatchRay> batch(static_cast<std::size_t>(width));
    int mismatches = 0;
    for (int view : {0, 1, 32, 64, 100, 128, 192, 255}) {
      const double theta = scan::view_angle(view);
      const scan::Point3 source = scan::source_of_view(theta);
      for (const tomproj::NonzeroBox& box : boxes)
        for (int row = 0; row < 256; ++row)
          for (int col0 = 0; col0 < 256; col0 += width) {
            for (int i = 0; i < width; ++i) {
              const scan::Point3 d = tomproj::ray_direction(theta, row, col0 + i);
              batch[static_cast<std::size_t>(i)] = tomproj::BatchRay{{d.x, d.y, d.z}, -7, -7};
            }
            tomproj::span_batch(kernel, source, box, batch.data());
            for (int i = 0; i < width; ++i) {
              const tomproj::BatchRay& r = batch[static_cast<std::size_t>(i)];
              const scan::Point3 d{r.d[0], r.d[1], r.d[2]};
              const scan::CountSpan in = scan::inside_span(source, d, tomproj::kSamplesPerRay);
              const scan::CountSpan near = tomproj::counts_near_box(box, source, d, tomproj::kSamplesPerRay);
              if ((r.first != std::max(in.first, near.first) || r.last != std::min(in.last, near.last)) &&
                  ++mismatches <= 5)
                ADD_FAILURE() << "view " << view << " row " << row << " col " << col0 + i << ": ["
                              << r.first << ", " << r.last << ")";
            }
          }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST(Projector, NonzeroBoxHoldsEveryVoxelThatIsNotZero) {
  std::vector<float> volume(scan::kVolumeSamples, 0.0f);
  EXPECT_TRUE(tomproj::nonzero_box(volume.data()).empty);
  volume[scan::volume_index(5, 6, 7)] = -0.0f;  // a zero all the same
  EXPECT_TRUE(tomproj::nonzero_box(volume.data()).empty);
  volume[scan::volume_index(5, 6, 7)] = std::numeric_limits<float>::quiet_NaN();
  volume[scan::volume_index(100, 90, 20)] = 1e-30f;
  const tomproj::NonzeroBox box = tomproj::nonzero_box(volume.data());
  ASSERT_FALSE(box.empty);
  // Cells: cx = ix - 64, cy = 64 - iy, cz = 64 - iz.
  EXPECT_EQ(box.lo[0], 5 - 64);
  EXPECT_EQ(box.hi[0], 100 - 64);
  EXPECT_EQ(box.lo[1], 64 - 90);
  EXPECT_EQ(box.hi[1], 64 - 6);
  EXPECT_EQ(box.lo[2], 64 - 20);
  EXPECT_EQ(box.hi[2], 64 - 7);
}

}  // namespace
