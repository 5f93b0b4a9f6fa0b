// The kernel of the reconstructor's walk: the walk of G groups of W rays at
// once, one ray per lane, written once over the lanes of common/vector_lanes.h
// and compiled by tomrec/ray_walk.cpp for each kernel of the process.
#pragma once

#include <cstring>
#include <stdexcept>

#include "common/scan_geometry.h"
#include "common/vector_lanes.h"
#include "tomrec/ray_walk.h"

// (Lane values pass only between inlined functions.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tomrec {
namespace detail {

#define TOMREC_ALWAYS_INLINE inline __attribute__((always_inline))

using lanes::Lanes;

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
  double scale_up[kLanes], scale_down[kLanes];  // sample value and weight
  double remaining[kLanes];                     // counts left, the entry's own included
  long long active[kLanes], rising[kLanes], falling[kLanes];  // all ones or zero
};

void start_lanes(const RayStart* rays, const double* sample, const double* weight, int count,
                 int lanes, LaneStart& start);

// The fewest counts left at the entry of any lane that walks (more than any
// walk can use when none does): no lane runs out of counts before.
int fewest_counts(const LaneStart& start, int lanes);

// Leaves each lane's count of segments, whether it ran out (it was never
// stopped at the slab) and its total in out, at lanes first_lane ... on;
// counted, stopped (zero or not) and total hold count lanes.
void finish_lanes(const long long* counted, const long long* stopped, const double* total,
                  int count, RaySegments& out, int first_lane);

// The walk of G groups of W rays at once, one ray per lane, into the lanes
// first_lane ... of out. Every lane carries out exactly the arithmetic of a
// lone walk of its ray (each lane's values are rounded as if it were walked
// by itself); the lanes only share the instructions. Count by count:
//   cells     the floors of the point, moved one cell in the direction of
//             travel where the point lies within 1e-6 of a boundary;
//   distances to the next boundary of each axis, in steps: (cell + 1 - b) /
//             step travelling upwards (a zero step counts as upwards), (cell
//             - b) / step downwards; the axis whose boundary ended the
//             previous segment gets one full cell, |1 / step|, instead;
//   segment   the shortest of the three, the lower axis on equal values; it
//             is credited to the voxel of the plain floors of its start;
//   advance   b += sub_min * step on every axis, then the next count, while
//             the point passes the inside test and counts remain.
// The divisions are the costly part, and only one quotient is ever used.
// So the three distances are first compared through products with 1/step:
// such a product and the rounded quotient both lie within 3 units of
// rounding (2^-53 relative) of the true ratio, so when the smallest product
// times (1 + 1e-14) is still below the others, the quotients are ordered the
// same way and cannot be equal, and only the winner is divided out (or it is
// the full cell width, which is exact). Any closer call, and anything not
// positive, divides all three as written.
template <int W, int G, class Floor>
TOMREC_ALWAYS_INLINE void walk_lanes(const RayStart* rays, const double* sample,
                                     const double* weight, int count, const ZSlab& slab,
                                     RaySegments& out, int first_lane, const double* accumulator) {
  using Real = typename Lanes<W>::Real;
  using Mask = typename Lanes<W>::Mask;
  using Index = typename Lanes<W>::Index;
  using Position = typename Lanes<W>::Position;
  using scan::NX;
  using scan::NY;
  using scan::NZ;
  // (Each group stores its lanes' step within one block.)
  static_assert(W * G <= kLanes && kBlockLanes % W == 0, "the lanes of a group, within a block");
  LaneStart start;
  start_lanes(rays, sample, weight, count, W * G, start);
  Real b[G][3], step[G][3], recip[G][3], sign[G][3], moved_ahead[G][3], ahead[G][3];
  Real counts_left[G];
  Real scale_up[G], scale_down[G], total[G];
  Mask previous[G][3], active[G], counted[G], stopped[G], rising[G], falling[G];
  for (int g = 0; g < G; ++g) {
    for (int a = 0; a < 3; ++a) {
      std::memcpy(&b[g][a], &start.b[a][g * W], sizeof(Real));
      std::memcpy(&step[g][a], &start.step[a][g * W], sizeof(Real));
      std::memcpy(&recip[g][a], &start.recip[a][g * W], sizeof(Real));
      std::memcpy(&sign[g][a], &start.sign[a][g * W], sizeof(Real));
      std::memcpy(&moved_ahead[g][a], &start.moved_ahead[a][g * W], sizeof(Real));
      std::memcpy(&ahead[g][a], &start.ahead[a][g * W], sizeof(Real));
      previous[g][a] = Mask{};
    }
    std::memcpy(&scale_up[g], &start.scale_up[g * W], sizeof(Real));
    std::memcpy(&scale_down[g], &start.scale_down[g * W], sizeof(Real));
    std::memcpy(&counts_left[g], &start.remaining[g * W], sizeof(Real));
    std::memcpy(&active[g], &start.active[g * W], sizeof(Mask));
    std::memcpy(&rising[g], &start.rising[g * W], sizeof(Mask));
    std::memcpy(&falling[g], &start.falling[g * W], sizeof(Mask));
    counted[g] = Mask{};
    stopped[g] = Mask{};
    total[g] = Real{};
  }
  const double x_lo = scan::kInsideXLo, x_hi = scan::kInsideXHi;
  const double y_lo = scan::kInsideYLo, y_hi = scan::kInsideYHi;
  const double z_lo = scan::kInsideZLo, z_hi = scan::kInsideZHi;
  const int fewest = fewest_counts(start, W * G);
  for (int i = 0;; ++i) {
    long long any = 0;
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      for (int j = 0; j < W; ++j) any |= active[g][j];
    }
    if (!any) break;
    if (i == kMaxSegments) throw std::length_error("a ray has more segments than the grid has planes");
    // (Unrolled, so that every group's values stay in registers.)
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      Real num[3], ratio[3], floors[3];
#pragma GCC unroll 3
      for (int a = 0; a < 3; ++a) {
        // floor, exact: the kernel's rounding instruction, or its portable
        // form (see lanes::PortableFloor).
        const Real f = Floor::floor(b[g][a]);
        floors[a] = f;
        // |b - floor(b)| is b - floor(b): never below +0.
        const Real d = b[g][a] - f;
        const Real to_boundary = ((d < 1e-6) | (d > 0.999999)) ? moved_ahead[g][a] : ahead[g][a];
        num[a] = (f + to_boundary) - b[g][a];
        // The axis that ended the previous segment gets one full cell: its
        // distance becomes the sign of its step, so that both the product
        // and the quotient below are |1 / step| exactly.
        num[a] = previous[g][a] ? sign[g][a] : num[a];
        ratio[a] = num[a] * recip[g][a];
      }
      Mask lower1 = ratio[1] < ratio[0];
      Real sub_min = lower1 ? ratio[1] : ratio[0];
      Mask lower2 = ratio[2] < sub_min;
      sub_min = lower2 ? ratio[2] : sub_min;
      Mask win2 = lower2, win1 = lower1 & ~lower2, win0 = ~(lower1 | lower2);
      // The runner-up: the middle one of the three.
      const Real low01 = lower1 ? ratio[1] : ratio[0];
      const Real high01 = lower1 ? ratio[0] : ratio[1];
      const Real above_low = (ratio[2] < low01) ? low01 : ratio[2];
      const Real second = (above_low < high01) ? above_low : high01;
      const Real margin = sub_min * (1.0 + 1e-14);
      const Mask clear = (sub_min > 0.0) & (margin < second);
      long long close_call = 0;
      for (int j = 0; j < W; ++j) close_call |= active[g][j] & ~clear[j];
      if (close_call) {
        Real sub[3];
        for (int a = 0; a < 3; ++a) sub[a] = num[a] / step[g][a];
        lower1 = sub[1] < sub[0];
        sub_min = lower1 ? sub[1] : sub[0];
        lower2 = sub[2] < sub_min;
        sub_min = lower2 ? sub[2] : sub_min;
        win2 = lower2;
        win1 = lower1 & ~lower2;
        win0 = ~(lower1 | lower2);
      } else {
        // The winner's distance and step, chosen the way the shortest was.
        const Real num_win = lower2 ? num[2] : (lower1 ? num[1] : num[0]);
        const Real step_win = lower2 ? step[g][2] : (lower1 ? step[g][1] : step[g][0]);
        sub_min = num_win / step_win;
      }
      previous[g][0] = win0;
      previous[g][1] = win1;
      previous[g][2] = win2;

      // The segment, and the end of the lane's walk at its first segment
      // past the slab. The indices are small integers, exact in doubles.
      const Real iz = double{scan::voxel_iz(0)} - floors[2];
      const Real position = (floors[0] + double{scan::kCellOriginPosition}) -
                            (floors[1] * double{scan::kPositionPerY} +
                             floors[2] * double{scan::kPositionPerZ});
      // (Unsigned, so that the values of idle lanes wrap harmlessly.)
      const Position k = (Position)__builtin_convertvector(position, Index);
      const Mask below = iz < double(slab.iz_first);
      const Mask above = iz > double(slab.iz_last);
      const Mask past = (below & rising[g]) | (above & falling[g]) |
                        ((below | above) & ~(rising[g] | falling[g]));
      std::memcpy(out.voxel_row(i, first_lane + g * W), &k, sizeof k);
      // The first ray's credits are added first, right after the walk.
      if (g == 0 && accumulator != nullptr) __builtin_prefetch(accumulator + k[0], 1);
      const Real credit = sub_min * scale_up[g] / scale_down[g];
      std::memcpy(out.credit_row(i, first_lane + g * W), &credit, sizeof credit);
      stopped[g] = stopped[g] | (active[g] & past);
      active[g] = active[g] & ~past;
      counted[g] = counted[g] - active[g];
      total[g] = total[g] + (active[g] ? sub_min : Real{});

#pragma GCC unroll 3
      for (int a = 0; a < 3; ++a) b[g][a] = b[g][a] + sub_min * step[g][a];
      const Mask inside = (b[g][0] > x_lo) & (b[g][0] < x_hi) & (b[g][1] > y_lo) &
                          (b[g][1] < y_hi) & (b[g][2] > z_lo) & (b[g][2] < z_hi);
      // Counts left after this one: counts_left - (i + 1) > 0, in integers.
      active[g] = active[g] & inside;
      if (i + 1 >= fewest) active[g] = active[g] & (counts_left[g] > double(i + 1));
    }
  }
  long long counted_lanes[kLanes], stopped_lanes[kLanes];
  double total_lanes[kLanes];
  for (int g = 0; g < G; ++g) {
    std::memcpy(&counted_lanes[g * W], &counted[g], sizeof(Mask));
    std::memcpy(&stopped_lanes[g * W], &stopped[g], sizeof(Mask));
    std::memcpy(&total_lanes[g * W], &total[g], sizeof(Real));
  }
  finish_lanes(counted_lanes, stopped_lanes, total_lanes, count < W * G ? count : W * G, out,
               first_lane);
}

}  // namespace detail

}  // namespace tomrec

#pragma GCC diagnostic pop
