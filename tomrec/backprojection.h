// Ray-driven backprojection: one detector sample is spread along its ray by
// exact voxel-boundary stepping. The walk starts at the first of the sample
// points source + n*step (n = 0, 1, ...) that passes the inside test, and from
// there runs from boundary to boundary; every segment credits its length (in
// steps) to the voxel that contains its start point. The same count n numbers
// the entry search and then every segment, so a ray never has more than
// 2*dist counts in all.
//
// The walk is written once, in walk_ray; every caller (the reconstruction,
// the weight tool) hands it what to do with each segment.
#pragma once

#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/inside_span.h"
#include "common/parallel.h"
#include "common/scan_geometry.h"
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

namespace detail {

#define TOMREC_ALWAYS_INLINE inline __attribute__((always_inline))

// W doubles side by side (GCC/Clang vector extensions), the masks of their
// comparisons (all ones or zero per lane) and W ints.
template <int W>
struct Lanes {
  typedef double Real __attribute__((vector_size(8 * W)));
  typedef long long Mask __attribute__((vector_size(8 * W)));
  typedef int Index __attribute__((vector_size(4 * W)));
};

// The walk of up to W rays at once, one ray per lane. Every lane carries out
// exactly the arithmetic of a lone walk of its ray (each lane's values are
// rounded as if it were walked by itself); the lanes only share the
// instructions. For each lane, count by count:
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
template <int W, class Visit>
TOMREC_ALWAYS_INLINE void walk_lanes(const RayStart* rays, int count, Visit& visit, bool* ended) {
  using Real = typename Lanes<W>::Real;
  using Mask = typename Lanes<W>::Mask;
  using Index = typename Lanes<W>::Index;
  using scan::NX;
  using scan::NY;
  using scan::NZ;
  Real b[3], step[3], recip[3], full[3], move[3], ahead[3], remaining;
  Mask previous[3], active;
  for (int j = 0; j < W; ++j) {
    // Spare lanes walk nothing; their harmless values are never used.
    const bool live = j < count && !rays[j].span.empty();
    if (j < count) ended[j] = true;
    for (int a = 0; a < 3; ++a) {
      const double s = live ? rays[j].step[a] : 1.0;
      step[a][j] = s;
      b[a][j] = live ? scan::sample_coordinate(rays[j].span.first, s, rays[j].source[a]) : 0.0;
      recip[a][j] = 1.0 / s;
      full[a][j] = std::fabs(1.0 / s);
      move[a][j] = s >= 0 ? 1.0 : -1.0;
      ahead[a][j] = s >= 0 ? 1.0 : 0.0;
      previous[a][j] = 0;
    }
    // Counts left, the entry count's own included.
    remaining[j] = live ? static_cast<double>(rays[j].counts - rays[j].span.first) : 0.0;
    active[j] = live ? -1 : 0;
  }
  const Mask magnitude = Mask{} + 0x7fffffffffffffffLL;
  const double x_lo = scan::kInsideXLo, x_hi = scan::kInsideXHi;
  const double y_lo = scan::kInsideYLo, y_hi = scan::kInsideYHi;
  const double z_lo = scan::kInsideZLo, z_hi = scan::kInsideZHi;
  for (;;) {
    long long any = 0;
    for (int j = 0; j < W; ++j) any |= active[j];
    if (!any) return;

    Real num[3], ratio[3];
    Index floors[3];
    for (int a = 0; a < 3; ++a) {
      // floor: truncation, one less below zero (|b| < 64 inside the box).
      // The cell is never -0.0 where floor would give it; no later value
      // can tell, as a point on an integer always has its cell moved.
      Real f = __builtin_convertvector(__builtin_convertvector(b[a], Index), Real);
      f = (b[a] < f) ? f - 1.0 : f;
      floors[a] = __builtin_convertvector(f, Index);
      const Real d = (Real)((Mask)(b[a] - f) & magnitude);
      const Real cell = ((d < 1e-6) | (d > 0.999999)) ? f + move[a] : f;
      num[a] = cell + ahead[a] - b[a];
      ratio[a] = previous[a] ? full[a] : num[a] * recip[a];
    }
    Mask lower1 = ratio[1] < ratio[0];
    Real sub_min = lower1 ? ratio[1] : ratio[0];
    Mask lower2 = ratio[2] < sub_min;
    sub_min = lower2 ? ratio[2] : sub_min;
    Mask win2 = lower2, win1 = lower1 & ~lower2, win0 = ~(lower1 | lower2);
    const Real margin = sub_min * (1.0 + 1e-14);
    const Mask clear = (sub_min > 0.0) & (win0 | (margin < ratio[0])) &
                       (win1 | (margin < ratio[1])) & (win2 | (margin < ratio[2]));
    long long close_call = 0;
    for (int j = 0; j < W; ++j) close_call |= active[j] & ~clear[j];
    if (close_call) {
      Real sub[3];
      for (int a = 0; a < 3; ++a) sub[a] = previous[a] ? full[a] : num[a] / step[a];
      lower1 = sub[1] < sub[0];
      sub_min = lower1 ? sub[1] : sub[0];
      lower2 = sub[2] < sub_min;
      sub_min = lower2 ? sub[2] : sub_min;
      win2 = lower2;
      win1 = lower1 & ~lower2;
      win0 = ~(lower1 | lower2);
    } else {
      const Real num_win = win0 ? num[0] : (win1 ? num[1] : num[2]);
      const Real step_win = win0 ? step[0] : (win1 ? step[1] : step[2]);
      const Mask full_win = (win0 & previous[0]) | (win1 & previous[1]) | (win2 & previous[2]);
      sub_min = full_win ? sub_min : num_win / step_win;
    }
    previous[0] = win0;
    previous[1] = win1;
    previous[2] = win2;

    for (int j = 0; j < W; ++j) {
      if (!active[j]) continue;
      const int iz = NZ / 2 - floors[2][j];
      const std::size_t k = static_cast<std::size_t>(iz) * NX * NY +
                            static_cast<std::size_t>(NY / 2 - floors[1][j]) * NX +
                            static_cast<std::size_t>(floors[0][j] + NX / 2);
      if (!visit(j, k, iz, sub_min[j])) {
        ended[j] = false;
        active[j] = 0;
      }
    }
    for (int a = 0; a < 3; ++a) b[a] = b[a] + sub_min * step[a];
    remaining = remaining - 1.0;
    const Mask inside = (b[0] > x_lo) & (b[0] < x_hi) & (b[1] > y_lo) & (b[1] < y_hi) &
                        (b[2] > z_lo) & (b[2] < z_hi);
    active = active & inside & (remaining > 0.0);
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Four lanes in AVX2 registers where the processor has them; the operations
// are the same IEEE operations, so the results are the same bits.
template <class Visit>
__attribute__((target("avx2"))) __attribute__((noinline)) void walk_four_avx2(
    const RayStart* rays, int count, Visit& visit, bool* ended) {
  walk_lanes<4>(rays, count, visit, ended);
}
bool has_avx2();
#endif

template <class Visit>
__attribute__((noinline)) void walk_two(const RayStart* rays, int count, Visit& visit,
                                        bool* ended) {
  walk_lanes<2>(rays, count, visit, ended);
}

}  // namespace detail

// Rays walked together by walk_rays.
constexpr int kLanes = 4;

// Walks rays[0 .. count-1] (count <= kLanes) through the fixed grid
// (scan::NX, NY, NZ) and calls
//   visit(lane, k, iz, sub_min) -> bool
// for every segment of every ray, each ray's segments in order (the rays'
// calls interleave), with k the Volume position of the voxel of the
// segment's start point, iz its z index and sub_min the segment's length in
// steps. A visit that returns false ends that ray's walk. ended[lane] is set
// to true when the ray ran to its end (left the inside box or used up its
// counts), false when a visit ended it. Coordinates must be finite.
template <class Visit>
void walk_rays(const RayStart* rays, int count, Visit&& visit, bool* ended) {
#if defined(__x86_64__) || defined(__i386__)
  if (detail::has_avx2()) {
    detail::walk_four_avx2(rays, count, visit, ended);
    return;
  }
#endif
  for (int first = 0; first < count; first += 2) {
    auto lane_visit = [&](int lane, std::size_t k, int iz, double sub_min) {
      return visit(first + lane, k, iz, sub_min);
    };
    detail::walk_two(rays + first, count - first < 2 ? count - first : 2, lane_visit,
                     ended + first);
  }
}

// The walk of one ray: visit(k, iz, sub_min) -> bool for every segment in
// order; returns walk_rays' ended flag.
template <class Visit>
bool walk_ray(const RayStart& ray, Visit&& visit) {
  bool ended = true;
  walk_rays(&ray, 1, [&](int, std::size_t k, int iz, double sub_min) {
    return visit(k, iz, sub_min);
  }, &ended);
  return ended;
}

// The walk of the line source_xyz -> detector_xyz cut into 2*dist steps.
template <class Visit>
bool trace_ray(const double source_xyz[3], const double detector_xyz[3], double dist,
               Visit&& visit) {
  return walk_ray(ray_start(source_xyz, detector_xyz, dist), visit);
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

struct ZSlab {
  int iz_first;
  int iz_last;
  bool holds(int iz) const { return iz_first <= iz && iz <= iz_last; }
};

// True when a ray with this z step, at a segment of z index iz, will not
// come back into the slab: the z index falls as z rises.
inline bool left_slab(const ZSlab& slab, double step_z, int iz) {
  if (step_z > 0) return iz < slab.iz_first;
  if (step_z < 0) return iz > slab.iz_last;
  return !slab.holds(iz);
}

// False only when no segment of the ray can lie in the slab. The segment
// starts lie on the ray between its entry count and the first count past the
// inside span; a cell of margin covers the rounding of the walked points.
bool may_reach(const RayStart& ray, const ZSlab& slab);

// The slabs for `threads` threads, in ascending z index, covering 0 ... NZ-1.
// One thread has the whole grid; two have the halves that the upper rows
// (z > 0, iz <= NZ/2) and the lower rows reach; more are balanced by an
// estimate of the segments each one walks.
std::vector<ZSlab> plan_slabs(int threads);

// Segments per ray at most: one per count.
constexpr int kMaxSegments = 2 * static_cast<int>(kDist);

// What the rays of one batch leave in one slab, per ray (lane) in walk order:
// the voxels and lengths of the segments that lie in the slab; the sum of
// all segment lengths from the entry up to where the walk ended; and whether
// the ray ran to its end with its last segment in the slab, in which case
// that sum is the ray's whole length sum.
struct SlabSegments {
  int count[kLanes];
  std::uint32_t voxel[kLanes][kMaxSegments];
  double length[kLanes][kMaxSegments];
  double total[kLanes];
  bool ends_in_slab[kLanes];
};

// Walks rays[0 .. count-1] (cut into 2*kDist steps) and fills out for slab:
// a ray stops as soon as it has left the slab.
void collect_in_slab(const ZSlab& slab, const RayStart* rays, int count, SlabSegments& out);

// A batch of rays of one view and row, in ascending column order.
struct RayBatch {
  int view = 0, row = 0, count = 0;
  int column[kLanes];
  RayStart ray[kLanes];
};

// Runs one thread per slab of plan_slabs(threads). Each walks the rays
// (v, r, c) of views first_view ... last_view - 1 in the order view, row,
// column, keeps those for which wanted(v, r, c) holds and that may reach its
// slab, walks them in batches of up to kLanes with collect_in_slab and hands
// each batch, in that order, to
//   batch_work(batch, segments).
// on_view_done(v) is called once per view when every slab has finished it
// (from any thread, possibly out of order).
template <class Wanted, class BatchWork>
void walk_views_in_slabs(int first_view, int last_view, int threads, Wanted&& wanted,
                         BatchWork&& batch_work, const std::function<void(int)>& on_view_done) {
  const std::vector<ZSlab> slabs = plan_slabs(threads);
  const int slab_count = static_cast<int>(slabs.size());
  std::vector<std::atomic<int>> slabs_done(scan::kViews);
  tomio::parallel_for(slab_count, slab_count, [&](int item, int) {
    const ZSlab slab = slabs[static_cast<std::size_t>(item)];
    const std::unique_ptr<SlabSegments> segments = std::make_unique<SlabSegments>();
    RayBatch batch;
    auto flush = [&]() {
      collect_in_slab(slab, batch.ray, batch.count, *segments);
      batch_work(static_cast<const RayBatch&>(batch), static_cast<const SlabSegments&>(*segments));
      batch.count = 0;
    };
    for (int v = first_view; v < last_view; ++v) {
      const ViewRays rays = view_rays(v);
      batch.view = v;
      for (int r = 0; r < 2 * NY; ++r) {
        batch.row = r;
        batch.count = 0;
        for (int c = 0; c < 2 * NX; ++c) {
          if (!wanted(v, r, c)) continue;
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

// Backprojects every sample of views first_view ... last_view - 1 into
// volume_acc on `threads` threads, with the sums of a single thread working
// in the order view, row, column. The run passes all views, 0 ... 2*NY - 1.
void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view, int threads,
                       const std::function<void(int)>& on_view_done);

}  // namespace tomrec
