// Pictures: windowing, orientation of slices and views, PNG files read back
// with libpng, montages, and tompng's command line.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "eval/bitmap_font.h"
#include "core/command_line.h"
#include "eval/grey_image.h"
#include "sim/phantom_shapes.h"

namespace {

// Decodes a PNG with libpng's own reader, independent of the toolkit's.
struct Decoded {
  bool ok = false;
  int width = 0, height = 0;
  png_uint_32 format = 0;
  std::vector<unsigned char> pixels;
};

Decoded decode(const std::string& path) {
  Decoded d;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return d;
  d.width = static_cast<int>(image.width);
  d.height = static_cast<int>(image.height);
  d.format = image.format;
  image.format = PNG_FORMAT_GRAY;
  d.pixels.resize(PNG_IMAGE_SIZE(image));
  d.ok = png_image_finish_read(&image, nullptr, d.pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return d;
}

TEST(Windowing, MapsLinearlyAndClips) {
  toolkit::Plane p;
  p.width = 6;
  p.height = 1;
  p.values = {-1.0f, 0.0f, 0.5f, 1.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()};
  const auto g = toolkit::apply_window(p, toolkit::Window{0.0, 1.0});
  EXPECT_EQ(g.pixels, (std::vector<unsigned char>{0, 0, 128, 255, 255, 0}));
  const auto w = toolkit::min_max_window(p.values);
  EXPECT_EQ(w.low, -1.0);
  EXPECT_EQ(w.high, 2.0);
  const auto s = toolkit::symmetric_window(p.values);
  EXPECT_EQ(s.low, -2.0);
  EXPECT_EQ(s.high, 2.0);
  // Zero width: above is white, the rest black.
  const auto flat = toolkit::apply_window(p, toolkit::Window{0.5, 0.5});
  EXPECT_EQ(flat.pixels, (std::vector<unsigned char>{0, 0, 0, 255, 255, 0}));
}

TEST(Windowing, PercentilesAreNearestRank) {
  std::vector<float> v;
  for (int i = 1; i <= 100; ++i) v.push_back(static_cast<float>(i));
  v.push_back(std::numeric_limits<float>::infinity());
  const auto w = toolkit::percentile_window(v, 5.0, 95.0);
  EXPECT_EQ(w.low, 5.0);
  EXPECT_EQ(w.high, 95.0);
  const auto all = toolkit::percentile_window(v, 0.0, 100.0);
  EXPECT_EQ(all.low, 1.0);
  EXPECT_EQ(all.high, 100.0);
}

TEST(Slices, OrientationOfEachCut) {
  const auto v = toolkit::single_voxel_volume(10, 20, 30, 1.0f);
  auto white_at = [](const toolkit::Plane& p) {
    for (int i = 0; i < p.width * p.height; ++i)
      if (p.values[i] != 0.0f) return std::make_pair(i % p.width, i / p.width);
    return std::make_pair(-1, -1);
  };
  EXPECT_EQ(white_at(toolkit::volume_slice(v, toolkit::SliceAxis::Axial, 30)), std::make_pair(10, 20));
  EXPECT_EQ(white_at(toolkit::volume_slice(v, toolkit::SliceAxis::Coronal, 20)), std::make_pair(10, 30));
  EXPECT_EQ(white_at(toolkit::volume_slice(v, toolkit::SliceAxis::Sagittal, 10)), std::make_pair(20, 30));
  EXPECT_EQ(white_at(toolkit::volume_slice(v, toolkit::SliceAxis::Axial, 31)), std::make_pair(-1, -1));
  std::vector<float> stack(scan::kStackSamples, 0.0f);
  stack[scan::stack_index(7, 100, 3)] = 1.0f;
  const auto view = toolkit::stack_view(stack, 7);
  EXPECT_EQ(view.width, 256);
  EXPECT_EQ(white_at(view), std::make_pair(3, 100));
}

TEST(Pictures, PngRoundTripAndMontageLayout) {
  const std::string dir = testrun::make_temp_dir();
  toolkit::GreyImage a;
  a.width = 30;
  a.height = 20;
  for (int i = 0; i < 600; ++i) a.pixels.push_back(static_cast<unsigned char>(i % 251));
  toolkit::write_png(dir + "/a.png", a);
  const Decoded d = decode(dir + "/a.png");
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 30);
  EXPECT_EQ(d.height, 20);
  EXPECT_EQ(d.format, static_cast<png_uint_32>(PNG_FORMAT_GRAY));
  EXPECT_EQ(d.pixels, a.pixels);
  EXPECT_EQ(toolkit::read_png(dir + "/a.png").pixels, a.pixels);

  const auto big = toolkit::magnify(a, 3);
  EXPECT_EQ(big.width, 90);
  EXPECT_EQ(big.pixels[3 * 90 * 3 + 3 * 5], a.pixels[30 * 3 + 5]);

  toolkit::GreyImage b;
  b.width = 10;
  b.height = 40;
  b.pixels.assign(400, 200);
  const auto m = toolkit::montage({a, b}, {"A", "a long label"});
  // Each panel is as wide as its picture or its label, with gaps of 8.
  EXPECT_EQ(m.width, 8 + 30 + 8 + toolkit::text_width("a long label", 2) + 8);
  EXPECT_EQ(m.height, 8 + toolkit::text_height(2) + 8 + 40 + 8);
  // The label is drawn: some white in the band above the first picture.
  int lit = 0;
  for (int y = 8; y < 8 + toolkit::text_height(2); ++y)
    for (int x = 8; x < 20; ++x) lit += m.pixels[y * m.width + x] == 255;
  EXPECT_GT(lit, 10);
  EXPECT_THROW(toolkit::read_png(dir + "/missing.png"), tomio::Failure);
  testrun::remove_tree(dir);
}

class PngProgram : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  testrun::Result tompng(const std::string& args) {
    return testrun::run(dir_, std::string(TOM_BINARY_DIR) + "/bin/tompng " + args, "");
  }
  std::string dir_;
};

TEST_F(PngProgram, SlicesViewsAndMontagesHaveTheirSizes) {
  const auto v = toolkit::single_voxel_volume(10, 20, 64, 5.0f);
  tomio::save_float_image(dir_ + "/v.img", v.data(), v.size());
  std::vector<float> stack(scan::kStackSamples, 1.0f);
  tomio::save_float_image(dir_ + "/s.img", stack.data(), stack.size());

  ASSERT_EQ(tompng("v.img axial.png").status, 0);
  Decoded d = decode(dir_ + "/axial.png");
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 128);
  EXPECT_EQ(d.height, 128);
  EXPECT_EQ(d.pixels[20 * 128 + 10], 255);  // min-max window: the voxel is white
  EXPECT_EQ(d.pixels[20 * 128 + 11], 0);

  ASSERT_EQ(tompng("--sagittal 10 --zoom 2 --window 0,10 v.img sag.png").status, 0);
  d = decode(dir_ + "/sag.png");
  EXPECT_EQ(d.width, 256);
  EXPECT_EQ(d.pixels[(64 * 2) * 256 + 20 * 2], 128);  // 5 in [0, 10]

  ASSERT_EQ(tompng("--stack --view 255 s.img view.png").status, 0);
  d = decode(dir_ + "/view.png");
  EXPECT_EQ(d.width, 256);
  EXPECT_EQ(d.height, 256);

  const auto m = tompng("--montage m.png --label one axial.png view.png");
  ASSERT_EQ(m.status, 0) << m.err;
  d = decode(dir_ + "/m.png");
  EXPECT_EQ(d.height, 8 + 16 + 8 + 256 + 8);
  EXPECT_EQ(d.width, 8 + 128 + 8 + 256 + 8);
}

TEST_F(PngProgram, MistakesAreRefusedAndLeaveNoPicture) {
  const auto v = toolkit::constant_volume(1.0f);
  tomio::save_float_image(dir_ + "/v.img", v.data(), v.size());
  EXPECT_EQ(tompng("--axial 128 v.img x.png").status, 2);
  EXPECT_EQ(tompng("--axial 3 --coronal 4 v.img x.png").status, 2);
  EXPECT_EQ(tompng("--window 2,1 v.img x.png").status, 2);
  EXPECT_EQ(tompng("--stack v.img x.png").status, 1);  // a Volume is not a stack
  EXPECT_EQ(tompng("--montage m.png").status, 2);
  EXPECT_EQ(tompng("--bogus v.img x.png").status, 2);
  EXPECT_FALSE(testrun::exists(dir_ + "/x.png"));
  EXPECT_FALSE(testrun::exists(dir_ + "/m.png"));
  const auto help = tompng("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: tompng"), std::string::npos);
}

}  // namespace
