// The iterations on a projector pair of their own: a small dense system
// whose least-squares solution is known, so that SIRT, OS-SART and CGLS are
// checked for what they solve, not only for how they run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <vector>

#include "recon/iterative.h"

namespace {

// A system of `views` views of `per_view` rays over `voxels` voxels with
// non-negative weights: A[ray][voxel], one ray after another.
struct DenseSystem {
  int views, per_view, voxels;
  std::vector<double> weights;

  quant::ProjectorPair pair() const {
    quant::ProjectorPair p;
    p.views = views;
    p.view_samples = per_view;
    p.volume_samples = voxels;
    p.cache_key = "dense";
    p.project_view = [this](int view, const float* x, float* out) {
      for (int i = 0; i < per_view; ++i) {
        const double* row = &weights[static_cast<std::size_t>((view * per_view + i) * voxels)];
        double sum = 0.0;
        for (int j = 0; j < voxels; ++j) sum += row[j] * x[j];
        out[i] = static_cast<float>(sum);
      }
    };
    p.adjoint_views = [this](const float* stack, const std::vector<int>& subset, float* volume, int) {
      for (int j = 0; j < voxels; ++j) {
        double sum = 0.0;
        for (int view : subset)
          for (int i = 0; i < per_view; ++i) {
            const int ray = view * per_view + i;
            sum += weights[static_cast<std::size_t>(ray * voxels + j)] * stack[ray];
          }
        volume[j] = static_cast<float>(sum);
      }
    };
    return p;
  }
};

DenseSystem random_system(int views, int per_view, int voxels, unsigned seed) {
  DenseSystem system{views, per_view, voxels, {}};
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> weight(0.0, 1.0);
  system.weights.resize(static_cast<std::size_t>(views * per_view * voxels));
  for (double& w : system.weights) w = weight(engine);
  return system;
}

std::vector<float> project_system(const DenseSystem& system, const std::vector<float>& x) {
  const quant::ProjectorPair pair = system.pair();
  std::vector<float> b(static_cast<std::size_t>(pair.stack_samples()));
  for (int v = 0; v < system.views; ++v) pair.project_view(v, x.data(), b.data() + v * system.per_view);
  return b;
}

double max_difference(const std::vector<float>& a, const std::vector<float>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(double(a[i]) - b[i]));
  return worst;
}

const std::vector<float> kTruth = {0.5f, 1.0f, 0.0f, 2.0f, 0.25f, 1.5f};

// A consistent, overdetermined system: every method must find its solution,
// and the figures must not depend on the thread count.
TEST(IterativePair, SirtOsSartAndCglsSolveAConsistentSystem) {
  const DenseSystem system = random_system(8, 3, static_cast<int>(kTruth.size()), 7);
  const quant::ProjectorPair pair = system.pair();
  const std::vector<float> b = project_system(system, kTruth);

  for (int subsets : {1, 4}) {
    const quant::SystemSums sums = quant::system_sums(pair, subsets, "", 1);
    quant::IterativeOptions options;
    options.subsets = subsets;
    options.iterations = 3000;
    options.tolerance = 1e-9;
    std::vector<float> x(kTruth.size(), 0.0f);
    quant::iterative_reconstruct(pair, b.data(), x, options, sums, kTruth.data(), nullptr);
    EXPECT_LT(max_difference(x, kTruth), 2e-3) << subsets << " subsets";
  }

  quant::IterativeOptions options;
  options.iterations = 40;
  const quant::SystemSums sums = quant::system_sums(pair, 1, "", 1);
  std::vector<float> one(kTruth.size(), 0.0f), two(kTruth.size(), 0.0f);
  std::string stopped;
  const auto figures = quant::cgls_reconstruct(pair, b.data(), one, options, sums.row_sums, kTruth.data(),
                                               nullptr, &stopped);
  EXPECT_LT(max_difference(one, kTruth), 1e-4);
  ASSERT_FALSE(figures.empty());
  EXPECT_LT(figures.back().relative_residual, 1e-5);
  options.threads = 2;
  quant::cgls_reconstruct(pair, b.data(), two, options, sums.row_sums, nullptr, nullptr);
  EXPECT_EQ(0, std::memcmp(one.data(), two.data(), one.size() * sizeof(float)));
}

// On an inconsistent system CGLS reaches the least-squares solution, where
// the residual is orthogonal to every column: A^T (b - A x) = 0.
TEST(IterativePair, CglsReachesTheLeastSquaresSolution) {
  const DenseSystem system = random_system(5, 4, 4, 11);
  const quant::ProjectorPair pair = system.pair();
  std::vector<float> b(static_cast<std::size_t>(pair.stack_samples()));
  std::mt19937 engine(3);
  std::uniform_real_distribution<float> sample(0.0f, 3.0f);
  for (float& s : b) s = sample(engine);
  const quant::SystemSums sums = quant::system_sums(pair, 1, "", 1);
  quant::IterativeOptions options;
  options.iterations = 30;
  std::vector<float> x(4, 0.0f);
  quant::cgls_reconstruct(pair, b.data(), x, options, sums.row_sums, nullptr, nullptr);

  const std::vector<float> ax = project_system(system, x);
  std::vector<float> residual(b.size());
  for (std::size_t k = 0; k < b.size(); ++k) residual[k] = b[k] - ax[k];
  std::vector<int> all(static_cast<std::size_t>(system.views));
  for (int v = 0; v < system.views; ++v) all[static_cast<std::size_t>(v)] = v;
  std::vector<float> gradient(4);
  pair.adjoint_views(residual.data(), all, gradient.data(), 1);
  for (float g : gradient) EXPECT_LT(std::fabs(g), 1e-3);
}

// A start of the wrong size and sums of another system are refused by name.
TEST(IterativePair, RefusesAStartOrSumsOfAnotherShape) {
  const DenseSystem system = random_system(4, 2, 3, 5);
  const DenseSystem other = random_system(4, 3, 3, 5);
  const quant::ProjectorPair pair = system.pair();
  const std::vector<float> b(static_cast<std::size_t>(pair.stack_samples()), 1.0f);
  const quant::SystemSums sums = quant::system_sums(pair, 1, "", 1);
  quant::IterativeOptions options;
  std::vector<float> wrong(5, 0.0f);
  EXPECT_ANY_THROW(quant::iterative_reconstruct(pair, b.data(), wrong, options, sums, nullptr, nullptr));
  std::vector<float> x(3, 0.0f);
  const quant::SystemSums other_sums = quant::system_sums(other.pair(), 1, "", 1);
  EXPECT_ANY_THROW(quant::cgls_reconstruct(pair, b.data(), x, options, other_sums.row_sums, nullptr, nullptr));
}

}  // namespace
