// The reconstructor's own ray geometry: for view v, detector row r and column
// c, the line from the source of the view to a detector point at radius
// rho = sqrt(4*NX^2 + u^2), turned by twice the fan angle away from the point
// opposite the source. At view 0 a positive column offset lies towards -x
// (the projector's panel puts it towards +x), and the points of one row lie
// on a curve rather than on a straight panel line.
#pragma once

#include <cmath>

#include "core/scan_geometry.h"

namespace tomrec {

using scan::NX;
using scan::NY;
using scan::NZ;

// Half the number of counts into which every ray is cut.
constexpr double kDist = NX * 2.0;

// Coordinates closer to zero than this become +0.0, so that a ray parallel
// to a grid plane has a step component of exactly +0.0 (never -0.0 or a tiny
// remainder of a sine or cosine).
inline double clamp_coordinate(double x) { return std::fabs(x) < 1e-6 ? 0.0 : x; }

// The detector point of column c at view angle theta, before the clamp of its
// x and y (its z is the row height NY - r).
inline void detector_point_xy(double theta, int c, double& x, double& y) {
  const int u = c - NX;
  const double gamma = std::atan2(u, 2.0 * kDist);
  const double rho = std::sqrt(NX * 2.0 * 2 * NX + u * u);
  x = -rho * std::sin(2.0 * gamma + theta);
  y = rho * std::cos(2.0 * gamma + theta);
}

// Everything of one view that does not depend on the row: the clamped source
// and the clamped x and y of every column's detector point.
struct ViewRays {
  double theta = 0.0;
  double source[3] = {};
  double detector_x[2 * NX] = {};
  double detector_y[2 * NX] = {};
};

inline ViewRays view_rays(int v) {
  ViewRays rays;
  rays.theta = v * (360.0 / (2 * NZ)) * scan::kPi / 180.0;
  rays.source[0] = clamp_coordinate(2 * NX * std::sin(rays.theta));
  rays.source[1] = clamp_coordinate(-2 * NX * std::cos(rays.theta));
  rays.source[2] = clamp_coordinate(0.0);
  for (int c = 0; c < 2 * NX; ++c) {
    double x, y;
    detector_point_xy(rays.theta, c, x, y);
    rays.detector_x[c] = clamp_coordinate(x);
    rays.detector_y[c] = clamp_coordinate(y);
  }
  return rays;
}

// The clamped detector point of row r, column c of a view.
inline void detector_point(const ViewRays& rays, int r, int c, double detector[3]) {
  detector[0] = rays.detector_x[c];
  detector[1] = rays.detector_y[c];
  detector[2] = clamp_coordinate(NY - r);
}

}  // namespace tomrec
