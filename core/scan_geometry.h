// The fixed circular cone-beam scan shared by the projector and the
// reconstructor: grid sizes, coordinate frame, voxel and stack indexing,
// view angles, the source orbit and the inside test.
//
// The three grid sizes are separate settings that always hold the same value;
// every formula uses the size it names, so that the arithmetic (and with it
// every output bit) stays exactly as defined.
#pragma once

#include <cmath>
#include <cstddef>

namespace scan {

constexpr int NZ = 128;
constexpr int NY = NZ;
constexpr int NX = NY;

// pi and 2*pi are these literals, not the nearest doubles to pi: the view
// angles and FFT twiddles are defined with them.
constexpr double kPi = 3.14159265358979;
constexpr double kTwoPi = 6.28318530717958;

constexpr int kViews = 2 * NY;
constexpr int kRows = 2 * NY;
constexpr int kColumns = 2 * NX;
constexpr std::size_t kVolumeSamples = static_cast<std::size_t>(NX) * NY * NZ;
constexpr std::size_t kStackSamples = static_cast<std::size_t>(8) * NX * NY * NZ;
constexpr std::size_t kViewSamples = static_cast<std::size_t>(4) * NX * NY;

// Angle of view v in radians, evaluated as v * (360 / (2*NZ)) * pi / 180.
inline double view_angle(int v) {
  return v * (360.0 / (2 * NZ)) * kPi / 180.0;
}

struct Point3 {
  double x, y, z;
};

// Source of the view with angle theta, on the orbit of radius 2*NX in z = 0.
inline Point3 source_of_view(double theta) {
  return Point3{2 * NX * std::sin(theta), -2 * NX * std::cos(theta), 0.0};
}

// Bounds of the inside box, from integer halving of the grid sizes.
constexpr int kInsideXLo = -NX / 2 + 1;  // -63
constexpr int kInsideXHi = NX / 2 - 2;   //  62
constexpr int kInsideYLo = -NY / 2 + 2;  // -62
constexpr int kInsideYHi = NY / 2 - 1;   //  63
constexpr int kInsideZLo = -NZ / 2 + 2;  // -62
constexpr int kInsideZHi = NZ / 2 - 1;   //  63
// The same bounds by axis (0 = x, 1 = y, 2 = z).
constexpr int kInsideLo[3] = {kInsideXLo, kInsideYLo, kInsideZLo};
constexpr int kInsideHi[3] = {kInsideXHi, kInsideYHi, kInsideZHi};

inline bool inside_x(double x) { return kInsideXLo < x && x < kInsideXHi; }
inline bool inside_y(double y) { return kInsideYLo < y && y < kInsideYHi; }
inline bool inside_z(double z) { return kInsideZLo < z && z < kInsideZHi; }

// A point counts as inside only if all six strict comparisons hold; a point
// on a bound is outside.
inline bool inside(double x, double y, double z) {
  return inside_x(x) && inside_y(y) && inside_z(z);
}

// Volume position of voxel (ix, iy, iz): x fastest, then y, then z.
inline std::size_t volume_index(int ix, int iy, int iz) {
  return static_cast<std::size_t>(ix) +
         static_cast<std::size_t>(NX) * (static_cast<std::size_t>(iy) +
                                         static_cast<std::size_t>(NY) * iz);
}

// Voxel indices of cell coordinates (the floors of a point): the x index grows
// with x, the y and z indices grow as y and z fall.
constexpr int voxel_ix(int cx) { return NX / 2 + cx; }
constexpr int voxel_iy(int cy) { return NY / 2 - cy; }
constexpr int voxel_iz(int cz) { return NZ / 2 - cz; }

inline std::size_t volume_index_of_cell(int cx, int cy, int cz) {
  return volume_index(voxel_ix(cx), voxel_iy(cy), voxel_iz(cz));
}

// Cell coordinates of voxel indices (the inverse of the three above).
constexpr int cell_x(int ix) { return ix - NX / 2; }
constexpr int cell_y(int iy) { return NY / 2 - iy; }
constexpr int cell_z(int iz) { return NZ / 2 - iz; }

// The centre of voxel (ix, iy, iz).
inline Point3 voxel_centre(int ix, int iy, int iz) {
  return Point3{cell_x(ix) + 0.5, cell_y(iy) + 0.5, cell_z(iz) + 0.5};
}

// The same map as one sum, for ray code that holds cells as whole-number
// doubles or integer lanes: the Volume position of cell (cx, cy, cz) is
//   kCellOriginPosition + cx - kPositionPerY * cy - kPositionPerZ * cz.
// Every term is a small integer, so any order of the sum is exact.
constexpr int kCellOriginPosition = NX / 2 + NX * (NY / 2) + NX * NY * (NZ / 2);
constexpr int kPositionPerY = NX;
constexpr int kPositionPerZ = NX * NY;

// The z index of a Volume position.
inline int z_index_of_position(std::size_t k) { return static_cast<int>(k / (NX * NY)); }

// ProjectionStack position of view v, detector row r, column c.
inline std::size_t stack_index(int v, int r, int c) {
  return static_cast<std::size_t>(c) + static_cast<std::size_t>(2 * NX) * r +
         static_cast<std::size_t>(4) * NX * NY * v;
}

}  // namespace scan
