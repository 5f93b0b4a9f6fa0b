// Geometries the tests share.
#pragma once

#include "core/geometry.h"

namespace testgeom {

// A short scan of 210 degrees from 30 degrees with a detector shifted along
// both of its axes, on an anisotropic grid away from the isocentre.
inline geom::Geometry short_scan() {
  geom::Geometry g;
  g.grid.nz = 40;
  g.grid.ny = 50;
  g.grid.nx = 60;
  g.grid.dz = 1.0;
  g.grid.dy = 0.5;
  g.grid.dx = 0.5;
  g.grid.origin_z = 2.0;
  g.grid.origin_y = -3.0;
  g.grid.origin_x = 1.5;
  g.rows = 30;
  g.columns = 80;
  g.pitch_row = 1.5;
  g.pitch_column = 2.0;
  g.offset_v = 4.0;
  g.offset_u = -20.0;
  g.sod = 500.0;
  g.sdd = 800.0;
  g.form = geom::ViewForm::circle;
  g.view_count = 200;
  g.start_deg = 30.0;
  g.arc_deg = 210.0;
  return g;
}

}  // namespace testgeom
