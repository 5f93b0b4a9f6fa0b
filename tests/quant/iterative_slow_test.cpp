#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "common/scan_geometry.h"
#include "tomproj/projector.h"
#include "tools/quant/iterative.h"
#include "tools/toolkit/phantom_shapes.h"

namespace {

// Whole passes of OS-SART on a ball from zero: the residual and the error
// fall pass by pass, the result is the same bits at any thread count, and
// sums read back from the cache give the same result as computed ones.
TEST(IterativeSlow, OsSartConvergesDeterministicallyWithCachedSums) {
  const std::vector<float> ball = toolkit::ball_volume({6.0, -4.0, 10.0}, 30.0, 0.5f);
  std::vector<float> stack(scan::kStackSamples);
  tomproj::project_stack(ball.data(), stack.data(), 2, nullptr);
  const std::filesystem::path cache =
      std::filesystem::temp_directory_path() / ("quant-cache-" + std::to_string(::getpid()));
  std::filesystem::create_directories(cache);

  quant::IterativeOptions options;
  options.subsets = 8;
  options.iterations = 3;
  options.threads = 2;
  const quant::SystemSums computed = quant::system_sums(8, cache.string(), 2);
  const quant::SystemSums cached = quant::system_sums(8, cache.string(), 1);
  EXPECT_EQ(computed.row_sums, cached.row_sums);
  EXPECT_EQ(computed.column_sums, cached.column_sums);

  std::vector<float> two(scan::kVolumeSamples, 0.0f);
  const std::vector<quant::IterationFigures> f =
      quant::iterative_reconstruct(stack.data(), two, options, computed, ball.data(), nullptr);
  ASSERT_EQ(f.size(), 3u);
  for (std::size_t i = 1; i < f.size(); ++i) {
    EXPECT_LT(f[i].relative_residual, f[i - 1].relative_residual);
    EXPECT_LT(f[i].rmse, f[i - 1].rmse);
  }
  EXPECT_GT(f.back().pearson_r, 0.95);

  options.iterations = 1;
  options.threads = 1;
  std::vector<float> one(scan::kVolumeSamples, 0.0f);
  quant::iterative_reconstruct(stack.data(), one, options, cached, nullptr, nullptr);
  options.threads = 3;
  std::vector<float> three(scan::kVolumeSamples, 0.0f);
  quant::iterative_reconstruct(stack.data(), three, options, computed, nullptr, nullptr);
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(float)));
  std::filesystem::remove_all(cache);
}

}  // namespace
