#include "recon/projection_filter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "tests/oracle/filter_oracle.h"
#include "tests/support/bit_compare.h"
#include "recon/shifted_fft.h"

namespace {

using scan::kViewSamples;
using scan::NX;
using scan::NY;

using testdata::bits;
using testdata::same_bits;

std::vector<float> weight_plane() {
  std::vector<float> w(kViewSamples);
  tomrec::build_radial_weight(w.data(), NX, NY);
  return w;
}

float weight_at(const std::vector<float>& w, int i, int j) { return w[i * 2 * NX + j]; }

TEST(RadialWeight, WorkedValues) {
  const std::vector<float> w = weight_plane();
  EXPECT_EQ(weight_at(w, 128, 128), 1.0f);
  EXPECT_EQ(weight_at(w, 128, 129), 11.0f);
  EXPECT_EQ(weight_at(w, 129, 128), 11.0f);
  EXPECT_EQ(weight_at(w, 128, 127), 11.0f);
  EXPECT_EQ(weight_at(w, 127, 128), 11.0f);
  EXPECT_EQ(weight_at(w, 129, 129), 15.142135620117188f);
  EXPECT_EQ(static_cast<double>(weight_at(w, 129, 129)), 15.142135620117188);
  EXPECT_EQ(weight_at(w, 1, 128), 1271.0f);
  EXPECT_EQ(weight_at(w, 255, 128), 1271.0f);
  EXPECT_EQ(weight_at(w, 128, 255), 1271.0f);
  EXPECT_EQ(weight_at(w, 128, 0), 0.0f);
  for (int k = 0; k < 2 * NX; ++k) {
    ASSERT_EQ(weight_at(w, 0, k), 0.0f) << k;
    ASSERT_EQ(weight_at(w, k, 0), 0.0f) << k;
  }
  EXPECT_EQ(*std::max_element(w.begin(), w.end()), 1280.8828125f);
  EXPECT_EQ(std::count_if(w.begin(), w.end(), [](float x) { return x != 0.0f; }), 51429);
  // Point symmetry about zero frequency.
  for (int i = 0; i < 256; ++i)
    for (int j = 0; j < 256; ++j)
      ASSERT_EQ(bits(weight_at(w, i, j)), bits(weight_at(w, (256 - i) % 256, (256 - j) % 256)));

  std::vector<float> literal(kViewSamples);
  oracle::build_radial_weight(literal.data(), NX, NY);
  EXPECT_TRUE(same_bits(w, literal));
}

// A stack of `views` views (NZ = views / 2).
std::vector<float> random_stack(std::uint32_t seed, int views, float lo, float hi) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> s(kViewSamples * views);
  for (float& x : s) x = dist(gen);
  return s;
}

// Sharp edges, a bright disc, a constant offset and a few zero rows: the
// kind of detector image the projector makes.
std::vector<float> structured_view() {
  std::vector<float> v(kViewSamples, 0.0f);
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) {
      float x = 0.0f;
      if (r > 20 && r < 236 && c > 30 && c < 220) x += 50.0f;
      if ((r - 128) * (r - 128) + (c - 140) * (c - 140) < 900) x += 125.5f;
      if (c % 32 == 0) x += 3.0f;
      if (r < 4) x = 0.0f;
      v[r * 256 + c] = x;
    }
  return v;
}

std::vector<float> oracle_filtered(std::vector<float> stack) {
  const std::vector<float> w = weight_plane();
  std::vector<float> re(kViewSamples), im(kViewSamples);
  const int views = static_cast<int>(stack.size() / kViewSamples);
  for (int v = 0; v < views; ++v)
    oracle::filter_view(stack.data(), v, re.data(), im.data(), w.data(), NX, NY);
  return stack;
}

TEST(FilterViews, WholeViewsMatchTheLiteralFilterBitForBit) {
  std::vector<float> stack = random_stack(21, 4, 0.0f, 200.0f);
  // The last view: structured, not random.
  const std::vector<float> structured = structured_view();
  std::copy(structured.begin(), structured.end(), stack.end() - kViewSamples);
  const std::vector<float> want = oracle_filtered(stack);
  const std::vector<float> w = weight_plane();
  for (bool vector : {true, false}) {
    if (vector && !tomrec::fft::vector_kernel_available()) continue;
    SCOPED_TRACE(vector ? "vector kernel" : "portable kernel");
    tomrec::fft::use_vector_kernel(vector);
    std::vector<float> got = stack;
    tomrec::filter_views(got.data(), w.data(), NX, NY, 2, 2, {});
    EXPECT_TRUE(same_bits(got, want));
  }
  tomrec::fft::use_vector_kernel(true);
}

TEST(FilterViews, OneAndTwoThreadsGiveTheSameBitsAndReportEveryView) {
  const std::vector<float> stack = random_stack(22, 8, -5.0f, 300.0f);
  const std::vector<float> w = weight_plane();
  std::vector<float> one = stack, two = stack;
  std::vector<int> seen_one, seen_two;
  std::mutex mutex;
  tomrec::filter_views(one.data(), w.data(), NX, NY, 4, 1, [&](int v) { seen_one.push_back(v); });
  tomrec::filter_views(two.data(), w.data(), NX, NY, 4, 2, [&](int v) {
    std::lock_guard<std::mutex> lock(mutex);
    seen_two.push_back(v);
  });
  EXPECT_TRUE(same_bits(one, two));
  EXPECT_EQ(seen_one, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  std::sort(seen_two.begin(), seen_two.end());
  EXPECT_EQ(seen_two, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  // More threads than views, and no callback.
  std::vector<float> many = stack;
  tomrec::filter_views(many.data(), w.data(), NX, NY, 4, 64, {});
  EXPECT_TRUE(same_bits(many, one));
}

TEST(FilterViews, ConstantViewsStayExactlyConstantAndZeroViewsZero) {
  const std::vector<float> w = weight_plane();
  const float values[] = {0.0f, 1.0f, 37.25f, -2.5f, 1000.0f, 0.1f};
  std::vector<float> stack(kViewSamples * 6);
  for (int v = 0; v < 6; ++v)
    std::fill_n(stack.begin() + kViewSamples * v, kViewSamples, values[v]);
  tomrec::filter_views(stack.data(), w.data(), NX, NY, 3, 2, {});
  for (int v = 0; v < 6; ++v) {
    const auto first = stack.begin() + kViewSamples * v;
    const auto wrong = std::find_if(first, first + kViewSamples,
                                    [&](float x) { return bits(x) != bits(values[v]); });
    EXPECT_EQ(wrong, first + kViewSamples) << "view " << v << " value " << values[v] << " became "
                                           << *wrong << " at " << (wrong - first);
  }
}

class FilterProjectionsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tomrec_filter_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::remove((dir_ + "/" + tomrec::kFilteredStackName).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(FilterProjectionsFile, WritesTheFilteredStackAndFillsTheWeight) {
  EXPECT_STREQ(tomrec::kFilteredStackName, "Radon_FLT_dounatsu.img");
  std::vector<float> stack = random_stack(23, 2, 0.0f, 100.0f);
  const std::vector<float> want = oracle_filtered(stack);
  std::vector<float> plane_re(kViewSamples, 7.0f), plane_im(kViewSamples, -3.0f);
  std::vector<float> weight(kViewSamples, 99.0f);
  const std::string path = dir_ + "/" + tomrec::kFilteredStackName;
  std::atomic<int> reported{0};
  tomrec::filter_projections(stack.data(), plane_re.data(), plane_im.data(), weight.data(), NX, NY,
                             1, 2, tomio::OutputFile(path), [&](int) { ++reported; });
  EXPECT_EQ(reported.load(), 2);
  EXPECT_TRUE(same_bits(stack, want));
  EXPECT_TRUE(same_bits(weight, weight_plane()));

  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), stack.size() * sizeof(float));
  EXPECT_EQ(std::memcmp(bytes.data(), stack.data(), bytes.size()), 0);
}

}  // namespace
