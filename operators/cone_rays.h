// The rays of a cone-beam scan given by its vectors, in the form the walk
// through the voxel grid takes them. Shared by the projector, its transpose
// and their lane kernels; not part of the library's interface.
//
// A ray runs from the source s to the pixel centre p, its points
// s + t (p - s) for t in [0, 1]. Along each axis the walk uses grid
// coordinates, in which voxel index i covers [i, i + 1): for x,
// (x - origin_x) / dx + nx / 2; for y and z, whose indices grow as the
// coordinate falls, (origin_y - y) / dy + ny / 2 and likewise for z. The ray
// meets the plane j of an axis at the time T(j) = (j - gs) * inv, with gs
// the source's grid coordinate and inv the reciprocal of the ray's grid
// step gd. Every time the walk compares or subtracts is one of these
// products, formed the same way wherever it is needed, so that a walk cut
// into pieces (a slab of the volume, a lane of a vector) meets exactly the
// times of the whole walk.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/geometry.h"

namespace tomproj {

// The voxel grid by axis (0 = x, 1 = y, 2 = z): counts, voxel sizes, centre,
// whether the index grows with the coordinate (+1) or against it (-1), and
// the step of the flat position per index.
struct GridFrame {
  std::int64_t n[3];
  double size[3];
  double origin[3];
  double sign[3];
  std::int64_t stride[3];
};

inline GridFrame grid_frame(const geom::VolumeGrid& g) {
  GridFrame f;
  f.n[0] = g.nx;
  f.n[1] = g.ny;
  f.n[2] = g.nz;
  f.size[0] = g.dx;
  f.size[1] = g.dy;
  f.size[2] = g.dz;
  f.origin[0] = g.origin_x;
  f.origin[1] = g.origin_y;
  f.origin[2] = g.origin_z;
  f.sign[0] = 1.0;
  f.sign[1] = -1.0;
  f.sign[2] = -1.0;
  f.stride[0] = 1;
  f.stride[1] = g.nx;
  f.stride[2] = g.nx * g.ny;
  return f;
}

// One ray in grid coordinates: source gs, step gd over the whole ray and its
// reciprocal (0 where gd is 0), its length in mm, and the times at which it
// enters and leaves the grid's box (within [0, 1]).
struct RayBasis {
  double gs[3], gd[3], inv[3];
  double length;
  double t_in, t_out;
};

inline double plane_time(const RayBasis& b, int axis, double plane) {
  return (plane - b.gs[axis]) * b.inv[axis];
}

// The ray of pixel (row, col) of the view whose 12 numbers start at v.
// Returns whether it passes through the box for a stretch of positive
// length (t_in < t_out). A ray that runs within a plane of an axis counts
// in the voxel on the plane's positive side in the scan's frame (+x, +y,
// +z: the floor of the coordinate), so it passes only if that voxel exists.
inline bool ray_basis(const GridFrame& f, const double* v, std::int64_t rows, std::int64_t columns,
                      std::int64_t row, std::int64_t col, RayBasis& b) {
  const double cu = static_cast<double>(col) - 0.5 * static_cast<double>(columns - 1);
  const double cv = static_cast<double>(row) - 0.5 * static_cast<double>(rows - 1);
  double e[3];
  for (int a = 0; a < 3; ++a) {
    const double p = (v[3 + a] + cu * v[6 + a]) + cv * v[9 + a];
    e[a] = p - v[a];
  }
  b.length = std::sqrt((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]);
  b.t_in = 0.0;
  b.t_out = 1.0;
  for (int a = 0; a < 3; ++a) {
    const double n = static_cast<double>(f.n[a]);
    b.gs[a] = f.sign[a] * ((v[a] - f.origin[a]) / f.size[a]) + 0.5 * n;
    b.gd[a] = f.sign[a] * (e[a] / f.size[a]);
    if (b.gd[a] == 0.0) {
      b.inv[a] = 0.0;
      const bool inside = f.sign[a] > 0.0 ? b.gs[a] >= 0.0 && b.gs[a] < n : b.gs[a] > 0.0 && b.gs[a] <= n;
      if (!inside) return false;
      continue;
    }
    b.inv[a] = 1.0 / b.gd[a];
    const double t0 = plane_time(b, a, 0.0), tn = plane_time(b, a, n);
    const double enter = b.gd[a] > 0.0 ? t0 : tn, leave = b.gd[a] > 0.0 ? tn : t0;
    b.t_in = enter > b.t_in ? enter : b.t_in;
    b.t_out = leave < b.t_out ? leave : b.t_out;
  }
  return b.t_in < b.t_out;
}

// The voxel index on an axis at time t of the walk: every plane the ray has
// met at or before t is crossed (a point on a plane belongs to the voxel
// beyond it), clamped to the grid. Found from the rounded position and
// corrected by the plane times themselves, so that it agrees with a walk
// that steps plane by plane. (A ray within a plane of the axis: the voxel
// on the plane's positive side, see ray_basis.)
inline std::int64_t cell_at(const GridFrame& f, const RayBasis& b, int axis, double t) {
  const std::int64_t last = f.n[axis] - 1;
  if (b.gd[axis] == 0.0) {
    const double c = f.sign[axis] > 0.0 ? std::floor(b.gs[axis]) : std::ceil(b.gs[axis]) - 1.0;
    return static_cast<std::int64_t>(c);
  }
  const double at = std::floor(b.gs[axis] + t * b.gd[axis]);
  std::int64_t c = at < 0.0 ? 0 : at > static_cast<double>(last) ? last : static_cast<std::int64_t>(at);
  if (b.gd[axis] > 0.0) {
    while (c < last && plane_time(b, axis, static_cast<double>(c + 1)) <= t) ++c;
    while (c > 0 && plane_time(b, axis, static_cast<double>(c)) > t) --c;
  } else if (b.gd[axis] < 0.0) {
    while (c > 0 && plane_time(b, axis, static_cast<double>(c)) <= t) --c;
    while (c < last && plane_time(b, axis, static_cast<double>(c + 1)) > t) ++c;
  }
  return c;
}

// Narrows the stretch [t0, t1) of a ray to the box of voxels [lo, hi)
// (index order x, y, z) by the times of the box's planes, formed as the
// walk forms them: a walk started at the new t0 (with start_lane) meets
// exactly the pieces that the whole walk has inside the box. Leaves
// t0 >= t1 when the ray misses the box.
inline void clip_to_box(const GridFrame& f, const RayBasis& b, const std::int64_t lo[3], const std::int64_t hi[3],
                        double& t0, double& t1) {
  for (int a = 0; a < 3; ++a) {
    if (lo[a] == 0 && hi[a] == f.n[a]) continue;
    if (b.gd[a] != 0.0) {
      const double ta = plane_time(b, a, static_cast<double>(lo[a]));
      const double tb = plane_time(b, a, static_cast<double>(hi[a]));
      t0 = std::max(t0, std::min(ta, tb));
      t1 = std::min(t1, std::max(ta, tb));
    } else {
      const std::int64_t c = cell_at(f, b, a, t0);
      if (c < lo[a] || c >= hi[a]) t1 = t0;
    }
  }
}

// The state of up to kMaxLanes walks side by side, one lane each, as the
// lane kernels load it. Per axis: the source's grid coordinate, the
// reciprocal step, the direction (+1 or -1) and position change of a step,
// the next plane and the time the ray meets it (+inf for an axis the ray
// runs parallel to). Per lane: the flat position of the current voxel, the
// current time, the time the walk ends, the ray's length in mm, and whether
// the lane walks at all (1) or idles (0, at a valid position).
constexpr int kMaxLanes = 16;
struct LaneGroup {
  alignas(64) double gs[3][kMaxLanes];
  alignas(64) double inv[3][kMaxLanes];
  alignas(64) double step[3][kMaxLanes];
  alignas(64) double shift[3][kMaxLanes];
  alignas(64) double plane[3][kMaxLanes];
  alignas(64) double next[3][kMaxLanes];
  alignas(64) double position[kMaxLanes];
  alignas(64) double t[kMaxLanes];
  alignas(64) double t_end[kMaxLanes];
  alignas(64) double length[kMaxLanes];
  alignas(64) double live[kMaxLanes];
};

// Lane l walks the ray from time t_start to t_end (t_start < t_end, both
// within [t_in, t_out]).
inline void start_lane(const GridFrame& f, const RayBasis& b, double t_start, double t_end,
                       LaneGroup& g, int l) {
  double position = 0.0;
  for (int a = 0; a < 3; ++a) {
    const std::int64_t c = cell_at(f, b, a, t_start);
    position += static_cast<double>(c * f.stride[a]);
    g.gs[a][l] = b.gs[a];
    g.inv[a][l] = b.inv[a];
    const double dir = b.gd[a] > 0.0 ? 1.0 : -1.0;
    g.step[a][l] = dir;
    g.shift[a][l] = dir * static_cast<double>(f.stride[a]);
    g.plane[a][l] = static_cast<double>(b.gd[a] > 0.0 ? c + 1 : c);
    g.next[a][l] = b.gd[a] == 0.0 ? HUGE_VAL : plane_time(b, a, g.plane[a][l]);
  }
  g.position[l] = position;
  g.t[l] = t_start;
  g.t_end[l] = t_end;
  g.length[l] = b.length;
  g.live[l] = 1.0;
}

// Lane l does not walk; it rests at `position`, a voxel of the volume.
inline void idle_lane(LaneGroup& g, int l, double position) {
  for (int a = 0; a < 3; ++a) {
    g.gs[a][l] = 0.0;
    g.inv[a][l] = 0.0;
    g.step[a][l] = 0.0;
    g.shift[a][l] = 0.0;
    g.plane[a][l] = 0.0;
    g.next[a][l] = HUGE_VAL;
  }
  g.position[l] = position;
  g.t[l] = 0.0;
  g.t_end[l] = 0.0;
  g.length[l] = 0.0;
  g.live[l] = 0.0;
}

}  // namespace tomproj
