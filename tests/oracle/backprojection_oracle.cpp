#include "tests/oracle/backprojection_oracle.h"

#include <cmath>

#include "core/scan_geometry.h"

namespace oracle {
namespace {

using scan::NX;
using scan::NY;
using scan::NZ;
const double PI = scan::kPi;

}  // namespace

void walk_segments(const double source_xyz[3], const double detector_xyz[3], int NX, int NY,
                   int NZ, double dist, const std::function<void(long k, double sub_min)>& credit) {
  const double step_x = (detector_xyz[0] - source_xyz[0]) / (2.0 * dist);
  const double step_y = (detector_xyz[1] - source_xyz[1]) / (2.0 * dist);
  const double step_z = (detector_xyz[2] - source_xyz[2]) / (2.0 * dist);
  bool entered = false;
  double bx = 0.0, by = 0.0, bz = 0.0;
  int xyz = -1;
  for (int n = 0; 2 * dist > n; ++n) {
    if (!entered) {
      bx = n * step_x + source_xyz[0];
      by = n * step_y + source_xyz[1];
      bz = n * step_z + source_xyz[2];
      xyz = -1;
    }
    if (!(-NX / 2 + 1 < bx && bx < NX / 2 - 2 && -NY / 2 + 2 < by && by < NY / 2 - 1 &&
          -NZ / 2 + 2 < bz && bz < NZ / 2 - 1)) {
      continue;
    }
    double cell_x = std::floor(bx);
    double cell_y = std::floor(by);
    double cell_z = std::floor(bz);
    double d = std::fabs(bx - cell_x);
    if (d < 1e-6) {
      cell_x = step_x >= 0 ? cell_x + 1.0 : cell_x - 1.0;
    } else if (d > 0.999999) {
      cell_x = step_x >= 0 ? cell_x + 1.0 : cell_x - 1.0;
    }
    d = std::fabs(by - cell_y);
    if (d < 1e-6) {
      cell_y = step_y >= 0 ? cell_y + 1.0 : cell_y - 1.0;
    } else if (d > 0.999999) {
      cell_y = step_y >= 0 ? cell_y + 1.0 : cell_y - 1.0;
    }
    d = std::fabs(bz - cell_z);
    if (d < 1e-6) {
      cell_z = step_z >= 0 ? cell_z + 1.0 : cell_z - 1.0;
    } else if (d > 0.999999) {
      cell_z = step_z >= 0 ? cell_z + 1.0 : cell_z - 1.0;
    }
    const double sub_x = step_x >= 0 ? cell_x + 1.0 - bx : cell_x - bx;
    const double sub_y = step_y >= 0 ? cell_y + 1.0 - by : cell_y - by;
    const double sub_z = step_z >= 0 ? cell_z + 1.0 - bz : cell_z - bz;
    double sub[3];
    sub[0] = sub_x / step_x;
    sub[1] = sub_y / step_y;
    sub[2] = sub_z / step_z;
    if (xyz == 0) sub[0] = std::fabs(1.0 / step_x);
    if (xyz == 1) sub[1] = std::fabs(1.0 / step_y);
    if (xyz == 2) sub[2] = std::fabs(1.0 / step_z);
    double sub_min = sub[0];
    xyz = 0;
    for (int j = 1; j < 3; ++j) {
      if (sub[j] < sub_min) {
        sub_min = sub[j];
        xyz = j;
      }
    }
    const long k = (NZ / 2 - static_cast<long>(std::floor(bz))) * NX * NY +
                   (NY / 2 - static_cast<long>(std::floor(by))) * NX +
                   static_cast<long>(std::floor(bx)) + NX / 2;
    credit(k, sub_min);
    bx += sub[xyz] * step_x;
    by += sub[xyz] * step_y;
    bz += sub[xyz] * step_z;
    entered = true;
  }
}

double length_sum(const double source_xyz[3], const double detector_xyz[3], double dist) {
  double total = 0.0;
  walk_segments(source_xyz, detector_xyz, NX, NY, NZ, dist,
                [&](long, double sub_min) { total += sub_min; });
  return total;
}

void backproject_ray(const float* proj, const float* detector_sum, int v, int r, int c,
                     double* volume_acc, const double source_xyz[3], const double detector_xyz[3],
                     int NX, int NY, int NZ, double dist) {
  const long s = c + 2L * NX * r + 4L * NX * NY * v;
  walk_segments(source_xyz, detector_xyz, NX, NY, NZ, dist, [&](long k, double sub_min) {
    if (detector_sum[s] != 0) volume_acc[k] += proj[s] * sub_min / detector_sum[s];
  });
}

void ray_ends(int v, int r, int c, double source_xyz[3], double detector_xyz[3]) {
  const double dist = NX * 2.0;
  const double theta = v * (360.0 / (2 * NZ)) * PI / 180.0;
  source_xyz[0] = 2 * NX * std::sin(theta);
  source_xyz[1] = -2 * NX * std::cos(theta);
  source_xyz[2] = 0.0;
  detector_xyz[2] = NY - r;
  const int u = c - NX;
  const double gamma = std::atan2(u, 2.0 * dist);
  const double rho = std::sqrt(NX * 2.0 * 2 * NX + u * u);
  detector_xyz[0] = -rho * std::sin(2.0 * gamma + theta);
  detector_xyz[1] = rho * std::cos(2.0 * gamma + theta);
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(source_xyz[i]) < 1e-6) source_xyz[i] = 0.0;
  }
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(detector_xyz[i]) < 1e-6) detector_xyz[i] = 0.0;
  }
}

void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view) {
  const double dist = NX * 2.0;
  for (int v = first_view; v < last_view; ++v) {
    for (int r = 0; r < 2 * NY; ++r) {
      for (int c = 0; c < 2 * NX; ++c) {
        double source_xyz[3], detector_xyz[3];
        ray_ends(v, r, c, source_xyz, detector_xyz);
        backproject_ray(proj, detector_sum, v, r, c, volume_acc, source_xyz, detector_xyz, NX, NY,
                        NZ, dist);
      }
    }
  }
}

void normalise_and_narrow(double* volume_acc, const float* voxel_sum, float* volume_out) {
  for (long i = 0; i < static_cast<long>(NX) * NY * NZ; ++i) {
    if (voxel_sum[i] != 0) volume_acc[i] = volume_acc[i] / voxel_sum[i];
  }
  for (long i = 0; i < static_cast<long>(NX) * NY * NZ; ++i) {
    volume_out[i] = static_cast<float>(volume_acc[i]);
  }
}

}  // namespace oracle
