// MetaImage headers: the text, and tommhd beside a raw file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "core/metaimage.h"
#include "core/metaimage_input.h"
#include "core/sample_files.h"
#include "tests/support/expect_failure.h"

namespace {

TEST(MetaImage, VolumeHeaderPlacesTheGridInItsFrame) {
  EXPECT_EQ(toolkit::metaimage_header(toolkit::FileKind::Volume, "phantom.img"),
            "ObjectType = Image\n"
            "NDims = 3\n"
            "BinaryData = True\n"
            "BinaryDataByteOrderMSB = False\n"
            "CompressedData = False\n"
            "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
            "Offset = -63.5 -64.5 -64.5\n"
            "DimSize = 128 128 128\n"
            "ElementSpacing = 1 1 1\n"
            "ElementType = MET_FLOAT\n"
            "ElementByteOrderMSB = False\n"
            "ElementDataFile = phantom.img\n");
  const std::string stack = toolkit::metaimage_header(toolkit::FileKind::Stack, "p.img");
  EXPECT_NE(stack.find("DimSize = 256 256 256\n"), std::string::npos);
  EXPECT_NE(stack.find("Offset = 0 0 0\n"), std::string::npos);
}

TEST(MetaImage, HeaderNameReplacesTheExtension) {
  EXPECT_EQ(toolkit::header_path_for("out/rec.img"), "out/rec.mhd");
  EXPECT_EQ(toolkit::header_path_for("rec"), "rec.mhd");
  EXPECT_EQ(toolkit::header_path_for("a.b/rec"), "a.b/rec.mhd");
  EXPECT_EQ(toolkit::header_path_for("dir/.hidden"), "dir/.hidden.mhd");
}

TEST(MetaImage, TommhdWritesBesideTheRawFileAndChecksItsSize) {
  const std::string dir = testrun::make_temp_dir();
  const std::string tool = std::string(TOM_BINARY_DIR) + "/bin/tommhd ";
  ASSERT_EQ(std::system(("mkdir '" + dir + "/sub'").c_str()), 0);
  std::vector<float> v(scan::kVolumeSamples, 0.0f);
  tomio::save_float_image(dir + "/sub/vol.img", v.data(), v.size());
  auto r = testrun::run(dir, tool + "sub/vol.img", "");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = testrun::read_file(dir + "/sub/vol.mhd");
  EXPECT_NE(text.find("ElementDataFile = vol.img\n"), std::string::npos);
  EXPECT_NE(text.find("DimSize = 128 128 128\n"), std::string::npos);
  // The same file is not a ProjectionStack.
  r = testrun::run(dir, tool + "--stack --output s.mhd sub/vol.img", "");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("67108864"), std::string::npos);
  EXPECT_FALSE(testrun::exists(dir + "/s.mhd"));
  EXPECT_EQ(testrun::run(dir, tool + "missing.img", "").status, 1);
  EXPECT_EQ(testrun::run(dir, tool, "").status, 2);
  testrun::remove_tree(dir);
}

// A header read back: the geometry's own header is accepted with its raw
// file beside it; each form the reader does not take is named by its line.
TEST(MetaImageInput, ReadsTheGeometrysHeaderAndNamesEveryFaultByLine) {
  const std::string dir = testrun::make_temp_dir();
  geom::Geometry g = geom::defined_geometry();
  g.defined = false;
  g.grid.nz = 3;
  g.grid.ny = 4;
  g.grid.nx = 5;
  g.grid.dx = 0.25;
  g.trace.reset();
  const std::vector<float> samples(60, 1.5f);
  toolkit::write_float_samples(dir + "/v.raw", samples);
  const std::string header = toolkit::metaimage_header(toolkit::FileKind::Volume, g, "v.raw");
  toolkit::write_bytes(dir + "/v.mhd", header.data(), header.size());
  EXPECT_EQ(toolkit::read_metaimage_samples(dir + "/v.mhd", toolkit::FileKind::Volume, g), samples);
  // A stack header is not the Volume's.
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::input, "v.mhd:8: DimSize: 5 4 3 is not the geometry's stack shape",
                                  [&] { toolkit::read_metaimage_samples(dir + "/v.mhd", toolkit::FileKind::Stack, g); }));

  const struct {
    const char* from;
    const char* to;
    const char* detail;
  } faults[] = {
      {"ElementType = MET_FLOAT", "ElementType = MET_DOUBLE", "v.mhd:10: ElementType: \"MET_DOUBLE\""},
      {"CompressedData = False", "CompressedData = True", "v.mhd:5: CompressedData"},
      {"TransformMatrix = 1 0 0 0 1 0 0 0 1", "TransformMatrix = 1 0 0 0 -1 0 0 0 -1", "v.mhd:6: TransformMatrix"},
      {"ElementDataFile = v.raw", "ElementDataFile = LOCAL", "v.mhd:12: ElementDataFile"},
      {"DimSize = 5 4 3", "DimSize = 5 4", "v.mhd:8: DimSize: needs 3 numbers"},
      {"Offset = ", "Offset = 1e999 ", "v.mhd:7: Offset: \"1e999\" is not a finite number"},
      {"DimSize = 5 4 3\n", "", "v.mhd: DimSize: not given"},
  };
  for (const auto& f : faults) {
    std::string text = header;
    ASSERT_NE(text.find(f.from), std::string::npos) << f.from;
    text.replace(text.find(f.from), std::string(f.from).size(), f.to);
    toolkit::write_bytes(dir + "/v.mhd", text.data(), text.size());
    EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::input, f.detail,
                                    [&] { toolkit::read_metaimage_header(dir + "/v.mhd"); }))
        << f.to;
  }
  EXPECT_EQ(toolkit::raw_path_for_header("out/scan.MHD"), "out/scan.raw");
  EXPECT_TRUE(toolkit::is_metaimage_name("a.mhd"));
  EXPECT_FALSE(toolkit::is_metaimage_name(".mhd"));
  testrun::remove_tree(dir);
}

}  // namespace
