#include "sim/phantom_library.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/failure.h"
#include "sim/phantom_shapes.h"
#include "core/portable_math.h"

namespace toolkit {
namespace {

Shape scaled_ellipsoid(const Ellipsoid& e, double scale) {
  Shape s;
  s.kind = ShapeKind::ellipsoid;
  s.value = e.value;
  s.centre = scan::Point3{e.x0 * scale, e.y0 * scale, e.z0 * scale};
  s.size[0] = e.a * scale;
  s.size[1] = e.b * scale;
  s.size[2] = e.c * scale;
  s.angles[0] = e.turn_degrees;
  return s;
}

// Kak and Slaney, Principles of Computerized Tomographic Imaging (1988),
// the three-dimensional head: value, semi-axes, centre, turn about z.
const std::vector<Ellipsoid>& kak_slaney_ellipsoids() {
  //                                  value   a       b      c      x0     y0      z0     turn
  static const std::vector<Ellipsoid> table = {
      {2.00, 0.6900, 0.920, 0.900, 0.00, 0.000, 0.000, 0.0},    // skull
      {-0.98, 0.6624, 0.874, 0.880, 0.00, 0.000, 0.000, 0.0},   // brain
      {-0.02, 0.4100, 0.160, 0.210, -0.22, 0.000, -0.250, 108.0},  // ventricles
      {-0.02, 0.3100, 0.110, 0.220, 0.22, 0.000, -0.250, 72.0},
      {0.02, 0.2100, 0.250, 0.500, 0.00, 0.350, -0.250, 0.0},
      {0.02, 0.0460, 0.046, 0.046, 0.00, 0.100, -0.250, 0.0},
      {0.01, 0.0460, 0.023, 0.020, -0.08, -0.650, -0.250, 0.0},
      {0.01, 0.0460, 0.023, 0.020, 0.06, -0.650, -0.250, 90.0},
      {0.02, 0.0560, 0.040, 0.100, 0.06, -0.105, 0.625, 90.0},
      {-0.02, 0.0560, 0.056, 0.100, 0.00, 0.100, 0.625, 0.0},
  };
  return table;
}

Phantom scaled_head(const std::vector<Ellipsoid>& table, double scale) {
  Phantom p;
  for (const Ellipsoid& e : table) p.shapes.push_back(scaled_ellipsoid(e, scale));
  p.shapes[0].name = "skull";
  p.shapes[1].name = "brain";
  return p;
}

}  // namespace

Phantom modified_shepp_logan(double scale) {
  check_phantom_scale(scale);
  return scaled_head(shepp_logan_ellipsoids(), scale);
}

Phantom kak_slaney_shepp_logan(double scale) {
  check_phantom_scale(scale);
  return scaled_head(kak_slaney_ellipsoids(), scale);
}

void check_random_ellipsoid_settings(const RandomEllipsoidSettings& r) {
  if (!(1 <= r.count_lo && r.count_lo <= r.count_hi && r.count_hi <= kMaxRandomEllipsoids))
    tomio::fail_usage("the count of ellipsoids needs 1 <= low <= high <= " + std::to_string(kMaxRandomEllipsoids));
  if (!(std::isfinite(r.value_lo) && std::isfinite(r.value_hi) && r.value_lo <= r.value_hi))
    tomio::fail_usage("the values of the ellipsoids need low <= high");
  if (!(0.0 < r.size_lo && r.size_lo <= r.size_hi && std::isfinite(r.size_hi)))
    tomio::fail_usage("the sizes of the ellipsoids need 0 < low <= high");
}

Phantom random_ellipsoids(std::uint64_t seed, const RandomEllipsoidSettings& r) {
  // The box the extents must keep clear of, one voxel inside the traced box.
  const FieldBox field{{scan::kInsideXLo + 1.0, scan::kInsideYLo + 1.0, scan::kInsideZLo + 1.0},
                       {scan::kInsideXHi - 1.0, scan::kInsideYHi - 1.0, scan::kInsideZHi - 1.0}};
  return random_ellipsoids_in(seed, r, field);
}

FieldBox field_of_view_box(double diameter, double height) {
  if (!(diameter > 0.0 && height > 0.0 && std::isfinite(diameter) && std::isfinite(height)))
    tomio::fail_usage("the field of view needs a positive, finite diameter and height (mm)");
  // The square inscribed in the field's circle: every point of it is seen.
  const double half = diameter / (2.0 * std::sqrt(2.0));
  return FieldBox{{-half, -half, -height / 2.0}, {half, half, height / 2.0}};
}

FieldBox grid_field_box(const geom::VolumeGrid& grid) {
  const geom::TraceBox box = geom::volume_box(grid);
  return FieldBox{{box.x_lo + grid.dx, box.y_lo + grid.dy, box.z_lo + grid.dz},
                  {box.x_hi - grid.dx, box.y_hi - grid.dy, box.z_hi - grid.dz}};
}

double grid_head_scale(const geom::VolumeGrid& grid) {
  const double widths[3] = {static_cast<double>(grid.nx) * grid.dx, static_cast<double>(grid.ny) * grid.dy,
                            static_cast<double>(grid.nz) * grid.dz};
  return 63.0 / 128.0 * std::min(widths[0], std::min(widths[1], widths[2]));
}

Phantom random_ellipsoids_in(std::uint64_t seed, const RandomEllipsoidSettings& r, const FieldBox& field) {
  check_random_ellipsoid_settings(r);
  for (int i = 0; i < 3; ++i) {
    if (!(field.lo[i] < field.hi[i])) tomio::fail_usage("the field of view box needs lo < hi on every axis");
  }
  std::uint64_t state = seed;
  // Uniform in [lo, hi) from the top 53 bits of one draw.
  auto uniform = [&state](double lo, double hi) {
    const double unit = static_cast<double>(splitmix64(state) >> 11) * (1.0 / 9007199254740992.0);
    return lo + (hi - lo) * unit;
  };
  const int span = r.count_hi - r.count_lo + 1;
  const int count = r.count_lo + std::min(span - 1, static_cast<int>(uniform(0.0, span)));
  const double* lo = field.lo;
  const double* hi = field.hi;
  Phantom p;
  for (int k = 0; k < count; ++k) {
    Shape s;
    s.kind = ShapeKind::ellipsoid;
    s.value = uniform(r.value_lo, r.value_hi);
    for (double& a : s.size) a = uniform(r.size_lo, r.size_hi);
    s.angles[0] = uniform(0.0, 360.0);
    s.angles[1] = uniform(0.0, 180.0);
    s.angles[2] = uniform(0.0, 360.0);
    const ShapeAxes axes = axes_of(s);
    double extent[3];
    shape_extent(s, axes, extent);
    double shrink = 1.0;
    for (int i = 0; i < 3; ++i) shrink = std::min(shrink, 0.999 * (hi[i] - lo[i]) / (2.0 * extent[i]));
    if (shrink < 1.0) {
      for (double& a : s.size) a *= shrink;
      shape_extent(s, axes, extent);
    }
    double c[3];
    for (int i = 0; i < 3; ++i) c[i] = uniform(lo[i] + extent[i], hi[i] - extent[i]);
    s.centre = scan::Point3{c[0], c[1], c[2]};
    s.name = "e" + std::to_string(k + 1);
    p.shapes.push_back(s);
  }
  return p;
}

Phantom insert_cylinder() {
  Phantom p;
  Shape water;
  water.kind = ShapeKind::cylinder;
  water.value = 0.2;
  water.size[0] = water.size[1] = 50.0;
  water.size[2] = 45.0;
  water.name = "background";
  p.shapes.push_back(water);
  // Contrast against the water, and the insert's name.
  const struct {
    double contrast;
    const char* name;
  } inserts[8] = {{1.00, "plus100"}, {0.10, "plus10"}, {0.05, "plus5"},   {0.02, "plus2"},
                  {0.01, "plus1"},   {-0.01, "minus1"}, {-0.05, "minus5"}, {-1.00, "minus100"}};
  for (int k = 0; k < 8; ++k) {
    Shape rod;
    rod.kind = ShapeKind::cylinder;
    rod.value = 0.2 * inserts[k].contrast;
    double s = 0.0, c = 0.0;
    portable::sin_cos_degrees(45.0 * k, s, c);
    rod.centre = scan::Point3{30.0 * c, 30.0 * s, 0.0};
    rod.size[0] = rod.size[1] = 6.0;
    rod.size[2] = 45.0;
    rod.name = inserts[k].name;
    p.shapes.push_back(rod);
  }
  return p;
}

}  // namespace toolkit
