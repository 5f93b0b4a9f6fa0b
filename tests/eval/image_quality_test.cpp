// SSIM against scikit-image itself, the contrast-to-noise ratio of the
// inserts, MAE, nRMSE and the regions a user chooses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "tests/support/tool_test.h"
#include "eval/comparison.h"
#include "eval/image_quality.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_shapes.h"

namespace {

// The head, and the head blurred a little, scaled and with uniform noise.
std::vector<float> head() { return toolkit::shepp_logan_volume(); }
std::vector<float> degraded_head() {
  const std::vector<float> h = head();
  const std::vector<float> noise = toolkit::random_volume(42, -0.05f, 0.05f);
  std::vector<float> d(h.size());
  for (std::size_t i = 0; i < h.size(); ++i) {
    const std::size_t j = i + 1 < h.size() ? i + 1 : i;
    d[i] = 0.9f * (0.7f * h[i] + 0.3f * h[j]) + noise[i] + 0.01f;
  }
  return d;
}

class Ssim : public testrun::ToolTest {};

TEST_F(Ssim, MatchesScikitImage) {
  const testrun::Result probe =
      testrun::run(dir_, "/usr/bin/python3 -c 'import skimage.metrics, numpy' 2>&1", "");
  if (probe.status != 0) {
    GTEST_SKIP() << "Debian's python3-skimage is not installed (/usr/bin/python3 cannot import skimage): "
                 << probe.out;
  }
  const std::vector<float> a = head(), b = degraded_head();
  tomio::save_float_image(path("a.img"), a.data(), a.size());
  tomio::save_float_image(path("b.img"), b.data(), b.size());
  // float64 copies, so that scikit-image works in double as this does.
  const std::string script =
      "import sys, numpy as np\n"
      "from skimage.metrics import structural_similarity as ssim\n"
      "a = np.fromfile('a.img', '<f4').reshape(128, 128, 128).astype(np.float64)\n"
      "b = np.fromfile('b.img', '<f4').reshape(128, 128, 128).astype(np.float64)\n"
      "r = float(a.max() - a.min())\n"
      "kw = dict(gaussian_weights=True, sigma=1.5, use_sample_covariance=False, data_range=r)\n"
      "print(repr(ssim(a, b, **kw)))\n"
      "for k in (0, 20, 64, 101, 127): print(repr(ssim(a[k], b[k], **kw)))\n";
  {
    std::ofstream f(path("ssim.py"));
    f << script;
  }
  const testrun::Result py = testrun::run(dir_, "/usr/bin/python3 ssim.py", "");
  ASSERT_EQ(py.status, 0) << py.err;
  std::istringstream values(py.out);
  double expected = 0.0;
  ASSERT_TRUE(values >> expected) << py.out;
  const toolkit::SsimFigures f = toolkit::structural_similarity(a, b);
  std::printf("SSIM 3-D: %.15f here, %.15f by scikit-image (difference %.2e)\n", f.ssim, expected, f.ssim - expected);
  EXPECT_NEAR(f.ssim, expected, 1e-6);
  EXPECT_LT(f.ssim, 0.9);
  for (int k : {0, 20, 64, 101, 127}) {
    ASSERT_TRUE(values >> expected) << py.out;
    EXPECT_NEAR(f.axial[static_cast<std::size_t>(k)], expected, 1e-6) << "slice " << k;
  }
  // Identical inputs: 1.
  EXPECT_NEAR(toolkit::structural_similarity(a, a).ssim, 1.0, 1e-12);
}

TEST(ImageQuality, ContrastToNoiseOfTheInserts) {
  // Uniform noise of deviation 0.1/sqrt(12) on the insert phantom, and a
  // slow shading across it that the local rings must not count as noise.
  const toolkit::Phantom p = toolkit::insert_cylinder();
  std::vector<float> v = toolkit::voxelise(p, 1, 2);
  const std::vector<float> noise = toolkit::random_volume(9, -0.05f, 0.05f);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const scan::Point3 c = toolkit::voxel_centre(static_cast<int>(i % 128), static_cast<int>(i / 128 % 128),
                                                 static_cast<int>(i / 16384));
    v[i] += noise[i] + static_cast<float>(0.0004 * c.x);
  }
  const std::vector<toolkit::InsertContrast> c = toolkit::insert_contrasts(p, v);
  ASSERT_EQ(c.size(), 8u);
  const double sd = 0.1 / std::sqrt(12.0);
  for (std::size_t k = 0; k < c.size(); ++k) {
    const toolkit::InsertContrast& x = c[k];
    EXPECT_GT(x.insert_voxels, 2000u);
    EXPECT_GT(x.background_voxels, 10000u);
    EXPECT_NEAR(x.background_mean, 0.2 + 0.0004 * p.shapes[k + 1].centre.x, 2e-3);
    EXPECT_NEAR(x.background_sd, sd, 6e-4);
  }
  EXPECT_EQ(c[1].name, "plus10");
  EXPECT_NEAR(c[1].cnr, 0.02 / sd, 0.03 * 0.02 / sd);
  EXPECT_NEAR(c[7].cnr, -0.2 / sd, 0.03 * 0.2 / sd);
}

TEST(ImageQuality, ErrorsAndRegions) {
  std::vector<float> a(1000, 2.0f), b(1000, 2.0f);
  for (std::size_t i = 0; i < 500; ++i) b[i] = 3.0f;  // half the samples off by 1
  toolkit::Region all;
  all.all = true;
  const toolkit::RegionFigures f = toolkit::compare_region(a, b, all);
  EXPECT_DOUBLE_EQ(f.mae, 0.5);
  EXPECT_DOUBLE_EQ(f.nrmse, std::sqrt(0.5) / 2.0);

  const toolkit::Region cylinder = toolkit::traced_cylinder_region();
  // About pi 61^2 x 122 voxels; every one inside the traced box.
  EXPECT_NEAR(static_cast<double>(cylinder.positions.size()), 3.14159265 * 61 * 61 * 122, 3000.0);
  for (std::size_t i : cylinder.positions) {
    const int ix = static_cast<int>(i % 128), iy = static_cast<int>(i / 128 % 128), iz = static_cast<int>(i / 16384);
    const scan::Point3 c = toolkit::voxel_centre(ix, iy, iz);
    ASSERT_TRUE(scan::inside(c.x, c.y, c.z));
  }
  const toolkit::Region box = toolkit::box_region(toolkit::BoxCorners{{-2, -2, -2}, {2, 2, 2}});
  EXPECT_EQ(box.positions.size(), 64u);
  std::vector<float> mask(scan::kVolumeSamples, 0.0f);
  mask[5] = mask[77] = 1.0f;
  EXPECT_EQ(toolkit::mask_region(mask).positions, (std::vector<std::size_t>{5, 77}));
}

class CompareQuality : public testrun::ToolTest {};

TEST_F(CompareQuality, ReportedByTomcompare) {
  const std::vector<float> a = head(), b = degraded_head();
  tomio::save_float_image(path("a.img"), a.data(), a.size());
  tomio::save_float_image(path("b.img"), b.data(), b.size());
  toolkit::write_description(path("i.txt"), toolkit::insert_cylinder());
  const testrun::Result json = tool("tomcompare", "--format json --no-fail --region-cylinder a.img b.img");
  ASSERT_EQ(json.status, 0) << json.err;
  char expected[64];
  std::snprintf(expected, sizeof expected, "\"ssim\": %.6f", toolkit::structural_similarity(a, b).ssim);
  EXPECT_NE(json.out.find(std::string(expected).substr(0, 15)), std::string::npos) << json.out.substr(json.out.size() - 200);
  EXPECT_NE(json.out.find("\"ssim_axial\": ["), std::string::npos);
  EXPECT_NE(json.out.find("\"cylinder\": {"), std::string::npos);
  EXPECT_NE(json.out.find("\"mae\": "), std::string::npos);
  const testrun::Result kv = tool("tomcompare", "--format kv --no-fail --cnr i.txt --region-box -5,-5,-5,5,5,5 a.img b.img");
  ASSERT_EQ(kv.status, 0) << kv.err;
  EXPECT_NE(kv.out.find("\ncnr.plus10="), std::string::npos);
  EXPECT_NE(kv.out.find("\nbox.nrmse="), std::string::npos);
  EXPECT_NE(kv.out.find("\nssim="), std::string::npos);
  EXPECT_EQ(tool("tomcompare", "--stack --region-cylinder a.img b.img").status, 2);
  EXPECT_EQ(tool("tomcompare", "--region-box 100,100,100,101,101,101 a.img b.img").status, 2);
  EXPECT_EQ(tool("tomcompare", "--cnr none.txt a.img b.img").status, 2);
}

}  // namespace
