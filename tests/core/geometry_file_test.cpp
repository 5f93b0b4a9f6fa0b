// The geometry file: round trips of every form, the preset and its
// overrides, a geometry table inside a bigger TOML file, and errors that
// name the file, the line and the field.
#include "core/geometry_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/expect_failure.h"
#include "tests/support/geometry_examples.h"
#include "tests/support/run_program.h"

namespace {

using geom::Geometry;
using geom::ViewForm;

// The short scan with numbers whose decimal text is long.
Geometry short_scan() {
  Geometry g = testgeom::short_scan();
  g.grid.dx = 0.1;
  g.grid.origin_x = 1.0 / 3.0;
  return g;
}

Geometry parse(const std::string& text, const std::string& table = "") {
  return geom::parse_geometry_toml(text, "g.toml", table);
}

TEST(GeometryFile, RoundTripOfEveryForm) {
  std::vector<Geometry> cases;
  cases.push_back(geom::defined_geometry());
  Geometry lookalike = geom::defined_geometry();
  lookalike.defined = false;
  cases.push_back(lookalike);  // the preset's numbers with its trace box, not the preset
  cases.push_back(short_scan());
  Geometry angles = short_scan();
  angles.form = ViewForm::angles;
  angles.view_count = 0;
  angles.start_deg = 0.0;
  angles.arc_deg = 360.0;
  angles.angles_deg = {0.1, -7.25, 1e-7, 359.99999999999994, 12345.678, 0.0, 1.0 / 3.0, 2.0, 3.0, 4.0};
  cases.push_back(angles);
  Geometry free = short_scan();
  free.form = ViewForm::vectors;
  free.view_count = 0;
  free.start_deg = 0.0;
  free.arc_deg = 360.0;
  free.pitch_row = free.pitch_column = 1.0;
  free.offset_u = free.offset_v = 0.0;
  free.sod = free.sdd = 0.0;
  free.vectors = geom::cone_vectors(short_scan()).vectors;
  free.vectors.resize(12 * 7);
  free.trace = geom::TraceBox{-5.5, 5.25, -1.0, 1.0, -2.0, 1e-3};
  cases.push_back(free);
  for (const Geometry& g : cases) {
    const std::string text = geom::geometry_toml(g);
    const Geometry back = parse(text);
    EXPECT_EQ(back, g) << text;
    EXPECT_EQ(geom::geometry_toml(back), text);
  }
  EXPECT_EQ(geom::geometry_toml(geom::defined_geometry()).find("preset = \"defined\"\n") != std::string::npos, true);
}

TEST(GeometryFile, FilesAreWrittenAndRead) {
  const std::string dir = testrun::make_temp_dir();
  const std::string path = dir + "/scan.toml";
  geom::write_geometry_file(path, short_scan());
  EXPECT_EQ(geom::read_geometry_file(path), short_scan());
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::input, "missing.toml",
                                  [&] { geom::read_geometry_file(dir + "/missing.toml"); }));
  Geometry bad = short_scan();
  bad.sod = -1.0;
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "source.sod",
                                  [&] { geom::write_geometry_file(dir + "/bad.toml", bad); }));
  EXPECT_FALSE(testrun::exists(dir + "/bad.toml"));
  testrun::remove_tree(dir);
}

TEST(GeometryFile, PresetAndOverrides) {
  EXPECT_EQ(parse("preset = \"defined\"\n"), geom::defined_geometry());
  // Overrides with the preset's own values leave the preset.
  EXPECT_EQ(parse("preset = 'defined'\n[source]\nsod = 256\nsdd = 512.0\n[views]\ncount = 256\n"),
            geom::defined_geometry());
  // Other values make a general geometry, without the preset's trace box.
  const Geometry g = parse("preset = \"defined\"  # the scan\n\n[source]\nsdd = 600\n");
  EXPECT_FALSE(g.defined);
  EXPECT_FALSE(g.trace.has_value());
  EXPECT_EQ(g.sdd, 600.0);
  EXPECT_EQ(g.sod, 256.0);
  EXPECT_EQ(g.view_count, 256);
  EXPECT_EQ(g.offset_u, -0.5);
  // ... unless the file gives one.
  const Geometry t = parse("preset = \"defined\"\n[views]\narc = 200\n[trace]\nmin = [-1, -2, -3]\nmax = [1, 2, 3]\n");
  EXPECT_FALSE(t.defined);
  ASSERT_TRUE(t.trace.has_value());
  EXPECT_EQ(t.trace->x_lo, -3.0);
  EXPECT_EQ(t.trace->z_hi, 1.0);
  EXPECT_EQ(t.arc_deg, 200.0);
  // Another form of views replaces the preset's.
  const Geometry a = parse("preset = \"defined\"\n[views]\nangles = [0, 90, 180]\n");
  EXPECT_EQ(a.form, ViewForm::angles);
  EXPECT_EQ(a.views(), 3);
  EXPECT_EQ(a.view_count, 0);
  // One number for all the sizes, and TOML's number spellings.
  const Geometry n = parse(
      "[volume]\nshape = [1_0, 0x10, 12.0]\nvoxel_size = 0.25\n"
      "[detector]\nshape = [4, 5]\npitch = 5e-1\noffset = [+1.5, -0.0]\n"
      "[source]\nsod = 1E2\nsdd = 2_00.5\n[views]\ncount = 0o12\nstart = -45\n");
  EXPECT_EQ(n.grid.nz, 10);
  EXPECT_EQ(n.grid.ny, 16);
  EXPECT_EQ(n.grid.nx, 12);
  EXPECT_EQ(n.grid.dy, 0.25);
  EXPECT_EQ(n.pitch_column, 0.5);
  EXPECT_EQ(n.offset_v, 1.5);
  EXPECT_EQ(n.sod, 100.0);
  EXPECT_EQ(n.sdd, 200.5);
  EXPECT_EQ(n.view_count, 10);
  EXPECT_EQ(n.start_deg, -45.0);
  EXPECT_EQ(n.arc_deg, 360.0);
  // Vectors one view a row, or flat.
  const std::string vectors =
      "[volume]\nshape = [2, 2, 2]\n[detector]\nshape = [3, 4]\n[views]\n"
      "vectors = [\n  [0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1],  # view 0\n"
      "  [100, 0, 0, -50, 0, 0, 0, 1, 0, 0, 0, -1],\n]\n";
  const Geometry v = parse(vectors);
  EXPECT_EQ(v.form, ViewForm::vectors);
  EXPECT_EQ(v.views(), 2);
  EXPECT_EQ(v.vectors[12], 100.0);
  EXPECT_EQ(parse("[volume]\nshape = [2, 2, 2]\n[detector]\nshape = [3, 4]\n[views]\n"
                  "vectors = [0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1,\n"
                  "           100, 0, 0, -50, 0, 0, 0, 1, 0, 0, 0, -1]\n"),
            v);
}

TEST(GeometryFile, ATableOfABiggerFile) {
  const std::string study =
      "# A study\n"
      "name = \"dose \\\"sweep\\\" \\u00e9\"\n"
      "created = 2024-05-01T10:00:00Z\n"
      "day = 2024-05-01 10:00:00\n"
      "notes = '''\n"
      "[volume] in a string\n"
      "'''\n"
      "flags = { fast = true, level = 3 }\n"
      "mixed = [1, 'two', [3.5, -inf], true]\n"
      "\n"
      "[geometry]\n"
      "preset = \"defined\"\n"
      "source.sdd = 600\n"
      "\n"
      "[geometry.views]\n"
      "arc = 200.0\n"
      "\n"
      "[[phantoms]]\n"
      "kind = \"random\"\n"
      "\"quoted key\" = 1\n"
      "[[phantoms]]\n"
      "kind = 'files'\n"
      "[reconstruction.fdk]\n"
      "window = \"hann\"\n";
  const Geometry g = parse(study, "geometry");
  EXPECT_FALSE(g.defined);
  EXPECT_EQ(g.sdd, 600.0);
  EXPECT_EQ(g.arc_deg, 200.0);
  EXPECT_EQ(g.grid.nx, 128);
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "g.toml: no [scan] table", [&] { parse(study, "scan"); }));
  // The top level of that file is no geometry file.
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "g.toml:2: name: not a key of a geometry",
                                  [&] { parse(study); }));
}

struct BadText {
  std::string text;
  std::string message;  // what the failure must say
};

TEST(GeometryFile, ErrorsNameTheFileLineAndField) {
  const std::string good_tail =
      "[detector]\nshape = [8, 8]\n[source]\nsod = 100\nsdd = 200\n[views]\ncount = 10\n";
  const std::vector<BadText> cases = {
      // Syntax.
      {"[volume]\nshape [1, 2, 3]\n", "g.toml:2: expected '=' after the key shape"},
      {"[volume]\nshape = [1, 2, 3\n\n", "g.toml:2: the array is not closed"},
      {"[volume\n", "g.toml:1: expected ']' to close the table header"},
      {"[volume]\nshape = [1, 2, 3] x\n", "g.toml:2: unexpected 'x' after the value"},
      {"a = \"open\n", "g.toml:1: the string is not closed on its line"},
      {"a = 1\n\n\na = 2\n", "g.toml:4: the key a is defined twice (first on line 1)"},
      {"[views]\n[views]\n", "g.toml:2: the table [views] is defined twice (first on line 1)"},
      {"x = 12abc\n", "g.toml:1: '12abc' is not a number"},
      {"x = 99999999999999999999\n", "g.toml:1: '99999999999999999999' is out of the range of a 64-bit integer"},
      {"x = \"\\q\"\n", "g.toml:1: an unknown escape \\q"},
      // Keys and tables.
      {"[volume]\nshap = [1, 2, 3]\n", "g.toml:2: volume.shap: not a key of a geometry"},
      {"[volumes]\n", "g.toml:1: volumes: not a table of a geometry"},
      {"preset = \"standard\"\n", "g.toml:1: preset: unknown preset \"standard\""},
      {"preset = 1\n", "g.toml:1: preset: must be a string"},
      // Types and counts.
      {"[volume]\nshape = [8, 8]\n" + good_tail, "g.toml:2: volume.shape: must be [nz, ny, nx], not 2 values"},
      {"[volume]\nshape = [8, 8.5, 8]\n" + good_tail, "g.toml:2: volume.shape: must hold whole numbers, not 8.5"},
      {"[volume]\nshape = 8\n" + good_tail, "g.toml:2: volume.shape: must be an array"},
      {"[volume]\nshape = [8, 8, 8]\nvoxel_size = \"1\"\n" + good_tail,
       "g.toml:3: volume.voxel_size: must be a number, not a string"},
      {"[volume]\nshape = [8, 8, 8]\noffset = [0, 'a', 0]\n" + good_tail,
       "g.toml:3: volume.offset: must hold numbers, not a string"},
      // Missing and conflicting keys.
      {good_tail, "g.toml:1: volume.shape: missing (give [volume] shape = [nz, ny, nx])"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\n[views]\ncount = 3\n",
       "g.toml:5: source.sdd: missing"},
      {"[volume]\nshape = [8, 8, 8]\n" + good_tail + "angles = [1, 2]\n",
       "g.toml:10: views.angles: give one of views.count, views.angles and views.vectors, not several (views.count is on line 9)"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\nsdd = 200\n[views]\nangles = [1]\nstart = 3\n",
       "g.toml:10: views.start: only used with views.count"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\n[views]\nvectors = [0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1]\n",
       "g.toml:6: source.sod: not used with views.vectors"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[views]\nvectors = [\n  [0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1],\n  [1, 2, 3],\n]\n",
       "g.toml:8: views.vectors: a view has 12 numbers"},
      {"[volume]\nshape = [8, 8, 8]\n" + good_tail + "[trace]\nmin = [0, 0, 0]\n",
       "g.toml:11: trace.max: missing"},
      // The validation's findings, on the line of the field.
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\nsdd = 50\n[views]\ncount = 3\n",
       "g.toml:7: source.sdd: must be a finite number above sod (100), not 50"},
      {"[volume]\nshape = [8, 0, 8]\n" + good_tail, "g.toml:2: volume.shape: every size must be at least 1"},
      {"[volume]\nshape = [8, 8, 8]\nvoxel_size = [1, -1, 1]\n" + good_tail, "g.toml:3: volume.voxel_size:"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\npitch = nan\n[source]\nsod = 100\nsdd = 200\n[views]\ncount = 3\n",
       "g.toml:5: detector.pitch:"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[source]\nsod = 100\nsdd = 200\n[views]\nangles = [\n  0, 1,\n  2, inf,\n]\n",
       "g.toml:11: views.angles[3]: must be a finite number, not inf"},
      {"[volume]\nshape = [8, 8, 8]\n[detector]\nshape = [8, 8]\n[views]\nvectors = [\n  [0, -100, 0, 0, 50, 0, 1, 0, 0, 0, 0, -1],\n  [0, -100, 0, 0, 50, 0, 0, 0, 0, 0, 0, -1],\n]\n",
       "g.toml:8: views.vectors[1]: its column step u is zero"},
      {"[volume]\nshape = [8, 8, 8]\n" + good_tail + "[trace]\nmin = [0, 0, 0]\nmax = [1, -1, 1]\n",
       "g.toml:11: trace: every lower bound must lie below its upper bound"},
      {"preset = \"defined\"\n[views]\ncount = 0\n", "g.toml:3: views.count: must be at least 1"},
      {"[volume]\nshape = [8, 8, 8]\n" + good_tail + "arc = 0\n", "g.toml:10: views.arc:"},
  };
  for (const BadText& c : cases) {
    EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, c.message, [&] { parse(c.text); })) << c.text;
  }
  // A geometry table names its fields with the table around them.
  EXPECT_TRUE(testrun::fails_with(tomio::FailureKind::usage, "g.toml:3: geometry.source.sdd: must be a finite number above sod",
                                  [&] { parse("[geometry]\npreset = \"defined\"\nsource.sdd = 1\n", "geometry"); }));
}

}  // namespace
