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

void check_subset_count(int subsets) {
  if (subsets < 1 || subsets > scan::kViews)
    tomio::fail_usage("the number of subsets must lie in 1 ... " + std::to_string(scan::kViews));
}

std::vector<std::vector<int>> subset_views(int subsets) {
  check_subset_count(subsets);
  std::vector<std::vector<int>> views;
  for (int j : subset_order(subsets)) {
    std::vector<int> subset;
    for (int v = j; v < scan::kViews; v += subsets) subset.push_back(v);
    views.push_back(std::move(subset));
  }
  return views;
}

SystemSums system_sums(int subsets, const std::string& cache_dir, int threads) {
  const std::vector<std::vector<int>> views = subset_views(subsets);
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
  auto keep = [&](const std::string& name, const std::vector<float>& samples, toolkit::FileKind kind) {
    if (cache_dir.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) tomio::fail_output("cannot create the cache folder " + cache_dir + ": " + error.message());
    toolkit::write_samples((dir / name).string(), samples, kind);
  };

  const std::string row_name = "row_sums.img";
  if (cached(row_name, scan::kStackSamples)) {
    sums.row_sums = toolkit::read_stack((dir / row_name).string());
  } else {
    const std::vector<float> ones(scan::kVolumeSamples, 1.0f);
    sums.row_sums.assign(scan::kStackSamples, 0.0f);
    tomproj::project_stack(ones.data(), sums.row_sums.data(), threads, nullptr);
    keep(row_name, sums.row_sums, toolkit::FileKind::Stack);
  }

  sums.column_sums.assign(scan::kVolumeSamples * static_cast<std::size_t>(subsets), 0.0f);
  std::vector<float> ones_stack;
  for (int j = 0; j < subsets; ++j) {
    float* target = sums.column_sums.data() + scan::kVolumeSamples * static_cast<std::size_t>(j);
    const std::string name = column_sums_name(subsets, j);
    std::vector<float> volume;
    if (cached(name, scan::kVolumeSamples)) {
      volume = toolkit::read_volume((dir / name).string());
    } else {
      if (ones_stack.empty()) ones_stack.assign(scan::kStackSamples, 1.0f);
      volume.assign(scan::kVolumeSamples, 0.0f);
      tomproj::project_adjoint_views(ones_stack.data(), views[static_cast<std::size_t>(j)],
                                     volume.data(), threads);
      keep(name, volume, toolkit::FileKind::Volume);
    }
    std::copy(volume.begin(), volume.end(), target);
  }
  return sums;
}

double expected_noise_level(const float* stack, const std::vector<float>& row_sums, double i0,
                            double mu, double electronic) {
  if (!(i0 > 0.0) || !(mu > 0.0) || !(electronic >= 0.0))
    tomio::fail_usage("the dose must be positive, the attenuation positive and the electronic noise not negative");
  if (row_sums.size() != scan::kStackSamples) tomio::fail_usage("the row sums are not a ProjectionStack");
  double sum = 0.0;
  std::size_t rays = 0;
  for (std::size_t i = 0; i < scan::kStackSamples; ++i) {
    if (row_sums[i] == 0.0f) continue;
    const double counts = std::max(1.0, i0 * std::exp(-mu * static_cast<double>(stack[i])));
    sum += (counts + electronic * electronic) / ((mu * counts) * (mu * counts));
    ++rays;
  }
  return rays > 0 ? std::sqrt(sum / static_cast<double>(rays)) : 0.0;
}

void compare_to_truth(const float* volume, const float* truth, double& rmse, double& pearson_r) {
  const std::size_t n = scan::kVolumeSamples;
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

void check_iterative_options(const IterativeOptions& options) {
  if (options.iterations < 1) tomio::fail_usage("the iteration count must be at least 1");
  check_subset_count(options.subsets);
  check_relaxation(options.relaxation);
  check_tolerance(options.tolerance);
  if (!(options.noise_level >= 0.0)) tomio::fail_usage("the noise level must not be negative");
  if (!(options.discrepancy >= 1.0)) tomio::fail_usage("the discrepancy factor must be at least 1");
}

std::vector<IterationFigures> iterative_reconstruct(
    const float* stack, std::vector<float>& x, const IterativeOptions& options,
    const SystemSums& sums, const float* truth,
    const std::function<bool(const IterationFigures&, const std::vector<float>&)>& after_pass,
    std::string* stopped_by) {
  if (options.subsets != sums.subsets)
    tomio::fail_usage("the column sums were made for another number of subsets");
  check_iterative_options(options);
  if (x.size() != scan::kVolumeSamples) tomio::fail_usage("the start is not a Volume");
  const std::vector<std::vector<int>> views = subset_views(options.subsets);
  const int threads = std::max(1, options.threads);

  // |b| and the number of rays that take part (row sum not 0), per view and
  // then in view order, so that the figures do not depend on the threads.
  double b_norm2 = 0.0;
  std::size_t rays = 0;
  for (std::size_t i = 0; i < scan::kStackSamples; ++i) {
    if (sums.row_sums[i] == 0.0f) continue;
    b_norm2 += static_cast<double>(stack[i]) * stack[i];
    ++rays;
  }

  std::vector<float> projected(scan::kStackSamples, 0.0f);
  std::vector<float> residual(scan::kStackSamples, 0.0f);
  std::vector<float> correction(scan::kVolumeSamples);
  std::vector<double> view_norm2(scan::kViews);
  std::vector<IterationFigures> figures;
  const auto start = std::chrono::steady_clock::now();
  double previous = -1.0;
  if (stopped_by) *stopped_by = "iterations";

  for (int pass = 1; pass <= options.iterations; ++pass) {
    double r_norm2 = 0.0;
    for (std::size_t s = 0; s < views.size(); ++s) {
      const std::vector<int>& subset = views[s];
      const float* column = sums.column_sums.data() + scan::kVolumeSamples * s;
      // Forward projection of the subset's views and the weighted residual.
      tomio::parallel_for(static_cast<int>(subset.size()), threads, [&](int i, int) {
        const int v = subset[static_cast<std::size_t>(i)];
        tomproj::project_view(v, x.data(), projected.data());
        double norm2 = 0.0;
        const std::size_t begin = scan::stack_index(v, 0, 0), end = begin + scan::kViewSamples;
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
      tomproj::project_adjoint_views(residual.data(), subset, correction.data(), threads);
      tomio::parallel_for(scan::NZ, threads, [&](int iz, int) {
        const std::size_t begin = scan::volume_index(0, 0, iz), end = begin + scan::NX * scan::NY;
        for (std::size_t j = begin; j < end; ++j) {
          if (column[j] == 0.0f) continue;
          double value = x[j] + options.relaxation * (static_cast<double>(correction[j]) / column[j]);
          if (options.nonnegative && !(value >= 0.0)) value = 0.0;
          x[j] = static_cast<float>(value);
        }
      });
    }
    IterationFigures f;
    f.iteration = pass;
    f.relative_residual = b_norm2 > 0 ? std::sqrt(r_norm2 / b_norm2) : 0.0;
    f.rms_residual = rays > 0 ? std::sqrt(r_norm2 / rays) : 0.0;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (truth) {
      f.has_truth = true;
      compare_to_truth(x.data(), truth, f.rmse, f.pearson_r);
    }
    figures.push_back(f);
    if (after_pass && !after_pass(f, x)) {
      if (stopped_by) *stopped_by = "callback";
      break;
    }
    if (options.noise_level > 0.0 && f.rms_residual <= options.discrepancy * options.noise_level) {
      if (stopped_by) *stopped_by = "noise level";
      break;
    }
    if (options.tolerance > 0.0 && previous > 0.0 &&
        (previous - f.relative_residual) < options.tolerance * previous) {
      if (stopped_by) *stopped_by = "tolerance";
      break;
    }
    previous = f.relative_residual;
  }
  return figures;
}

}  // namespace quant
