// The exact projection of a continuous phantom along the projector's own
// rays: for every view, row and column, the ray from the same source in the
// same direction (formed by the projector's own code), and the length of each
// shape's chord on it times the shape's value. Only the part of the ray the
// projector traces counts: from the last sample before the inside box to
// the last sample inside it (counts first - 1 ... last - 1 of its inside
// span), so a phantom inside the traced box is projected whole and the
// result differs from the projector's only by the voxelisation.
#pragma once

#include <functional>
#include <vector>

#include "core/geometry.h"
#include "core/scan_geometry.h"
#include "sim/phantom_description.h"

namespace toolkit {

// The chord of the line s + t d (d a unit vector) through the shape, clipped
// to t in [t_lo, t_hi]: its length, 0 when the line misses.
double chord_length(const Shape& shape, const ShapeAxes& axes, const scan::Point3& s,
                    const scan::Point3& d, double t_lo, double t_hi);

// The line integral of the phantom along the projector's ray of (view
// angle theta, row, column), in double.
double analytic_ray(const Phantom& phantom, const std::vector<ShapeAxes>& axes, double theta, int row,
                    int col);

// One view into its 2*NY x 2*NX block of a stack (float32 samples).
void analytic_view(const Phantom& phantom, int view, float* view_samples);

// Every view, shared among `threads` threads; on_view_done(view) after each.
std::vector<float> analytic_stack(const Phantom& phantom, int threads,
                                  const std::function<void(int)>& on_view_done);

// The exact projection along any scan's rays (core/geometry.h): for every
// view, row and column, the half-line from the view's source through the
// pixel's centre, and the length of each shape's chord on it (mm, for a
// phantom described in mm) times the shape's value, summed in double in the
// shapes' order. Nothing clips the rays: the whole phantom is projected.
// Views are shared among `threads` threads (the same bits at any count);
// on_view_done(view) after each, when given.
double analytic_half_line(const Phantom& phantom, const std::vector<ShapeAxes>& axes,
                          const scan::Point3& source, const scan::Point3& through);
std::vector<float> analytic_stack_along(const Phantom& phantom, const geom::ConeVectors& rays, int threads,
                                        const std::function<void(int)>& on_view_done = nullptr);

}  // namespace toolkit
