#include "tools/quant/iterative.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/failure.h"
#include "common/scan_geometry.h"

namespace {

// Every view lies in exactly one subset, neighbours of a subset are S views
// apart, and consecutive subsets look from far-apart directions.
TEST(Subsets, CoverEveryViewOnceInterleaved) {
  for (int subsets : {1, 2, 10, 16, 256}) {
    const std::vector<std::vector<int>> views = quant::subset_views(subsets);
    ASSERT_EQ(static_cast<int>(views.size()), subsets);
    std::vector<int> seen(scan::kViews, 0);
    for (const std::vector<int>& subset : views) {
      ASSERT_FALSE(subset.empty());
      for (std::size_t i = 0; i < subset.size(); ++i) {
        ++seen[static_cast<std::size_t>(subset[i])];
        if (i > 0) {
          EXPECT_EQ(subset[i] - subset[i - 1], subsets);
        }
      }
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; })) << subsets;
  }
  const std::vector<std::vector<int>> sixteen = quant::subset_views(16);
  EXPECT_EQ(sixteen[0][0], 0);
  EXPECT_EQ(sixteen[1][0], 8);  // bit-reversed: half a turn of subsets away
  EXPECT_EQ(sixteen[2][0], 4);
  const std::vector<std::vector<int>> ten = quant::subset_views(10);
  for (std::size_t j = 1; j < ten.size(); ++j) {
    const int step = std::abs(ten[j][0] - ten[j - 1][0]);
    EXPECT_GE(std::min(step, 10 - step), 3) << j;
  }
  EXPECT_THROW(quant::subset_views(0), tomio::Failure);
  EXPECT_THROW(quant::subset_views(257), tomio::Failure);
}

TEST(Iterative, RefusesSumsOfAnotherSubsetCount) {
  quant::SystemSums sums;
  sums.subsets = 4;
  quant::IterativeOptions options;
  options.subsets = 8;
  std::vector<float> x(scan::kVolumeSamples), stack(1);
  EXPECT_THROW(quant::iterative_reconstruct(stack.data(), x, options, sums, nullptr, nullptr),
               tomio::Failure);
}

}  // namespace
