// Filtering of the projection views before backprojection: every view is
// taken into the centred two-dimensional frequency domain, each frequency
// sample is multiplied by a radial weight (1 at zero frequency, +10 per
// frequency step of distance, 0 from a radius of NX outwards), and the real
// part of the inverse transform replaces the view.
#pragma once

#include <functional>

#include "core/output_file.h"

namespace tomrec {

// Name of the filtered stack written on every run.
constexpr const char* kFilteredStackName = "Radon_FLT_dounatsu.img";

// Fills radial_weight (2*NY rows of 2*NX samples, row-major) with the weight of
// each centred frequency sample: row i has dy = NY - i, column j has dx = j - NX,
// rho = sqrt(dx^2 + dy^2) in double; rho < NX gives float(float(rho)*10.0 + 1.0),
// anything else 0.
void build_radial_weight(float* radial_weight, int NX, int NY);

// Filters every view of proj (8*NX*NY*NZ samples, 2*NZ views of 4*NX*NY samples)
// in place, using `threads` threads (views in parallel, per-thread work planes),
// calling on_view_done(v) once per view (any order, any thread; may be empty).
// radial_weight must have been filled by build_radial_weight.
void filter_views(float* proj, const float* radial_weight, int NX, int NY, int NZ, int threads,
                  const std::function<void(int)>& on_view_done);

// The whole stage: builds the weight into radial_weight, filters, then writes the
// filtered stack into `filtered_file` (an OutputFile claimed by the caller before
// the work) with tomio::save_float_image(std::move(filtered_file), proj, count).
// plane_re/plane_im are the run's work planes (4*NX*NY each), used by the first
// thread; what they hold afterwards is of no use to the caller.
void filter_projections(float* proj, float* plane_re, float* plane_im, float* radial_weight, int NX,
                        int NY, int NZ, int threads, tomio::OutputFile&& filtered_file,
                        const std::function<void(int)>& on_view_done);

}  // namespace tomrec
