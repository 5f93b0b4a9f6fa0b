#include "sim/dose_noise.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "sim/counter_random.h"
#include "core/portable_math.h"
#include "sim/random_draws.h"

namespace toolkit {
namespace {

// The streams of one sample: the photon counts and the electronic noise.
constexpr std::uint32_t kCountStream = 0;
constexpr std::uint32_t kElectronicStream = 1;

bool positive_finite(double x) { return x > 0.0 && x - x == 0.0; }

}  // namespace

void DoseTally::add(const DoseTally& other) {
  samples += other.samples;
  starved += other.starved;
  non_finite += other.non_finite;
  expected_counts += other.expected_counts;
  counts += other.counts;
}

std::vector<double> constant_i0(double i0) { return constant_i0(i0, scan::kViews); }

std::vector<double> constant_i0(double i0, std::int64_t views) {
  return std::vector<double>(static_cast<std::size_t>(views), i0);
}

std::vector<double> read_i0_file(const std::string& path) { return read_i0_file(path, scan::kViews); }

std::vector<double> read_i0_file(const std::string& path, std::int64_t views) {
  std::ifstream in(path);
  if (!in) tomio::fail_run("cannot open the I0 file " + path);
  std::vector<double> values;
  std::string line;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const std::string::size_type hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      double value = 0.0;
      try {
        value = tomio::parse_double(word, "I0");
      } catch (const tomio::Failure&) {  // not a number
        value = -1.0;
      }
      if (!positive_finite(value)) {
        tomio::fail_run(path + ":" + std::to_string(line_number) + ": \"" + word +
                        "\" is not a positive number of photons");
      }
      values.push_back(value);
    }
  }
  if (in.bad()) tomio::fail_run("cannot read the I0 file " + path);
  if (values.size() != static_cast<std::size_t>(views)) {
    tomio::fail_run(path + " holds " + std::to_string(values.size()) + " values of I0, but the scan has " +
                   std::to_string(views) + " views");
  }
  return values;
}

void check_dose_settings(const DoseSettings& s) { check_dose_settings(s, scan::kViews); }

void check_dose_settings(const DoseSettings& s, std::int64_t views) {
  if (s.i0.size() != static_cast<std::size_t>(views)) {
    tomio::fail_usage("I0 needs one value per view (" + std::to_string(views) + ")");
  }
  for (double i0 : s.i0) {
    if (!positive_finite(i0)) tomio::fail_usage("I0 must be a positive finite number of photons");
    if (!(s.floor > 0.0 && s.floor < i0)) {
      tomio::fail_usage("the floor must lie between 0 and I0 (exclusive)");
    }
  }
  if (!positive_finite(s.attenuation)) tomio::fail_usage("M must be a positive finite number");
  if (!(s.electronic >= 0.0) || s.electronic - s.electronic != 0.0) {
    tomio::fail_usage("the electronic noise must be a finite standard deviation >= 0");
  }
}

float noisy_sample(const DoseSettings& s, std::int64_t view, std::size_t position, float line_integral,
                   DoseTally& tally) {
  if (std::isnan(line_integral)) {
    ++tally.non_finite;
    return line_integral;
  }
  const double i0 = s.i0[static_cast<std::size_t>(view)];
  const double mean = i0 * portable::exp(-s.attenuation * line_integral);
  // Positions past 2^32 take streams of their own beyond the first pair.
  const auto item = static_cast<std::uint32_t>(position);
  const auto pair = static_cast<std::uint32_t>(2 * (static_cast<std::uint64_t>(position) >> 32));
  UniformStream count_stream(s.seed, item, kCountStream + pair);
  double counts = poisson_draw(mean, count_stream);
  if (s.electronic > 0.0) {
    UniformStream electronic_stream(s.seed, item, kElectronicStream + pair);
    counts += s.electronic * normal_draw(electronic_stream);
  }
  ++tally.samples;
  tally.expected_counts += mean;
  tally.counts += counts;
  if (!(counts >= s.floor)) {
    ++tally.starved;
    counts = s.floor;
  }
  return static_cast<float>(-portable::log(counts / i0) / s.attenuation);
}

DoseTally add_dose_noise(const DoseSettings& settings, const float* input, float* output,
                         int first_view, int view_count, int threads) {
  return add_dose_noise(settings, StackShape{scan::kViews, scan::kRows, scan::kColumns}, input, output, first_view,
                        view_count, threads);
}

DoseTally add_dose_noise(const DoseSettings& settings, const StackShape& shape, const float* input, float* output,
                         std::int64_t first_view, std::int64_t view_count, int threads) {
  if (shape.views < 1 || shape.rows < 1 || shape.columns < 1)
    tomio::fail_usage("the stack needs at least one view, row and column");
  check_dose_settings(settings, shape.views);
  if (first_view < 0 || view_count < 0 || first_view + view_count > shape.views ||
      view_count > std::numeric_limits<int>::max()) {
    tomio::fail_usage("views outside the scan");
  }
  // One tally per view, summed in view order afterwards, so that the sums do
  // not depend on which thread did what.
  std::vector<DoseTally> per_view(static_cast<std::size_t>(view_count));
  const std::int64_t view_samples = shape.rows * shape.columns;
  tomio::parallel_for(static_cast<int>(view_count), threads, [&](int k, int) {
    const std::int64_t view = first_view + k;
    const std::int64_t offset = static_cast<std::int64_t>(k) * view_samples;
    for (std::int64_t i = 0; i < view_samples; ++i) {
      output[offset + i] = noisy_sample(settings, view, static_cast<std::size_t>(view * view_samples + i),
                                        input[offset + i], per_view[static_cast<std::size_t>(k)]);
    }
  });
  DoseTally total;
  for (const DoseTally& t : per_view) total.add(t);
  return total;
}

}  // namespace toolkit
