// The rays of a circular scan as 12-number vector sets, written out from
// the formulas of core/geometry.h for the tests (source, detector centre,
// column step, row step; rows top first).
#pragma once

#include <cstdint>
#include <vector>

#include "core/geometry.h"
#include "core/portable_math.h"

namespace testrun {

inline geom::ConeVectors circular_rays(const geom::CircularScan& scan) {
  geom::ConeVectors rays;
  rays.rows = scan.rows;
  rays.columns = scan.columns;
  for (double angle : scan.angles_deg) {
    double s = 0.0, c = 0.0;
    portable::sin_cos_degrees(angle, s, c);
    const double source[3] = {scan.sod * s, -scan.sod * c, 0.0};
    const double centre[3] = {source[0] - scan.sdd * s + scan.offset_u * c,
                              source[1] + scan.sdd * c + scan.offset_u * s, -scan.offset_v};
    const double u[3] = {scan.pitch_column * c, scan.pitch_column * s, 0.0};
    const double v[3] = {0.0, 0.0, -scan.pitch_row};
    for (const double* part : {source, centre, u, v}) rays.vectors.insert(rays.vectors.end(), part, part + 3);
  }
  return rays;
}

// Evenly spaced angles: count views from start over arc degrees (end
// excluded).
inline std::vector<double> even_angles(std::int64_t count, double start, double arc) {
  std::vector<double> angles;
  for (std::int64_t k = 0; k < count; ++k) angles.push_back(start + arc * static_cast<double>(k) / static_cast<double>(count));
  return angles;
}

}  // namespace testrun
