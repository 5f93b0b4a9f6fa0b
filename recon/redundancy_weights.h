// How often a circular scan measures each line, and the weights that make
// every line count once in FDK.
//
// A full turn measures every line twice (from either end): each ray counts
// one half. A short scan (an arc of at least 180 degrees plus the fan angle,
// less than a turn) measures some lines twice and others once; Parker's
// weights (D. L. Parker, Med. Phys. 9 (1982) 254) ramp smoothly between
// them so that the two measurements of a line sum to 1. A full turn on an
// offset detector (one side of the central ray wider than the other, the
// "half-fan" scan) measures the lines of the overlap |u| <= u0 twice and the
// rest once; Wang's weights (G. Wang, Med. Phys. 29 (2002) 1634) ramp across
// the overlap, sin^2(pi/4 (1 + u/u0)) towards the wide side, so that the two
// measurements sum to 1 there and the wide side keeps weight 1.
//
// Parker's weights here take the smoothing q of Wesarg, Ebert and Bortfeld
// (Med. Phys. 29 (2002) 372): the sin^2 transitions are narrowed to the
// fraction q of Parker's transition zones, around their middles. q = 1 is
// Parker's original; a smaller q keeps more rays at full weight (less
// noise) with steeper transitions.
//
// Angles: beta is a view's angle from the start of the arc, gamma a ray's
// fan angle in the middle plane; in this scan's frame a ray at detector
// offset u along the column direction has gamma = -atan(u / sdd), so that
// the line of (beta, gamma) is measured again at (beta + pi + 2 gamma,
// -gamma), the form in which Parker wrote his weights.
#pragma once

#include <cstdint>
#include <vector>

#include "core/geometry.h"

namespace quant {

// The arc a list of view angles covers (degrees in, radians out). Each view
// stands for the interval halfway to its neighbours; the first and last
// views of an open arc for the full step to their one neighbour. The angles
// must be finite and strictly ascending, at least two, and span at most one
// turn. A list whose arc (its span plus one mean step) reaches 360 degrees,
// within 1e-6 degrees, is a full turn, whose intervals wrap around.
struct ScanArc {
  std::vector<double> interval;  // per view, radians
  std::vector<double> beta;      // per view: from the arc's start to the view, radians
  double arc = 0.0;              // the sum of the intervals, radians
  bool full_turn = false;
};
ScanArc scan_arc(const std::vector<double>& angles_deg);

enum class Redundancy {
  full_turn,        // every ray one half
  short_scan,       // Parker's weights
  offset_detector,  // Wang's weights
};

// The weighting a scan needs. With `weights` false every ray counts one
// half, as in a full turn, whatever the scan (to show what the weights do).
// A detector counts as centred when its centre is within half a column
// pitch of the central ray (the defined scan's half-pixel shift); beyond
// that, a full turn takes Wang's weights. Refused (usage failure): a short
// arc below 180 degrees plus the fan angle (naming the arc needed), a short
// arc on an offset detector, an offset detector that does not hold the
// central ray, and a smoothing outside (0, 1].
struct RedundancyPlan {
  Redundancy kind = Redundancy::full_turn;
  double half_fan = 0.0;    // the widest ray's |gamma| (to a detector edge), radians
  double overscan = 0.0;    // short scans: half the arc beyond 180 degrees, radians
  double smoothing = 1.0;   // q
  double overlap = 0.0;     // offset detectors: u0, mm on the detector
  double wide_side = 1.0;   // offset detectors: +1 when the wide side is at u > 0, else -1
};
RedundancyPlan plan_redundancy(const geom::CircularScan& scan, const ScanArc& arc, double smoothing,
                               bool weights);

// Parker's weight of the ray (beta, gamma) on an arc of pi + 2 overscan,
// with the smoothing q; 0 outside the arc.
double parker_weight(double beta, double gamma, double overscan, double smoothing);

// Wang's weight of the ray at detector offset u (mm) with overlap u0 and
// the wide side's sign.
double wang_weight(double u, double overlap, double wide_side);

// The fan angle of the ray at detector offset u (mm), in Parker's sign.
double fan_angle(double u, double sdd);

// The redundancy weight of every column of view `view`, the factor of the
// ray count included (1/2 on a full turn).
void column_weights(const geom::CircularScan& scan, const ScanArc& arc, const RedundancyPlan& plan,
                    std::int64_t view, double* weights);

// The detector offset (mm, along the column direction) of column c's centre.
double column_offset(const geom::CircularScan& scan, std::int64_t c);

}  // namespace quant
