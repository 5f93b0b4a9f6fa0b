#include "recon/rebinning.h"

#include <algorithm>
#include <cmath>

#include "core/parallel.h"

namespace toolkit {

using scan::NX;
using scan::NY;

PanelPoint panel_point_of_ray(const tomrec::ViewRays& rays, int r, int c) {
  double detector[3];
  tomrec::detector_point(rays, r, c, detector);
  const double* source = rays.source;
  const double dx = detector[0] - source[0];
  const double dy = detector[1] - source[1];
  const double dz = detector[2] - source[2];
  // The panel of this view: perpendicular to the central ray, whose
  // direction from the source is (-sin t, cos t, 0), at 4*NX from the
  // source; its columns run along (cos t, sin t, 0) and its rows along +z.
  const double st = std::sin(rays.theta);
  const double ct = std::cos(rays.theta);
  const double depth = -st * dx + ct * dy;
  const double along = 4.0 * NX / depth;  // ray parameter at the panel
  const double u = along * (ct * dx + st * dy);
  const double height = along * dz;
  return PanelPoint{u + NX, NY - height};
}

float sample_panel(const float* view, const PanelPoint& p) {
  const int columns = 2 * NX;
  const int rows = 2 * NY;
  if (!(p.column >= 0.0 && p.column <= columns - 1 && p.row >= 0.0 && p.row <= rows - 1)) {
    return 0.0f;
  }
  // The last column and row are reached as the far end of the cell before.
  const int c0 = std::min(static_cast<int>(p.column), columns - 2);
  const int r0 = std::min(static_cast<int>(p.row), rows - 2);
  const double fc = p.column - c0;
  const double fr = p.row - r0;
  const float* top = view + static_cast<std::size_t>(r0) * columns + c0;
  const float* bottom = top + columns;
  const double upper = (1.0 - fc) * top[0] + fc * top[1];
  const double lower = (1.0 - fc) * bottom[0] + fc * bottom[1];
  return static_cast<float>((1.0 - fr) * upper + fr * lower);
}

void rebin_view(int v, const float* projector_view, float* rebinned_view) {
  const tomrec::ViewRays rays = tomrec::view_rays(v);
  for (int r = 0; r < 2 * NY; ++r) {
    for (int c = 0; c < 2 * NX; ++c) {
      rebinned_view[static_cast<std::size_t>(r) * 2 * NX + c] =
          sample_panel(projector_view, panel_point_of_ray(rays, r, c));
    }
  }
}

void rebin_stack(const float* projector_stack, float* rebinned_stack, int threads,
                 const std::function<void(int)>& on_view_done) {
  tomio::parallel_for(scan::kViews, threads, [&](int v, int) {
    const std::size_t first = scan::stack_index(v, 0, 0);
    rebin_view(v, projector_stack + first, rebinned_stack + first);
    on_view_done(v);
  });
}

}  // namespace toolkit
