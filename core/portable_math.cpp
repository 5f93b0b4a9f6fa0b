#include "core/portable_math.h"

#include <cmath>
#include <limits>

namespace portable {
namespace {

// ln 2 split so that k * kLn2Hi is exact for |k| < 2^11.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;

}  // namespace

double exp(double x) {
  if (x != x) return x;
  if (x > 709.782712893384) return std::numeric_limits<double>::infinity();
  if (x < -745.2) return 0.0;
  // x = k ln 2 + r with |r| <= ln2 / 2; e^r by its Taylor series to r^14
  // (the rest is below 2^-60 of the result).
  const double k = std::floor(x * kInvLn2 + 0.5);
  const double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double sum = 1.0;
  for (int n = 14; n >= 1; --n) sum = 1.0 + sum * r / n;
  return std::ldexp(sum, static_cast<int>(k));
}

double log(double x) {
  if (x != x || x < 0.0) return std::numeric_limits<double>::quiet_NaN();
  if (x == 0.0) return -std::numeric_limits<double>::infinity();
  if (x == std::numeric_limits<double>::infinity()) return x;
  // x = m 2^e with m in [sqrt(1/2), sqrt(2)); ln m = 2 atanh(s), s = (m-1)/(m+1),
  // |s| <= 0.1716, by its series to s^25.
  int e = 0;
  double m = std::frexp(x, &e);
  if (m < 0.70710678118654752440) {
    m *= 2.0;
    e -= 1;
  }
  const double f = m - 1.0;
  const double s = f / (2.0 + f);
  const double s2 = s * s;
  double series = 0.0;
  for (int n = 25; n >= 3; n -= 2) series = (series + 1.0 / n) * s2;
  const double ln_m = 2.0 * s + 2.0 * s * series;
  return (e * kLn2Lo + ln_m) + e * kLn2Hi;
}

void sin_cos_degrees(double degrees, double& sine, double& cosine) {
  // Exact reduction: fmod is exact, and subtracting a multiple of 90 from a
  // value below 360 in magnitude is exact too.
  double a = std::fmod(degrees, 360.0);
  if (a < 0.0) a += 360.0;  // exact except for tiny negatives, which round to 360
  const double quarter = std::floor(a / 90.0 + 0.5);
  a -= quarter * 90.0;  // now in [-45, 45]
  const int q = static_cast<int>(quarter) & 3;
  const double r = a * (3.14159265358979323846 / 180.0);
  const double r2 = r * r;
  // Taylor series to r^19 and r^18 (|r| <= pi/4: the rest is below 2^-60).
  double s = 0.0, c = 0.0;
  for (int n = 19; n >= 3; n -= 2) s = (1.0 - s) * r2 / (n * (n - 1));
  for (int n = 18; n >= 2; n -= 2) c = (1.0 - c) * r2 / (n * (n - 1));
  const double sr = r - r * s;
  const double cr = 1.0 - c;
  switch (q) {
    case 0: sine = sr; cosine = cr; break;
    case 1: sine = cr; cosine = -sr; break;
    case 2: sine = -sr; cosine = -cr; break;
    default: sine = -cr; cosine = sr; break;
  }
}

double atan(double x) {
  if (x != x) return x;
  if (x > 1.0) return 1.57079632679489661923 - atan(1.0 / x);
  if (x < -1.0) return -1.57079632679489661923 - atan(1.0 / x);
  // Three halvings of the angle, atan(x) = 2 atan(x / (1 + sqrt(1 + x^2))),
  // bring |x| <= 1 below tan(pi/32) < 0.1; the series to x^21 then leaves
  // less than 2^-70.
  double y = x;
  for (int k = 0; k < 3; ++k) y = y / (1.0 + std::sqrt(1.0 + y * y));
  const double y2 = y * y;
  double sum = 0.0;
  for (int n = 21; n >= 3; n -= 2) sum = (1.0 / n - sum) * y2;
  return 8.0 * (y - y * sum);
}

}  // namespace portable
