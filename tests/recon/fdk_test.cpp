#include "recon/fdk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/failure.h"
#include "core/scan_geometry.h"
#include "sim/phantom_shapes.h"

namespace {

TEST(Fdk, SameBitsAtAnyThreadCountAndInEitherLoop) {
  // Any stack will do; values of both signs reach every path.
  std::vector<float> stack(scan::kStackSamples);
  std::uint64_t state = 7;
  for (float& x : stack) x = static_cast<float>(toolkit::splitmix64(state) >> 40) / (1 << 23) - 1.0f;
  quant::FdkOptions options;
  options.window = quant::FdkWindow::shepp_logan;
  options.cutoff = 0.8;
  const bool lanes = quant::fdk_vector_lanes();
  std::vector<float> one(scan::kVolumeSamples), three(scan::kVolumeSamples);
  options.threads = 1;
  quant::set_fdk_vector_lanes(false);
  quant::fdk_reconstruct(stack.data(), one.data(), options);
  options.threads = 3;
  quant::set_fdk_vector_lanes(true);
  quant::fdk_reconstruct(stack.data(), three.data(), options);
  quant::set_fdk_vector_lanes(lanes);
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(float)));
}

TEST(Fdk, WindowsAndCutoff) {
  // Every window keeps the level of a uniform object (response at f = 0) and
  // nothing passes above the cutoff.
  const double dc = quant::fdk_filter_response(quant::FdkOptions{})[0];
  EXPECT_GT(dc, 0.0);
  for (const std::string& name : quant::fdk_window_names()) {
    quant::FdkOptions options;
    options.window = quant::fdk_window_from_name(name);
    options.cutoff = 0.5;
    const std::vector<double> response = quant::fdk_filter_response(options);
    EXPECT_EQ(response[0], dc) << name;
    for (std::size_t k = response.size() / 2 + 1; k < response.size(); ++k)
      ASSERT_EQ(response[k], 0.0) << name << " at " << k;
  }
  EXPECT_THROW(quant::fdk_window_from_name("ramp"), tomio::Failure);
  quant::FdkOptions bad;
  bad.cutoff = 0.0;
  EXPECT_THROW(quant::fdk_filter_response(bad), tomio::Failure);
}

}  // namespace
