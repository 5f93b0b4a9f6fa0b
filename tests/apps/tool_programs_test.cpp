// tomphantom and tomrebin run as a user would: what they write, what they
// refuse, and that a refused run leaves an existing file alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "tests/support/tool_test.h"
#include "sim/phantom_shapes.h"
#include "recon/rebinning.h"

namespace {

class ToolPrograms : public testrun::ToolTest {};

TEST_F(ToolPrograms, PhantomShapesAreTheToolkitsVolumes) {
  ASSERT_EQ(tool("tomphantom", "shepp-logan head.img").status, 0);
  EXPECT_EQ(load("head.img", scan::kVolumeSamples), toolkit::shepp_logan_volume());
  ASSERT_EQ(tool("tomphantom", "ball --centre 1,-2,3.5 --radius 9 --value 2 ball.img").status, 0);
  EXPECT_EQ(load("ball.img", scan::kVolumeSamples),
            toolkit::ball_volume(scan::Point3{1, -2, 3.5}, 9, 2.0f));
  ASSERT_EQ(tool("tomphantom", "random --seed 5 --range -1,1 r.img").status, 0);
  EXPECT_EQ(load("r.img", scan::kVolumeSamples), toolkit::random_volume(5, -1.0f, 1.0f));
  ASSERT_EQ(tool("tomphantom", "voxel --index 1,2,3 v.img").status, 0);
  EXPECT_EQ(load("v.img", scan::kVolumeSamples), toolkit::single_voxel_volume(1, 2, 3, 1.0f));
  EXPECT_EQ(testrun::file_size(dir_ + "/v.img"), 8388608);
  // The head fits the traced box; a voxel on the grid's edge does not, and
  // is written all the same, with a warning.
  EXPECT_EQ(tool("tomphantom", "shepp-logan head.img").err.find("warning"), std::string::npos);
  const auto edge = tool("tomphantom", "voxel --index 0,0,0 v.img");
  EXPECT_EQ(edge.status, 0);
  EXPECT_NE(edge.err.find("warning: 1 voxel(s)"), std::string::npos);
}

TEST_F(ToolPrograms, PhantomRefusalsKeepTheOldFile) {
  ASSERT_EQ(tool("tomphantom", "ones keep.img").status, 0);
  const std::string before = testrun::read_file(dir_ + "/keep.img");
  for (const char* args : {"ball --centre 0,0,0 keep.img", "ball --radius 3 keep.img",
                           "box --from 0,0 --to 1,1,1 keep.img", "voxel --index 0,0,128 keep.img",
                           "random keep.img", "random --seed -3 keep.img",
                           "ones --value 2 keep.img", "cube keep.img", "ones"}) {
    const auto r = tool("tomphantom", args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << args;
  }
  EXPECT_EQ(testrun::read_file(dir_ + "/keep.img"), before);
  EXPECT_EQ(tool("tomphantom", "ones no/such/dir/x.img").status, 1);
}

TEST_F(ToolPrograms, RebinWritesTheToolkitsRebinningAndRefusesWrongInputs) {
  std::vector<float> stack(scan::kStackSamples);
  const auto random = toolkit::random_volume(11, 0.0f, 4.0f);
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = random[(i * 7) % random.size()];
  tomio::save_float_image(dir_ + "/in.img", stack.data(), stack.size());
  const auto r = tool("tomrebin", "--threads 2 in.img out.img");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<float> expected(scan::kStackSamples);
  toolkit::rebin_stack(stack.data(), expected.data(), 1, [](int) {});
  EXPECT_TRUE(load("out.img", scan::kStackSamples) == expected);

  std::vector<float> volume(scan::kVolumeSamples, 0.0f);
  tomio::save_float_image(dir_ + "/vol.img", volume.data(), volume.size());
  const auto wrong = tool("tomrebin", "vol.img out2.img");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("8388608"), std::string::npos);
  EXPECT_FALSE(testrun::exists(dir_ + "/out2.img"));
  EXPECT_EQ(tool("tomrebin", "--threads 0 in.img out2.img").status, 2);
  EXPECT_EQ(tool("tomrebin", "in.img").status, 2);
  EXPECT_NE(tool("tomrebin", "in.img no/such/dir/out.img").status, 0);
}

}  // namespace
