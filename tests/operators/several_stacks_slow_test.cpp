// Whole backprojections of several stacks in one walk, against each stack's
// own run.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "operators/backprojection.h"

namespace {

TEST(SeveralStacksRun, EveryAccumulatorIsTheSingleRun) {
  // A smooth disc in every view (a phantom's projections), random values, an
  // empty stack, and random weights with zeros among them.
  std::vector<std::vector<float>> proj(3, std::vector<float>(scan::kStackSamples, 0.0f));
  std::vector<float> detector_sum(scan::kStackSamples);
  std::mt19937 gen(31);
  std::uniform_real_distribution<float> value(-1.0f, 4.0f), weight(1.0f, 300.0f);
  for (int v = 0; v < scan::kViews; ++v)
    for (int r = 0; r < scan::kRows; ++r)
      for (int c = 0; c < scan::kColumns; ++c) {
        const std::size_t s = scan::stack_index(v, r, c);
        const int u = c - 128, h = 128 - r;
        proj[0][s] = u * u + h * h < 80 * 80 ? 30.0f + 0.25f * static_cast<float>((v + c) % 9) : 0.0f;
        proj[1][s] = value(gen);
        detector_sum[s] = s % 13 == 6 ? 0.0f : weight(gen);
      }
  std::vector<const float*> in;
  for (const std::vector<float>& p : proj) in.push_back(p.data());
  std::vector<std::vector<double>> accs(proj.size(), std::vector<double>(scan::kVolumeSamples, 0.0));
  std::vector<double*> out;
  for (std::vector<double>& a : accs) out.push_back(a.data());
  const int threads = tomio::available_threads();
  tomrec::backproject_stacks(in.data(), detector_sum.data(), out.data(), static_cast<int>(in.size()),
                             0, scan::kViews, threads, nullptr);
  for (std::size_t j = 0; j < proj.size(); ++j) {
    std::vector<double> alone(scan::kVolumeSamples, 0.0);
    tomrec::backproject_views(in[j], detector_sum.data(), alone.data(), 0, scan::kViews, threads,
                              nullptr);
    EXPECT_EQ(0, std::memcmp(accs[j].data(), alone.data(), alone.size() * sizeof(double)))
        << "stack " << j;
  }
}

}  // namespace
