#include "recon/fdk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/failure.h"
#include "core/kernel_dispatch.h"
#include "core/scan_geometry.h"
#include "sim/phantom_shapes.h"
#include "tests/support/bit_compare.h"
#include "tests/support/kernels.h"

namespace {

TEST(Fdk, EveryKernelAndThreadCountGivesThePlainLoopsBits) {
  // Any stack will do; values of both signs reach every path, and the
  // magnified rows run off the panel at both ends.
  std::vector<float> stack(scan::kStackSamples);
  std::uint64_t state = 7;
  for (float& x : stack) x = static_cast<float>(toolkit::splitmix64(state) >> 40) / (1 << 23) - 1.0f;
  quant::FdkOptions options;
  options.window = quant::FdkWindow::shepp_logan;
  options.cutoff = 0.8;
  options.threads = 1;
  std::vector<float> filtered(quant::kFdkViewSamples * scan::kViews);
  quant::fdk_filter_stack(stack.data(), filtered.data(), options, nullptr);
  options.threads = 3;
  std::vector<float> filtered3(filtered.size());
  quant::fdk_filter_stack(stack.data(), filtered3.data(), options, nullptr);
  EXPECT_TRUE(testdata::same_bits(filtered, filtered3));

  // The plain loop on one thread is the reference; every vector kernel of
  // this processor on three threads (other tiles to each) gives its bits.
  std::vector<float> plain(scan::kVolumeSamples);
  quant::fdk_backproject_with(kernels::Kernel::scalar, filtered.data(), plain.data(), 1, nullptr);
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    if (kernel == kernels::Kernel::scalar) continue;
    std::vector<float> lanes(scan::kVolumeSamples);
    quant::fdk_backproject_with(kernel, filtered.data(), lanes.data(), 3, nullptr);
    EXPECT_TRUE(testdata::same_bits(plain, lanes)) << kernels::kernel_name(kernel);
  }
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
