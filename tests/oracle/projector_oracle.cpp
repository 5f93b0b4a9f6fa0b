#include "tests/oracle/projector_oracle.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace oracle {
namespace {

const int NZ = 128;
const int NY = NZ;
const int NX = NY;
const double PI = 3.14159265358979;

bool inside(double x, double y, double z) {
  return -NX / 2 + 1 < x && x < NX / 2 - 2 && -NY / 2 + 2 < y && y < NY / 2 - 1 &&
         -NZ / 2 + 2 < z && z < NZ / 2 - 1;
}

}  // namespace

bool split_step(const double p[3], const double q[3], const double d[3], Split& s) {
  int delta[3];
  for (int a = 0; a < 3; ++a) delta[a] = static_cast<int>(std::floor(q[a]) - std::floor(p[a]));
  s.c = 0;
  for (int a = 0; a < 3; ++a) {
    if (std::abs(delta[a]) > 0.01) s.c++;
  }
  if (s.c == 0) return false;
  for (int a = 0; a < 3; ++a) {
    s.long_xyz[a] = 0.0;
    s.ascending_l[a] = 0.0;
    s.ascending_xyz[a] = 0;
  }
  for (int n = 0; n < 4; ++n) {
    s.ll[n] = 0.0;
    for (int a = 0; a < 3; ++a) s.zahyo[n][a] = 0;
  }
  double b[3];
  for (int a = 0; a < 3; ++a) {
    if (!(d[a] * q[a] < 0.0)) {
      b[a] = std::trunc(q[a]);
    } else {
      b[a] = std::trunc(p[a]);
    }
  }
  for (int a = 0; a < 3; ++a) {
    if (std::abs(delta[a]) < 0.001) {
      s.long_xyz[a] = 0.0;
    } else {
      s.long_xyz[a] = (b[a] - p[a]) / d[a];
    }
  }
  double work[3] = {s.long_xyz[0], s.long_xyz[1], s.long_xyz[2]};
  for (int n = 0; n < 3; ++n) {
    double minimum = 10.0;
    s.ascending_xyz[n] = 10;
    for (int a = 0; a < 3; ++a) {
      if (work[a] < minimum) {
        minimum = work[a];
        s.ascending_xyz[n] = a;
      }
    }
    s.ascending_l[n] = work[s.ascending_xyz[n]];
    work[s.ascending_xyz[n]] = 10.0;
  }
  const int c = s.c;
  s.ll[0] = s.ascending_l[3 - c];
  for (int a = 0; a < 3; ++a) s.zahyo[0][a] = static_cast<int>(std::floor(p[a]));
  for (int n = 1; n <= c - 1; ++n) {
    s.ll[n] = s.ascending_l[3 - c + n] - s.ascending_l[3 - c + n - 1];
    for (int a = 0; a < 3; ++a) s.zahyo[n][a] = s.zahyo[n - 1][a];
    const int axis = s.ascending_xyz[3 - c + n - 1];
    s.zahyo[n][axis] = static_cast<int>(std::floor(q[axis]));
  }
  s.ll[c] = 1.0 - s.ascending_l[2];
  for (int a = 0; a < 3; ++a) s.zahyo[c][a] = static_cast<int>(std::floor(q[a]));
  return true;
}

void ray_direction(double theta, int row, int col, double d[3]) {
  const double D = 2.0 * NX;
  const double v = NY - row;
  const int u = col - NX;
  const double gamma = std::atan2(u, 2 * D);
  const double beta = std::atan2(v, std::sqrt(4 * 4 * NX * NX + u * u));
  d[0] = (-std::sin(theta) * std::cos(gamma) * std::cos(beta)) +
         (std::cos(theta) * std::sin(gamma) * std::cos(beta));
  d[1] = (std::cos(theta) * std::cos(gamma) * std::cos(beta)) +
         (std::sin(theta) * std::sin(gamma) * std::cos(beta));
  d[2] = std::sin(beta);
}

void project_ray(int view, int row, int col, double theta, const double source_xyz[3],
                 const float* volume, float* stack, double* sample_x, double* sample_y,
                 double* sample_z) {
  const double D = 2.0 * NX;
  double d[3];
  ray_direction(theta, row, col, d);
  const int index = col + 2 * NX * row + 4 * NX * NY * view;
  for (int k = 0; k < 2 * static_cast<int>(std::floor(D)); ++k) {
    sample_x[k] = k * d[0] + source_xyz[0];
    sample_y[k] = k * d[1] + source_xyz[1];
    sample_z[k] = k * d[2] + source_xyz[2];
    if (!inside(sample_x[k], sample_y[k], sample_z[k])) continue;
    const double p[3] = {sample_x[k - 1], sample_y[k - 1], sample_z[k - 1]};
    const double q[3] = {sample_x[k], sample_y[k], sample_z[k]};
    Split s;
    if (!split_step(p, q, d, s)) {
      s.c = 0;
      s.ll[0] = 1.0;
      for (int a = 0; a < 3; ++a) s.zahyo[0][a] = static_cast<int>(std::floor(q[a]));
      for (int n = 1; n < 4; ++n) {
        s.ll[n] = 0.0;
        for (int a = 0; a < 3; ++a) s.zahyo[n][a] = 0;
      }
    }
    for (int n = 0; n <= s.c; ++n) {
      const int ix = NX / 2 + s.zahyo[n][0];
      const int iy = NY / 2 - s.zahyo[n][1];
      const int iz = NZ / 2 - s.zahyo[n][2];
      stack[index] = static_cast<float>(static_cast<double>(stack[index]) +
                                        static_cast<double>(volume[ix + NX * iy + NX * NY * iz]) * s.ll[n]);
    }
  }
}

void project_view(int view, const float* volume, float* stack) {
  std::vector<double> sx(4 * NX), sy(4 * NX), sz(4 * NX);
  const double theta = view * (360.0 / (2 * NZ)) * PI / 180.0;
  const double source_xyz[3] = {2 * NX * std::sin(theta), -2 * NX * std::cos(theta), 0.0};
  for (int row = 0; row < 2 * NY; ++row) {
    for (int col = 0; col < 2 * NX; ++col) {
      project_ray(view, row, col, theta, source_xyz, volume, stack, sx.data(), sy.data(), sz.data());
    }
  }
}

}  // namespace oracle
