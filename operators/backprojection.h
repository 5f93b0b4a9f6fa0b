// Ray-driven backprojection: the single-ray call of the definition, the
// run's backprojection of every sample of a stack, and several stacks in one
// walk. The walk itself is operators/ray_walk.h; the threads are
// operators/slab_walk.h.
#pragma once

#include <functional>

#include "operators/ray_walk.h"
#include "operators/slab_walk.h"

namespace tomrec {

// Adds sample (v, r, c) of proj, times each segment length and divided by
// its detector sum, into volume_acc (double, Volume layout) along the line
// source_xyz -> detector_xyz, cut into 2*dist steps. A sample whose detector
// sum is 0 adds nothing. NX, NY and NZ must be the scan's grid sizes.
void backproject_ray(const float* proj, const float* detector_sum, int v, int r, int c,
                     double* volume_acc, const double source_xyz[3], const double detector_xyz[3],
                     int NX, int NY, int NZ, double dist);

// Backprojects every sample of views first_view ... last_view - 1 into
// volume_acc on `threads` threads, with the sums of a single thread working
// in the order view, row, column. The run passes all views, 0 ... 2*NY - 1.
void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view, int threads,
                       const std::function<void(int)>& on_view_done);

// The most stacks one walk of backproject_stacks takes; more are taken in
// walks of this many.
constexpr int kStacksPerWalk = 8;

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
