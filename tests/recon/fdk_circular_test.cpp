#include "recon/fdk_circular.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/failure.h"
#include "recon/redundancy_weights.h"
#include "sim/phantom_projection.h"
#include "sim/phantom_shapes.h"
#include "tests/support/circular_rays.h"
#include "tests/support/expect_failure.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A small scan: 64^3 voxels of 1 mm, a detector of 96 x 128 pixels of 1 mm,
// magnification 2 (the detector covers 32 mm either side at the isocentre).
geom::CircularScan small_scan(std::int64_t views, double arc) {
  geom::CircularScan s;
  s.grid.nz = s.grid.ny = s.grid.nx = 64;
  s.rows = 96;
  s.columns = 128;
  s.sod = 200.0;
  s.sdd = 400.0;
  s.angles_deg = testrun::even_angles(views, 10.0, arc);
  return s;
}

toolkit::Phantom ball(double radius, double value) {
  toolkit::Shape b;
  b.kind = toolkit::ShapeKind::ellipsoid;
  b.value = value;
  b.centre = scan::Point3{2.0, -1.0, 0.5};
  b.size[0] = b.size[1] = b.size[2] = radius;
  toolkit::Phantom p;
  p.shapes.push_back(b);
  return p;
}

// The mean and the largest relative deviation of the voxels whose centres
// lie within `radius` of the ball's centre in the plane and `half_height`
// of it along z (the cone's own errors grow away from the middle plane).
struct Interior {
  double mean = 0.0, worst = 0.0;
};
Interior interior(const geom::VolumeGrid& g, const std::vector<float>& volume, double value, double radius,
                  double half_height) {
  Interior in;
  std::int64_t count = 0;
  for (std::int64_t iz = 0; iz < g.nz; ++iz)
    for (std::int64_t iy = 0; iy < g.ny; ++iy)
      for (std::int64_t ix = 0; ix < g.nx; ++ix) {
        const double x = g.origin_x + (ix - 0.5 * (g.nx - 1)) * g.dx - 2.0;
        const double y = g.origin_y - (iy - 0.5 * (g.ny - 1)) * g.dy + 1.0;
        const double z = g.origin_z - (iz - 0.5 * (g.nz - 1)) * g.dz - 0.5;
        if (x * x + y * y > radius * radius || std::fabs(z) > half_height) continue;
        const double v = volume[static_cast<std::size_t>((iz * g.ny + iy) * g.nx + ix)];
        in.mean += v;
        in.worst = std::max(in.worst, std::fabs(v / value - 1.0));
        ++count;
      }
  in.mean /= static_cast<double>(count);
  return in;
}

std::vector<float> reconstruct_ball(const geom::CircularScan& scan, const quant::FdkCircularOptions& options) {
  const std::vector<float> stack =
      toolkit::analytic_stack_along(ball(20.0, 0.02), testrun::circular_rays(scan), 2);
  std::vector<float> volume(static_cast<std::size_t>(scan.grid.voxels()));
  quant::fdk_circular(scan, stack.data(), volume.data(), options);
  return volume;
}

quant::FdkCircularOptions smooth_filter() {
  quant::FdkCircularOptions o;
  o.window = quant::FdkWindow::hann;
  o.threads = 2;
  return o;
}

// The ball within 1 % on average and 3 % everywhere in its interior; with
// `must_need_weights`, far off without the redundancy weights.
void expect_ball_interior(const geom::CircularScan& scan, bool must_need_weights) {
  const Interior in = interior(scan.grid, reconstruct_ball(scan, smooth_filter()), 0.02, 14.0, 6.0);
  EXPECT_NEAR(in.mean, 0.02, 0.02 * 0.01);
  EXPECT_LT(in.worst, 0.03);
  if (!must_need_weights) return;
  quant::FdkCircularOptions plain = smooth_filter();
  plain.redundancy_weights = false;
  const Interior off = interior(scan.grid, reconstruct_ball(scan, plain), 0.02, 14.0, 6.0);
  EXPECT_GT(off.worst, 0.05);
}

TEST(FdkCircular, UniformBallOnAFullTurnInMillimetres) { expect_ball_interior(small_scan(180, 360.0), false); }

TEST(FdkCircular, UniformBallOnUnevenAngles) {
  // Views crowded on one side of the turn and sparse on the other: each
  // counts for its own interval.
  geom::CircularScan scan = small_scan(0, 360.0);
  for (int k = 0; k < 240; ++k) scan.angles_deg.push_back(k < 160 ? k * 1.125 : 180.0 + (k - 160) * 2.25);
  expect_ball_interior(scan, false);
}

TEST(FdkCircular, UniformBallOnAShortScanWithParkerWeights) {
  // Half the fan is atan(64/400) = 9.1 degrees: 200 degrees hold 180 plus
  // the fan. Without the weights the twice-measured lines count double.
  expect_ball_interior(small_scan(200, 200.0), true);
}

TEST(FdkCircular, UniformBallOnAnOffsetDetectorWithWangWeights) {
  // 80 columns shifted 24 mm: -16 ... 64 mm at the detector, -8 ... 32 mm at
  // the isocentre; a centred detector of 80 columns would see 20 mm, less
  // than the ball's reach of 22 mm from the axis.
  geom::CircularScan scan = small_scan(360, 360.0);
  scan.columns = 80;
  scan.offset_u = 24.0;
  expect_ball_interior(scan, true);
}

TEST(FdkCircular, SameBitsAtOneAndTwoThreads) {
  geom::CircularScan scan = small_scan(100, 200.0);
  scan.grid.nx = 37;  // tiles cut short on x
  scan.grid.dz = 0.7;
  scan.grid.origin_x = 3.0;
  std::vector<float> stack(static_cast<std::size_t>(100 * scan.rows * scan.columns));
  std::uint64_t state = 11;
  for (float& x : stack) x = static_cast<float>(toolkit::splitmix64(state) >> 40) / (1 << 23) - 1.0f;
  quant::FdkCircularOptions options;
  options.window = quant::FdkWindow::shepp_logan;
  options.parker_smoothing = 0.5;
  std::vector<float> one(static_cast<std::size_t>(scan.grid.voxels())), two(one.size());
  options.threads = 1;
  quant::fdk_circular(scan, stack.data(), one.data(), options);
  options.threads = 2;
  std::int64_t steps = 0;
  quant::fdk_circular(scan, stack.data(), two.data(), options, [&](std::int64_t done) { steps = done; });
  EXPECT_EQ(0, std::memcmp(one.data(), two.data(), one.size() * sizeof(float)));
  EXPECT_EQ(steps, quant::fdk_circular_step_count(scan));
}

TEST(FdkCircular, EveryKernelGivesTheScalarBits) {
  // An odd slice count leaves a remainder after the lanes; a small pitch
  // and a shifted grid put rows off the detector at both ends.
  geom::CircularScan scan = small_scan(60, 360.0);
  scan.grid.nz = 71;
  scan.grid.ny = 20;
  scan.grid.origin_z = -9.0;
  scan.pitch_row = 0.8;
  std::vector<float> stack(static_cast<std::size_t>(60 * scan.rows * scan.columns));
  std::uint64_t state = 5;
  for (float& x : stack) x = static_cast<float>(toolkit::splitmix64(state) >> 40) / (1 << 23) - 1.0f;
  quant::FdkCircularOptions options;
  options.kernel = kernels::Kernel::scalar;
  std::vector<float> plain(static_cast<std::size_t>(scan.grid.voxels()));
  quant::fdk_circular(scan, stack.data(), plain.data(), options);
  for (kernels::Kernel k : kernels::all_kernels()) {
    if (!kernels::kernel_runs_here(k)) continue;
    options.kernel = k;
    std::vector<float> lanes(plain.size());
    quant::fdk_circular(scan, stack.data(), lanes.data(), options);
    EXPECT_EQ(0, std::memcmp(plain.data(), lanes.data(), plain.size() * sizeof(float))) << kernels::kernel_name(k);
  }
}

TEST(FdkCircular, RefusesScansItCannotReconstruct) {
  using tomio::FailureKind;
  const quant::FdkCircularOptions options;
  // 190 degrees is less than 180 plus the fan of 18.2 degrees.
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "needs at least 198.18 degrees", [&] {
    quant::check_fdk_scan(small_scan(190, 190.0), options);
  }));
  geom::CircularScan offset_short = small_scan(200, 200.0);
  offset_short.offset_u = 20.0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "centred on the central ray",
                                  [&] { quant::check_fdk_scan(offset_short, options); }));
  geom::CircularScan off_axis = small_scan(360, 360.0);
  off_axis.offset_u = 64.0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "does not hold the central ray",
                                  [&] { quant::check_fdk_scan(off_axis, options); }));
  geom::CircularScan near_source = small_scan(360, 360.0);
  near_source.sod = 40.0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "orbit", [&] { quant::check_fdk_scan(near_source, options); }));
  geom::CircularScan descending = small_scan(360, 360.0);
  std::swap(descending.angles_deg[3], descending.angles_deg[4]);
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "ascend", [&] { quant::check_fdk_scan(descending, options); }));
  quant::FdkCircularOptions rough;
  rough.parker_smoothing = 0.0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "smoothing",
                                  [&] { quant::check_fdk_scan(small_scan(200, 200.0), rough); }));
  // Without the weights a short arc is the user's to show.
  rough.parker_smoothing = 1.0;
  rough.redundancy_weights = false;
  EXPECT_NO_THROW(quant::check_fdk_scan(small_scan(190, 190.0), rough));
}

// The other view and detector offset that measure the line of (angle a,
// offset u): where the line leaves the orbit's circle, and its offset seen
// from there.
void conjugate(const geom::CircularScan& scan, double a, double u, double& a2, double& u2) {
  const double s[2] = {scan.sod * std::sin(a), -scan.sod * std::cos(a)};
  const double p[2] = {s[0] - scan.sdd * std::sin(a) + u * std::cos(a), s[1] + scan.sdd * std::cos(a) + u * std::sin(a)};
  double d[2] = {p[0] - s[0], p[1] - s[1]};
  const double n = std::hypot(d[0], d[1]);
  d[0] /= n;
  d[1] /= n;
  const double t = -2.0 * (s[0] * d[0] + s[1] * d[1]);  // second root of |s + t d| = sod
  const double s2[2] = {s[0] + t * d[0], s[1] + t * d[1]};
  a2 = std::atan2(s2[0], -s2[1]);
  // Seen from s2 the line runs along -d.
  const double along = -d[0] * -std::sin(a2) + -d[1] * std::cos(a2);
  const double across = -d[0] * std::cos(a2) + -d[1] * std::sin(a2);
  u2 = scan.sdd * across / along;
}

TEST(RedundancyWeights, ParkerWeightsOfTheTwoMeasurementsOfALineSumToOne) {
  const geom::CircularScan scan = small_scan(210, 210.0);
  const quant::ScanArc arc = quant::scan_arc(scan.angles_deg);
  for (double q : {1.0, 0.3}) {
    const quant::RedundancyPlan plan = quant::plan_redundancy(scan, arc, q, true);
    ASSERT_EQ(plan.kind, quant::Redundancy::short_scan);
    std::uint64_t state = 3;
    for (int k = 0; k < 2000; ++k) {
      const double beta = arc.arc * (toolkit::splitmix64(state) >> 11) * 0x1.0p-53;
      const double u = 127.0 * ((toolkit::splitmix64(state) >> 11) * 0x1.0p-53 - 0.5);
      const double a = scan.angles_deg[0] * kPi / 180.0 - 0.5 * arc.interval[0] + beta;
      double a2 = 0.0, u2 = 0.0;
      conjugate(scan, a, u, a2, u2);
      EXPECT_NEAR(u2, -u, 1e-9);
      double beta2 = std::fmod(a2 - (a - beta), 2.0 * kPi);
      if (beta2 < 0.0) beta2 += 2.0 * kPi;
      const double w = quant::parker_weight(beta, quant::fan_angle(u, scan.sdd), plan.overscan, q);
      const double w2 = quant::parker_weight(beta2, quant::fan_angle(u2, scan.sdd), plan.overscan, q);
      ASSERT_NEAR(w + w2, 1.0, 1e-12) << "beta " << beta << " u " << u << " q " << q;
    }
  }
  EXPECT_EQ(quant::parker_weight(-0.1, 0.0, 0.2, 1.0), 0.0);
  EXPECT_EQ(quant::parker_weight(1.5, 0.0, 0.2, 1.0), 1.0);
}

TEST(RedundancyWeights, WangWeightsOfTheOverlapSumToOne) {
  geom::CircularScan scan = small_scan(360, 360.0);
  scan.columns = 80;
  scan.offset_u = -24.0;  // the wide side at u < 0
  const quant::ScanArc arc = quant::scan_arc(scan.angles_deg);
  const quant::RedundancyPlan plan = quant::plan_redundancy(scan, arc, 1.0, true);
  ASSERT_EQ(plan.kind, quant::Redundancy::offset_detector);
  EXPECT_DOUBLE_EQ(plan.overlap, 40.0 - 24.0 - 0.5);
  std::vector<double> w(80);
  quant::column_weights(scan, arc, plan, 5, w.data());
  for (std::int64_t c = 0; c < 80; ++c) {
    const double u = quant::column_offset(scan, c);
    if (u > plan.overlap - 1e-9) continue;  // no pixel measures its conjugate
    if (u < -plan.overlap) {
      EXPECT_EQ(w[static_cast<std::size_t>(c)], 1.0) << c;
    } else {
      EXPECT_NEAR(w[static_cast<std::size_t>(c)] + quant::wang_weight(-u, plan.overlap, plan.wide_side), 1.0, 1e-15);
    }
  }
  EXPECT_EQ(w[79], 0.0);  // the narrow edge
  // The defined scan's half-column shift counts as centred: halves.
  scan.offset_u = 0.5;
  EXPECT_EQ(quant::plan_redundancy(scan, arc, 1.0, true).kind, quant::Redundancy::full_turn);
}

TEST(RedundancyWeights, ViewIntervalsOfUnevenAngles) {
  const quant::ScanArc open = quant::scan_arc({0.0, 10.0, 30.0, 40.0});
  ASSERT_FALSE(open.full_turn);
  const double deg = kPi / 180.0;
  EXPECT_NEAR(open.interval[0], 10.0 * deg, 1e-15);
  EXPECT_NEAR(open.interval[1], 15.0 * deg, 1e-15);
  EXPECT_NEAR(open.interval[3], 10.0 * deg, 1e-15);
  EXPECT_NEAR(open.arc, 50.0 * deg, 1e-14);
  EXPECT_NEAR(open.beta[3], 45.0 * deg, 1e-14);
  const quant::ScanArc turn = quant::scan_arc({0.0, 90.0, 200.0, 270.0});
  ASSERT_TRUE(turn.full_turn);
  EXPECT_NEAR(turn.interval[0], 90.0 * deg, 1e-15);
  EXPECT_NEAR(turn.interval[2], 90.0 * deg, 1e-15);
  EXPECT_NEAR(turn.arc, 2.0 * kPi, 1e-14);
  EXPECT_NEAR(quant::fan_angle(37.0, 400.0), -std::atan(37.0 / 400.0), 1e-16);
  EXPECT_NEAR(quant::fan_angle(-900.0, 4.0), -std::atan(-900.0 / 4.0), 1e-15);
}

}  // namespace
