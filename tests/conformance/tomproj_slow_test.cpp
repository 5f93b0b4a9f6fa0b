// Whole views of several volumes, and whole runs of the program at one
// thread and at all threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volumes.h"
#include "operators/projector.h"

namespace {

const std::vector<int> kViews = {1, 17, 32, 37, 63, 96, 127, 128, 129, 160, 192, 200, 255};

void expect_views_match(const std::vector<float>& volume) {
  std::vector<float> fast(scan::kStackSamples, 0.0f), slow(scan::kStackSamples, 0.0f);
  for (int view : kViews) {
    tomproj::project_view(view, volume.data(), fast.data());
    oracle::project_view(view, volume.data(), slow.data());
    const std::size_t base = scan::stack_index(view, 0, 0);
    int mismatches = 0;
    for (std::size_t i = base; i < base + scan::kViewSamples; ++i) {
      if (testdata::bits(fast[i]) != testdata::bits(slow[i])) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0) << "view " << view;
  }
}

TEST(ProjectorViews, RandomVolumeWithUnreachableVoxelsMarked) {
  std::vector<float> volume = testdata::random_volume(99);
  testdata::mark_unreachable(volume);
  expect_views_match(volume);
}

TEST(ProjectorViews, StructuredVolume) { expect_views_match(testdata::structured_volume()); }

TEST(ProjectorViews, AllOnes) { expect_views_match(std::vector<float>(scan::kVolumeSamples, 1.0f)); }

// Every ray of a whole run, on a phantom with empty space around it (whose
// zero steps the projector leaves out) and random values inside.
TEST(ProjectorViews, EveryViewOfAPhantomInEmptySpace) {
  const std::vector<float> volume = testdata::ball_of(testdata::random_volume(123), 59.0, 56.0, 67.0, 45.0);
  std::vector<float> fast(scan::kStackSamples, 0.0f), slow(scan::kStackSamples, 0.0f);
  const int threads = tomio::available_threads();
  tomproj::project_stack(volume.data(), fast.data(), threads, nullptr);
  tomio::parallel_for(scan::kViews, threads,
                      [&](int view, int) { oracle::project_view(view, volume.data(), slow.data()); });
  EXPECT_EQ(0, std::memcmp(fast.data(), slow.data(), fast.size() * sizeof(float)));
}

std::string program() { return std::string(TOM_BINARY_DIR) + "/bin/tomproj"; }

void write_floats(const std::string& path, const std::vector<float>& v) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(v.data(), sizeof(float), v.size(), f), v.size());
  ASSERT_EQ(std::fclose(f), 0);
}

TEST(ProjectorRun, OneThreadAndAllThreadsWriteTheSameFile) {
  const std::string dir = testrun::make_temp_dir();
  std::vector<float> volume = testdata::random_volume(5);
  testdata::mark_unreachable(volume);
  write_floats(dir + "/vol.img", volume);
  const auto one = testrun::run(dir, "taskset -c 0 " + program(), "vol.img one.img\n");
  ASSERT_EQ(one.status, 0) << one.err;
  const auto all = testrun::run(dir, program(), "vol.img all.img\n");
  ASSERT_EQ(all.status, 0) << all.err;
  const std::string a = testrun::read_file(dir + "/one.img");
  const std::string b = testrun::read_file(dir + "/all.img");
  ASSERT_EQ(a.size(), scan::kStackSamples * 4);
  EXPECT_TRUE(a == b);
  // And the file holds the literal rendering's samples for sampled views.
  std::vector<float> slow(scan::kStackSamples, 0.0f);
  for (int view : {0, 45, 128, 211}) {
    oracle::project_view(view, volume.data(), slow.data());
    const std::size_t base = scan::stack_index(view, 0, 0);
    EXPECT_EQ(0, std::memcmp(a.data() + base * 4, slow.data() + base, scan::kViewSamples * 4))
        << "view " << view;
  }
  testrun::remove_tree(dir);
}

TEST(ProjectorRun, AFullDiskIsReportedAndNothingClaimsSuccess) {
  const std::string dir = testrun::make_temp_dir();
  write_floats(dir + "/vol.img", std::vector<float>(scan::kVolumeSamples, 0.5f));
  const auto r = testrun::run(dir, program(), "vol.img /dev/full\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error output data"), std::string::npos);
  EXPECT_EQ(r.out.find("\x8F\x8A\x97\x76"), std::string::npos) << "no time line after a failure";
  testrun::remove_tree(dir);
}

}  // namespace
