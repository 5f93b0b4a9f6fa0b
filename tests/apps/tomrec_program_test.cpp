// tomrec's own files beside its output: the weight files it reads and the
// filtered stack it writes. Runs that stop before the backprojection.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "recon/weight_files.h"

namespace {

std::string program() { return std::string(TOM_BINARY_DIR) + "/bin/tomrec"; }

class TomrecProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testrun::make_temp_dir();
    const std::vector<float> stack(scan::kStackSamples, 0.0f);
    tomio::save_float_image(dir_ + "/stack.img", stack.data(), stack.size());
  }
  void TearDown() override { testrun::remove_tree(dir_); }
  testrun::Result tomrec(const std::string& names) { return testrun::run(dir_, program(), names); }
  std::string dir_;
};

// 6. An output over a weight file (through a link too) or over the filtered
// stack would spoil this run or every later one: refused before the work.
TEST_F(TomrecProgram, AnOutputOverItsOwnFilesIsRefusedBeforeTheWork) {
  testrun::run(dir_, "mkdir shared && head -c 8388608 /dev/zero > shared/voxel.img && "
                     "ln -s shared/voxel.img long_sum_voxel.img", "");
  const std::string before = testrun::read_file(dir_ + "/shared/voxel.img");
  for (const char* output : {"long_sum_voxel.img", "shared/voxel.img", "Radon_FLT_dounatsu.img",
                             "./long_sum_detector.img"}) {
    const auto r = tomrec(std::string("stack.img ") + output + "\n");
    EXPECT_EQ(r.status, 1) << output;
    EXPECT_EQ(r.out, "input file name <float>:output file name <float>:error output data") << output;
    EXPECT_NE(r.err.find("which this run uses"), std::string::npos) << r.err;
  }
  EXPECT_EQ(testrun::read_file(dir_ + "/shared/voxel.img"), before);
  EXPECT_EQ(testrun::run(dir_, "ls -A", "").out, "long_sum_voxel.img\nshared\nstack.img\n");
}

// 5. A missing weight file is named on standard error at once, but the run
// keeps its defined order: it filters, writes the filtered stack, then
// fails with "error input data".
TEST_F(TomrecProgram, AMissingWeightFileIsNamedAtOnceAndTheDefinedOrderIsKept) {
  const auto r = tomrec("stack.img out.img\n");
  EXPECT_EQ(r.status, 1);
  const std::string& out = r.out;
  ASSERT_GE(out.size(), 16u);
  EXPECT_EQ(out.substr(out.size() - 16), "error input data");
  EXPECT_NE(out.find("254\r255\r"), std::string::npos) << "the filtering did not run";
  const std::size_t warning = r.err.find("warning: long_sum_detector.img");
  EXPECT_NE(warning, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("tomweight"), std::string::npos);
  EXPECT_LT(warning, r.err.find("cannot open long_sum_detector.img"));
  EXPECT_EQ(testrun::file_size(dir_ + "/Radon_FLT_dounatsu.img"), 67108864);
  EXPECT_FALSE(testrun::exists(dir_ + "/out.img"));
}

// 8. Weights that cannot normalise anything are worth a warning.
TEST(WeightValues, ZeroNanAndInfiniteWeightsAreWarnedOf) {
  std::vector<float> w(100, 0.0f);
  ::testing::internal::CaptureStderr();
  tomrec::warn_of_weight_values("w.img", w.data(), w.size());
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("w.img holds only zeros"), std::string::npos);
  w[3] = std::nanf("");
  w[4] = INFINITY;
  w[5] = 2.0f;
  ::testing::internal::CaptureStderr();
  tomrec::warn_of_weight_values("w.img", w.data(), w.size());
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("1 NaN and 1 infinite"), std::string::npos);
  w[3] = w[4] = 1.0f;
  ::testing::internal::CaptureStderr();
  tomrec::warn_of_weight_values("w.img", w.data(), w.size());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
