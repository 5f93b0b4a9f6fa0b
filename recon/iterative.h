// Iterative reconstruction with the projector's own map A and its exact
// transpose: SIRT (one subset of views) and OS-SART (several), both
//   x <- x + relaxation * C_s^-1 A_s^T R^-1 (b - A_s x)   for each subset s,
// with the row sums R = A 1 (per ray) and the column sums C_s = A_s^T 1 (per
// voxel and subset). A ray whose row sum is 0 and a voxel whose column sum
// is 0 take no part. Optionally every voxel is held at 0 or above after each
// subset. Every step is deterministic: the same bits at any thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quant {

// The projector pair the iterations run on: its sizes, the projection of
// one view and the exact transpose of a set of views. Both must be
// deterministic; the iterations then are too.
struct ProjectorPair {
  std::int64_t views = 0;
  std::int64_t view_samples = 0;    // rows x columns
  std::int64_t volume_samples = 0;
  // Projects the volume x along the rays of `view` into out (view_samples).
  std::function<void(int view, const float* x, float* out)> project_view;
  // volume = the transpose applied to the samples of `views` in `stack`
  // (a whole stack, views x view_samples; other views are not read).
  std::function<void(const float* stack, const std::vector<int>& views, float* volume, int threads)>
      adjoint_views;
  // Names the system for the cache of its sums: two pairs with the same
  // key must be the same map.
  std::string cache_key;

  std::int64_t stack_samples() const { return views * view_samples; }
};

// The pair of the defined scan: the projector tomproj runs and its exact
// transpose.
ProjectorPair defined_pair();

// The views of each subset, in the order the subsets are visited: subset j
// holds the views v with v mod S = j; they are visited in bit-reversed order
// of j (S a power of two) or with the largest stride prime to S, so that
// consecutive subsets look from far-apart directions.
std::vector<std::vector<int>> subset_views(int subsets, int views);
std::vector<std::vector<int>> subset_views(int subsets);  // of the defined scan

// R = A 1 (ProjectionStack layout) and, per subset (in the order of
// subset_views), C_s = A_s^T 1 (Volume layout, one after another).
struct SystemSums {
  int subsets = 0;
  std::vector<float> row_sums;
  std::vector<float> column_sums;
};

// Computes the sums, or reads them from cache_dir when they are there
// ("row_sums.img" and "column_sums_<S>.img", made by the same code; their
// sizes are checked) and writes them there when they are not. An empty
// cache_dir computes them without keeping them.
// On a pair, subsets = 0 makes the row sums alone (CGLS needs no column sums).
SystemSums system_sums(const ProjectorPair& pair, int subsets, const std::string& cache_dir, int threads);
SystemSums system_sums(int subsets, const std::string& cache_dir, int threads);  // of the defined scan

struct IterativeOptions {
  int iterations = 10;       // at most this many passes over all views
  int subsets = 1;           // 1: SIRT; more: OS-SART
  double relaxation = 1.0;
  bool nonnegative = true;
  // Stopping rules, checked after each pass (0 leaves a rule out):
  // the relative residual |b - Ax| / |b| fell by less than this fraction
  // of itself over the pass;
  double tolerance = 0.0;
  // the root mean square residual over the rays that meet the grid is at
  // most `discrepancy` times this, the noise level of the samples (going
  // further fits noise). The factor is above 1 because the residual of an
  // image held at 0 or above levels off just above the noise itself: the
  // noise of the rays through empty voxels cannot be fitted.
  double noise_level = 0.0;
  double discrepancy = 1.1;
  int threads = 1;
};

// The one check of each option, for the tools, the bindings and the study
// files to call before any work; each is a usage failure naming the option.
// The relaxation lies strictly between 0 and 2, the range in which the
// iteration converges; the subsets number 1 ... 256 (views); the tolerance
// lies in [0, 1) (a fraction of the residual).
void check_relaxation(double relaxation);
void check_subset_count(int subsets, int views);
void check_subset_count(int subsets);  // of the defined scan
void check_tolerance(double tolerance);
// Every option: at least one pass, the checks above, a
// noise level not negative and a discrepancy factor of at least 1.
void check_iterative_options(const IterativeOptions& options, int views);
void check_iterative_options(const IterativeOptions& options);  // of the defined scan

// Figures after one pass. The residual is summed over the subsets as each
// was visited in the pass.
struct IterationFigures {
  int iteration = 0;               // 1, 2, ...
  double relative_residual = 0.0;  // |b - Ax| / |b|
  double rms_residual = 0.0;       // over the rays with a non-zero row sum
  double seconds = 0.0;            // since the start of the first pass
  bool has_truth = false;
  double rmse = 0.0;               // against the truth, whole Volume
  double pearson_r = 0.0;
};

// The noise level, for the stopping rule, of a stack made noisy by the dose
// model (i0 photons per pixel, attenuation mu per unit value and voxel,
// electronic noise of deviation `electronic` counts): each sample b implies
// N = i0 exp(-mu b) counts (at least 1), whose line integral has the variance
// (N + electronic^2) / (mu N)^2; the level is the root of their mean over
// the rays whose row sum is not 0, summed in stack order.
double expected_noise_level(const float* stack, const std::vector<float>& row_sums, double i0,
                            double mu, double electronic);

// RMSE and Pearson r of a Volume against a truth, in double.
void compare_to_truth(const float* volume, const float* truth, std::int64_t samples, double& rmse,
                      double& pearson_r);
void compare_to_truth(const float* volume, const float* truth, double& rmse, double& pearson_r);

// Runs the passes on `x` (the start: zeros or an FDK image). `truth` may be
// null. after_pass(figures, x) is called after every pass; returning false
// stops. Returns the figures of every pass; the reason for stopping is
// written to `stopped_by` ("iterations", "tolerance", "noise level",
// "callback") when it is not null.
using AfterPass = std::function<bool(const IterationFigures&, const std::vector<float>&)>;
std::vector<IterationFigures> iterative_reconstruct(const ProjectorPair& pair, const float* stack,
                                                    std::vector<float>& x, const IterativeOptions& options,
                                                    const SystemSums& sums, const float* truth,
                                                    const AfterPass& after_pass,
                                                    std::string* stopped_by = nullptr);
// The same on the defined scan.
std::vector<IterationFigures> iterative_reconstruct(
    const float* stack, std::vector<float>& x, const IterativeOptions& options,
    const SystemSums& sums, const float* truth, const AfterPass& after_pass,
    std::string* stopped_by = nullptr);

// CGLS: conjugate gradients on the normal equations A^T A x = A^T b, the
// least-squares solution without constraints (options.subsets,
// relaxation and nonnegative are not used; the stopping rules are the
// same, with row_sums only telling which rays meet the grid). Every inner
// product is summed in double, view by view in view order.
std::vector<IterationFigures> cgls_reconstruct(const ProjectorPair& pair, const float* stack,
                                               std::vector<float>& x, const IterativeOptions& options,
                                               const std::vector<float>& row_sums, const float* truth,
                                               const AfterPass& after_pass,
                                               std::string* stopped_by = nullptr);

}  // namespace quant
