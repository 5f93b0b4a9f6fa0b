// The defined preset (geom::defined_geometry) against the defined projector's
// own rays: the point where tomproj's ray of (view, row, column) reaches its
// panel is the preset's pixel centre, its source the preset's source, and
// its trace region the preset's. (Here rather than in tests/core: it needs
// the projector's library.)
#include <gtest/gtest.h>

#include <cmath>

#include "core/geometry.h"
#include "core/scan_geometry.h"
#include "operators/projector.h"

namespace {

TEST(GeometryPreset, PixelCentresAreTheProjectorsRayEnds) {
  const geom::Geometry g = geom::defined_geometry();
  const geom::ConeVectors cv = geom::cone_vectors(g);
  double worst = 0.0;
  for (int view : {0, 1, 37, 63, 64, 100, 128, 191, 200, 255}) {
    const double theta = scan::view_angle(view);
    const scan::Point3 s = scan::source_of_view(theta);
    const double* vec = cv.vectors.data() + 12 * view;
    EXPECT_NEAR(vec[0], s.x, 1e-10);
    EXPECT_NEAR(vec[1], s.y, 1e-10);
    EXPECT_EQ(vec[2], s.z);
    // The panel is perpendicular to the central ray, 512 from the source.
    const double cx = -std::sin(theta), cy = std::cos(theta);
    for (int row : {0, 1, 77, 127, 128, 129, 200, 255})
      for (int col : {0, 1, 64, 127, 128, 129, 254, 255}) {
        const scan::Point3 d = tomproj::ray_direction(theta, row, col);
        const double t = tomproj::kDistance * 2.0 / (d.x * cx + d.y * cy);
        const geom::Point3 p = geom::pixel_centre(cv, view, row, col);
        const double ex = s.x + t * d.x - p.x, ey = s.y + t * d.y - p.y, ez = s.z + t * d.z - p.z;
        worst = std::fmax(worst, std::sqrt(ex * ex + ey * ey + ez * ez));
      }
  }
  // The projector's angles use the literal 3.14159265358979 for pi, the
  // vectors acos(-1): the two agree to about 2e-12 mm here.
  EXPECT_LT(worst, 1e-9);
}

TEST(GeometryPreset, TraceRegionIsTheInsideBox) {
  const geom::TraceBox t = geom::trace_region(geom::defined_geometry());
  const double probe[] = {-64.0, -63.0, -62.5, 0.0, 61.9, 62.0, 62.5, 63.0, 64.0};
  for (double x : probe)
    for (double y : probe)
      for (double z : probe) {
        const bool ours = t.x_lo < x && x < t.x_hi && t.y_lo < y && y < t.y_hi && t.z_lo < z && z < t.z_hi;
        EXPECT_EQ(ours, scan::inside(x, y, z)) << x << ' ' << y << ' ' << z;
      }
}

}  // namespace
