#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "recon/fdk.h"
#include "sim/phantom_shapes.h"

namespace {

// An off-centre ball, away from the mid-plane so that the cone angle and
// every axis's orientation matter, projected by the projector itself.
const scan::Point3 kCentre{14.0, -9.0, 17.0};
constexpr double kRadius = 26.0;
constexpr float kValue = 0.02f;

double distance_to_centre(int ix, int iy, int iz) {
  const scan::Point3 p = toolkit::voxel_centre(ix, iy, iz);
  return std::sqrt((p.x - kCentre.x) * (p.x - kCentre.x) + (p.y - kCentre.y) * (p.y - kCentre.y) +
                   (p.z - kCentre.z) * (p.z - kCentre.z));
}

// The ball comes back in the phantom's units where it is, and nothing
// comes back where it is not: a mirrored axis or a wrong scale fails here.
// Single voxels vary by a few per cent (the ball's edge is a staircase of
// voxels and the detector samples it discretely); the level of the interior
// is what a study reads.
TEST(FdkSlow, UniformBallKeepsItsValueAndPlace) {
  const std::vector<float> ball = toolkit::ball_volume(kCentre, kRadius, kValue);
  std::vector<float> stack(scan::kStackSamples);
  tomproj::project_stack(ball.data(), stack.data(), 2, nullptr);
  for (const char* window : {"ram-lak", "hann"}) {
    quant::FdkOptions options;
    options.window = quant::fdk_window_from_name(window);
    options.threads = 2;
    std::vector<float> volume(scan::kVolumeSamples);
    quant::fdk_reconstruct(stack.data(), volume.data(), options);
    double inside_sum = 0.0, inside_worst = 0.0, outside_worst = 0.0;
    long inside_count = 0;
    for (int iz = 0; iz < scan::NZ; ++iz)
      for (int iy = 0; iy < scan::NY; ++iy)
        for (int ix = 0; ix < scan::NX; ++ix) {
          const double d = distance_to_centre(ix, iy, iz);
          const double value = volume[scan::volume_index(ix, iy, iz)];
          if (d < kRadius - 3.0) {
            inside_sum += value;
            ++inside_count;
            inside_worst = std::max(inside_worst, std::fabs(value - kValue));
          } else if (d > kRadius + 3.0) {
            outside_worst = std::max(outside_worst, std::fabs(value));
          }
        }
    EXPECT_NEAR(inside_sum / inside_count, kValue, 0.01 * kValue) << window;
    EXPECT_LT(inside_worst, 0.1 * kValue) << window;
    EXPECT_LT(outside_worst, 0.2 * kValue) << window;
  }
}

}  // namespace
