// Several stacks backprojected in one walk: each accumulator must hold the
// bits of its stack's own backprojection, at any number of threads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/oracle/backprojection_oracle.h"
#include "tests/support/test_volumes.h"
#include "operators/backprojection.h"

namespace {

// Stacks that differ: random values, all zeros, and one with negative zeros
// and large values; detector sums random with zeros among them.
struct SeveralStacks {
  std::vector<std::vector<float>> proj;
  std::vector<float> detector_sum;
  SeveralStacks() : proj(3, std::vector<float>(scan::kStackSamples, 0.0f)),
                    detector_sum(scan::kStackSamples) {
    std::mt19937 gen(23);
    std::uniform_real_distribution<float> value(-3.0f, 5.0f), weight(0.25f, 200.0f);
    for (std::size_t i = 0; i < scan::kStackSamples; ++i) {
      proj[0][i] = value(gen);
      proj[2][i] = i % 5 == 1 ? -0.0f : value(gen) * 1e6f;
      detector_sum[i] = i % 7 == 3 ? 0.0f : weight(gen);
    }
  }
  std::vector<const float*> pointers() const {
    std::vector<const float*> out;
    for (const std::vector<float>& p : proj) out.push_back(p.data());
    return out;
  }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(SeveralStacks, EachAccumulatorIsTheSingleStacks) {
  const SeveralStacks stacks;
  const std::vector<const float*> in = stacks.pointers();
  const int first = 63, last = 65;
  for (int threads : {1, 2, 3}) {
    std::vector<std::vector<double>> accs(in.size(), std::vector<double>(scan::kVolumeSamples, 0.0));
    std::vector<double*> out;
    for (std::vector<double>& a : accs) out.push_back(a.data());
    std::vector<int> reported;
    tomrec::backproject_stacks(in.data(), stacks.detector_sum.data(), out.data(),
                               static_cast<int>(in.size()), first, last, threads,
                               [&](int v) { reported.push_back(v); });
    EXPECT_EQ(reported.size(), 2u);
    for (std::size_t j = 0; j < in.size(); ++j) {
      std::vector<double> alone(scan::kVolumeSamples, 0.0);
      tomrec::backproject_views(in[j], stacks.detector_sum.data(), alone.data(), first, last,
                                threads, nullptr);
      EXPECT_TRUE(same_bits(accs[j], alone)) << threads << " threads, stack " << j;
      if (threads == 1) {
        std::vector<double> literal(scan::kVolumeSamples, 0.0);
        oracle::backproject_views(in[j], stacks.detector_sum.data(), literal.data(), first, last);
        EXPECT_TRUE(same_bits(accs[j], literal)) << "stack " << j;
      }
    }
  }
}

// More stacks than one walk takes, into accumulators that already hold
// values: each walk adds to what is there, and every stack is still its own.
TEST(SeveralStacks, ManyStacksAddToWhatTheAccumulatorsHold) {
  const SeveralStacks stacks;
  const std::vector<const float*> three = stacks.pointers();
  std::vector<const float*> in;
  for (int j = 0; j < 11; ++j) in.push_back(three[static_cast<std::size_t>(j % 3)]);
  const int first = 100, last = 101;
  std::vector<std::vector<double>> accs;
  for (std::size_t j = 0; j < in.size(); ++j)
    accs.emplace_back(scan::kVolumeSamples, 0.5 * static_cast<double>(j) - 1.0);
  std::vector<double*> out;
  for (std::vector<double>& a : accs) out.push_back(a.data());
  std::vector<int> reported;
  tomrec::backproject_stacks(in.data(), stacks.detector_sum.data(), out.data(),
                             static_cast<int>(in.size()), first, last, 2,
                             [&](int v) { reported.push_back(v); });
  EXPECT_EQ(reported, std::vector<int>{first});
  for (std::size_t j = 0; j < in.size(); ++j) {
    std::vector<double> alone(scan::kVolumeSamples, 0.5 * static_cast<double>(j) - 1.0);
    tomrec::backproject_views(in[j], stacks.detector_sum.data(), alone.data(), first, last, 2,
                              nullptr);
    EXPECT_TRUE(same_bits(accs[j], alone)) << "stack " << j;
  }
}

}  // namespace
