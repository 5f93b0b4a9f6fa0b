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

}  // namespace geom
