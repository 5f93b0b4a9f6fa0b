// tomphantom, tomanalytic, tomnoise, tomcompare and tomproj's MetaImage files
// on the scan of a geometry file: each program's file is bit for bit what the
// library gives, and a faulty file is refused by field and line before
// anything is written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/geometry_file.h"
#include "core/metaimage.h"
#include "core/sample_files.h"
#include "eval/comparison.h"
#include "operators/cone_projector.h"
#include "sim/dose_noise.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"
#include "sim/phantom_shapes.h"
#include "tests/support/run_program.h"

namespace {

std::string program(const char* name) { return std::string(TOM_BINARY_DIR) + "/bin/" + name; }

// A small scan unlike the defined one: 24 x 20 x 16 voxels of 0.5 mm, a
// 40 x 30 detector, 12 views over 200 degrees.
const char* kScan =
    "[volume]\nshape = [16, 20, 24]\nvoxel_size = 0.5\noffset = [0.25, 0.0, -0.5]\n\n"
    "[detector]\nshape = [30, 40]\npitch = 0.6\noffset = [0.3, -1.2]\n\n"
    "[source]\nsod = 60.0\nsdd = 100.0\n\n[views]\ncount = 12\nstart = 5.0\narc = 200.0\n";

const char* kDescription =
    "ellipsoid value=0.5 centre=0.5,-1,0.75 size=3,2.5,2 angles=30,20,10 name=core\n"
    "box value=0.25 centre=-2,1.5,-0.5 size=1.5,1,2 angles=15,0,0\n"
    "cylinder value=-0.125 centre=1,1,0 size=1.2,0.8,2.5 angles=0,70,40\n";

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class GeometryToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testrun::make_temp_dir();
    write(dir_ + "/scan.toml", kScan);
    write(dir_ + "/shapes.txt", kDescription);
    g_ = geom::read_geometry_file(dir_ + "/scan.toml");
  }
  void TearDown() override { testrun::remove_tree(dir_); }

  static void write(const std::string& path, const std::string& text) {
    toolkit::write_bytes(path, text.data(), text.size());
  }
  testrun::Result run(const std::string& command) { return testrun::run(dir_, command, ""); }
  std::vector<float> volume(const std::string& name) {
    return toolkit::read_float_samples(dir_ + "/" + name, static_cast<std::size_t>(g_.grid.voxels()));
  }
  std::vector<float> stack(const std::string& name) {
    return toolkit::read_float_samples(dir_ + "/" + name, static_cast<std::size_t>(g_.views() * g_.rows * g_.columns));
  }

  std::string dir_;
  geom::Geometry g_;
};

TEST_F(GeometryToolsTest, TomphantomSamplesShapesInMillimetresOnTheGrid) {
  auto r = run(program("tomphantom") + " --geometry scan.toml description shapes.txt --oversample 2 d.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  const toolkit::Phantom shapes = toolkit::parse_description(kDescription, "shapes");
  EXPECT_TRUE(same_bits(volume("d.raw"), toolkit::voxelise_on_grid(shapes, g_.grid, 2, 1)));

  // The head's default scale comes from the grid.
  r = run(program("tomphantom") + " shepp-logan --geometry scan.toml head.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  const toolkit::Phantom head = toolkit::modified_shepp_logan(toolkit::grid_head_scale(g_.grid));
  EXPECT_TRUE(same_bits(volume("head.raw"), toolkit::voxelise_on_grid(head, g_.grid, 1, 1)));

  // A ball's centre and radius are mm too.
  r = run(program("tomphantom") + " ball --geometry scan.toml --centre 1,0.5,-1 --radius 2.5 --value 2 b.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  toolkit::Shape ball;
  ball.value = 2.0;
  ball.centre = scan::Point3{1.0, 0.5, -1.0};
  ball.size[0] = ball.size[1] = ball.size[2] = 2.5;
  EXPECT_TRUE(same_bits(volume("b.raw"), toolkit::voxelise_on_grid(toolkit::Phantom{{ball}}, g_.grid, 1, 1)));

  // The voxel patterns take the grid's shape and indices.
  r = run(program("tomphantom") + " random --geometry scan.toml --seed 9 --range -1,2 rnd.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(same_bits(volume("rnd.raw"), toolkit::random_samples(9, -1.0f, 2.0f, volume("rnd.raw").size())));
  r = run(program("tomphantom") + " voxel --geometry scan.toml --index 23,19,15 v.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(volume("v.raw").back(), 1.0f);
  r = run(program("tomphantom") + " voxel --geometry scan.toml --index 24,0,0 w.raw");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("0 ... 23"), std::string::npos) << r.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/w.raw"));
}

TEST_F(GeometryToolsTest, TomphantomDrawsRandomEllipsoidsInTheGridOrAFieldOfView) {
  toolkit::RandomEllipsoidSettings settings;
  settings.size_lo = 0.5;
  settings.size_hi = 3.0;
  auto r = run(program("tomphantom") +
               " random-ellipsoids --geometry scan.toml --seed 5 --sizes 0.5,3 --description-out e.txt e.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  const toolkit::Phantom in_grid = toolkit::random_ellipsoids_in(5, settings, toolkit::grid_field_box(g_.grid));
  EXPECT_EQ(testrun::read_file(dir_ + "/e.txt"), toolkit::description_text(in_grid));
  EXPECT_TRUE(same_bits(volume("e.raw"), toolkit::voxelise_on_grid(in_grid, g_.grid, 1, 1)));

  r = run(program("tomphantom") +
          " random-ellipsoids --geometry scan.toml --seed 5 --sizes 0.5,3 --field-of-view 8,6 --description-out f.txt f.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  const toolkit::Phantom in_field = toolkit::random_ellipsoids_in(5, settings, toolkit::field_of_view_box(8.0, 6.0));
  EXPECT_EQ(testrun::read_file(dir_ + "/f.txt"), toolkit::description_text(in_field));

  // Millimetres mean nothing on the defined grid's voxel units.
  r = run(program("tomphantom") + " random-ellipsoids --seed 5 --field-of-view 8,6 g.raw");
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(testrun::exists(dir_ + "/g.raw"));
}

TEST_F(GeometryToolsTest, TomanalyticProjectsAlongTheScansRays) {
  const auto r = run(program("tomanalytic") + " --geometry scan.toml --threads 2 shapes.txt a.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  const toolkit::Phantom shapes = toolkit::parse_description(kDescription, "shapes");
  EXPECT_TRUE(same_bits(stack("a.raw"), toolkit::analytic_stack_along(shapes, geom::cone_vectors(g_), 1)));
}

TEST_F(GeometryToolsTest, TomnoiseTakesOneI0PerViewOfTheScan) {
  std::vector<float> clean(static_cast<std::size_t>(g_.views() * g_.rows * g_.columns));
  for (std::size_t i = 0; i < clean.size(); ++i) clean[i] = static_cast<float>(i % 23) * 0.125f;
  toolkit::write_float_samples(dir_ + "/clean.raw", clean);
  std::string i0_text;
  toolkit::DoseSettings settings;
  for (int v = 0; v < 12; ++v) {
    settings.i0.push_back(500.0 + 100.0 * v);
    i0_text += std::to_string(500 + 100 * v) + "\n";
  }
  write(dir_ + "/i0.txt", i0_text);
  settings.seed = 77;
  settings.attenuation = 0.02;
  settings.electronic = 1.5;
  auto r = run(program("tomnoise") +
               " --geometry scan.toml --i0-file i0.txt --seed 77 --mu 0.02 --electronic 1.5 --threads 2 clean.raw n.raw");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<float> expected(clean.size());
  toolkit::add_dose_noise(settings, toolkit::StackShape{12, g_.rows, g_.columns}, clean.data(), expected.data(), 0, 12,
                          1);
  EXPECT_TRUE(same_bits(stack("n.raw"), expected));

  // An I0 file of another view count, and a stack of another shape, are refused.
  write(dir_ + "/short.txt", "1000\n1000\n");
  r = run(program("tomnoise") + " --geometry scan.toml --i0-file short.txt --seed 1 clean.raw m.raw");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("12"), std::string::npos) << r.err;
  r = run(program("tomnoise") + " --geometry scan.toml --i0 1000 --seed 1 shapes.txt m.raw");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(testrun::exists(dir_ + "/m.raw"));
}

// tomcompare's kv report as key -> value text.
std::map<std::string, std::string> kv_lines(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string::size_type eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

TEST_F(GeometryToolsTest, TomcompareMeasuresTheGeometrysVolumesWithRegionsInMillimetres) {
  std::vector<float> first(static_cast<std::size_t>(g_.grid.voxels())), second(first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    first[i] = static_cast<float>(i % 17) * 0.25f;
    second[i] = first[i] + static_cast<float>(i % 5) * 0.0625f - 0.1f;
  }
  toolkit::write_float_samples(dir_ + "/a.raw", first);
  toolkit::write_float_samples(dir_ + "/b.raw", second);
  const auto r = run(program("tomcompare") +
                     " --geometry scan.toml --format kv --cylinder 3,2 --region-box -2,-2,-1,2,1.5,1 "
                     "--diff-out d.raw a.raw b.raw");
  ASSERT_EQ(r.status, 1) << r.err;  // they differ
  const std::map<std::string, std::string> kv = kv_lines(r.out);
  std::vector<toolkit::Region> regions = toolkit::volume_regions(g_.grid);
  regions.push_back(toolkit::cylinder_region(g_.grid, 3.0, 2.0));
  regions.push_back(toolkit::box_region(toolkit::BoxCorners{{-2, -2, -1}, {2, 1.5, 1}}, g_.grid));
  ASSERT_EQ(regions.size(), 5u);
  for (const toolkit::Region& region : regions) {
    const toolkit::RegionFigures f = toolkit::compare_region(first, second, region);
    ASSERT_EQ(kv.count(region.name + ".rmse"), 1u) << region.name << "\n" << r.out;
    EXPECT_EQ(std::strtod(kv.at(region.name + ".rmse").c_str(), nullptr), f.rmse) << region.name;
    EXPECT_EQ(std::strtod(kv.at(region.name + ".pearson_r").c_str(), nullptr), f.pearson_r) << region.name;
    EXPECT_EQ(std::stoull(kv.at(region.name + ".samples")), f.samples) << region.name;
  }
  // The largest difference is placed by the grid's own indices.
  const toolkit::RegionFigures whole = toolkit::compare_region(first, second, regions[0]);
  const std::size_t at = whole.max_at;
  const std::string place = std::to_string(at % 24) + "," + std::to_string(at / 24 % 20) + "," + std::to_string(at / 480);
  EXPECT_EQ(kv.at("whole.max_at_voxel"), place);
  const std::vector<float> diff = volume("d.raw");
  for (std::size_t i = 0; i < diff.size(); ++i)
    ASSERT_EQ(diff[i], static_cast<float>(static_cast<double>(second[i]) - first[i])) << i;

  // Stacks of the scan, with the central half of each view.
  const std::vector<float> proj(static_cast<std::size_t>(g_.views() * g_.rows * g_.columns), 0.5f);
  toolkit::write_float_samples(dir_ + "/p.raw", proj);
  const auto s = run(program("tomcompare") + " --geometry scan.toml --stack --format kv p.raw p.raw");
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(kv_lines(s.out).at("central.samples"), std::to_string(12 * 16 * 20));

  // A Volume of the defined size, and a cylinder without the geometry, are refused.
  const auto wrong = run(program("tomcompare") + " --geometry scan.toml a.raw p.raw");
  EXPECT_EQ(wrong.status, 2);
  const auto no_mm = run(program("tomcompare") + " --cylinder 3,2 a.raw b.raw");
  EXPECT_EQ(no_mm.status, 2);
  EXPECT_NE(no_mm.err.find("--geometry"), std::string::npos) << no_mm.err;
}

TEST_F(GeometryToolsTest, TomprojReadsAndWritesMetaImagesOfTheScan) {
  std::vector<float> v(static_cast<std::size_t>(g_.grid.voxels()));
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((i * 31) % 13) * 0.125f;
  toolkit::write_float_samples(dir_ + "/v.raw", v);
  write(dir_ + "/v.mhd", toolkit::metaimage_header(toolkit::FileKind::Volume, g_, "v.raw"));
  auto r = run(program("tomproj") + " --geometry scan.toml v.mhd out.mhd");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<float> expected(static_cast<std::size_t>(g_.views() * g_.rows * g_.columns));
  const float* volumes[1] = {v.data()};
  float* stacks[1] = {expected.data()};
  tomproj::cone_project(g_.grid, geom::cone_vectors(g_), volumes, 1, stacks, 1);
  EXPECT_TRUE(same_bits(stack("out.raw"), expected));
  EXPECT_EQ(testrun::read_file(dir_ + "/out.mhd"), toolkit::metaimage_header(toolkit::FileKind::Stack, g_, "out.raw"));

  // A header whose spacing is not the geometry's voxel size is refused by
  // its line, before anything is written.
  std::string header = toolkit::metaimage_header(toolkit::FileKind::Volume, g_, "v.raw");
  const std::string spacing = "ElementSpacing = 0.5 0.5 0.5";
  ASSERT_NE(header.find(spacing), std::string::npos) << header;
  header.replace(header.find(spacing), spacing.size(), "ElementSpacing = 0.5 0.6 0.5");
  write(dir_ + "/odd.mhd", header);
  r = run(program("tomproj") + " --geometry scan.toml odd.mhd odd.raw");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("odd.mhd:9: ElementSpacing: 0.5 0.6 0.5 is not the geometry's voxel size"), std::string::npos)
      << r.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/odd.raw"));
}

TEST_F(GeometryToolsTest, EveryToolRefusesAFaultyGeometryFileByFieldAndLine) {
  std::string bad = kScan;
  bad.replace(bad.find("sdd = 100.0"), 11, "sdd = 30.0");
  write(dir_ + "/bad.toml", bad);
  for (const std::string command :
       {"tomphantom ones --geometry bad.toml o.raw", "tomanalytic --geometry bad.toml shapes.txt o.raw",
        "tomnoise --geometry bad.toml --i0 100 --seed 1 shapes.txt o.raw", "tomcompare --geometry bad.toml a b",
        "tomproj --geometry bad.toml shapes.txt o.raw"}) {
    const auto r = run(std::string(TOM_BINARY_DIR) + "/bin/" + command);
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_NE(r.err.find("bad.toml:13: source.sdd"), std::string::npos) << command << ": " << r.err;
    EXPECT_FALSE(testrun::exists(dir_ + "/o.raw")) << command;
  }
}

}  // namespace
