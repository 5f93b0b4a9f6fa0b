#include "sim/dose_noise.h"

#include <cmath>
#include <fstream>
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

std::vector<double> constant_i0(double i0) { return std::vector<double>(scan::kViews, i0); }

std::vector<double> read_i0_file(const std::string& path) {
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
  if (values.size() != static_cast<std::size_t>(scan::kViews)) {
    tomio::fail_run(path + " holds " + std::to_string(values.size()) + " values of I0, but the scan has " +
                    std::to_string(scan::kViews) + " views");
  }
  return values;
}

void check_dose_settings(const DoseSettings& s) {
  if (s.i0.size() != static_cast<std::size_t>(scan::kViews)) {
    tomio::fail_usage("I0 needs one value per view (" + std::to_string(scan::kViews) + ")");
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

float noisy_sample(const DoseSettings& s, int view, std::size_t position, float line_integral,
                   DoseTally& tally) {
  if (std::isnan(line_integral)) {
    ++tally.non_finite;
    return line_integral;
  }
  const double i0 = s.i0[static_cast<std::size_t>(view)];
  const double mean = i0 * portable::exp(-s.attenuation * line_integral);
  const auto item = static_cast<std::uint32_t>(position);
  UniformStream count_stream(s.seed, item, kCountStream);
  double counts = poisson_draw(mean, count_stream);
  if (s.electronic > 0.0) {
    UniformStream electronic_stream(s.seed, item, kElectronicStream);
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
  check_dose_settings(settings);
  if (first_view < 0 || view_count < 0 || first_view + view_count > scan::kViews) {
    tomio::fail_usage("views outside the scan");
  }
  // One tally per view, summed in view order afterwards, so that the sums do
  // not depend on which thread did what.
  std::vector<DoseTally> per_view(static_cast<std::size_t>(view_count));
  tomio::parallel_for(view_count, threads, [&](int k, int) {
    const int view = first_view + k;
    const std::size_t offset = static_cast<std::size_t>(k) * scan::kViewSamples;
    for (int r = 0; r < scan::kRows; ++r) {
      for (int c = 0; c < scan::kColumns; ++c) {
        const std::size_t local = offset + static_cast<std::size_t>(r) * scan::kColumns + c;
        output[local] = noisy_sample(settings, view, scan::stack_index(view, r, c), input[local],
                                     per_view[static_cast<std::size_t>(k)]);
      }
    }
  });
  DoseTally total;
  for (const DoseTally& t : per_view) total.add(t);
  return total;
}

}  // namespace toolkit
