// Slab parallelism for walks of every ray of the scan, shared by the
// reconstruction (which credits samples) and the weight tool (which sums
// lengths): the slab plan, the tests that skip rays and rows that cannot
// reach a slab, and the parallel driver whose per-batch work is the
// caller's.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "operators/rec_geometry.h"
#include "operators/ray_walk.h"

namespace tomrec {

// Slab parallelism. Every voxel must receive its additions in the order view,
// row, column, whatever the number of threads. Each thread therefore owns a
// contiguous range of z indices (a slab), walks every ray in that order and
// credits only the voxels of its slab. Along a ray z is monotone, so a
// thread can stop a ray as soon as it has left the slab, and skip a ray that
// cannot reach it.

// False only when no segment of the ray can lie in the slab (see
// segment_z_indices).
bool may_reach(const RayStart& ray, const ZSlab& slab);

// Where along the lines of a view (as the fraction u of the way from the
// source to each detector point) any of them can be inside the box: every
// inside point lies within radius 90 of the z axis (the box reaches
// sqrt(63^2 + 63^2) < 89.1, its corner (-63, 63)), and the x and y of a
// view's lines do not depend on the row. The radius must not come below
// that corner: on the diagonal views it is the farthest inside point of the
// central column's line, the farthest along its line of the whole view.
struct ViewReach {
  double u_first, u_last;  // empty when u_first > u_last
};
ViewReach view_reach(const ViewRays& rays);

// False only when no ray of row r of the view can have a segment in the
// slab: the planes of the heights of the row's lines over the reach, with
// no margin. A segment starts at a walked point inside the box, within about
// 1e-11 of its line; along every line the reach runs past the box by 0.9 at
// least (in x and y), and the lines are less than 543 long there, so the
// heights run past those of the segments by more than 1.6e-3 for each unit
// of the row's rise (a row of no rise stays at height 0 exactly): no
// rounding of the walk carries a segment into a plane beyond them.
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

// The work of a walk over every ray, a policy with two members:
//   bool wanted(int v, int r, int c, double& sample, double& weight)
//     whether ray (v, r, c) is walked; it sets the ray's sample value and
//     weight, whose ratio scales the credits of its segments;
//   void credit(const ZSlab& slab, const RayBatch& batch, const RaySegments& segments)
//     adds a walked batch's segments that lie in the slab into the policy's
//     sums, lane by lane in column order.
// The reconstructor's policies credit samples (operators/backprojection.cpp),
// the weight tool's sums lengths (operators/length_sums.cpp).
//
// Runs one thread per slab of plan_slabs(threads). Each walks the rays
// (v, r, c) of views first_view ... last_view - 1 in the order view, row,
// column, keeps those the policy wants and that may reach its slab, walks
// them in batches of up to kLanes and hands each batch with its segments,
// in that order, to the policy's credit. The walk fetches the first ray's
// voxels of accumulator (Volume layout) ahead, where given: the policy adds
// there next. on_view_done(v) is called once per view when every slab has
// finished it (from any thread, possibly out of order).
template <class Policy>
void walk_views_in_slabs(int first_view, int last_view, int threads, const double* accumulator,
                         Policy& policy, const std::function<void(int)>& on_view_done) {
  const std::vector<ZSlab> slabs = plan_slabs(threads);
  const int slab_count = static_cast<int>(slabs.size());
  std::vector<std::atomic<int>> slabs_done(scan::kViews);
  tomio::parallel_for(slab_count, slab_count, [&](int item, int) {
    const ZSlab slab = slabs[static_cast<std::size_t>(item)];
    const std::unique_ptr<RaySegments> segments = std::make_unique<RaySegments>();
    RayBatch batch;
    auto flush = [&]() {
      walk_rays(batch.ray, batch.sample, batch.weight, batch.count, slab, *segments, accumulator);
      policy.credit(slab, static_cast<const RayBatch&>(batch), static_cast<const RaySegments&>(*segments));
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
          if (!policy.wanted(v, r, c, sample, weight)) continue;
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

// The first of lane j's segments that lies in the slab (its count when none
// does).
inline int first_segment_in_slab(const ZSlab& slab, const RaySegments& seg, int j) {
  const int count = seg.count[j];
  int i = 0;
  while (i < count && !slab.holds(z_index_of_voxel(seg.voxel(i, j)))) ++i;
  return i;
}

// Adds the credits of lane j's segments that lie in the slab into acc
// (Volume layout), in walk order, and tells whether there were any. A ray's
// segments in the slab follow those before it, as z is monotone along the
// ray. The voxels of lane j + 1, which adds next, are fetched ahead
// meanwhile (lanes of a batch are neighbouring rays and mostly share them).
inline bool add_lane_credits(const ZSlab& slab, const RaySegments& seg, int j, int lanes,
                             double* __restrict acc) {
  const int count = seg.count[j];
  int i = first_segment_in_slab(slab, seg, j);
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

}  // namespace tomrec
