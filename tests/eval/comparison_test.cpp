// The comparison figures on inputs with known answers, and tomcompare's
// report and exit status as a user sees them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "eval/comparison.h"
#include "sim/phantom_shapes.h"

namespace {

toolkit::Region whole() {
  toolkit::Region r;
  r.name = "whole";
  r.all = true;
  return r;
}

std::vector<float> ramp(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>((i * 37 % 1000) / 1000.0);
  return v;
}

TEST(Figures, IdenticalInputs) {
  const auto a = ramp(5000);
  const auto f = toolkit::compare_region(a, a, whole());
  EXPECT_EQ(f.samples, 5000u);
  EXPECT_EQ(f.bitwise_different, 0u);
  EXPECT_EQ(f.max_abs_difference, 0.0);
  EXPECT_EQ(f.rmse, 0.0);
  EXPECT_TRUE(std::isinf(f.psnr));
  EXPECT_NEAR(f.pearson_r, 1.0, 1e-12);
  EXPECT_NEAR(f.fit_scale, 1.0, 1e-12);
  EXPECT_NEAR(f.fit_offset, 0.0, 1e-12);
}

TEST(Figures, OneDifferingSampleIsCountedAndPlaced) {
  const auto a = ramp(5000);
  auto b = a;
  b[1234] += 0.5f;
  const auto f = toolkit::compare_region(a, b, whole());
  EXPECT_EQ(f.bitwise_different, 1u);
  EXPECT_EQ(f.max_at, 1234u);
  EXPECT_NEAR(f.max_abs_difference, 0.5, 1e-6);
  EXPECT_EQ(f.first_at_max, a[1234]);
  EXPECT_EQ(f.second_at_max, b[1234]);
  EXPECT_NEAR(f.rmse, 0.5 / std::sqrt(5000.0), 1e-7);
  // Negative zero against positive zero: equal values, different bits.
  std::vector<float> z1{0.0f, 1.0f}, z2{-0.0f, 1.0f};
  const auto g = toolkit::compare_region(z1, z2, whole());
  EXPECT_EQ(g.bitwise_different, 1u);
  EXPECT_EQ(g.max_abs_difference, 0.0);
}

TEST(Figures, ConstantShiftGivesItsRmseAndPsnr) {
  std::vector<float> a(1000), b(1000);
  for (int i = 0; i < 1000; ++i) {
    a[i] = i / 999.0f;  // peak: exactly 1
    b[i] = a[i] + 0.125f;
  }
  const auto f = toolkit::compare_region(a, b, whole());
  EXPECT_NEAR(f.rmse, 0.125, 1e-7);
  EXPECT_NEAR(f.psnr, 20.0 * std::log10(1.0 / 0.125), 1e-5);
  EXPECT_NEAR(f.fit_rmse, 0.0, 1e-6);
}

TEST(Figures, FitRecoversScaleAndOffset) {
  // second = 2.5 * first - 4, so first = 0.4 * second + 1.6.
  const auto a = ramp(20000);
  std::vector<float> b(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) b[i] = 2.5f * a[i] - 4.0f;
  const auto f = toolkit::compare_region(a, b, whole());
  EXPECT_NEAR(f.fit_scale, 0.4, 1e-6);
  EXPECT_NEAR(f.fit_offset, 1.6, 1e-6);
  EXPECT_NEAR(f.fit_rmse, 0.0, 1e-6);
  EXPECT_NEAR(f.fit_max_abs_difference, 0.0, 1e-5);
  EXPECT_NEAR(f.pearson_r, 1.0, 1e-9);
  // One outlier on top of the relation is where the fit is worst.
  b[777] += 10.0f;
  EXPECT_EQ(toolkit::compare_region(a, b, whole()).fit_max_at, 777u);
  // A falling relation correlates at -1.
  for (std::size_t i = 0; i < a.size(); ++i) b[i] = 3.0f - a[i];
  EXPECT_NEAR(toolkit::compare_region(a, b, whole()).pearson_r, -1.0, 1e-9);
}

TEST(Figures, NonFiniteSamplesAreCountedAndLeftOut) {
  std::vector<float> a{1.0f, 2.0f, 3.0f, 4.0f};
  std::vector<float> b{1.0f, std::numeric_limits<float>::quiet_NaN(), 3.0f, 5.0f};
  const auto f = toolkit::compare_region(a, b, whole());
  EXPECT_EQ(f.non_finite, 1u);
  EXPECT_EQ(f.finite, 3u);
  EXPECT_EQ(f.bitwise_different, 2u);
  EXPECT_EQ(f.max_abs_difference, 1.0);
  EXPECT_EQ(f.max_at, 3u);
}

TEST(Figures, VolumeRegionsHoldTheirPositions) {
  const auto regions = toolkit::volume_regions();
  ASSERT_EQ(regions.size(), 3u);
  EXPECT_TRUE(regions[0].all);
  EXPECT_EQ(regions[1].positions.size(), 64u * 64u * 64u);
  EXPECT_EQ(regions[2].positions.size(), 128u * 128u);
  EXPECT_EQ(regions[2].positions.front(), scan::volume_index(0, 0, 64));
  // A difference outside the central cube shows in the whole only.
  auto a = toolkit::constant_volume(1.0f);
  auto b = a;
  b[scan::volume_index(3, 3, 3)] = 2.0f;
  EXPECT_EQ(toolkit::compare_region(a, b, regions[0]).bitwise_different, 1u);
  EXPECT_EQ(toolkit::compare_region(a, b, regions[1]).bitwise_different, 0u);
  const auto stack = toolkit::stack_regions();
  EXPECT_EQ(stack[1].positions.size(), 256u * 128u * 128u);
}

class CompareProgram : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  void save(const std::string& name, const std::vector<float>& v) {
    tomio::save_float_image(dir_ + "/" + name, v.data(), v.size());
  }
  testrun::Result compare(const std::string& args) {
    return testrun::run(dir_, std::string(TOM_BINARY_DIR) + "/bin/tomcompare " + args, "");
  }
  std::string dir_;
};

TEST_F(CompareProgram, ExitStatusSaysIdenticalDifferentOrTrouble) {
  auto a = toolkit::shepp_logan_volume();
  save("a.img", a);
  save("a2.img", a);
  a[scan::volume_index(10, 20, 30)] += 1.0f;
  save("b.img", a);
  EXPECT_EQ(compare("a.img a2.img").status, 0);
  const auto diff = compare("--format kv a.img b.img");
  EXPECT_EQ(diff.status, 1);
  EXPECT_NE(diff.out.find("identical=0\n"), std::string::npos);
  EXPECT_NE(diff.out.find("whole.bitwise_different=1\n"), std::string::npos);
  EXPECT_NE(diff.out.find("whole.max_at_voxel=10,20,30\n"), std::string::npos);
  EXPECT_NE(diff.out.find("whole.max_abs_difference=1\n"), std::string::npos);
  EXPECT_NE(diff.out.find("central.bitwise_different=0\n"), std::string::npos);
  EXPECT_EQ(compare("--no-fail a.img b.img").status, 0);
  EXPECT_EQ(compare("a.img missing.img").status, 2);
  EXPECT_EQ(compare("a.img").status, 2);
  EXPECT_EQ(compare("--format xml a.img b.img").status, 2);
  EXPECT_EQ(compare("--diff-out no/such/dir/d.img a.img b.img").status, 2);
  // A stack is not a Volume: refused, with both sizes named.
  const auto wrong = compare("--stack a.img b.img");
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("8388608"), std::string::npos);
  EXPECT_NE(wrong.err.find("67108864"), std::string::npos);
}

TEST_F(CompareProgram, JsonReportAndDifferenceFiles) {
  const auto a = toolkit::shepp_logan_volume();
  std::vector<float> b(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) b[i] = 3.0f * a[i] + 1.0f;
  save("a.img", a);
  save("b.img", b);
  const auto r = compare("--format json --no-fail --diff-out d.img --residual-out res.img a.img b.img");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_NE(r.out.find("\"identical\": false"), std::string::npos);
  EXPECT_NE(r.out.find("\"axial_slice\": {"), std::string::npos);
  EXPECT_NE(r.out.find("\"max_at_voxel\": ["), std::string::npos);
  std::vector<float> d(a.size()), res(a.size());
  tomio::load_float_image(dir_ + "/d.img", d.data(), d.size());
  tomio::load_float_image(dir_ + "/res.img", res.data(), res.size());
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(d[i], b[i] - a[i]);
    worst = std::max(worst, std::fabs(static_cast<double>(res[i])));
  }
  EXPECT_LT(worst, 1e-5);
}

}  // namespace
