// The energy integration of polychromatic projections: per ray, the signal of
// every detector bin behind an object made of M materials,
//
//   signal_b = sum_e photons[b, e] * gain[b, e] * exp(-sum_m attenuation[m, e] * path[m])
//
// over E energies, from the M path lengths of the ray, and the same with the
// quantum noise of the detector drawn from the counter-based generator.
// photons[b, e] is the mean number of photons of energy e that bin b detects
// without object, gain[b, e] what each of them adds to its signal (1 for a
// counting bin, the photon energy for an energy-integrating detector);
// attenuation[m, e] turns path[m] into an exponent (the mass attenuation
// times the path lengths' scale).
//
// Exactness: every sum runs over energies in ascending order, then materials
// in ascending order; the exponential is transmission() below, built from
// +, -, *, floor and an exact scaling by a power of two, so the vector loops
// the compiler makes of it give the same bits as the scalar rendering on any
// machine. Noise comes from the stream of (seed, item of the ray), so the
// result does not depend on the thread count or on how the rays are split.
#pragma once

#include <cstdint>
#include <vector>

namespace toolkit {

// How quantum noise is drawn.
enum class SpectralNoise {
  none,      // the expected signal
  counting,  // a Poisson count per bin, of the bin's expected count
  compound,  // per bin, sum over energies of gain x a Poisson count per energy (compound Poisson)
  moments,   // per bin, a normal number of the compound Poisson law's mean and variance
};

struct SpectralModel {
  std::int64_t energies = 0;       // E
  std::int64_t materials = 0;      // M
  std::int64_t bins = 0;           // B
  std::vector<double> attenuation; // [m * E + e], >= 0
  std::vector<double> photons;     // [b * E + e], >= 0
  std::vector<double> gain;        // [b * E + e], >= 0
};

struct SpectralNoiseSettings {
  SpectralNoise kind = SpectralNoise::none;
  std::uint64_t seed = 0;
  double electronic = 0.0;  // standard deviation of the electronic noise, in signal units
};

// What a run did, per bin.
struct SpectralTally {
  std::vector<std::int64_t> floored;     // samples raised to the floor (zero or too small a signal)
  std::vector<std::int64_t> non_finite;  // rays with a NaN path length, passed through as NaN
};

// Throws a usage failure for a model or settings without meaning (sizes that
// do not match, negative or non-finite entries, a bin that sees nothing).
void check_spectral_model(const SpectralModel& model);
void check_spectral_noise(const SpectralNoiseSettings& noise);

// The instruction set of the block loops this process runs: "avx2" (the
// AVX2 and AVX-512 kernels of core/kernel_dispatch.h) or "portable" (the
// compiler's generic two-lane vectors, for the scalar and portable kernels).
const char* spectral_kernel_name();

// e^-t for t >= -700; exponents above 708 give e^-708 (3e-308), which
// nothing downstream can tell from 0. Relative error below 1e-13.
double transmission(double t);

// The flat-field signal of each bin (no object): sum_e photons * gain.
std::vector<double> flat_signal(const SpectralModel& model);
// The least signal a bin reports: its flat-field signal per detected flat
// photon (one count for a counting bin, the mean energy of a detected
// photon for an integrating one). A smaller measured signal, 0 included, is
// raised to it and counted in the tally.
std::vector<double> signal_floor(const SpectralModel& model);

// -ln(signal_b / flat_b) of `rays` rays: paths holds M arrays of `rays`
// path lengths one after the other ([m * rays + i]), out B arrays ([b * rays
// + i]). The noise of ray i comes from the item first_item + i (its stack
// position). Rays are shared among `threads` threads.
SpectralTally spectral_projection(const SpectralModel& model, const SpectralNoiseSettings& noise,
                                  const float* paths, std::int64_t rays, std::int64_t first_item, float* out,
                                  int threads);

// The expected signal of one ray at every energy, [b * E + e] (the detected
// spectrum after the detector's response), from its M path lengths.
std::vector<double> ray_signal_per_energy(const SpectralModel& model, const double* path);

// Two-material decomposition: for rays measured in two bins (log holds
// [k * rays + i], k = 0, 1, as spectral_projection writes), the path lengths
// (A0, A1) of the model's two materials that reproduce both, by `iterations`
// Newton steps on the 2x2 system from the solution of the flat-spectrum
// linearisation. The model must have 2 materials and 2 bins. Writes
// out[j * rays + i]; a ray whose system is singular gets NaN.
void decompose_two_materials(const SpectralModel& model, const float* log, std::int64_t rays, int iterations,
                             float* out, int threads);

}  // namespace toolkit
