#include "sim/phantom_shapes.h"

#include <cmath>
#include <string>

#include "core/failure.h"

namespace toolkit {

using scan::NX;
using scan::NY;
using scan::NZ;

namespace {

template <class ValueAt>
std::vector<float> sample_volume(const ValueAt& value_at) {
  std::vector<float> v(scan::kVolumeSamples);
  for (int iz = 0; iz < NZ; ++iz)
    for (int iy = 0; iy < NY; ++iy)
      for (int ix = 0; ix < NX; ++ix) {
        v[scan::volume_index(ix, iy, iz)] = static_cast<float>(value_at(voxel_centre(ix, iy, iz)));
      }
  return v;
}

}  // namespace

const std::vector<Ellipsoid>& shepp_logan_ellipsoids() {
  //                                  value   a      b      c      x0     y0      z0    turn
  static const std::vector<Ellipsoid> table = {
      {1.0, 0.6900, 0.920, 0.810, 0.00, 0.0, 0.0, 0.0},           // skull
      {-0.8, 0.6624, 0.874, 0.780, 0.00, -0.0184, 0.0, 0.0},      // brain
      {-0.2, 0.1100, 0.310, 0.220, 0.22, 0.0, 0.0, -18.0},        // right ventricle
      {-0.2, 0.1600, 0.410, 0.280, -0.22, 0.0, 0.0, 18.0},        // left ventricle
      {0.1, 0.2100, 0.250, 0.410, 0.00, 0.35, -0.15, 0.0},
      {0.1, 0.0460, 0.046, 0.050, 0.00, 0.1, 0.25, 0.0},
      {0.1, 0.0460, 0.046, 0.050, 0.00, -0.1, 0.25, 0.0},
      {0.1, 0.0460, 0.023, 0.050, -0.08, -0.605, 0.0, 0.0},
      {0.1, 0.0230, 0.023, 0.020, 0.00, -0.606, 0.0, 0.0},
      {0.1, 0.0230, 0.046, 0.020, 0.06, -0.605, 0.0, 0.0},
  };
  return table;
}

bool ellipsoid_holds(double x, double y, double z, double a, double b, double c) {
  const double u = x / a, v = y / b, w = z / c;
  return u * u + v * v + w * w <= 1.0;
}

double shepp_logan_value(double x, double y, double z) {
  double sum = 0.0;
  for (const Ellipsoid& e : shepp_logan_ellipsoids()) {
    // Into the ellipsoid's own axes: shift to its centre, then turn back.
    const double t = e.turn_degrees * scan::kPi / 180.0;
    const double dx = x - e.x0, dy = y - e.y0, dz = z - e.z0;
    const double px = std::cos(t) * dx + std::sin(t) * dy;
    const double py = -std::sin(t) * dx + std::cos(t) * dy;
    if (ellipsoid_holds(px, py, dz, e.a, e.b, e.c)) sum += e.value;
  }
  return sum;
}

void check_phantom_scale(double scale) {
  if (!(scale > 0.0 && std::isfinite(scale))) tomio::fail_usage("the scale must be a positive number");
}

std::vector<float> shepp_logan_volume(double scale) {
  check_phantom_scale(scale);
  return sample_volume([scale](const scan::Point3& p) {
    return shepp_logan_value(p.x / scale, p.y / scale, p.z / scale);
  });
}

std::vector<float> ball_volume(const scan::Point3& centre, double radius, float value) {
  if (!(radius >= 0.0)) tomio::fail_usage("the radius must not be negative");
  return sample_volume([&](const scan::Point3& p) {
    const double dx = p.x - centre.x, dy = p.y - centre.y, dz = p.z - centre.z;
    return dx * dx + dy * dy + dz * dz <= radius * radius ? value : 0.0f;
  });
}

std::vector<float> box_volume(const scan::Point3& lo, const scan::Point3& hi, float value) {
  return sample_volume([&](const scan::Point3& p) {
    const bool in = lo.x <= p.x && p.x <= hi.x && lo.y <= p.y && p.y <= hi.y && lo.z <= p.z &&
                    p.z <= hi.z;
    return in ? value : 0.0f;
  });
}

std::vector<float> constant_volume(float value) {
  return std::vector<float>(scan::kVolumeSamples, value);
}

std::vector<float> single_voxel_volume(int ix, int iy, int iz, float value) {
  std::vector<float> v(scan::kVolumeSamples, 0.0f);
  v[scan::volume_index(ix, iy, iz)] = value;
  return v;
}

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::vector<float> random_volume(std::uint64_t seed, float lo, float hi) {
  return random_samples(seed, lo, hi, scan::kVolumeSamples);
}

std::vector<float> random_samples(std::uint64_t seed, float lo, float hi, std::size_t count) {
  std::vector<float> v(count);
  std::uint64_t state = seed;
  for (float& x : v) {
    const double unit = static_cast<double>(splitmix64(state) >> 40) * (1.0 / 16777216.0);
    x = static_cast<float>(lo + (static_cast<double>(hi) - lo) * unit);
    // Rounding to float32 may reach hi itself; keep the interval half-open.
    if (x >= hi) x = std::nextafter(hi, lo);
  }
  return v;
}

std::vector<float> single_voxel_on_grid(const geom::VolumeGrid& grid, std::int64_t ix, std::int64_t iy,
                                        std::int64_t iz, float value) {
  if (ix < 0 || ix >= grid.nx || iy < 0 || iy >= grid.ny || iz < 0 || iz >= grid.nz) {
    tomio::fail_usage("the voxel index (ix, iy, iz) must lie in the grid, 0 ... " + std::to_string(grid.nx - 1) +
                      ", 0 ... " + std::to_string(grid.ny - 1) + ", 0 ... " + std::to_string(grid.nz - 1));
  }
  std::vector<float> v(static_cast<std::size_t>(grid.voxels()), 0.0f);
  v[static_cast<std::size_t>((iz * grid.ny + iy) * grid.nx + ix)] = value;
  return v;
}

}  // namespace toolkit
