// Raw sample files: exact sizes, exact bits, refusals, and outputs that are
// never left half-written.
#include "core/raw_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/expect_failure.h"
#include "tests/support/run_program.h"

namespace {

class RawImageTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(RawImageTest, SavedFileHoldsExactlyTheSamplesAndLoadsBackBitForBit) {
  std::vector<float> data = {1.5f, -0.0f, 3.4028235e38f, 1e-45f, 0.1f};
  tomio::save_float_image(path("a.img"), data.data(), data.size());
  EXPECT_EQ(testrun::file_size(path("a.img")), 20);
  std::vector<float> back(data.size(), 7.0f);
  tomio::load_float_image(path("a.img"), back.data(), back.size());
  EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 20));
  const std::int16_t shorts[3] = {1, -2, 300};
  tomio::save_short_image(path("s.img"), shorts, 3);
  EXPECT_EQ(testrun::file_size(path("s.img")), 6);
}

TEST_F(RawImageTest, ReplacingKeepsNoTemporaryAndKeepsTheMode) {
  std::vector<float> a(100, 1.0f), b(100, 2.0f);
  tomio::save_float_image(path("x.img"), a.data(), a.size());
  ASSERT_EQ(chmod(path("x.img").c_str(), 0640), 0);
  tomio::save_float_image(path("x.img"), b.data(), b.size());
  struct stat st;
  ASSERT_EQ(stat(path("x.img").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::vector<float> back(100);
  tomio::load_float_image(path("x.img"), back.data(), back.size());
  EXPECT_EQ(back[50], 2.0f);
  const auto listing = testrun::run(dir_, "ls -A", "");
  EXPECT_EQ(listing.out, "x.img\n");
}

TEST_F(RawImageTest, WritingThroughALinkReplacesItsTargetAndKeepsTheLink) {
  std::vector<float> a(10, 1.0f), b(10, 2.0f);
  tomio::save_float_image(path("real.img"), a.data(), a.size());
  ASSERT_EQ(symlink("real.img", path("link.img").c_str()), 0);
  tomio::save_float_image(path("link.img"), b.data(), b.size());
  struct stat st;
  ASSERT_EQ(lstat(path("link.img").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  std::vector<float> back(10);
  tomio::load_float_image(path("real.img"), back.data(), back.size());
  EXPECT_EQ(back[0], 2.0f);
}

TEST_F(RawImageTest, RefusalsAreFailuresOfTheirKindNamingTheFile) {
  using tomio::FailureKind;
  std::vector<float> data(4, 1.0f);
  tomio::save_float_image(path("four.img"), data.data(), data.size());
  std::vector<float> d(5);
  EXPECT_TRUE(testrun::fails_with(FailureKind::input, "four.img holds 16 bytes, expected 20",
                                  [&] { tomio::load_float_image(path("four.img"), d.data(), 5); }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::input, "expected 12",
                                  [&] { tomio::load_float_image(path("four.img"), d.data(), 3); }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::input, "missing.img",
                                  [&] { tomio::load_float_image(path("missing.img"), d.data(), 1); }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::input, "is a folder",
                                  [&] { tomio::load_float_image(dir_, d.data(), 1); }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::output, "no/dir/out.img", [&] {
    tomio::save_float_image(path("no/dir/out.img"), data.data(), data.size());
  }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::output, "/dev/full", [&] {
    tomio::save_float_image("/dev/full", data.data(), data.size());
  }));
  EXPECT_EQ(testrun::run(dir_, "ls -A", "").out, "four.img\n");
}

TEST_F(RawImageTest, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  std::vector<float> old(8, 3.0f);
  tomio::save_float_image(path("keep.img"), old.data(), old.size());
  // A claimed output that is abandoned (the run failed) leaves nothing.
  {
    tomio::OutputFile out(path("keep.img"));
    std::vector<float> part(4, 9.0f);
    out.write(part.data(), 16);
  }
  std::vector<float> back(8);
  tomio::load_float_image(path("keep.img"), back.data(), back.size());
  EXPECT_EQ(back[0], 3.0f);
  EXPECT_EQ(testrun::run(dir_, "ls -A", "").out, "keep.img\n");
}

TEST_F(RawImageTest, DevicesAreWrittenInPlace) {
  std::vector<float> data(16, 1.0f);
  tomio::save_float_image("/dev/null", data.data(), data.size());
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
