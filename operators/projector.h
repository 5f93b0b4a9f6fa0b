// The forward projection: one ray per view, detector row and column, traced
// in unit steps from the source, each step credited whole or cut at the voxel
// boundaries, voxel value x length added into the detector sample.
#pragma once

#include <functional>

#include "core/scan_geometry.h"
#include "operators/ray_batch.h"

namespace tomproj {

// Half the number of unit steps per ray, 2*NX.
constexpr double kDistance = 2.0 * scan::NX;
// Samples per ray: twice the integer part of the distance.
constexpr int kSamplesPerRay = 2 * static_cast<int>(kDistance);

// Unit direction of the ray of detector row and column at view angle theta,
// towards the pixel of the flat panel at distance 4*NX from the source.
scan::Point3 ray_direction(double theta, int row, int col);

// The directions of the `width` rays of a detector row from column col0 on,
// at the view angle whose sine and cosine are given, into rays[0 .. width-1]
// (their spans left empty): bit for bit ray_direction's.
void batch_directions(double sin_theta, double cos_theta, int row, int col0, int width,
                      BatchRay* rays);

// Traces the ray of (view angle theta, row, col) from source through the
// Volume and returns its detector sample.
float project_ray(double theta, const scan::Point3& source, int row, int col, const float* volume);

// The same ray through `count` Volumes at once: the pieces of each step are
// found once, and samples[j] is the sample of volumes[j], bit for bit what
// project_ray gives it alone.
void project_ray_volumes(double theta, const scan::Point3& source, int row, int col,
                         const float* const* volumes, int count, float* samples);

// Computes the whole view into its 2*NY x 2*NX block of the stack, with the
// kernel of this process.
void project_view(int view, const float* volume, float* stack);
// The same with a given kernel (which must run here); every kernel
// writes the same bits.
void project_view_with(Kernel kernel, int view, const float* volume, float* stack);
// One view of `count` Volumes in one trace, into the view's block of each
// stacks[j]; each is bit for bit the single Volume's view.
void project_view_volumes_with(Kernel kernel, int view, const float* const* volumes, int count,
                               float* const* stacks);

// Computes every view, using `threads` threads; on_view_done(view) is called
// once per finished view (possibly out of order, from any thread).
void project_stack(const float* volume, float* stack, int threads,
                   const std::function<void(int)>& on_view_done);

// Projects `count` Volumes through the same rays in one trace: stacks[j]
// (ProjectionStack layout, count arrays) receives the projection of
// volumes[j], bit for bit what project_stack gives that Volume alone, at any
// number of threads. The steps left out are those that add zeros to every
// Volume (outside the union of their nonzero boxes).
void project_stacks(const float* const* volumes, float* const* stacks, int count, int threads,
                    const std::function<void(int)>& on_view_done);

}  // namespace tomproj
