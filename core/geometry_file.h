// The geometry file: a scan geometry as TOML.
//
//   # A short scan with an offset detector (mm and degrees; axes (z, y, x)).
//   [volume]
//   shape = [64, 128, 128]          # (nz, ny, nx)
//   voxel_size = [1.0, 0.5, 0.5]    # (dz, dy, dx); one number for all three
//   offset = [0.0, 0.0, 0.0]        # the grid's centre (z, y, x)
//
//   [detector]
//   shape = [96, 320]               # (rows, columns)
//   pitch = [0.8, 0.8]              # (row, column); one number for both
//   offset = [0.0, -40.0]           # (v, u): along the row step (-z) and the column step
//
//   [source]
//   sod = 500.0                     # source to isocentre
//   sdd = 800.0                     # source to detector
//
//   [views]                         # one of: count (+ start, arc) | angles | vectors
//   count = 360
//   start = 0.0                     # degrees (default 0)
//   arc = 220.0                     # degrees, the end excluded (default 360)
//   # angles = [0.0, 1.0, ...]      # degrees, one per view
//   # vectors = [[sx, sy, sz, dx, dy, dz, ux, uy, uz, vx, vy, vz], ...]   # one per view
//
//   [trace]                         # optional: rays are traced only inside (strict bounds)
//   min = [-62.0, -62.0, -63.0]     # (z, y, x)
//   max = [63.0, 63.0, 62.0]
//
// `preset = "defined"` at the top starts from the defined scan
// (geom::defined_geometry()); any key given then overrides the preset's.
// A result that still has the preset's values is the defined scan itself;
// one that differs is a general geometry, and loses the preset's trace
// region unless [trace] gives one. With `views.vectors` the [source] table
// and the detector's pitch and offset are refused (the vectors hold them).
//
// The reader understands the TOML the study files use (tables, arrays of
// tables, dotted and quoted keys, strings, numbers, booleans, dates, arrays,
// inline tables, comments), so that a geometry can be read from a table of
// a bigger file. Every error is a usage Failure "SOURCE:LINE: FIELD: REASON";
// a file that cannot be read is an input Failure.
#pragma once

#include <string>

#include "core/geometry.h"

namespace geom {

// The geometry in `text`, at the top level (table "") or in the dotted
// table `table` ("geometry": [geometry], [geometry.volume], ...). `source`
// names the text in messages (a file's path).
Geometry parse_geometry_toml(const std::string& text, const std::string& source,
                             const std::string& table = "");

// The geometry of a file (parse_geometry_toml of its text).
Geometry read_geometry_file(const std::string& path, const std::string& table = "");

// The file's text of a valid geometry: `preset = "defined"` for the
// defined scan, else every table, numbers written so that they read back
// exactly.
std::string geometry_toml(const Geometry& g);

// Writes geometry_toml(g) to `path`, under a temporary name renamed over the
// target when complete.
void write_geometry_file(const std::string& path, const Geometry& g);

}  // namespace geom
