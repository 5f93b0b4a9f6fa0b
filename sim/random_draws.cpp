#include "sim/random_draws.h"

#include <cmath>

#include "core/portable_math.h"

namespace toolkit {
namespace {

// ln(k!) for k = 0 ... 9.
constexpr double kLogFactorials[10] = {
    0.0,
    0.0,
    0.69314718055994530942,
    1.79175946922805500081,
    3.17805383034794561965,
    4.78749174278204599425,
    6.57925121201010099506,
    8.52516136106541430017,
    10.60460290274525022842,
    12.80182748008146961121,
};

constexpr double kPoissonInversionLimit = 10.0;

double poisson_by_inversion(double mean, UniformStream& uniforms) {
  const double u = uniforms.next();
  double k = 0.0;
  double p = portable::exp(-mean);
  double cumulative = p;
  // The distribution function in double may stop short of 1; the tail there
  // is below 2^-50 and the search ends when the terms vanish.
  while (u >= cumulative && p > 0.0) {
    k += 1.0;
    p = p * mean / k;
    cumulative += p;
  }
  return k;
}

double poisson_by_ptrs(double mean, UniformStream& uniforms) {
  const double slam = std::sqrt(mean);
  const double loglam = portable::log(mean);
  const double b = 0.931 + 2.53 * slam;
  const double a = -0.059 + 0.02483 * b;
  const double log_inv_alpha = portable::log(1.1239 + 1.1328 / (b - 3.4));
  const double vr = 0.9277 - 3.6224 / (b - 2.0);
  for (;;) {
    const double u = uniforms.next() - 0.5;
    const double v = uniforms.next();
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
    if (us >= 0.07 && v <= vr) return k;
    if (k < 0.0 || (us < 0.013 && v > us)) continue;
    if (portable::log(v) + log_inv_alpha - portable::log(a / (us * us) + b) <=
        -mean + k * loglam - log_factorial(k)) {
      return k;
    }
  }
}

}  // namespace

double log_factorial(double k) {
  if (k < 10.0) return kLogFactorials[static_cast<int>(k)];
  // ln Gamma(x) at x = k + 1 >= 11 by Stirling's series to the 1/x^19 term.
  static const double kCoefficients[10] = {
      8.333333333333333e-02, -2.777777777777778e-03, 7.936507936507937e-04,
      -5.952380952380952e-04, 8.417508417508418e-04, -1.917526917526918e-03,
      6.410256410256410e-03, -2.955065359477124e-02, 1.796443723688307e-01,
      -1.39243221690590e+00};
  const double x = k + 1.0;
  const double x2 = 1.0 / (x * x);
  double series = kCoefficients[9];
  for (int i = 8; i >= 0; --i) series = series * x2 + kCoefficients[i];
  constexpr double kHalfLogTwoPi = 0.91893853320467274178;
  return series / x + kHalfLogTwoPi + (x - 0.5) * portable::log(x) - x;
}

double poisson_draw(double mean, UniformStream& uniforms) {
  if (!(mean > 0.0)) return 0.0;
  return mean < kPoissonInversionLimit ? poisson_by_inversion(mean, uniforms)
                                       : poisson_by_ptrs(mean, uniforms);
}

double normal_draw(UniformStream& uniforms) {
  for (;;) {
    const double x = 2.0 * uniforms.next() - 1.0;
    const double y = 2.0 * uniforms.next() - 1.0;
    const double s = x * x + y * y;
    if (s >= 1.0 || s == 0.0) continue;
    return x * std::sqrt(-2.0 * portable::log(s) / s);
  }
}

}  // namespace toolkit
