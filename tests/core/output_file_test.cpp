// Output files: temporary names that fit beside any legal target, and a
// killed run's leftovers told apart from a live run's temporary.
#include "core/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "tests/support/expect_failure.h"
#include "tests/support/run_program.h"

namespace {

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  std::string listing() { return testrun::run(dir_, "ls -A", "").out; }
  std::string dir_;
};

// 4. A target name of up to 255 bytes is legal, so its temporary must be too.
TEST_F(OutputFileTest, TheLongestLegalNamesCanBeWritten) {
  const std::vector<float> data(16, 1.0f);
  for (std::size_t length : {240u, 243u, 250u, 255u}) {
    const std::string name(length, 'n');
    tomio::save_float_image(dir_ + "/" + name, data.data(), data.size());
    EXPECT_EQ(testrun::file_size(dir_ + "/" + name), 64) << length;
    // Two different long names never share a temporary name.
    const std::string other = std::string(length - 1, 'n') + "m";
    tomio::OutputFile a(dir_ + "/" + name), b(dir_ + "/" + other);
    a.write(data.data(), 4);
    b.write(data.data(), 4);
    a.commit();
    b.commit();
    EXPECT_EQ(testrun::file_size(dir_ + "/" + other), 4);
    testrun::run(dir_, "rm -f " + name + " " + other, "");
  }
  EXPECT_EQ(listing(), "");
}

// 3. Only a leftover nobody holds is removed: a live run keeps its file locked.
TEST_F(OutputFileTest, ALiveRunsTemporaryIsNotTakenForALeftover) {
  testrun::run(dir_, "touch -d '1 hour ago' .o.img.part-live01 .o.img.part-dead01", "");
  const int live = open((dir_ + "/.o.img.part-live01").c_str(), O_RDONLY);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  // (flock locks belong to the open file, so the claim below, which opens the
  // file anew, sees this one as held by another run.)
  const std::vector<float> data(4, 1.0f);
  tomio::save_float_image(dir_ + "/o.img", data.data(), data.size());
  close(live);
  EXPECT_EQ(listing(), ".o.img.part-live01\no.img\n");
}

// Large writes are handed over in pieces; every byte must land in its place,
// including a last piece shorter than the others and a write that starts
// after an earlier one.
TEST_F(OutputFileTest, AWriteOfManyPiecesLandsByteForByte) {
  std::string data((std::size_t(5) << 19) + 37, '\0');  // 2.5 MiB and 37 bytes
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 4099) & 0xff);
  tomio::OutputFile out(dir_ + "/big.img", data.size() + 3);
  out.write("abc", 3);
  out.write(data.data(), data.size());
  out.commit();
  EXPECT_EQ(testrun::read_file(dir_ + "/big.img"), "abc" + data);
}

// 5 and 9. What would fail at the end is refused at the claim.
TEST_F(OutputFileTest, ClaimsRefuseWhatCouldNotBeWritten) {
  using tomio::FailureKind;
  EXPECT_TRUE(testrun::fails_with(FailureKind::output, "NUL",
                                  [&] { tomio::OutputFile(dir_ + std::string("/a\0b", 4)); }));
  // More room than any disk has: found at the claim, before any work.
  EXPECT_TRUE(testrun::fails_with(FailureKind::output, "no room for",
                                  [&] { tomio::OutputFile(dir_ + "/x.img", std::size_t(1) << 62); }));
  EXPECT_EQ(listing(), "");
}

}  // namespace
