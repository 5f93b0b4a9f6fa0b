#include "tests/oracle/cone_projector_oracle.h"

#include <algorithm>
#include <cmath>

namespace oracle {
namespace {

struct Event {
  double t;
  int axis;
};

}  // namespace

std::vector<ConePiece> cone_ray_pieces(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                                       std::int64_t view, std::int64_t row, std::int64_t col) {
  const double* v = rays.vectors.data() + 12 * view;
  const std::int64_t n[3] = {grid.nx, grid.ny, grid.nz};
  const double size[3] = {grid.dx, grid.dy, grid.dz};
  const double origin[3] = {grid.origin_x, grid.origin_y, grid.origin_z};
  const double sign[3] = {1.0, -1.0, -1.0};  // the y and z indices run against their axes

  // The pixel centre, the ray's step and its length.
  const double cu = static_cast<double>(col) - 0.5 * static_cast<double>(rays.columns - 1);
  const double cv = static_cast<double>(row) - 0.5 * static_cast<double>(rays.rows - 1);
  double e[3];
  for (int a = 0; a < 3; ++a) e[a] = ((v[3 + a] + cu * v[6 + a]) + cv * v[9 + a]) - v[a];
  const double length = std::sqrt((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]);

  // Grid coordinates of the source and the step, and the box's times.
  double gs[3], gd[3], inv[3];
  double t_in = 0.0, t_out = 1.0;
  for (int a = 0; a < 3; ++a) {
    gs[a] = sign[a] * ((v[a] - origin[a]) / size[a]) + 0.5 * static_cast<double>(n[a]);
    gd[a] = sign[a] * (e[a] / size[a]);
    if (gd[a] == 0.0) {
      inv[a] = 0.0;
      // Within a plane: the voxel on the plane's positive side in the frame.
      const double c = sign[a] > 0.0 ? std::floor(gs[a]) : std::ceil(gs[a]) - 1.0;
      if (c < 0.0 || c >= static_cast<double>(n[a])) return {};
      continue;
    }
    inv[a] = 1.0 / gd[a];
    const double t0 = (0.0 - gs[a]) * inv[a];
    const double tn = (static_cast<double>(n[a]) - gs[a]) * inv[a];
    t_in = std::max(t_in, gd[a] > 0.0 ? t0 : tn);
    t_out = std::min(t_out, gd[a] > 0.0 ? tn : t0);
  }
  if (!(t_in < t_out)) return {};
  auto plane_time = [&](int a, std::int64_t j) { return (static_cast<double>(j) - gs[a]) * inv[a]; };

  // Every plane met strictly inside the stretch, sorted.
  std::vector<Event> events;
  for (int a = 0; a < 3; ++a) {
    if (gd[a] == 0.0) continue;
    for (std::int64_t j = 0; j <= n[a]; ++j) {
      const double t = plane_time(a, j);
      if (t > t_in && t < t_out) events.push_back(Event{t, a});
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const Event& p, const Event& q) {
    return p.t < q.t || (p.t == q.t && p.axis < q.axis);
  });

  // The voxel at time t: on each axis, the planes met at or before t.
  auto voxel_at = [&](double t) {
    std::int64_t c[3];
    for (int a = 0; a < 3; ++a) {
      if (gd[a] == 0.0) {
        c[a] = static_cast<std::int64_t>(sign[a] > 0.0 ? std::floor(gs[a]) : std::ceil(gs[a]) - 1.0);
      } else if (gd[a] > 0.0) {
        c[a] = 0;
        for (std::int64_t j = 1; j < n[a]; ++j)
          if (plane_time(a, j) <= t) c[a] = j;
      } else {
        c[a] = n[a] - 1;
        for (std::int64_t j = n[a] - 1; j >= 1; --j)
          if (plane_time(a, j) <= t) c[a] = j - 1;
      }
    }
    return c[0] + n[0] * (c[1] + n[1] * c[2]);
  };

  std::vector<ConePiece> pieces;
  double t = t_in;
  for (const Event& ev : events) {
    pieces.push_back(ConePiece{voxel_at(t), (ev.t - t) * length});
    t = ev.t;
  }
  pieces.push_back(ConePiece{voxel_at(t), (t_out - t) * length});
  return pieces;
}

void cone_project(const geom::VolumeGrid& grid, const geom::ConeVectors& rays, const float* volume,
                  float* stack) {
  for (std::int64_t view = 0; view < rays.views(); ++view)
    for (std::int64_t row = 0; row < rays.rows; ++row)
      for (std::int64_t col = 0; col < rays.columns; ++col) {
        double sum = 0.0;
        for (const ConePiece& p : cone_ray_pieces(grid, rays, view, row, col))
          sum += static_cast<double>(volume[p.voxel]) * p.length;
        stack[(view * rays.rows + row) * rays.columns + col] = static_cast<float>(sum);
      }
}

void cone_project_adjoint(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                          const float* stack, float* volume) {
  std::vector<double> acc(static_cast<std::size_t>(grid.voxels()), 0.0);
  for (std::int64_t view = 0; view < rays.views(); ++view)
    for (std::int64_t row = 0; row < rays.rows; ++row)
      for (std::int64_t col = 0; col < rays.columns; ++col) {
        const double sample = stack[(view * rays.rows + row) * rays.columns + col];
        for (const ConePiece& p : cone_ray_pieces(grid, rays, view, row, col))
          acc[static_cast<std::size_t>(p.voxel)] += sample * p.length;
      }
  for (std::size_t i = 0; i < acc.size(); ++i) volume[i] = static_cast<float>(acc[i]);
}

}  // namespace oracle
