// The one-command study, end to end, into a fresh folder, on the programs of
// this build: it runs every program and tool, and reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/run_program.h"
#include "eval/grey_image.h"

namespace {

std::map<std::string, std::string> key_values(const std::string& text) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

TEST(Study, RunsFromBuildToReport) {
  const std::string source = TOM_SOURCE_DIR;
  const std::string dir = testrun::make_temp_dir();
  const std::string out = dir + "/study";
  const auto r = testrun::run(dir, "STUDY_PREBUILT=1 STUDY_BUILD_DIR='" + std::string(TOM_BINARY_DIR) + "' '" +
                                        source + "/scripts/study.sh' '" + out + "'", "");
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string report = testrun::read_file(out + "/report.md");
  EXPECT_NE(report.find("## Results"), std::string::npos);
  EXPECT_NE(report.find("figures/axial.png"), std::string::npos);
  EXPECT_NE(report.find("FDK, tomfdk"), std::string::npos);
  for (const char* f : {"phantom.img", "projections.img", "rebinned.img", "weights/long_sum_voxel.img",
                        "rec-fdk/reconstruction.img", "rec-rebinned/reconstruction.img",
                        "rec-raw/reconstruction.img",
                        "rec-rebinned/Radon_FLT_dounatsu.img", "phantom.mhd",
                        "compare-rebinned.json"}) {
    EXPECT_TRUE(testrun::exists(out + "/" + f)) << f;
  }
  // The montage of the axial slice: five 256-pixel panels with labels
  // (phantom, FDK, tomrec, and both differences).
  const toolkit::GreyImage montage = toolkit::read_png(out + "/figures/axial.png");
  EXPECT_EQ(montage.height, 8 + 16 + 8 + 256 + 8);
  EXPECT_GE(montage.width, 5 * 256);

  // FDK, shown beside the defined reconstructor, is the closest to the head.
  auto fdk = key_values(testrun::read_file(out + "/compare-fdk.txt"));
  ASSERT_FALSE(fdk["whole.pearson_r"].empty());
  EXPECT_GT(std::atof(fdk["whole.pearson_r"].c_str()), 0.97);
  // Rebinning is what makes tomrec's reconstruction resemble the head.
  auto rebinned = key_values(testrun::read_file(out + "/compare-rebinned.txt"));
  auto raw = key_values(testrun::read_file(out + "/compare-raw.txt"));
  ASSERT_FALSE(rebinned["whole.pearson_r"].empty());
  ASSERT_FALSE(raw["whole.pearson_r"].empty());
  const double r_rebinned = std::atof(rebinned["whole.pearson_r"].c_str());
  const double r_raw = std::atof(raw["whole.pearson_r"].c_str());
  const double r_slice = std::atof(rebinned["axial_slice.pearson_r"].c_str());
  EXPECT_GT(r_rebinned, 0.75);
  EXPECT_GT(r_slice, 0.85);
  EXPECT_LT(r_raw, 0.6);
  testrun::remove_tree(dir);
}

}  // namespace
