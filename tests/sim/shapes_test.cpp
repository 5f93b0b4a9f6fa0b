// The test objects against their closed forms: voxel counts of balls and
// boxes, the head phantom's values at known points, the fixed generator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/scan_geometry.h"
#include "sim/phantom_shapes.h"

namespace {

using scan::NX;
using scan::NY;
using scan::NZ;

std::size_t count_nonzero(const std::vector<float>& v) {
  std::size_t n = 0;
  for (float x : v) n += x != 0.0f;
  return n;
}

TEST(VoxelCentres, LieInTheirOwnVoxelByTheFloorRule) {
  for (int i = 0; i < 128; ++i) {
    const scan::Point3 p = toolkit::voxel_centre(i, i, i);
    EXPECT_EQ(scan::voxel_ix(static_cast<int>(std::floor(p.x))), i);
    EXPECT_EQ(scan::voxel_iy(static_cast<int>(std::floor(p.y))), i);
    EXPECT_EQ(scan::voxel_iz(static_cast<int>(std::floor(p.z))), i);
  }
  const scan::Point3 c = toolkit::voxel_centre(64, 64, 64);
  EXPECT_EQ(c.x, 0.5);
  EXPECT_EQ(c.y, 0.5);
  EXPECT_EQ(c.z, 0.5);
}

TEST(Shapes, BallHoldsAboutItsVolumeInVoxelsAndSitsWhereAsked) {
  for (double r : {6.0, 12.5, 30.0}) {
    const auto v = toolkit::ball_volume(scan::Point3{3.0, -5.0, 7.0}, r, 2.5f);
    const double expected = 4.0 / 3.0 * M_PI * r * r * r;
    EXPECT_NEAR(static_cast<double>(count_nonzero(v)), expected, 0.04 * expected) << "r " << r;
    // Its centre voxel and a voxel just outside its reach.
    EXPECT_EQ(v[scan::volume_index_of_cell(3, -5, 7)], 2.5f);
    EXPECT_EQ(v[scan::volume_index_of_cell(3 + static_cast<int>(r) + 1, -5, 7)], 0.0f);
  }
}

TEST(Shapes, BoxHoldsExactlyTheVoxelsWhoseCentresItContains) {
  // Centres -9.5 ... 9.5 on x (20), 0.5 ... 4.5 on y (5), -2.5 ... 2.5 on z (6).
  const auto v = toolkit::box_volume(scan::Point3{-10, 0, -3}, scan::Point3{10, 5, 3}, 1.0f);
  EXPECT_EQ(count_nonzero(v), 20u * 5u * 6u);
  EXPECT_EQ(v[scan::volume_index_of_cell(-10, 0, -3)], 1.0f);  // centre (-9.5, 0.5, -2.5)
  EXPECT_EQ(v[scan::volume_index_of_cell(9, 4, 2)], 1.0f);     // centre (9.5, 4.5, 2.5)
  EXPECT_EQ(v[scan::volume_index_of_cell(10, 4, 2)], 0.0f);
  EXPECT_EQ(v[scan::volume_index_of_cell(9, -1, 2)], 0.0f);
}

TEST(Shapes, OnesAndSingleVoxel) {
  const auto ones = toolkit::constant_volume(1.0f);
  EXPECT_EQ(ones.size(), scan::kVolumeSamples);
  EXPECT_EQ(count_nonzero(ones), scan::kVolumeSamples);
  const auto one = toolkit::single_voxel_volume(5, 17, 99, -3.0f);
  EXPECT_EQ(count_nonzero(one), 1u);
  EXPECT_EQ(one[5 + 128 * (17 + 128 * 99)], -3.0f);
}

TEST(Random, SplitmixIsTheFixedReferenceGenerator) {
  std::uint64_t state = 0;
  EXPECT_EQ(toolkit::splitmix64(state), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(toolkit::splitmix64(state), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(toolkit::splitmix64(state), 0x06C45D188009454FULL);
}

TEST(Random, SameSeedSameVolumeAndValuesStayInTheirRange) {
  const auto a = toolkit::random_volume(42, -1.0f, 2.0f);
  const auto b = toolkit::random_volume(42, -1.0f, 2.0f);
  const auto c = toolkit::random_volume(43, -1.0f, 2.0f);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  double sum = 0.0;
  for (float x : a) {
    ASSERT_GE(x, -1.0f);
    ASSERT_LT(x, 2.0f);
    sum += x;
  }
  EXPECT_NEAR(sum / a.size(), 0.5, 0.01);
  // The first sample is the first draw's top 24 bits, scaled.
  std::uint64_t state = 42;
  const double unit = static_cast<double>(toolkit::splitmix64(state) >> 40) / 16777216.0;
  EXPECT_EQ(a[0], static_cast<float>(-1.0 + 3.0 * unit));
}

TEST(SheppLogan, ValuesAtKnownPoints) {
  // Sums of the ellipsoids' values, so equal up to the rounding of the sums.
  const double tol = 1e-12;
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.0, 0.0), 0.2, tol);     // brain
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.9, 0.0), 1.0, tol);     // skull
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.0, 0.8), 1.0, tol);     // skull, top
  EXPECT_NEAR(toolkit::shepp_logan_value(0.22, 0.0, 0.0), 0.0, tol);    // ventricles
  EXPECT_NEAR(toolkit::shepp_logan_value(-0.22, 0.0, 0.0), 0.0, tol);
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.35, -0.15), 0.3, tol);  // upper ellipsoid
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.1, 0.25), 0.3, tol);    // small ones
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, -0.606, 0.0), 0.3, tol);
  EXPECT_NEAR(toolkit::shepp_logan_value(0.0, 0.95, 0.0), 0.0, tol);    // outside
  EXPECT_NEAR(toolkit::shepp_logan_value(0.7, 0.0, 0.0), 0.0, tol);
}

TEST(SheppLogan, VentriclesAreTurnedAboutTheirOwnCentres) {
  // The right ventricle (centre x = 0.22) is turned by -18 degrees: its long
  // axis leans towards +x going up. Points on that axis 0.25 from the centre
  // are inside; their mirror images across the vertical through the centre
  // are not.
  const double tol = 1e-12;
  const double t = 18.0 * M_PI / 180.0;
  const double sx = 0.25 * std::sin(t), sy = 0.25 * std::cos(t);
  EXPECT_NEAR(toolkit::shepp_logan_value(0.22 + sx, sy, 0.0), 0.0, tol);
  EXPECT_NEAR(toolkit::shepp_logan_value(0.22 - sx, -sy, 0.0), 0.0, tol);
  EXPECT_NEAR(toolkit::shepp_logan_value(0.22 + sx, -sy, 0.0), 0.2, tol);
  // The left ventricle is turned the other way.
  EXPECT_NEAR(toolkit::shepp_logan_value(-0.22 + sx, -sy, 0.0), 0.0, tol);
  EXPECT_NEAR(toolkit::shepp_logan_value(-0.22 - sx, -sy, 0.0), 0.2, tol);
}

TEST(SheppLogan, VolumeIsTheFunctionAtVoxelCentresAndFitsTheTracedBox) {
  const auto v = toolkit::shepp_logan_volume();
  double max_abs_y = 0.0;
  for (int iz = 0; iz < NZ; ++iz)
    for (int iy = 0; iy < NY; ++iy)
      for (int ix = 0; ix < NX; ++ix) {
        const float value = v[scan::volume_index(ix, iy, iz)];
        const scan::Point3 p = toolkit::voxel_centre(ix, iy, iz);
        ASSERT_EQ(value, static_cast<float>(toolkit::shepp_logan_value(p.x / 63.0, p.y / 63.0, p.z / 63.0)));
        if (value != 0.0f) {
          ASSERT_TRUE(scan::inside(p.x, p.y, p.z)) << ix << "," << iy << "," << iz;
          max_abs_y = std::max(max_abs_y, std::fabs(p.y));
        }
      }
  EXPECT_NEAR(max_abs_y, 58.0, 1.0);
  EXPECT_FLOAT_EQ(v[scan::volume_index(64, 64, 64)], 0.2f);
}

}  // namespace
