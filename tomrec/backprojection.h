// Ray-driven backprojection: one detector sample is spread along its ray by
// exact voxel-boundary stepping. The walk starts at the first of the sample
// points source + n*step (n = 0, 1, ...) that passes the inside test, and from
// there runs from boundary to boundary; every segment credits its length (in
// steps) to the voxel that contains its start point. The same count n numbers
// the entry search and then every segment, so a ray never has more than
// 2*dist counts in all.
//
// The walk is written once, in detail::walk_lanes; every caller (the
// reconstruction, the weight tool, the single-ray call) goes through
// walk_rays and reads the segments it leaves.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/inside_span.h"
#include "common/parallel.h"
#include "common/scan_geometry.h"
#include "common/vector_lanes.h"
#include "tomrec/rec_geometry.h"

namespace tomrec {

// The counts of a ray cut into 2*dist steps: every n >= 0 with 2*dist > n.
inline int ray_counts(double dist) {
  const double limit = 2 * dist;
  if (!(limit > 0)) return 0;
  if (limit >= INT_MAX) return INT_MAX;
  return static_cast<int>(std::ceil(limit));
}

// What a walk needs before its first segment: the step vector, the number of
// counts and the span of counts whose points pass the inside test. The first
// count of the span is the entry; the entry search is never run count by
// count, but the span is found from the very same points and comparisons.
struct RayStart {
  double source[3];
  double step[3];
  int counts;
  scan::CountSpan span;
};

inline RayStart ray_start(const double source_xyz[3], const double detector_xyz[3], double dist) {
  RayStart ray;
  for (int a = 0; a < 3; ++a) {
    ray.source[a] = source_xyz[a];
    ray.step[a] = (detector_xyz[a] - source_xyz[a]) / (2.0 * dist);
  }
  ray.counts = ray_counts(dist);
  ray.span = scan::inside_span(scan::Point3{ray.source[0], ray.source[1], ray.source[2]},
                               scan::Point3{ray.step[0], ray.step[1], ray.step[2]}, ray.counts);
  return ray;
}

// A contiguous range of z indices: the voxels one thread credits.
struct ZSlab {
  int iz_first;
  int iz_last;
  bool holds(int iz) const { return iz_first <= iz && iz <= iz_last; }
};

constexpr ZSlab kWholeGrid{0, scan::NZ - 1};

// True when a ray with this z step, at a segment of z index iz, will not
// come back into the slab: the z index falls as z rises, and along a ray z
// is monotone.
inline bool left_slab(const ZSlab& slab, double step_z, int iz) {
  if (step_z > 0) return iz < slab.iz_first;
  if (step_z < 0) return iz > slab.iz_last;
  return !slab.holds(iz);
}

// Rays walked together, and segments per ray at most. A segment always ends
// on a boundary plane that no earlier segment of the ray ended on, so a ray
// has fewer segments than the grid has planes, whatever its number of counts.
constexpr int kLanes = 16;
constexpr int kMaxSegments = 512;

// The segments that a walk of up to kLanes rays leaves, ray by ray (lane by
// lane) in walk order: segment i of lane j starts in the voxel at Volume
// position voxel(i, j) and credits credit(i, j) = sample * sub_min / weight
// of its ray (multiplied first, then divided, in double), sub_min being the
// segment's length in steps; with sample and weight 1 that is the length
// itself, bit for bit. The walk of a lane runs from the ray's entry and
// stops after its last segment or just before its first segment past the
// slab it was walked for; ran_out[j] tells the first case (the ray left the
// inside box or used up its counts). total[j] is the sum, in walk order, of
// the lengths sub_min of those segments.
//
// The lanes are kept in blocks of kBlockLanes, each block step by step: a
// walk stores one step of a block at once, and the credits of one lane,
// added segment by segment, run through the lines of its block only, which
// then stay in the cache for the block's next lane.
constexpr int kBlockLanes = 8;

struct RaySegments {
  int count[kLanes];
  bool ran_out[kLanes];
  double total[kLanes];
  // (Aligned so that a step's values of a block fill whole cache lines.)
  alignas(64) std::uint32_t voxels[kLanes / kBlockLanes][kMaxSegments][kBlockLanes];
  alignas(64) double credits[kLanes / kBlockLanes][kMaxSegments][kBlockLanes];

  std::uint32_t voxel(int i, int j) const {
    return voxels[j / kBlockLanes][i][j % kBlockLanes];
  }
  double credit(int i, int j) const { return credits[j / kBlockLanes][i][j % kBlockLanes]; }
  // Step i of lanes j, j + 1, ... up to the end of j's block.
  std::uint32_t* voxel_row(int i, int j) { return &voxels[j / kBlockLanes][i][j % kBlockLanes]; }
  double* credit_row(int i, int j) { return &credits[j / kBlockLanes][i][j % kBlockLanes]; }
};

inline int z_index_of_voxel(std::uint32_t k) { return static_cast<int>(k / (scan::NX * scan::NY)); }

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
template <int W, int G>
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
  static_assert(W * G <= kLanes && kBlockLanes % (W * G) == 0,
                "the lanes of one walk, within a block");
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
  const double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
  constexpr int kFloorMode = 0x09;                     // towards -inf, no inexact signal
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
        // floor, exact either way: AVX's rounding instruction (only ever
        // expanded inside the AVX2 walk), or else the nearest integer (adding
        // and taking away 1.5 * 2^52 rounds |b| < 2^51 to an integer exactly)
        // less one where that lies above b. The latter never gives -0.0 where
        // floor does; no later value can tell, as a point on an integer
        // always has its cell moved.
        Real f;
#if defined(__x86_64__) || defined(__i386__)
        if constexpr (W == 4) {
          // Expanded inline in the AVX2 walk, so no value crosses a call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
          f = (Real)__builtin_ia32_roundpd256((__v4df)b[g][a], kFloorMode);
#pragma GCC diagnostic pop
        } else
#endif
        {
          const Real nearest = (b[g][a] + kRoundingShift) - kRoundingShift;
          f = (nearest > b[g][a]) ? nearest - 1.0 : nearest;
        }
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
      const Real iz = NZ / 2 - floors[2];
      const Real position = iz * double{NX * NY} + (NY / 2 - floors[1]) * double{NX} +
                            (floors[0] + NX / 2);
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

#if defined(__x86_64__) || defined(__i386__)
// Two groups of four lanes in AVX2 registers where the processor has them,
// into lanes first_lane ... first_lane + 7 of out; the operations are the
// same IEEE operations, so the results are the same bits.
__attribute__((target("avx2"))) void walk_eight_avx2(const RayStart* rays, const double* sample,
                                                     const double* weight, int count,
                                                     const ZSlab& slab, RaySegments& out,
                                                     int first_lane, const double* accumulator);
bool has_avx2();
// Groups of eight lanes in AVX-512 registers, where the processor has them.
void walk_lanes_avx512(const RayStart* rays, const double* sample, const double* weight, int count,
                       const ZSlab& slab, RaySegments& out, const double* accumulator);
bool has_avx512();
#endif
void walk_two(const RayStart* rays, const double* sample, const double* weight, int count,
              const ZSlab& slab, RaySegments& out, int first_lane, const double* accumulator);

}  // namespace detail

// Walks rays[0 .. count-1] (count <= kLanes) through the fixed grid
// (scan::NX, NY, NZ) for the voxels of slab and leaves their segments in out;
// ray l's sample value and weight are sample[l] and weight[l]. The voxels of
// the first ray are fetched ahead into the cache from accumulator, where
// given: the caller adds there next.
void walk_rays(const RayStart* rays, const double* sample, const double* weight, int count,
               const ZSlab& slab, RaySegments& out, const double* accumulator = nullptr);

// The walk of one ray: visit(k, iz, sub_min) for every segment in order,
// with k the Volume position of the voxel of the segment's start point, iz
// its z index and sub_min the segment's length in steps.
template <class Visit>
void walk_ray(const RayStart& ray, Visit&& visit) {
  const std::unique_ptr<RaySegments> out = std::make_unique<RaySegments>();
  const double one = 1.0;
  walk_rays(&ray, &one, &one, 1, kWholeGrid, *out);
  for (int i = 0; i < out->count[0]; ++i) {
    visit(std::size_t{out->voxel(i, 0)}, z_index_of_voxel(out->voxel(i, 0)), out->credit(i, 0));
  }
}

// The walk of the line source_xyz -> detector_xyz cut into 2*dist steps.
template <class Visit>
void trace_ray(const double source_xyz[3], const double detector_xyz[3], double dist,
               Visit&& visit) {
  walk_ray(ray_start(source_xyz, detector_xyz, dist), visit);
}

// Adds sample (v, r, c) of proj, times each segment length and divided by
// its detector sum, into volume_acc (double, Volume layout) along the line
// source_xyz -> detector_xyz, cut into 2*dist steps. A sample whose detector
// sum is 0 adds nothing. NX, NY and NZ must be the scan's grid sizes.
void backproject_ray(const float* proj, const float* detector_sum, int v, int r, int c,
                     double* volume_acc, const double source_xyz[3], const double detector_xyz[3],
                     int NX, int NY, int NZ, double dist);

// ---------------------------------------------------------------------------
// Slab parallelism. Every voxel must receive its additions in the order view,
// row, column, whatever the number of threads. Each thread therefore owns a
// contiguous range of z indices (a slab), walks every ray in that order and
// credits only the voxels of its slab. Along a ray z is monotone, so a
// thread can stop a ray as soon as it has left the slab, and skip a ray that
// cannot reach it.

// False only when no segment of the ray can lie in the slab. The segment
// starts lie on the ray between its entry count and the first count past the
// inside span; a cell of margin covers the rounding of the walked points.
bool may_reach(const RayStart& ray, const ZSlab& slab);

// Where along the lines of a view (as the fraction u of the way from the
// source to each detector point) any of them can be inside the box: every
// inside point lies within radius 90 of the z axis (the box reaches
// sqrt(63^2 + 63^2) < 89.1), and the x and y of a view's lines do not depend
// on the row.
struct ViewReach {
  double u_first, u_last;  // empty when u_first > u_last
};
ViewReach view_reach(const ViewRays& rays);

// False only when no ray of row r of the view can have a segment in the
// slab: the heights of the row's lines over the reach, with a cell of margin.
bool row_may_reach(const ViewRays& rays, const ViewReach& reach, int r, const ZSlab& slab);

// The slabs for `threads` threads, in ascending z index, covering 0 ... NZ-1.
// One thread has the whole grid; two have the halves that the upper rows
// (z > 0, iz <= NZ/2) and the lower rows reach; more are balanced by an
// estimate of the segments each one walks.
std::vector<ZSlab> plan_slabs(int threads);

// A batch of rays of one view and row, in ascending column order, with
// their sample values and weights.
struct RayBatch {
  int view = 0, row = 0, count = 0;
  int column[kLanes];
  double sample[kLanes], weight[kLanes];
  RayStart ray[kLanes];
};

// Runs one thread per slab of plan_slabs(threads). Each walks the rays
// (v, r, c) of views first_view ... last_view - 1 in the order view, row,
// column, keeps those for which wanted(v, r, c, sample, weight) holds (it
// sets the two values of the ray) and that may reach its slab, walks them in
// batches of up to kLanes and hands each batch with its segments, in that
// order, to
//   batch_work(slab, batch, segments),
// which adds into accumulator (Volume layout; fetched ahead by the walk).
// on_view_done(v) is called once per view when every slab has finished it
// (from any thread, possibly out of order).
template <class Wanted, class BatchWork>
void walk_views_in_slabs(int first_view, int last_view, int threads, const double* accumulator,
                         Wanted&& wanted, BatchWork&& batch_work,
                         const std::function<void(int)>& on_view_done) {
  const std::vector<ZSlab> slabs = plan_slabs(threads);
  const int slab_count = static_cast<int>(slabs.size());
  std::vector<std::atomic<int>> slabs_done(scan::kViews);
  tomio::parallel_for(slab_count, slab_count, [&](int item, int) {
    const ZSlab slab = slabs[static_cast<std::size_t>(item)];
    const std::unique_ptr<RaySegments> segments = std::make_unique<RaySegments>();
    RayBatch batch;
    auto flush = [&]() {
      walk_rays(batch.ray, batch.sample, batch.weight, batch.count, slab, *segments, accumulator);
      batch_work(slab, static_cast<const RayBatch&>(batch),
                 static_cast<const RaySegments&>(*segments));
      batch.count = 0;
    };
    for (int v = first_view; v < last_view; ++v) {
      const ViewRays rays = view_rays(v);
      const ViewReach reach = view_reach(rays);
      batch.view = v;
      for (int r = 0; r < 2 * NY; ++r) {
        if (!row_may_reach(rays, reach, r, slab)) continue;
        batch.row = r;
        batch.count = 0;
        for (int c = 0; c < 2 * NX; ++c) {
          double& sample = batch.sample[batch.count];
          double& weight = batch.weight[batch.count];
          if (!wanted(v, r, c, sample, weight)) continue;
          double detector[3];
          detector_point(rays, r, c, detector);
          RayStart& ray = batch.ray[batch.count];
          ray = ray_start(rays.source, detector, kDist);
          if (!may_reach(ray, slab)) continue;
          batch.column[batch.count] = c;
          if (++batch.count == kLanes) flush();
        }
        if (batch.count > 0) flush();
      }
      const bool last = slabs_done[static_cast<std::size_t>(v)].fetch_add(1) + 1 == slab_count;
      if (last && on_view_done) on_view_done(v);
    }
  });
}

// Adds the credits of lane j's segments that lie in the slab into acc
// (Volume layout), in walk order, and tells whether there were any. A ray's
// segments in the slab follow those before it, as z is monotone along the
// ray. The voxels of lane j + 1, which adds next, are fetched ahead
// meanwhile (lanes of a batch are neighbouring rays and mostly share them).
inline bool add_lane_credits(const ZSlab& slab, const RaySegments& seg, int j, int lanes,
                             double* __restrict acc) {
  const int count = seg.count[j];
  int i = 0;
  while (i < count && !slab.holds(z_index_of_voxel(seg.voxel(i, j)))) ++i;
  const bool any = i < count;
  if (j + 1 < lanes) {
    for (; i < count; ++i) {
      // (Past its own count a lane's voxels are left-over values: kept on
      // the grid, as a fetch needs only an address.)
      __builtin_prefetch(acc + (seg.voxel(i, j + 1) & (scan::kVolumeSamples - 1)), 1);
      acc[seg.voxel(i, j)] += seg.credit(i, j);
    }
  } else {
    for (; i < count; ++i) acc[seg.voxel(i, j)] += seg.credit(i, j);
  }
  return any;
}

// Backprojects every sample of views first_view ... last_view - 1 into
// volume_acc on `threads` threads, with the sums of a single thread working
// in the order view, row, column. The run passes all views, 0 ... 2*NY - 1.
void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view, int threads,
                       const std::function<void(int)>& on_view_done);

// Backprojects `count` stacks through the same rays in one walk: projs[j]
// (ProjectionStack layout), divided by the shared detector_sum, is added
// into volume_accs[j] (Volume layout, double). Each ray is walked once; each
// accumulator's voxels receive their additions in the order view, row,
// column, so volume_accs[j] ends bit for bit as backproject_views leaves it
// for projs[j] alone, at any number of threads.
void backproject_stacks(const float* const* projs, const float* detector_sum,
                        double* const* volume_accs, int count, int first_view, int last_view,
                        int threads, const std::function<void(int)>& on_view_done);

}  // namespace tomrec
