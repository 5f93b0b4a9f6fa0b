// Rebinning a ProjectionStack from the projector's rays into the
// reconstructor's.
//
// The projector's sample (v, r, c) is the line integral along the ray from
// the source of view v to the pixel (c - NX, NY - r) of a flat panel at
// 4*NX from the source. The reconstructor spreads its sample (v, r, c)
// along a different line: to a detector point on a curve, mirrored about
// the central column. The same line integral is found on the projector's
// panel where the reconstructor's line meets it, so each rebinned sample is
// the projector's stack read at that panel point.
#pragma once

#include <functional>

#include "operators/rec_geometry.h"

namespace toolkit {

// A point of the projector's panel in fractional stack indices: column
// c' = u' + NX and row r' = NY - v', for the panel offsets (u', v').
struct PanelPoint {
  double column;
  double row;
};

// Where the reconstructor's ray of row r, column c of a view meets the
// projector's panel of the same view.
PanelPoint panel_point_of_ray(const tomrec::ViewRays& rays, int r, int c);

// Bilinear reading of one projector view (2*NY rows of 2*NX columns) at a
// panel point; 0 off the panel, where the projector has no samples.
float sample_panel(const float* view, const PanelPoint& p);

// Fills one view of the reconstructor's geometry from the projector's view.
void rebin_view(int v, const float* projector_view, float* rebinned_view);

// Rebins every view, `threads` threads sharing the views; on_view_done is
// called once per finished view, from any thread.
void rebin_stack(const float* projector_stack, float* rebinned_stack, int threads,
                 const std::function<void(int)>& on_view_done);

}  // namespace toolkit
