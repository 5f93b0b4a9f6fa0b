// Quantum and electronic noise of a scan at a given dose, added to a
// ProjectionStack of line integrals.
//
// A stack sample p (value x length in voxel units) becomes the counts of a
// detector pixel that received, on average, I0 * exp(-M * p) photons:
// a whole number drawn from the Poisson law of that mean, plus (optionally)
// a normal number of standard deviation `electronic`; counts below `floor`
// are raised to it; the noisy sample is -ln(counts / I0) / M.
//
// Every random number of the sample of view v, row r, column c comes from the
// counter-based stream of (seed, stack position of (v, r, c)), so the result
// is the same bits at any thread count, in any order and in any split of the
// stack into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

// Attenuation per unit of value and voxel length. With voxels of 1.5 mm the
// brain of the modified Shepp-Logan head (value 0.2) then attenuates
// 0.15 * 0.2 / 1.5 mm = 0.020 / mm, as water and soft tissue do at about
// 70 keV; see the README for the whole argument.
constexpr double kDefaultAttenuation = 0.15;
// One photon: a pixel that counted none is read as having counted one, the
// least a counting detector can tell from nothing, which keeps -ln finite.
constexpr double kDefaultFloor = 1.0;

struct DoseSettings {
  std::vector<double> i0;       // photons per pixel without object, one per view
  std::uint64_t seed = 0;
  double attenuation = kDefaultAttenuation;  // M
  double electronic = 0.0;      // standard deviation of the electronic noise, in counts
  double floor = kDefaultFloor; // least counts kept
};

// What a run drew: sums over the samples it processed.
struct DoseTally {
  std::size_t samples = 0;      // finite input samples
  std::size_t starved = 0;      // samples whose counts fell below the floor
  std::size_t non_finite = 0;   // NaN inputs, passed through as NaN
  double expected_counts = 0.0; // sum of I0 * exp(-M p)
  double counts = 0.0;          // sum of the counts drawn (before the floor)
  void add(const DoseTally& other);
};

// The same I0 for every view (of the defined scan, or of `views`).
std::vector<double> constant_i0(double i0);
std::vector<double> constant_i0(double i0, std::int64_t views);
// Per-view I0 from a text file of 2*NY numbers (blank-separated, lines may
// hold several; '#' starts a comment). Fails (a run failure) for a wrong count or
// a value that is not a positive finite number.
std::vector<double> read_i0_file(const std::string& path);
// The same for a scan of `views` views.
std::vector<double> read_i0_file(const std::string& path, std::int64_t views);

// Fails (a usage failure) for settings that have no meaning (I0 or M not positive
// and finite, a negative electronic deviation, a floor not in (0, I0)).
void check_dose_settings(const DoseSettings& settings);
// The same for a scan of `views` views.
void check_dose_settings(const DoseSettings& settings, std::int64_t views);

// The noisy value of the sample at stack position `position` of view `view`.
// Positions from 2^32 on draw from streams of their own, so that no two
// samples of a large stack share their numbers.
float noisy_sample(const DoseSettings& settings, std::int64_t view, std::size_t position, float line_integral,
                   DoseTally& tally);

// Adds noise to the whole views first_view ... first_view + view_count - 1:
// `input` and `output` hold those views only (view_count * 4*NX*NY samples;
// they may be the same array). Views are shared among `threads` threads.
DoseTally add_dose_noise(const DoseSettings& settings, const float* input, float* output,
                         int first_view, int view_count, int threads);

// A stack of any shape: views x rows x columns, column fastest. The stack
// position of (v, r, c) is (v * rows + r) * columns + c, so the defined
// shape gives the same bits as above.
struct StackShape {
  std::int64_t views = 0, rows = 0, columns = 0;
};
DoseTally add_dose_noise(const DoseSettings& settings, const StackShape& shape, const float* input, float* output,
                         std::int64_t first_view, std::int64_t view_count, int threads);

}  // namespace toolkit
