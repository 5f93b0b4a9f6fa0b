#include "sim/phantom_description.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "core/geometry.h"
#include "core/failure.h"
#include "core/parallel.h"
#include "core/command_line.h"
#include "sim/phantom_shapes.h"
#include "core/portable_math.h"
#include "core/sample_files.h"

namespace toolkit {
namespace {


// The shortest decimal text that reads back as the same double.
std::string exact_text(double x) {
  char buffer[40];
  if (x == std::floor(x) && std::fabs(x) < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.0f", x);
    return buffer;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, x);
    if (std::strtod(buffer, nullptr) == x) break;
  }
  return buffer;
}

std::string triple_text(const double v[3]) {
  return exact_text(v[0]) + "," + exact_text(v[1]) + "," + exact_text(v[2]);
}

double square(double x) { return x * x; }

bool local_inside(ShapeKind kind, const double l[3], const double h[3]) {
  switch (kind) {
    case ShapeKind::ellipsoid:
      return ellipsoid_holds(l[0], l[1], l[2], h[0], h[1], h[2]);
    case ShapeKind::box:
      return std::fabs(l[0]) <= h[0] && std::fabs(l[1]) <= h[1] && std::fabs(l[2]) <= h[2];
    case ShapeKind::cylinder:
      // Its cross-section is the ellipse: the ellipsoid's test without a third term (0 / 1 adds +0).
      return ellipsoid_holds(l[0], l[1], 0.0, h[0], h[1], 1.0) && std::fabs(l[2]) <= h[2];
  }
  return false;
}

bool positive_sizes(const Shape& s) {
  for (double size : s.size)
    if (!(size > 0.0 && std::isfinite(size))) return false;
  return true;
}

}  // namespace

const char* shape_kind_name(ShapeKind kind) {
  switch (kind) {
    case ShapeKind::ellipsoid: return "ellipsoid";
    case ShapeKind::box: return "box";
    case ShapeKind::cylinder: return "cylinder";
  }
  return "?";
}

ShapeAxes axes_of(const Shape& shape) {
  double s1, c1, s2, c2, s3, c3;
  portable::sin_cos_degrees(shape.angles[0], s1, c1);
  portable::sin_cos_degrees(shape.angles[1], s2, c2);
  portable::sin_cos_degrees(shape.angles[2], s3, c3);
  // Columns of Rz(phi) Rx(theta) Rz(psi).
  ShapeAxes a;
  a.axis[0][0] = c1 * c3 - s1 * c2 * s3;
  a.axis[0][1] = s1 * c3 + c1 * c2 * s3;
  a.axis[0][2] = s2 * s3;
  a.axis[1][0] = -c1 * s3 - s1 * c2 * c3;
  a.axis[1][1] = -s1 * s3 + c1 * c2 * c3;
  a.axis[1][2] = s2 * c3;
  a.axis[2][0] = s1 * s2;
  a.axis[2][1] = -c1 * s2;
  a.axis[2][2] = c2;
  return a;
}

void to_shape_frame(const ShapeAxes& a, const double d[3], double local[3]) {
  for (int j = 0; j < 3; ++j) local[j] = a.axis[j][0] * d[0] + a.axis[j][1] * d[1] + a.axis[j][2] * d[2];
}

bool shape_contains(const Shape& shape, const ShapeAxes& axes, const scan::Point3& p) {
  const double d[3] = {p.x - shape.centre.x, p.y - shape.centre.y, p.z - shape.centre.z};
  double l[3];
  to_shape_frame(axes, d, l);
  return local_inside(shape.kind, l, shape.size);
}

void shape_extent(const Shape& shape, const ShapeAxes& a, double extent[3]) {
  for (int i = 0; i < 3; ++i) {
    if (shape.kind == ShapeKind::ellipsoid) {
      extent[i] = std::sqrt(square(a.axis[0][i] * shape.size[0]) + square(a.axis[1][i] * shape.size[1]) +
                            square(a.axis[2][i] * shape.size[2]));
    } else {
      extent[i] = std::fabs(a.axis[0][i]) * shape.size[0] + std::fabs(a.axis[1][i]) * shape.size[1] +
                  std::fabs(a.axis[2][i]) * shape.size[2];
    }
  }
}

double phantom_value(const Phantom& phantom, const scan::Point3& p) {
  double sum = 0.0;
  for (const Shape& s : phantom.shapes) {
    if (shape_contains(s, axes_of(s), p)) sum += s.value;
  }
  return sum;
}

void check_oversampling(int oversample) {
  if (oversample < 1 || oversample > kMaxOversampling)
    tomio::fail_usage("the oversampling must lie in 1 ... " + std::to_string(kMaxOversampling));
}

void check_phantom(const Phantom& phantom) {
  if (phantom.shapes.empty()) tomio::fail_usage("the phantom holds no shapes");
  for (const Shape& s : phantom.shapes)
    if (!positive_sizes(s)) tomio::fail_usage("a shape of a phantom needs positive sizes");
}

std::vector<float> voxelise_on_grid(const Phantom& phantom, const geom::VolumeGrid& grid, int oversample,
                                    int threads) {
  check_oversampling(oversample);
  if (!(grid.nz >= 1 && grid.ny >= 1 && grid.nx >= 1)) tomio::fail_usage("the volume shape must be at least 1 on every axis");
  if (!(grid.dz > 0.0 && grid.dy > 0.0 && grid.dx > 0.0 && std::isfinite(grid.dz) && std::isfinite(grid.dy) &&
        std::isfinite(grid.dx)))
    tomio::fail_usage("the voxel size must be positive and finite on every axis");
  if (grid.nz > std::numeric_limits<int>::max()) tomio::fail_usage("too many slices");
  const int n = oversample;
  std::vector<double> offsets(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) offsets[i] = (i + 0.5) / n - 0.5;
  const double cells = static_cast<double>(n) * n * n;
  const std::int64_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
  const double hx = 0.5 * static_cast<double>(nx - 1), hy = 0.5 * static_cast<double>(ny - 1),
               hz = 0.5 * static_cast<double>(nz - 1);

  // Index ranges of the voxels each shape can touch, with a voxel to spare.
  struct Reach {
    ShapeAxes axes;
    std::int64_t lo[3], hi[3];  // ix, iy, iz, inclusive
  };
  auto clamp = [](double v, std::int64_t size) {
    return static_cast<std::int64_t>(std::min<double>(std::max(v, 0.0), static_cast<double>(size - 1)));
  };
  std::vector<Reach> reach;
  for (const Shape& s : phantom.shapes) {
    Reach r;
    r.axes = axes_of(s);
    double e[3];
    shape_extent(s, r.axes, e);
    r.lo[0] = clamp(std::floor((s.centre.x - e[0] - grid.origin_x) / grid.dx + hx) - 1, nx);
    r.hi[0] = clamp(std::ceil((s.centre.x + e[0] - grid.origin_x) / grid.dx + hx) + 1, nx);
    r.lo[1] = clamp(std::floor((grid.origin_y - s.centre.y - e[1]) / grid.dy + hy) - 1, ny);
    r.hi[1] = clamp(std::ceil((grid.origin_y - s.centre.y + e[1]) / grid.dy + hy) + 1, ny);
    r.lo[2] = clamp(std::floor((grid.origin_z - s.centre.z - e[2]) / grid.dz + hz) - 1, nz);
    r.hi[2] = clamp(std::ceil((grid.origin_z - s.centre.z + e[2]) / grid.dz + hz) + 1, nz);
    reach.push_back(r);
  }

  std::vector<float> volume(static_cast<std::size_t>(grid.voxels()), 0.0f);
  tomio::parallel_for(static_cast<int>(nz), threads, [&](int iz, int) {
    std::vector<double> slice(static_cast<std::size_t>(nx * ny), 0.0);
    bool any = false;
    const double z = grid.origin_z - (iz - hz) * grid.dz;
    for (std::size_t k = 0; k < phantom.shapes.size(); ++k) {
      const Shape& s = phantom.shapes[k];
      const Reach& r = reach[k];
      if (iz < r.lo[2] || iz > r.hi[2]) continue;
      for (std::int64_t iy = r.lo[1]; iy <= r.hi[1]; ++iy) {
        const double y = grid.origin_y - (static_cast<double>(iy) - hy) * grid.dy;
        for (std::int64_t ix = r.lo[0]; ix <= r.hi[0]; ++ix) {
          const double x = grid.origin_x + (static_cast<double>(ix) - hx) * grid.dx;
          int inside = 0;
          for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b)
              for (int e = 0; e < n; ++e) {
                inside += shape_contains(s, r.axes,
                                         scan::Point3{x + offsets[e] * grid.dx, y + offsets[b] * grid.dy,
                                                      z + offsets[a] * grid.dz});
              }
          if (inside == 0) continue;
          double& v = slice[static_cast<std::size_t>(ix + nx * iy)];
          v += n == 1 ? s.value : s.value * (inside / cells);
          any = true;
        }
      }
    }
    if (!any) return;
    float* out = volume.data() + static_cast<std::int64_t>(iz) * nx * ny;
    for (std::int64_t i = 0; i < nx * ny; ++i) out[i] = static_cast<float>(slice[static_cast<std::size_t>(i)]);
  });
  return volume;
}

std::vector<float> voxelise(const Phantom& phantom, int oversample, int threads) {
  return voxelise_on_grid(phantom, geom::defined_geometry().grid, oversample, threads);
}

bool inside_traced_box(const Phantom& phantom) {
  for (const Shape& s : phantom.shapes) {
    double e[3];
    shape_extent(s, axes_of(s), e);
    if (!(s.centre.x - e[0] > scan::kInsideXLo && s.centre.x + e[0] < scan::kInsideXHi &&
          s.centre.y - e[1] > scan::kInsideYLo && s.centre.y + e[1] < scan::kInsideYHi &&
          s.centre.z - e[2] > scan::kInsideZLo && s.centre.z + e[2] < scan::kInsideZHi)) {
      return false;
    }
  }
  return true;
}

std::string description_text(const Phantom& phantom) {
  std::ostringstream out;
  out << "# phantom: one shape per line; coordinates in voxels from the grid centre, angles in degrees\n"
         "# KIND value=V centre=X,Y,Z size=A,B,C angles=PHI,THETA,PSI [name=NAME]\n";
  for (const Shape& s : phantom.shapes) {
    const double centre[3] = {s.centre.x, s.centre.y, s.centre.z};
    out << shape_kind_name(s.kind) << " value=" << exact_text(s.value) << " centre=" << triple_text(centre)
        << " size=" << triple_text(s.size) << " angles=" << triple_text(s.angles);
    if (!s.name.empty()) out << " name=" << s.name;
    out << '\n';
  }
  return out.str();
}

Phantom parse_description(const std::string& text, const std::string& source_name) {
  Phantom phantom;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const std::string where = source_name + ":" + std::to_string(number) + ": ";
    const std::string::size_type hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind)) continue;
    Shape s;
    if (kind == "ellipsoid") {
      s.kind = ShapeKind::ellipsoid;
    } else if (kind == "box") {
      s.kind = ShapeKind::box;
    } else if (kind == "cylinder") {
      s.kind = ShapeKind::cylinder;
    } else {
      tomio::fail_run(where + "unknown shape \"" + kind + "\" (ellipsoid, box or cylinder)");
    }
    bool has_value = false, has_centre = false, has_size = false;
    std::string word;
    while (words >> word) {
      const std::string::size_type eq = word.find('=');
      if (eq == std::string::npos) tomio::fail_run(where + "\"" + word + "\" is not KEY=VALUE");
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      try {
        if (key == "value") {
          s.value = tomio::parse_double(value, key);
          has_value = true;
        } else if (key == "centre") {
          const std::vector<double> v = tomio::parse_doubles(value, 3, key);
          s.centre = scan::Point3{v[0], v[1], v[2]};
          has_centre = true;
        } else if (key == "size") {
          const std::vector<double> v = tomio::parse_doubles(value, 3, key);
          std::copy(v.begin(), v.end(), s.size);
          has_size = true;
        } else if (key == "angles") {
          const std::vector<double> v = tomio::parse_doubles(value, 3, key);
          std::copy(v.begin(), v.end(), s.angles);
        } else if (key == "name") {
          if (value.empty()) tomio::fail_usage("name: empty");
          s.name = value;
        } else {
          tomio::fail_usage("unknown key \"" + key + "\"");
        }
      } catch (const tomio::Failure& e) {  // a number or a key that is not one
        tomio::fail_run(where + e.detail());
      }
    }
    if (!has_value || !has_centre || !has_size) tomio::fail_run(where + "a shape needs value=, centre= and size=");
    if (!positive_sizes(s)) tomio::fail_run(where + "the sizes must be positive");
    phantom.shapes.push_back(s);
  }
  return phantom;
}

void write_description(const std::string& path, const Phantom& phantom) {
  write_description(tomio::OutputFile(path), phantom);
}

void write_description(tomio::OutputFile&& output, const Phantom& phantom) {
  const std::string text = description_text(phantom);
  tomio::OutputFile out(std::move(output));
  out.write(text.data(), text.size());
  out.commit();
}

Phantom read_description(const std::string& path) {
  const std::vector<unsigned char> bytes = read_bytes(path);
  Phantom phantom = parse_description(std::string(bytes.begin(), bytes.end()), path);
  if (phantom.shapes.empty()) tomio::fail_run(path + " describes no shapes");
  return phantom;
}

}  // namespace toolkit
