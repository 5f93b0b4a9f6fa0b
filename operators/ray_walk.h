// The reconstructor's ray walk, its public interface: one detector sample's
// line is walked by exact voxel-boundary stepping. The walk starts at the
// first of the sample points source + n*step (n = 0, 1, ...) that passes the
// inside test, and from there runs from boundary to boundary; every segment
// credits its length (in steps) to the voxel that contains its start point.
// The same count n numbers the entry search and then every segment, so a ray
// never has more than 2*dist counts in all.
//
// The walk is written once, in walk_lanes (operators/lane_walk.inc), and
// compiled for each kernel of the process; every caller (the
// reconstruction, the weight tool, the single-ray call) goes through
// walk_rays and reads the segments it leaves.
#pragma once

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/inside_span.h"
#include "core/kernel_dispatch.h"
#include "core/scan_geometry.h"

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
  // The z indices [iz_lo, iz_hi] that every segment lies within, where
  // z_bounded (see segment_z_indices).
  bool z_bounded;
  int iz_lo, iz_hi;
};

// The z index of the cell at height z.
inline int z_index_of_height(double z) { return scan::voxel_iz(static_cast<int>(std::floor(z))); }

// The z indices [iz_lo, iz_hi] that every segment of a ray lies within;
// false when nothing bounds them here. The segment starts lie on the ray
// between its entry count and the first count past the inside span; a cell
// of margin covers the rounding of the walked points. Past the last count
// the walked points may run on only if the counts, not the box, ended the
// span: then the walk is bounded only by the box.
inline bool segment_z_indices(const RayStart& ray, int& iz_lo, int& iz_hi) {
  if (ray.span.empty() || ray.span.last >= ray.counts) return false;
  const int a = z_index_of_height(scan::sample_coordinate(ray.span.first, ray.step[2], ray.source[2]));
  const int b = z_index_of_height(scan::sample_coordinate(ray.span.last, ray.step[2], ray.source[2]));
  iz_lo = (a < b ? a : b) - 1;
  iz_hi = (a < b ? b : a) + 1;
  return true;
}

inline RayStart ray_start(const double source_xyz[3], const double detector_xyz[3], double dist) {
  RayStart ray;
  for (int a = 0; a < 3; ++a) {
    ray.source[a] = source_xyz[a];
    ray.step[a] = (detector_xyz[a] - source_xyz[a]) / (2.0 * dist);
  }
  ray.counts = ray_counts(dist);
  ray.span = scan::inside_span(scan::Point3{ray.source[0], ray.source[1], ray.source[2]},
                               scan::Point3{ray.step[0], ray.step[1], ray.step[2]}, ray.counts);
  ray.iz_lo = ray.iz_hi = 0;
  ray.z_bounded = segment_z_indices(ray, ray.iz_lo, ray.iz_hi);
  return ray;
}

// A contiguous range of z indices: the voxels one thread credits.
struct ZSlab {
  int iz_first;
  int iz_last;
  bool holds(int iz) const { return iz_first <= iz && iz <= iz_last; }
};

constexpr ZSlab kWholeGrid{0, scan::NZ - 1};

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

inline int z_index_of_voxel(std::uint32_t k) { return scan::z_index_of_position(k); }

// Whether every segment of the ray surely lies in the slab.
inline bool stays_in_slab(const RayStart& ray, const ZSlab& slab) {
  return ray.z_bounded && slab.iz_first <= ray.iz_lo && ray.iz_hi <= slab.iz_last;
}

// Walks rays[0 .. count-1] (count <= kLanes) through the fixed grid
// (scan::NX, NY, NZ) for the voxels of slab and leaves their segments in out;
// ray l's sample value and weight are sample[l] and weight[l]. The voxels of
// the first ray are fetched ahead into the cache from accumulator, where
// given: the caller adds there next.
void walk_rays(const RayStart* rays, const double* sample, const double* weight, int count,
               const ZSlab& slab, RaySegments& out, const double* accumulator = nullptr);
// The same with a given kernel, one that runs here: every kernel leaves the
// same segments, bit for bit.
void walk_rays_with(kernels::Kernel kernel, const RayStart* rays, const double* sample,
                    const double* weight, int count, const ZSlab& slab, RaySegments& out,
                    const double* accumulator = nullptr);

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

}  // namespace tomrec
