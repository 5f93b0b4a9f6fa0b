// tomproj, tomfdk and tomiter on a scan of a geometry file: bit for bit what the
// library gives, and the file's faults refused with their line before
// anything is read or written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/geometry_file.h"
#include "core/sample_files.h"
#include "operators/cone_projector.h"
#include "recon/cone_pair.h"
#include "recon/fdk_circular.h"
#include "tests/support/run_program.h"

namespace {

std::string program(const char* name = "tomproj") { return std::string(TOM_BINARY_DIR) + "/bin/" + name; }

void write_text(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
  ASSERT_EQ(std::fclose(f), 0);
}

const char* kScan =
    "[volume]\nshape = [12, 14, 10]\nvoxel_size = [0.5, 0.4, 0.6]\noffset = [0.3, -0.2, 0.1]\n\n"
    "[detector]\nshape = [16, 20]\npitch = [0.7, 0.6]\noffset = [0.5, -1.5]\n\n"
    "[source]\nsod = 40.0\nsdd = 70.0\n\n[views]\ncount = 9\nstart = 10.0\narc = 200.0\n";

class GeometryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testrun::make_temp_dir();
    write_text(dir_ + "/scan.toml", kScan);
  }
  void TearDown() override { testrun::remove_tree(dir_); }
  std::string dir_;
};

TEST_F(GeometryRunTest, ProjectsTheFilesScanAsTheLibraryDoes) {
  const geom::Geometry g = geom::read_geometry_file(dir_ + "/scan.toml");
  std::vector<float> volume(static_cast<std::size_t>(g.grid.voxels()));
  for (std::size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<float>((i * 37) % 11) * 0.125f;
  toolkit::write_float_samples(dir_ + "/volume.raw", volume);

  const auto r = testrun::run(dir_, program() + " --geometry scan.toml --threads 2 volume.raw stack.raw", "");
  ASSERT_EQ(r.status, 0) << r.err;
  const geom::ConeVectors rays = geom::cone_vectors(g);
  const std::vector<float> stack =
      toolkit::read_float_samples(dir_ + "/stack.raw", static_cast<std::size_t>(rays.samples()));
  std::vector<float> expected(stack.size());
  const float* volumes[1] = {volume.data()};
  float* stacks[1] = {expected.data()};
  tomproj::cone_project(g.grid, rays, volumes, 1, stacks, 1);
  EXPECT_EQ(0, std::memcmp(stack.data(), expected.data(), stack.size() * sizeof(float)));
}

TEST_F(GeometryRunTest, RefusesAVolumeOfAnotherShapeAndAFaultyFileByLine) {
  write_text(dir_ + "/wrong.raw", std::string(4 * 100, '\0'));
  auto r = testrun::run(dir_, program() + " --geometry scan.toml wrong.raw stack.raw", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("expected 6720"), std::string::npos) << r.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/stack.raw"));

  write_text(dir_ + "/bad.toml", "[source]\nsod = 40.0\nsdd = 30.0\n");
  r = testrun::run(dir_, program() + " --geometry bad.toml wrong.raw stack.raw", "");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad.toml"), std::string::npos) << r.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/stack.raw"));
}

// A full turn on a detector shifted by more than half a column: FDK with
// Wang's weights, the same bits as the library's.
TEST_F(GeometryRunTest, TomfdkReconstructsTheFilesCircularScanAsTheLibraryDoes) {
  write_text(dir_ + "/turn.toml",
             "[volume]\nshape = [12, 14, 10]\nvoxel_size = [0.5, 0.4, 0.6]\n\n"
             "[detector]\nshape = [16, 20]\npitch = [0.7, 0.6]\noffset = [0.5, -1.5]\n\n"
             "[source]\nsod = 40.0\nsdd = 70.0\n\n[views]\ncount = 24\n");
  const geom::Geometry g = geom::read_geometry_file(dir_ + "/turn.toml");
  const geom::CircularScan scan = geom::circular_scan(g);
  std::vector<float> stack(static_cast<std::size_t>(scan.angles_deg.size() * scan.rows * scan.columns));
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = static_cast<float>((i * 13) % 7) * 0.25f;
  toolkit::write_float_samples(dir_ + "/stack.raw", stack);

  const auto r = testrun::run(dir_, program("tomfdk") + " --geometry turn.toml --filter hann stack.raw volume.raw", "");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> volume =
      toolkit::read_float_samples(dir_ + "/volume.raw", static_cast<std::size_t>(g.grid.voxels()));
  std::vector<float> expected(volume.size());
  quant::FdkCircularOptions options;
  options.window = quant::FdkWindow::hann;
  quant::fdk_circular(scan, stack.data(), expected.data(), options);
  EXPECT_EQ(0, std::memcmp(volume.data(), expected.data(), volume.size() * sizeof(float)));

  // A stack of another scan's size is refused, and nothing is written.
  const auto wrong = testrun::run(dir_, program("tomfdk") + " --geometry turn.toml volume.raw other.raw", "");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_FALSE(testrun::exists(dir_ + "/other.raw"));
}

// OS-SART and CGLS of tomiter on the file's scan: the library's iterations
// on the cone pair, bit for bit.
TEST_F(GeometryRunTest, TomiterIteratesOnTheFilesScanAsTheLibraryDoes) {
  const geom::Geometry g = geom::read_geometry_file(dir_ + "/scan.toml");
  const geom::ConeVectors rays = geom::cone_vectors(g);
  std::vector<float> stack(static_cast<std::size_t>(rays.samples()));
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = static_cast<float>((i * 7) % 5) * 0.5f;
  toolkit::write_float_samples(dir_ + "/stack.raw", stack);
  const quant::ProjectorPair pair = quant::cone_pair(g.grid, rays);
  for (const char* method : {"sirt", "cgls"}) {
    const auto r = testrun::run(dir_, program("tomiter") + " --geometry scan.toml --subsets 3 --iterations 2 --method " +
                                          method + " stack.raw volume.raw", "");
    ASSERT_EQ(r.status, 0) << r.err;
    quant::IterativeOptions options;
    options.iterations = 2;
    options.subsets = std::string(method) == "sirt" ? 3 : 1;
    std::vector<float> expected(static_cast<std::size_t>(g.grid.voxels()), 0.0f);
    const quant::SystemSums sums =
        quant::system_sums(pair, std::string(method) == "sirt" ? options.subsets : 0, "", 1);
    if (std::string(method) == "sirt")
      quant::iterative_reconstruct(pair, stack.data(), expected, options, sums, nullptr, nullptr);
    else
      quant::cgls_reconstruct(pair, stack.data(), expected, options, sums.row_sums, nullptr, nullptr);
    const std::vector<float> volume = toolkit::read_float_samples(dir_ + "/volume.raw", expected.size());
    EXPECT_EQ(0, std::memcmp(volume.data(), expected.data(), volume.size() * sizeof(float))) << method;
  }
}

}  // namespace
