#include "recon/shifted_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/oracle/fft_oracle.h"
#include "tests/support/bit_compare.h"
#include "tests/support/expect_failure.h"

namespace {

using testdata::bits;
using testdata::same_bits;

std::vector<float> random_floats(std::mt19937& gen, std::size_t n, float lo = -1000.0f,
                                 float hi = 1000.0f) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

// Values over a wide range of magnitudes, subnormals included, with exact
// zeros of both signs: every rounding and every sign of zero must agree.
std::vector<float> wide_floats(std::mt19937& gen, std::size_t n) {
  std::uniform_int_distribution<int> exponent(-150, 90);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::uniform_int_distribution<int> kind(0, 9);
  std::vector<float> v(n);
  for (float& x : v) {
    const int k = kind(gen);
    x = k == 0 ? 0.0f : k == 1 ? -0.0f : std::ldexp(mantissa(gen), exponent(gen));
    if (k % 2 == 1) x = -x;
  }
  return v;
}

// Runs a check with the vector kernel and again with the portable one.
template <typename F>
void with_each_kernel(F check) {
  for (bool vector : {true, false}) {
    if (vector && !tomrec::fft::vector_kernel_available()) continue;
    SCOPED_TRACE(vector ? "vector kernel" : "portable kernel");
    tomrec::fft::use_vector_kernel(vector);
    check();
  }
  tomrec::fft::use_vector_kernel(true);
}

const int kLengths[] = {2, 4, 8, 16, 32, 64, 128, 256};

TEST(ShiftedFft1d, MatchesTheLiteralTransformBitForBit) {
  std::mt19937 gen(11);
  for (int n : kLengths) {
    for (int sign : {1, -1}) {
      for (int trial = 0; trial < 40; ++trial) {
        const bool wide = trial % 4 == 1;
        std::vector<float> re = wide ? wide_floats(gen, n) : random_floats(gen, n);
        // Some with a zero imaginary part, as every view enters the filter.
        std::vector<float> im = trial % 4 == 0 ? std::vector<float>(n, 0.0f)
                                : wide         ? wide_floats(gen, n)
                                               : random_floats(gen, n);
        std::vector<float> ore = re, oim = im;
        tomrec::shifted_fft_1d(re.data(), im.data(), n, sign);
        oracle::shifted_fft_1d(ore.data(), oim.data(), n, sign);
        ASSERT_TRUE(same_bits(re, ore)) << "n " << n << " sign " << sign << " real";
        ASSERT_TRUE(same_bits(im, oim)) << "n " << n << " sign " << sign << " imaginary";
      }
    }
  }
}

TEST(ShiftedFft2d, MatchesTheLiteralTransformBitForBit) {
  with_each_kernel([] {
    std::mt19937 gen(12);
    // Square and oblong images, full and partial batches of rows and columns.
    const int shapes[][2] = {{256, 256}, {2, 2},   {4, 2},   {8, 8},    {16, 4},
                             {32, 16},   {64, 64}, {128, 8}, {256, 32}, {16, 16}};
    for (const auto& shape : shapes) {
      const int W = shape[0], H = shape[1];
      for (int sign : {1, -1}) {
        const std::size_t count = static_cast<std::size_t>(W) * H;
        for (bool wide : {false, true}) {
          std::vector<float> re = wide ? wide_floats(gen, count) : random_floats(gen, count);
          std::vector<float> im = sign == 1 ? std::vector<float>(count, 0.0f)
                                  : wide    ? wide_floats(gen, count)
                                            : random_floats(gen, count);
          std::vector<float> ore = re, oim = im;
          tomrec::shifted_fft_2d(re.data(), im.data(), W, H, sign);
          oracle::shifted_fft_2d(ore.data(), oim.data(), W, H, sign);
          ASSERT_TRUE(same_bits(re, ore)) << W << "x" << H << " sign " << sign << " real";
          ASSERT_TRUE(same_bits(im, oim)) << W << "x" << H << " sign " << sign << " imaginary";
        }
      }
    }
  });
}

TEST(ShiftedFft2d, TallImagesAreTransformedAlongBothAxes) {
  // More rows than columns: each axis is the one-dimensional transform.
  std::mt19937 gen(13);
  const int W = 4, H = 16;
  std::vector<float> re = random_floats(gen, W * H), im = random_floats(gen, W * H);
  std::vector<float> ore = re, oim = im;
  tomrec::shifted_fft_2d(re.data(), im.data(), W, H, 1);
  for (int r = 0; r < H; ++r) oracle::shifted_fft_1d(&ore[r * W], &oim[r * W], W, 1);
  for (int c = 0; c < W; ++c) {
    std::vector<float> cr(H), ci(H);
    for (int r = 0; r < H; ++r) {
      cr[r] = ore[r * W + c];
      ci[r] = oim[r * W + c];
    }
    oracle::shifted_fft_1d(cr.data(), ci.data(), H, 1);
    for (int r = 0; r < H; ++r) {
      ore[r * W + c] = cr[r];
      oim[r * W + c] = ci[r];
    }
  }
  EXPECT_TRUE(same_bits(re, ore));
  EXPECT_TRUE(same_bits(im, oim));
}

TEST(ShiftedFft2d, ThreadsShareThePlansSafely) {
  std::mt19937 gen(14);
  const int W = 64, H = 32;
  const std::vector<float> re0 = random_floats(gen, W * H), im0 = random_floats(gen, W * H);
  std::vector<float> ore = re0, oim = im0;
  oracle::shifted_fft_2d(ore.data(), oim.data(), W, H, 1);
  std::vector<std::vector<float>> outs(4);
  std::vector<std::thread> pool;
  for (int t = 0; t < 4; ++t) {
    pool.emplace_back([&, t] {
      std::vector<float> re = re0, im = im0;
      for (int rep = 0; rep < 5; ++rep) {
        re = re0;
        im = im0;
        tomrec::shifted_fft_2d(re.data(), im.data(), W, H, 1);
      }
      outs[t] = re;
    });
  }
  for (auto& th : pool) th.join();
  for (const auto& out : outs) EXPECT_TRUE(same_bits(out, ore));
}

TEST(ShiftedFft1d, WorkedValuesOfLength256) {
  const int n = 256;
  {  // An impulse at the origin: every frequency 1 + 0i.
    std::vector<float> re(n, 0.0f), im(n, 0.0f);
    re[128] = 1.0f;
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    for (int k = 0; k < n; ++k) {
      ASSERT_EQ(re[k], 1.0f) << k;
      ASSERT_EQ(im[k], 0.0f) << k;
    }
  }
  {  // An impulse at coordinate -128: alternating signs from +1 at position 0.
    std::vector<float> re(n, 0.0f), im(n, 0.0f);
    re[0] = 1.0f;
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], k % 2 == 0 ? 1.0 : -1.0, 1e-6) << k;
      ASSERT_NEAR(im[k], 0.0, 1e-6) << k;
    }
    EXPECT_EQ(re[0], 1.0f);
  }
  {  // A constant: everything at zero frequency, and back.
    std::vector<float> re(n, 1.0f), im(n, 0.0f);
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], k == 128 ? 256.0 : 0.0, 1e-4) << k;
      ASSERT_NEAR(im[k], 0.0, 1e-4) << k;
    }
    EXPECT_EQ(re[128], 256.0f);
    tomrec::shifted_fft_1d(re.data(), im.data(), n, -1);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], 1.0, 1e-6) << k;
      ASSERT_NEAR(im[k], 0.0, 1e-6) << k;
    }
  }
  {  // An impulse one step right of the origin: a unit phase ramp.
    std::vector<float> re(n, 0.0f), im(n, 0.0f);
    re[129] = 1.0f;
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    EXPECT_EQ(re[128], 1.0f);
    EXPECT_EQ(im[128], 0.0f);
    for (int k = 0; k < n; ++k) {
      const double angle = -2.0 * M_PI * (k - 128) / 256.0;
      ASSERT_NEAR(re[k], std::cos(angle), 1e-6) << k;
      ASSERT_NEAR(im[k], std::sin(angle), 1e-6) << k;
    }
  }
}

TEST(ShiftedFft1d, RealInputGivesConjugateSymmetry) {
  std::mt19937 gen(15);
  for (int n : {4, 8, 64, 256}) {
    const int h = n / 2;
    std::vector<float> re = random_floats(gen, n, -1.0f, 1.0f), im(n, 0.0f);
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    double peak = 0.0;
    for (int k = 0; k < n; ++k)
      peak = std::max(peak, std::hypot(static_cast<double>(re[k]), static_cast<double>(im[k])));
    for (int k = 1; k < h; ++k) {
      EXPECT_NEAR(re[h + k], re[h - k], 1e-6 * peak * n) << n << " " << k;
      EXPECT_NEAR(im[h + k], -im[h - k], 1e-6 * peak * n) << n << " " << k;
    }
  }
}

// The centred DFT summed directly in double.
void direct_centred_dft(const std::vector<float>& re, const std::vector<float>& im, int sign,
                        std::vector<std::complex<double>>& out) {
  const int n = static_cast<int>(re.size());
  const int h = n / 2;
  const double D = sign == -1 ? n : 1;
  out.assign(n, 0.0);
  for (int k = 0; k < n; ++k) {
    std::complex<double> sum = 0.0;
    for (int m = 0; m < n; ++m) {
      const double angle = -sign * 2.0 * M_PI * (m - h) * (k - h) / n;
      sum += std::complex<double>(re[m], im[m]) * std::polar(1.0, angle);
    }
    out[k] = sum / D;
  }
}

TEST(ShiftedFft1d, AgreesWithTheDirectCentredDft) {
  std::mt19937 gen(16);
  for (int n : {4, 8, 16, 32, 64, 128, 256}) {
    for (int sign : {1, -1}) {
      std::vector<float> re = random_floats(gen, n, -1.0f, 1.0f);
      std::vector<float> im = random_floats(gen, n, -1.0f, 1.0f);
      std::vector<std::complex<double>> want;
      direct_centred_dft(re, im, sign, want);
      tomrec::shifted_fft_1d(re.data(), im.data(), n, sign);
      // Each of the log2(n) stages rounds to float32.
      const double scale = sign == 1 ? std::sqrt(n) : 1.0 / std::sqrt(n);
      const double tolerance = 4.0 * std::log2(n) * 6e-8 * scale;
      for (int k = 0; k < n; ++k) {
        ASSERT_NEAR(re[k], want[k].real(), tolerance) << n << " " << sign << " " << k;
        ASSERT_NEAR(im[k], want[k].imag(), tolerance) << n << " " << sign << " " << k;
      }
    }
  }
}

TEST(ShiftedFft, ForwardThenInverseReturnsTheInput) {
  std::mt19937 gen(17);
  for (int n : {4, 16, 256}) {
    const std::vector<float> re0 = random_floats(gen, n, -1.0f, 1.0f);
    const std::vector<float> im0 = random_floats(gen, n, -1.0f, 1.0f);
    std::vector<float> re = re0, im = im0;
    tomrec::shifted_fft_1d(re.data(), im.data(), n, 1);
    tomrec::shifted_fft_1d(re.data(), im.data(), n, -1);
    for (int i = 0; i < n; ++i) {
      ASSERT_NEAR(re[i], re0[i], 1e-5) << n << " " << i;
      ASSERT_NEAR(im[i], im0[i], 1e-5) << n << " " << i;
    }
  }
  const int W = 256, H = 256;
  const std::vector<float> re0 = random_floats(gen, W * H, -1.0f, 1.0f);
  const std::vector<float> im0 = random_floats(gen, W * H, -1.0f, 1.0f);
  std::vector<float> re = re0, im = im0;
  tomrec::shifted_fft_2d(re.data(), im.data(), W, H, 1);
  tomrec::shifted_fft_2d(re.data(), im.data(), W, H, -1);
  for (int i = 0; i < W * H; ++i) {
    ASSERT_NEAR(re[i], re0[i], 1e-5) << i;
    ASSERT_NEAR(im[i], im0[i], 1e-5) << i;
  }
}

TEST(ShiftedFftPlan, TablesOfLength8AndLength256) {
  const oracle::FftTrace trace = oracle::trace_shifted_fft(8);
  ASSERT_EQ(trace.stages, 3);
  EXPECT_EQ(trace.index_tables[0], (std::vector<int>{0, 0, 0, 0, 4, 4, 4, 4}));
  EXPECT_EQ(trace.index_tables[1], (std::vector<int>{0, 0, 4, 4, 2, 2, 6, 6}));
  EXPECT_EQ(trace.index_tables[2], (std::vector<int>{0, 4, 2, 6, 1, 5, 3, 7}));
  using Pairs = std::vector<std::vector<int>>;
  EXPECT_EQ(trace.butterflies[0], (Pairs{{0, 4, 0}, {1, 5, 0}, {2, 6, 0}, {3, 7, 0}}));
  EXPECT_EQ(trace.butterflies[1], (Pairs{{0, 2, 0}, {1, 3, 0}, {4, 6, 2}, {5, 7, 2}}));
  EXPECT_EQ(trace.butterflies[2], (Pairs{{0, 1, 0}, {2, 3, 2}, {4, 5, 1}, {6, 7, 3}}));

  // The fast plan: one exponent per butterfly group, the same as the literal
  // table gives every element of the group.
  const tomrec::fft::FftPlan& plan = tomrec::fft::plan_for(8);
  ASSERT_EQ(plan.stages, 3);
  EXPECT_EQ(plan.exponent, (std::vector<int>{0, 0, 2, 0, 2, 1, 3}));
  EXPECT_EQ(plan.last_index_table, trace.index_tables[2]);

  const tomrec::fft::FftPlan& p256 = tomrec::fft::plan_for(256);
  EXPECT_EQ(p256.stages, 8);
  for (int j = 0; j < 256; ++j) {
    int reversed = 0;
    for (int b = 0; b < 8; ++b) reversed |= ((j >> b) & 1) << (7 - b);
    ASSERT_EQ(p256.last_index_table[j], reversed) << j;
  }
  EXPECT_EQ(p256.last_index_table[1], 128);
  EXPECT_EQ(p256.last_index_table[2], 64);
  EXPECT_EQ(p256.last_index_table[3], 192);
  for (int n : kLengths) {
    const oracle::FftTrace t = oracle::trace_shifted_fft(n);
    const tomrec::fft::FftPlan& p = tomrec::fft::plan_for(n);
    ASSERT_EQ(p.stages, t.stages) << n;
    std::size_t g = 0;
    for (int s = 0; s < t.stages; ++s) {
      const auto& bf = t.butterflies[s];
      const std::size_t span = static_cast<std::size_t>(n >> (s + 1));
      for (std::size_t i = 0; i < bf.size(); i += span, ++g) {
        ASSERT_EQ(p.exponent[g], bf[i][2]) << n << " stage " << s + 1;
      }
    }
    ASSERT_EQ(g, p.exponent.size());
  }
}

TEST(ShiftedFftTest, RefusesLengthsThatAreNoPowerOfTwo) {
  std::vector<float> re(12, 1.0f), im(12, 0.0f);
  EXPECT_FALSE(tomrec::is_fft_length(0));
  EXPECT_FALSE(tomrec::is_fft_length(1));
  EXPECT_FALSE(tomrec::is_fft_length(12));
  EXPECT_FALSE(tomrec::is_fft_length(-4));
  EXPECT_TRUE(tomrec::is_fft_length(2));
  EXPECT_TRUE(tomrec::is_fft_length(256));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "not a power of two",
                                  [&] { tomrec::shifted_fft_1d(re.data(), im.data(), 12, 1); }));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "not a power of two",
                                  [&] { tomrec::shifted_fft_1d(re.data(), im.data(), 1, 1); }));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "not a power of two",
                                  [&] { tomrec::shifted_fft_2d(re.data(), im.data(), 4, 3, 1); }));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "neither",
                                  [&] { tomrec::shifted_fft_1d(re.data(), im.data(), 8, 2); }));
}

}  // namespace
