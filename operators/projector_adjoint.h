// The transpose of the projector's linear map. The projector adds, for every
// ray and every piece (voxel, length) of its steps, voxel value x length to
// the ray's sample; the adjoint adds, for the same rays and the very same
// pieces (the whole-step rule, the split at voxel boundaries, its tie rule
// and the voxels that one step credits twice), sample x length to the voxel.
// Products and sums are in double; every voxel receives its additions in a
// fixed order, so the result is the same bits at any thread count.
#pragma once

#include <functional>
#include <vector>

#include "core/kernel_dispatch.h"
#include "core/scan_geometry.h"

namespace tomproj {

// Adds sample x length into acc (Volume layout, double) for every piece of
// the ray of (view angle theta, row, col) from source, in the projector's
// order: step by step, piece by piece.
void adjoint_ray(double theta, const scan::Point3& source, int row, int col, double sample,
                 double* acc);

// The adjoint over the given views only (any order, each at most once): a
// Volume whose voxels hold the sums over those views' rays. The views are
// cut, in the order given, into a fixed number of runs of neighbours; each
// run is summed into its own double volume, in the order view, row, column,
// step, piece, and the runs are added in order. So the bits depend on the
// list of views, never on `threads`. Rays whose sample is zero are skipped
// (they add only zeros). on_view_done(view) is called once per view, from
// any thread.
void project_adjoint_views(const float* stack, const std::vector<int>& views, float* volume,
                           int threads, const std::function<void(int)>& on_view_done = nullptr);

// The same with a given kernel (which must run here): the scalar kernel
// adds one ray at a time, the others find the pieces of neighbouring rays
// side by side in vector lanes and add them ray after ray; every kernel
// gives the same bits.
void project_adjoint_views_with(kernels::Kernel kernel, const float* stack, const std::vector<int>& views,
                                float* volume, int threads,
                                const std::function<void(int)>& on_view_done = nullptr);

// The adjoint over every view, in ascending order.
void project_adjoint(const float* stack, float* volume, int threads,
                     const std::function<void(int)>& on_view_done = nullptr);

}  // namespace tomproj
