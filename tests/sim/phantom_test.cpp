// Continuous phantoms: their descriptions, their voxelisation, and their
// exact projections against closed forms and against the projector.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/inside_span.h"
#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "core/command_line.h"
#include "tests/support/expect_failure.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"
#include "sim/phantom_shapes.h"

namespace {

using toolkit::Phantom;
using toolkit::Shape;
using toolkit::ShapeKind;

Shape shape(ShapeKind kind, double value, scan::Point3 centre, double a, double b, double c,
            double phi = 0.0, double theta = 0.0, double psi = 0.0) {
  Shape s;
  s.kind = kind;
  s.value = value;
  s.centre = centre;
  s.size[0] = a;
  s.size[1] = b;
  s.size[2] = c;
  s.angles[0] = phi;
  s.angles[1] = theta;
  s.angles[2] = psi;
  return s;
}

// A phantom of every kind, turned and overlapping.
Phantom mixed_phantom() {
  Phantom p;
  p.shapes.push_back(shape(ShapeKind::ellipsoid, 0.5, {3.3, -5.1, 2.2}, 30, 22, 18, 25, 40, 10));
  p.shapes.push_back(shape(ShapeKind::box, 0.25, {-20.5, 10.25, -8}, 9, 14, 6, 30, 0, 0));
  p.shapes.push_back(shape(ShapeKind::cylinder, 0.4, {15, 20, 5}, 7, 5, 20, 0, 60, 45));
  p.shapes.push_back(shape(ShapeKind::ellipsoid, -0.2, {3, -5, 2}, 6, 6, 6));
  return p;
}

TEST(PhantomDescription, WrittenAndReadBackExactly) {
  Phantom p = toolkit::random_ellipsoids(77, toolkit::RandomEllipsoidSettings{});
  for (const Shape& s : mixed_phantom().shapes) p.shapes.push_back(s);
  p.shapes.back().name = "hole";
  const std::string text = toolkit::description_text(p);
  const Phantom back = toolkit::parse_description(text, "test");
  ASSERT_EQ(back.shapes.size(), p.shapes.size());
  EXPECT_EQ(toolkit::description_text(back), text);
  EXPECT_EQ(back.shapes.back().name, "hole");
  EXPECT_EQ(toolkit::voxelise(back, 2, 2), toolkit::voxelise(p, 2, 2));
}

TEST(PhantomDescription, FaultsNameTheirLine) {
  const char* bad[] = {
      "sphere value=1 centre=0,0,0 size=1,1,1",
      "ellipsoid value=1 centre=0,0 size=1,1,1",
      "box value=x centre=0,0,0 size=1,1,1",
      "box centre=0,0,0 size=1,1,1",
      "cylinder value=1 centre=0,0,0 size=1,0,1",
      "ellipsoid value=1 centre=0,0,0 size=1,1,1 colour=red",
      "ellipsoid value=1 centre=0,0,0 size=1,1,1 stray",
  };
  for (const char* line : bad) {
    try {
      toolkit::parse_description("# first line\n\n" + std::string(line) + "\n", "p.txt");
      ADD_FAILURE() << line;
    } catch (const tomio::Failure& e) {
      EXPECT_EQ(e.kind(), tomio::FailureKind::run);
      EXPECT_EQ(std::string(e.what()).rfind("p.txt:3: ", 0), 0u) << e.what();
    }
  }
  EXPECT_EQ(toolkit::parse_description("  # only comments\n", "p").shapes.size(), 0u);
}

// The library checks what it is given, once, for the tools, the package and
// the study files: oversampling 1 ... 16, a phantom with shapes of positive
// sizes, a head's scale, the random ellipsoids' ranges and a ball's radius.
TEST(PhantomChecks, TheLibraryRefusesWhatHasNoMeaning) {
  auto usage = [](const std::function<void()>& call) {
    return testrun::fails_with(tomio::FailureKind::usage, "", call);
  };
  EXPECT_NO_THROW(toolkit::check_oversampling(16));
  EXPECT_TRUE(usage([] { toolkit::check_oversampling(17); }));
  EXPECT_TRUE(usage([] { toolkit::voxelise(toolkit::insert_cylinder(), 0, 1); }));
  EXPECT_TRUE(usage([] { toolkit::check_phantom(Phantom{}); }));
  Phantom flat = toolkit::insert_cylinder();
  flat.shapes[3].size[2] = 0.0;
  EXPECT_TRUE(usage([&] { toolkit::check_phantom(flat); }));
  EXPECT_NO_THROW(toolkit::check_phantom(toolkit::insert_cylinder()));
  EXPECT_TRUE(usage([] { toolkit::modified_shepp_logan(0.0); }));
  EXPECT_TRUE(usage([] { toolkit::shepp_logan_volume(-1.0); }));
  EXPECT_TRUE(usage([] { toolkit::ball_volume({0, 0, 0}, -1.0, 1.0f); }));
  const toolkit::RandomEllipsoidSettings good;
  EXPECT_NO_THROW(toolkit::check_random_ellipsoid_settings(good));
  for (int k = 0; k < 4; ++k) {
    toolkit::RandomEllipsoidSettings r = good;
    if (k == 0) r.count_lo = 0;
    if (k == 1) r.count_hi = 1001;
    if (k == 2) r.value_lo = 1.0;  // above value_hi
    if (k == 3) r.size_lo = 0.0;
    EXPECT_TRUE(usage([&] { toolkit::random_ellipsoids(1, r); })) << k;
  }
}

TEST(PhantomLibrary, HeadsRandomEllipsoidsAndInserts) {
  // The modified head sampled at the voxel centres is the toolkit's head.
  EXPECT_EQ(toolkit::voxelise(toolkit::modified_shepp_logan(63.0), 1, 2), toolkit::shepp_logan_volume());
  const Phantom ks = toolkit::kak_slaney_shepp_logan(63.0);
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(ks, {0.5, 0.5, 0.5}), 2.0 - 0.98);
  EXPECT_TRUE(toolkit::inside_traced_box(ks));

  toolkit::RandomEllipsoidSettings settings;
  settings.size_hi = 80.0;  // large ones must be shrunk to fit
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const Phantom p = toolkit::random_ellipsoids(seed, settings);
    EXPECT_GE(p.shapes.size(), 5u);
    EXPECT_LE(p.shapes.size(), 15u);
    EXPECT_TRUE(toolkit::inside_traced_box(p)) << seed;
  }
  EXPECT_EQ(toolkit::description_text(toolkit::random_ellipsoids(5, settings)),
            toolkit::description_text(toolkit::random_ellipsoids(5, settings)));
  EXPECT_NE(toolkit::description_text(toolkit::random_ellipsoids(5, settings)),
            toolkit::description_text(toolkit::random_ellipsoids(6, settings)));

  const Phantom inserts = toolkit::insert_cylinder();
  ASSERT_EQ(inserts.shapes.size(), 9u);
  EXPECT_TRUE(toolkit::inside_traced_box(inserts));
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(inserts, {30, 0, 10}), 0.4);    // +100%
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(inserts, {0, -30, -10}), 0.19);  // -5%
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(inserts, {21.2, -21.2, 40}), 0.0);  // -100%: air
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(inserts, {0, 0, 0}), 0.2);
  EXPECT_DOUBLE_EQ(toolkit::phantom_value(inserts, {0, 0, 46}), 0.0);
}

TEST(PhantomVoxels, OversamplingThreadsAndPartialVolumes) {
  const Phantom p = mixed_phantom();
  EXPECT_EQ(toolkit::voxelise(p, 3, 1), toolkit::voxelise(p, 3, 3));
  // A box whose faces cut voxels in half: 4^3 sub-samples see exactly half.
  Phantom box;
  box.shapes.push_back(shape(ShapeKind::box, 1.0, {0.0, 0.0, 0.0}, 10.0, 3.0, 3.0));
  const std::vector<float> v = toolkit::voxelise(box, 4, 2);
  EXPECT_EQ(v[scan::volume_index(64 + 9, 64, 64)], 1.0f);   // x in [9, 10)
  EXPECT_EQ(v[scan::volume_index(64 + 10, 64, 64)], 0.0f);  // x in [10, 11)
  Phantom shifted;
  shifted.shapes.push_back(shape(ShapeKind::box, 1.0, {0.5, 0.0, 0.0}, 10.0, 3.0, 3.0));
  const std::vector<float> w = toolkit::voxelise(shifted, 4, 2);
  EXPECT_EQ(w[scan::volume_index(64 + 10, 64, 64)], 0.5f);
  EXPECT_EQ(w[scan::volume_index(64 - 10, 64, 64)], 0.5f);
  // The volume of a ball: within 0.2% with 4^3 sub-samples.
  Phantom ball;
  ball.shapes.push_back(shape(ShapeKind::ellipsoid, 1.0, {0.3, -0.2, 0.1}, 20, 20, 20));
  double sum = 0.0;
  for (float x : toolkit::voxelise(ball, 4, 2)) sum += x;
  EXPECT_NEAR(sum / (4.0 / 3.0 * 3.14159265358979 * 8000.0), 1.0, 2e-3);
}

TEST(AnalyticProjection, ChordsInClosedForm) {
  // Rays through a ball: 2 sqrt(R^2 - distance^2) from the line to the centre.
  const scan::Point3 c{4.0, -7.0, 3.0};
  const double radius = 25.0;
  Phantom ball;
  ball.shapes.push_back(shape(ShapeKind::ellipsoid, 1.0, c, radius, radius, radius, 33, 12, 5));
  const std::vector<toolkit::ShapeAxes> axes{toolkit::axes_of(ball.shapes[0])};
  double worst = 0.0;
  int hits = 0;
  for (int view : {0, 17, 64, 129, 200}) {
    const double theta = scan::view_angle(view);
    const scan::Point3 s = scan::source_of_view(theta);
    for (int r = 0; r < 256; r += 5)
      for (int col = 0; col < 256; col += 5) {
        const scan::Point3 d = tomproj::ray_direction(theta, r, col);
        const double w[3] = {c.x - s.x, c.y - s.y, c.z - s.z};
        const double along = w[0] * d.x + w[1] * d.y + w[2] * d.z;
        const double dist2 = w[0] * w[0] + w[1] * w[1] + w[2] * w[2] - along * along;
        const double expected = dist2 < radius * radius ? 2.0 * std::sqrt(radius * radius - dist2) : 0.0;
        hits += expected > 0.0;
        worst = std::max(worst, std::fabs(toolkit::analytic_ray(ball, axes, theta, r, col) - expected));
      }
  }
  EXPECT_GT(hits, 1000);
  EXPECT_LT(worst, 1e-9);

  // The central ray of view 0 runs along +y at x = z = 0 and is traced for
  // y in [-62, 62]: a box across it counts whole, one reaching past the
  // box only up to y = 62; a cylinder across it at view 64 (along -x).
  auto central = [](const Shape& s, int view) {
    Phantom p;
    p.shapes.push_back(s);
    return toolkit::analytic_ray(p, {toolkit::axes_of(s)}, scan::view_angle(view), 128, 128);
  };
  EXPECT_NEAR(central(shape(ShapeKind::box, 2.0, {0, 5, 0}, 3, 15, 3), 0), 60.0, 1e-9);
  EXPECT_NEAR(central(shape(ShapeKind::box, 1.0, {0, 60, 0}, 3, 10, 3), 0), 12.0, 1e-9);
  EXPECT_NEAR(central(shape(ShapeKind::cylinder, 1.0, {0, 0, 0}, 20, 20, 5), 64), 40.0, 1e-9);
  EXPECT_NEAR(central(shape(ShapeKind::cylinder, 1.0, {0, 0, 0}, 20, 20, 5, 0, 90, 0), 0), 10.0, 1e-9);
  EXPECT_EQ(central(shape(ShapeKind::ellipsoid, 1.0, {10, 0, 0}, 5, 50, 5), 0), 0.0);
}

TEST(AnalyticProjection, AgreesWithTheProjectorOfTheOversampledVoxels) {
  const Phantom p = mixed_phantom();
  const std::vector<float> volume = toolkit::voxelise(p, 4, 2);
  std::vector<float> analytic(scan::kViewSamples), voxels(scan::kStackSamples);
  for (int view : {0, 45, 100, 211}) {
    toolkit::analytic_view(p, view, analytic.data());
    float* projected = voxels.data() + scan::stack_index(view, 0, 0);
    tomproj::project_view(view, volume.data(), voxels.data());
    double sum_a = 0.0, sum_v = 0.0, sq = 0.0, peak = 0.0;
    std::size_t close = 0;
    for (int r = 1; r < 255; ++r)
      for (int c = 1; c < 255; ++c) {
        const std::size_t i = scan::stack_index(0, r, c);
        const double a = analytic[i], v = projected[i];
        sum_a += a;
        sum_v += v;
        sq += (a - v) * (a - v);
        peak = std::max(peak, a);
        close += std::fabs(a - v) <= 0.01 * 30.0;
      }
    const double rmse = std::sqrt(sq / (254.0 * 254.0));
    const double share = static_cast<double>(close) / (254.0 * 254.0);
    std::printf("view %3d: line integral sums differ by %.2e (relative), RMSE %.4f = %.3f%% of the peak %.2f, "
                "%.2f%% of the rays within 0.3\n",
                view, sum_v / sum_a - 1.0, rmse, 100.0 * rmse / peak, peak, 100.0 * share);
    EXPECT_LT(std::fabs(sum_v / sum_a - 1.0), 2e-3);
    EXPECT_LT(rmse / peak, 0.01);
    EXPECT_GT(share, 0.95);
  }
}

}  // namespace
