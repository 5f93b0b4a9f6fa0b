// What the reconstructor's lane walk (operators/lane_walk.inc) starts from and
// leaves: the values of its lanes at the entry, and the counts of segments
// at the end.
#pragma once

#include "core/scan_geometry.h"
#include "operators/ray_walk.h"

namespace tomrec {
namespace detail {

// The values with which every lane of a walk starts, lane by lane, for the
// rays of a batch (at most kLanes). Spare lanes, and rays without an inside
// point, walk nothing: they start inactive, with a unit step at the origin,
// so that their values stay harmless and are never used.
struct LaneStart {
  double b[3][kLanes];            // the entry point
  double step[3][kLanes];
  double recip[3][kLanes];        // 1 / step
  // +-1 with the sign of step: sign / step and sign * recip are exactly
  // |1 / step|, the length of one cell (a sign never rounds).
  double sign[3][kLanes];
  // The next boundary lies at cell + ahead; a cell moved one on in the
  // direction of travel puts it at cell + moved_ahead (integers, exact).
  double moved_ahead[3][kLanes];
  double ahead[3][kLanes];
  // The walked point moves monotonically along each axis, and the entry
  // passes the inside test, so of each axis's two bounds only the one ahead
  // can fail: (b ^ flip) < far, flip being the sign bit where the ray falls
  // (far is then -lo) and far +inf where it does not move.
  double far[3][kLanes];
  long long flip[3][kLanes];
  double scale_up[kLanes], scale_down[kLanes];  // sample value and weight
  double remaining[kLanes];                     // counts left, the entry's own included
  long long active[kLanes], rising[kLanes], falling[kLanes];  // all ones or zero
  // Whether every ray of the walk surely stays in its slab: no lane can
  // then come past it.
  bool contained;
};

void start_lanes(const RayStart* rays, const double* sample, const double* weight, int count,
                 int lanes, const ZSlab& slab, LaneStart& start);

// The fewest counts left at the entry of any lane that walks (more than any
// walk can use when none does): no lane runs out of counts before.
int fewest_counts(const LaneStart& start, int lanes);

// Leaves each lane's count of segments, whether it ran out (it was never
// stopped at the slab) and its total in out, at lanes first_lane ... on;
// counted, stopped (zero or not) and total hold count lanes.
void finish_lanes(const long long* counted, const long long* stopped, const double* total,
                  int count, RaySegments& out, int first_lane);

}  // namespace detail

}  // namespace tomrec

