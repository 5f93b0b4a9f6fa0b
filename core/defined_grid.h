// The defined scan's voxel grid in the form of core/geometry.h: 128^3 unit
// voxels whose centres lie where scan::voxel_centre puts them
// (x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz), i.e. the grid's centre at
// (x, y, z) = (0, 1, 1).
#pragma once

#include "core/geometry.h"
#include "core/scan_geometry.h"

namespace geom {

inline VolumeGrid defined_volume_grid() {
  VolumeGrid grid;
  grid.nz = scan::NZ;
  grid.ny = scan::NY;
  grid.nx = scan::NX;
  grid.origin_z = 1.0;
  grid.origin_y = 1.0;
  grid.origin_x = 0.0;
  return grid;
}

}  // namespace geom
