// Whole runs of the tomrec program on small synthetic files in a temporary
// directory: the result against the literal run loop, one thread against
// all, and where each kind of failure stops the run.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/oracle/backprojection_oracle.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volumes.h"

namespace {

const std::string kTomrec = std::string(TOM_BINARY_DIR) + "/bin/tomrec";
const int kLiveViews[] = {3, 100};

void write_floats(const std::string& path, const std::vector<float>& data) {
  tomio::save_float_image(path, data.data(), data.size());
}

std::vector<float> read_floats(const std::string& path, std::size_t n) {
  std::vector<float> data(n);
  tomio::load_float_image(path, data.data(), n);
  return data;
}

// A stack with two non-zero views, detector weights only there (so that the
// run walks only their rays) with some zeros among them, and voxel weights
// with zeros.
struct RunFiles {
  std::string dir = testrun::make_temp_dir();
  RunFiles() {
    std::mt19937 gen(17);
    std::uniform_real_distribution<float> value(-1.0f, 4.0f), weight(1.0f, 300.0f);
    std::vector<float> stack(scan::kStackSamples, 0.0f), detector(scan::kStackSamples, 0.0f);
    for (int v : kLiveViews) {
      for (int r = 0; r < 256; ++r) {
        for (int c = 0; c < 256; ++c) {
          const std::size_t s = scan::stack_index(v, r, c);
          stack[s] = value(gen);
          detector[s] = (r * 256 + c) % 11 == 5 ? 0.0f : weight(gen);
        }
      }
    }
    std::vector<float> voxel(scan::kVolumeSamples);
    for (std::size_t i = 0; i < voxel.size(); ++i) voxel[i] = i % 9 == 4 ? 0.0f : weight(gen);
    write_floats(dir + "/in.img", stack);
    write_floats(dir + "/long_sum_detector.img", detector);
    write_floats(dir + "/long_sum_voxel.img", voxel);
  }
  ~RunFiles() { testrun::remove_tree(dir); }
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

TEST(ReconstructionRun, MatchesTheLiteralLoopOnOneAndAllThreads) {
  RunFiles files;
  const testrun::Result one = testrun::run(files.dir, "taskset -c 0 " + kTomrec, "in.img one.img\n");
  ASSERT_EQ(one.status, 0) << one.err;
  const std::string filtered_one = testrun::read_file(files.path("Radon_FLT_dounatsu.img"));
  const testrun::Result all = testrun::run(files.dir, kTomrec, "in.img all.img\n");
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(testrun::read_file(files.path("Radon_FLT_dounatsu.img")), filtered_one);
  EXPECT_EQ(testrun::read_file(files.path("all.img")), testrun::read_file(files.path("one.img")));
  EXPECT_EQ(testrun::file_size(files.path("all.img")), 8388608);
  EXPECT_EQ(testrun::file_size(files.path("Radon_FLT_dounatsu.img")), 67108864);

  // The console: prompts, the numbers 0 ... 255 twice, the time line last.
  std::string expected = "input file name <float>:output file name <float>:";
  for (int pass = 0; pass < 2; ++pass) {
    for (int v = 0; v < 256; ++v) expected += std::to_string(v) + "\r";
  }
  ASSERT_GE(all.out.size(), expected.size());
  EXPECT_EQ(all.out.substr(0, expected.size()), expected);
  EXPECT_EQ(all.out.substr(expected.size(), 10), "\x8F\x8A\x97\x76\x8E\x9E\x8A\xD4\x81\x46");
  EXPECT_EQ(all.out.back(), '\n');

  // The literal run loop on the filtered stack the program wrote: only the
  // two weighted views add anything.
  const std::vector<float> filtered = read_floats(files.path("Radon_FLT_dounatsu.img"), scan::kStackSamples);
  const std::vector<float> detector = read_floats(files.path("long_sum_detector.img"), scan::kStackSamples);
  const std::vector<float> voxel = read_floats(files.path("long_sum_voxel.img"), scan::kVolumeSamples);
  std::vector<double> acc(scan::kVolumeSamples, 0.0);
  for (int v : kLiveViews) oracle::backproject_views(filtered.data(), detector.data(), acc.data(), v, v + 1);
  std::vector<float> literal(scan::kVolumeSamples);
  oracle::normalise_and_narrow(acc.data(), voxel.data(), literal.data());
  const std::vector<float> program = read_floats(files.path("all.img"), scan::kVolumeSamples);
  std::size_t differ = 0;
  for (std::size_t i = 0; i < literal.size(); ++i) {
    if (testdata::bits(literal[i]) != testdata::bits(program[i])) ++differ;
  }
  EXPECT_EQ(differ, 0u);
}

TEST(ReconstructionRun, FailuresStopAtTheirStage) {
  RunFiles files;
  {
    const testrun::Result r = testrun::run(files.dir, kTomrec, "missing.img out.img\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error input data"), std::string::npos);
    EXPECT_FALSE(testrun::exists(files.path("out.img")));
    EXPECT_FALSE(testrun::exists(files.path("Radon_FLT_dounatsu.img")));
  }
  {
    // Unwritable output: refused before any work, so no filtered stack.
    const testrun::Result r = testrun::run(files.dir, kTomrec, "in.img nodir/out.img\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error output data"), std::string::npos);
    EXPECT_EQ(r.out.find("0\r"), std::string::npos);
    EXPECT_FALSE(testrun::exists(files.path("Radon_FLT_dounatsu.img")));
  }
  {
    const std::string voxel = testrun::read_file(files.path("long_sum_voxel.img"));
    std::remove(files.path("long_sum_voxel.img").c_str());
    const testrun::Result r = testrun::run(files.dir, kTomrec, "in.img out.img\n");
    EXPECT_EQ(r.status, 1);
    const std::size_t numbers = r.out.find("255\r");
    const std::size_t error = r.out.find("error input data");
    ASSERT_NE(numbers, std::string::npos);
    ASSERT_NE(error, std::string::npos);
    EXPECT_LT(numbers, error);
    EXPECT_EQ(testrun::file_size(files.path("Radon_FLT_dounatsu.img")), 67108864);
    EXPECT_FALSE(testrun::exists(files.path("out.img")));
    std::FILE* f = std::fopen(files.path("long_sum_voxel.img").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(voxel.data(), 1, voxel.size(), f), voxel.size());
    std::fclose(f);
  }
  {
    // A weight file of the wrong size is refused, and an existing output
    // survives the failed run.
    const std::string detector = testrun::read_file(files.path("long_sum_detector.img"));
    std::FILE* f = std::fopen(files.path("long_sum_detector.img").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(detector.data(), 1, detector.size() - 4, f), detector.size() - 4);
    std::fclose(f);
    f = std::fopen(files.path("out.img").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("keep", f);
    std::fclose(f);
    const testrun::Result r = testrun::run(files.dir, kTomrec, "in.img out.img\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error input data"), std::string::npos);
    EXPECT_EQ(testrun::read_file(files.path("out.img")), "keep");
  }
}

}  // namespace
