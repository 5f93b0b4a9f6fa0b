#include "recon/iterative.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numeric>

#include "core/failure.h"
#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "operators/projector_adjoint.h"
#include "core/sample_files.h"

namespace quant {

namespace {

bool power_of_two(int n) { return n > 0 && (n & (n - 1)) == 0; }

int bit_reversed(int j, int bits) {
  int r = 0;
  for (int b = 0; b < bits; ++b) r |= ((j >> b) & 1) << (bits - 1 - b);
  return r;
}

// The visiting order of the subsets 0 ... S-1.
std::vector<int> subset_order(int subsets) {
  std::vector<int> order(static_cast<std::size_t>(subsets));
  if (power_of_two(subsets)) {
    int bits = 0;
    while ((1 << bits) < subsets) ++bits;
    for (int j = 0; j < subsets; ++j) order[static_cast<std::size_t>(j)] = bit_reversed(j, bits);
    return order;
  }
  // A stride near the golden section of S and prime to it visits every
  // subset once and keeps consecutive ones apart.
  int stride = std::max(1, static_cast<int>(std::lround(subsets * 0.381966)));
  while (std::gcd(stride, subsets) != 1) ++stride;
  for (int j = 0; j < subsets; ++j)
    order[static_cast<std::size_t>(j)] = static_cast<int>((static_cast<long long>(j) * stride) % subsets);
  return order;
}

std::string column_sums_name(int subsets, int j) {
  return "column_sums_" + std::to_string(subsets) + "_" + std::to_string(j) + ".img";
}

}  // namespace

void check_subset_count(int subsets, int view_count) {
  if (subsets < 1 || subsets > view_count)
    tomio::fail_usage("the number of subsets must lie in 1 ... " + std::to_string(view_count));
}

void check_subset_count(int subsets) { check_subset_count(subsets, scan::kViews); }

std::vector<std::vector<int>> subset_views(int subsets, int view_count) {
  check_subset_count(subsets, view_count);
  std::vector<std::vector<int>> views;
  for (int j : subset_order(subsets)) {
    std::vector<int> subset;
    for (int v = j; v < view_count; v += subsets) subset.push_back(v);
    views.push_back(std::move(subset));
  }
  return views;
}

std::vector<std::vector<int>> subset_views(int subsets) { return subset_views(subsets, scan::kViews); }

ProjectorPair defined_pair() {
  ProjectorPair pair;
  pair.views = scan::kViews;
  pair.view_samples = static_cast<std::int64_t>(scan::kViewSamples);
  pair.volume_samples = static_cast<std::int64_t>(scan::kVolumeSamples);
  pair.project_view = [](int view, const float* x, float* out) {
    // The defined projector writes a view at its place in a whole stack.
    tomproj::project_view(view, x, out - scan::stack_index(view, 0, 0));
  };
  pair.adjoint_views = [](const float* stack, const std::vector<int>& views, float* volume, int threads) {
    tomproj::project_adjoint_views(stack, views, volume, threads);
  };
  // The defined scan's sums keep the names they always had.
  pair.cache_key = "";
  return pair;
}

SystemSums system_sums(int subsets, const std::string& cache_dir, int threads) {
  return system_sums(defined_pair(), subsets, cache_dir, threads);
}

SystemSums system_sums(const ProjectorPair& pair, int subsets, const std::string& cache_dir, int threads) {
  // No subsets: the row sums alone, all that CGLS needs.
  const std::vector<std::vector<int>> views =
      subsets == 0 ? std::vector<std::vector<int>>{} : subset_views(subsets, static_cast<int>(pair.views));
  const std::size_t stack_samples = static_cast<std::size_t>(pair.stack_samples());
  const std::size_t volume_samples = static_cast<std::size_t>(pair.volume_samples);
  SystemSums sums;
  sums.subsets = subsets;
  const std::filesystem::path dir(cache_dir);
  // A cached file of the wrong size (a run stopped while another wrote it
  // by hand, a truncated copy) is made again, never read.
  auto cached = [&](const std::string& name, std::size_t samples) {
    std::error_code error;
    return !cache_dir.empty() &&
           std::filesystem::file_size(dir / name, error) == samples * sizeof(float) && !error;
  };
  auto keep = [&](const std::string& name, const std::vector<float>& samples) {
    if (cache_dir.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) tomio::fail_output("cannot create the cache folder " + cache_dir + ": " + error.message());
    toolkit::write_float_samples((dir / name).string(), samples);
  };
  // The sums of another system than the defined one carry its key in their
  // names, so that one cache folder serves every geometry.
  const std::string prefix = pair.cache_key.empty() ? "" : pair.cache_key + "_";

  const std::string row_name = prefix + "row_sums.img";
  if (cached(row_name, stack_samples)) {
    sums.row_sums = toolkit::read_float_samples((dir / row_name).string(), stack_samples);
  } else {
    const std::vector<float> ones(volume_samples, 1.0f);
    sums.row_sums.assign(stack_samples, 0.0f);
    tomio::parallel_for(static_cast<int>(pair.views), threads, [&](int v, int) {
      pair.project_view(v, ones.data(), sums.row_sums.data() + static_cast<std::size_t>(v) *
                                                                   static_cast<std::size_t>(pair.view_samples));
    });
    keep(row_name, sums.row_sums);
  }

  sums.column_sums.assign(volume_samples * static_cast<std::size_t>(subsets), 0.0f);
  std::vector<float> ones_stack;
  for (int j = 0; j < subsets; ++j) {
    float* target = sums.column_sums.data() + volume_samples * static_cast<std::size_t>(j);
    const std::string name = prefix + column_sums_name(subsets, j);
    std::vector<float> volume;
    if (cached(name, volume_samples)) {
      volume = toolkit::read_float_samples((dir / name).string(), volume_samples);
    } else {
      if (ones_stack.empty()) ones_stack.assign(stack_samples, 1.0f);
      volume.assign(volume_samples, 0.0f);
      pair.adjoint_views(ones_stack.data(), views[static_cast<std::size_t>(j)], volume.data(), threads);
      keep(name, volume);
    }
    std::copy(volume.begin(), volume.end(), target);
  }
  return sums;
}

double expected_noise_level(const float* stack, const std::vector<float>& row_sums, double i0,
                            double mu, double electronic) {
  if (!(i0 > 0.0) || !(mu > 0.0) || !(electronic >= 0.0))
    tomio::fail_usage("the dose must be positive, the attenuation positive and the electronic noise not negative");
  double sum = 0.0;
  std::size_t rays = 0;
  for (std::size_t i = 0; i < row_sums.size(); ++i) {
    if (row_sums[i] == 0.0f) continue;
    const double counts = std::max(1.0, i0 * std::exp(-mu * static_cast<double>(stack[i])));
    sum += (counts + electronic * electronic) / ((mu * counts) * (mu * counts));
    ++rays;
  }
  return rays > 0 ? std::sqrt(sum / static_cast<double>(rays)) : 0.0;
}

void compare_to_truth(const float* volume, const float* truth, double& rmse, double& pearson_r) {
  compare_to_truth(volume, truth, static_cast<std::int64_t>(scan::kVolumeSamples), rmse, pearson_r);
}

void compare_to_truth(const float* volume, const float* truth, std::int64_t samples, double& rmse,
                      double& pearson_r) {
  const std::size_t n = static_cast<std::size_t>(samples);
  double sa = 0, sb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sa += volume[i];
    sb += truth[i];
  }
  const double ma = sa / n, mb = sb / n;
  double saa = 0, sbb = 0, sab = 0, se = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = volume[i] - ma, b = truth[i] - mb, e = static_cast<double>(volume[i]) - truth[i];
    saa += a * a;
    sbb += b * b;
    sab += a * b;
    se += e * e;
  }
  rmse = std::sqrt(se / n);
  pearson_r = (saa > 0 && sbb > 0) ? sab / std::sqrt(saa * sbb) : 0.0;
}

void check_relaxation(double relaxation) {
  if (!(relaxation > 0.0 && relaxation < 2.0)) tomio::fail_usage("the relaxation must lie in (0, 2)");
}

void check_tolerance(double tolerance) {
  if (!(tolerance >= 0.0 && tolerance < 1.0)) tomio::fail_usage("the tolerance must lie in [0, 1)");
}

void check_iterative_options(const IterativeOptions& options, int view_count) {
  if (options.iterations < 1) tomio::fail_usage("the iteration count must be at least 1");
  check_subset_count(options.subsets, view_count);
  check_relaxation(options.relaxation);
  check_tolerance(options.tolerance);
  if (!(options.noise_level >= 0.0)) tomio::fail_usage("the noise level must not be negative");
  if (!(options.discrepancy >= 1.0)) tomio::fail_usage("the discrepancy factor must be at least 1");
}

void check_iterative_options(const IterativeOptions& options) { check_iterative_options(options, scan::kViews); }

namespace {

// Figures after a pass, and whether a stopping rule ends the run.
bool finish_pass(int pass, double r_norm2, double b_norm2, std::size_t rays,
                 std::chrono::steady_clock::time_point start, const std::vector<float>& x,
                 const float* truth, const IterativeOptions& options, const AfterPass& after_pass,
                 double& previous, std::vector<IterationFigures>& figures, std::string* stopped_by) {
  IterationFigures f;
  f.iteration = pass;
  f.relative_residual = b_norm2 > 0 ? std::sqrt(r_norm2 / b_norm2) : 0.0;
  f.rms_residual = rays > 0 ? std::sqrt(r_norm2 / rays) : 0.0;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (truth) {
    f.has_truth = true;
    compare_to_truth(x.data(), truth, static_cast<std::int64_t>(x.size()), f.rmse, f.pearson_r);
  }
  figures.push_back(f);
  if (after_pass && !after_pass(f, x)) {
    if (stopped_by) *stopped_by = "callback";
    return true;
  }
  if (options.noise_level > 0.0 && f.rms_residual <= options.discrepancy * options.noise_level) {
    if (stopped_by) *stopped_by = "noise level";
    return true;
  }
  if (options.tolerance > 0.0 && previous > 0.0 &&
      (previous - f.relative_residual) < options.tolerance * previous) {
    if (stopped_by) *stopped_by = "tolerance";
    return true;
  }
  previous = f.relative_residual;
  return false;
}

void check_run(const ProjectorPair& pair, const std::vector<float>& x, const std::vector<float>& row_sums,
               const IterativeOptions& options) {
  check_iterative_options(options, static_cast<int>(pair.views));
  if (static_cast<std::int64_t>(x.size()) != pair.volume_samples)
    tomio::fail_usage("the start has " + std::to_string(x.size()) + " voxels, the scan's volume " +
                      std::to_string(pair.volume_samples));
  if (static_cast<std::int64_t>(row_sums.size()) != pair.stack_samples())
    tomio::fail_usage("the row sums were made for another scan");
}

// |b|^2 and the number of rays that take part (row sum not 0), in stack
// order, so that the figures do not depend on the threads.
void stack_norm(const float* stack, const std::vector<float>& row_sums, double& b_norm2, std::size_t& rays) {
  b_norm2 = 0.0;
  rays = 0;
  for (std::size_t i = 0; i < row_sums.size(); ++i) {
    if (row_sums[i] == 0.0f) continue;
    b_norm2 += static_cast<double>(stack[i]) * stack[i];
    ++rays;
  }
}

}  // namespace

std::vector<IterationFigures> iterative_reconstruct(const float* stack, std::vector<float>& x,
                                                    const IterativeOptions& options, const SystemSums& sums,
                                                    const float* truth, const AfterPass& after_pass,
                                                    std::string* stopped_by) {
  return iterative_reconstruct(defined_pair(), stack, x, options, sums, truth, after_pass, stopped_by);
}

std::vector<IterationFigures> iterative_reconstruct(const ProjectorPair& pair, const float* stack,
                                                    std::vector<float>& x, const IterativeOptions& options,
                                                    const SystemSums& sums, const float* truth,
                                                    const AfterPass& after_pass, std::string* stopped_by) {
  if (options.subsets != sums.subsets)
    tomio::fail_usage("the column sums were made for another number of subsets");
  check_run(pair, x, sums.row_sums, options);
  const std::vector<std::vector<int>> views = subset_views(options.subsets, static_cast<int>(pair.views));
  const int threads = std::max(1, options.threads);
  const std::size_t view_samples = static_cast<std::size_t>(pair.view_samples);
  const std::size_t volume_samples = static_cast<std::size_t>(pair.volume_samples);

  double b_norm2 = 0.0;
  std::size_t rays = 0;
  stack_norm(stack, sums.row_sums, b_norm2, rays);

  std::vector<float> projected(static_cast<std::size_t>(pair.stack_samples()), 0.0f);
  std::vector<float> residual(projected.size(), 0.0f);
  std::vector<float> correction(volume_samples);
  std::vector<double> view_norm2(static_cast<std::size_t>(pair.views));
  std::vector<IterationFigures> figures;
  const auto start = std::chrono::steady_clock::now();
  double previous = -1.0;
  if (stopped_by) *stopped_by = "iterations";
  // The update runs over blocks of voxels; each voxel's arithmetic is its own.
  const std::size_t block = 1 << 16;
  const int blocks = static_cast<int>((volume_samples + block - 1) / block);

  for (int pass = 1; pass <= options.iterations; ++pass) {
    double r_norm2 = 0.0;
    for (std::size_t s = 0; s < views.size(); ++s) {
      const std::vector<int>& subset = views[s];
      const float* column = sums.column_sums.data() + volume_samples * s;
      // Forward projection of the subset's views and the weighted residual.
      tomio::parallel_for(static_cast<int>(subset.size()), threads, [&](int i, int) {
        const int v = subset[static_cast<std::size_t>(i)];
        const std::size_t begin = static_cast<std::size_t>(v) * view_samples, end = begin + view_samples;
        pair.project_view(v, x.data(), projected.data() + begin);
        double norm2 = 0.0;
        for (std::size_t k = begin; k < end; ++k) {
          const float row = sums.row_sums[k];
          if (row == 0.0f) {
            residual[k] = 0.0f;
            continue;
          }
          const double difference = static_cast<double>(stack[k]) - projected[k];
          norm2 += difference * difference;
          residual[k] = static_cast<float>(difference / row);
        }
        view_norm2[static_cast<std::size_t>(v)] = norm2;
      });
      for (int v : subset) r_norm2 += view_norm2[static_cast<std::size_t>(v)];
      pair.adjoint_views(residual.data(), subset, correction.data(), threads);
      tomio::parallel_for(blocks, threads, [&](int b, int) {
        const std::size_t begin = static_cast<std::size_t>(b) * block;
        const std::size_t end = std::min(volume_samples, begin + block);
        for (std::size_t j = begin; j < end; ++j) {
          if (column[j] == 0.0f) continue;
          double value = x[j] + options.relaxation * (static_cast<double>(correction[j]) / column[j]);
          if (options.nonnegative && !(value >= 0.0)) value = 0.0;
          x[j] = static_cast<float>(value);
        }
      });
    }
    if (finish_pass(pass, r_norm2, b_norm2, rays, start, x, truth, options, after_pass, previous, figures,
                    stopped_by))
      break;
  }
  return figures;
}

std::vector<IterationFigures> cgls_reconstruct(const ProjectorPair& pair, const float* stack,
                                               std::vector<float>& x, const IterativeOptions& options,
                                               const std::vector<float>& row_sums, const float* truth,
                                               const AfterPass& after_pass, std::string* stopped_by) {
  check_run(pair, x, row_sums, options);
  const int threads = std::max(1, options.threads);
  const int view_count = static_cast<int>(pair.views);
  const std::size_t view_samples = static_cast<std::size_t>(pair.view_samples);
  const std::size_t stack_samples = static_cast<std::size_t>(pair.stack_samples());
  const std::size_t volume_samples = static_cast<std::size_t>(pair.volume_samples);
  std::vector<int> all_views(static_cast<std::size_t>(view_count));
  std::iota(all_views.begin(), all_views.end(), 0);

  double b_norm2 = 0.0;
  std::size_t rays = 0;
  stack_norm(stack, row_sums, b_norm2, rays);

  // Inner products in double, per view (or per voxel block) and then in
  // order, so that no figure depends on the threads.
  const std::size_t block = 1 << 16;
  const int blocks = static_cast<int>((volume_samples + block - 1) / block);
  std::vector<double> partial(static_cast<std::size_t>(std::max(view_count, blocks)));
  auto project_all = [&](const std::vector<float>& volume, std::vector<float>& out) {
    tomio::parallel_for(view_count, threads, [&](int v, int) {
      pair.project_view(v, volume.data(), out.data() + static_cast<std::size_t>(v) * view_samples);
    });
  };
  // Rays that miss the grid carry no information: their residual is left out.
  auto stack_norm2 = [&](const std::vector<float>& samples) {
    tomio::parallel_for(view_count, threads, [&](int v, int) {
      double sum = 0.0;
      const std::size_t begin = static_cast<std::size_t>(v) * view_samples;
      for (std::size_t k = begin; k < begin + view_samples; ++k)
        if (row_sums[k] != 0.0f) sum += static_cast<double>(samples[k]) * samples[k];
      partial[static_cast<std::size_t>(v)] = sum;
    });
    double sum = 0.0;
    for (int v = 0; v < view_count; ++v) sum += partial[static_cast<std::size_t>(v)];
    return sum;
  };
  auto volume_norm2 = [&](const std::vector<float>& volume) {
    tomio::parallel_for(blocks, threads, [&](int b, int) {
      double sum = 0.0;
      const std::size_t begin = static_cast<std::size_t>(b) * block;
      const std::size_t end = std::min(volume_samples, begin + block);
      for (std::size_t j = begin; j < end; ++j) sum += static_cast<double>(volume[j]) * volume[j];
      partial[static_cast<std::size_t>(b)] = sum;
    });
    double sum = 0.0;
    for (int b = 0; b < blocks; ++b) sum += partial[static_cast<std::size_t>(b)];
    return sum;
  };

  // r = b - A x (zero on the rays that miss the grid), s = A^T r, p = s.
  std::vector<float> r(stack_samples), q(stack_samples), s(volume_samples), p(volume_samples);
  project_all(x, q);
  for (std::size_t k = 0; k < stack_samples; ++k)
    r[k] = row_sums[k] == 0.0f ? 0.0f : static_cast<float>(static_cast<double>(stack[k]) - q[k]);
  pair.adjoint_views(r.data(), all_views, s.data(), threads);
  p = s;
  double gamma = volume_norm2(s);

  std::vector<IterationFigures> figures;
  const auto start = std::chrono::steady_clock::now();
  double previous = -1.0;
  if (stopped_by) *stopped_by = "iterations";
  for (int pass = 1; pass <= options.iterations; ++pass) {
    if (gamma == 0.0) {
      if (stopped_by) *stopped_by = "tolerance";
      break;
    }
    project_all(p, q);
    for (std::size_t k = 0; k < stack_samples; ++k)
      if (row_sums[k] == 0.0f) q[k] = 0.0f;
    const double q_norm2 = stack_norm2(q);
    if (!(q_norm2 > 0.0)) {
      if (stopped_by) *stopped_by = "tolerance";
      break;
    }
    const double alpha = gamma / q_norm2;
    tomio::parallel_for(blocks, threads, [&](int b, int) {
      const std::size_t begin = static_cast<std::size_t>(b) * block;
      const std::size_t end = std::min(volume_samples, begin + block);
      for (std::size_t j = begin; j < end; ++j) x[j] = static_cast<float>(x[j] + alpha * p[j]);
    });
    for (std::size_t k = 0; k < stack_samples; ++k) r[k] = static_cast<float>(r[k] - alpha * q[k]);
    pair.adjoint_views(r.data(), all_views, s.data(), threads);
    const double gamma_next = volume_norm2(s);
    const double beta = gamma_next / gamma;
    gamma = gamma_next;
    tomio::parallel_for(blocks, threads, [&](int b, int) {
      const std::size_t begin = static_cast<std::size_t>(b) * block;
      const std::size_t end = std::min(volume_samples, begin + block);
      for (std::size_t j = begin; j < end; ++j) p[j] = static_cast<float>(s[j] + beta * p[j]);
    });
    const double r_norm2 = stack_norm2(r);
    if (finish_pass(pass, r_norm2, b_norm2, rays, start, x, truth, options, after_pass, previous, figures,
                    stopped_by))
      break;
  }
  return figures;
}

}  // namespace quant
