// Volumes and stacks that the tests project and compare.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/scan_geometry.h"

namespace testdata {

inline std::vector<float> random_volume(std::uint32_t seed, float lo = -1.0f, float hi = 2.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(scan::kVolumeSamples);
  for (float& x : v) x = dist(gen);
  return v;
}

// A volume with a few sharp-edged blocks and planes, so that many rays run
// along voxel boundaries and through value steps.
inline std::vector<float> structured_volume() {
  std::vector<float> v(scan::kVolumeSamples, 0.0f);
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        float value = 0.0f;
        if (ix % 16 == 0 || iy % 16 == 0 || iz % 16 == 0) value += 1.0f;
        if (ix > 40 && ix < 90 && iy > 30 && iy < 70 && iz > 50 && iz < 100) value += 3.5f;
        if ((ix + iy + iz) % 7 == 0) value += 0.125f;
        v[scan::volume_index(ix, iy, iz)] = value;
      }
  return v;
}

// The values of `inside` within a ball around voxel (ix, iy, iz), zeros
// elsewhere: a phantom in empty space, whose zero steps the projector leaves
// out.
inline std::vector<float> ball_of(const std::vector<float>& inside, double ix0, double iy0,
                                  double iz0, double radius) {
  std::vector<float> v(scan::kVolumeSamples, 0.0f);
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        const double x = ix - ix0, y = iy - iy0, z = iz - iz0;
        if (x * x + y * y + z * z < radius * radius)
          v[scan::volume_index(ix, iy, iz)] = inside[scan::volume_index(ix, iy, iz)];
      }
  return v;
}

// Marks with NaN every voxel that no ray may ever read: ix = 127, iy = 0 and
// iz = 0 lie beyond every step of every ray.
inline void mark_unreachable(std::vector<float>& v) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int a = 0; a < 128; ++a)
    for (int b = 0; b < 128; ++b) {
      v[scan::volume_index(127, a, b)] = nan;
      v[scan::volume_index(a, 0, b)] = nan;
      v[scan::volume_index(a, b, 0)] = nan;
    }
}

inline std::uint32_t bits(float x) {
  std::uint32_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

inline std::uint64_t bits(double x) {
  std::uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

}  // namespace testdata
