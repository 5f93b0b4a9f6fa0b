#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "recon/iterative.h"
#include "sim/phantom_shapes.h"

namespace {

// Whole passes of OS-SART on a ball from zero: sums read back from the cache
// are the computed ones, a pass is the same bits at any thread count, and
// the residual and the error fall from pass to pass.
TEST(IterativeSlow, OsSartConvergesDeterministicallyWithCachedSums) {
  const std::vector<float> ball = toolkit::ball_volume({6.0, -4.0, 10.0}, 30.0, 0.5f);
  std::vector<float> stack(scan::kStackSamples);
  tomproj::project_stack(ball.data(), stack.data(), 2, nullptr);
  // The cache folder does not exist yet: the first run makes it.
  const std::filesystem::path top =
      std::filesystem::temp_directory_path() / ("quant-cache-" + std::to_string(::getpid()));
  const std::filesystem::path cache = top / "sums";

  quant::IterativeOptions options;
  options.subsets = 8;
  const quant::SystemSums computed = quant::system_sums(8, cache.string(), 2);
  const quant::SystemSums cached = quant::system_sums(8, cache.string(), 1);
  EXPECT_EQ(computed.row_sums, cached.row_sums);
  EXPECT_EQ(computed.column_sums, cached.column_sums);
  // A cut-short file in the cache is made again, never read.
  std::filesystem::resize_file(cache / "column_sums_8_3.img", 1000);
  std::filesystem::resize_file(cache / "row_sums.img", 0);
  const quant::SystemSums remade = quant::system_sums(8, cache.string(), 2);
  EXPECT_EQ(computed.row_sums, remade.row_sums);
  EXPECT_EQ(computed.column_sums, remade.column_sums);
  EXPECT_EQ(std::filesystem::file_size(cache / "column_sums_8_3.img"), scan::kVolumeSamples * sizeof(float));

  // One pass on one thread with the sums read back, one on three threads
  // with the sums computed: the same bits. A second pass lowers the
  // residual and the error.
  options.iterations = 1;
  options.threads = 1;
  std::vector<float> one(scan::kVolumeSamples, 0.0f);
  const std::vector<quant::IterationFigures> first =
      quant::iterative_reconstruct(stack.data(), one, options, cached, ball.data(), nullptr);
  options.threads = 3;
  std::vector<float> three(scan::kVolumeSamples, 0.0f);
  quant::iterative_reconstruct(stack.data(), three, options, computed, nullptr, nullptr);
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(float)));
  const std::vector<quant::IterationFigures> second =
      quant::iterative_reconstruct(stack.data(), three, options, computed, ball.data(), nullptr);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_LT(second[0].relative_residual, first[0].relative_residual);
  EXPECT_LT(second[0].rmse, first[0].rmse);
  EXPECT_GT(second[0].pearson_r, 0.9);
  std::filesystem::remove_all(top);
}

}  // namespace
