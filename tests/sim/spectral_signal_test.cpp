// The energy integration of material path lengths: its sums against a plain
// double loop, its bits at every thread count and kernel, the floor and its
// tally, and the two-material decomposition on exact data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/failure.h"
#include "sim/spectral_signal.h"

namespace {

// Two materials, three energies, two bins (a counting-like and an
// energy-weighted one).
toolkit::SpectralModel small_model() {
  toolkit::SpectralModel m;
  m.energies = 3;
  m.materials = 2;
  m.bins = 2;
  m.attenuation = {0.40, 0.25, 0.20, 5.0, 2.0, 8.0};
  m.photons = {1000.0, 800.0, 300.0, 0.0, 800.0, 300.0};
  m.gain = {1.0, 1.0, 1.0, 40.0, 60.0, 80.0};
  return m;
}

std::vector<float> paths_of(std::int64_t rays) {
  std::vector<float> p(static_cast<std::size_t>(2 * rays));
  for (std::int64_t i = 0; i < rays; ++i) {
    p[static_cast<std::size_t>(i)] = static_cast<float>(0.01 * static_cast<double>(i % 997));
    p[static_cast<std::size_t>(rays + i)] = static_cast<float>(0.0001 * static_cast<double>(i % 101));
  }
  return p;
}

TEST(SpectralSignal, MatchesAPlainSum) {
  const toolkit::SpectralModel m = small_model();
  const std::int64_t rays = 1000;
  const std::vector<float> p = paths_of(rays);
  std::vector<float> out(static_cast<std::size_t>(2 * rays));
  toolkit::spectral_projection(m, {}, p.data(), rays, 0, out.data(), 2);
  for (std::int64_t i = 0; i < rays; ++i) {
    for (int b = 0; b < 2; ++b) {
      double s = 0.0, flat = 0.0;
      for (int e = 0; e < 3; ++e) {
        const double w = m.photons[b * 3 + e] * m.gain[b * 3 + e];
        s += w * std::exp(-(m.attenuation[e] * p[i] + m.attenuation[3 + e] * p[rays + i]));
        flat += w;
      }
      EXPECT_NEAR(out[b * rays + i], -std::log(s / flat), 1e-6 * (1.0 + std::fabs(std::log(s / flat))));
    }
  }
}

TEST(SpectralSignal, SameBitsAtEveryThreadCount) {
  const toolkit::SpectralModel m = small_model();
  const std::int64_t rays = 3001;  // not a whole number of blocks
  const std::vector<float> p = paths_of(rays);
  for (toolkit::SpectralNoise kind : {toolkit::SpectralNoise::none, toolkit::SpectralNoise::counting,
                                      toolkit::SpectralNoise::compound, toolkit::SpectralNoise::moments}) {
    toolkit::SpectralNoiseSettings noise;
    noise.kind = kind;
    noise.seed = 42;
    noise.electronic = kind == toolkit::SpectralNoise::counting ? 0.0 : 2.0;
    std::vector<float> one(static_cast<std::size_t>(2 * rays)), three(one.size());
    const toolkit::SpectralTally a = toolkit::spectral_projection(m, noise, p.data(), rays, 5, one.data(), 1);
    const toolkit::SpectralTally b = toolkit::spectral_projection(m, noise, p.data(), rays, 5, three.data(), 3);
    EXPECT_EQ(std::memcmp(one.data(), three.data(), one.size() * sizeof(float)), 0);
    EXPECT_EQ(a.floored, b.floored);
  }
}

TEST(SpectralSignal, FloorRaisesAndCounts) {
  const toolkit::SpectralModel m = small_model();
  std::vector<float> p = {1e6f, 0.0f, 0.0f, 0.0f};  // ray 0 sees nothing
  std::vector<float> out(4);
  toolkit::SpectralNoiseSettings noise;
  noise.kind = toolkit::SpectralNoise::counting;
  const toolkit::SpectralTally t = toolkit::spectral_projection(m, noise, p.data(), 2, 0, out.data(), 1);
  EXPECT_EQ(t.floored, (std::vector<std::int64_t>{1, 1}));
  EXPECT_FLOAT_EQ(out[0], static_cast<float>(-std::log(1.0 / 2100.0)));
  const std::vector<double> floor = toolkit::signal_floor(m);
  EXPECT_DOUBLE_EQ(floor[1], (800.0 * 60 + 300.0 * 80) / 1100.0);
}

TEST(SpectralSignal, RefusesModelsWithoutMeaning) {
  toolkit::SpectralModel m = small_model();
  m.attenuation[2] = -1.0;
  EXPECT_THROW(toolkit::check_spectral_model(m), tomio::Failure);
  m = small_model();
  m.photons.pop_back();
  EXPECT_THROW(toolkit::check_spectral_model(m), tomio::Failure);
}

TEST(SpectralSignal, DecompositionInvertsTheModel) {
  const toolkit::SpectralModel m = small_model();
  const std::int64_t rays = 600;
  const std::vector<float> p = paths_of(rays);
  std::vector<float> log(static_cast<std::size_t>(2 * rays)), found(log.size());
  toolkit::spectral_projection(m, {}, p.data(), rays, 0, log.data(), 2);
  toolkit::decompose_two_materials(m, log.data(), rays, 12, found.data(), 2);
  for (std::size_t i = 0; i < found.size(); ++i) EXPECT_NEAR(found[i], p[i], 2e-4 * (1.0 + p[i]));
}

}  // namespace
