// The dose noise: its generator against the published answers, its
// elementary functions against the system's, the law of the counts it draws
// (means, variances, the whole distribution at small means), and that its
// bits depend on nothing but the seed and the sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/support/expect_failure.h"
#include "tests/support/run_program.h"
#include "core/command_line.h"
#include "sim/counter_random.h"
#include "sim/dose_noise.h"
#include "core/portable_math.h"
#include "sim/random_draws.h"

namespace {

using toolkit::DoseSettings;

TEST(CounterRandom, PhiloxKnownAnswers) {
  // Random123's known-answer vectors of Philox4x32-10.
  EXPECT_EQ(toolkit::philox4x32({0, 0, 0, 0}, 0),
            (toolkit::PhiloxBlock{0x6627e8d5u, 0xe169c58du, 0xbc57ac4cu, 0x9b00dbd8u}));
  EXPECT_EQ(toolkit::philox4x32({~0u, ~0u, ~0u, ~0u}, ~0ull),
            (toolkit::PhiloxBlock{0x408f276du, 0x41c83b0eu, 0xa20bc7c6u, 0x6d5451fdu}));
  EXPECT_EQ(toolkit::philox4x32({0x243f6a88u, 0x85a308d3u, 0x13198a2eu, 0x03707344u},
                                0x299f31d0a4093822ull),
            (toolkit::PhiloxBlock{0xd16cfe09u, 0x94fdccebu, 0x5001e420u, 0x24126ea1u}));
  EXPECT_EQ(toolkit::unit_interval(0, 0), 0.0);
  EXPECT_LT(toolkit::unit_interval(~0u, ~0u), 1.0);
}

TEST(PortableMath, AgreesWithTheSystemLibrary) {
  double worst_exp = 0.0, worst_log = 0.0, worst_trig = 0.0;
  for (int i = -70000; i <= 70000; ++i) {
    const double x = i * 0.0101 + 1e-3;
    worst_exp = std::max(worst_exp, std::fabs(portable::exp(x) / std::exp(x) - 1.0));
    const double y = std::ldexp(1.0 + (i + 70000) / 140001.0, i % 900);
    worst_log = std::max(worst_log, std::fabs(portable::log(y) - std::log(y)) /
                                        std::max(1.0, std::fabs(std::log(y))));
    double s = 0.0, c = 0.0;
    const double degrees = i * 0.0173;
    portable::sin_cos_degrees(degrees, s, c);
    const double radians = degrees * (3.14159265358979323846 / 180.0);
    worst_trig = std::max({worst_trig, std::fabs(s - std::sin(radians)), std::fabs(c - std::cos(radians))});
  }
  EXPECT_LT(worst_exp, 1e-15);
  EXPECT_LT(worst_log, 1e-15);
  EXPECT_LT(worst_trig, 1e-14);  // the library's own reduction of radians differs a little
  double s = 1.0, c = 0.0;
  portable::sin_cos_degrees(90.0, s, c);
  EXPECT_EQ(s, 1.0);
  EXPECT_EQ(c, 0.0);
  portable::sin_cos_degrees(-180.0, s, c);
  EXPECT_EQ(c, -1.0);
  EXPECT_EQ(portable::exp(0.0), 1.0);
  EXPECT_EQ(portable::log(1.0), 0.0);
  EXPECT_EQ(portable::exp(-800.0), 0.0);
  EXPECT_TRUE(std::isinf(portable::log(0.0)));
  for (int k = 0; k < 200; ++k) {
    EXPECT_NEAR(toolkit::log_factorial(k), std::lgamma(k + 1.0), 1e-13 * (1.0 + std::lgamma(k + 1.0))) << k;
  }
}

// A stack of `views` whole views, view k holding the line integral levels[k]
// in every sample.
std::vector<float> level_views(const std::vector<double>& levels) {
  std::vector<float> v(levels.size() * scan::kViewSamples);
  for (std::size_t k = 0; k < levels.size(); ++k) {
    for (std::size_t i = 0; i < scan::kViewSamples; ++i) v[k * scan::kViewSamples + i] = static_cast<float>(levels[k]);
  }
  return v;
}

DoseSettings settings(double i0, std::uint64_t seed) {
  DoseSettings s;
  s.i0 = toolkit::constant_i0(i0);
  s.seed = seed;
  s.floor = 1e-6;  // far below one count: zero counts come back as 0 after rounding
  return s;
}

// The whole counts behind a noisy sample, read back through -ln(counts/I0)/M.
double counts_of(float sample, const DoseSettings& s) {
  return std::nearbyint(s.i0[0] * std::exp(-s.attenuation * static_cast<double>(sample)));
}

TEST(DoseNoise, MeansAndVariancesFollowThePoissonLawAtEveryLevel) {
  // Mean counts from 1e5 down to about 0.3 photons, across both ways of
  // drawing (inversion below 10, transformed rejection above).
  const DoseSettings s = settings(1e5, 20261208);
  std::vector<double> levels;
  for (double mean : {1e5, 2.0e4, 3000.0, 250.0, 40.0, 10.5, 9.5, 3.0, 0.3}) {
    levels.push_back(-std::log(mean / 1e5) / s.attenuation);
  }
  const std::vector<float> in = level_views(levels);
  std::vector<float> out(in.size());
  toolkit::add_dose_noise(s, in.data(), out.data(), 40, static_cast<int>(levels.size()), 2);
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const double expected = 1e5 * std::exp(-s.attenuation * static_cast<float>(levels[k]));
    double sum = 0.0, sum2 = 0.0;
    for (std::size_t i = 0; i < scan::kViewSamples; ++i) {
      const double n = counts_of(out[k * scan::kViewSamples + i], s);
      ASSERT_EQ(n, std::floor(n));
      sum += n;
      sum2 += n * n;
    }
    const double n = static_cast<double>(scan::kViewSamples);
    const double mean = sum / n, variance = sum2 / n - mean * mean;
    const double mean_sd = std::sqrt(expected / n);
    const double variance_sd = std::sqrt((expected + 2.0 * expected * expected) / n);
    std::printf("mean %10.4f: measured mean %10.4f (%+.2f sd), variance %10.4f (%+.2f sd)\n", expected,
                mean, (mean - expected) / mean_sd, variance, (variance - expected) / variance_sd);
    EXPECT_LT(std::fabs(mean - expected), 5.0 * mean_sd) << expected;
    EXPECT_LT(std::fabs(variance - expected), 5.0 * variance_sd) << expected;
  }
}

// Pearson's chi-square of the counts of one whole view against the Poisson
// law; classes with an expected number below 5 are pooled into the tails.
double chi_square_of_view(double mean, std::uint64_t seed, int& degrees_of_freedom) {
  const DoseSettings s = settings(1e5, seed);
  const std::vector<float> in = level_views({-std::log(mean / 1e5) / s.attenuation});
  std::vector<float> out(in.size());
  toolkit::add_dose_noise(s, in.data(), out.data(), 7, 1, 1);
  const double lambda = 1e5 * std::exp(-s.attenuation * in[0]);
  std::vector<double> observed(200, 0.0);
  for (float x : out) observed[std::min<std::size_t>(199, static_cast<std::size_t>(counts_of(x, s)))] += 1.0;
  const double n = static_cast<double>(scan::kViewSamples);
  std::vector<double> expected(200);
  for (int k = 0; k < 200; ++k) expected[k] = n * std::exp(-lambda + k * std::log(lambda) - std::lgamma(k + 1.0));
  int lo = 0, hi = 199;
  while (expected[lo] < 5.0) ++lo;
  while (expected[hi] < 5.0) --hi;
  double chi = 0.0, obs_lo = 0.0, exp_lo = 0.0, obs_hi = 0.0, exp_hi = 0.0;
  for (int k = 0; k < 200; ++k) {
    if (k <= lo) {
      obs_lo += observed[k];
      exp_lo += expected[k];
    } else if (k >= hi) {
      obs_hi += observed[k];
    } else {
      chi += (observed[k] - expected[k]) * (observed[k] - expected[k]) / expected[k];
    }
  }
  exp_hi = n;  // the upper class takes everything above the others
  for (int k = 0; k < hi; ++k) exp_hi -= expected[k];
  chi += (obs_lo - exp_lo) * (obs_lo - exp_lo) / exp_lo + (obs_hi - exp_hi) * (obs_hi - exp_hi) / exp_hi;
  degrees_of_freedom = hi - lo;
  return chi;
}

TEST(DoseNoise, ChiSquareOfTheCountsAtSmallMeans) {
  // 99.9% points of the chi-square law for the degrees of freedom found.
  auto critical = [](int df) {
    // Wilson-Hilferty, good to a few per cent here.
    const double z = 3.090, a = 2.0 / (9.0 * df);
    return df * std::pow(1.0 - a + z * std::sqrt(a), 3.0);
  };
  for (double mean : {0.7, 2.5, 6.0, 12.0, 30.0}) {
    int df = 0;
    const double chi = chi_square_of_view(mean, 99, df);
    std::printf("mean %5.1f: chi-square %.2f with %d degrees of freedom (99.9%% point %.1f)\n", mean, chi, df,
                critical(df));
    EXPECT_LT(chi, critical(df)) << mean;
  }
}

TEST(DoseNoise, BitsDependOnlyOnSeedAndSample) {
  // A varied stack of six views, views 100 ... 105 of the scan.
  std::vector<float> in(6 * scan::kViewSamples);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>((i * 2654435761u % 9973) * 0.006);
  DoseSettings s = settings(2e4, 7);
  s.electronic = 3.0;
  s.floor = 1.0;
  std::vector<float> one(in.size()), three(in.size()), pieces(in.size());
  toolkit::add_dose_noise(s, in.data(), one.data(), 100, 6, 1);
  toolkit::add_dose_noise(s, in.data(), three.data(), 100, 6, 3);
  // Pieces in reverse order: views 104-105, then 101-103, then 100.
  const std::size_t vs = scan::kViewSamples;
  toolkit::add_dose_noise(s, in.data() + 4 * vs, pieces.data() + 4 * vs, 104, 2, 2);
  toolkit::add_dose_noise(s, in.data() + 1 * vs, pieces.data() + 1 * vs, 101, 3, 1);
  toolkit::add_dose_noise(s, in.data(), pieces.data(), 100, 1, 1);
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(float)));
  EXPECT_EQ(0, std::memcmp(one.data(), pieces.data(), one.size() * sizeof(float)));
  // One sample alone, through the per-sample function.
  toolkit::DoseTally tally;
  const std::size_t i = 3 * vs + 12345;
  EXPECT_EQ(one[i], toolkit::noisy_sample(s, 103, scan::stack_index(103, 12345 / 256, 12345 % 256), in[i], tally));
  // Another seed: other noise nearly everywhere.
  DoseSettings other = s;
  other.seed = 8;
  std::vector<float> reseeded(in.size());
  toolkit::add_dose_noise(other, in.data(), reseeded.data(), 100, 6, 2);
  std::size_t same = 0;
  for (std::size_t k = 0; k < in.size(); ++k) same += one[k] == reseeded[k];
  EXPECT_LT(same, in.size() / 20);
}

TEST(DoseNoise, ElectronicNoiseFloorAndTally) {
  DoseSettings s = settings(1e4, 3);
  s.electronic = 5.0;
  s.floor = 1.0;
  const double mean_counts = 400.0;
  const std::vector<float> in = level_views({-std::log(mean_counts / 1e4) / s.attenuation, 1000.0});
  std::vector<float> out(in.size());
  const toolkit::DoseTally t = toolkit::add_dose_noise(s, in.data(), out.data(), 0, 2, 2);
  // First view: counts no longer whole; variance = mean + sigma^2.
  double sum = 0.0, sum2 = 0.0;
  for (std::size_t i = 0; i < scan::kViewSamples; ++i) {
    const double c = 1e4 * std::exp(-s.attenuation * static_cast<double>(out[i]));
    sum += c;
    sum2 += c * c;
  }
  const double n = static_cast<double>(scan::kViewSamples);
  const double variance = sum2 / n - (sum / n) * (sum / n);
  EXPECT_NEAR(sum / n, mean_counts, 5.0 * std::sqrt(425.0 / n));
  EXPECT_NEAR(variance, 425.0, 5.0 * std::sqrt(2.0 * 425.0 * 425.0 / n));
  // Second view: no photons; the samples whose electronic noise is below one
  // count (P = Phi(1/5)) are raised to the floor, which reads -ln(1/I0)/M.
  EXPECT_EQ(t.samples, 2 * scan::kViewSamples);
  EXPECT_NEAR(static_cast<double>(t.starved), n * (0.5 + 0.5 * std::erf(1.0 / (5.0 * std::sqrt(2.0)))), 600.0);
  EXPECT_NEAR(t.expected_counts, n * mean_counts, 1e-6 * n * mean_counts);
  EXPECT_FLOAT_EQ(*std::max_element(out.begin() + scan::kViewSamples, out.end()),
                  static_cast<float>(std::log(1e4) / s.attenuation));
  // NaN passes through and is counted apart.
  toolkit::DoseTally nan_tally;
  EXPECT_TRUE(std::isnan(toolkit::noisy_sample(s, 0, 0, std::nanf(""), nan_tally)));
  EXPECT_EQ(nan_tally.non_finite, 1u);
  EXPECT_EQ(nan_tally.samples, 0u);
}

TEST(DoseNoise, SettingsAndPerViewI0File) {
  DoseSettings s = settings(100.0, 1);
  EXPECT_NO_THROW(toolkit::check_dose_settings(s));
  s.floor = 100.0;
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "", [&] { toolkit::check_dose_settings(s); }));
  s = settings(100.0, 1);
  s.attenuation = 0.0;
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "", [&] { toolkit::check_dose_settings(s); }));
  s = settings(100.0, 1);
  s.i0.pop_back();
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "", [&] { toolkit::check_dose_settings(s); }));

  const std::string dir = testrun::make_temp_dir();
  {
    std::ofstream f(dir + "/i0.txt");
    f << "# modulated\n";
    for (int v = 0; v < scan::kViews; ++v) f << 1000 + 10 * v << (v % 8 == 7 ? "\n" : " ");
  }
  const std::vector<double> i0 = toolkit::read_i0_file(dir + "/i0.txt");
  ASSERT_EQ(i0.size(), 256u);
  EXPECT_EQ(i0[255], 3550.0);
  {
    std::ofstream f(dir + "/short.txt");
    f << "1 2 3\n";
  }
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "", [&] { toolkit::read_i0_file(dir + "/short.txt"); }));
  {
    std::ofstream f(dir + "/bad.txt");
    for (int v = 0; v < scan::kViews; ++v) f << (v == 9 ? "-5" : "10") << "\n";
  }
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "", [&] { toolkit::read_i0_file(dir + "/bad.txt"); }));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::run, "", [&] { toolkit::read_i0_file(dir + "/none.txt"); }));
  testrun::remove_tree(dir);
}

}  // namespace
