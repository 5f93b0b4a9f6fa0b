// Scans for the cone projector's tests: circular orbits in the frame of
// core/geometry.h, written from their parameters, and small grids.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/geometry.h"

namespace testdata {

// One view per angle (radians): source at sod (sin a, -cos a, 0), detector
// centre sdd - sod beyond the axis, shifted by offset_u columns' and
// offset_v rows' worth of mm along its axes; columns step along
// (cos a, sin a, 0), rows along -z.
inline geom::ConeVectors circular_vectors(std::int64_t rows, std::int64_t columns, double pitch_row,
                                          double pitch_column, double offset_v, double offset_u,
                                          double sod, double sdd, const std::vector<double>& angles) {
  geom::ConeVectors r;
  r.rows = rows;
  r.columns = columns;
  for (double a : angles) {
    const double s = std::sin(a), c = std::cos(a);
    const double u[3] = {pitch_column * c, pitch_column * s, 0.0};
    const double v[3] = {0.0, 0.0, -pitch_row};
    const double d[3] = {-(sdd - sod) * s + offset_u * c, (sdd - sod) * c + offset_u * s, -offset_v};
    const double view[12] = {sod * s, -sod * c, 0.0, d[0], d[1], d[2], u[0], u[1], u[2], v[0], v[1], v[2]};
    r.vectors.insert(r.vectors.end(), view, view + 12);
  }
  return r;
}

// `count` angles from `start` over `arc` (radians), the end excluded.
inline std::vector<double> arc_angles(int count, double start, double arc) {
  std::vector<double> a;
  for (int i = 0; i < count; ++i) a.push_back(start + arc * i / count);
  return a;
}

inline geom::VolumeGrid grid_of(std::int64_t nz, std::int64_t ny, std::int64_t nx, double dz, double dy,
                                double dx, double oz, double oy, double ox) {
  geom::VolumeGrid g;
  g.nz = nz;
  g.ny = ny;
  g.nx = nx;
  g.dz = dz;
  g.dy = dy;
  g.dx = dx;
  g.origin_z = oz;
  g.origin_y = oy;
  g.origin_x = ox;
  return g;
}

inline std::vector<float> random_samples(std::int64_t count, std::uint32_t seed, float lo = -1.0f,
                                         float hi = 2.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(static_cast<std::size_t>(count));
  for (float& x : v) x = dist(gen);
  return v;
}

}  // namespace testdata
