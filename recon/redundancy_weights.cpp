#include "recon/redundancy_weights.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/failure.h"
#include "core/portable_math.h"

namespace quant {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadian = kPi / 180.0;
// Angles closer than this (degrees) to a full turn count as one.
constexpr double kTurnTolerance = 1e-6;

// sin^2(pi/2 x) for x in [0, 1], 0 below, 1 above: the smooth step of both
// weights, from the portable sine so that the weights are the same bits on
// every machine.
double smooth_step(double x) {
  if (!(x > 0.0)) return 0.0;
  if (x >= 1.0) return 1.0;
  double s = 0.0, c = 0.0;
  portable::sin_cos_degrees(90.0 * x, s, c);
  return s * s;
}

std::string degrees_text(double radians) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", radians / kRadian);
  return text;
}

}  // namespace

ScanArc scan_arc(const std::vector<double>& a) {
  const std::size_t n = a.size();
  if (n < 2) tomio::fail_usage("the scan needs at least two view angles");
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(a[k])) tomio::fail_usage("view angle " + std::to_string(k) + " is not a finite number");
    if (k > 0 && !(a[k] > a[k - 1]))
      tomio::fail_usage("the view angles must ascend strictly (angle " + std::to_string(k) + ")");
  }
  const double span = a[n - 1] - a[0];
  const double arc_deg = span + span / static_cast<double>(n - 1);
  if (arc_deg > 360.0 + kTurnTolerance && span >= 360.0)
    tomio::fail_usage("the view angles span more than one turn");
  ScanArc s;
  s.full_turn = arc_deg >= 360.0 - kTurnTolerance;
  s.interval.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    double before, after;
    if (s.full_turn) {
      before = k > 0 ? a[k] - a[k - 1] : a[0] + 360.0 - a[n - 1];
      after = k + 1 < n ? a[k + 1] - a[k] : a[0] + 360.0 - a[n - 1];
    } else {
      before = k > 0 ? a[k] - a[k - 1] : a[1] - a[0];
      after = k + 1 < n ? a[k + 1] - a[k] : a[n - 1] - a[n - 2];
    }
    s.interval[k] = 0.5 * (before + after) * kRadian;
  }
  s.beta.resize(n);
  for (std::size_t k = 0; k < n; ++k) s.beta[k] = (a[k] - a[0]) * kRadian + 0.5 * s.interval[0];
  for (double d : s.interval) s.arc += d;
  return s;
}

double column_offset(const geom::CircularScan& scan, std::int64_t c) {
  return scan.offset_u + (static_cast<double>(c) - 0.5 * static_cast<double>(scan.columns - 1)) * scan.pitch_column;
}

double fan_angle(double u, double sdd) { return -portable::atan(u / sdd); }

RedundancyPlan plan_redundancy(const geom::CircularScan& scan, const ScanArc& arc, double smoothing,
                               bool weights) {
  if (!(smoothing > 0.0 && smoothing <= 1.0))
    tomio::fail_usage("the Parker smoothing must lie in (0, 1]");
  RedundancyPlan plan;
  plan.smoothing = smoothing;
  const double half_width = 0.5 * static_cast<double>(scan.columns) * scan.pitch_column;
  const double shift = std::fabs(scan.offset_u);
  plan.half_fan = portable::atan((half_width + shift) / scan.sdd);
  if (!weights) return plan;
  const bool centred = shift <= 0.5 * scan.pitch_column;
  if (!arc.full_turn) {
    if (!centred) {
      tomio::fail_usage("a short scan needs a detector centred on the central ray (its column offset " +
                        std::to_string(scan.offset_u) + " mm is more than half a column); an offset "
                        "detector needs a full turn");
    }
    const double needed = kPi + 2.0 * plan.half_fan;
    if (arc.arc < needed * (1.0 - 1e-12)) {
      tomio::fail_usage("a short scan of " + degrees_text(arc.arc) + " degrees is too short for FDK: it needs "
                        "at least " + degrees_text(needed) + " degrees (180 plus the fan angle of " +
                        degrees_text(2.0 * plan.half_fan) + ")");
    }
    plan.kind = Redundancy::short_scan;
    plan.overscan = 0.5 * (arc.arc - kPi);
    return plan;
  }
  if (centred) return plan;
  // The narrow side's outermost column centre bounds the overlap: its
  // weight falls to 0 there, where the data end.
  plan.overlap = half_width - shift - 0.5 * scan.pitch_column;
  if (!(plan.overlap > 0.0)) {
    tomio::fail_usage("the detector does not hold the central ray: its column offset " +
                      std::to_string(scan.offset_u) + " mm exceeds half its width less one column");
  }
  plan.kind = Redundancy::offset_detector;
  plan.wide_side = scan.offset_u > 0.0 ? 1.0 : -1.0;
  return plan;
}

double parker_weight(double beta, double gamma, double overscan, double q) {
  if (beta < 0.0 || beta > kPi + 2.0 * overscan) return 0.0;
  // The transition of Parker's zone at fraction t, narrowed to q around the
  // zone's middle: f(t) + f(1 - t) = 1 for every q.
  auto transition = [q](double t) { return smooth_step((t - 0.5 * (1.0 - q)) / q); };
  if (beta < 2.0 * (overscan - gamma)) return transition(beta / (2.0 * (overscan - gamma)));
  if (beta <= kPi - 2.0 * gamma) return 1.0;
  return transition((kPi + 2.0 * overscan - beta) / (2.0 * (overscan + gamma)));
}

double wang_weight(double u, double overlap, double wide_side) {
  const double x = wide_side * u / overlap;  // -1 at the narrow edge, +1 at the wide one
  return smooth_step(0.5 * (1.0 + x));
}

void column_weights(const geom::CircularScan& scan, const ScanArc& arc, const RedundancyPlan& plan,
                    std::int64_t view, double* weights) {
  for (std::int64_t c = 0; c < scan.columns; ++c) {
    const double u = column_offset(scan, c);
    double w = 0.5;
    if (plan.kind == Redundancy::short_scan) {
      w = parker_weight(arc.beta[static_cast<std::size_t>(view)], fan_angle(u, scan.sdd), plan.overscan,
                        plan.smoothing);
    } else if (plan.kind == Redundancy::offset_detector) {
      w = wang_weight(u, plan.overlap, plan.wide_side);
    }
    weights[c] = w;
  }
}

}  // namespace quant
