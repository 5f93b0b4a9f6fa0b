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
#include <functional>
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

// floor(x) as an int, for the coordinates of an inside point (|x| < 64).
// As a cell coordinate it never gives -0.0 where std::floor would, and
// nothing downstream can tell the two zeros apart: a point on an integer
// always has its cell moved by the tolerance rule.
inline int floor_int(double x) {
  const int t = static_cast<int>(x);
  return t - (x < t ? 1 : 0);
}

}  // namespace detail

// Walks the ray through the fixed grid (scan::NX, NY, NZ) and calls
//   visit(k, iz, sub_min) -> bool
// for every segment in order, with k the Volume position of the voxel of the
// segment's start point, iz its z index and sub_min the segment's length in
// steps. A visit that returns false ends the walk there. Returns true when
// the ray ran to its end (left the inside box or used up its counts), false
// when a visit ended it. Coordinates must be finite.
template <class Visit>
bool walk_ray(const RayStart& ray, Visit&& visit) {
  using scan::NX;
  using scan::NY;
  using scan::NZ;
  if (ray.span.empty()) return true;
  const double step_x = ray.step[0], step_y = ray.step[1], step_z = ray.step[2];
  int n = ray.span.first;
  double bx = scan::sample_coordinate(n, step_x, ray.source[0]);
  double by = scan::sample_coordinate(n, step_y, ray.source[1]);
  double bz = scan::sample_coordinate(n, step_z, ray.source[2]);

  // Per-ray constants. A zero step counts as travelling upwards: the next
  // boundary of its axis then lies at a positive distance, so the distance
  // in steps is the infinity of 1/step and that axis is never chosen.
  const bool up_x = step_x >= 0, up_y = step_y >= 0, up_z = step_z >= 0;
  const double move_x = up_x ? 1.0 : -1.0, move_y = up_y ? 1.0 : -1.0;
  const double move_z = up_z ? 1.0 : -1.0;
  const double ahead_x = up_x ? 1.0 : 0.0, ahead_y = up_y ? 1.0 : 0.0;
  const double ahead_z = up_z ? 1.0 : 0.0;
  const bool moves_x = step_x != 0, moves_y = step_y != 0, moves_z = step_z != 0;
  const double still_x = 1.0 / step_x, still_y = 1.0 / step_y, still_z = 1.0 / step_z;
  // One full cell width in steps, given to the axis whose boundary ended the
  // previous segment.
  const double full_x = std::fabs(1.0 / step_x);
  const double full_y = std::fabs(1.0 / step_y);
  const double full_z = std::fabs(1.0 / step_z);

  // Distance in steps to the next boundary of one axis: the cell of the point,
  // moved one cell on when the point lies within 1e-6 of a boundary.
  auto distance = [](double b, int floor_b, double move, double ahead, double step) {
    double cell = floor_b;
    const double d = std::fabs(b - cell);
    if (d < 1e-6 || d > 0.999999) cell += move;
    return (cell + ahead - b) / step;
  };

  int xyz = -1;  // axis whose boundary ended the previous segment
  for (;;) {
    const int fx = detail::floor_int(bx);
    const int fy = detail::floor_int(by);
    const int fz = detail::floor_int(bz);
    double sub0, sub1, sub2;
    if (xyz == 0) {
      sub0 = full_x;
    } else {
      sub0 = moves_x ? distance(bx, fx, move_x, ahead_x, step_x) : still_x;
    }
    if (xyz == 1) {
      sub1 = full_y;
    } else {
      sub1 = moves_y ? distance(by, fy, move_y, ahead_y, step_y) : still_y;
    }
    if (xyz == 2) {
      sub2 = full_z;
    } else {
      sub2 = moves_z ? distance(bz, fz, move_z, ahead_z, step_z) : still_z;
    }
    // Shortest distance; on equal values the lower axis wins.
    double sub_min = sub0;
    xyz = 0;
    if (sub1 < sub_min) {
      sub_min = sub1;
      xyz = 1;
    }
    if (sub2 < sub_min) {
      sub_min = sub2;
      xyz = 2;
    }
    const int iz = NZ / 2 - fz;
    const std::size_t k = static_cast<std::size_t>(iz) * NX * NY +
                          static_cast<std::size_t>(NY / 2 - fy) * NX +
                          static_cast<std::size_t>(fx + NX / 2);
    if (!visit(k, iz, sub_min)) return false;
    bx += sub_min * step_x;
    by += sub_min * step_y;
    bz += sub_min * step_z;
    ++n;
    if (n >= ray.counts || !scan::inside(bx, by, bz)) return true;
  }
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

// Runs one thread per slab of plan_slabs(threads). Each calls
//   ray_work(slab, v, r, c, ray)
// for every ray (v, r, c) of views first_view ... last_view - 1, in the order
// view, row, column, that may reach its slab; on_view_done(v) is called once
// per view when every slab has finished it (from any thread, possibly out of
// order).
template <class RayWork>
void walk_views_in_slabs(int first_view, int last_view, int threads, RayWork&& ray_work,
                         const std::function<void(int)>& on_view_done) {
  const std::vector<ZSlab> slabs = plan_slabs(threads);
  const int slab_count = static_cast<int>(slabs.size());
  std::vector<std::atomic<int>> slabs_done(scan::kViews);
  tomio::parallel_for(slab_count, slab_count, [&](int item, int) {
    const ZSlab slab = slabs[static_cast<std::size_t>(item)];
    for (int v = first_view; v < last_view; ++v) {
      const ViewRays rays = view_rays(v);
      for (int r = 0; r < 2 * NY; ++r) {
        for (int c = 0; c < 2 * NX; ++c) {
          double detector[3];
          detector_point(rays, r, c, detector);
          const RayStart ray = ray_start(rays.source, detector, kDist);
          if (may_reach(ray, slab)) ray_work(slab, v, r, c, ray);
        }
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
