// tomnoise, tomanalytic and tomphantom's continuous shapes run as a user
// would: what they write, what they report, and what they refuse.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "tests/support/tool_test.h"
#include "sim/dose_noise.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"

namespace {

class PhysicsTools : public testrun::ToolTest {};

TEST_F(PhysicsTools, NoiseIsTheLibrarysAtAnyThreadCount) {
  std::vector<float> stack(scan::kStackSamples);
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = static_cast<float>(i % 997) * 0.05f;
  tomio::save_float_image(path("p.img"), stack.data(), stack.size());
  // Per-view I0 from a file.
  {
    std::ofstream f(path("i0.txt"));
    for (int v = 0; v < scan::kViews; ++v) f << (v == 200 ? 2000 : 1000 + v) << "\n";
  }
  const auto one = tool("tomnoise", "--i0-file i0.txt --seed 11 --electronic 2 --threads 1 p.img n1.img");
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.err.find("mean counts"), std::string::npos) << one.err;
  EXPECT_NE(one.err.find("photon starvation"), std::string::npos) << one.err;
  ASSERT_EQ(tool("tomnoise", "--i0-file i0.txt --seed 11 --electronic 2 --threads 2 p.img n2.img").status, 0);
  EXPECT_EQ(testrun::read_file(path("n1.img")), testrun::read_file(path("n2.img")));
  // The sample of view 200, row 7, column 99 through the library.
  toolkit::DoseSettings s;
  s.i0 = toolkit::constant_i0(2000.0);
  s.seed = 11;
  s.electronic = 2.0;
  toolkit::DoseTally tally;
  const std::size_t i = scan::stack_index(200, 7, 99);
  EXPECT_EQ(load("n1.img", scan::kStackSamples)[i], toolkit::noisy_sample(s, 200, i, stack[i], tally));

  // Refusals leave the old output alone.
  const std::string before = testrun::read_file(path("n1.img"));
  for (const char* args : {"--i0 2000 p.img n1.img", "--seed 1 p.img n1.img",
                           "--i0 100 --i0-file i0.txt --seed 1 p.img n1.img", "--i0 100 --floor 100 --seed 1 p.img n1.img",
                           "--i0 100 --seed -1 p.img n1.img", "--i0 100 --seed 1 --mu 0 p.img n1.img"}) {
    const auto r = tool("tomnoise", args);
    EXPECT_EQ(r.status, 2) << args;
  }
  testrun::run(dir_, "head -c 1000 p.img > short.img", "");
  EXPECT_EQ(tool("tomnoise", "--i0 100 --seed 1 short.img n1.img").status, 1);
  EXPECT_EQ(tool("tomnoise", "--i0-file missing.txt --seed 1 p.img n1.img").status, 1);
  EXPECT_EQ(testrun::read_file(path("n1.img")), before);
}

TEST_F(PhysicsTools, PhantomDescriptionsAndAnalyticStacks) {
  ASSERT_EQ(tool("tomphantom", "random-ellipsoids --seed 4 --count 3,3 --description-out r.txt r.img").status, 0);
  const toolkit::Phantom p = toolkit::read_description(path("r.txt"));
  ASSERT_EQ(p.shapes.size(), 3u);
  EXPECT_EQ(load("r.img", scan::kVolumeSamples), toolkit::voxelise(p, 1, 1));
  ASSERT_EQ(tool("tomphantom", "description r.txt --oversample 2 r2.img").status, 0);
  EXPECT_EQ(load("r2.img", scan::kVolumeSamples), toolkit::voxelise(p, 2, 1));
  ASSERT_EQ(tool("tomphantom", "inserts --description-out i.txt i.img").status, 0);
  EXPECT_EQ(toolkit::read_description(path("i.txt")).shapes.size(), 9u);
  ASSERT_EQ(tool("tomphantom", "shepp-logan --form kak-slaney k.img").status, 0);
  for (const char* args : {"shepp-logan --form toft k.img", "inserts --seed 3 k.img", "description k.img",
                           "random-ellipsoids k.img", "ball --radius 0 --centre 0,0,0 --oversample 2 k.img",
                           "shepp-logan --oversample 0 k.img", "ones --oversample 2 k.img"}) {
    EXPECT_EQ(tool("tomphantom", args).status, 2) << args;
  }
  {
    std::ofstream f(path("bad.txt"));
    f << "blob value=1\n";
  }
  const auto bad = tool("tomphantom", "description bad.txt k.img");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("bad.txt:1:"), std::string::npos) << bad.err;

  ASSERT_EQ(tool("tomanalytic", "--threads 2 r.txt a.img").status, 0);
  const std::vector<float> stack = load("a.img", scan::kStackSamples);
  std::vector<float> view(scan::kViewSamples);
  toolkit::analytic_view(p, 77, view.data());
  EXPECT_EQ(std::vector<float>(stack.begin() + scan::stack_index(77, 0, 0), stack.begin() + scan::stack_index(78, 0, 0)),
            view);
  EXPECT_EQ(tool("tomanalytic", "bad.txt a.img").status, 1);
  {
    std::ofstream f(path("empty.txt"));
    f << "# nothing\n";
  }
  EXPECT_EQ(tool("tomanalytic", "empty.txt a.img").status, 1);
  EXPECT_EQ(tool("tomanalytic", "r.txt").status, 2);
}

}  // namespace
