// Rebinning against the geometry of both programs: the closed-form mapping,
// the projector's own ray direction at the mapped pixel, the bilinear
// reading, and the rebinned projection of a uniform volume against the
// lengths of the reconstructor's rays through the traced box.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "operators/rec_geometry.h"
#include "sim/phantom_shapes.h"
#include "recon/rebinning.h"

namespace {

using scan::NX;
using scan::NY;

// The mapping written out for view 0, where the panel is the plane y = 256.
toolkit::PanelPoint closed_form(int r, int c) {
  const double u = c - NX;
  const double g = std::atan2(u, 4.0 * NX);
  const double rho = std::sqrt(4.0 * NX * NX + u * u);
  const double denominator = 2.0 * NX + rho * std::cos(2.0 * g);
  const double u_panel = -4.0 * NX * rho * std::sin(2.0 * g) / denominator;
  const double v_panel = 4.0 * NX * (NY - r) / denominator;
  return toolkit::PanelPoint{u_panel + NX, NY - v_panel};
}

struct Vec {
  double x, y, z;
};
Vec sub(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(const Vec& a, const Vec& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }
Vec unit(const Vec& a) {
  const double n = norm(a);
  return {a.x / n, a.y / n, a.z / n};
}
Vec of(const scan::Point3& p) { return {p.x, p.y, p.z}; }

// Unit direction of the reconstructor's ray (v, r, c).
Vec rec_direction(const tomrec::ViewRays& rays, int r, int c) {
  double d[3];
  tomrec::detector_point(rays, r, c, d);
  return unit(sub(Vec{d[0], d[1], d[2]}, Vec{rays.source[0], rays.source[1], rays.source[2]}));
}

TEST(RebinMapping, KnownColumnsOfViewZero) {
  const tomrec::ViewRays rays = tomrec::view_rays(0);
  // The central column meets the panel at its centre, on every row.
  for (int r : {0, 37, 128, 255}) {
    const toolkit::PanelPoint p = toolkit::panel_point_of_ray(rays, r, 128);
    EXPECT_NEAR(p.column, 128.0, 1e-12);
    EXPECT_NEAR(p.row, r, 1e-9);
  }
  // u = 127 lands beyond the panel's far edge on the other side.
  const toolkit::PanelPoint far = toolkit::panel_point_of_ray(rays, 128, 255);
  EXPECT_NEAR(far.column - NX, -134.43, 0.01);
  // u = 64 at about -65.8: mirrored and stretched by the curve.
  const toolkit::PanelPoint mid = toolkit::panel_point_of_ray(rays, 128, 192);
  EXPECT_LT(mid.column - NX, -64.0);
  EXPECT_GT(mid.column - NX, -67.0);
}

TEST(RebinMapping, EveryViewFollowsTheClosedFormOfViewZero) {
  // The scan turns as a whole, so the panel point of a ray does not depend
  // on the view, up to rounding and the clamp of tiny coordinates.
  for (int v : {0, 1, 37, 64, 128, 200, 255}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (int r = 0; r < 256; r += 5)
      for (int c = 0; c < 256; c += 3) {
        const toolkit::PanelPoint p = toolkit::panel_point_of_ray(rays, r, c);
        const toolkit::PanelPoint q = closed_form(r, c);
        ASSERT_NEAR(p.column, q.column, 1e-8) << v << " " << r << " " << c;
        ASSERT_NEAR(p.row, q.row, 1e-8) << v << " " << r << " " << c;
      }
  }
}

TEST(RebinMapping, CentralColumnIsTheProjectorsOwnRay) {
  // Where the panel point is a whole pixel, the projector's ray of that
  // pixel is the reconstructor's ray.
  for (int v : {0, 19, 64, 100, 128, 255}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (int r = 0; r < 256; ++r) {
      const toolkit::PanelPoint p = toolkit::panel_point_of_ray(rays, r, 128);
      const int row = static_cast<int>(std::lround(p.row));
      const Vec d = of(tomproj::ray_direction(rays.theta, row, 128));
      ASSERT_LT(norm(cross(d, rec_direction(rays, r, 128))), 1e-9) << v << " " << r;
    }
  }
}

TEST(RebinMapping, ReconstructorRayLiesAmongTheProjectorsRaysAroundThePanelPoint) {
  // Away from whole pixels, the projector's directions at the four pixels
  // around the panel point, blended bilinearly, point along the
  // reconstructor's ray; the unmirrored column points far away.
  for (int v : {0, 45, 130, 211}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (int r = 3; r < 253; r += 10)
      for (int c = 20; c < 236; c += 7) {
        const toolkit::PanelPoint p = toolkit::panel_point_of_ray(rays, r, c);
        const int c0 = static_cast<int>(std::floor(p.column));
        const int r0 = static_cast<int>(std::floor(p.row));
        const double fc = p.column - c0, fr = p.row - r0;
        Vec blend{0, 0, 0};
        for (int dr = 0; dr < 2; ++dr)
          for (int dc = 0; dc < 2; ++dc) {
            const double w = (dr ? fr : 1 - fr) * (dc ? fc : 1 - fc);
            const Vec d = of(tomproj::ray_direction(rays.theta, r0 + dr, c0 + dc));
            blend = {blend.x + w * d.x, blend.y + w * d.y, blend.z + w * d.z};
          }
        const Vec rec = rec_direction(rays, r, c);
        ASSERT_LT(norm(cross(unit(blend), rec)), 2e-6) << v << " " << r << " " << c;
        if (std::abs(c - 128) > 4) {
          const Vec same_column = of(tomproj::ray_direction(rays.theta, r, c));
          ASSERT_GT(norm(cross(same_column, rec)), 1e-2);
        }
      }
  }
}

TEST(PanelReading, BilinearIsExactOnPlanesAndZeroOffThePanel) {
  std::vector<float> view(256 * 256);
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) view[r * 256 + c] = static_cast<float>(3.0 + 0.5 * c - 0.25 * r);
  for (double col : {0.0, 0.5, 17.25, 128.0, 254.75, 255.0})
    for (double row : {0.0, 0.125, 99.5, 255.0}) {
      EXPECT_NEAR(toolkit::sample_panel(view.data(), {col, row}), 3.0 + 0.5 * col - 0.25 * row, 1e-4)
          << col << " " << row;
    }
  EXPECT_EQ(toolkit::sample_panel(view.data(), {-0.001, 10.0}), 0.0f);
  EXPECT_EQ(toolkit::sample_panel(view.data(), {255.001, 10.0}), 0.0f);
  EXPECT_EQ(toolkit::sample_panel(view.data(), {10.0, -0.5}), 0.0f);
  EXPECT_EQ(toolkit::sample_panel(view.data(), {10.0, 256.0}), 0.0f);
  EXPECT_EQ(toolkit::sample_panel(view.data(), {NAN, 10.0}), 0.0f);
}

// Length of the line from s towards d (any length) inside the traced box.
double chord_in_box(const Vec& s, const Vec& d) {
  double lo = 0.0, hi = 1e300;
  const double s3[3] = {s.x, s.y, s.z}, d3[3] = {d.x, d.y, d.z};
  const double b_lo[3] = {scan::kInsideXLo, scan::kInsideYLo, scan::kInsideZLo};
  const double b_hi[3] = {scan::kInsideXHi, scan::kInsideYHi, scan::kInsideZHi};
  for (int a = 0; a < 3; ++a) {
    if (d3[a] == 0.0) {
      if (s3[a] <= b_lo[a] || s3[a] >= b_hi[a]) return 0.0;
      continue;
    }
    double t0 = (b_lo[a] - s3[a]) / d3[a], t1 = (b_hi[a] - s3[a]) / d3[a];
    if (t0 > t1) std::swap(t0, t1);
    lo = std::max(lo, t0);
    hi = std::min(hi, t1);
  }
  return hi > lo ? (hi - lo) * norm(d) : 0.0;
}

TEST(RebinStack, UniformVolumeGivesTheReconstructorsChordLengths) {
  const std::vector<float> ones = toolkit::constant_volume(1.0f);
  std::vector<float> stack(scan::kStackSamples, 0.0f);
  std::vector<float> view(scan::kViewSamples);
  for (int v : {0, 77}) {
    tomproj::project_view(v, ones.data(), stack.data());
    toolkit::rebin_view(v, stack.data() + scan::stack_index(v, 0, 0), view.data());
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    const Vec s{rays.source[0], rays.source[1], rays.source[2]};
    double sum_error = 0.0;
    int counted = 0, far_off = 0;
    for (int r = 0; r < 256; ++r)
      for (int c = 0; c < 256; ++c) {
        double d[3];
        tomrec::detector_point(rays, r, c, d);
        const double chord = chord_in_box(s, sub(Vec{d[0], d[1], d[2]}, s));
        const double got = view[r * 256 + c];
        const toolkit::PanelPoint p = toolkit::panel_point_of_ray(rays, r, c);
        if (p.column < 0 || p.column > 255 || p.row < 0 || p.row > 255) {
          ASSERT_EQ(got, 0.0f);
          continue;
        }
        // The projector counts the unit-step samples inside the box: within
        // about one of the exact length, more where the chord changes fast.
        sum_error += std::fabs(got - chord);
        ++counted;
        if (std::fabs(got - chord) > 2.0) ++far_off;
      }
    EXPECT_LT(sum_error / counted, 0.6) << "view " << v;
    EXPECT_LT(far_off, counted / 100) << "view " << v;
  }
}

TEST(RebinStack, ThreadCountDoesNotChangeABit) {
  const std::vector<float> random = toolkit::random_volume(7, 0.0f, 1.0f);
  // A random stack is enough: the rebinning reads it, it need not be a projection.
  std::vector<float> input(scan::kStackSamples);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = random[i % random.size()];
  std::vector<float> one(scan::kStackSamples), two(scan::kStackSamples);
  int calls = 0;
  toolkit::rebin_stack(input.data(), one.data(), 1, [&](int) { ++calls; });
  toolkit::rebin_stack(input.data(), two.data(), 2, [](int) {});
  EXPECT_EQ(calls, scan::kViews);
  EXPECT_TRUE(one == two);
  // Each view is its own rebin_view.
  std::vector<float> view(scan::kViewSamples);
  toolkit::rebin_view(200, input.data() + scan::stack_index(200, 0, 0), view.data());
  EXPECT_TRUE(std::equal(view.begin(), view.end(), one.begin() + scan::stack_index(200, 0, 0)));
}

}  // namespace
