// The projection filter written out literally: the weight plane loop by loop,
// and every view copied into the work planes, transformed with the literal
// transform, weighted, transformed back and copied out, in view order.
#pragma once

namespace oracle {

void build_radial_weight(float* radial_weight, int NX, int NY);

// Filters view v of proj in place with the given work planes and weight.
void filter_view(float* proj, int v, float* plane_re, float* plane_im, const float* radial_weight,
                 int NX, int NY);

// Builds the weight and filters every view (2*NZ) in order; writes no file.
void filter_projections(float* proj, float* plane_re, float* plane_im, float* radial_weight, int NX,
                        int NY, int NZ);

}  // namespace oracle
