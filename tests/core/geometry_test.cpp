// The scan geometry: the defined preset's values and vectors, the vectors of
// other geometries against their formula, the one validation, voxel centres
// and the MetaImage headers of any geometry.
#include "core/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "core/metaimage.h"
#include "core/scan_geometry.h"
#include "tests/support/expect_failure.h"
#include "tests/support/geometry_examples.h"

namespace {

using geom::Geometry;
using geom::ViewForm;

void expect_view(const geom::ConeVectors& cv, int view, const std::vector<double>& expected) {
  ASSERT_EQ(expected.size(), 12u);
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(cv.vectors[static_cast<std::size_t>(12 * view + i)], expected[static_cast<std::size_t>(i)])
        << "view " << view << " number " << i;
}

void expect_view_near(const geom::ConeVectors& cv, int view, const std::vector<double>& expected, double tolerance) {
  for (int i = 0; i < 12; ++i)
    EXPECT_NEAR(cv.vectors[static_cast<std::size_t>(12 * view + i)], expected[static_cast<std::size_t>(i)], tolerance)
        << "view " << view << " number " << i;
}

using testgeom::short_scan;

TEST(Geometry, DefinedPresetHasTheScansValues) {
  const Geometry g = geom::defined_geometry();
  EXPECT_TRUE(g.defined);
  EXPECT_EQ(g.grid.nz, 128);
  EXPECT_EQ(g.grid.ny, 128);
  EXPECT_EQ(g.grid.nx, 128);
  EXPECT_EQ(g.grid.dz, 1.0);
  EXPECT_EQ(g.grid.origin_z, 1.0);
  EXPECT_EQ(g.grid.origin_y, 1.0);
  EXPECT_EQ(g.grid.origin_x, 0.0);
  EXPECT_EQ(g.rows, 256);
  EXPECT_EQ(g.columns, 256);
  EXPECT_EQ(g.pitch_row, 1.0);
  EXPECT_EQ(g.pitch_column, 1.0);
  EXPECT_EQ(g.offset_v, -0.5);
  EXPECT_EQ(g.offset_u, -0.5);
  EXPECT_EQ(g.sod, 256.0);
  EXPECT_EQ(g.sdd, 512.0);
  EXPECT_EQ(g.form, ViewForm::circle);
  EXPECT_EQ(g.views(), 256);
  EXPECT_EQ(g.start_deg, 0.0);
  EXPECT_EQ(g.arc_deg, 360.0);
  ASSERT_TRUE(g.trace.has_value());
  EXPECT_EQ(g.trace->x_lo, -63.0);
  EXPECT_EQ(g.trace->x_hi, 62.0);
  EXPECT_EQ(g.trace->y_lo, -62.0);
  EXPECT_EQ(g.trace->y_hi, 63.0);
  EXPECT_EQ(g.trace->z_lo, -62.0);
  EXPECT_EQ(g.trace->z_hi, 63.0);
  EXPECT_FALSE(geom::find_invalid(g).has_value());
  EXPECT_TRUE(geom::is_defined(g));
  EXPECT_TRUE(geom::matches_defined(g));
}

TEST(Geometry, DefinedPresetGoldenVectors) {
  const geom::ConeVectors cv = geom::cone_vectors(geom::defined_geometry());
  EXPECT_EQ(cv.rows, 256);
  EXPECT_EQ(cv.columns, 256);
  EXPECT_EQ(cv.views(), 256);
  // View 0: the source on -y looking along +y; row steps point down.
  expect_view(cv, 0, {0, -256, 0, -0.5, 256, 0.5, 1, 0, 0, 0, 0, -1});
  // View 64, 90 degrees: whole quarter turns are exact.
  expect_view(cv, 64, {256, 0, 0, -256, -0.5, 0.5, 0, 1, 0, 0, 0, -1});
  expect_view(cv, 128, {0, 256, 0, 0.5, -256, 0.5, -1, 0, 0, 0, 0, -1});
}

TEST(Geometry, DefinedPresetMatchesTheScanHeaders) {
  const Geometry g = geom::defined_geometry();
  // Voxel centres: scan::voxel_centre, everywhere.
  for (int iz : {0, 1, 63, 64, 127})
    for (int iy : {0, 5, 64, 127})
      for (int ix : {0, 17, 64, 127}) {
        const geom::Point3 p = geom::voxel_centre(g.grid, iz, iy, ix);
        const scan::Point3 q = scan::voxel_centre(ix, iy, iz);
        EXPECT_EQ(p.x, q.x);
        EXPECT_EQ(p.y, q.y);
        EXPECT_EQ(p.z, q.z);
      }
  // Sources: the programs' orbit, up to their pi literal.
  const geom::ConeVectors cv = geom::cone_vectors(g);
  for (int v = 0; v < 256; ++v) {
    const scan::Point3 s = scan::source_of_view(scan::view_angle(v));
    EXPECT_NEAR(cv.vectors[12 * v + 0], s.x, 1e-9) << v;
    EXPECT_NEAR(cv.vectors[12 * v + 1], s.y, 1e-9) << v;
    EXPECT_EQ(cv.vectors[12 * v + 2], 0.0);
  }
  // Pixel (r, c) of view 0 is tomproj's (u, height) = (c - 128, 128 - r) on y = 256.
  for (int r : {0, 1, 128, 255})
    for (int c : {0, 100, 128, 255}) {
      const geom::Point3 p = geom::pixel_centre(cv, 0, r, c);
      EXPECT_EQ(p.x, c - 128.0);
      EXPECT_EQ(p.y, 256.0);
      EXPECT_EQ(p.z, 128.0 - r);
    }
  // The trace region is the inside box; a general geometry's is its volume's box.
  const geom::TraceBox t = geom::trace_region(g);
  EXPECT_EQ(t.x_lo, scan::kInsideXLo);
  EXPECT_EQ(t.z_hi, scan::kInsideZHi);
  Geometry general = g;
  general.defined = false;
  general.trace.reset();
  const geom::TraceBox b = geom::trace_region(general);
  EXPECT_EQ(b.x_lo, -64.0);
  EXPECT_EQ(b.x_hi, 64.0);
  EXPECT_EQ(b.y_lo, -63.0);
  EXPECT_EQ(b.y_hi, 65.0);
  EXPECT_EQ(b.z_lo, -63.0);
  EXPECT_EQ(b.z_hi, 65.0);
}

TEST(Geometry, IdentityAndEqualityWithThePreset) {
  const Geometry preset = geom::defined_geometry();
  EXPECT_EQ(preset, geom::defined_geometry());
  Geometry lookalike = preset;
  lookalike.defined = false;
  EXPECT_NE(lookalike, preset);
  EXPECT_FALSE(geom::is_defined(lookalike));
  EXPECT_TRUE(geom::matches_defined(lookalike));
  EXPECT_FALSE(geom::find_invalid(lookalike).has_value());
  lookalike.trace.reset();
  EXPECT_FALSE(geom::matches_defined(lookalike));
  // The flag on other values is refused, naming the field that differs.
  Geometry wrong = preset;
  wrong.sod = 300.0;
  const auto problem = geom::find_invalid(wrong);
  ASSERT_TRUE(problem.has_value());
  EXPECT_EQ(problem->field, "source.sod");
  EXPECT_NE(problem->reason.find("defined preset has 256"), std::string::npos) << problem->reason;
}

TEST(Geometry, ShortScanVectorsFollowTheFormula) {
  const Geometry g = short_scan();
  ASSERT_FALSE(geom::find_invalid(g).has_value());
  const geom::ConeVectors cv = geom::cone_vectors(g);
  ASSERT_EQ(cv.views(), 200);
  // View 0, 30 degrees, by hand: sin 1/2, cos sqrt(3)/2.
  const double h = std::sqrt(3.0) / 2.0;
  expect_view_near(cv, 0,
                   {250.0, -500.0 * h, 0.0,                                        // source
                    -150.0 - 20.0 * h, 300.0 * h - 10.0, -4.0,                      // detector centre
                    2.0 * h, 1.0, 0.0,                                              // u
                    0.0, 0.0, -1.5},                                                // v
                   1e-12);
  // Every view: the formula with radians.
  const double pi = std::acos(-1.0);
  for (int k = 0; k < 200; ++k) {
    const double a = (30.0 + k * (210.0 / 200.0)) * pi / 180.0;
    const double s = std::sin(a), c = std::cos(a);
    expect_view_near(cv, k,
                     {500 * s, -500 * c, 0, -300 * s - 20 * c, 300 * c - 20 * s, -4.0, 2 * c, 2 * s, 0, 0, 0, -1.5},
                     1e-12);
  }
  // Pixel (0, 0) of view 0: d - 39.5 u - 14.5 v.
  const geom::Point3 p = geom::pixel_centre(cv, 0, 0, 0);
  EXPECT_NEAR(p.x, -150.0 - 20.0 * h - 79.0 * h, 1e-12);
  EXPECT_NEAR(p.y, 300.0 * h - 10.0 - 39.5, 1e-12);
  EXPECT_NEAR(p.z, -4.0 + 14.5 * 1.5, 1e-12);
  // Voxel centres of the grid.
  const geom::Point3 first = geom::voxel_centre(g.grid, 0, 0, 0);
  EXPECT_EQ(first.x, 1.5 - 29.5 * 0.5);
  EXPECT_EQ(first.y, -3.0 + 24.5 * 0.5);
  EXPECT_EQ(first.z, 2.0 + 19.5);
}

TEST(Geometry, TheThreeFormsAgree) {
  Geometry circle = short_scan();
  Geometry angles = circle;
  angles.form = ViewForm::angles;
  angles.view_count = 0;
  angles.start_deg = 0.0;
  angles.arc_deg = 360.0;
  angles.angles_deg = geom::view_angles_deg(circle);
  ASSERT_FALSE(geom::find_invalid(angles).has_value());
  EXPECT_EQ(geom::cone_vectors(angles).vectors, geom::cone_vectors(circle).vectors);
  const geom::CircularScan scan = geom::circular_scan(circle);
  EXPECT_EQ(scan.angles_deg, angles.angles_deg);
  EXPECT_EQ(scan.sod, 500.0);
  EXPECT_EQ(scan.offset_u, -20.0);
  EXPECT_EQ(geom::cone_vectors(scan).vectors, geom::cone_vectors(circle).vectors);

  Geometry free = circle;
  free.form = ViewForm::vectors;
  free.view_count = 0;
  free.start_deg = 0.0;
  free.arc_deg = 360.0;
  free.pitch_row = free.pitch_column = 1.0;
  free.offset_u = free.offset_v = 0.0;
  free.sod = free.sdd = 0.0;
  free.vectors = geom::cone_vectors(circle).vectors;
  ASSERT_FALSE(geom::find_invalid(free).has_value());
  EXPECT_EQ(geom::cone_vectors(free).vectors, free.vectors);
  EXPECT_EQ(free.views(), 200);
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "views.vectors", [&] { geom::circular_scan(free); }));
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "views.vectors", [&] { geom::view_angles_deg(free); }));
}

struct Mutation {
  const char* field;
  std::function<void(Geometry&)> change;
};

TEST(Geometry, ValidationNamesTheOffendingField) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Mutation> circle_cases = {
      {"volume.shape", [](Geometry& g) { g.grid.ny = 0; }},
      {"volume.shape", [](Geometry& g) { g.grid.nz = -3; }},
      {"volume.shape", [](Geometry& g) { g.grid.nz = g.grid.ny = g.grid.nx = std::int64_t{1} << 21; }},
      {"volume.voxel_size", [](Geometry& g) { g.grid.dx = 0.0; }},
      {"volume.voxel_size", [=](Geometry& g) { g.grid.dy = nan; }},
      {"volume.voxel_size", [](Geometry& g) { g.grid.dz = -1.0; }},
      {"volume.offset", [=](Geometry& g) { g.grid.origin_x = inf; }},
      {"detector.shape", [](Geometry& g) { g.columns = 0; }},
      {"detector.pitch", [](Geometry& g) { g.pitch_row = 0.0; }},
      {"detector.pitch", [=](Geometry& g) { g.pitch_column = inf; }},
      {"detector.offset", [=](Geometry& g) { g.offset_v = nan; }},
      {"source.sod", [](Geometry& g) { g.sod = 0.0; }},
      {"source.sod", [=](Geometry& g) { g.sod = nan; }},
      {"source.sdd", [](Geometry& g) { g.sdd = g.sod; }},
      {"source.sdd", [](Geometry& g) { g.sdd = 100.0; }},
      {"source.sdd", [=](Geometry& g) { g.sdd = inf; }},
      {"views.count", [](Geometry& g) { g.view_count = 0; }},
      {"views.count", [](Geometry& g) { g.view_count = std::int64_t{1} << 50; }},
      {"views.start", [=](Geometry& g) { g.start_deg = inf; }},
      {"views.arc", [](Geometry& g) { g.arc_deg = 0.0; }},
      {"views.arc", [=](Geometry& g) { g.arc_deg = nan; }},
      {"views.angles", [](Geometry& g) { g.angles_deg = {1.0}; }},
      {"views.angles", [](Geometry& g) { g.form = ViewForm::angles; g.view_count = 0; }},
      {"views.angles[2]", [=](Geometry& g) { g.form = ViewForm::angles; g.view_count = 0; g.angles_deg = {0, 1, nan}; }},
      {"views.count", [](Geometry& g) { g.form = ViewForm::angles; g.angles_deg = {0, 1}; }},
      {"trace", [](Geometry& g) { g.trace = geom::TraceBox{1, 0, -1, 1, -1, 1}; }},
      {"trace", [=](Geometry& g) { g.trace = geom::TraceBox{-1, 1, -1, inf, -1, 1}; }},
  };
  for (const Mutation& m : circle_cases) {
    Geometry g = short_scan();
    m.change(g);
    const auto problem = geom::find_invalid(g);
    ASSERT_TRUE(problem.has_value()) << m.field;
    EXPECT_EQ(problem->field, m.field) << problem->reason;
    EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, std::string(m.field) + ": ", [&] { geom::validate(g); }));
    EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, m.field, [&] { geom::cone_vectors(g); }));
  }

  // Free vectors.
  auto free_geometry = [] {
    Geometry g;
    g.grid.nz = g.grid.ny = g.grid.nx = 8;
    g.rows = 4;
    g.columns = 6;
    g.form = ViewForm::vectors;
    g.vectors = {0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1,   //
                 100, 0, 0, -50, 0, 0, 0, 1, 0, 0, 0, -1};
    return g;
  };
  ASSERT_FALSE(geom::find_invalid(free_geometry()).has_value());
  const std::vector<Mutation> free_cases = {
      {"views.vectors", [](Geometry& g) { g.vectors.clear(); }},
      {"views.vectors", [](Geometry& g) { g.vectors.pop_back(); }},
      {"views.vectors[1]", [=](Geometry& g) { g.vectors[12 + 4] = nan; }},
      {"views.vectors[0]", [](Geometry& g) { g.vectors[6] = 0.0; }},                     // u = 0
      {"views.vectors[1]", [](Geometry& g) { g.vectors[12 + 11] = 0.0; }},               // v = 0
      {"views.vectors[0]", [](Geometry& g) { g.vectors[9] = 2.0; g.vectors[11] = 0.0; }},  // v parallel to u
      {"views.vectors[0]", [](Geometry& g) { g.vectors[1] = 50.0; }},                     // source in the plane
      {"detector.pitch", [](Geometry& g) { g.pitch_row = 2.0; }},
      {"detector.offset", [](Geometry& g) { g.offset_u = 1.0; }},
      {"source.sod", [](Geometry& g) { g.sod = 100.0; }},
      {"source.sdd", [](Geometry& g) { g.sdd = 100.0; }},
      {"views.count", [](Geometry& g) { g.view_count = 2; }},
      {"views.angles", [](Geometry& g) { g.angles_deg = {0.0, 1.0}; }},
  };
  for (const Mutation& m : free_cases) {
    Geometry g = free_geometry();
    m.change(g);
    const auto problem = geom::find_invalid(g);
    ASSERT_TRUE(problem.has_value()) << m.field;
    EXPECT_EQ(problem->field, m.field) << problem->reason;
  }
}

TEST(Geometry, MetaImageHeadersOfAnyGeometry) {
  // The defined scan's headers are tommhd's, byte for byte.
  const Geometry preset = geom::defined_geometry();
  for (auto kind : {toolkit::FileKind::Volume, toolkit::FileKind::Stack})
    EXPECT_EQ(toolkit::metaimage_header(kind, preset, "x.img"), toolkit::metaimage_header(kind, "x.img"));
  // A general geometry with the preset's grid places its volume the same way.
  Geometry lookalike = preset;
  lookalike.defined = false;
  EXPECT_EQ(toolkit::metaimage_header(toolkit::FileKind::Volume, lookalike, "v.img"),
            toolkit::metaimage_header(toolkit::FileKind::Volume, "v.img"));
  // Its stack carries the pitch and the centre of pixel (0, 0) in (u, v).
  const std::string stack = toolkit::metaimage_header(toolkit::FileKind::Stack, lookalike, "p.img");
  EXPECT_NE(stack.find("Offset = -128 -128 0\n"), std::string::npos) << stack;
  EXPECT_NE(stack.find("ElementSpacing = 1 1 1\n"), std::string::npos) << stack;
  EXPECT_NE(stack.find("DimSize = 256 256 256\n"), std::string::npos) << stack;

  const Geometry g = short_scan();
  EXPECT_EQ(toolkit::metaimage_header(toolkit::FileKind::Volume, g, "v.img"),
            "ObjectType = Image\n"
            "NDims = 3\n"
            "BinaryData = True\n"
            "BinaryDataByteOrderMSB = False\n"
            "CompressedData = False\n"
            "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
            "Offset = -13.25 -9.25 -21.5\n"
            "DimSize = 60 50 40\n"
            "ElementSpacing = 0.5 0.5 1\n"
            "ElementType = MET_FLOAT\n"
            "ElementByteOrderMSB = False\n"
            "ElementDataFile = v.img\n");
  // u0 = -20 - 39.5 * 2, v0 = 4 - 14.5 * 1.5.
  const std::string s = toolkit::metaimage_header(toolkit::FileKind::Stack, g, "p.img");
  EXPECT_NE(s.find("Offset = -99 -17.75 0\n"), std::string::npos) << s;
  EXPECT_NE(s.find("DimSize = 80 30 200\n"), std::string::npos) << s;
  EXPECT_NE(s.find("ElementSpacing = 2 1.5 1\n"), std::string::npos) << s;
  Geometry bad = g;
  bad.sdd = 1.0;
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "source.sdd",
                                  [&] { toolkit::metaimage_header(toolkit::FileKind::Volume, bad, "v.img"); }));
}

TEST(Geometry, NumberTextReadsBack) {
  EXPECT_EQ(geom::number_text(1.0), "1");
  EXPECT_EQ(geom::number_text(-63.5), "-63.5");
  EXPECT_EQ(geom::number_text(0.1), "0.1");
  EXPECT_EQ(std::stod(geom::number_text(1.0 / 3.0)), 1.0 / 3.0);
}

}  // namespace
