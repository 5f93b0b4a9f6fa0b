// MetaImage headers: the text, and tommhd beside a raw file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"
#include "core/metaimage.h"

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

}  // namespace
