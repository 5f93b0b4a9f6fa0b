// The counts of a ray whose sample points pass the inside test.
//
// Both programs sample a ray at the points k * d + s (k = 0, 1, ... taken as a
// double, one product and one sum, nothing accumulated). Rounding is monotone,
// so each coordinate is a monotone function of k, each strict comparison of
// the inside test holds on a prefix or a suffix of the counts, and the counts
// that pass all six form one contiguous span. This finds that span exactly,
// by evaluating the very same expression and comparison at a few counts near
// an estimate, so that callers can skip every count outside it without
// changing which counts pass.
#pragma once

#include <algorithm>
#include <cmath>

#include "core/scan_geometry.h"

namespace scan {

struct CountSpan {
  int first;  // first count that passes
  int last;   // one past the last count that passes; empty when last <= first
  bool empty() const { return last <= first; }
};

// The sample coordinate of count k on one axis, exactly as the ray code forms it.
inline double sample_coordinate(int k, double d, double s) {
  return static_cast<double>(k) * d + s;
}

namespace detail {

// Smallest k in [0, count] for which pred(k) holds, where pred is monotone
// (false ... false true ... true) on [0, count) and taken as true at count.
// Starts from a guess and gallops, so a good guess costs a handful of
// evaluations and a bad one stays logarithmic.
template <class Pred>
int first_true(const Pred& pred, double guess, int count) {
  auto holds = [&](int k) { return k >= count || pred(k); };
  if (!(guess >= 0.0)) guess = 0.0;  // also catches NaN
  if (guess > count) guess = count;
  int g = static_cast<int>(guess);
  int lo;  // largest count known to fail, -1 if none
  int hi;  // smallest count known to hold
  if (holds(g)) {
    hi = g;
    int step = 1;
    for (;;) {
      int cand = hi - step;
      if (cand < 0) {
        lo = -1;
        break;
      }
      if (holds(cand)) {
        hi = cand;
        step *= 2;
      } else {
        lo = cand;
        break;
      }
    }
  } else {
    lo = g;
    int step = 1;
    for (;;) {
      int cand = lo + step;
      if (cand >= count) {
        hi = count;
        break;
      }
      if (holds(cand)) {
        hi = cand;
        break;
      }
      lo = cand;
      step *= 2;
    }
  }
  while (hi - lo > 1) {
    int mid = lo + (hi - lo) / 2;
    if (holds(mid)) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return hi;
}

// Span of counts in [0, count) for which lo_bound < k*d + s < hi_bound.
inline CountSpan axis_span(double s, double d, int lo_bound, int hi_bound, int count) {
  const double lo_b = lo_bound;
  const double hi_b = hi_bound;
  if (d == 0.0) {
    // k * (+-0) + s is s for every k (up to the sign of a zero).
    const double x = sample_coordinate(0, d, s);
    return (lo_b < x && x < hi_b) ? CountSpan{0, count} : CountSpan{0, 0};
  }
  auto above_lo = [&](int k) { return lo_b < sample_coordinate(k, d, s); };
  auto below_hi = [&](int k) { return sample_coordinate(k, d, s) < hi_b; };
  const double t_lo = (lo_b - s) / d;  // where the line meets each bound
  const double t_hi = (hi_b - s) / d;
  // The guesses need only be near: the search decides by the exact test.
  if (d > 0.0) {
    int first = first_true(above_lo, t_lo, count);
    int last = first_true([&](int k) { return !below_hi(k); }, t_hi, count);
    return CountSpan{first, last};
  }
  int first = first_true(below_hi, t_hi, count);
  int last = first_true([&](int k) { return !above_lo(k); }, t_lo, count);
  return CountSpan{first, last};
}

}  // namespace detail

// The exact span of counts k in [0, count) whose points k*d + s pass the
// inside test.
inline CountSpan inside_span(const Point3& s, const Point3& d, int count) {
  const CountSpan x = detail::axis_span(s.x, d.x, kInsideXLo, kInsideXHi, count);
  const CountSpan y = detail::axis_span(s.y, d.y, kInsideYLo, kInsideYHi, count);
  const CountSpan z = detail::axis_span(s.z, d.z, kInsideZLo, kInsideZHi, count);
  return CountSpan{std::max({x.first, y.first, z.first}), std::min({x.last, y.last, z.last})};
}

}  // namespace scan
