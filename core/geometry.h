// The scan geometry of any circular (or free) cone-beam scan, in the one
// form every kernel sees: a voxel grid placed in the scan's frame and one
// vector set of 12 numbers per view.
//
// The frame is the defined scan's (core/scan_geometry.h), in millimetres:
// the rotation axis is z; the source of angle a stands at
// sod * (sin a, -cos a, 0), on -y at angle 0 (looking along +y) and moving
// towards +x as a grows, as the defined orbit does.
//
// Voxel (iz, iy, ix) of a volume stored x fastest (numpy [iz, iy, ix]) has
// its centre at
//   x = origin_x + (ix - (nx - 1) / 2) * dx
//   y = origin_y - (iy - (ny - 1) / 2) * dy
//   z = origin_z - (iz - (nz - 1) / 2) * dz
// so, as in the defined scan, the x index grows with x and the y and z
// indices grow as y and z fall (row 0 of a slice, slice 0 of a volume on
// top). origin is the volume's centre relative to the isocentre.
//
// Pixel (r, c) of view k is centred at d + (c - (C-1)/2) u + (r - (R-1)/2) v
// with the view's vectors (sx sy sz, dx dy dz, ux uy uz, vx vy vz): source,
// detector centre, step of one column, step of one row. Stacks are stored
// column fastest, then row, then view (numpy [view, row, column]).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace geom {

// Where a volume's voxels lie: shape, voxel size (mm) and the centre of the
// grid relative to the isocentre (mm), each as (z, y, x).
struct VolumeGrid {
  std::int64_t nz = 0, ny = 0, nx = 0;
  double dz = 1.0, dy = 1.0, dx = 1.0;
  double origin_z = 0.0, origin_y = 0.0, origin_x = 0.0;

  std::int64_t voxels() const { return nz * ny * nx; }
};

// The rays of a scan: the detector's shape and one 12-number vector set per
// view, view after view (source, detector centre, column step, row step).
struct ConeVectors {
  std::int64_t rows = 0, columns = 0;
  std::vector<double> vectors;  // 12 per view

  std::int64_t views() const { return static_cast<std::int64_t>(vectors.size() / 12); }
  std::int64_t samples() const { return views() * rows * columns; }
};

// A circular scan by its parameters, the form FDK and its redundancy
// weights need: the detector (rows, columns, pitch and the shift of its
// centre along its row and column directions, mm), the source-to-isocentre
// and source-to-detector distances (mm) and one angle per view (degrees).
// Rows run top first: the row step points along -z, the column step along
// (cos a, sin a, 0).
struct CircularScan {
  VolumeGrid grid;
  std::int64_t rows = 0, columns = 0;
  double pitch_row = 1.0, pitch_column = 1.0;
  double offset_v = 0.0, offset_u = 0.0;
  double sod = 0.0, sdd = 0.0;
  std::vector<double> angles_deg;
};

// ---------------------------------------------------------------------------
// The scan geometry as one value: what a study, a file or the package
// describes, and what the three forms above are made from.

// A point of the scan's frame (mm).
struct Point3 {
  double x = 0.0, y = 0.0, z = 0.0;
};

// A box of the scan's frame, bounds by axis. The trace region of a scan is
// such a box taken with strict bounds: a point on a bound is outside.
struct TraceBox {
  double x_lo = 0.0, x_hi = 0.0;
  double y_lo = 0.0, y_hi = 0.0;
  double z_lo = 0.0, z_hi = 0.0;
};
// The box of lower and upper bounds given as (z, y, x), the order of files
// and of the package.
TraceBox trace_box_zyx(const double lo[3], const double hi[3]);
bool operator==(const TraceBox& a, const TraceBox& b);
inline bool operator!=(const TraceBox& a, const TraceBox& b) { return !(a == b); }

// How a geometry gives its views.
enum class ViewForm {
  circle,   // view_count views from start_deg, arc_deg / view_count apart (the end excluded)
  angles,   // one angle per view, angles_deg
  vectors,  // one 12-number vector set per view, vectors (free geometry)
};

// A cone-beam scan: the volume grid, the flat detector, the source circle
// and the views. The detector's fields and sod, sdd describe the circular
// forms (circle, angles); a geometry of free vectors carries its source and
// detector in the vectors, and leaves pitch (1, 1), offset (0, 0) and
// sod = sdd = 0 as they are. Fields a form does not use stay at their
// defaults (validate() says so otherwise).
//
// Offsets of the detector are mm along its row step (v: towards -z, rows run
// top first) and its column step (u), from the point where the
// perpendicular from the source meets the detector.
struct Geometry {
  VolumeGrid grid;
  std::int64_t rows = 0, columns = 0;
  double pitch_row = 1.0, pitch_column = 1.0;
  double offset_v = 0.0, offset_u = 0.0;
  double sod = 0.0, sdd = 0.0;

  ViewForm form = ViewForm::circle;
  std::int64_t view_count = 0;            // circle
  double start_deg = 0.0, arc_deg = 360.0;  // circle
  std::vector<double> angles_deg;         // angles
  std::vector<double> vectors;            // vectors, 12 per view

  // The region rays are traced through; without one, the volume's box.
  std::optional<TraceBox> trace;

  // The defined scan itself (defined_geometry()): the programs tomproj and
  // tomrec apply to it bit for bit. Only the preset's values may carry it
  // (validate() checks them); a geometry with the same numbers but without
  // the flag is a general geometry that happens to look the same.
  bool defined = false;

  std::int64_t views() const;
};
bool operator==(const Geometry& a, const Geometry& b);  // every field, exactly
inline bool operator!=(const Geometry& a, const Geometry& b) { return !(a == b); }

// The defined scan of tomproj (core/scan_geometry.h) as a Geometry:
//   volume 128 x 128 x 128 of 1 mm voxels, offset (z, y, x) = (1, 1, 0)
//     (voxel centre x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz);
//   detector 256 x 256 of pitch 1, offset (v, u) = (-0.5, -0.5) (column c
//     at u = c - 128, row r at height 128 - r);
//   sod 256, sdd 512; 256 views from 0 over 360 degrees;
//   the trace region is the inside box -63 < x < 62, -62 < y < 63,
//   -62 < z < 63.
// The projector's view v has the angle v * (360 / 256) * kPi / 180 with
// kPi = 3.14159265358979, not the nearest double to pi: its rays differ
// from cone_vectors(defined_geometry()) by the rounding of sin and cos.
// The programs' bits never go through these vectors.
Geometry defined_geometry();

// Whether g is the defined scan (its flag; validate() guarantees the values).
bool is_defined(const Geometry& g);
// Whether g's values are the preset's (volume, detector, distances, views
// in the circle form and the trace region), whatever its flag says.
bool matches_defined(const Geometry& g);

// What is wrong with a geometry: the field, named as in the geometry file
// ("volume.shape", "detector.pitch", "source.sdd", "views.count",
// "views.angles[3]", "views.vectors[7]", "trace", ...), and why.
struct Invalid {
  std::string field;
  std::string reason;
};
// The one check of a geometry; nothing when it is valid. It refuses shapes
// below 1, sizes and pitches that are not finite and positive, numbers that
// are not finite, sod <= 0 or sdd <= sod in the circular forms, a view count
// below 1, an arc of 0, vector lists that are empty or not 12 numbers a view
// or whose steps vanish, are parallel or hold the source in the detector's
// plane, volumes and stacks whose float32 byte counts overflow 64 bits, a
// trace box without room in it, fields a form does not use that were set,
// and a defined flag on values that are not the preset's.
std::optional<Invalid> find_invalid(const Geometry& g);
// The same check as a usage Failure, "FIELD: REASON".
void validate(const Geometry& g);

// The angle of every view in degrees (circle and angle forms; a geometry of
// free vectors has none and fails). The circle's view k has
// start + k * (arc / count).
std::vector<double> view_angles_deg(const Geometry& g);

// The vector form of a circular scan: view k's source
// sod * (sin a, -cos a, 0), detector centre
// (sdd - sod) * (-sin a, cos a, 0) + offset_u * (cos a, sin a, 0) + offset_v * (0, 0, -1),
// column step pitch_column * (cos a, sin a, 0), row step pitch_row * (0, 0, -1).
// Angles are turned into sines and cosines in degrees with whole quarter
// turns taken exactly (90 degrees gives sin 1, cos 0), then acos(-1) / 180.
ConeVectors cone_vectors(const CircularScan& scan);
// The vector form of any valid geometry (validated first).
ConeVectors cone_vectors(const Geometry& g);

// The circular parameter form of a geometry of the circle or angle form
// (validated first); a geometry of free vectors fails (usage).
CircularScan circular_scan(const Geometry& g);

// The centre of voxel (iz, iy, ix) (fractional indices give points between
// centres): the formula at the top of this file.
Point3 voxel_centre(const VolumeGrid& grid, double iz, double iy, double ix);
// The box the voxels fill.
TraceBox volume_box(const VolumeGrid& grid);
// The region a geometry's rays are traced through: its trace box, else its
// volume's box.
TraceBox trace_region(const Geometry& g);

// The cone walk traces a volume's whole box: a geometry whose trace region
// is smaller (the defined preset's inside box belongs to its own projector)
// is refused by name rather than traced as if it had none.
void check_cone_walk(const Geometry& g);

// The centre of pixel (row, column) of view k.
Point3 pixel_centre(const ConeVectors& cv, std::int64_t view, double row, double column);

// The shortest decimal text that reads back as the same double ("1",
// "-63.5", "0.1", "1e+300"), as geometry files, headers and messages write
// numbers.
std::string number_text(double value);

}  // namespace geom
