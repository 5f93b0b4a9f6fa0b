#include "sim/spectral_signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/failure.h"
#include "core/kernel_dispatch.h"
#include "core/parallel.h"
#include "core/portable_math.h"
#include "core/vector_lanes.h"
#include "sim/random_draws.h"

namespace toolkit {

namespace plain {
constexpr int kLanes = 2;
#include "sim/spectral_blocks.inc"
}  // namespace plain

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 4;
#include "sim/spectral_blocks.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,avx2")
namespace avx512 {
constexpr int kLanes = 8;
#include "sim/spectral_blocks.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

namespace {

// Rays per block: one detector row of the scan.
constexpr std::int64_t kBlock = 256;
// The largest item a noise stream takes (32-bit counters).
constexpr std::int64_t kItems = std::int64_t{1} << 32;

bool finite_nonnegative(double x) { return x >= 0.0 && x - x == 0.0; }

using TransmissionsFn = void (*)(const double*, std::int64_t, std::int64_t, const std::int64_t*, std::int64_t,
                                 const float*, std::int64_t, std::int64_t, double*, double*);
using NewtonFn = void (*)(const double*, const double*, std::int64_t, const std::int64_t*, std::int64_t,
                          const double*, const double*, std::int64_t, double*, double*, double*, double*, double*,
                          double*, double*);

using SignalFn = void (*)(const double*, const double*, std::int64_t, std::int64_t, std::int64_t,
                          const std::int64_t*, std::int64_t, const double*, const float*, std::int64_t, std::int64_t,
                          double*, double*);

struct BlockKernels {
  SignalFn signal;
  TransmissionsFn transmissions;
  NewtonFn newton;
  const char* name;
};

BlockKernels block_kernels() {
#if defined(__x86_64__)
  const kernels::Kernel k = kernels::process_kernel();
  if (k == kernels::Kernel::avx512) {
    return {avx512::block_signal, avx512::block_transmissions, avx512::block_newton_sums, "avx512"};
  }
  if (k == kernels::Kernel::avx2) {
    return {avx2::block_signal, avx2::block_transmissions, avx2::block_newton_sums, "avx2"};
  }
#endif
  return {plain::block_signal, plain::block_transmissions, plain::block_newton_sums, "portable"};
}

// The energies at which some bin detects photons, ascending.
std::vector<std::int64_t> active_energies(const SpectralModel& m) {
  std::vector<std::int64_t> active;
  for (std::int64_t e = 0; e < m.energies; ++e) {
    bool seen = false;
    for (std::int64_t b = 0; b < m.bins; ++b) seen = seen || m.photons[b * m.energies + e] > 0.0;
    if (seen) active.push_back(e);
  }
  return active;
}

// The sums of every row of weights over the active energies, in ascending
// order, of a ray that crosses no material (each weight x its transmission
// of exactly 1): what the blocks give such a ray.
std::vector<double> air_sums(const std::vector<double>& weight, std::int64_t rows, std::int64_t energies,
                             const std::vector<std::int64_t>& active) {
  std::vector<double> air(static_cast<std::size_t>(rows), 0.0);
  for (std::int64_t r = 0; r < rows; ++r)
    for (std::int64_t e : active)
      air[static_cast<std::size_t>(r)] += weight[static_cast<std::size_t>(r * energies + e)] * 1.0;
  return air;
}

// photons x gain: each photon's share of the signal's mean.
std::vector<double> signal_weights(const SpectralModel& m) {
  std::vector<double> w(m.photons.size());
  for (std::size_t k = 0; k < w.size(); ++k) w[k] = m.photons[k] * m.gain[k];
  return w;
}

}  // namespace

double transmission(double t) { return plain::transmission_of(t); }

const char* spectral_kernel_name() {
  return block_kernels().name;
}

void check_spectral_model(const SpectralModel& m) {
  if (m.energies < 1 || m.materials < 0 || m.bins < 1) {
    tomio::fail_usage("a spectral model needs at least one energy and one bin");
  }
  if (m.energies > (std::int64_t{1} << 20) || m.materials > 64 || m.bins > 64) {
    tomio::fail_usage("a spectral model takes at most 2^20 energies, 64 materials and 64 bins");
  }
  if (m.attenuation.size() != static_cast<std::size_t>(m.materials * m.energies) ||
      m.photons.size() != static_cast<std::size_t>(m.bins * m.energies) || m.gain.size() != m.photons.size()) {
    tomio::fail_usage("the attenuation, photon and gain tables do not match the numbers of energies, materials and bins");
  }
  for (double a : m.attenuation) {
    if (!finite_nonnegative(a)) tomio::fail_usage("attenuation coefficients must be finite and >= 0");
  }
  for (std::size_t k = 0; k < m.photons.size(); ++k) {
    if (!finite_nonnegative(m.photons[k]) || !finite_nonnegative(m.gain[k])) {
      tomio::fail_usage("photon numbers and gains must be finite and >= 0");
    }
  }
  const std::vector<double> flat = flat_signal(m);
  for (std::int64_t b = 0; b < m.bins; ++b) {
    if (!(flat[static_cast<std::size_t>(b)] > 0.0) || flat[static_cast<std::size_t>(b)] - flat[static_cast<std::size_t>(b)] != 0.0) {
      tomio::fail_usage("detector bin " + std::to_string(b) + " sees no signal without object");
    }
  }
}

void check_spectral_noise(const SpectralNoiseSettings& s) {
  if (!(s.electronic >= 0.0) || s.electronic - s.electronic != 0.0) {
    tomio::fail_usage("the electronic noise must be a finite standard deviation >= 0");
  }
}

std::vector<double> flat_signal(const SpectralModel& m) {
  std::vector<double> flat(static_cast<std::size_t>(m.bins), 0.0);
  for (std::int64_t b = 0; b < m.bins; ++b) {
    for (std::int64_t e = 0; e < m.energies; ++e) {
      flat[static_cast<std::size_t>(b)] += m.photons[b * m.energies + e] * m.gain[b * m.energies + e];
    }
  }
  return flat;
}

std::vector<double> signal_floor(const SpectralModel& m) {
  std::vector<double> floor = flat_signal(m);
  for (std::int64_t b = 0; b < m.bins; ++b) {
    double photons = 0.0;
    for (std::int64_t e = 0; e < m.energies; ++e) photons += m.photons[b * m.energies + e];
    floor[static_cast<std::size_t>(b)] /= photons;
  }
  return floor;
}

SpectralTally spectral_projection(const SpectralModel& model, const SpectralNoiseSettings& noise,
                                  const float* paths, std::int64_t rays, std::int64_t first_item, float* out,
                                  int threads) {
  check_spectral_model(model);
  check_spectral_noise(noise);
  if (rays < 0 || first_item < 0 || (noise.kind != SpectralNoise::none && first_item + rays > kItems)) {
    tomio::fail_usage("the rays' noise items must lie in [0, 2^32)");
  }
  const std::int64_t E = model.energies, M = model.materials, B = model.bins;
  const std::vector<std::int64_t> active = active_energies(model);
  const auto A = static_cast<std::int64_t>(active.size());
  std::vector<double> weight = signal_weights(model);
  // The normal law of the compound sum needs its variance too: the sum of
  // photons x gain^2 x transmission, as B more rows of the same pass.
  const std::int64_t rows = noise.kind == SpectralNoise::moments ? 2 * B : B;
  if (noise.kind == SpectralNoise::moments) {
    for (std::size_t q = 0; q < model.photons.size(); ++q) {
      weight.push_back(model.photons[q] * model.gain[q] * model.gain[q]);
    }
  }
  const std::vector<double> air = air_sums(weight, rows, E, active);
  const std::vector<double> flat = flat_signal(model);
  const std::vector<double> floor = signal_floor(model);
  const BlockKernels k = block_kernels();
  const std::int64_t blocks = (rays + kBlock - 1) / kBlock;
  if (blocks > std::numeric_limits<int>::max()) tomio::fail_usage("too many rays for one call");
  // Per block: floored and non-finite counts per bin, summed afterwards.
  std::vector<std::int64_t> per_block(static_cast<std::size_t>(blocks * 2 * B), 0);
  tomio::parallel_for(static_cast<int>(blocks), threads, [&](int block, int) {
    const std::int64_t begin = static_cast<std::int64_t>(block) * kBlock;
    const std::int64_t n = std::min(kBlock, rays - begin);
    std::vector<double> sums(static_cast<std::size_t>(rows * n));
    // The compound noise draws per energy, so it keeps every transmission;
    // otherwise one pass per energy sums them straight into the bins.
    std::vector<double> trans;
    if (noise.kind == SpectralNoise::compound) {
      std::vector<double> exponent(static_cast<std::size_t>(n));
      trans.resize(static_cast<std::size_t>(A * n));
      k.transmissions(model.attenuation.data(), E, M, active.data(), A, paths + begin, rays, n, exponent.data(),
                      trans.data());
    } else {
      std::vector<double> path(static_cast<std::size_t>(M * n));
      k.signal(model.attenuation.data(), weight.data(), E, M, rows, active.data(), A, air.data(), paths + begin,
               rays, n, path.data(), sums.data());
    }
    std::int64_t* tally = per_block.data() + static_cast<std::int64_t>(block) * 2 * B;
    for (std::int64_t i = 0; i < n; ++i) {
      bool nan_path = false;
      for (std::int64_t m = 0; m < M; ++m) nan_path = nan_path || std::isnan(paths[m * rays + begin + i]);
      const auto item = static_cast<std::uint32_t>(first_item + begin + i);
      for (std::int64_t b = 0; b < B; ++b) {
        float& o = out[b * rays + begin + i];
        if (nan_path) {
          ++tally[B + b];
          o = std::numeric_limits<float>::quiet_NaN();
          continue;
        }
        double signal = sums[static_cast<std::size_t>(b * n + i)];
        if (noise.kind == SpectralNoise::counting) {
          UniformStream counts(noise.seed, item, static_cast<std::uint32_t>(2 * b));
          signal = poisson_draw(signal, counts);
        } else if (noise.kind == SpectralNoise::moments) {
          UniformStream normal(noise.seed, item, static_cast<std::uint32_t>(2 * b));
          signal += std::sqrt(sums[static_cast<std::size_t>((B + b) * n + i)]) * normal_draw(normal);
        } else if (noise.kind == SpectralNoise::compound) {
          signal = 0.0;
          for (std::int64_t j = 0; j < A; ++j) {
            const std::int64_t e = active[static_cast<std::size_t>(j)];
            const double mean = model.photons[b * E + e] * trans[static_cast<std::size_t>(j * n + i)];
            UniformStream counts(noise.seed, item, static_cast<std::uint32_t>(2 * (B + b * E + e)));
            signal += model.gain[b * E + e] * poisson_draw(mean, counts);
          }
        }
        if (noise.kind != SpectralNoise::none && noise.electronic > 0.0) {
          UniformStream electronic(noise.seed, item, static_cast<std::uint32_t>(2 * b + 1));
          signal += noise.electronic * normal_draw(electronic);
        }
        if (!(signal >= floor[static_cast<std::size_t>(b)])) {
          ++tally[b];
          signal = floor[static_cast<std::size_t>(b)];
        }
        o = static_cast<float>(-portable::log(signal / flat[static_cast<std::size_t>(b)]));
      }
    }
  });
  SpectralTally total;
  total.floored.assign(static_cast<std::size_t>(B), 0);
  total.non_finite.assign(static_cast<std::size_t>(B), 0);
  for (std::int64_t block = 0; block < blocks; ++block) {
    for (std::int64_t b = 0; b < B; ++b) {
      total.floored[static_cast<std::size_t>(b)] += per_block[static_cast<std::size_t>(block * 2 * B + b)];
      total.non_finite[static_cast<std::size_t>(b)] += per_block[static_cast<std::size_t>(block * 2 * B + B + b)];
    }
  }
  return total;
}

std::vector<double> ray_signal_per_energy(const SpectralModel& model, const double* path) {
  check_spectral_model(model);
  const std::int64_t E = model.energies;
  std::vector<double> out(static_cast<std::size_t>(model.bins * E));
  for (std::int64_t e = 0; e < E; ++e) {
    double exponent = 0.0;
    for (std::int64_t m = 0; m < model.materials; ++m) exponent = exponent + model.attenuation[m * E + e] * path[m];
    const double t = transmission(exponent);
    for (std::int64_t b = 0; b < model.bins; ++b) {
      out[static_cast<std::size_t>(b * E + e)] = model.photons[b * E + e] * model.gain[b * E + e] * t;
    }
  }
  return out;
}

void decompose_two_materials(const SpectralModel& model, const float* log, std::int64_t rays, int iterations,
                             float* out, int threads) {
  check_spectral_model(model);
  if (model.materials != 2 || model.bins != 2) tomio::fail_usage("a two-material decomposition needs 2 materials and 2 bins");
  if (iterations < 0 || iterations > 100) tomio::fail_usage("the Newton steps must number 0 ... 100");
  const std::int64_t E = model.energies;
  const std::vector<std::int64_t> active = active_energies(model);
  const auto A = static_cast<std::int64_t>(active.size());
  const std::vector<double> weight = signal_weights(model);
  const std::vector<double> flat = flat_signal(model);
  // The flat-spectrum linearisation: each bin's mean attenuation of each material.
  double lin[2][2];
  for (int kbin = 0; kbin < 2; ++kbin) {
    for (int j = 0; j < 2; ++j) {
      double s = 0.0;
      for (std::int64_t e = 0; e < E; ++e) s += weight[kbin * E + e] * model.attenuation[j * E + e];
      lin[kbin][j] = s / flat[static_cast<std::size_t>(kbin)];
    }
  }
  const BlockKernels k = block_kernels();
  const std::int64_t blocks = (rays + kBlock - 1) / kBlock;
  if (blocks > std::numeric_limits<int>::max()) tomio::fail_usage("too many rays for one call");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  tomio::parallel_for(static_cast<int>(blocks), threads, [&](int block, int) {
    const std::int64_t begin = static_cast<std::int64_t>(block) * kBlock;
    const std::int64_t n = std::min(kBlock, rays - begin);
    std::vector<double> work(static_cast<std::size_t>(9 * n));
    double *a0 = work.data(), *a1 = a0 + n, *s0 = a1 + n, *s1 = s0 + n, *d00 = s1 + n, *d01 = d00 + n,
           *d10 = d01 + n, *d11 = d10 + n, *trans = d11 + n;
    auto solve = [](double m00, double m01, double m10, double m11, double r0, double r1, double& x0, double& x1) {
      const double det = m00 * m11 - m01 * m10;
      if (!(det != 0.0) || det - det != 0.0) return false;
      x0 = (r0 * m11 - m01 * r1) / det;
      x1 = (m00 * r1 - m10 * r0) / det;
      return true;
    };
    // A ray whose start is not finite (a NaN measurement) is given up.
    std::vector<bool> failed(static_cast<std::size_t>(n), false);
    for (std::int64_t i = 0; i < n; ++i) {
      const double y0 = log[begin + i], y1 = log[rays + begin + i];
      if (!solve(lin[0][0], lin[0][1], lin[1][0], lin[1][1], y0, y1, a0[i], a1[i]) ||
          !(a0[i] - a0[i] == 0.0 && a1[i] - a1[i] == 0.0)) {
        failed[static_cast<std::size_t>(i)] = true;
        a0[i] = a1[i] = 0.0;
      }
    }
    for (int step = 0; step < iterations; ++step) {
      k.newton(model.attenuation.data(), weight.data(), E, active.data(), A, a0, a1, n, trans, s0, s1, d00, d01, d10, d11);
      for (std::int64_t i = 0; i < n; ++i) {
        if (failed[static_cast<std::size_t>(i)]) continue;
        // f_k = -ln(s_k / flat_k); df_k/dA_j = d_kj / s_k.
        const double f0 = -portable::log(s0[i] / flat[0]), f1 = -portable::log(s1[i] / flat[1]);
        const double y0 = log[begin + i], y1 = log[rays + begin + i];
        double x0 = 0.0, x1 = 0.0;
        if (!(s0[i] > 0.0 && s1[i] > 0.0) ||
            !solve(d00[i] / s0[i], d01[i] / s0[i], d10[i] / s1[i], d11[i] / s1[i], y0 - f0, y1 - f1, x0, x1)) {
          failed[static_cast<std::size_t>(i)] = true;
          continue;
        }
        a0[i] = a0[i] + x0;
        a1[i] = a1[i] + x1;
      }
    }
    for (std::int64_t i = 0; i < n; ++i) {
      const bool bad = failed[static_cast<std::size_t>(i)];
      out[begin + i] = static_cast<float>(bad ? nan : a0[i]);
      out[rays + begin + i] = static_cast<float>(bad ? nan : a1[i]);
    }
  });
}

}  // namespace toolkit
