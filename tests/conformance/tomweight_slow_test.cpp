// The weight tool against the literal walk and a direct backprojection of
// ones through the reconstruction's own code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/oracle/backprojection_oracle.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volumes.h"
#include "operators/backprojection.h"

namespace {

const std::string kTomweight = std::string(TOM_BINARY_DIR) + "/bin/tomweight";

TEST(Tomweight, WritesTheLengthSumsOfTheReconstructionsWalk) {
  if (!testrun::exists(kTomweight)) GTEST_SKIP() << "tools not built";
  const std::string dir = testrun::make_temp_dir();
  const testrun::Result r = testrun::run(dir, kTomweight + " --dir out", "");
  EXPECT_EQ(r.status, 1);  // the directory does not exist yet
  EXPECT_FALSE(testrun::exists(dir + "/out/long_sum_voxel.img"));
  ASSERT_EQ(testrun::run(dir, "mkdir out", "").status, 0);
  const testrun::Result ok = testrun::run(dir, kTomweight + " --dir out", "");
  ASSERT_EQ(ok.status, 0) << ok.err;

  std::vector<float> detector(scan::kStackSamples), voxel(scan::kVolumeSamples);
  tomio::load_float_image(dir + "/out/long_sum_detector.img", detector.data(), detector.size());
  tomio::load_float_image(dir + "/out/long_sum_voxel.img", voxel.data(), voxel.size());

  // Per ray: the literal walk's length sum.
  for (int v : {0, 64, 77, 200}) {
    for (int row = 0; row < 256; row += 7) {
      for (int c = 0; c < 256; ++c) {
        double source[3], det[3];
        oracle::ray_ends(v, row, c, source, det);
        const float literal = static_cast<float>(oracle::length_sum(source, det, 256.0));
        ASSERT_EQ(testdata::bits(detector[scan::stack_index(v, row, c)]), testdata::bits(literal))
            << v << " " << row << " " << c;
      }
    }
  }
  EXPECT_EQ(detector[scan::stack_index(16, 0, 0)], 0.0f);
  EXPECT_EQ(detector[scan::stack_index(0, 128, 128)], 124.0f);

  // Per voxel: the backprojection of samples 1 with weights 1.
  std::vector<float> ones(scan::kStackSamples, 1.0f);
  std::vector<double> acc(scan::kVolumeSamples, 0.0);
  tomrec::backproject_views(ones.data(), ones.data(), acc.data(), 0, scan::kViews, 2, nullptr);
  std::size_t differ = 0;
  for (std::size_t i = 0; i < voxel.size(); ++i) {
    if (testdata::bits(voxel[i]) != testdata::bits(static_cast<float>(acc[i]))) ++differ;
  }
  EXPECT_EQ(differ, 0u);
  testrun::remove_tree(dir);
}

}  // namespace
