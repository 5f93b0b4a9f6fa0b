// The projector on any cone-beam scan given by its vectors (core/geometry.h),
// and its exact transpose.
//
// Model: the sample of pixel (r, c) of view k is the sum over the voxels of
// (length in mm of the segment from the source to the pixel centre inside
// the voxel) x (voxel value). The segment is walked voxel by voxel through
// the grid's planes (see operators/cone_rays.h for the times it meets them):
// pieces run between consecutive plane times, in walk order; among planes
// met at the same time the x plane is crossed first, then y, then z; a
// point on a plane belongs to the voxel beyond it along the walk, and a ray
// that runs within a plane counts in the voxel on the plane's positive side
// in the scan's frame (+x, +y, +z), as the floor of the coordinate does. Each piece's length is (t_end - t_start) x the
// segment's length in mm. A sample is the double sum of value x length in
// walk order, rounded once to float32.
//
// The transpose adds sample x length of the very same pieces into each
// voxel: the volume is cut into slabs of whole z slices, each slab walks
// every ray clipped to its slices and sums, in double, the additions of its
// voxels in the order of the rays (view, row, column) and of their pieces;
// each voxel is rounded once to float32. Both directions give the same bits
// at any thread count and with every kernel. Values are taken to be finite.
#pragma once

#include <cstdint>
#include <vector>

#include "core/geometry.h"
#include "core/kernel_dispatch.h"

namespace tomproj {

// Refuses (usage failure) a grid or a vector set that the walk cannot take:
// counts below 1, voxel sizes that are not positive and finite, numbers
// that are not finite, a vector list that is not 12 numbers a view, or more
// voxels than a double counts exactly.
void check_cone_scan(const geom::VolumeGrid& grid, const geom::ConeVectors& rays);

// The shapes of a volume ([nz, ny, nx]) and of a stack ([views, rows,
// columns]) of the scan.
std::vector<std::int64_t> cone_volume_shape(const geom::VolumeGrid& grid);
std::vector<std::int64_t> cone_stack_shape(const geom::ConeVectors& rays);

// Refuses (usage failure) an array of shape `given` where `expected` is
// needed, naming `what` and both shapes.
void require_shape(const char* what, const std::vector<std::int64_t>& given,
                   const std::vector<std::int64_t>& expected);

// Projects `count` volumes of the grid through every ray of the scan:
// stacks[j] (views x rows x columns floats) receives the projection of
// volumes[j], bit for bit what it would be alone. Up to eight volumes are
// walked together, each ray only through the box that holds every nonzero
// voxel (the rest adds zeros). With the kernel of this process, or a given one (which
// must run here).
void cone_project(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                  const float* const* volumes, int count, float* const* stacks, int threads);
void cone_project_with(kernels::Kernel kernel, const geom::VolumeGrid& grid,
                       const geom::ConeVectors& rays, const float* const* volumes, int count,
                       float* const* stacks, int threads);

// The transpose: volume (nz x ny x nx floats) receives, for every voxel, the
// sum of sample x length over the pieces the projector credits to it.
void cone_project_adjoint(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                          const float* stack, float* volume, int threads);
void cone_project_adjoint_with(kernels::Kernel kernel, const geom::VolumeGrid& grid,
                               const geom::ConeVectors& rays, const float* stack, float* volume,
                               int threads);

// The z slices per slab of the transpose: at most 2^21 voxels (16 MiB of
// double sums per thread), and two slabs per thread where the volume has
// the slices (fewer, thicker slabs walk each ray fewer times). Each voxel's
// sum is in ray order whatever the slabs, so they change only the speed.
std::int64_t cone_slab_slices(const geom::VolumeGrid& grid, int threads);

}  // namespace tomproj
