// Whole stacks through the filtering stage, held to the literal filter bit
// for bit, and the filtered stack file read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/output_file.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/oracle/filter_oracle.h"
#include "tests/support/bit_compare.h"
#include "recon/projection_filter.h"

namespace {

using scan::kStackSamples;
using scan::kViewSamples;
using scan::NX;
using scan::NY;
using scan::NZ;

using testdata::same_bits;

std::vector<float> literal_stage(std::vector<float> stack) {
  std::vector<float> re(kViewSamples), im(kViewSamples), w(kViewSamples);
  oracle::filter_projections(stack.data(), re.data(), im.data(), w.data(), NX, NY, NZ);
  return stack;
}

TEST(FilterProjectionsWholeStack, RandomStackMatchesTheLiteralStageAndTheFile) {
  std::mt19937 gen(31);
  std::uniform_real_distribution<float> dist(0.0f, 250.0f);
  std::vector<float> stack(kStackSamples);
  for (float& x : stack) x = dist(gen);
  const std::vector<float> want = literal_stage(stack);

  char pattern[] = "/tmp/tomrec_filter_slow_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/" + tomrec::kFilteredStackName;
  std::vector<float> re(kViewSamples), im(kViewSamples), w(kViewSamples);
  std::vector<int> reported(2 * NZ, 0);
  tomrec::filter_projections(stack.data(), re.data(), im.data(), w.data(), NX, NY, NZ,
                             tomio::available_threads(), tomio::OutputFile(path),
                             [&](int v) { ++reported[v]; });
  EXPECT_TRUE(same_bits(stack, want));
  for (int v = 0; v < 2 * NZ; ++v) EXPECT_EQ(reported[v], 1) << v;

  std::vector<float> file(kStackSamples);
  tomio::load_float_image(path, file.data(), kStackSamples);
  EXPECT_TRUE(same_bits(file, stack));
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

TEST(FilterProjectionsWholeStack, ProjectionLikeStackMatchesTheLiteralStage) {
  // Every view a smooth blob that moves with the view, over a zero border,
  // with values spanning several orders of magnitude.
  std::vector<float> stack(kStackSamples, 0.0f);
  for (int v = 0; v < 2 * NZ; ++v)
    for (int r = 8; r < 248; ++r)
      for (int c = 8; c < 248; ++c) {
        const double dx = c - 128 - 40.0 * std::sin(v * 0.0245);
        const double dy = r - 128.0;
        const double q = (dx * dx + dy * dy) / 3000.0;
        stack[static_cast<std::size_t>(v) * kViewSamples + r * 256 + c] =
            static_cast<float>(q < 1.0 ? 180.0 * std::sqrt(1.0 - q) : 0.001 * (c % 7));
      }
  const std::vector<float> want = literal_stage(stack);
  std::vector<float> w(kViewSamples);
  tomrec::build_radial_weight(w.data(), NX, NY);
  tomrec::filter_views(stack.data(), w.data(), NX, NY, NZ, 2, {});
  EXPECT_TRUE(same_bits(stack, want));
}

}  // namespace
