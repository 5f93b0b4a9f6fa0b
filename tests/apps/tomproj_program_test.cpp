// The program's dialogue and its refusals, run as a user would run it. Only
// the runs started with a closed or broken console get as far as projecting
// (a single voxel, which is quick).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"

namespace {

std::string program() { return std::string(TOM_BINARY_DIR) + "/bin/tomproj"; }

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  void write_bytes(const std::string& name, std::size_t bytes) {
    std::string data(bytes, '\0');
    std::FILE* f = std::fopen((dir_ + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(std::fclose(f), 0);
  }
  std::string dir_;
};

TEST_F(ProgramTest, MissingInputIsRefused) {
  const auto r = testrun::run(dir_, program(), "nothere.img out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "input file name <float>:output file name <float>:error input data");
  EXPECT_FALSE(testrun::exists(dir_ + "/out.img"));
}

TEST_F(ProgramTest, InputOfTheWrongSizeIsRefusedWithBothSizes) {
  write_bytes("short.img", 4 * 1000);
  auto r = testrun::run(dir_, program(), "short.img out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error input data"), std::string::npos);
  EXPECT_NE(r.err.find("short.img"), std::string::npos);
  EXPECT_NE(r.err.find("4000"), std::string::npos);
  EXPECT_NE(r.err.find("8388608"), std::string::npos);
  write_bytes("long.img", scan::kVolumeSamples * 4 + 4);
  r = testrun::run(dir_, program(), "long.img out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error input data"), std::string::npos);
  EXPECT_FALSE(testrun::exists(dir_ + "/out.img"));
}

TEST_F(ProgramTest, AnInputThatIsAPipeIsCountedInsteadOfSized) {
  ASSERT_EQ(std::system(("mkfifo '" + dir_ + "/fifo'").c_str()), 0);
  const auto f = testrun::run(dir_, "(head -c 40 /dev/zero > fifo &) ; " + program(), "fifo out.img\n");
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.out.find("error input data"), std::string::npos);
  EXPECT_NE(f.err.find("fifo"), std::string::npos);
}

TEST_F(ProgramTest, OutputThatCannotBeCreatedIsFoundBeforeTheWork) {
  write_bytes("vol.img", scan::kVolumeSamples * 4);
  const auto r = testrun::run(dir_, program(), "vol.img no/such/dir/out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "input file name <float>:output file name <float>:error output data");
}

TEST_F(ProgramTest, EndOfInputBeforeTheNamesTouchesNothing) {
  write_bytes("vol.img", scan::kVolumeSamples * 4);
  auto r = testrun::run(dir_, program(), "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("input file name"), std::string::npos);
  r = testrun::run(dir_, program(), "vol.img");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("output file name"), std::string::npos);
  EXPECT_EQ(r.out.find("error"), std::string::npos);
}

TEST_F(ProgramTest, LongNamesAreReadWhole) {
  const std::string name(180, 'n');
  const auto r = testrun::run(dir_, program(), name + ".img out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(name + ".img"), std::string::npos);
}

}  // namespace

namespace {

#ifndef __SANITIZE_ADDRESS__
// The address sanitizer reserves far more address space than any limit
// here, so this runs in the plain build only.
TEST_F(ProgramTest, ExhaustedMemoryIsReportedClearly) {
  const auto r = testrun::run(dir_, "ulimit -v 40000; " + program(), "vol.img out.img\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("memory"), std::string::npos) << r.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/out.img"));
}
#endif

}  // namespace

namespace {

// 1. Started with standard output closed (a cron job), the run's output
// file must not take descriptor 1 and receive the prompts and progress.
TEST_F(ProgramTest, AClosedConsoleNeverWritesIntoTheStack) {
  std::vector<float> volume(scan::kVolumeSamples, 0.0f);
  volume[scan::volume_index(64, 64, 64)] = 1.0f;
  tomio::save_float_image(dir_ + "/vol.img", volume.data(), volume.size());
  const auto r = testrun::run(dir_, "{ " + program() + " >&- 2>&-; echo \"status $?\" >&2; }",
                              "vol.img out.img\n");
  EXPECT_EQ(r.err, "status 0\n");
  EXPECT_EQ(testrun::file_size(dir_ + "/out.img"), 67108864);
  // The console's own file as the output: refused before the work.
  const auto same = testrun::run(dir_, "(" + program() + " | cat)", "vol.img /dev/stdout\n");
  EXPECT_EQ(same.out, "input file name <float>:output file name <float>:error output data");
  EXPECT_NE(same.err.find("standard output"), std::string::npos) << same.err;
}

// 3. A reader that goes away (| head) ends the run by SIGPIPE (13) with
// no temporary file left.
TEST_F(ProgramTest, ABrokenPipeLeavesNoTemporaryFile) {
  // A full Volume makes each view slow, so that the reader is gone long
  // before the run could end; the run then ends at the next view.
  std::vector<float> volume(scan::kVolumeSamples, 1.0f);
  tomio::save_float_image(dir_ + "/vol.img", volume.data(), volume.size());
  const auto r = testrun::run(
      dir_, "{ { " + program() + "; echo \"status $?\" >&2; } | head -c 60 >/dev/null; }",
      "vol.img out.img\n");
  EXPECT_EQ(r.err, "status 141\n");
  EXPECT_EQ(testrun::run(dir_, "ls -A", "").out, "vol.img\n");
}

// 8. A NUL byte in a typed name would open a shorter name: refused.
TEST_F(ProgramTest, ANameWithANulByteIsRefused) {
  write_bytes("vol.img", scan::kVolumeSamples * 4);
  auto r = testrun::run(dir_, program(), std::string("vol.img\0x out.img\n", 17));
  EXPECT_EQ(r.out, "input file name <float>:output file name <float>:error input data");
  EXPECT_NE(r.err.find("NUL"), std::string::npos);
  r = testrun::run(dir_, program(), std::string("vol.img out.img\0x\n", 19));
  EXPECT_EQ(r.out, "input file name <float>:output file name <float>:error output data");
  EXPECT_EQ(testrun::run(dir_, "ls -A", "").out, "vol.img\n");
}

}  // namespace
