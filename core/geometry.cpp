#include "core/geometry.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

#include "core/failure.h"
#include "core/scan_geometry.h"

namespace geom {

namespace {

bool same_grid(const VolumeGrid& a, const VolumeGrid& b) {
  return a.nz == b.nz && a.ny == b.ny && a.nx == b.nx && a.dz == b.dz && a.dy == b.dy &&
         a.dx == b.dx && a.origin_z == b.origin_z && a.origin_y == b.origin_y &&
         a.origin_x == b.origin_x;
}

// "(a, b, c)"
std::string tuple_text(std::initializer_list<double> values) {
  std::string t = "(";
  bool first = true;
  for (double v : values) {
    if (!first) t += ", ";
    t += number_text(v);
    first = false;
  }
  return t + ")";
}

std::string count_text(std::initializer_list<std::int64_t> values) {
  std::string t = "(";
  bool first = true;
  for (std::int64_t v : values) {
    if (!first) t += ", ";
    t += std::to_string(v);
    first = false;
  }
  return t + ")";
}

// Whether the product of the counts, as float32 bytes, fits in 64 bits.
bool bytes_fit(std::initializer_list<std::int64_t> counts) {
  std::int64_t product = 4;  // bytes of a float32 sample
  for (std::int64_t n : counts) {
    if (__builtin_mul_overflow(product, n, &product)) return false;
  }
  return true;
}

std::optional<Invalid> bad(std::string field, std::string reason) {
  return Invalid{std::move(field), std::move(reason)};
}

bool finite_all(std::initializer_list<double> values) {
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

bool positive_all(std::initializer_list<double> values) {
  for (double v : values)
    if (!(std::isfinite(v) && v > 0.0)) return false;
  return true;
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void cross(const double* a, const double* b, double* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// The vectors of one view, checked: finite, steps that do not vanish and are
// not parallel, the source off the detector's plane.
std::optional<std::string> view_vectors_problem(const double* v) {
  for (int i = 0; i < 12; ++i)
    if (!std::isfinite(v[i])) return std::string("holds a number that is not finite");
  const double* s = v;
  const double* d = v + 3;
  const double* u = v + 6;
  const double* w = v + 9;
  if (dot(u, u) == 0.0) return std::string("its column step u is zero");
  if (dot(w, w) == 0.0) return std::string("its row step v is zero");
  double n[3];
  cross(u, w, n);
  const double nn = std::sqrt(dot(n, n));
  if (!(nn > 0.0) || nn <= 1e-12 * std::sqrt(dot(u, u) * dot(w, w)))
    return std::string("its steps u and v are parallel");
  const double sd[3] = {s[0] - d[0], s[1] - d[1], s[2] - d[2]};
  const double distance = std::fabs(dot(sd, n)) / nn;
  if (!(distance > 0.0)) return std::string("its source lies in the detector's plane");
  return std::nullopt;
}

// The name of the field that holds the views of a form.
const char* views_field(ViewForm form) {
  switch (form) {
    case ViewForm::circle: return "views.count";
    case ViewForm::angles: return "views.angles";
    case ViewForm::vectors: return "views.vectors";
  }
  return "views";
}

// Where g differs from the preset, as the first differing field.
std::optional<Invalid> difference_from_preset(const Geometry& g) {
  const Geometry p = defined_geometry();
  const std::string why = "the defined preset has ";
  if (g.grid.nz != p.grid.nz || g.grid.ny != p.grid.ny || g.grid.nx != p.grid.nx)
    return bad("volume.shape", why + count_text({p.grid.nz, p.grid.ny, p.grid.nx}) + ", not " +
                                   count_text({g.grid.nz, g.grid.ny, g.grid.nx}));
  if (g.grid.dz != p.grid.dz || g.grid.dy != p.grid.dy || g.grid.dx != p.grid.dx)
    return bad("volume.voxel_size", why + tuple_text({p.grid.dz, p.grid.dy, p.grid.dx}) + ", not " +
                                        tuple_text({g.grid.dz, g.grid.dy, g.grid.dx}));
  if (g.grid.origin_z != p.grid.origin_z || g.grid.origin_y != p.grid.origin_y ||
      g.grid.origin_x != p.grid.origin_x)
    return bad("volume.offset",
               why + tuple_text({p.grid.origin_z, p.grid.origin_y, p.grid.origin_x}) + ", not " +
                   tuple_text({g.grid.origin_z, g.grid.origin_y, g.grid.origin_x}));
  if (g.rows != p.rows || g.columns != p.columns)
    return bad("detector.shape", why + count_text({p.rows, p.columns}) + ", not " +
                                     count_text({g.rows, g.columns}));
  if (g.pitch_row != p.pitch_row || g.pitch_column != p.pitch_column)
    return bad("detector.pitch", why + tuple_text({p.pitch_row, p.pitch_column}) + ", not " +
                                     tuple_text({g.pitch_row, g.pitch_column}));
  if (g.offset_v != p.offset_v || g.offset_u != p.offset_u)
    return bad("detector.offset", why + tuple_text({p.offset_v, p.offset_u}) + ", not " +
                                      tuple_text({g.offset_v, g.offset_u}));
  if (g.sod != p.sod) return bad("source.sod", why + number_text(p.sod) + ", not " + number_text(g.sod));
  if (g.sdd != p.sdd) return bad("source.sdd", why + number_text(p.sdd) + ", not " + number_text(g.sdd));
  if (g.form != ViewForm::circle)
    return bad(views_field(g.form), why + "256 views given by count, start and arc");
  if (g.view_count != p.view_count)
    return bad("views.count", why + std::to_string(p.view_count) + ", not " + std::to_string(g.view_count));
  if (g.start_deg != p.start_deg)
    return bad("views.start", why + number_text(p.start_deg) + ", not " + number_text(g.start_deg));
  if (g.arc_deg != p.arc_deg)
    return bad("views.arc", why + number_text(p.arc_deg) + ", not " + number_text(g.arc_deg));
  if (!g.trace || *g.trace != *p.trace) return bad("trace", "the defined preset has its inside box");
  return std::nullopt;
}

// sin and cos of an angle in degrees, whole quarter turns taken exactly.
void sincos_degrees(double degrees, double& s, double& c) {
  double r = std::fmod(degrees, 360.0);  // exact
  if (r < 0.0) r += 360.0;
  const double q = std::nearbyint(r / 90.0);  // 0 ... 4
  const double rest = r - 90.0 * q;           // within [-45, 45]
  const double a = rest * (std::acos(-1.0) / 180.0);
  const double sr = std::sin(a), cr = std::cos(a);
  switch (static_cast<int>(q) % 4) {
    case 0: s = sr; c = cr; break;
    case 1: s = cr; c = -sr; break;
    case 2: s = -sr; c = -cr; break;
    default: s = -cr; c = sr; break;
  }
  // No negative zeros in the vectors.
  s += 0.0;
  c += 0.0;
}

}  // namespace

TraceBox trace_box_zyx(const double lo[3], const double hi[3]) {
  TraceBox t;
  t.z_lo = lo[0];
  t.y_lo = lo[1];
  t.x_lo = lo[2];
  t.z_hi = hi[0];
  t.y_hi = hi[1];
  t.x_hi = hi[2];
  return t;
}

bool operator==(const TraceBox& a, const TraceBox& b) {
  return a.x_lo == b.x_lo && a.x_hi == b.x_hi && a.y_lo == b.y_lo && a.y_hi == b.y_hi &&
         a.z_lo == b.z_lo && a.z_hi == b.z_hi;
}

std::int64_t Geometry::views() const {
  switch (form) {
    case ViewForm::circle: return view_count;
    case ViewForm::angles: return static_cast<std::int64_t>(angles_deg.size());
    case ViewForm::vectors: return static_cast<std::int64_t>(vectors.size() / 12);
  }
  return 0;
}

bool operator==(const Geometry& a, const Geometry& b) {
  return same_grid(a.grid, b.grid) && a.rows == b.rows && a.columns == b.columns &&
         a.pitch_row == b.pitch_row && a.pitch_column == b.pitch_column &&
         a.offset_v == b.offset_v && a.offset_u == b.offset_u && a.sod == b.sod && a.sdd == b.sdd &&
         a.form == b.form && a.view_count == b.view_count && a.start_deg == b.start_deg &&
         a.arc_deg == b.arc_deg && a.angles_deg == b.angles_deg && a.vectors == b.vectors &&
         a.trace == b.trace && a.defined == b.defined;
}

Geometry defined_geometry() {
  Geometry g;
  g.grid.nz = scan::NZ;
  g.grid.ny = scan::NY;
  g.grid.nx = scan::NX;
  g.grid.dz = g.grid.dy = g.grid.dx = 1.0;
  // Voxel centres x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz (scan::voxel_centre).
  g.grid.origin_x = scan::voxel_centre(0, 0, 0).x + (scan::NX - 1) / 2.0;
  g.grid.origin_y = scan::voxel_centre(0, 0, 0).y - (scan::NY - 1) / 2.0;
  g.grid.origin_z = scan::voxel_centre(0, 0, 0).z - (scan::NZ - 1) / 2.0;
  g.rows = scan::kRows;
  g.columns = scan::kColumns;
  g.pitch_row = g.pitch_column = 1.0;
  // Column c at u = c - NX and row r at height NY - r (tomproj's panel):
  // the centre of the panel, (C-1)/2 and (R-1)/2, is half a pixel before
  // u = 0 and half a pixel below height 0, i.e. -0.5 along u and -0.5
  // along the row step, which points down.
  g.offset_u = (scan::kColumns - 1) / 2.0 - scan::NX;
  g.offset_v = (scan::kRows - 1) / 2.0 - scan::NY;
  g.sod = 2.0 * scan::NX;  // the orbit's radius (scan::source_of_view)
  g.sdd = 4.0 * scan::NX;  // the panel's distance from the source (tomproj)
  g.form = ViewForm::circle;
  g.view_count = scan::kViews;
  g.start_deg = 0.0;
  g.arc_deg = 360.0;
  TraceBox inside;
  inside.x_lo = scan::kInsideXLo;
  inside.x_hi = scan::kInsideXHi;
  inside.y_lo = scan::kInsideYLo;
  inside.y_hi = scan::kInsideYHi;
  inside.z_lo = scan::kInsideZLo;
  inside.z_hi = scan::kInsideZHi;
  g.trace = inside;
  g.defined = true;
  return g;
}

bool is_defined(const Geometry& g) { return g.defined; }

bool matches_defined(const Geometry& g) { return !difference_from_preset(g); }

std::optional<Invalid> find_invalid(const Geometry& g) {
  const VolumeGrid& v = g.grid;
  if (v.nz < 1 || v.ny < 1 || v.nx < 1)
    return bad("volume.shape", "every size must be at least 1, not " + count_text({v.nz, v.ny, v.nx}));
  if (!positive_all({v.dz, v.dy, v.dx}))
    return bad("volume.voxel_size",
               "every size must be a finite number above 0, not " + tuple_text({v.dz, v.dy, v.dx}));
  if (!finite_all({v.origin_z, v.origin_y, v.origin_x}))
    return bad("volume.offset",
               "must be finite numbers, not " + tuple_text({v.origin_z, v.origin_y, v.origin_x}));
  if (!bytes_fit({v.nz, v.ny, v.nx}))
    return bad("volume.shape", count_text({v.nz, v.ny, v.nx}) +
                                   " is too large: its float32 byte count overflows 64 bits");
  if (g.rows < 1 || g.columns < 1)
    return bad("detector.shape", "rows and columns must be at least 1, not " + count_text({g.rows, g.columns}));

  if (g.form == ViewForm::vectors) {
    // The vectors hold the source and the detector; the circular fields stay unused.
    if (g.pitch_row != 1.0 || g.pitch_column != 1.0)
      return bad("detector.pitch", "is not used by a geometry of per-view vectors (their steps are the pitch)");
    if (g.offset_v != 0.0 || g.offset_u != 0.0)
      return bad("detector.offset", "is not used by a geometry of per-view vectors (they place the detector)");
    if (g.sod != 0.0) return bad("source.sod", "is not used by a geometry of per-view vectors (they hold the source)");
    if (g.sdd != 0.0) return bad("source.sdd", "is not used by a geometry of per-view vectors (they hold the source)");
  } else {
    if (!positive_all({g.pitch_row, g.pitch_column}))
      return bad("detector.pitch",
                 "must be finite numbers above 0, not " + tuple_text({g.pitch_row, g.pitch_column}));
    if (!finite_all({g.offset_v, g.offset_u}))
      return bad("detector.offset", "must be finite numbers, not " + tuple_text({g.offset_v, g.offset_u}));
    if (!(std::isfinite(g.sod) && g.sod > 0.0))
      return bad("source.sod", "must be a finite number above 0, not " + number_text(g.sod));
    if (!(std::isfinite(g.sdd) && g.sdd > g.sod))
      return bad("source.sdd", "must be a finite number above sod (" + number_text(g.sod) + "), not " +
                                   number_text(g.sdd));
  }

  switch (g.form) {
    case ViewForm::circle:
      if (g.view_count < 1)
        return bad("views.count", "must be at least 1, not " + std::to_string(g.view_count));
      if (!std::isfinite(g.start_deg))
        return bad("views.start", "must be a finite number, not " + number_text(g.start_deg));
      if (!std::isfinite(g.arc_deg) || g.arc_deg == 0.0)
        return bad("views.arc", "must be a finite number other than 0, not " + number_text(g.arc_deg));
      if (!g.angles_deg.empty()) return bad("views.angles", "is not used with views.count");
      if (!g.vectors.empty()) return bad("views.vectors", "is not used with views.count");
      break;
    case ViewForm::angles:
      if (g.angles_deg.empty()) return bad("views.angles", "must hold at least one angle");
      for (std::size_t k = 0; k < g.angles_deg.size(); ++k)
        if (!std::isfinite(g.angles_deg[k]))
          return bad("views.angles[" + std::to_string(k) + "]",
                     "must be a finite number, not " + number_text(g.angles_deg[k]));
      if (g.view_count != 0) return bad("views.count", "is not used with views.angles");
      if (g.start_deg != 0.0) return bad("views.start", "is not used with views.angles (only with views.count)");
      if (g.arc_deg != 360.0) return bad("views.arc", "is not used with views.angles (only with views.count)");
      if (!g.vectors.empty()) return bad("views.vectors", "is not used with views.angles");
      break;
    case ViewForm::vectors:
      if (g.vectors.empty()) return bad("views.vectors", "must hold at least one view (12 numbers a view)");
      if (g.vectors.size() % 12 != 0)
        return bad("views.vectors", "must hold 12 numbers a view (source, detector centre, u, v), not " +
                                        std::to_string(g.vectors.size()) + " numbers");
      for (std::size_t k = 0; k < g.vectors.size() / 12; ++k)
        if (const auto problem = view_vectors_problem(g.vectors.data() + 12 * k))
          return bad("views.vectors[" + std::to_string(k) + "]", *problem);
      if (g.view_count != 0) return bad("views.count", "is not used with views.vectors");
      if (g.start_deg != 0.0) return bad("views.start", "is not used with views.vectors (only with views.count)");
      if (g.arc_deg != 360.0) return bad("views.arc", "is not used with views.vectors (only with views.count)");
      if (!g.angles_deg.empty()) return bad("views.angles", "is not used with views.vectors");
      break;
  }
  if (!bytes_fit({g.views(), g.rows, g.columns}))
    return bad(views_field(g.form), std::to_string(g.views()) + " views of " + std::to_string(g.rows) + " x " +
                                        std::to_string(g.columns) +
                                        " pixels are too many: their float32 byte count overflows 64 bits");

  if (g.trace) {
    const TraceBox& t = *g.trace;
    if (!finite_all({t.x_lo, t.x_hi, t.y_lo, t.y_hi, t.z_lo, t.z_hi}))
      return bad("trace", "its bounds must be finite numbers");
    if (!(t.x_lo < t.x_hi && t.y_lo < t.y_hi && t.z_lo < t.z_hi))
      return bad("trace", "every lower bound must lie below its upper bound, not min " +
                              tuple_text({t.z_lo, t.y_lo, t.x_lo}) + ", max " +
                              tuple_text({t.z_hi, t.y_hi, t.x_hi}) + " (z, y, x)");
  }
  if (g.defined) {
    if (auto d = difference_from_preset(g)) return d;
  }
  return std::nullopt;
}

void validate(const Geometry& g) {
  if (const auto problem = find_invalid(g)) tomio::fail_usage(problem->field + ": " + problem->reason);
}

std::vector<double> view_angles_deg(const Geometry& g) {
  validate(g);
  switch (g.form) {
    case ViewForm::circle: {
      std::vector<double> a(static_cast<std::size_t>(g.view_count));
      const double step = g.arc_deg / static_cast<double>(g.view_count);
      for (std::int64_t k = 0; k < g.view_count; ++k)
        a[static_cast<std::size_t>(k)] = g.start_deg + static_cast<double>(k) * step;
      return a;
    }
    case ViewForm::angles: return g.angles_deg;
    case ViewForm::vectors: break;
  }
  tomio::fail_usage("views.vectors: a geometry of per-view vectors has no view angles");
}

ConeVectors cone_vectors(const CircularScan& scan) {
  ConeVectors cv;
  cv.rows = scan.rows;
  cv.columns = scan.columns;
  cv.vectors.reserve(12 * scan.angles_deg.size());
  const double reach = scan.sdd - scan.sod;  // isocentre to the detector
  for (double angle : scan.angles_deg) {
    double s, c;
    sincos_degrees(angle, s, c);
    const double source[3] = {scan.sod * s, -scan.sod * c, 0.0};
    const double u_hat[3] = {c, s, 0.0};
    const double v_hat[3] = {0.0, 0.0, -1.0};
    const double centre[3] = {-reach * s, reach * c, 0.0};
    double out[12];
    for (int i = 0; i < 3; ++i) {
      out[i] = source[i];
      out[3 + i] = centre[i] + scan.offset_u * u_hat[i] + scan.offset_v * v_hat[i];
      out[6 + i] = scan.pitch_column * u_hat[i];
      out[9 + i] = scan.pitch_row * v_hat[i];
    }
    for (double x : out) cv.vectors.push_back(x + 0.0);  // no negative zeros
  }
  return cv;
}

CircularScan circular_scan(const Geometry& g) {
  validate(g);
  if (g.form == ViewForm::vectors)
    tomio::fail_usage("views.vectors: a geometry of per-view vectors has no circular parameters");
  CircularScan s;
  s.grid = g.grid;
  s.rows = g.rows;
  s.columns = g.columns;
  s.pitch_row = g.pitch_row;
  s.pitch_column = g.pitch_column;
  s.offset_v = g.offset_v;
  s.offset_u = g.offset_u;
  s.sod = g.sod;
  s.sdd = g.sdd;
  s.angles_deg = view_angles_deg(g);
  return s;
}

void check_cone_walk(const Geometry& g) {
  if (g.trace && *g.trace != volume_box(g.grid))
    tomio::fail_usage("trace: the cone walk traces the volume's whole box; a smaller trace region is only the "
                      "defined projector's (leave it out)");
}

ConeVectors cone_vectors(const Geometry& g) {
  validate(g);
  if (g.form != ViewForm::vectors) return cone_vectors(circular_scan(g));
  ConeVectors cv;
  cv.rows = g.rows;
  cv.columns = g.columns;
  cv.vectors = g.vectors;
  return cv;
}

Point3 voxel_centre(const VolumeGrid& grid, double iz, double iy, double ix) {
  Point3 p;
  p.x = grid.origin_x + (ix - (static_cast<double>(grid.nx) - 1.0) / 2.0) * grid.dx;
  p.y = grid.origin_y - (iy - (static_cast<double>(grid.ny) - 1.0) / 2.0) * grid.dy;
  p.z = grid.origin_z - (iz - (static_cast<double>(grid.nz) - 1.0) / 2.0) * grid.dz;
  return p;
}

TraceBox volume_box(const VolumeGrid& grid) {
  TraceBox b;
  const double hx = static_cast<double>(grid.nx) * grid.dx / 2.0;
  const double hy = static_cast<double>(grid.ny) * grid.dy / 2.0;
  const double hz = static_cast<double>(grid.nz) * grid.dz / 2.0;
  b.x_lo = grid.origin_x - hx;
  b.x_hi = grid.origin_x + hx;
  b.y_lo = grid.origin_y - hy;
  b.y_hi = grid.origin_y + hy;
  b.z_lo = grid.origin_z - hz;
  b.z_hi = grid.origin_z + hz;
  return b;
}

TraceBox trace_region(const Geometry& g) { return g.trace ? *g.trace : volume_box(g.grid); }

Point3 pixel_centre(const ConeVectors& cv, std::int64_t view, double row, double column) {
  const double* v = cv.vectors.data() + 12 * view;
  const double a = column - (static_cast<double>(cv.columns) - 1.0) / 2.0;
  const double b = row - (static_cast<double>(cv.rows) - 1.0) / 2.0;
  Point3 p;
  p.x = v[3] + a * v[6] + b * v[9];
  p.y = v[4] + a * v[7] + b * v[10];
  p.z = v[5] + a * v[8] + b * v[11];
  return p;
}

std::string number_text(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace geom
