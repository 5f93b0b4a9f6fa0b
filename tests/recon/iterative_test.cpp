#include "recon/iterative.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "core/failure.h"
#include "tests/support/expect_failure.h"
#include "core/scan_geometry.h"
#include "sim/dose_noise.h"

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

// One rule for each option, the one the tools, the package and the study
// files call: relaxation strictly inside (0, 2), where the iteration
// converges (2 itself is refused), tolerance in [0, 1).
TEST(Iterative, OptionsHaveOneCheckEach) {
  auto usage = [](const std::function<void()>& call) {
    return testrun::fails_with(tomio::FailureKind::usage, "", call);
  };
  for (double bad : {0.0, 2.0, -1.0, std::nan("")}) EXPECT_TRUE(usage([&] { quant::check_relaxation(bad); })) << bad;
  EXPECT_NO_THROW(quant::check_relaxation(1.99));
  EXPECT_NO_THROW(quant::check_relaxation(1e-3));
  for (double bad : {-0.1, 1.0, std::nan("")}) EXPECT_TRUE(usage([&] { quant::check_tolerance(bad); })) << bad;
  EXPECT_NO_THROW(quant::check_tolerance(0.0));
  EXPECT_TRUE(usage([] { quant::check_subset_count(257); }));
  quant::IterativeOptions options;
  EXPECT_NO_THROW(quant::check_iterative_options(options));
  options.iterations = 0;
  EXPECT_TRUE(usage([&] { quant::check_iterative_options(options); }));
  options = quant::IterativeOptions();
  options.relaxation = 2.0;
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "relaxation",
                                  [&] { quant::check_iterative_options(options); }));
}

// The level the stopping rule takes from the dose is the noise the dose
// model really adds: on stacks of line integrals 0 (bright) and 20 (dark),
// made noisy at I0 = 10^4 with and without electronic noise, it matches the
// rms deviation of the noisy samples within 2 %. Rays whose row sum is 0
// take no part: marking the dark half so leaves the bright level.
TEST(Iterative, NoiseLevelOfTheDoseIsTheNoiseTheDoseAdds) {
  const std::size_t half = scan::kStackSamples / 2;
  std::vector<float> clean(scan::kStackSamples, 0.0f), noisy(scan::kStackSamples);
  std::fill(clean.begin() + static_cast<std::ptrdiff_t>(half), clean.end(), 20.0f);
  std::vector<float> row_sums(scan::kStackSamples, 1.0f);
  for (double electronic : {0.0, 30.0}) {
    toolkit::DoseSettings dose;
    dose.i0 = toolkit::constant_i0(1e4);
    dose.seed = 5;
    dose.electronic = electronic;
    toolkit::add_dose_noise(dose, clean.data(), noisy.data(), 0, scan::kViews, 2);
    double sum = 0.0;
    for (std::size_t i = 0; i < scan::kStackSamples; ++i) {
      const double e = static_cast<double>(noisy[i]) - clean[i];
      sum += e * e;
    }
    const double measured = std::sqrt(sum / scan::kStackSamples);
    const double level = quant::expected_noise_level(noisy.data(), row_sums, 1e4, 0.15, electronic);
    EXPECT_NEAR(level / measured, 1.0, 0.02) << electronic;
  }
  std::vector<float> bright_only = row_sums;
  std::fill(bright_only.begin() + static_cast<std::ptrdiff_t>(half), bright_only.end(), 0.0f);
  const double bright = quant::expected_noise_level(noisy.data(), bright_only, 1e4, 0.15, 30.0);
  EXPECT_NEAR(bright, std::sqrt(1e4 + 900.0) / (0.15 * 1e4), 0.02 * bright);
  EXPECT_THROW(quant::expected_noise_level(noisy.data(), row_sums, 0.0, 0.15, 0.0), tomio::Failure);
}

}  // namespace
