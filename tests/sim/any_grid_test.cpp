// Phantoms, exact projections, noise and comparison regions on grids,
// scans and stacks other than the defined ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/geometry.h"
#include "core/scan_geometry.h"
#include "eval/comparison.h"
#include "sim/dose_noise.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"
#include "sim/phantom_shapes.h"
#include "tests/support/circular_rays.h"
#include "tests/support/expect_failure.h"

namespace {

toolkit::Phantom three_shapes() {
  return toolkit::parse_description(
      "ellipsoid value=0.5 centre=3.25,-7.5,4 size=12.5,11,9 angles=30,20,10\n"
      "box value=0.25 centre=-10,6,-3 size=8,5,12 angles=15,0,0\n"
      "cylinder value=-0.125 centre=2,3,1 size=6,4,14 angles=0,70,40\n",
      "three shapes");
}

TEST(PhantomOnAnyGrid, OneDescriptionGivesTheSameObjectOnTwoGrids) {
  // A voxel of 2 mm sampled 2^3 times sees exactly the centres of the
  // eight 1 mm voxels it holds: their mean is its value.
  geom::VolumeGrid coarse;
  coarse.nz = 20;
  coarse.ny = 24;
  coarse.nx = 28;
  coarse.dz = coarse.dy = coarse.dx = 2.0;
  coarse.origin_z = -1.5;
  coarse.origin_y = 3.25;
  coarse.origin_x = 0.75;
  geom::VolumeGrid fine = coarse;
  fine.nz *= 2;
  fine.ny *= 2;
  fine.nx *= 2;
  fine.dz = fine.dy = fine.dx = 1.0;
  const toolkit::Phantom p = three_shapes();
  const std::vector<float> c = toolkit::voxelise_on_grid(p, coarse, 2, 2);
  const std::vector<float> f = toolkit::voxelise_on_grid(p, fine, 1, 1);
  double total = 0.0;
  for (std::int64_t iz = 0; iz < coarse.nz; ++iz)
    for (std::int64_t iy = 0; iy < coarse.ny; ++iy)
      for (std::int64_t ix = 0; ix < coarse.nx; ++ix) {
        double mean = 0.0;
        for (int k = 0; k < 8; ++k) {
          const std::int64_t jz = 2 * iz + (k >> 2), jy = 2 * iy + ((k >> 1) & 1), jx = 2 * ix + (k & 1);
          mean += f[static_cast<std::size_t>((jz * fine.ny + jy) * fine.nx + jx)] / 8.0;
        }
        const float v = c[static_cast<std::size_t>((iz * coarse.ny + iy) * coarse.nx + ix)];
        ASSERT_NEAR(v, mean, 1e-6) << iz << " " << iy << " " << ix;
        total += v;
      }
  EXPECT_GT(total, 100.0);  // the shapes are on the grid
  // Anisotropic voxels: the object's integral, sum of value x volume of
  // each shape (all inside the grid).
  const double pi = 3.14159265358979;
  const double integral = 0.5 * 4.0 / 3.0 * pi * 12.5 * 11 * 9 + 0.25 * 16 * 10 * 24 - 0.125 * pi * 6 * 4 * 28;
  geom::VolumeGrid flat = coarse;
  flat.nz = 80;
  flat.dz = 0.5;
  const std::vector<float> a = toolkit::voxelise_on_grid(p, flat, 4, 2);
  double integral_flat = 0.0, integral_coarse = 0.0;
  for (float v : a) integral_flat += v * 0.5 * 2.0 * 2.0;
  for (float v : c) integral_coarse += v * 8.0;
  EXPECT_NEAR(integral_flat / integral, 1.0, 0.005);
  EXPECT_NEAR(integral_coarse / integral, 1.0, 0.02);  // 1 mm sampling of surfaces
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "voxel size", [&] {
    geom::VolumeGrid bad = coarse;
    bad.dy = 0.0;
    toolkit::voxelise_on_grid(p, bad, 1, 1);
  }));
}

TEST(PhantomOnAnyGrid, RandomEllipsoidsKeepInsideAFieldOfViewInMillimetres) {
  toolkit::RandomEllipsoidSettings settings;
  settings.size_lo = 10.0;
  settings.size_hi = 60.0;
  const toolkit::FieldBox field = toolkit::field_of_view_box(160.0, 60.0);
  EXPECT_NEAR(field.hi[0], 80.0 / std::sqrt(2.0), 1e-12);
  EXPECT_EQ(field.lo[2], -30.0);
  const toolkit::Phantom p = toolkit::random_ellipsoids_in(9, settings, field);
  ASSERT_GE(p.shapes.size(), 5u);
  double widest = 0.0;
  for (const toolkit::Shape& s : p.shapes) {
    double e[3];
    toolkit::shape_extent(s, toolkit::axes_of(s), e);
    const double c[3] = {s.centre.x, s.centre.y, s.centre.z};
    for (int i = 0; i < 3; ++i) {
      EXPECT_GE(c[i] - e[i], field.lo[i]);
      EXPECT_LE(c[i] + e[i], field.hi[i]);
    }
    widest = std::max(widest, e[0]);
  }
  EXPECT_GT(widest, 20.0);  // millimetres, not the defined box's voxels
  EXPECT_EQ(toolkit::description_text(p), toolkit::description_text(toolkit::random_ellipsoids_in(9, settings, field)));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "field of view",
                                  [] { toolkit::field_of_view_box(0.0, 10.0); }));
}

TEST(ProjectionAlongAnyRays, AgreesWithTheDefinedScansRays) {
  // The defined scan as a circular scan: its rays (formed by the projector's
  // own code) and the vectors of the frame meet the same chords.
  geom::CircularScan s;
  s.rows = s.columns = 256;
  s.offset_v = s.offset_u = -0.5;
  s.sod = 256.0;
  s.sdd = 512.0;
  s.angles_deg = {0.0, 64 * 1.40625, 201 * 1.40625};
  const toolkit::Phantom p = three_shapes();
  const std::vector<float> along = toolkit::analytic_stack_along(p, testrun::circular_rays(s), 2);
  std::vector<float> view(scan::kViewSamples);
  int k = 0;
  for (int v : {0, 64, 201}) {
    toolkit::analytic_view(p, v, view.data());
    double worst = 0.0, peak = 0.0;
    for (std::size_t i = 0; i < view.size(); ++i) {
      worst = std::max(worst, std::fabs(double(view[i]) - along[static_cast<std::size_t>(k) * view.size() + i]));
      peak = std::max(peak, std::fabs(double(view[i])));
    }
    EXPECT_GT(peak, 5.0) << v;
    EXPECT_LT(worst, 1e-5 * peak) << v;
    ++k;
  }
}

TEST(ProjectionAlongAnyRays, ChordsOfABoxOnAnOffsetTiltedDetector) {
  // One view at 90 degrees: the source on +x, rays towards -x through an
  // axis-aligned box of half edges (5, 3, 2) about (0, 1, -1.1); every pixel
  // whose ray passes through the box's y-z face sees its full 10 mm.
  geom::CircularScan s;
  s.rows = 9;
  s.columns = 11;
  s.pitch_row = 0.5;
  s.pitch_column = 0.25;
  s.offset_u = 0.125;
  s.sod = 1e6;  // nearly parallel rays
  s.sdd = 2e6;
  s.angles_deg = {90.0};
  const toolkit::Phantom box = toolkit::parse_description("box value=2 centre=0,1,-1.1 size=5,3,2\n", "box");
  const std::vector<float> stack = toolkit::analytic_stack_along(box, testrun::circular_rays(s), 1);
  for (std::int64_t r = 0; r < s.rows; ++r)
    for (std::int64_t c = 0; c < s.columns; ++c) {
      // Pixel offsets at the detector, halved at the isocentre.
      const double u = (s.offset_u + (c - 5.0) * s.pitch_column) / 2.0;
      const double z = -(r - 4.0) * s.pitch_row / 2.0;
      const double y = u;  // at 90 degrees the columns run along +y
      const bool inside = std::fabs(y - 1.0) < 3.0 && std::fabs(z + 1.1) < 2.0;
      EXPECT_NEAR(stack[static_cast<std::size_t>(r * s.columns + c)], inside ? 20.0 : 0.0, 1e-4) << r << " " << c;
    }
}

TEST(NoiseOnAnyStack, SameBitsWholeOrInPiecesAndOneI0PerView) {
  const toolkit::StackShape shape{7, 5, 9};
  std::vector<float> stack(7 * 5 * 9);
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = 0.01f * static_cast<float>(i % 50);
  toolkit::DoseSettings settings;
  settings.i0 = toolkit::constant_i0(2000.0, 7);
  settings.i0[3] = 50.0;
  settings.seed = 17;
  settings.electronic = 2.0;
  std::vector<float> whole(stack.size()), pieces(stack.size());
  toolkit::add_dose_noise(settings, shape, stack.data(), whole.data(), 0, 7, 1);
  toolkit::add_dose_noise(settings, shape, stack.data(), pieces.data(), 0, 3, 2);
  toolkit::add_dose_noise(settings, shape, stack.data() + 3 * 45, pieces.data() + 3 * 45, 3, 4, 2);
  EXPECT_EQ(0, std::memcmp(whole.data(), pieces.data(), whole.size() * sizeof(float)));
  EXPECT_NE(whole[3 * 45 + 10], stack[3 * 45 + 10]);
  // The stack position is the defined one for the defined shape.
  std::vector<float> defined_view(scan::kViewSamples, 0.5f), a(defined_view.size()), b(defined_view.size());
  settings.i0 = toolkit::constant_i0(1000.0);
  toolkit::add_dose_noise(settings, defined_view.data(), a.data(), 9, 1, 1);
  toolkit::add_dose_noise(settings, toolkit::StackShape{scan::kViews, scan::kRows, scan::kColumns},
                          defined_view.data(), b.data(), 9, 1, 1);
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
  settings.i0 = toolkit::constant_i0(1000.0, 6);
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "one value per view (7)", [&] {
    toolkit::add_dose_noise(settings, shape, stack.data(), whole.data(), 0, 7, 1);
  }));
}

TEST(ComparisonRegions, InMillimetresOnAnyGrid) {
  geom::VolumeGrid g;
  g.nz = 30;
  g.ny = 50;
  g.nx = 44;
  g.dz = 1.5;
  g.dy = g.dx = 0.5;
  g.origin_x = 2.0;
  const toolkit::Region cyl = toolkit::cylinder_region(g, 8.0, 12.0);
  // pi r^2 h / voxel volume, within the staircase of the edge.
  const double expected = 3.14159265358979 * 64.0 * 24.0 / (1.5 * 0.25);
  EXPECT_NEAR(static_cast<double>(cyl.positions.size()) / expected, 1.0, 0.03);
  for (std::size_t k = 1; k < cyl.positions.size(); ++k) ASSERT_LT(cyl.positions[k - 1], cyl.positions[k]);
  const std::vector<toolkit::Region> regions = toolkit::volume_regions(g);
  EXPECT_EQ(regions[1].positions.size(), static_cast<std::size_t>(16 * 26 * 22));
  EXPECT_EQ(regions[2].positions.front(), static_cast<std::size_t>(15 * 50 * 44));
  EXPECT_EQ(toolkit::stack_regions(3, 8, 12)[1].positions.size(), static_cast<std::size_t>(3 * 4 * 6));
  // The defined scan's regions, as before.
  EXPECT_EQ(toolkit::traced_cylinder_region().positions,
            toolkit::cylinder_region(geom::defined_geometry().grid, 61.0, 61.0).positions);
  const toolkit::Region defined_cylinder = toolkit::traced_cylinder_region();
  std::size_t count = 0;
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        const scan::Point3 p = scan::voxel_centre(ix, iy, iz);
        if (p.x * p.x + p.y * p.y <= 61.0 * 61.0 && std::fabs(p.z) <= 61.0) {
          ASSERT_EQ(defined_cylinder.positions[count], scan::volume_index(ix, iy, iz));
          ++count;
        }
      }
  EXPECT_EQ(count, defined_cylinder.positions.size());
}

// The defaults a grid gives the phantom tools: the defined head's scale on
// the defined grid, a field one voxel inside the grid, and random samples
// whose defined Volume is the first of a longer run.
TEST(PhantomOnAnyGrid, GridDefaultsMeetTheDefinedOnes) {
  const geom::VolumeGrid defined = geom::defined_geometry().grid;
  EXPECT_EQ(toolkit::grid_head_scale(defined), 63.0);
  // 12 x 10 x 8 voxels of (dz, dy, dx) = (0.5, 0.25, 2) mm, centred at x = 1.
  const geom::VolumeGrid g{8, 10, 12, 0.5, 0.25, 2.0, 0.0, 0.0, 1.0};
  const toolkit::FieldBox box = toolkit::grid_field_box(g);
  EXPECT_DOUBLE_EQ(box.lo[0], 1.0 - 12.0 + 2.0);
  EXPECT_DOUBLE_EQ(box.hi[0], 1.0 + 12.0 - 2.0);
  EXPECT_DOUBLE_EQ(box.lo[1], -1.25 + 0.25);
  EXPECT_DOUBLE_EQ(box.hi[2], 2.0 - 0.5);
  EXPECT_DOUBLE_EQ(toolkit::grid_head_scale(g), 63.0 / 128.0 * 2.5);

  const std::vector<float> longer = toolkit::random_samples(11, -1.0f, 1.0f, scan::kVolumeSamples + 5);
  const std::vector<float> volume = toolkit::random_volume(11, -1.0f, 1.0f);
  EXPECT_EQ(0, std::memcmp(longer.data(), volume.data(), volume.size() * sizeof(float)));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "0 ... 11, 0 ... 9, 0 ... 7",
                                  [&] { toolkit::single_voxel_on_grid(g, 0, 10, 0, 1.0f); }));
  const std::vector<float> one = toolkit::single_voxel_on_grid(g, 11, 9, 7, 2.0f);
  EXPECT_EQ(one.back(), 2.0f);
}

}  // namespace
